// SPDX-License-Identifier: MIT
// The gensio side of a network port: its callbacks, waiting on them with a bound, the line settings and the release.
#include "io/rs232_net_port.h"

#include "io/utility.h"

#include <gensio/gensio_unix.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>

namespace rs232net::detail {

namespace {

constexpr long kNanosPerSecond = 1000000000L;

// The library's own complaints would land on a terminal the user may not have; the results say enough.
void Quiet(gensio_os_funcs *, gensio_log_levels, const char *, va_list) {}

} // namespace

gensio_time ToTime(double seconds)
{
    seconds = std::max(0.0, seconds);
    const double whole = std::floor(seconds);
    return {static_cast<int64_t>(whole), static_cast<int32_t>((seconds - whole) * kNanosPerSecond)};
}

int OnEvent(gensio *, void *user, int event, int err, unsigned char *buf, gensiods *buflen, const char *const *)
{
    auto *p = static_cast<NetPort *>(user);
    // Only until the line is set up; from then on reads go through gensio_read_s. What arrives before was sent
    // before anyone asked, and an opening discards it as a local port's does; its first bytes are kept to tell
    // what kind of server sent them.
    if (event == GENSIO_EVENT_READ) {
        if (err)
            p->error = err;
        else if (buf && buflen)
            p->greeting.insert(
                p->greeting.end(), buf,
                buf + std::min<gensiods>(*buflen, kGreetingBytes - std::min(kGreetingBytes, p->greeting.size())));
        return 0;
    }
    return GE_NOTSUP;
}

void OnOpened(gensio *, int err, void *user)
{
    auto *p = static_cast<NetPort *>(user);
    p->openError = err;
    p->openDone = true;
    gensio_os_funcs_wake(p->os, p->waiter);
}

void OnAnswer(sergensio *, int err, unsigned int value, void *user)
{
    auto *a = static_cast<Answer *>(user);
    a->err = err;
    a->value = value;
    a->done = true;
    gensio_os_funcs_wake(a->port->os, a->port->waiter);
}

void OnClosed(gensio *, void *user)
{
    auto *p = static_cast<NetPort *>(user);
    p->closed = true;
    gensio_os_funcs_wake(p->os, p->waiter);
}

void OnFreed(gensio *, gensio_frdata *note)
{
    reinterpret_cast<FreeNote *>(note)->freed = true;
}

void Release(std::unique_ptr<NetPort> p)
{
    if (!p->os)
        return;
    if (p->io) {
        if (p->opened && gensio_close(p->io, OnClosed, p.get()) == 0)
            WaitUntil(*p, Timer() + kCloseSeconds, [&] { return p->closed; });
        gensio_free(p->io);
        const double deadline = Timer() + kCloseSeconds;
        while (!p->freeNote.freed && Timer() < deadline) {
            gensio_time slice = ToTime(kServiceSlice);
            gensio_os_funcs_service(p->os, &slice);
        }
        if (!p->freeNote.freed) {
            p.release();
            return;
        }
    }
    if (p->waiter)
        gensio_os_funcs_free_waiter(p->os, p->waiter);
    const std::lock_guard lock(Net().mu);
    Net().idleServices.push_back(p->os);
}

gensio_os_funcs *AcquireServices()
{
    // Held while new services are made too: gensio ties its process-wide state to the first it is given.
    const std::lock_guard lock(Net().mu);
    std::vector<gensio_os_funcs *> &idle = Net().idleServices;
    if (!idle.empty()) {
        gensio_os_funcs *o = idle.back();
        idle.pop_back();
        return o;
    }
    gensio_os_funcs *o = nullptr;
    if (gensio_unix_funcs_alloc(nullptr, 0, &o) != 0)
        return nullptr;
    gensio_os_funcs_set_vlog(o, Quiet);
    return o;
}

bool SetLine(NetPort &p, long baudRate, int parity, int dataBits, int stopBits, std::string *why)
{
    sergensio *sio = gensio_to_sergensio(p.io);
    if (!sio) {
        *why = "the connection has no serial-port control";
        return false;
    }
    using Setter = int (*)(sergensio *, unsigned int, sergensio_done, void *);
    const std::array<std::pair<Setter, unsigned>, 5> settings{{
        {sergensio_baud, static_cast<unsigned>(baudRate)},
        {sergensio_datasize, static_cast<unsigned>(dataBits)},
        {sergensio_parity, static_cast<unsigned>(parity) + SERGENSIO_PARITY_NONE},
        {sergensio_stopbits, static_cast<unsigned>(stopBits)},
        {sergensio_flowcontrol, SERGENSIO_FLOWCONTROL_NONE},
    }};
    for (std::size_t i = 0; i < settings.size(); ++i) {
        p.answers[i] = Answer{&p, settings[i].second};
        if (const int rc = settings[i].first(sio, settings[i].second, OnAnswer, &p.answers[i]); rc != 0) {
            // A telnet server that has not agreed to Com Port Control: ser2net without (rfc2217) in its accepter.
            *why = rc == GE_NOTSUP ? std::string("the server would not set the line: it speaks telnet without RFC "
                                                 "2217 Com Port Control (ser2net: telnet(rfc2217) in the accepter)")
                                   : std::string("the server cannot set the line: ") + gensio_err_to_str(rc);
            return false;
        }
    }
    const bool answered = WaitUntil(p, Timer() + kSettingSeconds, [&] {
        return std::all_of(p.answers.begin(), p.answers.end(), [](const Answer &a) { return a.done; });
    });
    if (!answered) {
        *why = "the server does not set the line (RFC 2217 Com Port Control)";
        return false;
    }
    constexpr std::array<const char *, 5> names{"baud rate", "data bits", "parity", "stop bits", "flow control"};
    for (std::size_t i = 0; i < p.answers.size(); ++i) {
        const Answer &a = p.answers[i];
        if (a.err != 0 || a.value != a.requested) {
            *why = std::string("the server would not set the ") + names[i] + " to " + std::to_string(a.requested) +
                   (a.err ? std::string(": ") + gensio_err_to_str(a.err) : " (it set " + std::to_string(a.value) + ")");
            return false;
        }
    }
    return true;
}

bool Pump(NetPort &p, double seconds)
{
    if (p.error)
        return false;
    const std::size_t room = p.queueSize - std::min(p.queueSize, p.input.size());
    if (room == 0)
        return true;
    const std::size_t had = p.input.size();
    p.input.resize(had + room);
    gensiods got = 0;
    gensio_time t = ToTime(seconds);
    const int rc = gensio_read_s(p.io, &got, p.input.data() + had, room, &t);
    p.input.resize(had + std::min<std::size_t>(got, room));
    if (rc != 0) {
        p.error = rc;
        return false;
    }
    return true;
}

} // namespace rs232net::detail
