// SPDX-License-Identifier: MIT
// A command-line program's standard streams and stop signals, behind plain functions with no system header.
#pragma once

#include <string>

namespace console {

enum class Stream { Input, Output, Error };

// First thing in main: a standard stream the program was started without (`prog <&-`) gets /dev/null, so the
// next file, pipe or event descriptor opened cannot take its number and be read or written as that stream.
// Returns false when even /dev/null cannot be opened (the program should end).
bool GuardStandardStreams();
// Whether the stream was closed when GuardStandardStreams ran: there is no input, or nobody to write to.
bool StartedClosed(Stream stream);

// Whether the stream goes to a terminal (a user watching) rather than a file or a pipe.
bool IsTerminal(Stream stream);
// The descriptor of standard output, for a writer that takes one it does not own.
int OutputDescriptor();

// From now on Ctrl+C and SIGTERM raise the stop flag instead of ending the process.
void CatchStopSignals();
// A write to a pipe whose reader has gone fails with an error instead of ending the process.
void IgnoreBrokenPipe();
// The stop flag: raised by a caught signal or by RaiseStop. Lock-free, so safe from any thread and from the
// signal handler.
bool StopRaised();
void RaiseStop();
void ClearStop();

// Whether a failed write's error number means the reader went away (a pipe closed), not a broken disk.
bool ReaderGone(int code);
// The error number the last failed call of this thread left.
int LastError();
// The system's text for an error number, safe from any thread.
std::string ErrorText(int code);

} // namespace console
