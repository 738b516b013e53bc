// SPDX-License-Identifier: MIT
// Serving thread, reply scheduling and the drifting colour scene of the simulated sensor.
#include "sensor_sim.h"

#include "core/portdir.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <numbers>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// Long enough that a PC giving up on a reply has certainly stopped sending, short enough that a
// garbled start does not delay the next good request noticeably.
constexpr auto kStaleGap = std::chrono::milliseconds(500);
// Bounds how long stop() waits for the thread and how long an idle thread sleeps.
constexpr auto kIdleWake = std::chrono::milliseconds(50);
// Back-off after EIO or POLLHUP (no slave open) or a full pty buffer: retrying at once would only spin.
constexpr auto kErrorBackoff = std::chrono::milliseconds(10);
// Gaps between bytes in Trickle mode: well above a 19200 baud byte-time, so a reader sees many reads.
constexpr auto kTrickleGap = std::chrono::milliseconds(3);
// Bounds on how long a hang-up waits for the PC to read the last reply.
constexpr auto kDrainMin = std::chrono::milliseconds(20);
constexpr auto kDrainMax = std::chrono::seconds(1);
constexpr double kNoiseCounts = 10.0; // ADC noise of one scan, in counts

// Bytes become due at `due`; `alone` chunks must reach the PC in their own write() call.
struct Chunk {
    std::vector<uint8_t> bytes;
    Clock::time_point due;
    int endsReplies = 0;
    bool alone = false;
};

Clock::duration ToClock(double seconds)
{
    return std::chrono::duration_cast<Clock::duration>(Seconds(std::max(0.0, seconds)));
}

// Lays out one reply in time. Paced bytes are released one byte-time apart, each at the moment its
// stop bit would have ended on a real line.
void Schedule(std::deque<Chunk> &out, std::vector<uint8_t> reply, Fault fault, int baud, double latency,
              Clock::time_point firstByte, Clock::time_point now, Clock::time_point &busyUntil)
{
    const Clock::duration byteTime = baud > 0 ? ToClock(10.0 / baud) : Clock::duration::zero();
    Clock::time_point start = now;
    if (baud > 0)
        start = std::max(start, firstByte + byteTime * static_cast<int>(kRequestBytes));
    start += ToClock(latency);
    start = std::max(start, busyUntil); // a later reply must not overtake an earlier one

    if (fault == Fault::LongByOne) {
        out.push_back({std::move(reply), start, 1, true});
    } else if (fault == Fault::Trickle) {
        const Clock::duration gap = std::max<Clock::duration>(kTrickleGap, byteTime);
        for (std::size_t i = 0; i < reply.size(); ++i)
            out.push_back({{reply[i]}, start + gap * static_cast<int>(i), i + 1 == reply.size() ? 1 : 0, true});
    } else if (baud > 0) {
        for (std::size_t i = 0; i < reply.size(); ++i)
            out.push_back(
                {{reply[i]}, start + byteTime * static_cast<int>(i + 1), i + 1 == reply.size() ? 1 : 0, false});
    } else {
        out.push_back({std::move(reply), start, 1, false});
    }
    busyUntil = out.back().due;
}

} // namespace

Block DefaultBlock()
{
    Block b{};
    b[SigWinHi] = 4000;
    b[SigWinLo] = 100;
    b[Power] = 800;
    b[Average] = 4;
    b[OutMode] = 0;
    b[Hold] = 10;
    for (std::size_t i = 6; i <= 14; ++i)
        b[i] = static_cast<uint16_t>((i - 5) * 0x0101);
    const std::array<uint16_t, 5> row1{1800, 1500, 120, 1200, 300};
    const std::array<uint16_t, 5> row2{1000, 2200, 120, 1200, 300};
    std::copy(row1.begin(), row1.end(), b.begin() + Row1X);
    std::copy(row2.begin(), row2.end(), b.begin() + Row2X);
    return b;
}

uint16_t ColourNumber(const Block &ram, uint16_t x, uint16_t y, uint16_t intensity)
{
    if (!(ram[SigWinLo] < intensity && intensity < ram[SigWinHi]))
        return 0;
    auto inside = [&](std::size_t row) {
        const int64_t dx = int64_t(x) - ram[row];
        const int64_t dy = int64_t(y) - ram[row + 1];
        const int64_t radius = ram[row + 2];
        const int64_t di = int64_t(intensity) - ram[row + 3];
        return dx * dx + dy * dy <= radius * radius && std::abs(di) <= int64_t(ram[row + 4]);
    };
    return static_cast<uint16_t>((inside(Row1X) ? 1 : 0) | (inside(Row2X) ? 2 : 0));
}

Measurement DeriveMeasurement(uint16_t red, uint16_t green, uint16_t blue, const Block &ram)
{
    const uint32_t sum = uint32_t(red) + green + blue;
    const auto x = static_cast<uint16_t>(sum ? uint32_t(red) * 4095 / sum : 0);
    const auto y = static_cast<uint16_t>(sum ? uint32_t(green) * 4095 / sum : 0);
    const auto intensity = static_cast<uint16_t>(sum / 3);
    return {red, green, blue, x, y, intensity, ColourNumber(ram, x, y, intensity)};
}

std::vector<uint8_t> EncodeWords(std::span<const uint16_t> words)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(words.size() * 2);
    for (uint16_t w : words) {
        bytes.push_back(static_cast<uint8_t>(w >> 8));
        bytes.push_back(static_cast<uint8_t>(w & 0xff));
    }
    return bytes;
}

std::vector<uint8_t> IdentBytes(const std::string &text)
{
    std::vector<uint8_t> bytes(kIdentChars * 2, 0);
    for (std::size_t k = 0; k < kIdentChars; ++k)
        bytes[2 * k + 1] = k < text.size() ? static_cast<uint8_t>(text[k]) : uint8_t(' ');
    return bytes;
}

std::vector<uint8_t> RequestFrame(uint16_t order, const Block &pp, uint16_t sync)
{
    const std::array<uint16_t, 2> head{sync, order};
    std::vector<uint8_t> frame = EncodeWords(head);
    const std::vector<uint8_t> body = EncodeWords(pp);
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

std::array<double, 3> SceneColour(double seconds)
{
    constexpr double kTau = 2.0 * std::numbers::pi;
    constexpr double kDeg = std::numbers::pi / 180.0;
    const double hue = kTau * seconds / 20.0;
    // Saturation follows hue so the path crosses the factory teach rows: (X 1800, Y 1500) lies at
    // hue 43 deg / saturation 0.437 and (X 1000, Y 2200) at hue 116 deg / saturation 0.613, so each
    // row lights for about a second in every 20 s cycle.
    const double sat = 0.5258 + 0.1475 * std::sin(hue - 80.0 * kDeg);
    // Three channels offset by 120 deg keep R+G+B at 3*level, so INT only follows the slow level wobble,
    // which stays inside the factory INT tolerance at the factory power.
    const double level = 1500.0 * (1.0 + 0.1 * std::sin(kTau * seconds / 7.3));
    return {level * (1.0 + sat * std::cos(hue)), level * (1.0 + sat * std::cos(hue - kTau / 3.0)),
            level * (1.0 + sat * std::cos(hue - 2.0 * kTau / 3.0))};
}

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

Measurement SensorSim::measureLocked(Clock::time_point now)
{
    if (fixed_)
        return *fixed_;
    const std::array<double, 3> clean = SceneColour(Seconds(now - epoch_).count());
    const double power = std::min<uint16_t>(ram_[Power], 1000) / 1000.0;
    const int scans = std::max<int>(1, ram_[Average]);
    std::normal_distribution<double> noise(0.0, kNoiseCounts / std::sqrt(double(scans)));
    std::array<uint16_t, 3> raw{};
    for (std::size_t c = 0; c < 3; ++c)
        raw[c] = static_cast<uint16_t>(std::clamp(std::lround(clean[c] * power + noise(rng_)), 0L, 4095L));
    return DeriveMeasurement(raw[0], raw[1], raw[2], ram_);
}

std::vector<uint8_t> SensorSim::respondLocked(const std::vector<uint8_t> &frame, Clock::time_point now, Fault &fault)
{
    const uint16_t order = static_cast<uint16_t>(frame[2] << 8 | frame[3]);
    Block pp{};
    for (std::size_t i = 0; i < pp.size(); ++i)
        pp[i] = static_cast<uint16_t>(frame[4 + 2 * i] << 8 | frame[5 + 2 * i]);

    std::vector<uint8_t> reply;
    if (fault_ == Fault::DropStore && (order == StoreRam || order == StoreEeprom) &&
        (faultOrder_ == 0 || faultOrder_ == order)) {
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
    case Measure: {
        const Measurement m = measureLocked(now);
        reply = EncodeWords(m);
        break;
    }
    case Identify: reply = IdentBytes(opt_.ident); break;
    default: break;
    }

    fault = Fault::None;
    Fault chosen = fault_;
    if (chosen == Fault::None && randomRate_ > 0 && order == Measure &&
        std::uniform_real_distribution<double>(0, 1)(faultRng_) < randomRate_) {
        chosen = static_cast<Fault>(std::uniform_int_distribution<int>(1, kFaultKinds - 1)(faultRng_));
        ++faultsDrawn_[static_cast<std::size_t>(chosen)];
    } else if (reply.empty() || fault_ == Fault::None || (faultOrder_ != 0 && faultOrder_ != order)) {
        return reply;
    }
    fault = chosen;
    std::uniform_int_distribution<int> byte(0, 255);
    switch (chosen) {
    case Fault::NoReply: reply.clear(); break;
    case Fault::ShortByOne: reply.pop_back(); break;
    case Fault::LongByOne: reply.push_back(static_cast<uint8_t>(byte(rng_))); break;
    case Fault::Garbage: {
        reply.resize(std::uniform_int_distribution<std::size_t>(1, 120)(rng_));
        for (uint8_t &b : reply)
            b = static_cast<uint8_t>(byte(rng_));
        break;
    }
    case Fault::Trickle:
    case Fault::Late:
    case Fault::DropStore:
    case Fault::None: break;
    }
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
            {
                std::lock_guard lock(mu_);
                frames_.push_back(partial);
                if (frames_.size() > kFramesKept)
                    frames_.pop_front();
                ++framesSeen_;
                reply = respondLocked(partial, now, fault);
                baud = opt_.paceBaud;
                latency = opt_.latency;
            }
            framesChanged_.notify_all();
            if (fault == Fault::Late)
                latency += kLateBy;
            if (!reply.empty())
                Schedule(out, std::move(reply), fault, baud, latency, firstByte, now, busyUntil);
            partial.clear();
        }
    }
}

} // namespace sim
