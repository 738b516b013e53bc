// SPDX-License-Identifier: MIT
// Time base of the program (seconds from a fixed origin, never decreasing), and the folders it may use.
#pragma once

double Timer();

// Blocks the calling thread for the given seconds (<= 0 returns at once). Used where the program
// must let time pass without handling events and without burning a core.
void SleepSeconds(double seconds);

// Room for a path, its NUL included: as much as the system takes (PATH_MAX on Linux). Every buffer that holds a
// path has it; a longer path is refused, never cut.
inline constexpr int kPathChars = 4096;

// The user's documents folder (the system's standard place; the home folder where none is known), native
// separators. Returns 0, or -1 when the path does not fit.
int GetDocumentsDir(char directory[kPathChars]);
// Makes the folder and any missing parents. Returns 0 when it exists afterwards, -1 otherwise.
int MakeDir(const char *directory);
// Whether the folder exists and the process may create files in it.
bool IsWritableDir(const char *directory);
