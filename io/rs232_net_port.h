// SPDX-License-Identifier: MIT
// Private to the network serial services: a connection's record and the gensio work shared by its opening,
// its transfers and its release.
#pragma once

#include "io/rs232.h"
#include "io/utility.h"

#include <gensio/gensio.h>
#include <gensio/gensio_os_funcs_public.h>
#include <gensio/sergensio.h>

#include <signal.h>

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace rs232net::detail {

// How long the server may take to confirm each line setting.
inline constexpr double kSettingSeconds = 2.0;
// Closing a live connection tells the server; a dead one closes at once.
inline constexpr double kCloseSeconds = 1.0;
inline constexpr double kServiceSlice = 0.01;
// How much of what a server sends at connect is kept to tell what kind of server it is.
inline constexpr std::size_t kGreetingBytes = 16;

// The answer of the server to one line setting.
struct Answer {
    struct NetPort *port = nullptr;
    unsigned requested = 0;
    unsigned value = 0;
    int err = 0;
    bool done = false;
};

// gensio reports the final free of a connection here.
struct FreeNote {
    gensio_frdata note{}; // first, so gensio's pointer is also ours
    bool freed = false;
};

struct NetPort {
    std::string address;
    bool telnet = false; // RFC 2217
    gensio_os_funcs *os = nullptr;
    gensio_waiter *waiter = nullptr;
    gensio *io = nullptr;
    FreeNote freeNote;
    bool opened = false;
    bool openDone = false;
    int openError = 0;
    bool closed = false;
    std::array<Answer, 5> answers{}; // baud, data bits, parity, stop bits, flow control
    std::vector<unsigned char> input;
    std::size_t queueSize = 1;
    double timeout = kComDefaultTimeout;
    int error = 0; // why the connection is gone, once it is
    // The first bytes the server sent before anyone asked: a telnet server greets with its options at once.
    std::vector<unsigned char> greeting;
};

// What the network ports share. Threads open and close ports at the same time, so every look into it holds `mu`.
struct NetState {
    std::mutex mu;
    // gensio ties process-wide state to the operating-system services it was first given, so they are never
    // freed: a closed port hands its services back here for the next one.
    std::vector<gensio_os_funcs *> idleServices;
};

// The shared state of the network ports, never destroyed.
NetState &Net();

// A peer that has gone away makes the next write raise SIGPIPE, which would end the program. While one of these
// lives the calling thread holds SIGPIPE back, and one raised meanwhile is taken off before it is let through.
class SigPipeHeld {
public:
    SigPipeHeld()
    {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &saved_);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigPipeHeld()
    {
        sigset_t pending;
        sigpending(&pending);
        if (!wasPending_ && sigismember(&pending, SIGPIPE) == 1) {
            const timespec now{0, 0};
            sigtimedwait(&pipe_, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
    SigPipeHeld(const SigPipeHeld &) = delete;
    SigPipeHeld &operator=(const SigPipeHeld &) = delete;

private:
    sigset_t pipe_{};
    sigset_t saved_{};
    bool wasPending_ = false;
};

gensio_time ToTime(double seconds);

// gensio's callbacks; `user` is the NetPort (OnAnswer: the Answer).
int OnEvent(gensio *, void *user, int event, int err, unsigned char *, gensiods *, const char *const *);
void OnOpened(gensio *, int err, void *user);
void OnAnswer(sergensio *, int err, unsigned int value, void *user);
void OnClosed(gensio *, void *user);
void OnFreed(gensio *, gensio_frdata *note);

// Lets gensio work until done() holds or the deadline passes; false on the deadline. A late wake-up from
// something that already gave up only costs one more look at done().
template <class Done>
bool WaitUntil(NetPort &p, double deadline, Done done)
{
    while (!done()) {
        const double left = deadline - Timer();
        if (left <= 0)
            return false;
        gensio_time t = ToTime(left);
        gensio_os_funcs_wait(p.os, p.waiter, 1, &t);
    }
    return true;
}

// Closes the connection and frees everything. Callbacks may still point at the port until gensio has
// finished with it, so if it does not finish in time the port is left allocated rather than freed under them.
void Release(std::unique_ptr<NetPort> p);

// Services for a new connection: an idle one handed back by a closed port, or new ones.
gensio_os_funcs *AcquireServices();

// Asks the server to set the whole line and waits for it to confirm every setting as asked.
bool SetLine(NetPort &p, long baudRate, int parity, int dataBits, int stopBits, std::string *why);

// Moves what has arrived into the input queue, waiting up to `seconds` for the first of it. Never takes more than
// the queue holds; the rest waits with the server. False once the connection is gone.
bool Pump(NetPort &p, double seconds);

} // namespace rs232net::detail
