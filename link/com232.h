// SPDX-License-Identifier: MIT
// The sensor link: request frames and replies, port set-up and identification, and the shared reply wait.
#pragma once

#include <cstdint>

// Order codes of request frames.
enum : uint16_t {
    kOrderWriteRam = 1,
    kOrderWriteEeprom = 2,
    kOrderReadRam = 3,
    kOrderReadEeprom = 4,
    kOrderReadData = 5,
    kOrderIdent = 7,
};

inline constexpr int kIdentReplyBytes = 96; // 48 characters at the odd bytes
inline constexpr int kIdentChars = 48;
inline constexpr double kReplyTimeout = 2.0;

// Frames: all work on the state record in place. A frame is 4 + 2 * anzpara bytes of szWriteBuf:
// sync word, order code, then pp, every word big-endian.
void FillTxBuf(uint8_t order);
void GetRxBufPara();   // first 2 * anzpara bytes of szReadBuf -> pp
void GetRxBufData();   // first 2 * anzdata bytes of szReadBuf -> databuf
void CopyVarsToPP();   // parameter variables and ctt -> pp words 0-5 and 15-24; words 6-14 untouched
void CopyPPtoVars();   // the reverse
void CopyDatatoVars(); // databuf -> dataR ... dataCOL

// Opens COM `port` with the link's settings and identifies the sensor; failures go to DispStatus.
void InitRS232(int port);
// Asks the sensor on COM com for its identification and shows it; a missing reply is reported.
void CheckComLine();
// Commit action of EditConnect: stop polling, close the port in use, connect to the number entered.
void ReconnectComPort();

// Waits for a reply of `expected` bytes after a request has been written, then reads what has arrived
// into szReadBuf: the wait ends at the first check that sees `expected` bytes or more, or once more than
// 2.0 s have passed since tstart was set here. Sets tstart, tdiff and nBytesR. Returns false without
// reading when stopOnPollCleared is set and poll is found 0. The reply is good when nBytesR == expected.
bool AwaitReply(int expected, bool stopOnPollCleared);

// "TIMEOUT" in DispStatus and the modal box titled "INFO".
void TimeoutReport();
// A complete parameter or data reply: if a time-out report is still shown, DispStatus shows again what the
// last port set-up left there (the identification), or nothing if that set-up found no sensor.
void ReplyArrived();

// Text shown in DispStatus for a negative port-opening result.
const char *PortErrorText(int code);
