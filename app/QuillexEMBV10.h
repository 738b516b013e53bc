// SPDX-License-Identifier: MIT
// Entry of the program and the initialiser of its state.
#pragma once

// hInstance is the toolkit's RunTimeArgs* (may be null). "--record FILE.csv" among its arguments appends every
// polling pass to that file. Returns 0, or -1 when the toolkit or the panel file cannot be brought up, or the
// recording cannot be opened; in that case no window is shown.
int WinMain(void *hInstance, void *hPrevInstance, char *lpszCmdLine, int nCmdShow);

// Defaults of the state and the first displays; called once by WinMain before the panel is shown.
void InitVars();

inline constexpr const char *kPanelFile = "QuillexEMBV10.uir";
