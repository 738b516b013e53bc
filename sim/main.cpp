// SPDX-License-Identifier: MIT
// Command-line front of the simulated colour sensor: serves one pseudo-terminal until SIGINT, SIGTERM or SIGHUP.
#include "sensor_sim.h"

#include "io/console.h"
#include "io/signalwait.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <utility>

namespace {

// How often requests, line changes and the end of a replay are reported, and stop signals looked for.
constexpr auto kReportEvery = std::chrono::milliseconds(200);
// Bounds on what the options take: far beyond any sensible value, short of any overflow.
constexpr long kMaxCount = 1000000000L;
constexpr double kMaxLatencySeconds = 3600.0;

// The --fault kinds by the names the help, the manual and the README give them.
constexpr std::pair<const char *, sim::Fault> kFaults[] = {
    {"none", sim::Fault::None},
    {"noreply", sim::Fault::NoReply},
    {"short", sim::Fault::ShortByOne},
    {"long", sim::Fault::LongByOne},
    {"trickle", sim::Fault::Trickle},
    {"garbage", sim::Fault::Garbage},
    {"late", sim::Fault::Late},
    {"dropwrite", sim::Fault::DropStore},
    {"dropfirst", sim::Fault::KeepButFirst},
    {"droplast", sim::Fault::KeepButLast},
    {"ahead", sim::Fault::Ahead},
    {"tail", sim::Fault::Tail},
    {"ones", sim::Fault::Ones},
};

std::string FaultNames()
{
    std::string names;
    for (const auto &[name, fault] : kFaults)
        names += (names.empty() ? "" : "|") + std::string(name);
    return names;
}

void PrintUsage(std::ostream &os)
{
    os << "Usage: quillex-sensor-sim [options]\n"
          "  --com N            link the device as comN in the port directory (0 = no link; default 1)\n"
          "  --pace BAUD        release reply bytes at the speed of an 8N1 line (0 = at once; default 19200)\n"
          "  --latency SECONDS  extra delay before the first reply byte (default 0)\n"
          "  --ident TEXT       identification text, up to 48 characters\n"
          "  --fault KIND       "
       << FaultNames()
       << "\n"
          "                     (default none)\n"
          "  --hangup-after N   close the device after N replies (the link is left dangling)\n"
          "  --log-orders       print the order code of every request received (\"order 7\" = identify)\n"
          "  --replay FILE.csv  answer data requests with the measurements of a recorded log, line by line\n"
          "                     at the recorded pace; parameter reads get its RAM block and the\n"
          "                     identification its ident line (unless --ident is given)\n"
          "  --replay-port PORT the sensor to replay from a log of several (a watch over several ports):\n"
          "                     its port column's text, e.g. \"COM 11\" (or just 11)\n"
          "  --replay-end loop|stop\n"
          "                     after the last line start again (default), or stop: data requests then\n"
          "                     go unanswered, as from a sensor that fell silent\n"
          "  --help             show this text\n"
          "  --version          show the program's version\n";
}

std::optional<long> ParseInt(const char *text, long min)
{
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > kMaxCount)
        return std::nullopt;
    return v;
}

std::optional<sim::Fault> ParseFault(const std::string &s)
{
    for (const auto &[name, fault] : kFaults)
        if (s == name)
            return fault;
    return std::nullopt;
}

std::optional<sim::ReplayEnd> ParseReplayEnd(const std::string &s)
{
    if (s == "loop")
        return sim::ReplayEnd::Loop;
    if (s == "stop")
        return sim::ReplayEnd::Stop;
    return std::nullopt;
}

int Fail(const std::string &message)
{
    std::cerr << "quillex-sensor-sim: " << message << "\n";
    PrintUsage(std::cerr);
    return 2;
}

// What the command line asks for.
struct Args {
    sim::Options opt;
    sim::Fault fault = sim::Fault::None;
    int hangUpAfter = -1;
    bool logOrders = false;
    std::string replayPath;
    std::string replayPort;
    sim::ReplayEnd replayEnd = sim::ReplayEnd::Loop;
    bool replayEndGiven = false;
    bool identGiven = false;
};

// Takes the value of an option that has one; "" when it is good, else what is wrong with it.
std::string TakeValue(const std::string &arg, const char *value, Args &a)
{
    if (arg == "--com") {
        const auto v = ParseInt(value, 0);
        if (!v)
            return "bad COM number: " + std::string(value);
        a.opt.com = int(*v);
    } else if (arg == "--pace") {
        const auto v = ParseInt(value, 0);
        if (!v)
            return "bad baud rate: " + std::string(value);
        a.opt.paceBaud = int(*v);
    } else if (arg == "--latency") {
        char *end = nullptr;
        const double v = std::strtod(value, &end);
        if (end == value || *end != '\0' || !(v >= 0.0 && v < kMaxLatencySeconds))
            return "bad latency: " + std::string(value);
        a.opt.latency = v;
    } else if (arg == "--ident") {
        a.opt.ident = value;
        a.identGiven = true;
    } else if (arg == "--fault") {
        const auto f = ParseFault(value);
        if (!f)
            return "unknown fault: " + std::string(value);
        a.fault = *f;
    } else if (arg == "--replay") {
        a.replayPath = value;
    } else if (arg == "--replay-port") {
        a.replayPort = value;
        if (a.replayPort.empty())
            return "--replay-port needs a port, e.g. \"COM 11\" or 11";
    } else if (arg == "--replay-end") {
        const auto e = ParseReplayEnd(value);
        if (!e)
            return "--replay-end takes loop or stop, not " + std::string(value);
        a.replayEnd = *e;
        a.replayEndGiven = true;
    } else if (arg == "--hangup-after") {
        const auto v = ParseInt(value, 0);
        if (!v)
            return "bad reply count: " + std::string(value);
        a.hangUpAfter = int(*v);
    } else {
        return "unknown option: " + arg;
    }
    return {};
}

// Reads the command line into *a. The exit status when the program ends here (after --help, --version or a
// mistake), nothing when it is to serve.
std::optional<int> ParseArgs(int argc, char **argv, Args *a)
{
    a->opt.paceBaud = sim::kLineBaud; // the demo should feel like the real line
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintUsage(std::cout);
            return 0;
        }
        if (arg == "--version") {
            std::cout << "quillex-sensor-sim " << SIM_VERSION << "\n";
            return 0;
        }
        if (arg == "--log-orders") {
            a->logOrders = true;
            continue;
        }
        if (i + 1 >= argc)
            return Fail("missing value or unknown option: " + arg);
        if (const std::string wrong = TakeValue(arg, argv[++i], *a); !wrong.empty())
            return Fail(wrong);
    }
    if (!a->replayPort.empty() && a->replayPath.empty())
        return Fail("--replay-port chooses a sensor of --replay FILE.csv, which is missing");
    if (a->replayEndGiven && a->replayPath.empty())
        return Fail("--replay-end says what happens at the end of --replay FILE.csv, which is missing");
    return std::nullopt;
}

// Until a stop signal: what the sensor was asked (with --log-orders), how a server in between set up the line, and
// the end of a replay or a hang-up, once each.
void Report(sim::SensorSim &sensor, bool logOrders, std::size_t replayLines)
{
    bool reportedHangUp = false;
    bool reportedReplayEnd = false;
    std::size_t logged = 0;
    std::size_t linesReported = 0;
    for (;;) {
        if (logOrders) {
            // Lets a script see what a front end asked for without a debugging hook in the front end.
            for (const auto &frame : sensor.framesSince(&logged))
                std::cout << "order " << sim::OrderOf(frame) << "\n";
            std::cout.flush();
        }
        // Shows what a server in between (ser2net with RFC 2217) set up on the sensor's behalf.
        for (const sim::LineSettings &line : sensor.lineChangesSince(&linesReported))
            std::cout << "line " << sim::LineText(line) << std::endl;
        if (!reportedReplayEnd && sensor.replayFinished()) {
            reportedReplayEnd = true;
            std::cout << "replay ended after " << replayLines << " measurements; data requests go unanswered"
                      << std::endl;
        }
        if (!reportedHangUp && sensor.hungUp()) {
            reportedHangUp = true;
            std::cout << "hung up: device closed, link left dangling" << std::endl;
        }
        if (signalwait::WaitForStop(kReportEvery))
            return;
    }
}

} // namespace

int main(int argc, char **argv)
{
    // Before anything opens a file: the pseudo-terminal must not become someone's "standard output".
    if (!console::GuardStandardStreams())
        return 1;
    Args a;
    if (const std::optional<int> exit = ParseArgs(argc, argv, &a))
        return *exit;

    // Before the stop signals are blocked: a FIFO that nobody writes to, or a long log, can still be given up
    // with Ctrl+C, and nothing needs removing yet.
    sim::ReplayLog replay;
    if (!a.replayPath.empty()) {
        std::string why;
        if (!sim::OpenReplayLog(a.replayPath, &replay, &why, a.replayPort)) {
            std::cerr << "quillex-sensor-sim: cannot replay " << why << "\n";
            return 2;
        }
    }
    const std::size_t replayLines = replay.measurements;

    // Blocked before the serving thread exists so it inherits the mask and only the wait below sees them, which
    // lets the link be removed in orderly fashion; SIGHUP too, as the link must not outlive its terminal.
    signalwait::BlockStopSignals();
    console::IgnoreBrokenPipe();

    sim::SensorSim sensor(a.opt);
    sensor.setFault(a.fault);
    if (!a.replayPath.empty())
        sensor.setReplay(std::move(replay), a.replayEnd);
    // The recording's identification, unless one is asked for.
    if (a.identGiven)
        sensor.setIdent(a.opt.ident);
    sensor.hangUpAfter(a.hangUpAfter);
    if (!sensor.start()) {
        std::cerr << "quillex-sensor-sim: cannot create the pseudo-terminal or link: " << std::strerror(errno) << "\n";
        return 1;
    }
    std::cout << "device " << sensor.devicePath() << "\n"
              << "link " << (sensor.linkPath().empty() ? std::string("none") : sensor.linkPath()) << std::endl;

    if (replayLines > 0)
        std::cout << "replay " << replayLines << " measurements from " << a.replayPath
                  << (a.replayPort.empty() ? std::string() : " (" + a.replayPort + ")") << std::endl;
    Report(sensor, a.logOrders, replayLines);
    sensor.stop();
    return 0;
}
