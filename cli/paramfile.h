// SPDX-License-Identifier: MIT
// Parameter files on the command line: the panel's file format, writer and rules, with the panel's failure wording.
#pragma once

#include "core/ScopeState.h"

#include <cstdint>
#include <span>
#include <string>

namespace cli {

inline constexpr const char *kStandardStream = "-"; // standard input to read, standard output to write

// How messages name a path: "standard input" / "standard output" for "-", the path otherwise.
std::string FileLabel(const std::string &path, bool reading);

// Reads exactly the block (a pipe or FIFO to its end first); on failure `block` is untouched and *why holds the
// panel's head line, the path and the reason (which line is wrong and how).
bool LoadParameterFile(const std::string &path, std::span<uint16_t, kParaWords> block, std::string *why);
// Replaces `path` as a whole, or writes standard output for "-"; on failure any earlier file is left as it was.
bool SaveParameterFile(const std::string &path, std::span<const uint16_t, kParaWords> block, std::string *why);

} // namespace cli
