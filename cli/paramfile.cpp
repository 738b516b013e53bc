// SPDX-License-Identifier: MIT
// Parameter-file load and save through the same formatted file I/O as the panel's FILE target.
#include "cli/paramfile.h"

#include "core/paramblock.h"
#include "io/formatio.h"

namespace cli {

std::string FileLabel(const std::string &path, bool reading)
{
    if (path != kStandardStream)
        return path;
    return reading ? "standard input" : "standard output";
}

bool LoadParameterFile(const std::string &path, std::span<uint16_t, kParaWords> block, std::string *why)
{
    if (FileToArray(path.c_str(), block.data(), VAL_UNSIGNED_SHORT_INTEGER, kParaWords, 1, VAL_GROUPS_TOGETHER,
                    VAL_GROUPS_AS_COLUMNS, VAL_ASCII) == 0)
        return true;
    *why = std::string(kLoadFailedHead) + " " + FileLabel(path, true) + ": " + GetFmtIOErrorText();
    return false;
}

bool SaveParameterFile(const std::string &path, std::span<const uint16_t, kParaWords> block, std::string *why)
{
    if (ArrayToFile(path.c_str(), block.data(), VAL_UNSIGNED_SHORT_INTEGER, kParaWords, 1, VAL_GROUPS_TOGETHER,
                    VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, kParaFieldWidth, VAL_ASCII, VAL_TRUNCATE) == 0)
        return true;
    *why = std::string(kSaveFailedHead) + " " + FileLabel(path, false) + ": " + GetFmtIOErrorText();
    if (path != kStandardStream)
        *why += std::string(" ") + kSaveFailedTail;
    return false;
}

} // namespace cli
