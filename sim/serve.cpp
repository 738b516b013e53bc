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

void SensorSim::serve()
{
    std::vector<uint8_t> partial;
    Clock::time_point firstByte{}, lastByte{}, busyUntil{};
    std::deque<Chunk> out;

    // Writes everything that is due; returns false once the hang-up counter has run out, so nothing
    // follows the last reply before the hang-up.
    auto flush = [&](Clock::time_point now) {
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
    };

    std::optional<Clock::time_point> drainSince;
    while (!stopRequested_) {
        Clock::time_point now = Clock::now();
        bool draining = false;
        {
            std::lock_guard lock(mu_);
            watchLineLocked(now);
            draining = hangUpRemaining_ == 0;
            if (!draining) {
                drainSince.reset();
            } else {
                // Closing the master discards whatever the slave has not read yet, so the last reply
                // would never be seen; give the PC time to collect it first. The pty queues written
                // bytes asynchronously, hence the short minimum before trusting an empty input queue.
                if (!drainSince)
                    drainSince = now;
                const int unread = pty_.unreadBySlave();
                if (now - *drainSince >= kDrainMin && (unread == 0 || now - *drainSince >= kDrainMax)) {
                    pty_.close();
                    hungUp_ = true;
                    hangUpRemaining_ = -1;
                    return;
                }
            }
        }
        if (!partial.empty() && now - lastByte > kStaleGap)
            partial.clear();
        if (!draining && !flush(now))
            continue;

        Clock::time_point wake = now + (draining ? kErrorBackoff : kIdleWake);
        if (!out.empty() && !draining)
            wake = std::min(wake, out.front().due);
        if (!partial.empty())
            wake = std::min(wake, lastByte + kStaleGap + std::chrono::milliseconds(1));
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
        lastByte = now;
        for (const uint8_t byte : std::span(buf).first(static_cast<std::size_t>(n))) {
            if (partial.empty())
                firstByte = now;
            partial.push_back(byte);
            if (partial.size() < kRequestBytes)
                continue;
            Fault fault = Fault::None;
            int baud = 0;
            double latency = 0.0;
            std::vector<uint8_t> reply;
            Clock::time_point notBefore;
            {
                std::lock_guard lock(mu_);
                // Whatever the line was set to for this request is seen, however briefly it was so: a server such
                // as ser2net puts the old settings back as soon as its client has gone.
                lineWatched_ = {};
                watchLineLocked(now);
                frames_.push_back(partial);
                if (frames_.size() > kFramesKept)
                    frames_.pop_front();
                ++framesSeen_;
                reply = respondLocked(partial, now, fault, notBefore);
                baud = opt_.paceBaud;
                latency = opt_.latency;
            }
            framesChanged_.notify_all();
            if (fault == Fault::Late)
                latency += kLateBy;
            if (!reply.empty()) {
                const Clock::time_point starts =
                    Schedule(out, std::move(reply), fault, baud, latency, firstByte, now, notBefore, busyUntil);
                std::lock_guard lock(mu_);
                if (replay_)
                    replay_->replyStarts(starts);
            }
            partial.clear();
        }
    }
}

} // namespace sim
