// SPDX-License-Identifier: MIT
// Entry of the program and the initialiser of its state.
#pragma once

// hInstance is the toolkit's RunTimeArgs* (may be null). "--record FILE.csv" among its arguments appends every
// polling pass to that file; "--device DEVICE" makes COM 1 that device path or network address
// (rfc2217://HOST:PORT or tcp://HOST:PORT). Returns 0; or, with no panel shown, kExitUsage when --record or
// --device has no value, kExitRecordFile when the recording cannot be opened (a box says why first), -1 when the
// toolkit or the panel file cannot be brought up.
int WinMain(void *hInstance, void *hPrevInstance, char *lpszCmdLine, int nCmdShow);

// WinMain's results besides 0 and -1; the command line's exit codes for the same failures.
inline constexpr int kExitUsage = 1;
inline constexpr int kExitRecordFile = 5;

// Defaults of the state and the first displays; called once by WinMain before the panel is shown.
void InitVars();

inline constexpr const char *kPanelFile = "QuillexEMBV10.uir";
