// SPDX-License-Identifier: MIT
// One sensor's line for the command line: its port, buffers of its own, and the exchanges every subcommand makes.
#pragma once

#include "cli/cliargs.h"
#include "core/ScopeState.h"
#include "link/com232.h"
#include "link/exchange.h"

#include <cstdint>
#include <string>

namespace cli {

inline constexpr int kFrameBytes = FrameBytes(kParaWords);
inline constexpr int kParaReplyBytes = ReplyBytes(kParaWords);
inline constexpr int kDataReplyBytes = ReplyBytes(kDataWords);

// A sensor's line. It keeps its own request and reply buffers and parameter block instead of the state record's,
// so that lines worked by different threads share nothing; a line itself is worked by one thread at a time,
// the one that opened it.
struct SensorLink {
    PortSpec port;
    std::string device; // what the port resolved to when last opened or tried ("" when nothing was found)
    std::string label;  // how messages name it: "COM 1 (/dev/pts/5)", or the device as given
    ExchangeLine line;
    unsigned char request[kBufSize] = {};
    unsigned char reply[kBufSize] = {};
    uint16_t pp[kParaWords] = {};
    uint16_t data[kDataWords] = {};

    SensorLink(const PortSpec &spec, double timeout);
    ~SensorLink(); // closes the port
    SensorLink(const SensorLink &) = delete;
    SensorLink &operator=(const SensorLink &) = delete;
};

// Opens the port with the link's settings. kExitOk, or kExitPort with *why holding the reason in words (no label).
int OpenSensor(SensorLink &link, std::string *why);
// Whether the line can carry nothing any more: a device that has gone, a connection that has dropped, a port
// that is not open.
bool SensorHungUp(const SensorLink &link);

// One request of `order` carrying link.pp and, with expected > 0, its reply into link.reply.
ExchangeResult Ask(SensorLink &link, uint16_t order, int expected, const ExchangeHook &between);
// The identification, trailing blanks and NULs removed.
bool Identify(SensorLink &link, std::string *ident, ExchangeResult *r, const ExchangeHook &between);
// RAM or EEPROM into link.pp, then the guard that follows a read.
bool ReadBlock(SensorLink &link, Memory memory, ExchangeResult *r, const ExchangeHook &between);

// What went wrong with an exchange, after "no valid reply": the real reason and the time actually waited.
std::string Detail(const SensorLink &link, int expected, const ExchangeResult &r);
// "LABEL: no valid reply to WHAT" and the detail.
std::string NoReply(const SensorLink &link, const char *what, int expected, const ExchangeResult &r);
// Why a write of parameters did not reach the line (after "the parameters did not reach the line: ").
std::string WriteFailure(const SensorLink &link, const ExchangeResult &sent);

// The time a wait took, in units a user reads at a glance: "2.0 s", "78 ms", "0.07 ms".
std::string Duration(double seconds);
const char *MemoryName(Memory memory);

} // namespace cli
