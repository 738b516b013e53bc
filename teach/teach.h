// SPDX-License-Identifier: MIT
// The COLOR TEACH TABLE: moving the panel's parameters and table to and from the state, teaching, clearing.
#pragma once

// The panel is the master copy while the user works: ctt and the parameter variables are refreshed
// only by GetPanelValues.
void GetPanelValues(); // six parameter controls and the ten table cells -> variables
void SetPanelValues(); // the reverse
void TeachDataTo();    // dataX, dataY, dataINT -> columns 1, 2, 4 of the row chosen in EditNo
void ResetTable();     // every cell := 1; the variables are not touched

// Commit actions of ButtonTeachDataTo and ButtonResetTable: the overview graph comes forward first; the message
// line tells what changed.
void TeachDataToAction();
void ResetTableAction();
