// SPDX-License-Identifier: MIT
// Port set-up, identification of the sensor, the reply wait shared by every transaction, the time-out report.
#include "link/com232.h"

#include "app/ScopeState.h"
#include "app/helptexts.h"
#include "link/transactions.h"
#include "ui/controls.h"
#include "ui/rs232.h"
#include "ui/userint.h"
#include "ui/utility.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

const char *PortErrorText(int code)
{
    switch (code) {
    case -1: return "Unknown system error";
    case -2: return "Invalid port number";
    case -3: return "Port is not open";
    case -4: return "Unknown I/0 error";
    case -6: return "No serial port found";
    case -7: return "Cannot open port";
    case -99: return "Timeout";
    default: return "RS-232 error!";
    }
}

namespace {

// What the last port set-up left in DispStatus (the identification, or a port error). A time-out covers
// it only until a reply comes back whole; empty when the set-up never identified the sensor.
std::string standingStatus;
bool timeoutShown = false;

void SetStandingStatus(const char *text)
{
    standingStatus = text;
    timeoutShown = false;
    SetCtrlVal(st.panel, DispStatus, text);
}

} // namespace

void TimeoutReport()
{
    timeoutShown = true;
    SetCtrlVal(st.panel, DispStatus, "TIMEOUT");
    MessagePopup("INFO", InfoTimeout);
}

void ReplyArrived()
{
    if (!timeoutShown)
        return;
    timeoutShown = false;
    SetCtrlVal(st.panel, DispStatus, standingStatus.c_str());
}

bool AwaitReply(int expected, bool stopOnPollCleared)
{
    st.tstart = Timer();
    // The reply takes tens of milliseconds on the line: time to paint what the last measurement changed.
    DrawPendingDisplays();
    int n = 0;
    do {
        // Blocks in the serial layer until the bytes are there or the time is up, instead of spinning.
        n = GetInQLenWait(st.com, expected, st.tstart + kReplyTimeout + 0.001);
        if (stopOnPollCleared && st.poll == 0)
            return false;
        st.tdiff = Timer() - st.tstart;
    } while (st.tdiff <= kReplyTimeout && n < expected);

    // The queue never reports more than szReadBuf holds; the clamp keeps that true whatever the layer says.
    const int want = std::clamp(n, 0, kBufSize);
    const int got = want > 0 ? ComRd(st.com, st.szReadBuf, want) : 0;
    st.nBytesR = static_cast<uint16_t>(got > 0 ? got : 0);
    return true;
}

void InitRS232(int port)
{
    st.poll = 0;
    standingStatus.clear();
    timeoutShown = false;
    st.ret = static_cast<int16_t>(OpenComConfig(port, "", 19200, kParityNone, 8, 1, kBufSize, kBufSize));

    int resolveError = 0;
    const std::string device = st.ret >= 0 ? ComDevicePath(port) : ComDeviceFor(port, &resolveError);
    const std::string tip = "COM " + std::to_string(port) + ": " + (device.empty() ? "no device" : device);
    SetCtrlAttribute(st.panel, EditConnect, ATTR_TOOLTIP_TEXT, tip.c_str());

    if (st.ret < 0) {
        std::snprintf(st.szStatus, sizeof st.szStatus, "%s", PortErrorText(st.ret));
        SetStandingStatus(st.szStatus);
        return;
    }
    SetComTime(port, 2.0);
    FlushInQ(port);
    FlushOutQ(port);
    SetCTSMode(port, kCtsOff);
    CheckComLine();
}

void CheckComLine()
{
    st.order = kOrderIdent;
    FillTxBuf(static_cast<uint8_t>(st.order));
    ComWrt(st.com, st.szWriteBuf, 2 * st.anzpara + 4);
    AwaitReply(kIdentReplyBytes, false);

    if (st.nBytesR != kIdentReplyBytes) {
        TimeoutReport();
        return;
    }
    char ident[kIdentChars + 1];
    for (int i = 0; i < kIdentChars; ++i)
        ident[i] = static_cast<char>(st.szReadBuf[2 * i + 1]);
    ident[kIdentChars] = '\0';
    SetStandingStatus(ident);
    GetPara();
}

void ReconnectComPort()
{
    st.poll = 0;
    CloseCom(st.com);
    GetCtrlVal(st.panel, EditConnect, &st.com);
    SetCtrlVal(st.panel, DispStatus, "Init COM-Port ...");
    InitRS232(st.com);
}
