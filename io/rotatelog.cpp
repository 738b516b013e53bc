// SPDX-License-Identifier: MIT
// Rotation of a line log by day or size: the names, the local calendar and the renames, each result checked.
#include "io/rotatelog.h"

#include "io/console.h"

#include <cerrno>
#include <charconv>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using SystemClock = std::chrono::system_clock;

constexpr int kMaxSameName = 999; // more rotations than this within one name's second is no log any more
constexpr int64_t kKibi = 1024;

SystemClock::time_point SystemNow()
{
    return SystemClock::now();
}

std::tm LocalTime(SystemClock::time_point when)
{
    const std::time_t t = SystemClock::to_time_t(when);
    std::tm local{};
    ::localtime_r(&t, &local);
    return local;
}

// The first moment of the local day after the one `when` falls on (a day of 23 or 25 hours included).
SystemClock::time_point NextMidnight(SystemClock::time_point when)
{
    std::tm day = LocalTime(when);
    day.tm_mday += 1;
    day.tm_hour = day.tm_min = day.tm_sec = 0;
    day.tm_isdst = -1;
    return SystemClock::from_time_t(std::mktime(&day));
}

std::string Stamp(SystemClock::time_point when, Rotation::Kind kind)
{
    const std::tm local = LocalTime(when);
    char text[32];
    std::strftime(text, sizeof text, kind == Rotation::Kind::Daily ? "%Y-%m-%d" : "%Y-%m-%dT%H%M%S", &local);
    return text;
}

// When the file at `path` was begun: its birth where the file system keeps one, else its last change.
bool Begun(const std::string &path, SystemClock::time_point *begun, int64_t *size)
{
    struct statx s {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME | STATX_SIZE, &s) != 0)
        return false;
    const statx_timestamp &t = (s.stx_mask & STATX_BTIME) ? s.stx_btime : s.stx_mtime;
    *begun = SystemClock::time_point(std::chrono::seconds(t.tv_sec));
    *size = static_cast<int64_t>(s.stx_size);
    return true;
}

// Moves `path` to STEM-STAMP.EXT beside it without ever replacing a file; the new name in *moved, or *why.
bool MoveAway(const std::string &path, const std::string &stamp, std::string *moved, std::string *why)
{
    const std::size_t slash = path.rfind('/');
    const std::size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot <= nameAt)
        dot = path.size(); // no extension (a leading dot is a hidden file's name, not one)
    const std::string stem = path.substr(0, dot) + "-" + stamp, ext = path.substr(dot);
    for (int n = 1; n <= kMaxSameName; ++n) {
        const std::string target = stem + (n == 1 ? std::string() : "_" + std::to_string(n)) + ext;
        // A second name first, then the old one dropped: unlike rename, this never replaces a file of that name.
        if (::link(path.c_str(), target.c_str()) == 0) {
            if (::unlink(path.c_str()) != 0) {
                const int code = errno;
                ::unlink(target.c_str());
                *why = "cannot remove " + path + " after linking it: " + console::ErrorText(code);
                return false;
            }
            *moved = target;
            return true;
        }
        const int code = errno;
        if (code == EEXIST)
            continue;
        // File systems without hard links: a rename into a name that is free a moment ago.
        if (code == EPERM || code == EOPNOTSUPP || code == ENOSYS) {
            struct stat taken {};
            if (::lstat(target.c_str(), &taken) == 0)
                continue;
            if (::rename(path.c_str(), target.c_str()) == 0) {
                *moved = target;
                return true;
            }
        }
        *why = "cannot rename " + path + " to " + target + ": " + console::ErrorText(errno);
        return false;
    }
    *why = "every name from " + stem + ext + " to …_" + std::to_string(kMaxSameName) + ext + " is taken";
    return false;
}

} // namespace

bool ParseRotation(const std::string &text, Rotation *rotation, std::string *why)
{
    if (text == "daily") {
        *rotation = Rotation{Rotation::Kind::Daily, 0};
        return true;
    }
    int64_t bytes = 0;
    const char *end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, bytes);
    int64_t unit = 1;
    if (r.ec == std::errc() && r.ptr + 1 == end) {
        switch (*r.ptr) {
        case 'k':
        case 'K': unit = kKibi; break;
        case 'm':
        case 'M': unit = kKibi * kKibi; break;
        case 'g':
        case 'G': unit = kKibi * kKibi * kKibi; break;
        default: unit = 0;
        }
    } else if (r.ec != std::errc() || r.ptr != end) {
        unit = 0;
    }
    if (unit == 0 || bytes <= 0 || bytes > INT64_MAX / unit) {
        *why = "'" + text + "' is neither daily nor a size such as 10M (bytes, or with k, M or G)";
        return false;
    }
    *rotation = Rotation{Rotation::Kind::Size, bytes * unit};
    return true;
}

bool RotatingLog::Open(const std::string &path, Rotation rotation, std::function<std::string()> header, bool *isNew,
                       std::string *why, Clock clock)
{
    path_ = path;
    rotation_ = rotation;
    header_ = std::move(header);
    clock_ = clock ? std::move(clock) : Clock(SystemNow);
    rotated_.clear();
    problem_.clear();
    error_.clear();
    const SystemClock::time_point now = clock_();
    begun_ = now;
    size_ = headerSize_ = 0;
    if (rotation_.kind != Rotation::Kind::None && Begun(path, &begun_, &size_)) {
        midnight_ = NextMidnight(begun_);
        // A log left from an earlier day, or full, goes away before this session writes a line to it.
        if (size_ > 0 && Due(0, now)) {
            std::string moved, problem;
            if (MoveAway(path, Stamp(begun_, rotation_.kind), &moved, &problem)) {
                rotated_.push_back(moved);
                begun_ = now;
                size_ = 0;
            } else {
                problem_ = problem;
            }
        }
    }
    midnight_ = NextMidnight(begun_);
    return log_.Open(path, isNew, why);
}

bool RotatingLog::Due(std::size_t adding, SystemClock::time_point now) const
{
    switch (rotation_.kind) {
    case Rotation::Kind::Daily: return now >= midnight_;
    // A file that holds no more than its header takes the append whatever its size, or it would never end.
    case Rotation::Kind::Size: return size_ + static_cast<int64_t>(adding) > rotation_.bytes && size_ > headerSize_;
    default: return false;
    }
}

void RotatingLog::Append(const std::string &text)
{
    if (!error_.empty())
        return;
    if (rotation_.kind != Rotation::Kind::None && log_.Error().empty()) {
        const SystemClock::time_point now = clock_();
        if (Due(text.size(), now))
            Rotate(now);
    }
    log_.Append(text);
    size_ += static_cast<int64_t>(text.size());
}

void RotatingLog::Rotate(SystemClock::time_point now)
{
    // Everything collected belongs to the file that is ending; it goes out before the file is closed.
    if (!log_.Flush())
        return;
    log_.Close();
    std::string moved, why;
    if (!MoveAway(path_, Stamp(begun_, rotation_.kind), &moved, &why)) {
        // The lines keep going where they went; rotating is given up rather than tried again at every line.
        problem_ = why + "; " + path_ + " goes on growing";
        rotation_.kind = Rotation::Kind::None;
        if (!Reopen(&why))
            error_ = why;
        return;
    }
    if (!Reopen(&why)) {
        // The log must not go on without a file: the old one takes its name back and is written on.
        ::rename(moved.c_str(), path_.c_str());
        problem_ = "cannot begin a new " + path_ + ": " + why;
        rotation_.kind = Rotation::Kind::None;
        if (!Reopen(&why))
            error_ = why;
        return;
    }
    rotated_.push_back(moved);
    begun_ = now;
    midnight_ = NextMidnight(now);
    const std::string head = header_ ? header_() : std::string();
    log_.Append(head);
    size_ = headerSize_ = static_cast<int64_t>(head.size());
}

bool RotatingLog::Reopen(std::string *why)
{
    bool isNew = false;
    return log_.Open(path_, &isNew, why);
}

std::vector<std::string> RotatingLog::TakeRotated()
{
    std::vector<std::string> taken;
    taken.swap(rotated_);
    return taken;
}

std::string RotatingLog::TakeProblem()
{
    std::string taken;
    taken.swap(problem_);
    return taken;
}
