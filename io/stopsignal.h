// SPDX-License-Identifier: MIT
// A program with an event loop that ends on a stop signal as its window's close would, not at once.
#pragma once

#include <functional>

// From now on the first SIGINT, SIGTERM or SIGHUP no longer ends the process: the main thread's event loop runs
// `onStop` at its next turn, and a second stop signal ends the process at once (one that hangs gets its way out).
// An empty onStop gives the three signals back their default. Call from the main thread, with the application
// object made; a later call replaces onStop.
void CallOnStopSignal(std::function<void()> onStop);
