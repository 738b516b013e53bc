// SPDX-License-Identifier: MIT
// The measurement log's text, shared by the panel's recording and the command line's watch: one CSV line per
// measurement under a commented header. The platform's line log writes them out whole.
#pragma once

#include "core/ScopeState.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace csvrec {

inline constexpr const char *kColumns = "time,R,G,B,X,Y,INT,COL";
// A log of several sensors at once names each line's port in a column of its own.
inline constexpr const char *kColumnsWithPort = "time,port,R,G,B,X,Y,INT,COL";

// Local time with milliseconds and UTC offset, ISO 8601: 2024-05-17T08:03:11.042+02:00.
std::string Timestamp(std::chrono::system_clock::time_point when);

// "time,R,G,B,X,Y,INT,COL" values of one measurement (RED, GREEN, BLUE, X, Y, INT, colour number), with '\n'.
std::string MeasurementLine(std::chrono::system_clock::time_point when, DataBlock data);

// The same with the port's name between the time and the values.
std::string MeasurementLine(std::chrono::system_clock::time_point when, const std::string &port,
                            DataBlock data);

// Comment lines ('#') naming the program, the port, the identification and the words of the RAM block,
// then the column names. `ident` is cut at its first control character.
std::string Header(const std::string &program, const std::string &port, const std::string &ident,
                   ParaBlock ramBlock);
// The three comment lines of one port in a header: "# port: …", "# ident: …", "# RAM: …". In a log of several
// sensors they come once for each, the port's name at the start of its "# port:" text.
std::string PortHeader(const std::string &port, const std::string &ident, ParaBlock ramBlock);

} // namespace csvrec
