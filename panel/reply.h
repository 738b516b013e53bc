// SPDX-License-Identifier: MIT
// The panel's exchange with the sensor over the state's buffers, and the report of a reply that did not come.
#pragma once

#include "link/exchange.h"

#include <string>

// Painting right after the write would hold the processor while the sensor's side (a simulator, a serial
// device server, the kernel's line discipline) wakes to take the request: every millisecond it waits delays
// the reply by as much. The panel's wait sleeps this long first; the displays show the last measurement that
// much later, far below a frame.
inline constexpr double kSensorsTurn = 0.002;

// Writes the frame in szWriteBuf (4 + 2 * anzpara bytes) to COM com, after emptying both queues with
// FlushFirst::Yes, and with expected > 0 waits for the reply into szReadBuf as Exchange does (the settling after
// a failed reply included). Sets tstart, tdiff and nBytesR. kSensorsTurn after the request has left (or once the
// reply is in, if sooner), and between slices of the wait, the displays changed since the last frame are
// painted. Throughout, the event loop goes on with everything but the user's input, and no callback runs
// (BeginServedWait). In a polling pass the wait also ends, reading nothing, as soon as poll is found 0. The reply
// is good when nBytesR == expected.
ExchangeResult RequestReply(int expected, FlushFirst flush, bool pollingPass = false);

// "TIMEOUT" in DispStatus, what went wrong on the message line, then the modal box titled "INFO". The
// message line says a reply did not come, unless the caller names another failure.
void TimeoutReport(const char *whatFailed = nullptr);
// What a port set-up leaves in DispStatus (the identification, or a port error). A time-out report replaces
// it until the next port set-up, whatever succeeds in between.
void ShowStandingStatus(const char *text);

// The message line below the panel: what the last action did, time-stamped. Never blocks.
void SayDone(const std::string &text);
