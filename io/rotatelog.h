// SPDX-License-Identifier: MIT
// A line log that moves on to a fresh file once a day or at a size, losing no line: the full file is closed,
// renamed beside it with its date, and the next one begins with the header again. POSIX systems only.
#pragma once

#include "io/fileio.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// When a log moves on to a new file.
struct Rotation {
    enum class Kind { None, Daily, Size };
    Kind kind = Kind::None;
    int64_t bytes = 0; // with Kind::Size: the most a file holds, unless its header and one append alone are more
};

// "daily", or a size: whole bytes, or with k, M or G (1024, 1024², 1024³ bytes) as in 10M. False with *why.
bool ParseRotation(const std::string &text, Rotation *rotation, std::string *why);

// Appends whole lines to `path` as LineLog does, and rotates it:
// - Rotation::Kind::Daily: at local midnight, the file becomes STEM-YYYY-MM-DD.EXT (the day its lines are from);
// - Rotation::Kind::Size: before an append that would take it past the size, it becomes STEM-YYYY-MM-DDTHHMMSS.EXT
//   (the local time it was begun).
// A name that is taken gets _2, _3, …; no file is ever overwritten. The new file starts with header(), asked for
// at that moment, so it can name what has changed since the log began. Every append lands whole in exactly one
// file. A file found at Open that is already due (from an earlier day, or full) is rotated first.
class RotatingLog {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    RotatingLog() = default;
    RotatingLog(const RotatingLog &) = delete;
    RotatingLog &operator=(const RotatingLog &) = delete;

    // As LineLog::Open; *isNew tells the caller to write the header now. `clock` stands in for the system's in
    // tests. Without rotation `header` is never asked for.
    bool Open(const std::string &path, Rotation rotation, std::function<std::string()> header, bool *isNew,
              std::string *why, Clock clock = {});
    // Writes to a descriptor someone else owns (standard output); never rotates.
    void Attach(int fd) { log_.Attach(fd); }

    // `text` ends in a line feed and is never split between two files.
    void Append(const std::string &text);
    void FlushIfDue() { log_.FlushIfDue(); }
    bool Flush() { return log_.Flush(); }
    void Close() { log_.Close(); }
    // Why the log has stopped taking lines ("" while it takes them), and the system's error number if any.
    const std::string &Error() const { return error_.empty() ? log_.Error() : error_; }
    int ErrorCode() const { return error_.empty() ? log_.ErrorCode() : 0; }

    // The files rotated away since the last call, by their new names, and what went wrong with a rotation that
    // could not be made (the log then stays in its file, which keeps growing; "" when none did).
    std::vector<std::string> TakeRotated();
    std::string TakeProblem();

private:
    bool Due(std::size_t adding, std::chrono::system_clock::time_point now) const;
    void Rotate(std::chrono::system_clock::time_point now);
    bool Reopen(std::string *why);

    LineLog log_;
    std::string path_;
    Rotation rotation_;
    std::function<std::string()> header_;
    Clock clock_;
    std::chrono::system_clock::time_point begun_;    // when the file in use was begun
    std::chrono::system_clock::time_point midnight_; // the end of begun_'s day
    int64_t size_ = 0;                               // bytes in the file, what is still collected included
    int64_t headerSize_ = 0;                         // of them the header's, written when the file was begun
    std::vector<std::string> rotated_;
    std::string problem_;
    std::string error_; // the file could be neither begun anew nor taken back
};
