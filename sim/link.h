// SPDX-License-Identifier: MIT
// Private to the simulator: how a reply is laid out in time on the line, byte by byte.
#pragma once

#include "sensor_sim.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

namespace sim {

using Clock = std::chrono::steady_clock;

// Bytes become due at `due`; `alone` chunks must reach the PC in their own write() call.
struct Chunk {
    std::vector<uint8_t> bytes;
    Clock::time_point due;
    int endsReplies = 0;
    bool alone = false;
};

Clock::duration ToClock(double seconds);

// Lays out one reply after the request whose first byte came at `firstByte` and whose last came at `now`:
// paced like a `baud` 8N1 line (0 = at once), `latency` seconds later, never before `notBefore` and never
// overtaking the reply before it (`busyUntil`, moved on to this reply's last byte). Returns when its first
// byte is due.
Clock::time_point Schedule(std::deque<Chunk> &out, std::vector<uint8_t> reply, Fault fault, int baud, double latency,
                           Clock::time_point firstByte, Clock::time_point now, Clock::time_point notBefore,
                           Clock::time_point &busyUntil);

} // namespace sim
