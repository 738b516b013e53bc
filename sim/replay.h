// SPDX-License-Identifier: MIT
// A recorded measurement log (the CSV that the panel's --record and the command line's watch write) and its
// replay, line by line at the pace it was recorded.
#pragma once

#include "core/ScopeState.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// The simulator's two kinds of record, here because a recording holds both.
using Block = std::array<uint16_t, kParaWords>;       // the parameter block pp
using Measurement = std::array<uint16_t, kDataWords>; // RED, GREEN, BLUE, X, Y, INT, COL

// A log line longer than this is no line the programs write (theirs are well under a hundred characters):
// it is refused with its number rather than read whole.
inline constexpr std::size_t kMaxLogLine = 4096;
// A log that cannot be read twice (a pipe) is held in memory, at most this many lines (about ten hours of
// polling, some 30 MB); a longer one replays from a file, which is read as the replay goes.
inline constexpr std::size_t kMaxHeldLines = 1000000;

struct Recording {
    std::optional<Block> ram;              // the first "# RAM:" header line, when the file has one
    std::optional<std::string> ident;      // the first "# ident:" header line, when the file has one
    std::vector<Measurement> measurements; // in file order
    std::vector<double> seconds;           // the time of each, in seconds from an arbitrary origin
};

// Reads a log: '#' comment lines anywhere (the first "# RAM: w0 … w24" gives the block, the first "# ident: TEXT"
// the identification), blank lines, a column
// line naming at least time,R,G,B,X,Y,INT,COL in any order (without one, that order is assumed), then one line
// per measurement. Times are ISO 8601 as the log writes them (2024-05-17T08:03:11.042+02:00) or plain seconds.
// False with *error ("line N: why") for anything else, a line longer than kMaxLogLine, more than kMaxHeldLines
// lines, or when there is no measurement at all.
//
// A log of several sensors has a "port" column too. `port` chooses one of them: only its lines are read, and the
// block and the identification are the first "# RAM:" and "# ident:" lines after a "# port:" line that names it ("#
// port: COM 11 (/dev/ttyUSB0)" names COM 11; a bare number N stands for "COM N"). Such a log cannot be read without a
// choice when it holds more than one port, and a log without the column admits none.
bool ParseRecording(const std::string &text, Recording *recording, std::string *error, const std::string &port = {});
// The same from a file or pipe, held in memory; *error starts with the path.
bool LoadRecording(const std::string &path, Recording *recording, std::string *error, const std::string &port = {});

// Where a replay's measurements come from, one after another, and from the first again after rewind().
class MeasurementSource {
public:
    virtual ~MeasurementSource() = default;
    // The next measurement and its time in seconds; false after the last.
    virtual bool next(Measurement *m, double *seconds) = 0;
    virtual void rewind() = 0;
};

// A log ready to replay: its block, how many measurements it has, and where they come from.
struct ReplayLog {
    std::optional<Block> ram;
    std::optional<std::string> ident; // what the recorded sensor identified itself as
    std::size_t measurements = 0;
    std::unique_ptr<MeasurementSource> source;
};

// A recording held in memory, to replay.
ReplayLog HeldLog(Recording recording);

// Opens a log to replay, with LoadRecording's rules. A regular file is read through once to check every line and
// find its block, then read again line by line while it is replayed, so a log of any length costs the memory
// of a line. A pipe or FIFO is read to its end and held (at most kMaxHeldLines lines). A folder, a device
// (/dev/zero never ends) or a socket is refused. *error starts with the path.
bool OpenReplayLog(const std::string &path, ReplayLog *log, std::string *error, const std::string &port = {});

enum class ReplayEnd {
    Loop, // after the last line, the first again
    Stop, // after the last line, data requests go unanswered, as if the sensor had fallen silent
};

// Hands out a log's measurements one per data request, in order, each no sooner after the previous reply than
// the two lines were apart in the file. A pause longer than kMaxGap (the log stopped, the program waited on a
// message box) is replayed as kMaxGap, so a front end never times out on the pace alone.
class Replayer {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr double kMaxGap = 1.0;

    Replayer(ReplayLog log, ReplayEnd end);

    // The next measurement, and in *notBefore the earliest moment its reply may start; nothing once a
    // stopping replay has given its last line.
    std::optional<Measurement> next(Clock::time_point now, Clock::time_point *notBefore);
    // The reply to the measurement last handed out starts at `when`; the next one is paced from there.
    void replyStarts(Clock::time_point when);

    std::size_t answered() const { return answered_; } // measurements handed out, over every loop
    bool finished() const { return finished_; }

private:
    // The measurement after the one handed out, read ahead so that a stopping replay knows its last line.
    struct Ahead {
        Measurement m;
        double seconds;
        bool first; // of a pass through the log: it goes out at once
    };
    void readAhead(bool first);

    ReplayLog log_;
    ReplayEnd end_;
    std::optional<Ahead> ahead_;
    double lastSeconds_ = 0;
    std::size_t answered_ = 0;
    bool finished_ = false;
    std::optional<Clock::time_point> lastStart_;
};

} // namespace sim
