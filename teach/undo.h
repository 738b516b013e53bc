// SPDX-License-Identifier: MIT
// Taking back changes to the COLOR TEACH TABLE: the table is remembered before each change that can be undone.
#pragma once

// Remembers the ten cells as the panel shows them now, before `what` changes them ("RESET TABLE"); `what` must
// outlive the program. The oldest step is dropped when kUndoSteps are kept.
void RememberTeachTable(const char *what);

// Puts the newest remembered table that differs from the panel's back into the cells and forgets it, with the
// steps that would change nothing (a load that was cancelled). The message line says what was undone, or that
// there was nothing to undo. Only the cells change (a zoom graph in front redraws its circles from them): the
// variables follow at the next operation that reads the panel.
void UndoTeachTable();
