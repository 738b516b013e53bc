// SPDX-License-Identifier: MIT
// The line settings as the simulated sensor sees them: watched on its pseudo-terminal, logged as they change, and
// written the way serial tools write them ("19200 8N1").
#include "sensor_sim.h"

namespace sim {

namespace {

// How often the line settings are looked at: a server sets them before it passes any request on, and
// nothing tells a pty's master that they changed.
constexpr auto kLineWatchEvery = std::chrono::milliseconds(20);

} // namespace

void SensorSim::watchLineLocked(Clock::time_point now)
{
    if (!pty_.isOpen() || now - lineWatched_ < kLineWatchEvery)
        return;
    lineWatched_ = now;
    LineSettings seen;
    if (!pty_.lineSettings(&seen) || (lineChangesSeen_ > 0 && seen == line_))
        return;
    line_ = seen;
    lineChanges_.push_back(seen);
    if (lineChanges_.size() > kLineChangesKept)
        lineChanges_.pop_front();
    ++lineChangesSeen_;
}

std::string LineText(const LineSettings &line)
{
    return std::to_string(line.baud) + " " + std::to_string(line.dataBits) + line.parity +
           std::to_string(line.stopBits);
}

} // namespace sim
