// SPDX-License-Identifier: MIT
// The stop signals on POSIX systems: blocked with pthread_sigmask, taken with sigtimedwait.
#include "io/signalwait.h"

#include <algorithm>
#include <csignal>

#include <pthread.h>

namespace signalwait {

namespace {

constexpr long kNanosPerSecond = 1000000000L;

sigset_t StopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

} // namespace

void BlockStopSignals()
{
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool WaitForStop(std::chrono::nanoseconds timeout)
{
    const sigset_t set = StopSignals();
    const long long ns = std::max<long long>(0, timeout.count());
    const timespec ts{static_cast<time_t>(ns / kNanosPerSecond), static_cast<long>(ns % kNanosPerSecond)};
    const int sig = sigtimedwait(&set, nullptr, &ts);
    return sig == SIGINT || sig == SIGTERM || sig == SIGHUP;
}

} // namespace signalwait
