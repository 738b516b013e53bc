// SPDX-License-Identifier: MIT
// The reply wait and the time-out report, below both the port set-up and the transactions.
#include "link/reply.h"

#include "core/ScopeState.h"
#include "core/controls.h"
#include "core/helptexts.h"
#include "core/messages.h"
#include "link/com232.h"
#include "ui/rs232.h"
#include "ui/userint.h"
#include "ui/utility.h"

#include <algorithm>
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

namespace {

// A reply that missed its time may still be on its way; the next request would take it for its own.
// After a failed reply, whatever arrives until the line has been quiet for a while is discarded.
constexpr double kQuietSeconds = 0.3;
constexpr double kSettleAtMost = 1.0;

void SettleLine()
{
    const double end = Timer() + kSettleAtMost;
    for (;;) {
        FlushInQ(st.com);
        const double now = Timer();
        if (now >= end || GetInQLenWait(st.com, 1, std::min(end, now + kQuietSeconds)) <= 0)
            return;
    }
}

} // namespace

void AwaitReply(int expected)
{
    st.tstart = Timer();
    // The reply takes tens of milliseconds on the line: time to paint what the last measurement changed.
    DrawPendingDisplays();
    int n = 0;
    do {
        // Blocks in the serial layer until the bytes are there or the time is up, instead of spinning.
        n = GetInQLenWait(st.com, expected, st.tstart + kReplyTimeout + 0.001);
        st.tdiff = Timer() - st.tstart;
    } while (st.tdiff <= kReplyTimeout && n < expected);

    ReadReply(st.com, n);
    if (st.nBytesR != expected)
        SettleLine();
}
