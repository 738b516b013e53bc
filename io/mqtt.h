// SPDX-License-Identifier: MIT
// Publishing to an MQTT broker on the plant network, from a thread of its own so that no caller ever waits for the
// network; no Qt, no knowledge of sensors. MQTT 3.1.1 over plain TCP, QoS 0 for the stream, QoS 1 for retained
// values and last wills; no TLS, no login, no subscriptions.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mqtt {

inline constexpr int kDefaultPort = 1883;
// Messages one connection holds while the broker cannot take them: about half a minute of a sensor's stream.
inline constexpr std::size_t kQueueLimit = 1000;

struct Broker {
    std::string host;
    int port = kDefaultPort;
    std::string prefix; // the topic levels before the caller's own, without a '/' at either end ("" = none)
};

// Reads mqtt://HOST[:PORT][/PREFIX] (HOST a name, an IPv4 address, or an IPv6 address in brackets). False with
// *why saying what is wrong.
bool ParseUrl(const std::string &url, Broker *broker, std::string *why);

// One broker, one connection per session, each with a last will of its own. Sessions are added before Start;
// after it, every call but Stop may come from any thread and returns at once. A broker that cannot be reached,
// or goes away, is tried again after 1, 2 and then every 5 seconds; meanwhile each session keeps at most
// queueLimit messages, dropping (and counting) the oldest.
class Publisher {
public:
    explicit Publisher(Broker broker, std::size_t queueLimit = kQueueLimit);
    ~Publisher(); // Stop(0) if still running
    Publisher(const Publisher &) = delete;
    Publisher &operator=(const Publisher &) = delete;

    const Broker &broker() const { return broker_; }
    // A connection whose last will puts `willPayload` on `willTopic`, retained. Returns the session's number.
    int AddSession(const std::string &willTopic, const std::string &willPayload);
    // Starts the network thread; false (with *why) only when the client library cannot be used at all.
    bool Start(std::string *why);

    // A message on `topic`, not retained, as soon as the session's connection can take it.
    void Publish(int session, const std::string &topic, const std::string &payload);
    // The session's retained value on its will topic (the state the will stands for until it takes over): sent
    // when connected, and again on every new connection; a later value replaces one not sent yet.
    void Retain(int session, const std::string &payload);

    // Sends what is queued for up to `seconds`, puts each session's will payload on its will topic (an orderly
    // end says what the will would have said), disconnects and ends the thread.
    void Stop(double seconds);

    long sent() const { return sent_.load(std::memory_order_relaxed); }
    long dropped() const { return dropped_.load(std::memory_order_relaxed); }
    int connected() const { return connected_.load(std::memory_order_relaxed); }
    // What the user is to be told of the connection since the last call: reached, lost, not reachable.
    std::vector<std::string> TakeNotes();

    struct Session; // the network thread's own

private:
    void Run();
    void Pass(std::chrono::milliseconds wait, bool connect);
    void Farewell();
    void Note(std::string text);
    void NoteDown(std::string text); // once per outage
    void Wake();

    Broker broker_;
    std::size_t queueLimit_;
    std::vector<std::unique_ptr<Session>> sessions_;
    std::thread thread_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    double stopSeconds_ = 0;
    std::atomic<long> sent_{0}, dropped_{0};
    std::atomic<int> connected_{0};
    std::mutex notesMu_;
    std::vector<std::string> notes_;
    bool downNoted_ = false; // the network thread's own
};

} // namespace mqtt
