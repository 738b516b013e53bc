// SPDX-License-Identifier: MIT
// Parameter files (the block pp as 25 lines of text) and the RAM / EEPROM / FILE choice of the transfer target.
#pragma once

// Both ask for a file first and do nothing when none is chosen. The dialog opens in the program's directory, or
// in kDocumentsSubfolder of the user's documents where that directory is an installed, read-only one. The
// message line tells what was saved or loaded, or that it was not. Neither touches poll, order, transbeg,
// waitdel or DispStatus, so polling carries on through them.
void SendParaToFile();   // panel -> pp (words 6-14 kept) -> file; a failed save is reported, the old file kept
void ReadParaFromFile(); // file -> pp -> variables -> panel; a file that is not exactly the block changes nothing

// Value-changed action of the toggle SelectRAM, SelectEEPROM or SelectFILE: keeps exactly one lit and target
// equal to it; switching the lit one off means RAM.
void SelectTargetAction(int toggle);

// A failed save or load is reported in a box titled "INFO": the head line, the file's path, a blank line, the
// reason in one sentence (the system's, or the first line of the file that is wrong), a blank line, the tail.
inline constexpr const char *kSaveFailedHead = "Parameters not saved to";
inline constexpr const char *kSaveFailedTail = "Any file of that name is left as it was.";
inline constexpr const char *kLoadFailedHead = "Parameters not loaded from";
inline constexpr const char *kLoadFailedTail = "The panel keeps its values.";

// The folder in the user's documents that takes the files of an installed program.
inline constexpr const char *kDocumentsSubfolder = "Quillex-EMB-Scope";
