// SPDX-License-Identifier: MIT
// The command line of quillex-scope-cli: subcommands, options and their help texts, parsed without side effects.
#pragma once

#include "io/rotatelog.h"
#include "link/com232.h"

#include <optional>
#include <string>
#include <vector>

namespace cli {

// Exit codes a script can test.
enum ExitCode {
    kExitOk = 0,
    kExitUsage = 1,
    kExitPort = 2,     // the port cannot be opened
    kExitTimeout = 3,  // no reply, or a reply of the wrong length
    kExitMismatch = 4, // the read-back differs from what was sent
    kExitFile = 5,     // a parameter or CSV file cannot be read or written
};

enum class Command { Help, Version, Ports, Ident, Get, Send, Watch };

inline constexpr double kDefaultTimeout = kReplyTimeout; // as the panel waits for a reply
inline constexpr int kMaxCom = 99;                       // the panel's COM field runs 1..99
inline constexpr int kMaxPorts = kMaxCom;                // devices given by path count against the same bound
// In get's FILE, stands for each port's part of the file name (com3, dev_ttyUSB0, rfc2217_cabinet4_4001).
inline constexpr const char *kPortMark = "%p";

// One sensor to talk to: a COM number, or a device path or network address given with --device or in a line file.
struct PortSpec {
    int com = 1;        // the serial services' number: COM N, or a number of its own for a device
    std::string device; // "" = the device COM com finds
    std::string name;   // from a line file: how output, the CSV and the plant network name the sensor
    std::string ident;  // from a line file: the identification it must answer with ("" = any)
};

struct Options {
    Command command = Command::Help;
    Command helpFor = Command::Help; // with Command::Help: the subcommand asked about (Help = overview)
    Memory memory = Memory::Ram;
    std::string file; // get: where to write ("" = standard output); send: what to send
    // The sensors, in the order given: --com lists and ranges, or every --device; COM 1 when neither is given.
    std::vector<PortSpec> ports{PortSpec{}};
    std::string line; // --line: the line file that names the sensors instead ("" = none); read by LoadLine
    double timeout = kDefaultTimeout;
    bool verify = true;
    bool probe = false;           // ports: open each port to see whether it opens
    double seconds = 0;           // watch: 0 = no time limit
    long count = 0;               // watch: 0 = no count limit
    std::string csv;              // watch: "" = standard output
    Rotation rotation;            // watch: when --csv moves on to a new file
    std::string onSilent, onBack; // watch: commands run when a sensor falls silent or answers again ("" = none)
    std::string mqtt;             // watch: mqtt://HOST[:PORT]/PREFIX to publish to ("" = none)
};

struct ParseResult {
    bool ok = false;
    Options options;
    std::string error; // with !ok: one line saying what is wrong
};

// args excludes the program name. Pure: no output, no exit, no state kept between calls.
ParseResult ParseArgs(const std::vector<std::string> &args);
// What is wrong with the ports for the subcommand (two sensors' files of one name, a port the CSV cannot name).
std::optional<std::string> PortsProblem(const Options &options);

// The usage text of one subcommand, or of the whole program for Command::Help.
std::string HelpText(Command command);
// A number as the texts show it, with `decimals` digits after the point: Fixed(2.0, 1) is "2.0".
std::string Fixed(double value, int decimals);
std::string CommandName(Command command);

// How messages, summaries and the CSV's port column name a port: its name from a line file, "COM 3", or the
// device as given.
std::string PortName(const PortSpec &port);
// The port's part of a file name, for kPortMark: "com3", or the device (or a line file's name) with every run of
// characters other than letters, digits, '.', '-' and '_' made one '_' (/dev/ttyUSB0 -> dev_ttyUSB0).
std::string PortFilePart(const PortSpec &port);
// `pattern` with every kPortMark replaced by PortFilePart(port).
std::string PortFile(const std::string &pattern, const PortSpec &port);
// Whether the sensors are named by a line file: then every command speaks of each by its name, even of one alone.
bool Named(const Options &options);

inline constexpr const char *kProgram = "quillex-scope-cli";

} // namespace cli
