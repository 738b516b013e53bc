// SPDX-License-Identifier: MIT
// A sensor's liveness from its good passes, and the alarm commands its changes start.
#include "cli/alarms.h"

#include "io/spawn.h"

namespace cli {

Liveness::Change Liveness::Look(double now, double lastGood)
{
    if (lastGood > heard_) {
        heard_ = lastGood;
        const State was = state_;
        if (was == State::Online)
            return Change::None;
        state_ = State::Online;
        since_ = lastGood;
        return was == State::Silent ? Change::Back : Change::Online;
    }
    const double reference = heard_ >= 0 ? heard_ : start_;
    if (state_ != State::Silent && now - reference >= timeout_) {
        state_ = State::Silent;
        since_ = reference;
        return Change::Silent;
    }
    return Change::None;
}

void Alarms::Tell(Liveness::Change change, const std::string &sensor, const std::string &port, const std::string &since)
{
    const bool silent = change == Liveness::Change::Silent;
    if (!silent && change != Liveness::Change::Back)
        return;
    const std::string &command = silent ? commands_.onSilent : commands_.onBack;
    if (command.empty())
        return;
    const std::string what = std::string(silent ? "--on-silent" : "--on-back") + " for " + sensor;
    std::string why;
    const long id =
        spawn::Start(command,
                     {"QUILLEX_SENSOR=" + sensor, "QUILLEX_PORT=" + port,
                      std::string("QUILLEX_STATE=") + (silent ? "silent" : "online"), "QUILLEX_SINCE=" + since},
                     &why);
    if (id == 0) {
        notes_.push_back(what + ": " + why);
        return;
    }
    ++started_;
    running_.push_back({id, what});
}

std::vector<std::string> Alarms::Collect()
{
    for (auto it = running_.begin(); it != running_.end();) {
        int status = 0;
        if (!spawn::Ended(it->id, &status)) {
            ++it;
            continue;
        }
        if (status != 0)
            notes_.push_back(it->what + ": the command ended with exit code " + std::to_string(status));
        it = running_.erase(it);
    }
    std::vector<std::string> taken;
    taken.swap(notes_);
    return taken;
}

} // namespace cli
