// SPDX-License-Identifier: MIT
// Messages, results and stop signals of the command line.
#include "cli/console.h"

#include "cli/cliargs.h"
#include "io/console.h"

#include <cstdio>

namespace cli {

namespace {

int outputError = 0;
// OutputError's mark for a standard output that was closed at start; no error number of the system's.
constexpr int kClosed = -1;

} // namespace

void Say(const std::string &text)
{
    std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
}

void Out(const std::string &text)
{
    // What stands in for a standard output the program was started without takes everything and keeps nothing.
    if (console::StartedClosed(console::Stream::Output)) {
        if (outputError == 0)
            outputError = kClosed;
        return;
    }
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() && outputError == 0)
        outputError = console::LastError();
}

int OutputError()
{
    return outputError;
}

void SetOutputError(int code)
{
    outputError = code;
}

std::string OutputReason(int code)
{
    if (code == kClosed)
        return "it is closed";
    return console::ReaderGone(code) ? "the reader closed it before everything was written" : console::ErrorText(code);
}

void CatchStopSignals()
{
    console::CatchStopSignals();
}

bool StopRequested()
{
    return console::StopRaised();
}

void RequestStop()
{
    console::RaiseStop();
}

void ClearStop()
{
    console::ClearStop();
}

ExchangeHook Interruptible(std::function<void()> meanwhile)
{
    return [meanwhile] {
        if (meanwhile)
            meanwhile();
        return !StopRequested();
    };
}

} // namespace cli
