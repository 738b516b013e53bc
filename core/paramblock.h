// SPDX-License-Identifier: MIT
// The parameter block pp and the variables that mirror its words: 0-5 the six parameters, 15-24 the teach
// table row by row; words 6-14 belong to the sensor alone and pass through unchanged.
#pragma once

// Parameter files hold the block one word per line, right-aligned in this many characters (65535 fits).
inline constexpr int kParaFieldWidth = 5;

// A failed save or load is reported with a head line, the file's path, the reason in one sentence (the
// system's, or the first line of the file that is wrong) and a tail; the panel in a box titled "INFO", the
// command line on standard error.
inline constexpr const char *kSaveFailedHead = "Parameters not saved to";
inline constexpr const char *kSaveFailedTail = "Any file of that name is left as it was.";
inline constexpr const char *kLoadFailedHead = "Parameters not loaded from";
inline constexpr const char *kLoadFailedTail = "The panel keeps its values.";

void CopyVarsToPP(); // parameter variables and ctt -> pp words 0-5 and 15-24; words 6-14 untouched
void CopyPPtoVars(); // the reverse
