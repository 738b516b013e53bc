// SPDX-License-Identifier: MIT
// Pseudo-terminal pairs and device links on POSIX systems: posix_openpt, termios, ppoll and symlink.
#include "io/pty.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace pty {

namespace {

// The standard rates a terminal can hold; anything else reads as 0.
constexpr std::array<std::pair<speed_t, int>, 31> kRates{{
    {B0, 0},
    {B50, 50},
    {B75, 75},
    {B110, 110},
    {B134, 134},
    {B150, 150},
    {B200, 200},
    {B300, 300},
    {B600, 600},
    {B1200, 1200},
    {B1800, 1800},
    {B2400, 2400},
    {B4800, 4800},
    {B9600, 9600},
    {B19200, 19200},
    {B38400, 38400},
    {B57600, 57600},
    {B115200, 115200},
    {B230400, 230400},
    {B460800, 460800},
    {B500000, 500000},
    {B576000, 576000},
    {B921600, 921600},
    {B1000000, 1000000},
    {B1152000, 1152000},
    {B1500000, 1500000},
    {B2000000, 2000000},
    {B2500000, 2500000},
    {B3000000, 3000000},
    {B3500000, 3500000},
    {B4000000, 4000000},
}};

constexpr mode_t kOwnerOnly = 0700;
constexpr long kNanosPerSecond = 1000000000L;

bool SpeedCode(int baud, speed_t *code)
{
    for (const auto &[c, rate] : kRates)
        if (rate == baud) {
            *code = c;
            return true;
        }
    return false;
}

// Keeps the caller's errno across the clean-up after a failure, so the report names the first cause.
void CloseKeepingErrno(int fd)
{
    const int saved = errno;
    ::close(fd);
    errno = saved;
}

} // namespace

Pair::~Pair()
{
    close();
}

bool Pair::open(int baud)
{
    close();
    speed_t speed = B0;
    if (!SpeedCode(baud, &speed)) {
        errno = EINVAL;
        return false;
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0)
        return false;
    char name[PATH_MAX];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        CloseKeepingErrno(master);
        return false;
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    // Non-blocking so a reader that stops reading can never wedge its writer in write().
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (slave < 0 || tcgetattr(slave, &tio) != 0) {
        if (slave >= 0)
            CloseKeepingErrno(slave);
        CloseKeepingErrno(master);
        return false;
    }
    // Raw, so binary words such as 0x0d or 0x03 pass untranslated and never raise signals.
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tcsetattr(slave, TCSANOW, &tio);

    master_ = master;
    slave_ = slave;
    devicePath_ = name;
    return true;
}

bool Pair::isOpen() const
{
    return master_ >= 0;
}

void Pair::close()
{
    if (slave_ >= 0)
        ::close(slave_);
    if (master_ >= 0)
        ::close(master_);
    slave_ = master_ = -1;
}

const std::string &Pair::devicePath() const
{
    return devicePath_;
}

Ready Pair::waitReadable(std::chrono::nanoseconds timeout) const
{
    const long long ns = std::max<long long>(0, timeout.count());
    const timespec ts{static_cast<time_t>(ns / kNanosPerSecond), static_cast<long>(ns % kNanosPerSecond)};
    pollfd pfd{master_, POLLIN, 0};
    const int ready = ::ppoll(&pfd, 1, &ts, nullptr);
    if (ready == 0 || (ready < 0 && errno == EINTR))
        return Ready::Idle;
    if (ready < 0)
        return Ready::Closed;
    // POLLHUP alone: no slave open, nothing to read yet.
    return (pfd.revents & POLLIN) ? Ready::Readable : Ready::Closed;
}

long Pair::read(std::span<uint8_t> into)
{
    const ssize_t n = ::read(master_, into.data(), into.size());
    if (n > 0)
        return static_cast<long>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    return -1; // end of file, or EIO while the slave is closed
}

long Pair::write(std::span<const uint8_t> bytes)
{
    const ssize_t n = ::write(master_, bytes.data(), bytes.size());
    if (n >= 0)
        return static_cast<long>(n);
    return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
}

int Pair::unreadBySlave() const
{
    int unread = 0;
    ::ioctl(slave_, TIOCINQ, &unread);
    return unread;
}

bool Pair::lineSettings(LineSettings *line) const
{
    // On Linux the master reports the settings of its slave, so this sees what the program on the other side set.
    termios t{};
    if (tcgetattr(master_, &t) != 0)
        return false;
    const speed_t speed = cfgetospeed(&t);
    line->baud = 0;
    for (const auto &[code, rate] : kRates)
        if (code == speed)
            line->baud = rate;
    switch (t.c_cflag & CSIZE) {
    case CS5: line->dataBits = 5; break;
    case CS6: line->dataBits = 6; break;
    case CS7: line->dataBits = 7; break;
    default: line->dataBits = 8; break;
    }
    if (!(t.c_cflag & PARENB))
        line->parity = 'N';
    else if (t.c_cflag & CMSPAR)
        line->parity = (t.c_cflag & PARODD) ? 'M' : 'S';
    else
        line->parity = (t.c_cflag & PARODD) ? 'O' : 'E';
    line->stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    return true;
}

bool PlaceLink(const std::string &target, const std::string &link)
{
    const std::string::size_type slash = link.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string dir = link.substr(0, slash);
        if (::mkdir(dir.c_str(), kOwnerOnly) != 0 && errno != EEXIST)
            return false;
    }
    const std::string tmp = link + ".new" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0)
        return false;
    if (::rename(tmp.c_str(), link.c_str()) != 0) {
        const int saved = errno;
        ::unlink(tmp.c_str());
        errno = saved;
        return false;
    }
    return true;
}

void RemoveLinkTo(const std::string &link, const std::string &target)
{
    char seen[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), seen, sizeof seen - 1);
    if (n >= 0 && std::string(seen, std::size_t(n)) == target)
        ::unlink(link.c_str());
}

} // namespace pty
