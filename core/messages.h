// SPDX-License-Identifier: MIT
// The wording of the message line below the panel: what the last action did, and when.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

// "text · HH:MM:SS" in local time, so a user returning to the panel sees how old the news is.
inline std::string Stamped(std::string_view text)
{
    const std::time_t now = std::time(nullptr);
    char clock[16] = "";
    if (const std::tm *local = std::localtime(&now))
        std::strftime(clock, sizeof clock, "%H:%M:%S", local);
    return std::string(text) + " \u00b7 " + clock;
}

// What an action that ended live data says (a drawing of the colour plane does): that polling has stopped, first.
inline std::string StoppedFirst(bool stoppedPolling, std::string_view text)
{
    return stoppedPolling ? "Stopped. " + std::string(text) : std::string(text);
}
