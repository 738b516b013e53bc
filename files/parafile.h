// SPDX-License-Identifier: MIT
// Parameter files (the block pp as 25 lines of text) and the RAM / EEPROM / FILE choice of the transfer target.
#pragma once

#include "core/product.h"

// Both ask for a file first and do nothing when none is chosen. The dialog opens in the program's directory, or
// in kDocumentsSubfolder of the user's documents where that directory is an installed, read-only one. The
// message line tells what was saved or loaded, or that it was not. Neither touches poll, order, transbeg,
// waitdel or DispStatus, so polling carries on through them.
// The panel's side of a file transfer. The parameter controls and the teach table belong to the teach table's
// room, which stands beside this one; whoever starts a transfer hands its two operations in.
struct PanelValues {
    void (*read)(); // the panel into the variables (GetPanelValues)
    void (*show)(); // the variables onto the panel (SetPanelValues)
};
// panel -> pp (words 6-14 kept) -> file; a failed save is reported, the old file kept
void SendParaToFile(const PanelValues &panel);
// file -> pp -> variables -> panel; a file that is not exactly the block changes nothing
void ReadParaFromFile(const PanelValues &panel);

// Value-changed action of the toggle SelectRAM, SelectEEPROM or SelectFILE: keeps exactly one lit and target
// equal to it; switching the lit one off means RAM.
void SelectTargetAction(int toggle);

// The folder in the user's documents that takes the files of an installed program.
inline constexpr const char *kDocumentsSubfolder = kProductName;
