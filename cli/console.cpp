// SPDX-License-Identifier: MIT
// Messages, results and stop signals of the command line.
#include "cli/console.h"

#include "cli/cliargs.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace cli {

namespace {

// Set by a signal handler and read by every line's thread: a lock-free atomic is safe for both.
std::atomic<int> stopFlag{0};
static_assert(std::atomic<int>::is_always_lock_free);

int outputError = 0;

extern "C" void OnStopSignal(int)
{
    stopFlag.store(1, std::memory_order_relaxed);
}

} // namespace

void Say(const std::string &text)
{
    std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
}

void Out(const std::string &text)
{
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() && outputError == 0)
        outputError = errno;
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
    return code == EPIPE ? "the reader closed it before everything was written" : std::strerror(code);
}

void CatchStopSignals()
{
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool StopRequested()
{
    return stopFlag.load(std::memory_order_relaxed) != 0;
}

void RequestStop()
{
    stopFlag.store(1, std::memory_order_relaxed);
}

void ClearStop()
{
    stopFlag.store(0, std::memory_order_relaxed);
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
