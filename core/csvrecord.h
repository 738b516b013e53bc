// SPDX-License-Identifier: MIT
// The measurement log shared by the panel's recording and the command line's watch: one CSV line per measurement.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace csvrec {

inline constexpr const char *kColumns = "time,R,G,B,X,Y,INT,COL";

// Local time with milliseconds and UTC offset, ISO 8601: 2024-05-17T08:03:11.042+02:00.
std::string Timestamp(std::chrono::system_clock::time_point when);

// "time,R,G,B,X,Y,INT,COL" values of one measurement (RED, GREEN, BLUE, X, Y, INT, colour number), with '\n'.
std::string MeasurementLine(std::chrono::system_clock::time_point when, const uint16_t data[7]);

// Comment lines ('#') naming the program, the port, the identification and the 25 words of the RAM block,
// then the column names. `ident` is cut at its first control character.
std::string Header(const std::string &program, const std::string &port, const std::string &ident,
                   const uint16_t ramBlock[25]);

// Collects lines and hands them to the system in whole lines, so a crash (even SIGKILL) leaves only complete
// lines behind and loses at most what was collected in the last maxAge seconds.
class Recorder {
public:
    Recorder() = default;
    ~Recorder(); // flushes and closes
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    // Appends to `path` (created when missing). Returns false with *why set when it cannot be opened.
    // *isNew tells whether the file was empty, so the caller knows to write a header.
    bool Open(const std::string &path, bool *isNew, std::string *why);
    // Writes to an open descriptor owned by someone else (standard output).
    void Attach(int fd);
    bool IsOpen() const { return fd_ >= 0; }
    void SetMaxAge(double seconds) { maxAge_ = seconds; }

    // Collects text; writes out what is collected when the oldest of it is maxAge old or the buffer is large.
    void Append(const std::string &text);
    void FlushIfDue();
    // Returns false (once reported in Error()) when the system refused the text.
    bool Flush();
    const std::string &Error() const { return error_; }
    void Close();

private:
    int fd_ = -1;
    bool owned_ = false;
    double maxAge_ = 0.5;
    std::string buffer_;
    std::chrono::steady_clock::time_point oldest_{};
    std::string error_;
};

} // namespace csvrec
