// SPDX-License-Identifier: MIT
// The MQTT publisher on the broker project's own client library (libmosquitto), driven by one thread that alone
// touches the library: it connects, polls every connection's socket, and hands each queued message to the
// library only while the connection can take it, so the library's own queue never grows without bound.
#include "io/mqtt.h"

#include "io/console.h"

#include <mosquitto.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <unistd.h>

namespace mqtt {

namespace {

using Steady = std::chrono::steady_clock;

constexpr int kKeepAliveSeconds = 15; // a broker hears the will at most 1.5 times this after a silent death
constexpr auto kTick = std::chrono::milliseconds(50); // the longest a message waits in the queue while connected
constexpr auto kHousekeeping = std::chrono::seconds(1);
constexpr std::size_t kBatch = 256; // messages taken from a queue at once
constexpr int kRetrySeconds[] = {1, 2, 5};
constexpr int kQosStream = 0;
constexpr int kQosState = 1;
constexpr int kMaxPort = 65535;
constexpr const char *kScheme = "mqtt://";

std::once_flag libraryReady;

std::string Where(const Broker &b)
{
    return (b.host.find(':') != std::string::npos ? "[" + b.host + "]" : b.host) + ":" + std::to_string(b.port);
}

// The library's word for a failure; for a system error, the system's own.
std::string Reason(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return console::ErrorText(errno);
    return mosquitto_strerror(rc);
}

std::string RetryText()
{
    return "; trying again every " + std::to_string(kRetrySeconds[std::size(kRetrySeconds) - 1]) + " s at most";
}

} // namespace

struct Publisher::Session {
    Publisher *owner = nullptr;
    std::string willTopic, willPayload;
    mosquitto *mosq = nullptr;

    // Shared with the callers.
    std::mutex mu;
    std::deque<std::pair<std::string, std::string>> queue; // topic, payload
    std::string state;
    bool stateDue = false;

    // The network thread's own.
    bool tried = false;
    bool connected = false;
    int failures = 0;
    Steady::time_point retryAt{};
    int stateMid = -1;
    bool stateAcked = false;

    bool Open() const { return mosquitto_socket(mosq) >= 0; }

    void Retry()
    {
        const int last = static_cast<int>(std::size(kRetrySeconds)) - 1;
        retryAt = Steady::now() + std::chrono::seconds(kRetrySeconds[std::min(failures, last)]);
        ++failures;
    }

    // Sends the state if one is due; false when the connection cannot take it now.
    void SendState()
    {
        std::string payload;
        {
            const std::lock_guard lock(mu);
            if (!stateDue)
                return;
            stateDue = false;
            payload = state;
        }
        stateAcked = false;
        mosquitto_publish(mosq, &stateMid, willTopic.c_str(), static_cast<int>(payload.size()), payload.data(),
                          kQosState, true);
    }

    static void OnConnect(mosquitto *, void *obj, int rc)
    {
        auto *s = static_cast<Session *>(obj);
        Publisher &p = *s->owner;
        if (rc != 0) {
            p.NoteDown("the broker at " + Where(p.broker_) +
                       " refused the connection: " + mosquitto_connack_string(rc));
            return;
        }
        s->connected = true;
        s->failures = 0;
        if (p.connected_.fetch_add(1) == 0) {
            p.Note("connected to the broker at " + Where(p.broker_));
            p.downNoted_ = false;
        }
        // A broker started anew has forgotten what was retained; every connection says it again.
        {
            const std::lock_guard lock(s->mu);
            s->stateDue = !s->state.empty();
        }
        s->SendState();
    }

    static void OnDisconnect(mosquitto *, void *obj, int rc)
    {
        auto *s = static_cast<Session *>(obj);
        Publisher &p = *s->owner;
        const std::string retry = RetryText();
        if (s->connected) {
            s->connected = false;
            if (p.connected_.fetch_sub(1) == 1 && !p.stopping_)
                p.NoteDown("lost the broker at " + Where(p.broker_) + ": " + Reason(rc) + retry);
        } else if (!p.stopping_) {
            p.NoteDown("cannot reach the broker at " + Where(p.broker_) + ": " + Reason(rc) + retry);
        }
        s->Retry();
    }

    static void OnPublish(mosquitto *, void *obj, int mid)
    {
        auto *s = static_cast<Session *>(obj);
        if (mid == s->stateMid)
            s->stateAcked = true;
    }
};

bool ParseUrl(const std::string &url, Broker *broker, std::string *why)
{
    const std::string wanted = " (write mqtt://HOST[:PORT]/PREFIX)";
    if (url.rfind("mqtts://", 0) == 0) {
        *why = url + ": TLS is not supported, only plain mqtt://";
        return false;
    }
    if (url.rfind(kScheme, 0) != 0) {
        *why = url + ": not an mqtt:// address" + wanted;
        return false;
    }
    Broker b;
    std::size_t at = std::char_traits<char>::length(kScheme);
    if (at < url.size() && url[at] == '[') {
        const std::size_t close = url.find(']', at);
        if (close == std::string::npos) {
            *why = url + ": the IPv6 address has no closing ]";
            return false;
        }
        b.host = url.substr(at + 1, close - at - 1);
        at = close + 1;
    } else {
        const std::size_t end = url.find_first_of(":/", at);
        b.host = url.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? url.size() : end;
    }
    if (b.host.empty()) {
        *why = url + ": no host" + wanted;
        return false;
    }
    if (at < url.size() && url[at] == ':') {
        const std::size_t end = std::min(url.find('/', at), url.size());
        const char *first = url.data() + at + 1, *last = url.data() + end;
        const auto r = std::from_chars(first, last, b.port);
        if (first == last || r.ec != std::errc() || r.ptr != last || b.port < 1 || b.port > kMaxPort) {
            *why = url + ": the port must be a number from 1 to " + std::to_string(kMaxPort);
            return false;
        }
        at = end;
    } else if (at < url.size() && url[at] != '/') {
        *why = url + ": unexpected text after the host" + wanted;
        return false;
    }
    if (at < url.size())
        b.prefix = url.substr(at + 1);
    while (!b.prefix.empty() && b.prefix.back() == '/')
        b.prefix.pop_back();
    if (b.prefix.find_first_of("+#") != std::string::npos || b.prefix.find("//") != std::string::npos ||
        (!b.prefix.empty() && b.prefix.front() == '/') || b.prefix.find('\0') != std::string::npos) {
        *why = url + ": the prefix may hold neither + nor # nor an empty level";
        return false;
    }
    *broker = std::move(b);
    return true;
}

Publisher::Publisher(Broker broker, std::size_t queueLimit) : broker_(std::move(broker)), queueLimit_(queueLimit) {}

Publisher::~Publisher()
{
    Stop(0);
    // A start that failed half-way leaves clients that no thread has destroyed.
    for (auto &s : sessions_)
        if (s->mosq)
            mosquitto_destroy(s->mosq);
    for (const int fd : wake_)
        if (fd >= 0)
            ::close(fd);
}

int Publisher::AddSession(const std::string &willTopic, const std::string &willPayload)
{
    auto s = std::make_unique<Session>();
    s->owner = this;
    s->willTopic = willTopic;
    s->willPayload = willPayload;
    sessions_.push_back(std::move(s));
    return static_cast<int>(sessions_.size()) - 1;
}

bool Publisher::Start(std::string *why)
{
    std::call_once(libraryReady, [] { mosquitto_lib_init(); });
    if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
        *why = "cannot make a wake-up pipe: " + console::ErrorText(errno);
        return false;
    }
    // Client ids must differ between every client of a broker, also between two machines of the line.
    std::random_device random;
    char tag[16];
    std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(random()));
    for (std::size_t i = 0; i < sessions_.size(); ++i) {
        Session &s = *sessions_[i];
        const std::string id = "qxscope-" + std::string(tag) + "-" + std::to_string(i);
        s.mosq = mosquitto_new(id.c_str(), true, &s);
        if (!s.mosq) {
            *why = "the MQTT client library cannot make a client: " + console::ErrorText(errno);
            return false;
        }
        mosquitto_will_set(s.mosq, s.willTopic.c_str(), static_cast<int>(s.willPayload.size()), s.willPayload.data(),
                           kQosState, true);
        mosquitto_int_option(s.mosq, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_connect_callback_set(s.mosq, Session::OnConnect);
        mosquitto_disconnect_callback_set(s.mosq, Session::OnDisconnect);
        mosquitto_publish_callback_set(s.mosq, Session::OnPublish);
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void Publisher::Publish(int session, const std::string &topic, const std::string &payload)
{
    Session &s = *sessions_[static_cast<std::size_t>(session)];
    const std::lock_guard lock(s.mu);
    if (s.queue.size() >= queueLimit_) {
        s.queue.pop_front();
        dropped_.fetch_add(1, std::memory_order_relaxed);
    }
    s.queue.emplace_back(topic, payload);
}

void Publisher::Retain(int session, const std::string &payload)
{
    Session &s = *sessions_[static_cast<std::size_t>(session)];
    {
        const std::lock_guard lock(s.mu);
        s.state = payload;
        s.stateDue = true;
    }
    Wake();
}

void Publisher::Wake()
{
    if (wake_[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1); // a full pipe is awake already
    }
}

void Publisher::Note(std::string text)
{
    const std::lock_guard lock(notesMu_);
    // Every connection meets the same broker: one word for all of them.
    if (notes_.empty() || notes_.back() != text)
        notes_.push_back(std::move(text));
}

void Publisher::NoteDown(std::string text)
{
    if (downNoted_)
        return;
    downNoted_ = true;
    Note(std::move(text));
}

std::vector<std::string> Publisher::TakeNotes()
{
    const std::lock_guard lock(notesMu_);
    std::vector<std::string> taken;
    taken.swap(notes_);
    return taken;
}

namespace {

// Hands a session's queued messages to the library while the connection takes them without waiting.
void Drain(Publisher::Session &s, std::size_t limit, std::atomic<long> &sent, std::atomic<long> &dropped)
{
    std::deque<std::pair<std::string, std::string>> batch;
    for (;;) {
        if (!s.connected || mosquitto_want_write(s.mosq))
            return;
        {
            const std::lock_guard lock(s.mu);
            if (s.queue.empty())
                return;
            const std::size_t n = std::min(kBatch, s.queue.size());
            batch.assign(std::make_move_iterator(s.queue.begin()),
                         std::make_move_iterator(s.queue.begin() + static_cast<std::ptrdiff_t>(n)));
            s.queue.erase(s.queue.begin(), s.queue.begin() + static_cast<std::ptrdiff_t>(n));
        }
        while (!batch.empty() && s.connected && !mosquitto_want_write(s.mosq)) {
            const auto &[topic, payload] = batch.front();
            if (mosquitto_publish(s.mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                  kQosStream, false) == MOSQ_ERR_SUCCESS)
                sent.fetch_add(1, std::memory_order_relaxed);
            else
                dropped.fetch_add(1, std::memory_order_relaxed);
            batch.pop_front();
        }
        if (batch.empty())
            continue;
        // The connection is full: the rest waits at the front, and the bound holds for both together.
        const std::lock_guard lock(s.mu);
        while (!batch.empty()) {
            s.queue.push_front(std::move(batch.back()));
            batch.pop_back();
        }
        while (s.queue.size() > limit) {
            s.queue.pop_front();
            dropped.fetch_add(1, std::memory_order_relaxed);
        }
        return;
    }
}

} // namespace

// One pass: connect what is due, hand over what is queued, wait for the sockets, serve them.
void Publisher::Pass(std::chrono::milliseconds wait, bool connect)
{
    const Steady::time_point now = Steady::now();
    std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
    std::vector<Session *> owners{nullptr};
    for (auto &sp : sessions_) {
        Session &s = *sp;
        if (connect && !s.Open() && now >= s.retryAt) {
            const int rc = s.tried
                               ? mosquitto_reconnect_async(s.mosq)
                               : mosquitto_connect_async(s.mosq, broker_.host.c_str(), broker_.port, kKeepAliveSeconds);
            s.tried = true;
            if (rc != MOSQ_ERR_SUCCESS) {
                NoteDown("cannot reach the broker at " + Where(broker_) + ": " + Reason(rc) + RetryText());
                s.Retry();
            } else if (s.Open()) {
                // The library makes its sockets inheritable: a command the program starts (an alarm) would
                // hold the connection open after the program is gone, and the broker would never hear the will.
                ::fcntl(mosquitto_socket(s.mosq), F_SETFD, FD_CLOEXEC);
            }
        }
        // A change of state goes out before the measurements queued behind it.
        if (s.connected) {
            s.SendState();
            Drain(s, queueLimit_, sent_, dropped_);
        }
        if (s.Open()) {
            fds.push_back({mosquitto_socket(s.mosq),
                           static_cast<short>(POLLIN | (mosquitto_want_write(s.mosq) ? POLLOUT : 0)), 0});
            owners.push_back(&s);
        }
    }
    if (::poll(fds.data(), fds.size(), static_cast<int>(wait.count())) <= 0)
        return;
    char drain[64];
    while (::read(wake_[0], drain, sizeof drain) > 0) {
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
        Session &s = *owners[i];
        if (fds[i].revents & (POLLIN | POLLERR | POLLHUP))
            mosquitto_loop_read(s.mosq, 1);
        if ((fds[i].revents & POLLOUT) && s.Open())
            mosquitto_loop_write(s.mosq, 1);
    }
}

// An orderly end: what is queued goes out, then each session says what its will would have said.
void Publisher::Farewell()
{
    const Steady::time_point deadline =
        Steady::now() + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(stopSeconds_));
    if (stopSeconds_ > 0) {
        for (auto &s : sessions_) {
            if (!s->connected)
                continue;
            const std::lock_guard lock(s->mu);
            s->state = s->willPayload;
            s->stateDue = true;
        }
        const auto done = [this] {
            for (auto &s : sessions_) {
                if (!s->connected)
                    continue;
                const std::lock_guard lock(s->mu);
                if (!s->queue.empty() || s->stateDue || !s->stateAcked || mosquitto_want_write(s->mosq))
                    return false;
            }
            return true;
        };
        while (Steady::now() < deadline && !done())
            Pass(std::chrono::milliseconds(10), false);
        for (auto &s : sessions_)
            if (s->connected)
                mosquitto_disconnect(s->mosq);
    }
}

void Publisher::Run()
{
    Steady::time_point nextHousekeeping = Steady::now();
    while (!stopping_) {
        Pass(kTick, true);
        if (Steady::now() >= nextHousekeeping) {
            nextHousekeeping = Steady::now() + kHousekeeping;
            for (auto &s : sessions_)
                if (s->Open())
                    mosquitto_loop_misc(s->mosq); // keep-alive pings, and a connection that went quiet
        }
    }
    Farewell();
    for (auto &s : sessions_) {
        mosquitto_destroy(s->mosq);
        s->mosq = nullptr;
    }
}

void Publisher::Stop(double seconds)
{
    if (!thread_.joinable())
        return;
    stopSeconds_ = seconds;
    stopping_ = true;
    Wake();
    thread_.join();
}

} // namespace mqtt
