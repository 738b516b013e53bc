// SPDX-License-Identifier: MIT
// Parses the command line of quillex-scope-cli into Options from one table of options; names ports for messages and
// files.
#include "cli/cliargs.h"

#include "io/mqtt.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
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

std::string CommandName(Command command)
{
    for (const auto &c : kCommands)
        if (c.command == command)
            return c.name;
    return "";
}

namespace {

// What the walk over the arguments gathers before the rules that weigh them together.
struct Given {
    Options o;
    std::vector<int> coms;
    std::vector<std::string> devices;
    bool help = false;
    bool version = false;
};

// Applies an option's value (empty for a flag); returns what is wrong with it, if anything.
using ApplyOption = std::optional<std::string> (*)(Given &, const std::string &value);

// A set of subcommands, one bit each.
using Commands = unsigned;
constexpr Commands Only(Command c)
{
    return 1U << static_cast<unsigned>(c);
}
constexpr Commands kEveryCommand = ~0U;

struct OptionRow {
    const char *name;
    const char *shortName; // nullptr: none
    bool takesValue;
    Commands takenBy;
    const char *elsewhere; // the error when given to a subcommand not in takenBy
    ApplyOption apply;
};

std::optional<std::string> ApplyCom(Given &g, const std::string &v)
{
    return ParseComList(v, &g.coms);
}

std::optional<std::string> ApplyDevice(Given &g, const std::string &v)
{
    if (v.empty())
        return "--device needs a path";
    g.devices.push_back(v);
    return std::nullopt;
}

std::optional<std::string> ApplyLine(Given &g, const std::string &v)
{
    if (v.empty())
        return "--line needs a file name";
    g.o.line = v;
    return std::nullopt;
}

std::optional<std::string> ApplyTimeout(Given &g, const std::string &v)
{
    const auto t = ToSeconds(v);
    if (!t || *t <= 0 || *t > kMaxTimeout)
        return "--timeout needs seconds above 0 and up to " + Fixed(kMaxTimeout, 0) + ", not '" + v + "'";
    g.o.timeout = *t;
    return std::nullopt;
}

std::optional<std::string> ApplySeconds(Given &g, const std::string &v)
{
    const auto t = ToSeconds(v);
    if (!t || *t <= 0 || *t > kMaxSeconds)
        return "--seconds needs a positive number of seconds (at most a year), not '" + v + "'";
    g.o.seconds = *t;
    return std::nullopt;
}

std::optional<std::string> ApplyCount(Given &g, const std::string &v)
{
    bool tooLarge = false;
    const auto n = ToLong(v, &tooLarge);
    if (tooLarge && v[0] != '-')
        return "--count " + v + " is too large: at most " + std::to_string(std::numeric_limits<long>::max());
    if (!n || *n < 1)
        return "--count needs a whole number of 1 or more, not '" + v + "'";
    g.o.count = *n;
    return std::nullopt;
}

std::optional<std::string> ApplyCsv(Given &g, const std::string &v)
{
    if (v.empty())
        return "--csv needs a file name";
    g.o.csv = v;
    return std::nullopt;
}

std::optional<std::string> ApplyRotate(Given &g, const std::string &v)
{
    std::string why;
    if (!ParseRotation(v, &g.o.rotation, &why))
        return "--rotate: " + why;
    return std::nullopt;
}

std::optional<std::string> ApplyOnSilent(Given &g, const std::string &v)
{
    if (v.empty())
        return "--on-silent needs a command";
    g.o.onSilent = v;
    return std::nullopt;
}

std::optional<std::string> ApplyOnBack(Given &g, const std::string &v)
{
    if (v.empty())
        return "--on-back needs a command";
    g.o.onBack = v;
    return std::nullopt;
}

std::optional<std::string> ApplyMqtt(Given &g, const std::string &v)
{
    mqtt::Broker broker;
    std::string why;
    if (!mqtt::ParseUrl(v, &broker, &why))
        return "--mqtt " + why;
    g.o.mqtt = v;
    return std::nullopt;
}

std::optional<std::string> ApplyNoVerify(Given &g, const std::string &)
{
    g.o.verify = false;
    return std::nullopt;
}

std::optional<std::string> ApplyProbe(Given &g, const std::string &)
{
    g.o.probe = true;
    return std::nullopt;
}

std::optional<std::string> ApplyHelp(Given &g, const std::string &)
{
    g.help = true;
    return std::nullopt;
}

std::optional<std::string> ApplyVersion(Given &g, const std::string &)
{
    g.version = true;
    return std::nullopt;
}

constexpr const char *kWatchOnly = "--seconds, --count and --csv belong to watch only";
constexpr const char *kServiceOnly = "--rotate, --on-silent, --on-back and --mqtt belong to watch only";

// Every option, once. The port options reach every subcommand; a subcommand without a port ignores them.
// Rows are checked for their subcommand in this order, so the first misplaced one is the one reported.
constexpr OptionRow kOptions[] = {
    {"--help", "-h", false, kEveryCommand, nullptr, ApplyHelp},
    {"--version", nullptr, false, kEveryCommand, nullptr, ApplyVersion},
    {"--com", nullptr, true, kEveryCommand, nullptr, ApplyCom},
    {"--device", nullptr, true, kEveryCommand, nullptr, ApplyDevice},
    {"--line", nullptr, true, kEveryCommand, nullptr, ApplyLine},
    {"--timeout", nullptr, true, kEveryCommand, nullptr, ApplyTimeout},
    {"--no-verify", nullptr, false, Only(Command::Send), "--no-verify belongs to send only", ApplyNoVerify},
    {"--probe", nullptr, false, Only(Command::Ports), "--probe belongs to ports only", ApplyProbe},
    {"--seconds", nullptr, true, Only(Command::Watch), kWatchOnly, ApplySeconds},
    {"--count", nullptr, true, Only(Command::Watch), kWatchOnly, ApplyCount},
    {"--csv", nullptr, true, Only(Command::Watch), kWatchOnly, ApplyCsv},
    {"--rotate", nullptr, true, Only(Command::Watch), kServiceOnly, ApplyRotate},
    {"--on-silent", nullptr, true, Only(Command::Watch), kServiceOnly, ApplyOnSilent},
    {"--on-back", nullptr, true, Only(Command::Watch), kServiceOnly, ApplyOnBack},
    {"--mqtt", nullptr, true, Only(Command::Watch), kServiceOnly, ApplyMqtt},
};
constexpr std::size_t kOptionCount = std::size(kOptions);

const OptionRow *FindOption(const std::string &name)
{
    for (const OptionRow &row : kOptions)
        if (name == row.name || (row.shortName && name == row.shortName))
            return &row;
    return nullptr;
}

// The ports the options name, in the order given, into g.o.ports; what is wrong with them otherwise.
std::optional<std::string> TakePorts(Given &g)
{
    Options &o = g.o;
    // One kind of port per run, so that every port is named the same way in messages, files and the CSV.
    if (!g.coms.empty() && !g.devices.empty())
        return "--com and --device exclude each other";
    // The line file's sensors replace the port list once it is read; a port beside it would be dropped unseen.
    if (!o.line.empty() && (!g.coms.empty() || !g.devices.empty()))
        return std::string("--line names the sensors itself: give it without --com or --device");
    if (g.coms.size() > static_cast<std::size_t>(kMaxPorts) || g.devices.size() > static_cast<std::size_t>(kMaxPorts))
        return "at most " + std::to_string(kMaxPorts) + " ports at once";
    if (!g.coms.empty() || !g.devices.empty())
        o.ports.clear();
    std::set<int> seenComs;
    for (int n : g.coms) {
        if (!seenComs.insert(n).second)
            return "COM " + std::to_string(n) + " is given twice";
        o.ports.push_back(PortSpec{.com = n, .device = {}, .name = {}, .ident = {}});
    }
    std::set<std::string> seenDevices;
    for (const std::string &d : g.devices) {
        if (!seenDevices.insert(d).second)
            return "--device " + d + " is given twice";
        // Devices are opened under their place in the list; no COM number is looked up for them.
        o.ports.push_back(PortSpec{.com = static_cast<int>(o.ports.size()) + 1, .device = d, .name = {}, .ident = {}});
    }
    return std::nullopt;
}

// The operands after the subcommand: none, or the memory and at most one file.
std::optional<std::string> TakeOperands(Command command, const std::vector<std::string> &operands, Options &o)
{
    const std::string name = CommandName(command);
    switch (command) {
    case Command::Ports:
    case Command::Ident:
    case Command::Watch:
        if (!operands.empty())
            return name + " takes no operand, but got '" + operands[0] + "'";
        return std::nullopt;
    case Command::Get:
    case Command::Send: {
        if (operands.empty())
            return name + " needs the memory: ram or eeprom";
        if (operands[0] == "ram")
            o.memory = Memory::Ram;
        else if (operands[0] == "eeprom")
            o.memory = Memory::Eeprom;
        else
            return name + " needs the memory ram or eeprom, not '" + operands[0] + "'";
        const std::size_t files = operands.size() - 1;
        if (command == Command::Send && files != 1)
            return std::string("send needs exactly one parameter file after the memory");
        if (command == Command::Get && files > 1)
            return std::string("get takes at most one file after the memory");
        if (files == 1) {
            o.file = operands[1];
            if (o.file.empty())
                return name + " needs a file name";
        }
        return std::nullopt;
    }
    default: return std::nullopt;
    }
}

} // namespace

// With several ports, each must have a name of its own where the subcommand puts its results.
std::optional<std::string> PortsProblem(const Options &o)
{
    const Command command = o.command;
    const bool several = o.ports.size() > 1;
    if (command == Command::Get && several && o.file.find(kPortMark) == std::string::npos)
        return std::string("get with several ports needs a FILE with ") + kPortMark +
               " for each port's part of the name, e.g. backup-" + kPortMark + ".dat";
    if (command == Command::Get && o.file.find(kPortMark) != std::string::npos) {
        std::set<std::string> files;
        for (const PortSpec &p : o.ports)
            if (!files.insert(PortFile(o.file, p)).second)
                return "two ports would share the file " + PortFile(o.file, p);
    }
    if (command == Command::Watch && several)
        for (const PortSpec &p : o.ports)
            if (!FitsCsvField(PortName(p)))
                return "--device " + p.device +
                       ": a watch over several ports names each in a CSV column, which cannot hold commas, "
                       "quotes or control characters; link it as a COM number instead";
    return std::nullopt;
}

bool Named(const Options &o)
{
    return !o.line.empty();
}

namespace {

ParseResult Done(const Options &o)
{
    return ParseResult{true, o, {}};
}

// What the arguments hold: the subcommand, its operands, and which options were given with what.
struct Scanned {
    Given g;
    std::optional<Command> command;
    std::vector<std::string> operands;
    bool given[kOptionCount] = {};
};

// Reads the arguments into *s, up to --version if it is among them; what is wrong with one, if anything.
std::optional<std::string> Scan(const std::vector<std::string> &args, Scanned *s)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg.empty())
            return "an empty argument is not allowed";
        if (arg == "--") { // everything after is an operand, even when it starts with '-'
            s->operands.insert(s->operands.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            if (s->command) {
                s->operands.push_back(arg);
                continue;
            }
            s->command = FindCommand(arg);
            if (!s->command)
                return "unknown subcommand '" + arg + "'";
            continue;
        }
        // Long options may carry their value after '=' (--timeout=0.5); short ones never do.
        std::optional<std::string> inlineValue;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = arg.substr(eq + 1);
            arg.resize(eq);
        }
        const OptionRow *row = FindOption(arg);
        if (!row)
            return "unknown option '" + arg + "'";
        if (!row->takesValue && inlineValue)
            return "option " + arg + " takes no value";
        std::string value;
        if (row->takesValue) {
            if (inlineValue)
                value = *inlineValue;
            else if (i + 1 < args.size())
                value = args[++i];
            else
                return "option " + arg + " needs a value";
        }
        if (auto why = row->apply(s->g, value))
            return why;
        s->given[row - kOptions] = true;
        // The version is told whatever else the line holds.
        if (s->g.version)
            break;
    }
    return std::nullopt;
}

} // namespace

ParseResult ParseArgs(const std::vector<std::string> &args)
{
    Scanned scanned;
    if (const auto why = Scan(args, &scanned))
        return Fail(*why);
    Given &g = scanned.g;
    const std::optional<Command> &command = scanned.command;
    const std::vector<std::string> &operands = scanned.operands;
    if (g.version) {
        g.o.command = Command::Version;
        return Done(g.o);
    }

    Options &o = g.o;
    if (!command || *command == Command::Help) {
        // "help [SUBCOMMAND]", "--help", or nothing at all: an overview, which is not an error only when asked.
        if (!command && !g.help)
            return Fail("a subcommand is needed: ports, ident, get, send or watch");
        o.command = Command::Help;
        if (command && !operands.empty()) {
            const auto about = FindCommand(operands[0]);
            if (!about || operands.size() > 1)
                return Fail("help takes one subcommand name");
            o.helpFor = *about;
        }
        return Done(o);
    }
    if (g.help) {
        o.command = Command::Help;
        o.helpFor = *command;
        return Done(o);
    }
    o.command = *command;
    if (const auto why = TakePorts(g))
        return Fail(*why);
    for (std::size_t r = 0; r < kOptionCount; ++r)
        if (scanned.given[r] && (kOptions[r].takenBy & Only(*command)) == 0)
            return Fail(kOptions[r].elsewhere);
    if (const auto why = TakeOperands(*command, operands, o))
        return Fail(*why);
    // Standard output is one stream that cannot be renamed; a rotated log needs a file of its own.
    if (o.rotation.kind != Rotation::Kind::None && o.csv.empty())
        return Fail("--rotate needs --csv FILE: standard output is not rotated");
    // A line file's ports are checked once it has been read.
    if (const auto why = o.line.empty() ? PortsProblem(o) : std::nullopt)
        return Fail(*why);
    return Done(o);
}

} // namespace cli
