// SPDX-License-Identifier: MIT
// What the command line says and hears: messages on stderr, results on stdout, and the signals that stop it.
#pragma once

#include "link/exchange.h"

#include <functional>
#include <string>

namespace cli {

// "quillex-scope-cli: TEXT" on stderr.
void Say(const std::string &text);
// TEXT on stdout; the first failure is kept for OutputError. Main thread only.
void Out(const std::string &text);
// errno of the first failed write to stdout (0 = none; negative: it was closed at start), and clearing it for a
// new run.
int OutputError();
void SetOutputError(int code);
// How standard output's failure reads: a reader that went away is not a broken disk.
std::string OutputReason(int code);

// From now on Ctrl+C and SIGTERM set the stop flag instead of ending the process.
void CatchStopSignals();
// Whether a stop was asked for: by a signal, or by RequestStop. Safe from any thread.
bool StopRequested();
void RequestStop();
void ClearStop();
// A wait's hook that runs `meanwhile` (if any) and ends the wait once a stop is asked for.
ExchangeHook Interruptible(std::function<void()> meanwhile = {});

} // namespace cli
