// SPDX-License-Identifier: MIT
// Whether each sensor of a watch is heard, and the user's commands run when one falls silent or answers again.
#pragma once

#include <string>
#include <vector>

namespace cli {

// How a sensor is heard, judged from its good passes alone: online from a good pass, silent once `timeout` has
// passed without one (counted from the start for a sensor not heard yet), online again with the next good pass.
class Liveness {
public:
    enum class State { Waiting, Online, Silent };
    enum class Change { None, Online, Silent, Back }; // Online: the first good pass; Back: the first after silence

    Liveness(double timeout, double start) : timeout_(timeout), start_(start) {}
    // `lastGood` is the time of the latest good pass (below 0: none yet), `now` the time of this look, both on
    // one clock. Returns the change this look finds; each change is found once.
    Change Look(double now, double lastGood);
    State state() const { return state_; }
    // When the state began: for Silent, the last good pass (or the start); otherwise the pass that began it.
    double since() const { return since_; }

private:
    double timeout_;
    double start_;
    double heard_ = -1; // the latest good pass seen
    State state_ = State::Waiting;
    double since_ = 0;
};

// The commands a watch runs: --on-silent when a sensor falls silent, --on-back when it answers again.
struct AlarmCommands {
    std::string onSilent;
    std::string onBack;
};

// Runs them without waiting, once for each change, each with the sensor in its environment:
// QUILLEX_SENSOR (its name), QUILLEX_PORT, QUILLEX_STATE (silent or online) and QUILLEX_SINCE (when that began).
class Alarms {
public:
    explicit Alarms(AlarmCommands commands) : commands_(std::move(commands)) {}
    // Starts the command for Silent or Back (nothing for the others, or when no command is given).
    void Tell(Liveness::Change change, const std::string &sensor, const std::string &port, const std::string &since);
    // Collects the commands that have ended, without waiting; returns what the user is to be told of those that
    // failed or could not start.
    std::vector<std::string> Collect();
    // Commands started so far, and those not yet ended.
    int started() const { return started_; }
    bool running() const { return !running_.empty(); }

private:
    struct Running {
        long id;
        std::string what; // "--on-silent for inlet"
    };
    AlarmCommands commands_;
    std::vector<Running> running_;
    std::vector<std::string> notes_;
    int started_ = 0;
};

} // namespace cli
