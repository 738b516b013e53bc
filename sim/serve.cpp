// SPDX-License-Identifier: MIT
// The simulated sensor's serving thread: requests gathered from the pseudo-terminal, replies written when due, and
// the wait for the last reply to be read before a hang-up.
#include "sensor_sim.h"

#include "link.h"

#include <algorithm>
#include <array>
#include <deque>
#include <optional>

namespace sim {

namespace {

// Long enough that a PC giving up on a reply has certainly stopped sending, short enough that a
// garbled start does not delay the next good request noticeably.
constexpr auto kStaleGap = std::chrono::milliseconds(500);
// Bounds how long stop() waits for the thread and how long an idle thread sleeps.
constexpr auto kIdleWake = std::chrono::milliseconds(50);
// Back-off after EIO or POLLHUP (no slave open) or a full pty buffer: retrying at once would only spin.
constexpr auto kErrorBackoff = std::chrono::milliseconds(10);
// Bounds on how long a hang-up waits for the PC to read the last reply.
constexpr auto kDrainMin = std::chrono::milliseconds(20);
constexpr auto kDrainMax = std::chrono::seconds(1);
// What one read takes from the pseudo-terminal: far more than a request, so a burst is taken in one go.
constexpr std::size_t kReadChunk = 4096;

} // namespace

// What the serving thread keeps between its turns: the request gathered so far, the replies on their way, and
// since when it waits for the PC to read the last reply before a hang-up.
struct SensorSim::Serving {
    std::vector<uint8_t> partial;
    Clock::time_point firstByte{}, lastByte{}, busyUntil{};
    std::deque<Chunk> out;
    std::optional<Clock::time_point> drainSince;
};

bool SensorSim::writeDue(Serving &s, Clock::time_point now)
{
    std::deque<Chunk> &out = s.out;
    while (!out.empty() && out.front().due <= now) {
        Chunk c = std::move(out.front());
        out.pop_front();
        while (!c.alone && !out.empty() && !out.front().alone && out.front().due <= now) {
            c.bytes.insert(c.bytes.end(), out.front().bytes.begin(), out.front().bytes.end());
            c.endsReplies += out.front().endsReplies;
            out.pop_front();
        }
        const long n = pty_.write(c.bytes);
        if (n >= 0 && std::size_t(n) < c.bytes.size()) {
            c.bytes.erase(c.bytes.begin(), c.bytes.begin() + n);
            c.due = now + kErrorBackoff;
            out.push_front(std::move(c));
            return true;
        }
        // A failed write (nobody listening) loses the bytes, as on a real line; it still ends the reply.
        if (c.endsReplies > 0) {
            std::lock_guard lock(mu_);
            if (n >= 0)
                replies_ += c.endsReplies;
            if (hangUpRemaining_ > 0)
                hangUpRemaining_ = std::max(0, hangUpRemaining_ - c.endsReplies);
            if (hangUpRemaining_ == 0)
                return false;
        }
    }
    return true;
}

bool SensorSim::hangUpWhenRead(Serving &s, Clock::time_point now, bool *draining)
{
    std::lock_guard lock(mu_);
    watchLineLocked(now);
    *draining = hangUpRemaining_ == 0;
    if (!*draining) {
        s.drainSince.reset();
        return false;
    }
    // Closing the master discards whatever the slave has not read yet, so the last reply would never be seen; give
    // the PC time to collect it first. The pty queues written bytes asynchronously, hence the short minimum before
    // trusting an empty input queue.
    if (!s.drainSince)
        s.drainSince = now;
    const int unread = pty_.unreadBySlave();
    if (now - *s.drainSince >= kDrainMin && (unread == 0 || now - *s.drainSince >= kDrainMax)) {
        pty_.close();
        hungUp_ = true;
        hangUpRemaining_ = -1;
        return true;
    }
    return false;
}

void SensorSim::takeRequest(Serving &s, Clock::time_point now)
{
    Fault fault = Fault::None;
    int baud = 0;
    double latency = 0.0;
    std::vector<uint8_t> reply;
    Clock::time_point notBefore;
    {
        std::lock_guard lock(mu_);
        // Whatever the line was set to for this request is seen, however briefly it was so: a server such as ser2net
        // puts the old settings back as soon as its client has gone.
        lineWatched_ = {};
        watchLineLocked(now);
        frames_.push_back(s.partial);
        if (frames_.size() > kFramesKept)
            frames_.pop_front();
        ++framesSeen_;
        reply = respondLocked(s.partial, now, fault, notBefore);
        baud = opt_.paceBaud;
        latency = opt_.latency;
    }
    framesChanged_.notify_all();
    if (fault == Fault::Late)
        latency += kLateBy;
    if (!reply.empty()) {
        const Clock::time_point starts =
            Schedule(s.out, std::move(reply), fault, baud, latency, s.firstByte, now, notBefore, s.busyUntil);
        std::lock_guard lock(mu_);
        if (replay_)
            replay_->replyStarts(starts);
    }
    s.partial.clear();
}

void SensorSim::serve()
{
    Serving s;
    while (!stopRequested_) {
        Clock::time_point now = Clock::now();
        bool draining = false;
        if (hangUpWhenRead(s, now, &draining))
            return;
        if (!s.partial.empty() && now - s.lastByte > kStaleGap)
            s.partial.clear();
        // Nothing follows the last reply before a hang-up.
        if (!draining && !writeDue(s, now))
            continue;

        Clock::time_point wake = now + (draining ? kErrorBackoff : kIdleWake);
        if (!s.out.empty() && !draining)
            wake = std::min(wake, s.out.front().due);
        if (!s.partial.empty())
            wake = std::min(wake, s.lastByte + kStaleGap + std::chrono::milliseconds(1));
        const auto wait =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(wake - now, Clock::duration::zero()));
        const pty::Ready ready = pty_.waitReadable(wait);
        if (ready != pty::Ready::Readable) {
            if (ready == pty::Ready::Closed)
                std::this_thread::sleep_for(kErrorBackoff); // no slave open, nothing to read yet
            continue;
        }
        std::array<uint8_t, kReadChunk> buf;
        const long n = pty_.read(buf);
        if (n <= 0) {
            if (n < 0)
                std::this_thread::sleep_for(kErrorBackoff); // EIO while the slave is closed
            continue;
        }
        now = Clock::now();
        s.lastByte = now;
        for (const uint8_t byte : std::span(buf).first(static_cast<std::size_t>(n))) {
            if (s.partial.empty())
                s.firstByte = now;
            s.partial.push_back(byte);
            if (s.partial.size() >= kRequestBytes)
                takeRequest(s, now);
        }
    }
}

} // namespace sim
