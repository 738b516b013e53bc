// SPDX-License-Identifier: MIT
// The panel's request and reply wait and the time-out report, below both the port set-up and the transactions.
#include "panel/reply.h"

#include "core/ScopeState.h"
#include "core/controls.h"
#include "core/helptexts.h"
#include "core/messages.h"
#include "link/com232.h"
#include "io/rs232.h"
#include "ui/userint.h"

#include <cstdio>

void ShowStandingStatus(const char *text)
{
    std::snprintf(st.standingStatus, sizeof st.standingStatus, "%s", text);
    SetCtrlVal(st.panel, DispStatus, text);
}

void SayDone(const std::string &text)
{
    SetCtrlVal(st.panel, MessageLine, Stamped(text).c_str());
}

void TimeoutReport(const char *whatFailed)
{
    SetCtrlVal(st.panel, DispStatus, "TIMEOUT");
    if (whatFailed) {
        SayDone(whatFailed);
    } else {
        char text[64];
        std::snprintf(text, sizeof text, "No reply within %.1f s on COM %d", kReplyTimeout, int(st.com));
        SayDone(text);
    }
    MessagePopup("INFO", InfoTimeout);
}

ExchangeResult RequestReply(int expected, FlushFirst flush, bool pollingPass)
{
    const ExchangeLine line{st.com, st.szWriteBuf, st.szReadBuf, kReplyTimeout, kSensorsTurn};
    // The window goes on meanwhile (paints, timers, a screen reader's questions); the user's input and every
    // callback wait for the end of the exchange, so nothing can start another one on this line.
    BeginServedWait();
    ComServeEventsInWaits(true);
    // The reply takes tens of milliseconds on the line: time to paint what the last measurement changed.
    const ExchangeResult r = Exchange(line, FrameBytes(st.anzpara), expected, flush, [pollingPass] {
        if (pollingPass && st.poll == 0)
            return false;
        DrawPendingDisplays();
        return true;
    });
    ComServeEventsInWaits(false);
    EndServedWait();
    st.tstart = r.tstart;
    st.tdiff = r.tdiff;
    if (expected > 0 && !r.abandoned)
        st.nBytesR = static_cast<uint16_t>(r.received);
    return r;
}
