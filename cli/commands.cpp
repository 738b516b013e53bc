// SPDX-License-Identifier: MIT
// ports, ident, get, send and watch over the panel's exchange, frames, file writer and serial services.
#include "cli/commands.h"

#include "cli/diagnose.h"
#include "cli/paramfile.h"
#include "core/ScopeState.h"
#include "core/csvrecord.h"
#include "core/portdir.h"
#include "link/com232.h"
#include "link/exchange.h"
#include "ui/fileio.h"
#include "ui/rs232.h"
#include "ui/utility.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>

namespace cli {

namespace {

constexpr double kProgressEvery = 1.0; // seconds between progress lines on a terminal
constexpr double kTellInMs = 0.1;      // shorter waits are told in milliseconds
constexpr double kTellDigits = 0.001;  // and shorter ones with their significant digits
constexpr double kMsPerSecond = 1000.0;

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void OnStopSignal(int)
{
    stopRequested = 1;
}

// Ctrl+C and SIGTERM end a watch between passes; the wait's slices notice them within a fraction of a second.
void CatchStopSignals()
{
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void Say(const std::string &text)
{
    std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
}

// The first failure to write standard output, as errno told it (0 = none yet).
int outputError = 0;

void Out(const std::string &text)
{
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() && outputError == 0)
        outputError = errno;
}

// How standard output's failure reads: a reader that went away is not a broken disk.
std::string OutputReason(int code)
{
    return code == EPIPE ? "the reader closed it before everything was written" : std::strerror(code);
}

// The time a wait took, in units a user reads at a glance: "2.0 s", "78 ms", "0.07 ms".
std::string Duration(double s)
{
    char text[32];
    if (s >= kTellInMs)
        std::snprintf(text, sizeof text, "%.1f s", s);
    else if (s >= kTellDigits)
        std::snprintf(text, sizeof text, "%.0f ms", s * kMsPerSecond);
    else
        std::snprintf(text, sizeof text, "%.2g ms", s * kMsPerSecond);
    return text;
}

const char *MemoryName(Memory m)
{
    return m == Memory::Ram ? "RAM" : "EEPROM";
}

int FrameBytes()
{
    return 2 * st.anzpara + 4;
}

// The open port, its buffers and how messages name it.
struct Link {
    int com = 1;
    std::string device; // --device, or "" for the device the number finds
    std::string label;  // "COM 1 (/dev/pts/5)" or "/dev/ttyUSB0"
    ExchangeLine line;
    ~Link() { CloseCom(com); }
};

std::string Label(const Options &o, const std::string &device)
{
    if (!o.device.empty())
        return o.device;
    return "COM " + std::to_string(o.com) + (device.empty() ? std::string() : " (" + device + ")");
}

int OpenLink(const Options &o, Link *link)
{
    SetComPortDirectory(portdir::Directory().c_str());
    link->com = o.com;
    link->device = o.device;
    link->line = ExchangeLine{o.com, st.szWriteBuf, st.szReadBuf, o.timeout};
    int resolveError = 0;
    const std::string device = o.device.empty() ? ComDeviceFor(o.com, &resolveError) : o.device;
    link->label = Label(o, device);
    if (OpenLine(o.com, o.device.c_str(), o.timeout) == 0) {
        link->label = Label(o, ComDevicePath(o.com));
        return kExitOk;
    }
    std::string why;
    if (device.empty()) {
        why = resolveError == kComErrNoPorts ? "no serial port found (and no link com" + std::to_string(o.com) +
                                                   " in " + portdir::Directory() + ")"
                                             : "no such port number: neither a link com" + std::to_string(o.com) +
                                                   " in " + portdir::Directory() + " nor that many serial ports";
    } else {
        why = WhyRefused(device);
    }
    Say(link->label + ": cannot open: " + why);
    return kExitPort;
}

// Stops a wait once Ctrl+C or SIGTERM came; the caller's own work first.
ExchangeHook Interruptible(std::function<void()> meanwhile = {})
{
    return [meanwhile] {
        if (meanwhile)
            meanwhile();
        return stopRequested == 0;
    };
}

// One request of `order` carrying st.pp and, with expected > 0, its reply into szReadBuf (the panel's exchange).
ExchangeResult Ask(const Link &link, uint16_t order, int expected, const ExchangeHook &between)
{
    FillTxBuf(static_cast<uint8_t>(order));
    return Exchange(link.line, FrameBytes(), expected, FlushFirst::Yes, between);
}

// What went wrong with an exchange, after "no valid reply": the real reason and the time actually waited.
std::string Detail(const Link &link, int expected, const ExchangeResult &r)
{
    std::string text;
    if (r.written != FrameBytes())
        text =
            ": the request could not be written (" +
            (r.written > 0 ? "only " + std::to_string(r.written) + " of " + std::to_string(FrameBytes()) + " bytes left"
             : r.written == kComErrNotOpen ? std::string("the port is not open")
                                           : std::string("the port refused it")) +
            "); waited " + Duration(r.tdiff);
    else if (r.received > expected)
        text = ": " + std::to_string(r.received) + " bytes instead of " + std::to_string(expected) + " after " +
               Duration(r.tdiff);
    else
        text = " within " + Duration(r.tdiff) + " (got " + std::to_string(r.received) + " of " +
               std::to_string(expected) + " bytes)";
    if (ComHungUp(link.com))
        text += "; the line has hung up (the device is gone)";
    const double needed = LineSeconds(FrameBytes() + expected);
    if (link.line.timeout < needed)
        text += "; --timeout " + Duration(link.line.timeout) +
                " is shorter than the line needs to carry the request and its reply (" + Duration(needed) + " at " +
                std::to_string(kBaud) + " baud)";
    return text;
}

std::string NoReply(const Link &link, const char *what, int expected, const ExchangeResult &r)
{
    return link.label + ": no valid reply to " + what + Detail(link, expected, r);
}

bool Identify(const Link &link, std::string *ident, ExchangeResult *r)
{
    *r = Ask(link, kOrderIdent, kIdentReplyBytes, Interruptible());
    if (r->received != kIdentReplyBytes)
        return false;
    char text[kIdentChars + 1];
    GetRxBufIdent(text);
    ident->assign(text, kIdentChars);
    while (!ident->empty() && (ident->back() == ' ' || ident->back() == '\0'))
        ident->pop_back();
    return true;
}

// Reads RAM or EEPROM into st.pp, then waits out the guard that follows a read.
bool ReadBlock(const Link &link, Memory memory, ExchangeResult *r)
{
    const double begin = Timer();
    const int expected = 2 * st.anzpara;
    *r = Ask(link, memory == Memory::Ram ? kOrderReadRam : kOrderReadEeprom, expected, Interruptible());
    const bool ok = r->received == expected;
    if (ok)
        GetRxBufPara();
    GuardSince(begin, kGuardRam);
    return ok;
}

int Ports()
{
    SetComPortDirectory(portdir::Directory().c_str());
    const std::vector<ComPortInfo> system = SystemComPorts();
    std::map<int, std::string> links; // COM number -> link path
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(portdir::Directory(), ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() < 4 || name.compare(0, 3, "com") != 0 ||
            name.find_first_not_of("0123456789", 3) != std::string::npos || name.size() > 5)
            continue;
        const int n = std::stoi(name.substr(3));
        if (n >= 1 && n <= kMaxCom)
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
        // The test ident makes: the serial services open the device the number finds (where another program's
        // hold is noted); only a refusal needs a reason, told for the name the user gave.
        if (ComProbe(device.c_str()) != 0)
            line += "\tcannot be opened: " + WhyRefused(links.count(n) ? links[n] : device);
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

int Ident(const Options &o)
{
    Link link;
    if (const int r = OpenLink(o, &link))
        return r;
    std::string ident;
    ExchangeResult r;
    if (!Identify(link, &ident, &r)) {
        Say(NoReply(link, "the identification request", kIdentReplyBytes, r));
        return kExitTimeout;
    }
    Out(ident + "\n");
    return kExitOk;
}

// A path that exists and is not a regular file is refused before the sensor is asked anything.
bool RefusedOutput(const std::string &path)
{
    const std::string kind = path == kStandardStream ? std::string() : PathKind(path);
    if (kind.empty())
        return false;
    Say(std::string("Parameters not saved to ") + path + ": it is " + kind +
        ", not a regular file; nothing was replaced (- writes to standard output).");
    return true;
}

int Get(const Options &o)
{
    const std::string file = o.file.empty() ? std::string(kStandardStream) : o.file;
    if (RefusedOutput(file))
        return kExitFile;
    Link link;
    if (const int r = OpenLink(o, &link))
        return r;
    ExchangeResult r;
    if (!ReadBlock(link, o.memory, &r)) {
        Say(NoReply(link, o.memory == Memory::Ram ? "the RAM read" : "the EEPROM read", 2 * st.anzpara, r));
        return kExitTimeout;
    }
    std::string why;
    if (!SaveParameterFile(file, st.pp, &why)) {
        Say(why);
        return kExitFile;
    }
    return kExitOk;
}

int Send(const Options &o)
{
    // The file first: a bad one must not cost a single byte on the line.
    uint16_t block[kBlockWords] = {};
    std::string why;
    if (!LoadParameterFile(o.file, block, &why)) {
        Say(why + " Nothing was sent.");
        return kExitFile;
    }
    Link link;
    if (const int r = OpenLink(o, &link))
        return r;
    std::copy(block, block + kBlockWords, st.pp);
    const bool ram = o.memory == Memory::Ram;
    const double begin = Timer();
    const ExchangeResult sent = Ask(link, ram ? kOrderWriteRam : kOrderWriteEeprom, 0, {});
    const std::string target = MemoryName(o.memory);
    if (sent.written != FrameBytes()) {
        Say(link.label + ": the parameters did not reach the line: " +
            (sent.written > 0 ? "only " + std::to_string(sent.written) + " of " + std::to_string(FrameBytes()) +
                                    " bytes left within " + Duration(o.timeout)
             : sent.written == kComErrNotOpen ? std::string("the port is not open")
                                              : std::string("the port refused them")) +
            (ComHungUp(link.com) ? "; the line has hung up (the device is gone)" : ""));
        return kExitTimeout;
    }
    GuardSince(begin, ram ? kGuardRam : kGuardEeprom);
    const std::string name = FileLabel(o.file, true);
    if (!o.verify) {
        Out("sent " + name + " to " + target + " on " + link.label + " (not verified)\n");
        return kExitOk;
    }
    ExchangeResult r;
    if (!ReadBlock(link, o.memory, &r)) {
        Say(NoReply(link, ram ? "the RAM read-back" : "the EEPROM read-back", 2 * st.anzpara, r));
        return kExitTimeout;
    }
    std::string diffs;
    int differing = 0;
    for (int i = 0; i < kBlockWords; ++i) {
        if (st.pp[i] == block[i])
            continue;
        ++differing;
        diffs += (diffs.empty() ? "" : "; ") + std::string("word ") + std::to_string(i) + " sent " +
                 std::to_string(block[i]) + ", read " + std::to_string(st.pp[i]);
    }
    if (differing > 0) {
        Say(link.label + ": " + target + " differs from " + name + " in " + std::to_string(differing) +
            (differing == 1 ? " word: " : " words: ") + diffs);
        return kExitMismatch;
    }
    Out("sent " + name + " to " + target + " on " + link.label + ", verified " + std::to_string(kBlockWords) +
        " words\n");
    return kExitOk;
}

std::string Now()
{
    return csvrec::Timestamp(std::chrono::system_clock::now());
}

int Watch(const Options &o)
{
    LineLog csv;
    bool isNew = true;
    if (!o.csv.empty()) {
        std::string why;
        if (!csv.Open(o.csv, &isNew, &why)) {
            Say("cannot write " + o.csv + ": " + why);
            return kExitFile;
        }
    } else {
        csv.Attach(STDOUT_FILENO);
    }
    Link link;
    if (const int r = OpenLink(o, &link))
        return r;
    CatchStopSignals();
    std::string ident;
    ExchangeResult r;
    if (!Identify(link, &ident, &r)) {
        if (stopRequested)
            return kExitOk;
        Say(NoReply(link, "the identification request", kIdentReplyBytes, r));
        return kExitTimeout;
    }
    if (!ReadBlock(link, Memory::Ram, &r)) {
        if (stopRequested)
            return kExitOk;
        Say(NoReply(link, "the RAM read", 2 * st.anzpara, r));
        return kExitTimeout;
    }
    if (isNew)
        csv.Append(csvrec::Header(std::string(kProgram) + " " + kVersion, link.label, ident, st.pp));

    const bool progress = isatty(STDERR_FILENO) != 0;
    const double start = Timer();
    double nextProgress = start + kProgressEvery;
    double lastOpened = Timer();
    long passes = 0, good = 0, timeouts = 0;
    const int expected = 2 * st.anzdata;
    const ExchangeHook flushing = Interruptible([&csv] { csv.FlushIfDue(); });
    while (!stopRequested && csv.Error().empty()) {
        if (o.count > 0 && passes >= o.count)
            break;
        if (o.seconds > 0 && Timer() - start >= o.seconds)
            break;
        r = Ask(link, kOrderReadData, expected, flushing);
        if (r.abandoned)
            break;
        ++passes;
        if (r.received == expected) {
            GetRxBufData();
            csv.Append(csvrec::MeasurementLine(std::chrono::system_clock::now(), st.databuf));
            ++good;
        } else {
            ++timeouts;
            csv.Append("# " + Now() + " no valid reply" + Detail(link, expected, r) + "\n");
            // A line that hung up stays dead until it is opened again; a sensor that comes back on the same
            // number (a re-pointed link, a re-plugged adapter) is found then. Once per time-out at most.
            if (ComHungUp(link.com) && Timer() - lastOpened >= o.timeout) {
                lastOpened = Timer();
                if (OpenLine(link.com, link.device.c_str(), o.timeout) == 0) {
                    link.label = Label(o, ComDevicePath(link.com));
                    csv.Append("# " + Now() + " " + link.label + " opened again\n");
                }
            }
        }
        if (progress && Timer() >= nextProgress) {
            nextProgress += kProgressEvery;
            std::fprintf(stderr, "\r%ld passes, %.1f/s, %ld time-outs ", good, good / (Timer() - start), timeouts);
        }
    }
    csv.Flush();
    if (progress)
        std::fprintf(stderr, "\r%ld passes, %.1f/s, %ld time-outs\n", good, good / (Timer() - start), timeouts);
    // Whoever read the lines has stopped reading (watch | head): that ends the watch, it is no failure.
    const bool readerGone = csv.ErrorCode() == EPIPE;
    if (!csv.Error().empty() && !readerGone) {
        Say("cannot write " + (o.csv.empty() ? std::string("standard output") : o.csv) + ": " + csv.Error() +
            (o.csv.empty() ? "" : "; the file ends with the last whole line"));
        return kExitFile;
    }
    if (timeouts > 0) {
        Say(link.label + ": " + std::to_string(timeouts) + " of " + std::to_string(passes) +
            " measurements had no valid reply within " + Duration(o.timeout));
        return kExitTimeout;
    }
    return kExitOk;
}

int Dispatch(const Options &o)
{
    switch (o.command) {
    case Command::Help: Out(HelpText(o.helpFor)); return kExitOk;
    case Command::Version: Out(std::string(kProgram) + " " + kVersion + "\n"); return kExitOk;
    case Command::Ports: return Ports();
    case Command::Ident: return Ident(o);
    case Command::Get: return Get(o);
    case Command::Send: return Send(o);
    case Command::Watch: return Watch(o);
    }
    return kExitUsage;
}

} // namespace

int Run(const Options &o)
{
    ResetScopeState();
    SetProtocolDefaults();
    std::signal(SIGPIPE, SIG_IGN); // a closed pipe shows up as a failed write instead
    outputError = 0;
    const int code = Dispatch(o);
    // What stdio still holds goes out now, while a failure can still change the exit code.
    if (std::fflush(stdout) != 0 && outputError == 0)
        outputError = errno;
    if (outputError == 0)
        return code;
    Say("cannot write standard output: " + OutputReason(outputError));
    return code != kExitOk ? code : kExitFile;
}

} // namespace cli
