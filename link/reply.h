// SPDX-License-Identifier: MIT
// The wait for a reply shared by every transaction, and the report of one that did not come.
#pragma once

#include <string>

// Waits for a reply of `expected` bytes after a request has been written, then reads what has arrived
// into szReadBuf: the wait ends at the first check that sees `expected` bytes or more, or once more than
// kReplyTimeout seconds have passed since tstart was set here. Sets tstart, tdiff and nBytesR.
// The reply is good when nBytesR == expected. After a reply that is not, the line is let settle: bytes that
// still come within 0.3 s of each other (for at most 1 s) are discarded, so that a late reply is never
// taken for the answer to the next request.
void AwaitReply(int expected);

// "TIMEOUT" in DispStatus, what went wrong on the message line, then the modal box titled "INFO". The
// message line says a reply did not come, unless the caller names another failure.
void TimeoutReport(const char *whatFailed = nullptr);
// What a port set-up leaves in DispStatus (the identification, or a port error). A time-out report replaces
// it until the next port set-up, whatever succeeds in between.
void ShowStandingStatus(const char *text);

// The message line below the panel: what the last action did, time-stamped. Never blocks.
void SayDone(const std::string &text);
