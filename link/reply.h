// SPDX-License-Identifier: MIT
// The panel's exchange with the sensor over the state's buffers, and the report of a reply that did not come.
#pragma once

#include "link/exchange.h"

// Writes the frame in szWriteBuf (4 + 2 * anzpara bytes) to COM com, after emptying both queues with
// FlushFirst::Yes, and with expected > 0 waits for the reply into szReadBuf as Exchange does (the settling after
// a failed reply included). Sets tstart, tdiff and nBytesR. Once the request has left, and between slices of the
// wait, the displays changed since the last frame are painted; no event is handled. In a polling pass the wait
// also ends, reading nothing, as soon as poll is found 0. The reply is good when nBytesR == expected.
ExchangeResult RequestReply(int expected, FlushFirst flush, bool pollingPass = false);

// "TIMEOUT" in DispStatus and the modal box titled "INFO".
void TimeoutReport();
// A complete parameter or data reply: if a time-out report is still shown, DispStatus shows again what the
// last port set-up left there (the identification), or nothing if that set-up found no sensor.
void ReplyArrived();
// What a port set-up leaves in DispStatus (the identification, or a port error); a time-out covers it only
// until a reply comes back whole.
void ShowStandingStatus(const char *text);
