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
};

// How one exchange went.
struct ExchangeResult {
    int written = 0;        // bytes of the request the line took, or a negative serial code
    int received = 0;       // bytes read into the reply buffer
    double tstart = 0;      // Timer() when the request had been written: the time-out runs from here
    double tdiff = 0;       // seconds from tstart to the last look at the input queue
    bool abandoned = false; // the caller's hook ended the wait; nothing was read
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
// faster than one try per time-out. The last look before giving up counts every byte waiting. After a reply of
// any other length the line is let settle: bytes that still
// come within 0.3 s of each other (for at most 1 s) are discarded, so a late reply is never taken for the answer
// to the next request. With expected == 0 only the request is written.
ExchangeResult Exchange(const ExchangeLine &line, int requestBytes, int expected, FlushFirst flush,
                        const ExchangeHook &between = {});

// Sleeps until `length` seconds have passed since `since` (a Timer() value); with length <= 0 it reads no clock.
// Returns the last difference it saw between the clock and `since` (0 when it read none).
double GuardSince(double since, double length);

// Opens COM `port` with the link's settings (deviceName "" = the device its number finds) and returns the
// serial services' result; prepared when it is 0: the read/write time-out set, both queues emptied, no handshake.
int OpenLine(int port, const char *deviceName, double timeout = kReplyTimeout);

// The seconds a line at kBaud needs to carry `bytes` (8N1: ten bits a byte).
double LineSeconds(int bytes);
