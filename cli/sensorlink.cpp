// SPDX-License-Identifier: MIT
// A sensor's line for the command line over the panel's exchange and frames, with buffers of its own.
#include "cli/sensorlink.h"

#include "cli/diagnose.h"
#include "io/portdir.h"
#include "link/com232.h"
#include "io/rs232.h"
#include "io/utility.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

namespace cli {

namespace {

constexpr double kTellInMs = 0.1;     // shorter waits are told in milliseconds
constexpr double kTellDigits = 0.001; // and shorter ones with their significant digits
constexpr double kMsPerSecond = 1000.0;
constexpr unsigned char kFirstPrintable = 0x20, kLastPrintable = 0x7E;

std::string Label(const PortSpec &port, const std::string &device)
{
    if (!port.name.empty())
        return port.name + (device.empty() ? std::string() : " (" + device + ")");
    if (!port.device.empty())
        return port.device;
    return PortName(port) + (device.empty() ? std::string() : " (" + device + ")");
}

// A network port that drops is no pulled cable: say what the user will look for.
std::string HangUpNote(const SensorLink &link)
{
    return ComIsAddress(link.device) ? "; the connection has dropped (the server has gone or the network is down)"
                                     : "; the line has hung up (the device is gone)";
}

// Reads that must agree before a block or an identification is taken: a clean-looking reply cannot be told from a
// shifted one by its timing alone (a server passes bytes on in packets, a busy machine looks late), but another
// client's traffic does not shift two reads alike.
constexpr int kReadsToAgree = 2;
constexpr int kDifferencesTold = 3;
constexpr const char *kOtherTraffic = ": the line carries other traffic: is another client on this port?";

// Where a link in the port directory leads: the address its target names, or the device it reaches ("" when there
// is no such link, or it leads nowhere).
std::string LinkTarget(const std::string &link)
{
    std::error_code ec;
    const std::string text = std::filesystem::read_symlink(link, ec).string();
    if (ec)
        return {};
    if (ComIsAddress(text))
        return text;
    const std::filesystem::path device = std::filesystem::canonical(link, ec);
    return ec ? std::string() : device.string();
}

// "" when every character is printable text; else the first that is not and where ("0xFF at character 1").
std::string NotText(const std::string &text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < kFirstPrintable || c > kLastPrintable) {
            char what[48];
            std::snprintf(what, sizeof what, "0x%02X at character %zu", c, i + 1);
            return what;
        }
    }
    return {};
}

} // namespace

SensorLink::SensorLink(const PortSpec &spec, double timeout)
    : port(spec), label(PortName(spec)), line{spec.com, request, reply, timeout, 0, LineSeconds(kQuietAfterReplyBytes)}
{
}

SensorLink::~SensorLink()
{
    CloseCom(port.com);
}

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

int OpenSensor(SensorLink &link, std::string *why)
{
    const PortSpec &p = link.port;
    int resolveError = 0;
    std::string target = p.device; // what is opened: "" lets the COM number find its device
    if (link.everOpened && p.device.empty()) {
        target = link.viaLink.empty() ? link.device : LinkTarget(link.viaLink);
        if (target.empty()) {
            std::error_code ec;
            *why = std::filesystem::is_symlink(link.viaLink, ec)
                       ? WhyRefused(link.viaLink)
                       : "its link " + link.viaLink + " is gone (no other device is opened in its place)";
            return kExitPort;
        }
    }
    const std::string found = target.empty() ? ComDeviceFor(p.com, &resolveError) : target;
    if (!link.everOpened && p.device.empty())
        link.viaLink = LinkTarget(portdir::LinkPath(p.com)).empty() ? std::string() : portdir::LinkPath(p.com);
    link.device = found;
    link.label = Label(p, link.device);
    if (OpenLine(p.com, target.c_str(), link.line.timeout) == 0) {
        link.everOpened = true;
        link.device = ComDevicePath(p.com);
        link.label = Label(p, link.device);
        return kExitOk;
    }
    if (link.device.empty()) {
        const std::string com = std::to_string(p.com);
        *why = resolveError == kComErrNoPorts
                   ? "no serial port found (and no link com" + com + " in " + portdir::Directory() + ")"
                   : "no such port number: neither a link com" + com + " in " + portdir::Directory() +
                         " nor that many serial ports";
    } else if (ComIsAddress(link.device)) {
        *why = ComOpenError(p.com);
        if (why->empty())
            *why = "cannot connect";
    } else {
        *why = WhyRefused(link.everOpened && !link.viaLink.empty() ? link.viaLink : link.device);
    }
    return kExitPort;
}

bool SensorHungUp(const SensorLink &link)
{
    return ComHungUp(link.port.com);
}

ExchangeResult Ask(SensorLink &link, uint16_t order, int expected, const ExchangeHook &between)
{
    FillTxBufTo(link.request, kSync, static_cast<uint8_t>(order), link.pp, kParaWords);
    return Exchange(link.line, kFrameBytes, expected, FlushFirst::Yes, between);
}

bool Good(const ExchangeResult &r, int expected)
{
    return r.received == expected && r.trailing == 0 && r.trailingBefore == 0;
}

std::string Identify(SensorLink &link, std::string *ident, const ExchangeHook &between)
{
    std::string reads[kReadsToAgree];
    for (std::string &text : reads) {
        const ExchangeResult r = Ask(link, kOrderIdent, kIdentReplyBytes, between);
        if (!Good(r, kIdentReplyBytes))
            return "no valid reply to the identification request" + Detail(link, kIdentReplyBytes, r);
        char chars[kIdentChars + 1];
        GetRxBufIdentFrom(link.reply, chars);
        // A NUL ends the text; what comes before it must be text a person can read.
        text.assign(chars, std::char_traits<char>::length(chars));
        if (const std::string bad = NotText(text); !bad.empty())
            return "the identification is not text (" + bad + "): is a sensor on this port?";
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
    }
    if (reads[0] != reads[1])
        return "two reads of the identification differ (\"" + reads[0] + "\", then \"" + reads[1] + "\")" +
               kOtherTraffic;
    *ident = reads[0];
    return {};
}

std::string ReadBlockOnce(SensorLink &link, Memory memory, const char *what, const ExchangeHook &between)
{
    const double begin = Timer();
    const ExchangeResult r =
        Ask(link, memory == Memory::Ram ? kOrderReadRam : kOrderReadEeprom, kParaReplyBytes, between);
    const bool ok = Good(r, kParaReplyBytes);
    if (ok)
        GetRxBufWords(link.reply, link.pp, kParaWords);
    GuardSince(begin, kGuardRam);
    return ok ? std::string() : std::string("no valid reply to ") + what + Detail(link, kParaReplyBytes, r);
}

std::string ReadBlock(SensorLink &link, Memory memory, const ExchangeHook &between)
{
    const std::string what = std::string("the ") + MemoryName(memory) + " read";
    std::array<uint16_t, kParaWords> first{};
    for (int i = 0; i < kReadsToAgree; ++i) {
        if (std::string why = ReadBlockOnce(link, memory, what.c_str(), between); !why.empty())
            return why;
        if (i == 0)
            std::copy_n(link.pp, kParaWords, first.begin());
    }
    std::string diffs;
    int differing = 0;
    for (int i = 0; i < kParaWords; ++i) {
        if (first[i] == link.pp[i])
            continue;
        if (++differing <= kDifferencesTold)
            diffs += std::string(diffs.empty() ? "" : "; ") + "word " + std::to_string(i) + ": " +
                     std::to_string(first[i]) + ", then " + std::to_string(link.pp[i]);
    }
    if (differing == 0)
        return {};
    return "two reads of " + std::string(MemoryName(memory)) + " differ in " + std::to_string(differing) +
           (differing == 1 ? " word (" : " words (") + diffs + (differing > kDifferencesTold ? "; …)" : ")") +
           kOtherTraffic;
}

std::string Detail(const SensorLink &link, int expected, const ExchangeResult &r)
{
    std::string text;
    if (r.written != kFrameBytes)
        text =
            ": the request could not be written (" +
            (r.written > 0 ? "only " + std::to_string(r.written) + " of " + std::to_string(kFrameBytes) + " bytes left"
             : r.written == kComErrNotOpen ? std::string("the port is not open")
                                           : std::string("the port refused it")) +
            "); waited " + Duration(r.tdiff);
    else if (r.received == expected && r.trailingBefore > 0)
        text = kOtherTraffic + std::string(" (bytes came before the sensor could have answered)");
    else if (r.received == expected && r.trailing > 0)
        text = Followed(expected);
    else if (r.received > expected)
        text = ": " + std::to_string(r.received) + " bytes instead of " + std::to_string(expected) + " after " +
               Duration(r.tdiff);
    else // a wait that ran its course is told as the bound it kept, not by how far the system overshot it
        text = " within " + Duration(std::min(r.tdiff, link.line.timeout)) + " (got " + std::to_string(r.received) +
               " of " + std::to_string(expected) + " bytes)";
    if (SensorHungUp(link))
        text += HangUpNote(link);
    const double needed = LineSeconds(kFrameBytes + expected);
    if (link.line.timeout < needed)
        text += "; --timeout " + Duration(link.line.timeout) +
                " is shorter than the line needs to carry the request and its reply (" + Duration(needed) + " at " +
                std::to_string(kBaud) + " baud)";
    return text;
}

std::string Followed(int expected)
{
    return kOtherTraffic + std::string(" (more bytes followed the ") + std::to_string(expected) + "-byte reply)";
}

std::string WriteFailure(const SensorLink &link, const ExchangeResult &sent)
{
    return (sent.written > 0 ? "only " + std::to_string(sent.written) + " of " + std::to_string(kFrameBytes) +
                                   " bytes left within " + Duration(link.line.timeout)
            : sent.written == kComErrNotOpen ? std::string("the port is not open")
                                             : std::string("the port refused them")) +
           (SensorHungUp(link) ? HangUpNote(link) : "");
}

} // namespace cli
