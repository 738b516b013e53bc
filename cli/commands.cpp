// SPDX-License-Identifier: MIT
// ports, ident, get and send, for one sensor or several at once, over the panel's exchange, frames and file writer.
#include "cli/commands.h"

#include "cli/console.h"
#include "cli/diagnose.h"
#include "cli/linefile.h"
#include "cli/paramfile.h"
#include "cli/sensorlink.h"
#include "cli/watch.h"
#include "core/product.h"
#include "io/console.h"
#include "io/fileio.h"
#include "io/portdir.h"
#include "io/rs232.h"
#include "io/utility.h"
#include "link/com232.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace cli {

namespace {

// The COM number a link in the port directory stands for, or 0 for a name the port services would not look up
// (com05 is not COM 5's link: com5 is).
int LinkNumber(const std::string &name)
{
    const std::string prefix = "com";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return 0;
    int n = 0;
    const char *end = name.data() + name.size();
    const auto r = std::from_chars(name.data() + prefix.size(), end, n);
    if (r.ec != std::errc() || r.ptr != end || n < 1 || n > kMaxCom || name != prefix + std::to_string(n))
        return 0;
    return n;
}

int Ports(bool probe)
{
    const std::vector<ComPortInfo> system = SystemComPorts();
    std::map<int, std::string> links; // COM number -> link path
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(portdir::Directory(), ec)) {
        if (const int n = LinkNumber(entry.path().filename().string()); n > 0)
            links[n] = entry.path().string();
    }
    const int last = std::max(links.empty() ? 0 : links.rbegin()->first, static_cast<int>(system.size()));
    int listed = 0;
    for (int n = 1; n <= std::min(last, kMaxCom); ++n) {
        int error = 0;
        const std::string device = ComDeviceFor(n, &error);
        if (device.empty())
            continue;
        ++listed;
        std::string line = "COM " + std::to_string(n) + "\t" + device;
        if (links.count(n)) {
            line += "\tlink " + links[n];
        } else {
            const ComPortInfo &p = system[static_cast<std::size_t>(n - 1)];
            for (const auto &[key, value] :
                 {std::pair{"description", p.description}, std::pair{"manufacturer", p.manufacturer},
                  std::pair{"serial number", p.serialNumber}})
                if (!value.empty())
                    line += std::string("\t") + key + ": " + value;
        }
        if (ComIsAddress(device)) {
            // Not connected to: a device server may hand its port to the newest client (ser2net's kickolduser),
            // so even a brief look would take the sensor from a panel or watch that is using it.
            const std::string problem = ComAddressProblem(device);
            line += problem.empty()
                        ? "\tnetwork address (not connected to; ident --com " + std::to_string(n) + " tries it)"
                        : "\tcannot be opened: " + problem;
        } else if (probe) {
            // The test ident makes: the serial services open the device the number finds (where another program's
            // hold is noted); only a refusal needs a reason, told for the name the user gave.
            if (ComProbe(device.c_str()) != 0)
                line += "\tcannot be opened: " + WhyRefused(links.count(n) ? links[n] : device);
        } else if (const std::string why = WhyNotFree(links.count(n) ? links[n] : device); !why.empty()) {
            // Told without opening: an open and close would pulse DTR and RTS on a line that may be in use.
            line += (why.rfind("in use", 0) == 0 ? "\t" : "\tcannot be opened: ") + why;
        }
        Out(line + "\n");
    }
    // A link takes its number from the system port that would otherwise have it.
    for (const auto &[n, path] : links) {
        if (n <= static_cast<int>(system.size()))
            Out("-\t" + system[static_cast<std::size_t>(n - 1)].device + "\tnumber taken by link " + path + "\n");
    }
    if (listed == 0)
        Out("no serial ports and no links in " + portdir::Directory() + "\n");
    return kExitOk;
}

// A path that exists and is not a regular file, or another user's link in /tmp, is refused before the sensor is
// asked anything.
bool RefusedOutput(const std::string &path)
{
    const std::string kind = path == kStandardStream ? std::string() : PathKind(path);
    if (kind.empty()) {
        const std::string link = RefusedLink(path);
        if (!link.empty())
            Say("Parameters not saved to " + path + ": " + link + "; nothing was replaced.");
        return !link.empty();
    }
    Say(std::string("Parameters not saved to ") + path + ": it is " + kind +
        ", not a regular file; nothing was replaced (- writes to standard output).");
    return true;
}

// The words after "differs from FILE in": how many words and which, or "" when the blocks agree.
std::string Differences(std::span<const uint16_t, kParaWords> sent, std::span<const uint16_t, kParaWords> read)
{
    std::string diffs;
    int differing = 0;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        if (read[i] == sent[i])
            continue;
        ++differing;
        diffs += (diffs.empty() ? "" : "; ") + std::string("word ") + std::to_string(i) + " sent " +
                 std::to_string(sent[i]) + ", read " + std::to_string(read[i]);
    }
    if (differing == 0)
        return {};
    return std::to_string(differing) + (differing == 1 ? " word: " : " words: ") + diffs;
}

// Why the sensor on the line is not the one its line file names, in *why; it is asked who it is first.
bool IdentifiedAsNamed(SensorLink &link, std::string *why)
{
    std::string ident;
    if (const std::string failed = Identify(link, &ident, Interruptible()); !failed.empty()) {
        *why = failed;
        return false;
    }
    if (IdentMatches(link.port, ident))
        return true;
    *why = WrongSensor(link.port, ident);
    return false;
}

// ---- One sensor: the words and codes scripts have relied on from the start ----

int IdentOne(const Options &o)
{
    SensorLink link(o.ports.front(), o.timeout);
    std::string why;
    if (OpenSensor(link, &why) != kExitOk) {
        Say(link.label + ": cannot open: " + why);
        return kExitPort;
    }
    std::string ident;
    if (const std::string failed = Identify(link, &ident, Interruptible()); !failed.empty()) {
        Say(link.label + ": " + failed);
        return kExitTimeout;
    }
    Out(ident + "\n");
    return kExitOk;
}

int GetOne(const Options &o)
{
    const std::string file = o.file.empty() ? std::string(kStandardStream) : PortFile(o.file, o.ports.front());
    if (RefusedOutput(file))
        return kExitFile;
    SensorLink link(o.ports.front(), o.timeout);
    std::string why;
    if (OpenSensor(link, &why) != kExitOk) {
        Say(link.label + ": cannot open: " + why);
        return kExitPort;
    }
    if (!o.ports.front().ident.empty() && !IdentifiedAsNamed(link, &why)) {
        Say(link.label + ": " + why);
        return kExitTimeout;
    }
    if (const std::string failed = ReadBlock(link, o.memory, Interruptible()); !failed.empty()) {
        Say(link.label + ": " + failed);
        return kExitTimeout;
    }
    if (!SaveParameterFile(file, link.pp, &why)) {
        Say(why);
        return kExitFile;
    }
    return kExitOk;
}

int SendOne(const Options &o, std::span<const uint16_t, kParaWords> block)
{
    SensorLink link(o.ports.front(), o.timeout);
    std::string why;
    if (OpenSensor(link, &why) != kExitOk) {
        Say(link.label + ": cannot open: " + why);
        return kExitPort;
    }
    std::ranges::copy(block, link.pp);
    const bool ram = o.memory == Memory::Ram;
    const double begin = Timer();
    const ExchangeResult sent = Ask(link, ram ? kOrderWriteRam : kOrderWriteEeprom, 0, {});
    const std::string target = MemoryName(o.memory);
    if (sent.written != kFrameBytes) {
        Say(link.label + ": the parameters did not reach the line: " + WriteFailure(link, sent));
        return kExitTimeout;
    }
    GuardSince(begin, ram ? kGuardRam : kGuardEeprom);
    const std::string name = FileLabel(o.file, true);
    if (!o.verify) {
        Out("sent " + name + " to " + target + " on " + link.label + " (not verified)\n");
        return kExitOk;
    }
    if (const std::string failed =
            ReadBlockOnce(link, o.memory, ram ? "the RAM read-back" : "the EEPROM read-back", Interruptible());
        !failed.empty()) {
        Say(link.label + ": " + failed);
        return kExitTimeout;
    }
    if (const std::string diffs = Differences(block, link.pp); !diffs.empty()) {
        Say(link.label + ": " + target + " differs from " + name + " in " + diffs);
        return kExitMismatch;
    }
    Out("sent " + name + " to " + target + " on " + link.label + ", verified " + std::to_string(kParaWords) +
        " words\n");
    return kExitOk;
}

// ---- Several sensors at once: one thread per line, one line of output per sensor, then a summary ----

// What became of one sensor.
struct Outcome {
    int code = kExitOk;
    std::string label;
    std::string ident;  // "" when it did not identify itself
    std::string result; // after the identification: what was done, or why it failed
    uint16_t block[kParaWords] = {};
};

// Runs on the line's own thread once the port is open and the sensor has identified itself.
using SensorJob = std::function<void(SensorLink &, Outcome *)>;

// Each sensor on a thread of its own, so a silent one costs only its own time-outs; returns when all are done.
std::vector<Outcome> OnEverySensor(const Options &o, const SensorJob &job)
{
    std::vector<Outcome> outcomes(o.ports.size());
    std::vector<std::unique_ptr<ComThread>> threads;
    for (std::size_t i = 0; i < o.ports.size(); ++i)
        threads.push_back(std::make_unique<ComThread>([&o, &job, &out = outcomes[i], spec = o.ports[i]] {
            SensorLink link(spec, o.timeout);
            std::string why;
            const int opened = OpenSensor(link, &why);
            out.label = link.label;
            if (opened != kExitOk) {
                out.code = opened;
                out.result = "cannot open: " + why;
                return;
            }
            if (std::string failed = Identify(link, &out.ident, {}); !failed.empty()) {
                out.code = kExitTimeout;
                out.result = std::move(failed);
                return;
            }
            // Parameters sent to, or read from, the wrong sensor would go unnoticed until the line runs.
            if (!IdentMatches(spec, out.ident)) {
                out.code = kExitTimeout;
                out.result = WrongSensor(spec, out.ident) + "; nothing done";
                return;
            }
            job(link, &out);
        }));
    threads.clear(); // joins them all
    return outcomes;
}

const char *ExitMeaning(int code)
{
    switch (code) {
    case kExitPort: return "port cannot be opened";
    case kExitTimeout: return "time-out";
    case kExitMismatch: return "verification mismatch";
    case kExitFile: return "file not written";
    default: return "failed";
    }
}

// One line per sensor in the order given (port, identification, result), then the summary. The exit code is the
// worst of the sensors': the highest, since each code means a step further before the failure and more left to
// look at (2 nothing reached, 3 no answer, 4 the sensor holds other parameters than sent, 5 a result not stored).
int Report(const Options &o, const std::vector<Outcome> &outcomes, const char *done)
{
    int worst = kExitOk, good = 0;
    std::string failed;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const Outcome &s = outcomes[i];
        Out(s.label + "\t" + (s.ident.empty() ? "-" : s.ident) + "\t" +
            (s.code == kExitOk ? s.result : "exit " + std::to_string(s.code) + ": " + s.result) + "\n");
        worst = std::max(worst, s.code);
        if (s.code == kExitOk) {
            ++good;
            continue;
        }
        failed += std::string(failed.empty() ? "; failed: " : ", ") + PortName(o.ports[i]) + " (exit " +
                  std::to_string(s.code) + ", " + ExitMeaning(s.code) + ")";
    }
    const std::string summary =
        "summary: " + std::to_string(good) + " of " + std::to_string(outcomes.size()) + " sensors " + done + failed;
    Out(summary + "\n");
    // A script that keeps only stderr still learns that something failed, and where.
    if (worst != kExitOk)
        Say(summary);
    return worst;
}

int IdentMany(const Options &o)
{
    const auto outcomes = OnEverySensor(o, [](SensorLink &, Outcome *out) { out->result = "identified"; });
    return Report(o, outcomes, "identified");
}

int GetMany(const Options &o)
{
    bool refused = false;
    for (const PortSpec &p : o.ports)
        refused = RefusedOutput(PortFile(o.file, p)) || refused;
    if (refused)
        return kExitFile;
    const Memory memory = o.memory;
    auto outcomes = OnEverySensor(o, [memory](SensorLink &link, Outcome *out) {
        if (std::string failed = ReadBlock(link, memory, {}); !failed.empty()) {
            out->code = kExitTimeout;
            out->result = std::move(failed);
            return;
        }
        std::ranges::copy(link.pp, out->block);
    });
    // Files are written here, one after another, rather than by the lines' threads.
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        Outcome &s = outcomes[i];
        if (s.code != kExitOk)
            continue;
        const std::string file = PortFile(o.file, o.ports[i]);
        std::string why;
        if (SaveParameterFile(file, s.block, &why)) {
            s.result = std::string(MemoryName(memory)) + " saved to " + file;
        } else {
            s.code = kExitFile;
            s.result = why;
        }
    }
    return Report(o, outcomes, "read");
}

int SendMany(const Options &o, std::span<const uint16_t, kParaWords> block)
{
    const std::string name = FileLabel(o.file, true);
    const auto outcomes = OnEverySensor(o, [&o, block, &name](SensorLink &link, Outcome *out) {
        std::ranges::copy(block, link.pp);
        const bool ram = o.memory == Memory::Ram;
        const std::string target = MemoryName(o.memory);
        const double begin = Timer();
        const ExchangeResult sent = Ask(link, ram ? kOrderWriteRam : kOrderWriteEeprom, 0, {});
        if (sent.written != kFrameBytes) {
            out->code = kExitTimeout;
            out->result = "the parameters did not reach the line: " + WriteFailure(link, sent);
            return;
        }
        GuardSince(begin, ram ? kGuardRam : kGuardEeprom);
        if (!o.verify) {
            out->result = "sent to " + target + " (not verified)";
            return;
        }
        if (std::string failed = ReadBlockOnce(link, o.memory, ("the " + target + " read-back").c_str(), {});
            !failed.empty()) {
            out->code = kExitTimeout;
            out->result = std::move(failed);
            return;
        }
        if (const std::string diffs = Differences(block, link.pp); !diffs.empty()) {
            out->code = kExitMismatch;
            out->result = target + " differs from " + name + " in " + diffs;
            return;
        }
        out->result = "verified " + std::to_string(kParaWords) + " words in " + target;
    });
    return Report(o, outcomes, o.verify ? "verified" : "sent");
}

// With a line file every sensor is named in the output, even one alone; a block for standard output is the
// exception, since it is the output.
int Ident(const Options &o)
{
    return o.ports.size() == 1 && !Named(o) ? IdentOne(o) : IdentMany(o);
}

int Get(const Options &o)
{
    return o.ports.size() == 1 && (!Named(o) || o.file.empty()) ? GetOne(o) : GetMany(o);
}

int Send(const Options &o)
{
    // The file first: a bad one must not cost a single byte on any line.
    std::array<uint16_t, kParaWords> block{};
    std::string why;
    if (!LoadParameterFile(o.file, block, &why)) {
        Say(why + " Nothing was sent.");
        return kExitFile;
    }
    return o.ports.size() == 1 && !Named(o) ? SendOne(o, block) : SendMany(o, block);
}

int Dispatch(const Options &o)
{
    switch (o.command) {
    case Command::Help: Out(HelpText(o.helpFor)); return kExitOk;
    case Command::Version: Out(std::string(kProgram) + " " + kProductVersion + "\n"); return kExitOk;
    case Command::Ports: return Ports(o.probe);
    case Command::Ident: return Ident(o);
    case Command::Get: return Get(o);
    case Command::Send: return Send(o);
    case Command::Watch: return Watch(o);
    }
    return kExitUsage;
}

} // namespace

int Run(const Options &given)
{
    SetComPortDirectory(portdir::Directory().c_str());
    console::IgnoreBrokenPipe(); // a closed pipe shows up as a failed write instead
    SetOutputError(0);
    ClearStop();
    Options o = given;
    if (std::string why; !LoadLine(&o, &why)) {
        Say(why);
        return kExitUsage;
    }
    const int code = Dispatch(o);
    // What stdio still holds goes out now, while a failure can still change the exit code.
    if (std::fflush(stdout) != 0 && OutputError() == 0)
        SetOutputError(console::LastError());
    if (OutputError() == 0)
        return code;
    Say("cannot write standard output: " + OutputReason(OutputError()));
    return code != kExitOk ? code : kExitFile;
}

} // namespace cli
