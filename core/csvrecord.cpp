// SPDX-License-Identifier: MIT
// CSV lines, their header and the whole-line writer behind the panel's recording and the command line's watch.
#include "core/csvrecord.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace csvrec {

namespace {

// Past this the buffer goes out whatever its age: keeps a fast unpaced run from holding much in memory.
constexpr std::size_t kFlushBytes = 32 * 1024;

} // namespace

std::string Timestamp(std::chrono::system_clock::time_point when)
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(when.time_since_epoch()).count();
    time_t secs = static_cast<time_t>(ms / 1000);
    long frac = static_cast<long>(ms % 1000);
    if (frac < 0) {
        frac += 1000;
        --secs;
    }
    tm local{};
    localtime_r(&secs, &local);
    const long off = local.tm_gmtoff / 60;
    const long absOff = off < 0 ? -off : off;
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ld%c%02ld:%02ld", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, frac, off < 0 ? '-' : '+',
                  absOff / 60, absOff % 60);
    return text;
}

std::string MeasurementLine(std::chrono::system_clock::time_point when, const uint16_t data[7])
{
    std::string line = Timestamp(when);
    char values[64];
    std::snprintf(values, sizeof values, ",%u,%u,%u,%u,%u,%u,%u\n", data[0], data[1], data[2], data[3], data[4],
                  data[5], data[6]);
    return line + values;
}

std::string Header(const std::string &program, const std::string &port, const std::string &ident,
                   const uint16_t ramBlock[25])
{
    std::string clean;
    for (char c : ident) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            break;
        clean += c;
    }
    while (!clean.empty() && clean.back() == ' ')
        clean.pop_back();
    std::string text = "# " + program + "\n# port: " + port + "\n# ident: " + clean + "\n# RAM:";
    for (int i = 0; i < 25; ++i)
        text += " " + std::to_string(ramBlock[i]);
    return text + "\n" + kColumns + "\n";
}

Recorder::~Recorder()
{
    Close();
}

bool Recorder::Open(const std::string &path, bool *isNew, std::string *why)
{
    Close();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    struct stat s {};
    if (fstat(fd, &s) != 0 || S_ISDIR(s.st_mode)) {
        *why = "not a file";
        ::close(fd);
        return false;
    }
    *isNew = s.st_size == 0;
    fd_ = fd;
    owned_ = true;
    error_.clear();
    return true;
}

void Recorder::Attach(int fd)
{
    Close();
    fd_ = fd;
    owned_ = false;
    error_.clear();
}

void Recorder::Append(const std::string &text)
{
    if (fd_ < 0)
        return;
    if (buffer_.empty())
        oldest_ = std::chrono::steady_clock::now();
    buffer_ += text;
    FlushIfDue();
}

void Recorder::FlushIfDue()
{
    if (buffer_.empty())
        return;
    const double age = std::chrono::duration<double>(std::chrono::steady_clock::now() - oldest_).count();
    if (age >= maxAge_ || buffer_.size() >= kFlushBytes)
        Flush();
}

bool Recorder::Flush()
{
    std::size_t done = 0;
    while (fd_ >= 0 && done < buffer_.size()) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (error_.empty())
                error_ = std::strerror(n < 0 ? errno : EIO);
            buffer_.clear();
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    buffer_.clear();
    return error_.empty();
}

void Recorder::Close()
{
    if (fd_ < 0)
        return;
    Flush();
    if (owned_)
        ::close(fd_);
    fd_ = -1;
    owned_ = false;
}

} // namespace csvrec
