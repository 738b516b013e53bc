// SPDX-License-Identifier: MIT
// Port set-up and identification of the sensor; a good identification ends by fetching the parameters.
#include "panel/port.h"

#include "core/ScopeState.h"
#include "core/controls.h"
#include "link/com232.h"
#include "link/exchange.h"
#include "panel/reply.h"
#include "panel/transactions.h"
#include "io/rs232.h"
#include "ui/userint.h"
#include "io/utility.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

const char *PortErrorText(int code)
{
    switch (code) {
    case kComErrSystem: return "Unknown system error";
    case kComErrBadPort: return "Invalid port number";
    case kComErrNotOpen: return "Port is not open";
    case kComErrIO: return "Unknown I/0 error";
    case kComErrNoPorts: return "No serial port found";
    case kComErrCannotOpen: return "Cannot open port";
    case kComErrTimeout: return "Timeout";
    default: return "RS-232 error!";
    }
}

void InitRS232(int port)
{
    st.poll = 0;
    st.standingStatus[0] = '\0';
    // Opened and, when that worked, prepared: time-out, both queues emptied, no handshake.
    st.ret = static_cast<int16_t>(OpenLine(port, ""));

    int resolveError = 0;
    const std::string device = st.ret >= 0 ? ComDevicePath(port) : ComDeviceFor(port, &resolveError);
    std::string tip = "COM " + std::to_string(port) + ": " + (device.empty() ? "no device" : device);
    // Debian and most Linux systems give serial devices to a group; saying which one tells the user the cure.
    if (std::string group; st.ret == kComErrCannotOpen && ComOpenDenied(port, &group))
        tip +=
            ": permission denied" + (group.empty() ? std::string() : " — members of group " + group + " may open it");
    // A network address that could not be reached says why in words ("connection refused"), as the command line does.
    const std::string why = st.ret < 0 ? ComOpenError(port) : std::string();
    if (!why.empty())
        tip += ": " + why;
    SetCtrlAttribute(st.panel, EditConnect, ATTR_TOOLTIP_TEXT, tip.c_str());

    if (st.ret < 0) {
        std::snprintf(st.szStatus, sizeof st.szStatus, "%s", PortErrorText(st.ret));
        ShowStandingStatus(st.szStatus);
        SayDone("Could not open COM " + std::to_string(port) + ": " + st.szStatus + (why.empty() ? "" : ": " + why));
        return;
    }
    CheckComLine();
}

void CheckComLine()
{
    st.order = kOrderIdent;
    FillTxBuf(static_cast<uint8_t>(st.order));
    // No flush: the port set-up has just emptied both queues.
    RequestReply(kIdentReplyBytes, FlushFirst::No);

    if (st.nBytesR != kIdentReplyBytes) {
        TimeoutReport();
        return;
    }
    char ident[kIdentChars + 1];
    GetRxBufIdent(ident);
    ShowStandingStatus(ident);
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
