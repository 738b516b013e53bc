// SPDX-License-Identifier: MIT
// The wait for a reply shared by every transaction, and the report of one that did not come.
#pragma once

// Waits for a reply of `expected` bytes after a request has been written, then reads what has arrived
// into szReadBuf: the wait ends at the first check that sees `expected` bytes or more, or once more than
// kReplyTimeout seconds have passed since tstart was set here. Sets tstart, tdiff and nBytesR.
// The reply is good when nBytesR == expected. After a reply that is not, the line is let settle: bytes that
// still come within 0.3 s of each other (for at most 1 s) are discarded, so that a late reply is never
// taken for the answer to the next request.
void AwaitReply(int expected);

// "TIMEOUT" in DispStatus and the modal box titled "INFO".
void TimeoutReport();
// A complete parameter or data reply: if a time-out report is still shown, DispStatus shows again what the
// last port set-up left there (the identification), or nothing if that set-up found no sensor.
void ReplyArrived();
// What a port set-up leaves in DispStatus (the identification, or a port error); a time-out covers it only
// until a reply comes back whole.
void ShowStandingStatus(const char *text);
