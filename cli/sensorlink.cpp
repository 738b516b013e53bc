// SPDX-License-Identifier: MIT
// A sensor's line for the command line over the panel's exchange and frames, with buffers of its own.
#include "cli/sensorlink.h"

#include "cli/diagnose.h"
#include "io/portdir.h"
#include "link/com232.h"
#include "io/rs232.h"
#include "io/utility.h"

#include <algorithm>
#include <cstdio>

namespace cli {

namespace {

constexpr double kTellInMs = 0.1;     // shorter waits are told in milliseconds
constexpr double kTellDigits = 0.001; // and shorter ones with their significant digits
constexpr double kMsPerSecond = 1000.0;

std::string Label(const PortSpec &port, const std::string &device)
{
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

} // namespace

SensorLink::SensorLink(const PortSpec &spec, double timeout)
    : port(spec), label(PortName(spec)), line{spec.com, request, reply, timeout}
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

const char *MemoryName(Memory m)
{
    return m == Memory::Ram ? "RAM" : "EEPROM";
}

int OpenSensor(SensorLink &link, std::string *why)
{
    const PortSpec &p = link.port;
    int resolveError = 0;
    link.device = p.device.empty() ? ComDeviceFor(p.com, &resolveError) : p.device;
    link.label = Label(p, link.device);
    if (OpenLine(p.com, p.device.c_str(), link.line.timeout) == 0) {
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
        *why = WhyRefused(link.device);
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

bool Identify(SensorLink &link, std::string *ident, ExchangeResult *r, const ExchangeHook &between)
{
    *r = Ask(link, kOrderIdent, kIdentReplyBytes, between);
    if (r->received != kIdentReplyBytes)
        return false;
    char text[kIdentChars + 1];
    GetRxBufIdentFrom(link.reply, text);
    ident->assign(text, kIdentChars);
    while (!ident->empty() && (ident->back() == ' ' || ident->back() == '\0'))
        ident->pop_back();
    return true;
}

bool ReadBlock(SensorLink &link, Memory memory, ExchangeResult *r, const ExchangeHook &between)
{
    const double begin = Timer();
    *r = Ask(link, memory == Memory::Ram ? kOrderReadRam : kOrderReadEeprom, kParaReplyBytes, between);
    const bool ok = r->received == kParaReplyBytes;
    if (ok)
        GetRxBufWords(link.reply, link.pp, kParaWords);
    GuardSince(begin, kGuardRam);
    return ok;
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

std::string NoReply(const SensorLink &link, const char *what, int expected, const ExchangeResult &r)
{
    return link.label + ": no valid reply to " + what + Detail(link, expected, r);
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
