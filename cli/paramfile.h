// SPDX-License-Identifier: MIT
// Parameter files on the command line: the panel's file format and rules, with the panel's failure wording.
#pragma once

#include <cstdint>
#include <string>

namespace cli {

inline constexpr int kBlockWords = 25;

// Reads exactly the block; on failure `block` is untouched and *why holds the panel's head line, the path
// and the reason (which line is wrong and how).
bool LoadParameterFile(const std::string &path, uint16_t block[kBlockWords], std::string *why);
// Replaces `path` as a whole; on failure any earlier file is left as it was.
bool SaveParameterFile(const std::string &path, const uint16_t block[kBlockWords], std::string *why);
// The file's text, for standard output.
std::string ParameterText(const uint16_t block[kBlockWords]);

} // namespace cli
