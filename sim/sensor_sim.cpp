// SPDX-License-Identifier: MIT
// The simulated sensor's life and settings: its pseudo-terminal and link, starting, stopping and hanging up, and
// what callers set and read while it serves.
#include "sensor_sim.h"

#include "io/portdir.h"

#include <algorithm>
#include <deque>
#include <optional>

namespace sim {

namespace {

using Seconds = std::chrono::duration<double>;

// The entries of a log numbered from 0 (`total` so far, the newest of them kept in `log`) that come after a
// reader's position *seen, which moves on to `total`.
template <class T>
std::vector<T> Since(const std::deque<T> &log, std::size_t total, std::size_t *seen)
{
    const std::size_t first = total - log.size(); // number of the oldest entry still kept
    const std::size_t from = std::max(*seen, first);
    *seen = total;
    if (from >= total)
        return {};
    return {log.begin() + static_cast<std::ptrdiff_t>(from - first), log.end()};
}

} // namespace

SensorSim::SensorSim(Options o)
    : opt_(std::move(o)), ram_(DefaultBlock()), eeprom_(DefaultBlock()), rng_(std::random_device{}()),
      epoch_(Clock::now())
{
}

SensorSim::~SensorSim()
{
    stop();
}

bool SensorSim::start()
{
    if (isRunning())
        return true;
    joinThread(); // a thread that hung up by itself has returned but is still joinable
    std::lock_guard lock(mu_);
    if (!openPtyLocked())
        return false;
    linkPath_ = opt_.com > 0 ? portdir::LinkPath(opt_.com) : std::string();
    if (!linkPath_.empty() && !pty::PlaceLink(pty_.devicePath(), linkPath_)) {
        pty_.close();
        return false;
    }
    hungUp_ = false;
    stopRequested_ = false;
    thread_ = std::thread(&SensorSim::serve, this);
    return true;
}

void SensorSim::stop()
{
    joinThread();
    std::lock_guard lock(mu_);
    pty_.close();
    removeLinkLocked();
    hungUp_ = false;
}

bool SensorSim::isRunning() const
{
    std::lock_guard lock(mu_);
    return pty_.isOpen();
}

bool SensorSim::hungUp() const
{
    std::lock_guard lock(mu_);
    return hungUp_;
}

std::string SensorSim::devicePath() const
{
    std::lock_guard lock(mu_);
    return pty_.devicePath();
}

std::string SensorSim::linkPath() const
{
    std::lock_guard lock(mu_);
    return opt_.com > 0 ? portdir::LinkPath(opt_.com) : std::string();
}

void SensorSim::setFault(Fault f, int order)
{
    std::lock_guard lock(mu_);
    fault_ = f;
    faultOrder_ = f == Fault::None ? 0 : order;
}

void SensorSim::hangUpAfter(int replies)
{
    std::lock_guard lock(mu_);
    hangUpRemaining_ = replies < 0 ? -1 : replies;
}

void SensorSim::hangUpNow()
{
    joinThread();
    std::lock_guard lock(mu_);
    if (pty_.isOpen()) {
        pty_.close();
        hungUp_ = true;
    }
    hangUpRemaining_ = -1;
}

bool SensorSim::reopen()
{
    if (isRunning())
        hangUpNow();
    return start();
}

void SensorSim::setIdent(const std::string &text)
{
    std::lock_guard lock(mu_);
    opt_.ident = text;
}

void SensorSim::setRam(const Block &b)
{
    std::lock_guard lock(mu_);
    ram_ = b;
}

Block SensorSim::ram() const
{
    std::lock_guard lock(mu_);
    return ram_;
}

void SensorSim::setEeprom(const Block &b)
{
    std::lock_guard lock(mu_);
    eeprom_ = b;
}

Block SensorSim::eeprom() const
{
    std::lock_guard lock(mu_);
    return eeprom_;
}

void SensorSim::setFixedMeasurement(std::optional<Measurement> m)
{
    std::lock_guard lock(mu_);
    fixed_ = m;
}

void SensorSim::setReplay(std::optional<Recording> recording, ReplayEnd end)
{
    if (recording) {
        setReplay(HeldLog(std::move(*recording)), end);
        return;
    }
    std::lock_guard lock(mu_);
    replay_.reset();
}

void SensorSim::setReplay(ReplayLog log, ReplayEnd end)
{
    std::lock_guard lock(mu_);
    replay_.reset();
    if (log.ram) {
        ram_ = *log.ram;
        eeprom_ = *log.ram;
    }
    if (log.ident)
        opt_.ident = *log.ident;
    replay_.emplace(std::move(log), end);
}

std::size_t SensorSim::replayAnswered() const
{
    std::lock_guard lock(mu_);
    return replay_ ? replay_->answered() : 0;
}

bool SensorSim::replayFinished() const
{
    std::lock_guard lock(mu_);
    return replay_ && replay_->finished();
}

LineSettings SensorSim::lineSettings() const
{
    std::lock_guard lock(mu_);
    return line_;
}

std::vector<LineSettings> SensorSim::lineChangesSince(std::size_t *seen) const
{
    std::lock_guard lock(mu_);
    return Since(lineChanges_, lineChangesSeen_, seen);
}

void SensorSim::setPacing(int baud)
{
    std::lock_guard lock(mu_);
    opt_.paceBaud = std::max(0, baud);
}

void SensorSim::setLatency(double seconds)
{
    std::lock_guard lock(mu_);
    opt_.latency = std::max(0.0, seconds);
}

void SensorSim::setRandomFaults(double rate, unsigned seed)
{
    std::lock_guard lock(mu_);
    randomRate_ = rate;
    faultRng_.seed(seed);
    faultsDrawn_ = {};
}

std::array<int, kFaultKinds> SensorSim::faultsDrawn() const
{
    std::lock_guard lock(mu_);
    return faultsDrawn_;
}

std::vector<std::vector<uint8_t>> SensorSim::frames() const
{
    std::lock_guard lock(mu_);
    return {frames_.begin(), frames_.end()};
}

std::size_t SensorSim::framesSeen() const
{
    std::lock_guard lock(mu_);
    return framesSeen_;
}

std::vector<std::vector<uint8_t>> SensorSim::framesSince(std::size_t *seen) const
{
    std::lock_guard lock(mu_);
    return Since(frames_, framesSeen_, seen);
}

void SensorSim::clearFrames()
{
    std::lock_guard lock(mu_);
    frames_.clear();
    framesSeen_ = 0;
}

bool SensorSim::waitForFrames(std::size_t count, double timeoutSeconds) const
{
    std::unique_lock lock(mu_);
    return framesChanged_.wait_for(lock, Seconds(std::max(0.0, timeoutSeconds)), [&] { return framesSeen_ >= count; });
}

int SensorSim::repliesSent() const
{
    std::lock_guard lock(mu_);
    return replies_;
}

void SensorSim::joinThread()
{
    stopRequested_ = true;
    if (thread_.joinable())
        thread_.join();
}

bool SensorSim::openPtyLocked()
{
    if (!pty_.open(kLineBaud))
        return false;
    lineWatched_ = {};
    watchLineLocked(Clock::now());
    return true;
}

void SensorSim::removeLinkLocked()
{
    // Leave the link alone if another simulator has since claimed this COM number.
    if (!linkPath_.empty())
        pty::RemoveLinkTo(linkPath_, pty_.devicePath());
}

} // namespace sim
