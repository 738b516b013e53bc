// SPDX-License-Identifier: MIT
// Stopping a command-line program in orderly fashion: the stop signals are waited for, never delivered; no Qt.
#pragma once

#include <chrono>

namespace signalwait {

// Blocks SIGINT, SIGTERM and SIGHUP (the terminal closed) in the calling thread. Call it before any other thread
// starts: threads inherit the mask, so the signals then reach no handler and only WaitForStop sees them.
// (A broken pipe is console::IgnoreBrokenPipe's.)
void BlockStopSignals();

// Waits up to `timeout` for one of the blocked stop signals; true when one came, which it takes.
bool WaitForStop(std::chrono::nanoseconds timeout);

} // namespace signalwait
