// SPDX-License-Identifier: MIT
// The simulated sensor's life: its pseudo-terminal and link, the serving thread, and what it answers to each order.
#include "sensor_sim.h"

#include "io/portdir.h"
#include "faults.h"
#include "line.h"
#include "link.h"
#include "measurement.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

using Seconds = std::chrono::duration<double>;

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
// How often the line settings are looked at: a server sets them before it passes any request on, and
// nothing tells a pty's master that they changed.
constexpr auto kLineWatchEvery = std::chrono::milliseconds(20);

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
    closePtyLocked();
    if (!openPtyLocked())
        return false;
    linkPath_ = opt_.com > 0 ? portdir::LinkPath(opt_.com) : std::string();
    if (!linkPath_.empty() && !placeLinkLocked()) {
        closePtyLocked();
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
    closePtyLocked();
    removeLinkLocked();
    hungUp_ = false;
}

bool SensorSim::isRunning() const
{
    std::lock_guard lock(mu_);
    return masterFd_ >= 0;
}

bool SensorSim::hungUp() const
{
    std::lock_guard lock(mu_);
    return hungUp_;
}

std::string SensorSim::devicePath() const
{
    std::lock_guard lock(mu_);
    return slavePath_;
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
    if (masterFd_ >= 0) {
        closePtyLocked();
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
    std::lock_guard lock(mu_);
    replay_.reset();
    if (!recording)
        return;
    if (recording->ram) {
        ram_ = *recording->ram;
        eeprom_ = *recording->ram;
    }
    replay_.emplace(std::move(*recording), end);
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

bool SensorSim::openPtyLocked()
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0)
        return false;
    char name[256];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        ::close(master);
        return false;
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    // Non-blocking so a PC that stops reading can never wedge the serving thread in write().
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (slave < 0 || tcgetattr(slave, &tio) != 0) {
        if (slave >= 0)
            ::close(slave);
        ::close(master);
        return false;
    }
    // Raw, so binary words such as 0x0d or 0x03 pass untranslated and never raise signals.
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, B19200);
    cfsetospeed(&tio, B19200);
    tcsetattr(slave, TCSANOW, &tio);

    masterFd_ = master;
    slaveFd_ = slave;
    slavePath_ = name;
    lineWatched_ = {};
    watchLineLocked(Clock::now());
    return true;
}

void SensorSim::closePtyLocked()
{
    if (slaveFd_ >= 0)
        ::close(slaveFd_);
    if (masterFd_ >= 0)
        ::close(masterFd_);
    slaveFd_ = masterFd_ = -1;
}

bool SensorSim::placeLinkLocked()
{
    const std::string dir = portdir::Directory();
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    // Build the link beside its final name and rename it over, so a front end scanning the directory
    // never sees comN missing while an older link is being replaced.
    const std::string tmp = linkPath_ + ".new" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(slavePath_.c_str(), tmp.c_str()) != 0)
        return false;
    if (::rename(tmp.c_str(), linkPath_.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

void SensorSim::removeLinkLocked()
{
    if (linkPath_.empty())
        return;
    // Leave the link alone if another simulator has since claimed this COM number.
    char target[256];
    const ssize_t n = ::readlink(linkPath_.c_str(), target, sizeof target - 1);
    if (n >= 0 && std::string(target, std::size_t(n)) == slavePath_)
        ::unlink(linkPath_.c_str());
}

void SensorSim::joinThread()
{
    stopRequested_ = true;
    if (thread_.joinable())
        thread_.join();
}

void SensorSim::watchLineLocked(Clock::time_point now)
{
    if (masterFd_ < 0 || now - lineWatched_ < kLineWatchEvery)
        return;
    lineWatched_ = now;
    LineSettings seen;
    if (!ReadLineSettings(masterFd_, &seen) || (lineChangesSeen_ > 0 && seen == line_))
        return;
    line_ = seen;
    lineChanges_.push_back(seen);
    if (lineChanges_.size() > kLineChangesKept)
        lineChanges_.pop_front();
    ++lineChangesSeen_;
}

std::vector<uint8_t> SensorSim::respondLocked(const std::vector<uint8_t> &frame, Clock::time_point now, Fault &fault,
                                              Clock::time_point &notBefore)
{
    const uint16_t order = static_cast<uint16_t>(frame[2] << 8 | frame[3]);
    Block pp{};
    for (std::size_t i = 0; i < pp.size(); ++i)
        pp[i] = static_cast<uint16_t>(frame[4 + 2 * i] << 8 | frame[5 + 2 * i]);

    std::vector<uint8_t> reply;
    fault = Fault::None;
    notBefore = now;
    if (DropsStore(fault_, faultOrder_, order)) {
        fault = Fault::DropStore;
        return reply;
    }
    switch (order) {
    case StoreRam: ram_ = pp; break;
    case StoreEeprom:
        eeprom_ = pp;
        ram_ = pp;
        break;
    case ReadRam: reply = EncodeWords(ram_); break;
    case ReadEeprom: reply = EncodeWords(eeprom_); break;
    case Measure:
        if (fixed_) {
            reply = EncodeWords(*fixed_);
        } else if (replay_) {
            // A replay that has stopped at its end leaves the request unanswered.
            if (const std::optional<Measurement> m = replay_->next(now, &notBefore))
                reply = EncodeWords(*m);
        } else {
            reply = EncodeWords(ScanScene(Seconds(now - epoch_).count(), ram_, rng_));
        }
        break;
    case Identify: reply = IdentBytes(opt_.ident); break;
    default: break;
    }
    if (reply.empty())
        return reply;

    Fault chosen = fault_;
    if (chosen == Fault::None && randomRate_ > 0 && order == Measure &&
        std::uniform_real_distribution<double>(0, 1)(faultRng_) < randomRate_) {
        chosen = DrawReplyFault(faultRng_);
        ++faultsDrawn_[static_cast<std::size_t>(chosen)];
    } else if (fault_ == Fault::None || (faultOrder_ != 0 && faultOrder_ != order)) {
        return reply;
    }
    fault = chosen;
    ApplyFault(chosen, reply, rng_);
    return reply;
}

void SensorSim::serve()
{
    int fd;
    {
        std::lock_guard lock(mu_);
        fd = masterFd_;
    }
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
            const ssize_t n = ::write(fd, c.bytes.data(), c.bytes.size());
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                c.due = now + kErrorBackoff;
                out.push_front(std::move(c));
                return true;
            }
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
                int unread = 0;
                ::ioctl(slaveFd_, TIOCINQ, &unread);
                if (now - *drainSince >= kDrainMin && (unread == 0 || now - *drainSince >= kDrainMax)) {
                    closePtyLocked();
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
        const timespec ts{static_cast<time_t>(wait.count() / 1000000000), static_cast<long>(wait.count() % 1000000000)};
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::ppoll(&pfd, 1, &ts, nullptr);
        if (ready <= 0) {
            if (ready < 0 && errno != EINTR)
                std::this_thread::sleep_for(kErrorBackoff);
            continue;
        }
        if (!(pfd.revents & POLLIN)) {
            std::this_thread::sleep_for(kErrorBackoff); // POLLHUP: no slave open, nothing to read yet
            continue;
        }
        uint8_t buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            if (n == 0 || (errno != EAGAIN && errno != EINTR))
                std::this_thread::sleep_for(kErrorBackoff); // EIO while the slave is closed
            continue;
        }
        now = Clock::now();
        lastByte = now;
        for (ssize_t i = 0; i < n; ++i) {
            if (partial.empty())
                firstByte = now;
            partial.push_back(buf[i]);
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
