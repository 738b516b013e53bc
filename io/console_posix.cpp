// SPDX-License-Identifier: MIT
// Standard streams and stop signals on POSIX systems.
#include "io/console.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
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

constexpr int kStandardStreams = 3;
// Set once at start, before any thread exists.
bool startedClosed[kStandardStreams] = {};

int Descriptor(Stream stream)
{
    switch (stream) {
    case Stream::Input: return STDIN_FILENO;
    case Stream::Output: return STDOUT_FILENO;
    case Stream::Error: return STDERR_FILENO;
    }
    return STDERR_FILENO;
}

} // namespace

bool GuardStandardStreams()
{
    // Lowest numbers first: open() takes the lowest free one, so each /dev/null lands on the stream it stands in for.
    for (int fd = 0; fd < kStandardStreams; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        startedClosed[fd] = true;
        const int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null != fd) {
            if (null >= 0)
                close(null);
            return false;
        }
    }
    return true;
}

bool StartedClosed(Stream stream)
{
    return startedClosed[Descriptor(stream)];
}

bool IsTerminal(Stream stream)
{
    return isatty(Descriptor(stream)) != 0;
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
