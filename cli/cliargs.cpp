// SPDX-License-Identifier: MIT
// Parses the command line of quillex-scope-cli into Options; help texts of the program and each subcommand.
#include "cli/cliargs.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <set>

namespace cli {

namespace {

struct CommandName_ {
    const char *name;
    Command command;
};

constexpr CommandName_ kCommands[] = {
    {"ports", Command::Ports}, {"ident", Command::Ident}, {"get", Command::Get},
    {"send", Command::Send},   {"watch", Command::Watch}, {"help", Command::Help},
};

std::optional<Command> FindCommand(const std::string &name)
{
    for (const auto &c : kCommands)
        if (name == c.name)
            return c.command;
    return std::nullopt;
}

// Whole-string numbers only, independent of the locale. *tooLarge tells a number that does not fit from text
// that is no number.
std::optional<long> ToLong(const std::string &s, bool *tooLarge = nullptr)
{
    long v = 0;
    const char *end = s.data() + s.size();
    const auto r = std::from_chars(s.data(), end, v);
    if (tooLarge)
        *tooLarge = !s.empty() && r.ec == std::errc::result_out_of_range && r.ptr == end;
    if (s.empty() || r.ec != std::errc() || r.ptr != end)
        return std::nullopt;
    return v;
}

std::optional<double> ToSeconds(const std::string &s)
{
    double v = 0;
    const char *end = s.data() + s.size();
    const auto r = std::from_chars(s.data(), end, v, std::chars_format::fixed);
    if (s.empty() || r.ec != std::errc() || r.ptr != end || !std::isfinite(v))
        return std::nullopt;
    return v;
}

ParseResult Fail(std::string text)
{
    ParseResult r;
    r.error = std::move(text);
    return r;
}

constexpr double kMaxSeconds = 366.0 * 24 * 3600; // a year: longer is surely a typing error
constexpr double kMaxTimeout = 3600.0;

// "1,2,5-8": COM numbers and ascending ranges of them, appended to *coms in the order written.
std::optional<std::string> ParseComList(const std::string &v, std::vector<int> *coms)
{
    const std::string wanted =
        "--com needs a whole number from 1 to " + std::to_string(kMaxCom) + " or a list of them such as 1,2,5-8, not '";
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = v.find(',', from);
        const std::string item = v.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        const std::size_t dash = item.find('-', 1); // a leading '-' is a sign: no range but a bad number
        const auto first = ToLong(item.substr(0, dash));
        const auto last = dash == std::string::npos ? first : ToLong(item.substr(dash + 1));
        if (!first || !last || *first < 1 || *last > kMaxCom || *last < 1 || *first > kMaxCom)
            return wanted + item + "'";
        if (*last < *first)
            return "--com range " + item + " runs backwards: write " + std::to_string(*last) + "-" +
                   std::to_string(*first);
        for (long n = *first; n <= *last; ++n)
            coms->push_back(static_cast<int>(n));
        if (comma == std::string::npos)
            return std::nullopt;
        from = comma + 1;
    }
}

// A CSV field may not hold these, and the log's own reader splits on commas without quoting.
bool FitsCsvField(const std::string &text)
{
    return std::none_of(text.begin(), text.end(), [](char c) {
        return c == ',' || c == '"' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
}

} // namespace

std::string PortName(const PortSpec &port)
{
    return port.device.empty() ? "COM " + std::to_string(port.com) : port.device;
}

std::string PortFilePart(const PortSpec &port)
{
    if (port.device.empty())
        return "com" + std::to_string(port.com);
    std::string part;
    for (char c : port.device) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                          c == '-' || c == '_';
        if (keep)
            part += c;
        else if (!part.empty() && part.back() != '_')
            part += '_';
    }
    while (!part.empty() && part.back() == '_')
        part.pop_back();
    // Only dots left would name the folder itself or its parent.
    if (part.find_first_not_of('.') == std::string::npos)
        part = "port" + std::to_string(port.com);
    return part;
}

std::string PortFile(const std::string &pattern, const PortSpec &port)
{
    const std::string mark = kPortMark;
    std::string out;
    std::size_t from = 0;
    for (std::size_t at; (at = pattern.find(mark, from)) != std::string::npos; from = at + mark.size())
        out += pattern.substr(from, at - from) + PortFilePart(port);
    return out + pattern.substr(from);
}

std::string CommandName(Command command)
{
    for (const auto &c : kCommands)
        if (c.command == command)
            return c.name;
    return "";
}

ParseResult ParseArgs(const std::vector<std::string> &args)
{
    Options o;
    std::optional<Command> command;
    std::vector<std::string> operands;
    std::vector<int> coms;
    std::vector<std::string> devices;
    bool help = false, noVerifyGiven = false, seconds = false, count = false, csv = false;

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg.empty())
            return Fail("an empty argument is not allowed");
        if (arg.size() < 2 || arg[0] != '-' || arg == "--") {
            if (arg == "--") { // everything after is an operand, even when it starts with '-'
                for (++i; i < args.size(); ++i)
                    operands.push_back(args[i]);
                break;
            }
            if (!command) {
                command = FindCommand(arg);
                if (!command)
                    return Fail("unknown subcommand '" + arg + "'");
            } else {
                operands.push_back(arg);
            }
            continue;
        }
        std::string value;
        bool hasValue = false;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        const auto takeValue = [&](std::string *out) {
            if (hasValue) {
                *out = value;
                return true;
            }
            if (i + 1 >= args.size())
                return false;
            *out = args[++i];
            return true;
        };
        const bool flag = arg == "--help" || arg == "-h" || arg == "--version" || arg == "--no-verify";
        if (flag && hasValue)
            return Fail("option " + arg + " takes no value");
        std::string v;
        if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--version") {
            o.command = Command::Version;
            return ParseResult{true, o, {}};
        } else if (arg == "--no-verify") {
            o.verify = false;
            noVerifyGiven = true;
        } else if (!flag && (arg == "--com" || arg == "--device" || arg == "--timeout" || arg == "--seconds" ||
                             arg == "--count" || arg == "--csv")) {
            if (!takeValue(&v))
                return Fail("option " + arg + " needs a value");
            if (arg == "--com") {
                if (const auto why = ParseComList(v, &coms))
                    return Fail(*why);
            } else if (arg == "--device") {
                if (v.empty())
                    return Fail("--device needs a path");
                devices.push_back(v);
            } else if (arg == "--timeout") {
                const auto t = ToSeconds(v);
                if (!t || *t <= 0 || *t > kMaxTimeout)
                    return Fail("--timeout needs seconds above 0 and up to 3600, not '" + v + "'");
                o.timeout = *t;
            } else if (arg == "--seconds") {
                const auto t = ToSeconds(v);
                if (!t || *t <= 0 || *t > kMaxSeconds)
                    return Fail("--seconds needs a positive number of seconds (at most a year), not '" + v + "'");
                o.seconds = *t;
                seconds = true;
            } else if (arg == "--count") {
                bool tooLarge = false;
                const auto n = ToLong(v, &tooLarge);
                if (tooLarge && v[0] != '-')
                    return Fail("--count " + v + " is too large: at most " +
                                std::to_string(std::numeric_limits<long>::max()));
                if (!n || *n < 1)
                    return Fail("--count needs a whole number of 1 or more, not '" + v + "'");
                o.count = *n;
                count = true;
            } else {
                if (v.empty())
                    return Fail("--csv needs a file name");
                o.csv = v;
                csv = true;
            }
        } else {
            return Fail("unknown option '" + arg + "'");
        }
    }

    if (!command || *command == Command::Help) {
        // "help [SUBCOMMAND]", "--help", or nothing at all: an overview, which is not an error only when asked.
        if (!command && !help)
            return Fail("a subcommand is needed: ports, ident, get, send or watch");
        o.command = Command::Help;
        if (command && !operands.empty()) {
            const auto about = FindCommand(operands[0]);
            if (!about || operands.size() > 1)
                return Fail("help takes one subcommand name");
            o.helpFor = *about;
        }
        return ParseResult{true, o, {}};
    }
    if (help) {
        o.command = Command::Help;
        o.helpFor = *command;
        return ParseResult{true, o, {}};
    }
    o.command = *command;
    const std::string name = CommandName(*command);
    // One kind of port per run, so that every port is named the same way in messages, files and the CSV.
    if (!coms.empty() && !devices.empty())
        return Fail("--com and --device exclude each other");
    if (coms.size() > static_cast<std::size_t>(kMaxPorts) || devices.size() > static_cast<std::size_t>(kMaxPorts))
        return Fail("at most " + std::to_string(kMaxPorts) + " ports at once");
    if (!coms.empty() || !devices.empty())
        o.ports.clear();
    std::set<int> seenComs;
    for (int n : coms) {
        if (!seenComs.insert(n).second)
            return Fail("COM " + std::to_string(n) + " is given twice");
        o.ports.push_back(PortSpec{n, {}});
    }
    std::set<std::string> seenDevices;
    for (const std::string &d : devices) {
        if (!seenDevices.insert(d).second)
            return Fail("--device " + d + " is given twice");
        // Devices are opened under their place in the list; no COM number is looked up for them.
        o.ports.push_back(PortSpec{static_cast<int>(o.ports.size()) + 1, d});
    }
    const bool several = o.ports.size() > 1;
    if (noVerifyGiven && *command != Command::Send)
        return Fail("--no-verify belongs to send only");
    if ((seconds || count || csv) && *command != Command::Watch)
        return Fail("--seconds, --count and --csv belong to watch only");

    switch (*command) {
    case Command::Ports:
    case Command::Ident:
    case Command::Watch:
        if (!operands.empty())
            return Fail(name + " takes no operand, but got '" + operands[0] + "'");
        break;
    case Command::Get:
    case Command::Send: {
        if (operands.empty())
            return Fail(name + " needs the memory: ram or eeprom");
        if (operands[0] == "ram")
            o.memory = Memory::Ram;
        else if (operands[0] == "eeprom")
            o.memory = Memory::Eeprom;
        else
            return Fail(name + " needs the memory ram or eeprom, not '" + operands[0] + "'");
        const std::size_t files = operands.size() - 1;
        if (*command == Command::Send && files != 1)
            return Fail("send needs exactly one parameter file after the memory");
        if (*command == Command::Get && files > 1)
            return Fail("get takes at most one file after the memory");
        if (files == 1) {
            o.file = operands[1];
            if (o.file.empty())
                return Fail(name + " needs a file name");
        }
        break;
    }
    default: break;
    }
    if (*command == Command::Get && several && o.file.find(kPortMark) == std::string::npos)
        return Fail(std::string("get with several ports needs a FILE with ") + kPortMark +
                    " for each port's part of the name, e.g. backup-" + kPortMark + ".dat");
    if (*command == Command::Get && o.file.find(kPortMark) != std::string::npos) {
        std::set<std::string> files;
        for (const PortSpec &p : o.ports)
            if (!files.insert(PortFile(o.file, p)).second)
                return Fail("two ports would share the file " + PortFile(o.file, p));
    }
    if (*command == Command::Watch && several)
        for (const PortSpec &p : o.ports)
            if (!FitsCsvField(PortName(p)))
                return Fail("--device " + p.device +
                            ": a watch over several ports names each in a CSV column, which cannot hold commas, "
                            "quotes or control characters; link it as a COM number instead");
    return ParseResult{true, o, {}};
}

std::string HelpText(Command command)
{
    const std::string common =
        "Port options (every subcommand that talks to the sensor):\n"
        "  --com N            COM number N (1-99; default 1), found as the panel finds it; a list of\n"
        "                     numbers and ranges (--com 1,2,5-8, or --com more than once) for several\n"
        "  --device PATH      the serial device PATH, or a sensor behind a serial device server:\n"
        "                     rfc2217://HOST:PORT (RFC 2217: the server sets the line to 19200 8N1) or\n"
        "                     tcp://HOST:PORT (raw TCP: the server's own line settings); more than once\n"
        "                     for several sensors (not mixed with --com)\n"
        "  --timeout SECONDS  longest wait for a reply (default 2.0)\n";
    const std::string exits = "Exit codes: 0 success, 1 usage, 2 port cannot be opened, 3 time-out (no or\n"
                              "wrong-length reply), 4 verification mismatch, 5 bad or unwritable file (standard\n"
                              "output included). With several sensors, the highest of theirs.\n";
    const std::string several = "With several ports each sensor is served by a thread of its own, then one line\n"
                                "per sensor (port, identification, result; tab-separated, in the order given)\n"
                                "and a summary naming the sensors that failed.\n";
    switch (command) {
    case Command::Ports:
        return "Usage: quillex-scope-cli ports\n\n"
               "Lists every COM number that finds a device: links comN in the per-user port directory first,\n"
               "then the system's serial ports with description, manufacturer and serial number. Each port is\n"
               "opened briefly, as ident would; one that cannot be opened says why (no permission and which\n"
               "group, in use by another program, not a terminal). A link to a network address is listed as\n"
               "one without connecting (a device server may give its port to the newest client).\n";
    case Command::Ident:
        return "Usage: quillex-scope-cli ident [--com N[,N|,A-B...] | --device PATH...] [--timeout S]\n\n"
               "Prints the sensor's identification text.\n\n" +
               several + "\n" + common + "\n" + exits;
    case Command::Get:
        return "Usage: quillex-scope-cli get ram|eeprom [FILE.dat|-] [--com N[,N|,A-B...] | --device PATH...]\n"
               "                            [--timeout S]\n\n"
               "Reads the 25-word parameter block from the sensor's RAM or EEPROM and writes it in the panel's\n"
               "parameter-file format, one word per line: to FILE.dat, or to standard output without FILE.dat\n"
               "or with -. FILE.dat is replaced only once the new one is wholly on the disk; on any failure an\n"
               "earlier file stays as it was. A path that is not a regular file (a folder, FIFO, device node\n"
               "or socket) is refused.\n\n"
               "In FILE, %p stands for the port: com11 for COM 11, dev_ttyUSB0 for /dev/ttyUSB0,\n"
               "rfc2217_cabinet4_4001 for rfc2217://cabinet4:4001. With several ports FILE must hold %p\n"
               "(get eeprom backup-%p.dat --com 11,12), so each sensor's block has a file of its own.\n\n" +
               several + "\n" + common + "\n" + exits;
    case Command::Send:
        return "Usage: quillex-scope-cli send ram|eeprom FILE.dat|- [--no-verify]\n"
               "                             [--com N[,N|,A-B...] | --device PATH...] [--timeout S]\n\n"
               "Loads FILE.dat (standard input with -; a pipe is read to its end first) with the panel's rules\n"
               "(exactly 25 whole numbers 0-65535, one per line; a bad file sends nothing and names the line),\n"
               "writes it to RAM or EEPROM, waits out the sensor's guard interval, reads the same memory back\n"
               "and compares word by word. A difference names the words and exits 4. A FIFO named by its path\n"
               "must start within 2 seconds.\n\n"
               "  --no-verify        skip the read-back\n\n" +
               several + "\n" + common + "\n" + exits;
    case Command::Watch:
        return "Usage: quillex-scope-cli watch [--seconds S] [--count N] [--csv FILE]\n"
               "                              [--com N[,N|,A-B...] | --device PATH...] [--timeout S]\n\n"
               "Polls live measurements and writes one CSV line per measurement:\n"
               "  time,R,G,B,X,Y,INT,COL   (local time, ISO 8601 with milliseconds and UTC offset)\n"
               "Comment lines (#) first record the program version, the port, the identification and the RAM\n"
               "parameter block read at start; a missing reply leaves a comment line saying why and polling\n"
               "carries on, at most one request per time-out while the sensor is silent. A line that hangs up\n"
               "(or a network connection that drops) is opened again at most once per time-out, and measuring\n"
               "goes on when the sensor is back. Ctrl+C, or a reader that closes the pipe (watch | head),\n"
               "stops cleanly. On a terminal, stderr shows passes, rate and time-outs.\n\n"
               "Over several ports every sensor is polled by a thread of its own, at its own pace, into one\n"
               "CSV with the port in a column of its own:\n"
               "  time,port,R,G,B,X,Y,INT,COL   (port: \"COM 11\", or the device as given)\n"
               "Each session starts with a header naming every port; a sensor that cannot be opened or does\n"
               "not answer at the start is tried again once per time-out. The simulated sensor replays one\n"
               "sensor of such a log (see quillex-sensor-sim(1)).\n\n"
               "  --seconds S        stop after S seconds\n"
               "  --count N          stop after N requests to each sensor (a missing reply counts too)\n"
               "  --csv FILE         append to FILE (one sensor: header when new) instead of standard output;\n"
               "                     written out in whole lines at least every half second, so a crash loses\n"
               "                     at most that; a failed write cuts the file back to its last whole line\n\n" +
               common + "\n" + exits + "watch exits 3 when any reply was missing, after writing every good line.\n";
    default:
        return "Usage: quillex-scope-cli SUBCOMMAND [OPTIONS]\n\n"
               "Talks to Quillex EMB colour sensors on serial ports or behind serial device servers, one or\n"
               "several at once, without the panel.\n\n"
               "Subcommands:\n"
               "  ports                         list the COM numbers and their devices\n"
               "  ident                         print the sensor's identification\n"
               "  get ram|eeprom [FILE.dat|-]   read the parameter block\n"
               "  send ram|eeprom FILE.dat|-    write the parameter block and verify it\n"
               "  watch                         log live measurements as CSV\n"
               "  help SUBCOMMAND               details of one subcommand (or SUBCOMMAND --help)\n\n" +
               common + "  --help             this text\n  --version          the program's version\n\n" + exits;
    }
}

} // namespace cli
