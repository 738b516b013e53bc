// SPDX-License-Identifier: MIT
// One request and its reply on a serial line, the way every program here talks to the sensor: the request
// first, then one bounded wait, then the recovery of the line after a failed reply. No panel, no Qt.
#pragma once

#include "link/com232.h"

#include <functional>

// A serial line and the buffers its exchanges use. The panel's is COM com with szWriteBuf and szReadBuf; a
// program that serves several sensors at once gives each line buffers of its own.
struct ExchangeLine {
    int com = 0;
    const unsigned char *request = nullptr; // the frame to send
    unsigned char *reply = nullptr;         // kBufSize bytes for what comes back
    double timeout = kReplyTimeout;         // seconds from the written request to the complete reply
    // Seconds from the written request to the hook's first call, unless the reply is complete sooner. A caller
    // whose hook keeps the processor busy (painting) lets the sensor's side take the request first. 0 = at once.
    double hookAfter = 0;
    // Seconds the line must stay quiet after a reply of the expected length for the reply to be the sensor's
    // alone (see ExchangeResult::trailing), at kBaud: a peer that answers faster than such a line could is held to
    // as many of its own byte-times. 0 = not looked at: the reply is its first bytes, as the panel reads it.
    double aloneFor = 0;
    // For a loop of exchanges on one line: where the quiet after a reply answered at the line's pace is left for
    // the next exchange to see while its request is on its way (no reply can begin before a line at kBaud has
    // carried the request, far longer than the quiet lasts), so the loop loses no time to it. Null: each exchange
    // waits for its own quiet.
    double *quietLeft = nullptr;
};

// How one exchange went.
struct ExchangeResult {
    int written = 0;        // bytes of the request the line took, or a negative serial code
    int received = 0;       // bytes read into the reply buffer
    double tstart = 0;      // Timer() when the request had been written: the time-out runs from here
    double tdiff = 0;       // seconds from tstart to the last look at the input queue
    bool abandoned = false; // the caller's hook ended the wait; nothing was read
    // Bytes that came after a reply of the expected length within line.aloneFor (or, on a network port, before the
    // pace allowed the next request): the reply was not alone on the line, so its bytes may be anybody's.
    int trailing = 0;
    // With line.quietLeft: this reply's quiet is left to the next exchange (or to QuietAfterLast).
    bool quietLeft = false;
    // With line.quietLeft: bytes that came after the previous exchange's reply, before this request could have been
    // answered. The previous reply was not alone, and this one's bytes are not the sensor's alone either.
    int trailingBefore = 0;
};

// Called once line.hookAfter seconds after the request has been written (at once by default), or when the
// reply is complete if that comes first, and again between slices of the wait (at least every kWaitSlice
// seconds). Returning false ends the wait at once, reading nothing. It may paint or write out a log; it must
// not start another exchange on the same line.
using ExchangeHook = std::function<bool()>;
inline constexpr double kWaitSlice = 0.25;

enum class FlushFirst { No, Yes };

// Empties both queues (with FlushFirst::Yes), writes `requestBytes` of line.request, and with expected > 0 waits
// for the reply: the wait ends at the first look that sees `expected` bytes or more, or at the first look once
// more than line.timeout has passed since the request was written; what has arrived then is read (never more
// than kBufSize). A request that could not be written still costs the whole wait, so no caller's loop can run
// faster than one try per time-out. The last look before giving up counts every byte waiting.
// On a network port an exchange takes at least as long as a line at kBaud needs to carry the request and its
// reply, so a peer that answers at once (or never stops sending) cannot drive a caller's loop faster than the line.
// After a reply of any other length, or one that was not alone, the line is let settle: what still comes is
// discarded until the line has been quiet for 0.3 s (for at most 1 s), so a late reply is never taken for the answer
// to the next request. The hook is asked between looks there too, and ends the settling when it says stop.
// With expected == 0 only the request is written.
ExchangeResult Exchange(const ExchangeLine &line, int requestBytes, int expected, FlushFirst flush,
                        const ExchangeHook &between = {});

// With quietLeft from a loop's exchanges: waits out the quiet left after its last reply, and returns the bytes that
// came meanwhile (0: that reply was alone). Clears what was left.
int QuietAfterLast(int com, double *quietLeft);

// Sleeps until `length` seconds have passed since `since` (a Timer() value); with length <= 0 it reads no clock.
// Returns the last difference it saw between the clock and `since` (0 when it read none).
double GuardSince(double since, double length);

// Opens COM `port` with the link's settings (deviceName "" = the device its number finds) and returns the
// serial services' result; prepared when it is 0: the read/write time-out set, both queues emptied, no handshake.
int OpenLine(int port, const char *deviceName, double timeout = kReplyTimeout);

// The seconds a line at kBaud needs to carry `bytes` (8N1: ten bits a byte).
double LineSeconds(int bytes);
