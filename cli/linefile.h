// SPDX-License-Identifier: MIT
// Line files: the sensors of a production line listed once, in TOML, by name, port and the identification each
// must answer with.
#pragma once

#include "cli/cliargs.h"

#include <string>
#include <string_view>
#include <vector>

namespace cli {

// The longest name a line file may give a sensor.
inline constexpr std::size_t kMaxSensorName = 64;

// The sensors of a line file's text, in the order listed:
//
//   [[sensor]]
//   name = "inlet"     # shown in output, the CSV's port column and the plant network's topics
//   port = "com1"      # comN, a device path, rfc2217://HOST:PORT or tcp://HOST:PORT
//   ident = "…"        # optional: the identification it must answer with
//
// A COM port keeps its number; a device or address gets a number of its own above every COM number. On failure
// *why reads "PATH:LINE: what is wrong" (the line of the key or table at fault; 0 when the file as a whole is).
bool ParseLineFile(std::string_view text, const std::string &path, std::vector<PortSpec> *ports, std::string *why);

// Reads options->line and puts its sensors in place of options->ports, then checks them for the subcommand as the
// command line's ports are checked. Does nothing without --line. On failure *why is one line for the user.
bool LoadLine(Options *options, std::string *why);

// Whether the identification a sensor gave is the one its line file names (trailing blanks aside); any is right
// when the file names none.
bool IdentMatches(const PortSpec &port, const std::string &ident);
// What the user is told of a sensor that answered with another identification than its line file names.
std::string WrongSensor(const PortSpec &port, const std::string &ident);

} // namespace cli
