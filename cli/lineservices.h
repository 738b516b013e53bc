// SPDX-License-Identifier: MIT
// What a watch does beside its log for each sensor: whether it is heard, the alarm commands, the plant network,
// the status lines on a terminal and the summary at the end.
#pragma once

#include "cli/alarms.h"
#include "cli/cliargs.h"
#include "core/ScopeState.h"
#include "io/mqtt.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace cli {

class LineServices {
public:
    // `ports` in the order the watch serves them.
    LineServices(const Options &options, const std::vector<PortSpec> &ports);
    ~LineServices();
    LineServices(const LineServices &) = delete;
    LineServices &operator=(const LineServices &) = delete;

    // From `start` (the Timer() at which polling began) on; connects to the broker in the background when
    // --mqtt is given. False with *why for an address that is no broker's.
    bool Start(double start, std::string *why);

    // From sensor `i`'s own thread: a good measurement, as it goes to the log.
    void Measured(std::size_t i, double now, std::chrono::system_clock::time_point when, DataBlock data);
    // From sensor `i`'s own thread: a request without a valid reply.
    void Missed(std::size_t i) { sensors_[i]->misses.fetch_add(1, std::memory_order_relaxed); }

    // From the log's thread, every slice: finds each sensor that fell silent or answers again, runs its command,
    // publishes its state. Returns what the user is to be told (without the program's name).
    std::vector<std::string> Tick(double now);

    // The status block a terminal shows: one line per sensor (rate over the last look, misses, last good pass).
    std::string Status(double now);
    // One line per sensor for the end: measurements, rate, misses, the last good pass.
    std::vector<std::string> Summary(double now) const;

    // Publishes each sensor offline and ends the connections (waiting at most a moment for the broker), and
    // says what the broker could not take.
    std::vector<std::string> Stop();

private:
    struct Sensor {
        PortSpec port;
        std::string name, where; // as output names it; the port as the line file or options gave it
        Liveness liveness{0, 0};
        std::atomic<double> lastGood{-1};     // Timer() of the last good pass
        std::atomic<long long> lastGoodMs{0}; // and its wall-clock time, for the texts
        std::atomic<long> good{0}, misses{0};
        long shownGood = 0;
        double shownAt = 0;
        int session = -1;
    };
    Options options_;
    std::vector<std::unique_ptr<Sensor>> sensors_;
    Alarms alarms_;
    std::unique_ptr<mqtt::Publisher> mqtt_;
    std::string prefix_;
    double start_ = 0;
    std::chrono::system_clock::time_point startWall_;
};

} // namespace cli
