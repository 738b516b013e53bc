// SPDX-License-Identifier: MIT
// ports, ident, get, send and watch over the program's frames and serial services, without a panel.
#include "cli/commands.h"

#include "cli/diagnose.h"
#include "cli/paramfile.h"
#include "core/ScopeState.h"
#include "core/csvrecord.h"
#include "core/portdir.h"
#include "link/com232.h"
#include "ui/rs232.h"
#include "ui/utility.h"

#include <algorithm>
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

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void OnStopSignal(int)
{
    stopRequested = 1;
}

// Ctrl+C and SIGTERM end a watch between passes; without SA_RESTART they also cut a wait short.
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

void Out(const std::string &text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
}

std::string Seconds(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", s);
    return text;
}

const char *MemoryName(Memory m)
{
    return m == Memory::Ram ? "RAM" : "EEPROM";
}

// The open port and how messages name it.
struct Link {
    int com = 1;
    std::string label; // "COM 1 (/dev/pts/5)" or "/dev/ttyUSB0"
    double timeout = kDefaultTimeout;
    ~Link() { CloseCom(com); }
};

int OpenLink(const Options &o, Link *link)
{
    SetComPortDirectory(portdir::Directory().c_str());
    link->com = o.com;
    link->timeout = o.timeout;
    int resolveError = 0;
    const std::string device = o.device.empty() ? ComDeviceFor(o.com, &resolveError) : o.device;
    link->label = !o.device.empty()
                      ? o.device
                      : "COM " + std::to_string(o.com) + (device.empty() ? std::string() : " (" + device + ")");
    const int r = OpenComConfig(o.com, o.device.c_str(), kBaud, kParityNone, kDataBits, kStopBits, kBufSize, kBufSize);
    if (r == 0) {
        SetComTime(o.com, o.timeout);
        FlushInQ(o.com);
        FlushOutQ(o.com);
        SetCTSMode(o.com, kCtsOff);
        link->label = o.device.empty() ? "COM " + std::to_string(o.com) + " (" + ComDevicePath(o.com) + ")" : o.device;
        return kExitOk;
    }
    std::string why;
    if (device.empty()) {
        why = resolveError == kComErrNoPorts ? "no serial port found (and no link com" + std::to_string(o.com) +
                                                   " in " + portdir::Directory() + ")"
                                             : "no such port number: neither a link com" + std::to_string(o.com) +
                                                   " in " + portdir::Directory() + " nor that many serial ports";
    } else {
        why = WhyNotOpen(device);
        if (why.empty())
            why = "in use by another program, or not a serial port";
    }
    Say(link->label + ": cannot open: " + why);
    return kExitPort;
}

// Sends one request frame of `order` carrying st.pp. False when the frame did not leave in time.
bool Request(const Link &link, uint16_t order)
{
    FlushInQ(link.com);
    FlushOutQ(link.com);
    FillTxBuf(static_cast<uint8_t>(order));
    const int frame = 2 * st.anzpara + 4;
    return ComWrt(link.com, st.szWriteBuf, frame) == frame;
}

// The panel's rule: the reply is what has arrived when `expected` bytes are in or the time-out has passed, and
// it is good only at exactly that length. The wait is cut in slices so a recorder can write out meanwhile.
bool AwaitReply(const Link &link, int expected, csvrec::Recorder *recorder = nullptr)
{
    const double start = Timer();
    const double deadline = start + link.timeout + 0.001;
    int n = 0;
    for (;;) {
        const double until = recorder ? std::min(deadline, Timer() + 0.25) : deadline;
        n = GetInQLenWait(link.com, expected, until);
        if (recorder)
            recorder->FlushIfDue();
        if (n >= expected || Timer() - start > link.timeout || stopRequested)
            break;
    }
    ReadReply(link.com, n);
    return st.nBytesR == expected;
}

std::string NoReply(const Link &link, const char *what, int expected)
{
    return link.label + ": no valid reply to " + what + " within " + Seconds(link.timeout) + " (got " +
           std::to_string(st.nBytesR) + " of " + std::to_string(expected) + " bytes)";
}

// Sleeps until `seconds` have passed since `since`, as the panel's guard interval does.
void Guard(double since, double seconds)
{
    while (Timer() - since < seconds)
        SleepSeconds(since + seconds - Timer());
}

bool Identify(const Link &link, std::string *ident)
{
    if (!Request(link, kOrderIdent) || !AwaitReply(link, kIdentReplyBytes))
        return false;
    char text[kIdentChars + 1];
    GetRxBufIdent(text);
    ident->assign(text, kIdentChars);
    while (!ident->empty() && (ident->back() == ' ' || ident->back() == '\0'))
        ident->pop_back();
    return true;
}

// Reads RAM or EEPROM into st.pp, then waits out the guard that follows a read.
bool ReadBlock(const Link &link, Memory memory)
{
    const double begin = Timer();
    const bool ok =
        Request(link, memory == Memory::Ram ? kOrderReadRam : kOrderReadEeprom) && AwaitReply(link, 2 * st.anzpara);
    if (ok)
        GetRxBufPara();
    Guard(begin, kGuardRam);
    return ok;
}

void InitState()
{
    st.anzpara = kParaWords;
    st.anzdata = kDataWords;
    st.sync = kSync;
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
        const std::string why = WhyNotOpen(links.count(n) ? links[n] : device);
        if (!why.empty())
            line += "\tcannot be opened: " + why;
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
    if (!Identify(link, &ident)) {
        Say(NoReply(link, "the identification request", kIdentReplyBytes));
        return kExitTimeout;
    }
    Out(ident + "\n");
    return kExitOk;
}

int Get(const Options &o)
{
    Link link;
    if (const int r = OpenLink(o, &link))
        return r;
    if (!ReadBlock(link, o.memory)) {
        Say(NoReply(link, o.memory == Memory::Ram ? "the RAM read" : "the EEPROM read", 2 * st.anzpara));
        return kExitTimeout;
    }
    if (o.file.empty()) {
        Out(ParameterText(st.pp));
        return std::fflush(stdout) == 0 ? kExitOk : kExitFile;
    }
    std::string why;
    if (!SaveParameterFile(o.file, st.pp, &why)) {
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
    if (!Request(link, ram ? kOrderWriteRam : kOrderWriteEeprom)) {
        Say(link.label + ": the write request did not leave within " + Seconds(link.timeout));
        return kExitTimeout;
    }
    Guard(begin, ram ? kGuardRam : kGuardEeprom);
    const std::string target = MemoryName(o.memory);
    if (!o.verify) {
        Out("sent " + o.file + " to " + target + " on " + link.label + " (not verified)\n");
        return kExitOk;
    }
    if (!ReadBlock(link, o.memory)) {
        Say(NoReply(link, ram ? "the RAM read-back" : "the EEPROM read-back", 2 * st.anzpara));
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
        Say(link.label + ": " + target + " differs from " + o.file + " in " + std::to_string(differing) +
            (differing == 1 ? " word: " : " words: ") + diffs);
        return kExitMismatch;
    }
    Out("sent " + o.file + " to " + target + " on " + link.label + ", verified " + std::to_string(kBlockWords) +
        " words\n");
    return kExitOk;
}

int Watch(const Options &o)
{
    csvrec::Recorder csv;
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
    if (!Identify(link, &ident)) {
        Say(NoReply(link, "the identification request", kIdentReplyBytes));
        return kExitTimeout;
    }
    if (!ReadBlock(link, Memory::Ram)) {
        Say(NoReply(link, "the RAM read", 2 * st.anzpara));
        return kExitTimeout;
    }
    if (isNew)
        csv.Append(csvrec::Header(std::string(kProgram) + " " + kVersion, link.label, ident, st.pp));

    const bool progress = isatty(STDERR_FILENO) != 0;
    const double start = Timer();
    double nextProgress = start + 1.0;
    long good = 0, timeouts = 0;
    const int expected = 2 * st.anzdata;
    while (!stopRequested) {
        if (o.count > 0 && good >= o.count)
            break;
        if (o.seconds > 0 && Timer() - start >= o.seconds)
            break;
        const bool sent = Request(link, kOrderReadData);
        if (sent && AwaitReply(link, expected, &csv)) {
            GetRxBufData();
            csv.Append(csvrec::MeasurementLine(std::chrono::system_clock::now(), st.databuf));
            ++good;
        } else if (!stopRequested) {
            ++timeouts;
            csv.Append("# " + csvrec::Timestamp(std::chrono::system_clock::now()) + " no valid reply (" +
                       std::to_string(st.nBytesR) + " of " + std::to_string(expected) + " bytes)\n");
        }
        if (!csv.Error().empty())
            break;
        if (progress && Timer() >= nextProgress) {
            nextProgress += 1.0;
            std::fprintf(stderr, "\r%ld passes, %.1f/s, %ld time-outs ", good, good / (Timer() - start), timeouts);
        }
    }
    csv.Flush();
    if (progress)
        std::fprintf(stderr, "\r%ld passes, %.1f/s, %ld time-outs\n", good, good / (Timer() - start), timeouts);
    if (!csv.Error().empty()) {
        Say("cannot write " + (o.csv.empty() ? std::string("standard output") : o.csv) + ": " + csv.Error());
        return kExitFile;
    }
    if (timeouts > 0) {
        Say(link.label + ": " + std::to_string(timeouts) + " of " + std::to_string(good + timeouts) +
            " measurements had no valid reply within " + Seconds(link.timeout));
        return kExitTimeout;
    }
    return kExitOk;
}

} // namespace

int Run(const Options &o)
{
    ResetScopeState();
    InitState();
    std::signal(SIGPIPE, SIG_IGN); // a closed pipe shows up as a failed write instead
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

} // namespace cli
