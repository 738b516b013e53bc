// SPDX-License-Identifier: MIT
// Identifiers of the controls of MainPanel and their object names in the panel file, from one list.
#pragma once

enum Ctrl : int {
    kCtrlNone = 0,
#define SCOPE_CONTROL(name, widgetClass, callback) name,
#include "core/controls.def"
#undef SCOPE_CONTROL
    kCtrlCount // one past the last
};

// The panel file's number for MainPanel.
inline constexpr int kPanelNumber = 1;

// Z-plane positions: in front of the controls it shares its place with, or behind them.
inline constexpr int kZFront = 0;
inline constexpr int kZBehind = 100;

// Object names indexed by identifier; entry 0 is nullptr. kCtrlCount entries.
extern const char *const kCtrlNames[kCtrlCount];

// Widget class and callback name of each control in the panel file, indexed like kCtrlNames.
extern const char *const kCtrlClasses[kCtrlCount];
extern const char *const kCtrlCallbacks[kCtrlCount];

// Object name of a control, or nullptr for an identifier not in the list.
const char *CtrlName(int control);
