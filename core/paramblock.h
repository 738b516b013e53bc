// SPDX-License-Identifier: MIT
// The parameter block pp and the variables that mirror its words: 0-5 the six parameters, 15-24 the teach
// table row by row; words 6-14 belong to the sensor alone and pass through unchanged.
#pragma once

// Parameter files hold the block one word per line, right-aligned in this many characters (65535 fits).
inline constexpr int kParaFieldWidth = 5;

void CopyVarsToPP(); // parameter variables and ctt -> pp words 0-5 and 15-24; words 6-14 untouched
void CopyPPtoVars(); // the reverse
