// SPDX-License-Identifier: MIT
// Parameter and data transactions: one request frame each, replies recognised by their exact length.
#include "panel/transactions.h"

#include "core/ScopeState.h"
#include "core/controls.h"
#include "core/csvrecord.h"
#include "core/messages.h"
#include "core/product.h"
#include "display/display.h"
#include "files/parafile.h"
#include "link/com232.h"
#include "link/exchange.h"
#include "panel/reply.h"
#include "teach/graphs.h"
#include "teach/teach.h"
#include "io/fileio.h"
#include "io/rs232.h"
#include "ui/userint.h"
#include "io/utility.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace {

int FrameLength()
{
    return FrameBytes(st.anzpara);
}

std::string OnCom()
{
    return " on COM " + std::to_string(st.com);
}

// The polling rate is told about once a second: often enough to see it live, rarely enough to cost nothing.
constexpr double kRateInterval = 1.0;

// Why the recording stopped, if it did: the rate said each second must not wipe that news off the line.
std::string recordingStopped;

// Replies of a measurement's length whose words cannot be a measurement, since polling began. The displays show them
// as they come; the message line counts them, so a user sees that the line is not healthy.
unsigned long outOfRange = 0;

std::string OutOfRangeNote()
{
    if (outOfRange == 0)
        return {};
    return " \u00b7 " + std::to_string(outOfRange) + (outOfRange == 1 ? " reply" : " replies") + " out of range";
}

// What else the line says meanwhile (a teach, a recording that stopped) is news: the rate leaves it there at
// least this long, counted from the rate's first look at it.
constexpr double kNewsSeconds = 3.0;
std::string rateShown;  // the line as the polling loop last wrote it
double newsSeenAt = -1; // when the rate first found the line saying something else; -1: it says the rate

void NoteRateShown()
{
    char shown[256];
    GetCtrlVal(st.panel, MessageLine, shown);
    rateShown = shown;
    newsSeenAt = -1;
}

bool NewsShowing()
{
    char shown[256];
    GetCtrlVal(st.panel, MessageLine, shown);
    if (rateShown == shown)
        return false;
    if (newsSeenAt < 0)
        newsSeenAt = Timer();
    return Timer() - newsSeenAt < kNewsSeconds;
}

void SayPolling(double passesPerSecond)
{
    if (NewsShowing())
        return;
    char rate[48];
    std::snprintf(rate, sizeof rate, "Polling \u00b7 %.1f passes/s", passesPerSecond);
    std::string text = rate + OutOfRangeNote();
    if (st.record && st.recordPath)
        text += std::string(" \u00b7 recording to ") + st.recordPath;
    else if (!recordingStopped.empty())
        text += " \u00b7 " + recordingStopped;
    SayDone(text);
    NoteRateShown();
}

// With `inRange` false the reply is logged as a comment, never as a measurement line.
void RecordPass(bool inRange)
{
    if (!st.record)
        return;
    if (st.recordHeaderDue) {
        st.recordHeaderDue = false;
        const std::string port = "COM " + std::to_string(st.com) + " (" + ComDevicePath(st.com) + ")";
        st.record->Append(csvrec::Header(kProductTitle, port, st.standingStatus, st.pp));
    }
    const auto now = std::chrono::system_clock::now();
    st.record->Append(inRange ? csvrec::MeasurementLine(now, st.databuf)
                              : "# " + csvrec::Timestamp(now) + " " + OutOfRangeText(st.databuf) + "; " +
                                    std::to_string(outOfRange) + " so far\n");
    if (st.record->Error().empty())
        return;
    // Said once, where the user looks, without a box that would hold the polling: the measurement goes on,
    // the recording does not, and the file keeps only whole lines.
    recordingStopped = "Recording stopped: " + st.record->Path() + ": " + st.record->Error();
    SayDone(recordingStopped);
    std::fprintf(stderr, "%s: %s\n", kPanelProgram, recordingStopped.c_str());
    st.record->Close();
    st.record = nullptr;
}

// New values on the panel; the zoomed circles, if they are seen, follow the table at once.
void ShowOnPanel()
{
    SetPanelValues();
    RedrawZoomedCircles();
}

// The panel is the master copy of the parameters and the teach table; a file transfer goes through it too.
constexpr PanelValues kPanelValues{GetPanelValues, ShowOnPanel};

} // namespace

void GuardInterval()
{
    st.tdiff = GuardSince(st.transbeg, st.waitdel);
}

void SendPara()
{
    st.poll = 0;
    if (st.target == RAM) {
        st.order = kOrderWriteRam;
        st.transbeg = Timer();
        st.waitdel = kGuardRam;
    } else {
        st.order = kOrderWriteEeprom;
        st.transbeg = Timer();
        st.waitdel = kGuardEeprom;
    }
    GetPanelValues();
    CopyVarsToPP();
    FillTxBuf(static_cast<uint8_t>(st.order));
    const int written = RequestReply(0, FlushFirst::No).written;
    st.nBytesW = static_cast<uint16_t>(written > 0 ? written : 0);
    if (st.nBytesW != FrameLength())
        TimeoutReport(("Could not send to " + std::string(MemoryName(MemoryOf(st.order))) + OnCom()).c_str());
    else
        SayDone("Sent " + std::to_string(st.anzpara) + " words to " + MemoryName(MemoryOf(st.order)) + OnCom());
}

void GetPara()
{
    st.poll = 0;
    // With the FILE target selected (a reconnect ends here whatever the target) the sensor's working
    // parameters are read, so the panel always shows what the sensor runs with.
    st.order = st.target == EEPROM ? kOrderReadEeprom : kOrderReadRam;
    st.transbeg = Timer();
    st.waitdel = kGuardRam;
    FillTxBuf(static_cast<uint8_t>(st.order));
    RequestReply(ReplyBytes(st.anzpara), FlushFirst::Yes);
    if (st.nBytesR == ReplyBytes(st.anzpara)) {
        GetRxBufPara();
        CopyPPtoVars();
        ShowOnPanel();
        SayDone("Read " + std::to_string(st.anzpara) + " words from " + MemoryName(MemoryOf(st.order)) + OnCom());
    } else {
        TimeoutReport();
    }
}

void GetData()
{
    st.order = kOrderReadData;
    st.poll = 1;
    st.polling = true;
    SayDone("Polling" + OnCom());
    outOfRange = 0;
    NoteRateShown();
    double rateSince = Timer();
    unsigned long passesSince = st.goodPasses;
    // Every pass waits for the same reply length and paints in its wait: set up once for the loop, not per pass.
    // The port is the one the loop starts on; a port change or a close during the loop leaves nothing to undo.
    const int com = st.com;
    ComHoldWake(com, ReplyBytes(st.anzdata));
    BeginDrawingInWaits();
    while (st.poll == 1) {
        FillTxBuf(static_cast<uint8_t>(st.order));
        if (RequestReply(ReplyBytes(st.anzdata), FlushFirst::Yes, true).abandoned)
            break;
        if (st.nBytesR == ReplyBytes(st.anzdata)) {
            GetRxBufData();
            CopyDatatoVars();
            const bool inRange = MeasurementInRange(st.databuf);
            if (!inRange && ++outOfRange == 1)
                SayDone("Polling" + OnCom() + OutOfRangeNote());
            RecordPass(inRange);
            SetPanelData();
            ShowGraph();
            ++st.goodPasses;
            if (const double now = Timer(); now - rateSince >= kRateInterval) {
                SayPolling(double(st.goodPasses - passesSince) / (now - rateSince));
                rateSince = now;
                passesSince = st.goodPasses;
            }
        } else {
            TimeoutReport();
            st.poll = 0;
        }
        ProcessSystemEvents();
    }
    EndDrawingInWaits();
    ComReleaseWake(com);
    st.polling = false;
}

void ButtonSendAction()
{
    GuardInterval();
    if (st.target == DATFILE)
        SendParaToFile(kPanelValues);
    else
        SendPara();
}

void ButtonGetAction()
{
    GuardInterval();
    if (st.target == DATFILE)
        ReadParaFromFile(kPanelValues);
    else
        GetPara();
}

void ButtonGoAction()
{
    GuardInterval();
    DrawDiagonalAlone(GraphData1);
    if (st.polling) {
        // Pressed again while the loop runs (a held F11 repeats): a loop inside the loop would nest
        // without bound. The running loop simply carries on, as a fresh one would.
        st.order = kOrderReadData;
        st.poll = 1;
        return;
    }
    GetData();
}

void ButtonStopAction()
{
    st.poll = 0;
    SayDone("Stopped" + OutOfRangeNote());
}
