// SPDX-License-Identifier: MIT
// Time base of the program: seconds from a fixed origin, never decreasing.
#pragma once

double Timer();

// Blocks the calling thread for the given seconds (<= 0 returns at once). Used where the program
// must let time pass without handling events and without burning a core.
void SleepSeconds(double seconds);
