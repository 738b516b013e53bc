// SPDX-License-Identifier: MIT
// Stop signals into the event loop on POSIX systems: the handler only writes a byte to a pipe the loop watches.
#include "io/stopsignal.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

int wakePipe[2] = {-1, -1};
std::function<void()> *stopAction = nullptr;

void Handle(int signal, void (*handler)(int))
{
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(signal, &sa, nullptr);
}

// Only what is safe in a signal handler: the second stop signal finds the default in place.
void OnStopSignal(int signal)
{
    const int saved = errno;
    for (int s : kStopSignals)
        Handle(s, SIG_DFL);
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(wakePipe[1], &byte, 1);
    errno = saved;
}

bool WatchPipe()
{
    if (wakePipe[0] >= 0)
        return true;
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    auto *watch = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(watch, &QSocketNotifier::activated, [] {
        char bytes[16];
        while (::read(wakePipe[0], bytes, sizeof bytes) > 0) {
        }
        if (stopAction && *stopAction)
            (*stopAction)();
    });
    return true;
}

} // namespace

void CallOnStopSignal(std::function<void()> onStop)
{
    static std::function<void()> action;
    action = std::move(onStop);
    stopAction = &action;
    if (!action) {
        for (int s : kStopSignals)
            Handle(s, SIG_DFL);
        return;
    }
    if (!WatchPipe())
        return;
    for (int s : kStopSignals)
        Handle(s, OnStopSignal);
}
