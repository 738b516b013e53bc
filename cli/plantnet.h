// SPDX-License-Identifier: MIT
// What watch tells the plant network of each sensor: its topics, its measurements as JSON, its states.
#pragma once

#include "cli/cliargs.h"
#include "core/ScopeState.h"

#include <chrono>
#include <string>

namespace cli {

// A sensor's states on PREFIX/NAME/state, retained; the last is the connection's will.
inline constexpr const char *kStateOnline = "online";
inline constexpr const char *kStateSilent = "silent";
inline constexpr const char *kStateOffline = "offline";

// The sensor's level in topics: its line file name, or its port as in file names (com3, rfc2217_cabinet4_4001).
std::string TopicName(const PortSpec &port);
// PREFIX/NAME/LEAF, or NAME/LEAF without a prefix.
std::string SensorTopic(const std::string &prefix, const PortSpec &port, const char *leaf);
// One measurement under the CSV's column names: {"time":"2025-03-04T14:02:17.311+01:00","R":2004,…,"COL":1}.
std::string MeasurementJson(std::chrono::system_clock::time_point when, DataBlock data);

} // namespace cli
