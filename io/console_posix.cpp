// SPDX-License-Identifier: MIT
// Standard streams and stop signals on POSIX systems.
#include "io/console.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include <signal.h>
#include <unistd.h>

namespace console {

namespace {

constexpr std::size_t kErrorTextChars = 256;

// Set by a signal handler and read by every line's thread: a lock-free atomic is safe for both.
std::atomic<int> stopFlag{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnStopSignal(int)
{
    stopFlag.store(1, std::memory_order_relaxed);
}

} // namespace

bool IsTerminal(Stream stream)
{
    return isatty(stream == Stream::Output ? STDOUT_FILENO : STDERR_FILENO) != 0;
}

int OutputDescriptor()
{
    return STDOUT_FILENO;
}

void CatchStopSignals()
{
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void IgnoreBrokenPipe()
{
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGPIPE, &sa, nullptr);
}

bool StopRaised()
{
    return stopFlag.load(std::memory_order_relaxed) != 0;
}

void RaiseStop()
{
    stopFlag.store(1, std::memory_order_relaxed);
}

void ClearStop()
{
    stopFlag.store(0, std::memory_order_relaxed);
}

bool ReaderGone(int code)
{
    return code == EPIPE;
}

int LastError()
{
    return errno;
}

std::string ErrorText(int code)
{
    char text[kErrorTextChars];
    return strerror_r(code, text, sizeof text); // the GNU form: returns the text, which may not be in `text`
}

} // namespace console
