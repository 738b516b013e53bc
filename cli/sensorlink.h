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
// A reply is taken only when the line keeps quiet for this many byte-times after it: bytes that keep coming
// belong to a longer stream (another client's traffic), of which the reply's bytes may be any part.
inline constexpr int kQuietAfterReplyBytes = 3;

// A sensor's line. It keeps its own request and reply buffers and parameter block instead of the state record's,
// so that lines worked by different threads share nothing; a line itself is worked by one thread at a time,
// the one that opened it.
struct SensorLink {
    PortSpec port;
    std::string device; // what the port resolved to when last opened or tried ("" when nothing was found)
    std::string label;  // how messages name it: "COM 1 (/dev/pts/5)", or the device as given
    // The link in the port directory through which the COM number found its device when the port was first opened
    // ("" when it found a system port, or was given a device): opening the port again goes through it, or to the
    // device first found, and never to another device the number might find meanwhile.
    std::string viaLink;
    bool everOpened = false;
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
// Once the port has been opened, it is opened again only where it was first: through the same link, or the same
// device or address.
int OpenSensor(SensorLink &link, std::string *why);
// Whether the line can carry nothing any more: a device that has gone, a connection that has dropped, a port
// that is not open.
bool SensorHungUp(const SensorLink &link);

// One request of `order` carrying link.pp and, with expected > 0, its reply into link.reply.
ExchangeResult Ask(SensorLink &link, uint16_t order, int expected, const ExchangeHook &between);
// Whether the reply is the sensor's: exactly `expected` bytes, with nothing before or after them.
bool Good(const ExchangeResult &r, int expected);

// The identification, trailing blanks and NULs removed, and the RAM or EEPROM block into link.pp. Each is read twice
// and taken only when both reads are good and agree (and an identification is printable text): "" then, else why not,
// without the label ("no valid reply to the identification request within 2.0 s (got 0 of 96 bytes)").
std::string Identify(SensorLink &link, std::string *ident, const ExchangeHook &between);
std::string ReadBlock(SensorLink &link, Memory memory, const ExchangeHook &between);
// One read of the block into link.pp (a read-back, compared with what was written): "" or why not. Every read of a
// block is followed by the guard.
std::string ReadBlockOnce(SensorLink &link, Memory memory, const char *what, const ExchangeHook &between);

// What went wrong with an exchange, after "no valid reply": the real reason and the time actually waited.
std::string Detail(const SensorLink &link, int expected, const ExchangeResult &r);
// Why a reply of `expected` bytes is refused when more followed it (after "no valid reply").
std::string Followed(int expected);
// Why a write of parameters did not reach the line (after "the parameters did not reach the line: ").
std::string WriteFailure(const SensorLink &link, const ExchangeResult &sent);

// The time a wait took, in units a user reads at a glance: "2.0 s", "78 ms", "0.07 ms".
std::string Duration(double seconds);

} // namespace cli
