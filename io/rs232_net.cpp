// SPDX-License-Identifier: MIT
// Serial services for a sensor behind a serial device server (ser2net or a commercial gateway): gensio carries
// the bytes, with its telnet layer doing RFC 2217 and the escaping of 0xFF both ways. Only gensio's blocking
// calls are used, each with a time bound, so a port behaves like a local one to a program without an event loop.
#include "io/rs232_net.h"

#include "io/rs232.h"
#include "io/rs232_net_port.h"
#include "io/rs232_port.h"
#include "io/utility.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>
#include <vector>

namespace rs232net {

namespace detail {

NetState &Net()
{
    // Never destroyed: the services it holds outlive every static destructor that might still close a port.
    static NetState &state = *new NetState;
    return state;
}

} // namespace detail

using namespace detail;

namespace {

constexpr const char *kRfc2217Scheme = "rfc2217://";
constexpr const char *kTcpScheme = "tcp://";
// A device server on the plant network answers within this, or is not there.
constexpr double kConnectSeconds = 3.0;
constexpr long kMaxTcpPort = 65535;
// FlushIn reads at most this many times what has already arrived, so a stream that never pauses cannot hold it.
constexpr int kFlushReads = 16;
// A telnet server greets a new client with its options at once (IAC, then SB, WILL, WONT, DO or DONT); a raw port
// says nothing until asked. On tcp:// the first bytes are waited for this long, or for several times what the
// connection took to come up, whichever is longer, but never longer than kGreetingAtMost.
constexpr unsigned char kTelnetIac = 255;
constexpr unsigned char kTelnetSb = 250;
constexpr unsigned char kTelnetDont = 254;
constexpr double kGreetingSeconds = 0.25;
constexpr double kGreetingAtMost = 1.0;
constexpr int kGreetingRoundTrips = 4;

struct Address {
    bool telnet = false;
    std::string host;
    std::string port;
    bool ipv6 = false;
};

// "rfc2217://HOST:PORT" or "tcp://HOST:PORT"; HOST a name, an IPv4 address or an IPv6 address in brackets.
// The host's characters are limited, because the address becomes part of a gensio description string.
bool ParseAddress(const std::string &text, Address *a, std::string *why)
{
    std::string rest;
    if (text.rfind(kRfc2217Scheme, 0) == 0) {
        a->telnet = true;
        rest = text.substr(std::string(kRfc2217Scheme).size());
    } else if (text.rfind(kTcpScheme, 0) == 0) {
        rest = text.substr(std::string(kTcpScheme).size());
    } else {
        *why = "not a network address (rfc2217://HOST:PORT or tcp://HOST:PORT)";
        return false;
    }
    // An IPv6 address carries colons of its own, hence the brackets around it.
    const std::size_t hostEnd = rest.rfind(']');
    a->ipv6 = !rest.empty() && rest.front() == '[' && hostEnd != std::string::npos;
    const std::size_t colon = rest.find(':', a->ipv6 ? hostEnd : 0);
    if (colon == std::string::npos || colon == 0 || (a->ipv6 && colon != hostEnd + 1)) {
        *why = "the address needs a host and a port: HOST:PORT";
        return false;
    }
    a->host = a->ipv6 ? rest.substr(1, hostEnd - 1) : rest.substr(0, colon);
    a->port = rest.substr(colon + 1);
    const auto hostChar = [&](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' || (a->ipv6 && c == ':');
    };
    if (a->host.empty() || !std::all_of(a->host.begin(), a->host.end(), hostChar)) {
        *why = "not a host name or address: " + a->host;
        return false;
    }
    const bool digits = !a->port.empty() && a->port.size() <= std::to_string(kMaxTcpPort).size() &&
                        std::all_of(a->port.begin(), a->port.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::stol(a->port) < 1 || std::stol(a->port) > kMaxTcpPort) {
        *why = "not a TCP port from 1 to 65535: " + a->port;
        return false;
    }
    return true;
}

// Why gensio could not reach the server, in the program's codes.
int ConnectFailure(int err)
{
    switch (err) {
    case GE_NOTFOUND:
    case GE_UNKNOWN_NAME_ERROR:
    case GE_NAME_ERROR:
    case GE_NAME_SERVER_FAILURE:
    case GE_NAME_INVALID:
    case GE_NAME_NET_NOT_UP:
    case GE_INVAL: return kComErrBadPort;
    case GE_TIMEDOUT: return kComErrTimeout;
    default: return kComErrCannotOpen;
    }
}

// Why gensio could not reach the server, in words that point at the cure.
std::string ConnectReason(int err, const Address &a)
{
    const std::string within = std::to_string(static_cast<int>(kConnectSeconds)) + " s";
    switch (err) {
    case GE_TIMEDOUT:
        // A telnet connection opens only once the server has answered the telnet options: a raw TCP port never does.
        return a.telnet ? "no RFC 2217 answer within " + within + " (for a raw TCP port use tcp://)"
                        : "no connection within " + within + " (is the host up and the port open to you?)";
    case GE_CONNREFUSE:
        return "connection refused: nothing accepts connections on port " + a.port + " of " + a.host +
               " (is the server running, and is that its port?)";
    case GE_NOTFOUND:
    case GE_UNKNOWN_NAME_ERROR:
    case GE_NAME_ERROR:
    case GE_NAME_INVALID: return "unknown host " + a.host;
    case GE_NAME_SERVER_FAILURE: return "unknown host " + a.host + ": the name server did not answer";
    case GE_NAME_NET_NOT_UP: return "unknown host " + a.host + ": no network to look it up on";
    case GE_HOSTDOWN: return "the host " + a.host + " cannot be reached";
    default: return gensio_err_to_str(err);
    }
}

bool TelnetGreeting(const std::vector<unsigned char> &bytes)
{
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i)
        if (bytes[i] == kTelnetIac && bytes[i + 1] >= kTelnetSb && bytes[i + 1] <= kTelnetDont)
            return true;
    return false;
}

} // namespace

bool IsAddress(const std::string &device)
{
    return device.rfind(kRfc2217Scheme, 0) == 0 || device.rfind(kTcpScheme, 0) == 0;
}

void PrepareForThreads()
{
    // gensio fills its process-wide tables (its own lock, the registered kinds of connection) on first use, behind
    // a flag it reads outside any lock. Filled here, on one thread, before any other opens a port, there is no
    // first use left to race. Making one connection object, unopened, is enough.
    gensio_os_funcs *o = AcquireServices();
    if (!o)
        return;
    auto scratch = std::make_unique<NetPort>();
    scratch->os = o;
    if (str_to_gensio("telnet(rfc2217),tcp(nodelay),127.0.0.1,1", o, OnEvent, scratch.get(), &scratch->io) == 0) {
        scratch->freeNote.note.freed = OnFreed;
        gensio_set_frdata(scratch->io, &scratch->freeNote.note);
        gensio_free(scratch->io);
        const double deadline = Timer() + kCloseSeconds;
        while (!scratch->freeNote.freed && Timer() < deadline) {
            gensio_time slice = ToTime(kServiceSlice);
            gensio_os_funcs_service(o, &slice);
        }
        // Left allocated rather than freed under a callback that may still come.
        if (!scratch->freeNote.freed)
            scratch.release();
    }
    const std::lock_guard lock(Net().mu);
    Net().idleServices.push_back(o);
}

std::string AddressProblem(const std::string &address)
{
    Address a;
    std::string why;
    return ParseAddress(address, &a, &why) ? std::string() : why;
}

namespace {

// A connection to a serial device server as the port table holds it.
class NetOpenPort final : public rs232::OpenPort {
public:
    explicit NetOpenPort(std::unique_ptr<NetPort> port) : p_(std::move(port)) {}
    ~NetOpenPort() override { NetOpenPort::Close(); }

    const std::string &Path() const override { return p_->address; }
    bool OnNetwork() const override { return true; }

    int SetTime(double timeoutSeconds) override
    {
        p_->timeout = timeoutSeconds;
        return 0;
    }

    int SetCts(int mode) override
    {
        // The line was set up without handshake when the port opened; a server offers nothing else here.
        return mode == kCtsOff ? 0 : kComErrIO;
    }

    int Flush(bool input, bool) override
    {
        // A write returns only once the bytes are with the connection: no output queue of ours holds any.
        if (!input)
            return 0;
        SigPipeHeld held;
        // The server may hold what the sensor sent but has not passed on yet; RFC 2217 lets the client have that
        // purged too. The command leaves ahead of whatever is written next.
        if (p_->telnet && !p_->error)
            if (sergensio *sio = gensio_to_sergensio(p_->io))
                sergensio_flush(sio, SERGENSIO_FLUSH_RCV_BUFFER);
        for (int i = 0; i < kFlushReads; ++i) {
            p_->input.clear();
            if (!Pump(*p_, 0) || p_->input.empty())
                break;
        }
        p_->input.clear();
        return 0;
    }

    int Write(const void *buffer, int count) override
    {
        if (count <= 0)
            return 0;
        SigPipeHeld held;
        // A server that has gone away took its end down with it; a write would still be accepted once, so look
        // first, as a local port finds its device gone.
        if (!Pump(*p_, 0))
            return kComErrIO;
        gensiods written = 0;
        gensio_time t = ToTime(p_->timeout);
        const int rc = gensio_write_s(p_->io, &written, buffer, static_cast<gensiods>(count), &t);
        if (rc != 0)
            p_->error = rc;
        if (rc != 0 && written == 0)
            return kComErrIO;
        return static_cast<int>(written);
    }

    bool HungUp() override
    {
        SigPipeHeld held;
        return !Pump(*p_, 0);
    }

    int InQLen() override
    {
        SigPipeHeld held;
        Pump(*p_, 0);
        return static_cast<int>(p_->input.size());
    }

    int InQLenWait(int wanted, double deadline) override
    {
        SigPipeHeld held;
        const auto want = static_cast<std::size_t>(std::clamp<long>(wanted, 0, static_cast<long>(p_->queueSize)));
        for (;;) {
            const bool alive = Pump(*p_, 0);
            if (p_->input.size() >= want || Timer() >= deadline)
                return static_cast<int>(p_->input.size());
            if (!alive) {
                // A dropped connection answers every wait at once: sleep out the time, as for a vanished device.
                SleepSeconds(deadline - Timer());
                return static_cast<int>(p_->input.size());
            }
            Pump(*p_, deadline - Timer());
        }
    }

    int Read(void *buffer, int count) override
    {
        if (count <= 0)
            return 0;
        InQLenWait(count, Timer() + p_->timeout);
        const std::size_t n = std::min(static_cast<std::size_t>(count), p_->input.size());
        std::copy_n(p_->input.begin(), n, static_cast<unsigned char *>(buffer));
        p_->input.erase(p_->input.begin(), p_->input.begin() + static_cast<std::ptrdiff_t>(n));
        return static_cast<int>(n);
    }

    void Close() override
    {
        if (!p_)
            return;
        SigPipeHeld held;
        Release(std::move(p_));
    }

private:
    std::unique_ptr<NetPort> p_;
};

} // namespace

std::unique_ptr<rs232::OpenPort> Open(const std::string &address, long baudRate, int parity, int dataBits, int stopBits,
                                      int inputQueueSize, int *error, std::string *why)
{
    Address a;
    if (!ParseAddress(address, &a, why)) {
        *error = kComErrBadPort;
        return nullptr;
    }

    SigPipeHeld held;
    auto p = std::make_unique<NetPort>();
    p->address = address;
    p->telnet = a.telnet;
    p->queueSize = static_cast<std::size_t>(std::max(1, inputQueueSize));
    // One set of operating-system services per port: a port used by one thread never waits on another's.
    p->os = AcquireServices();
    if (!p->os) {
        *why = "cannot start the network services";
        *error = kComErrSystem;
        return nullptr;
    }
    p->waiter = gensio_os_funcs_alloc_waiter(p->os);
    const std::string spec = std::string(a.telnet ? "telnet(rfc2217),tcp(nodelay)," : "tcp(nodelay),") +
                             (a.ipv6 ? "ipv6," : "") + a.host + "," + a.port;
    int rc = p->waiter ? str_to_gensio(spec.c_str(), p->os, OnEvent, p.get(), &p->io) : GE_NOMEM;
    if (rc == 0) {
        p->freeNote.note.freed = OnFreed;
        gensio_set_frdata(p->io, &p->freeNote.note);
        rc = gensio_open(p->io, OnOpened, p.get());
    }
    const double connectBegan = Timer();
    if (rc == 0 && !WaitUntil(*p, Timer() + kConnectSeconds, [&] { return p->openDone; }))
        rc = GE_TIMEDOUT;
    else if (rc == 0)
        rc = p->openError;
    if (rc != 0) {
        *why = ConnectReason(rc, a);
        Release(std::move(p));
        *error = ConnectFailure(rc);
        return nullptr;
    }
    p->opened = true;
    gensio_set_read_callback_enable(p->io, true);
    *error = kComErrCannotOpen;
    if (a.telnet && !SetLine(*p, baudRate, parity, dataBits, stopBits, why)) {
        Release(std::move(p));
        return nullptr;
    }
    if (p->error || gensio_set_sync(p->io) != 0) {
        // ser2net accepts a connection to a port another client holds and then closes it again.
        *why = "the server closed the connection at once (another client may hold the port)";
        Release(std::move(p));
        return nullptr;
    }
    if (!a.telnet) {
        // A raw stream into a telnet server would carry its negotiation as if the sensor had sent it.
        const double wait =
            std::min(kGreetingAtMost, std::max(kGreetingSeconds, kGreetingRoundTrips * (Timer() - connectBegan)));
        if (p->greeting.empty())
            Pump(*p, wait);
        std::vector<unsigned char> first = p->greeting;
        first.insert(first.end(), p->input.begin(), p->input.end());
        if (TelnetGreeting(first)) {
            *why = "this is a Telnet/RFC 2217 port: use rfc2217://" + address.substr(std::string(kTcpScheme).size());
            Release(std::move(p));
            return nullptr;
        }
    }
    *error = 0;
    auto port = std::make_unique<NetOpenPort>(std::move(p));
    // Bytes the server had buffered before anyone asked belong to nobody.
    port->Flush(true, false);
    return port;
}

} // namespace rs232net
