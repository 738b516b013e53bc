// SPDX-License-Identifier: MIT
// Number columns in text files: written through the one whole-file writer, read whole and checked strictly.
#include "io/formatio.h"

#include "io/fileio.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Longer lines cannot hold one 16-bit value with sensible blanks; they are refused rather than read whole.
constexpr std::size_t kMaxLine = 256;
constexpr unsigned kMaxU16 = 65535;
// A column of numbers is a few hundred bytes; a stream that goes on past this is not one.
constexpr std::size_t kMaxFileBytes = 1 << 20;

std::string &LastError()
{
    static std::string text;
    return text;
}

int Fail(int code, std::string text)
{
    LastError() = std::move(text);
    return code;
}

bool Supported(int dataType, int numberOfGroups, int arrayDataOrder, int fileLayout, int fileType)
{
    return dataType == VAL_UNSIGNED_SHORT_INTEGER && numberOfGroups == 1 && arrayDataOrder == VAL_GROUPS_TOGETHER &&
           fileLayout == VAL_GROUPS_AS_COLUMNS && fileType == VAL_ASCII;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

enum class LineKind { Blank, Value, Bad };

// One line without its line feed: blanks, digits, blanks, and an optional CR from a CR LF ending.
LineKind ParseLine(std::string_view line, unsigned *value)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    std::size_t i = 0;
    while (i < line.size() && IsBlank(line[i]))
        ++i;
    if (i == line.size())
        return LineKind::Blank;
    unsigned v = 0;
    const std::size_t digits = i;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        v = v * 10 + unsigned(line[i] - '0');
        if (v > kMaxU16)
            return LineKind::Bad;
    }
    if (i == digits)
        return LineKind::Bad;
    while (i < line.size() && IsBlank(line[i]))
        ++i;
    if (i != line.size())
        return LineKind::Bad;
    *value = v;
    return LineKind::Value;
}

std::string Num(std::size_t n)
{
    return std::to_string(n);
}

} // namespace

int ArrayToFile(const char *fileName, const void *array, int dataType, int numberOfElements, int numberOfGroups,
                int arrayDataOrder, int fileLayout, int columnSeparation, int fieldWidth, int fileType, int fileAction)
{
    if (!Supported(dataType, numberOfGroups, arrayDataOrder, fileLayout, fileType) ||
        columnSeparation != VAL_CONST_WIDTH || fileAction != VAL_TRUNCATE || numberOfElements < 0 || fieldWidth < 1)
        return Fail(kFmtErrUnsupported, "These file arguments are not supported.");
    const auto *values = static_cast<const unsigned short *>(array);
    std::string text;
    for (int i = 0; i < numberOfElements; ++i) {
        const std::string number = std::to_string(values[i]);
        text.append(number.size() < std::size_t(fieldWidth) ? std::size_t(fieldWidth) - number.size() : 0, ' ');
        text += number + '\n';
    }
    std::string why;
    if (!ReplaceFile(fileName, text, &why))
        return Fail(kFmtErrWrite, why);
    LastError().clear();
    return 0;
}

int FileToArray(const char *fileName, void *array, int dataType, int numberOfElements, int numberOfGroups,
                int arrayDataOrder, int fileLayout, int fileType)
{
    if (!Supported(dataType, numberOfGroups, arrayDataOrder, fileLayout, fileType) || numberOfElements < 0)
        return Fail(kFmtErrUnsupported, "These file arguments are not supported.");
    std::string content, why;
    if (!ReadWhole(fileName, kMaxFileBytes, kStreamSilence, &content, &why))
        return Fail(kFmtErrOpen, why);

    std::vector<unsigned short> values;
    std::size_t lineNo = 0;
    std::size_t firstBlank = 0; // a blank line is only allowed if no value follows it
    for (std::size_t at = 0; at < content.size();) {
        const std::size_t end = std::min(content.find('\n', at), content.size());
        const std::string_view line(content.data() + at, end - at);
        at = end + 1;
        ++lineNo;
        if (line.size() >= kMaxLine)
            return Fail(kFmtErrBadValue, "Line " + Num(lineNo) + " is far too long for one number.");
        unsigned v = 0;
        switch (ParseLine(line, &v)) {
        case LineKind::Blank:
            if (firstBlank == 0)
                firstBlank = lineNo;
            continue;
        case LineKind::Bad:
            return Fail(kFmtErrBadValue,
                        "Line " + Num(lineNo) + " is not a whole number from 0 to " + Num(kMaxU16) + ".");
        case LineKind::Value: break;
        }
        if (firstBlank != 0)
            return Fail(kFmtErrBadValue, "Line " + Num(firstBlank) + " is empty.");
        if (int(values.size()) == numberOfElements)
            return Fail(kFmtErrCount, "Line " + Num(lineNo) + " is one value too many: the file must hold exactly " +
                                          Num(std::size_t(numberOfElements)) + ".");
        values.push_back(static_cast<unsigned short>(v));
    }
    if (int(values.size()) < numberOfElements) {
        const std::size_t missing = firstBlank != 0 ? firstBlank : lineNo + 1;
        if (values.empty())
            return Fail(kFmtErrCount, "Line " + Num(missing) + " is missing: the file holds no values.");
        return Fail(kFmtErrCount, "Line " + Num(missing) + " is missing: the file holds " + Num(values.size()) +
                                      " values instead of " + Num(std::size_t(numberOfElements)) + ".");
    }
    std::copy(values.begin(), values.end(), static_cast<unsigned short *>(array));
    LastError().clear();
    return 0;
}

std::string GetFmtIOErrorText()
{
    return LastError();
}
