// SPDX-License-Identifier: MIT
// Stopping a command-line program in orderly fashion: the stop signals are waited for, never delivered; no Qt.
#pragma once

#include <chrono>

namespace signalwait {

// Blocks SIGINT, SIGTERM and SIGHUP (the terminal closed) in the calling thread. Call it before any other thread
// starts: threads inherit the mask, so the signals then reach no handler and only WaitForStop sees them.
void BlockStopSignals();

// A write to a pipe or socket whose reader has gone then fails with an error instead of ending the program.
void IgnoreBrokenPipe();

// Waits up to `timeout` for one of the blocked stop signals; true when one came, which it takes.
bool WaitForStop(std::chrono::nanoseconds timeout);

} // namespace signalwait
