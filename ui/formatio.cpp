// SPDX-License-Identifier: MIT
// Number columns in text files on Qt's file classes: replaced atomically when written, checked strictly when read.
#include "ui/formatio.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstdio>
#include <vector>

namespace {

// Longer lines cannot hold one 16-bit value with sensible blanks; they are refused rather than read whole.
constexpr qint64 kMaxLine = 256;
constexpr unsigned kMaxU16 = 65535;

std::string &LastError()
{
    static std::string text;
    return text;
}

int Fail(int code, const QString &text)
{
    LastError() = text.toStdString();
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
LineKind ParseLine(QByteArray line, unsigned *value)
{
    if (line.endsWith('\r'))
        line.chop(1);
    qsizetype i = 0;
    while (i < line.size() && IsBlank(line[i]))
        ++i;
    if (i == line.size())
        return LineKind::Blank;
    unsigned v = 0;
    const qsizetype digits = i;
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

} // namespace

int ArrayToFile(const char *fileName, const void *array, int dataType, int numberOfElements, int numberOfGroups,
                int arrayDataOrder, int fileLayout, int columnSeparation, int fieldWidth, int fileType, int fileAction)
{
    if (!Supported(dataType, numberOfGroups, arrayDataOrder, fileLayout, fileType) ||
        columnSeparation != VAL_CONST_WIDTH || fileAction != VAL_TRUNCATE || numberOfElements < 0 || fieldWidth < 1)
        return Fail(kFmtErrUnsupported, QStringLiteral("These file arguments are not supported."));
    const auto *values = static_cast<const unsigned short *>(array);
    QByteArray text;
    for (int i = 0; i < numberOfElements; ++i)
        text += QByteArray::number(values[i]).rightJustified(fieldWidth, ' ') + '\n';

    QSaveFile file(QFile::decodeName(fileName));
    const QString cannot = QStringLiteral("It cannot be written: %1.");
    if (!file.open(QIODevice::WriteOnly))
        return Fail(kFmtErrOpen, cannot.arg(file.errorString()));
    if (file.write(text) != text.size()) {
        const QString why = file.errorString();
        file.cancelWriting();
        return Fail(kFmtErrWrite, cannot.arg(why));
    }
    if (!file.commit())
        return Fail(kFmtErrWrite, cannot.arg(file.errorString()));
    LastError().clear();
    return 0;
}

int FileToArray(const char *fileName, void *array, int dataType, int numberOfElements, int numberOfGroups,
                int arrayDataOrder, int fileLayout, int fileType)
{
    if (!Supported(dataType, numberOfGroups, arrayDataOrder, fileLayout, fileType) || numberOfElements < 0)
        return Fail(kFmtErrUnsupported, QStringLiteral("These file arguments are not supported."));
    const QString name = QFile::decodeName(fileName);
    if (QFileInfo(name).isDir())
        return Fail(kFmtErrOpen, QStringLiteral("It is a folder, not a file."));
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return Fail(kFmtErrOpen, QStringLiteral("It cannot be opened: %1.").arg(file.errorString()));

    std::vector<unsigned short> values;
    int lineNo = 0;
    int firstBlank = 0; // a blank line is only allowed if no value follows it
    while (!file.atEnd()) {
        QByteArray line = file.readLine(kMaxLine);
        ++lineNo;
        const bool complete = line.endsWith('\n');
        if (complete)
            line.chop(1);
        else if (!file.atEnd())
            return Fail(kFmtErrBadValue, QStringLiteral("Line %1 is far too long for one number.").arg(lineNo));
        unsigned v = 0;
        switch (ParseLine(line, &v)) {
        case LineKind::Blank:
            if (firstBlank == 0)
                firstBlank = lineNo;
            continue;
        case LineKind::Bad:
            return Fail(kFmtErrBadValue,
                        QStringLiteral("Line %1 is not a whole number from 0 to %2.").arg(lineNo).arg(kMaxU16));
        case LineKind::Value: break;
        }
        if (firstBlank != 0)
            return Fail(kFmtErrBadValue, QStringLiteral("Line %1 is empty.").arg(firstBlank));
        if (int(values.size()) == numberOfElements)
            return Fail(kFmtErrCount, QStringLiteral("Line %1 is one value too many: the file must hold exactly %2.")
                                          .arg(lineNo)
                                          .arg(numberOfElements));
        values.push_back(static_cast<unsigned short>(v));
    }
    if (file.error() != QFileDevice::NoError)
        return Fail(kFmtErrOpen, QStringLiteral("It cannot be read: %1.").arg(file.errorString()));
    if (int(values.size()) < numberOfElements) {
        const int missing = firstBlank != 0 ? firstBlank : lineNo + 1;
        if (values.empty())
            return Fail(kFmtErrCount, QStringLiteral("Line %1 is missing: the file holds no values.").arg(missing));
        return Fail(kFmtErrCount, QStringLiteral("Line %1 is missing: the file holds %2 values instead of %3.")
                                      .arg(missing)
                                      .arg(values.size())
                                      .arg(numberOfElements));
    }
    std::copy(values.begin(), values.end(), static_cast<unsigned short *>(array));
    LastError().clear();
    return 0;
}

std::string GetFmtIOErrorText()
{
    return LastError();
}
