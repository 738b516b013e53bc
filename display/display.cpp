// SPDX-License-Identifier: MIT
// Live values and the signal history, written once per poll.
#include "display/display.h"

#include "core/ScopeState.h"
#include "core/controls.h"
#include "ui/userint.h"

#include <algorithm>
#include <cstring>

int32_t Copy1D(const double *input, int32_t count, double *output)
{
    if (count < 1)
        return kArrayCountTooSmall;
    std::memmove(output, input, sizeof(double) * static_cast<size_t>(count));
    return kArrayOk;
}

int32_t Shift(const double *input, int32_t count, int32_t shift, double *output)
{
    if (count < 1)
        return kArrayCountTooSmall;
    const int32_t s = shift < 0 ? -shift : shift;
    if (s >= count)
        return kArrayShiftTooLarge;
    if (shift == 0)
        return Copy1D(input, count, output);
    const size_t kept = sizeof(double) * static_cast<size_t>(count - s);
    // memmove copies as the descending (or ascending) element loop would, so input may be output.
    if (shift > 0) {
        std::memmove(output + s, input, kept);
        std::fill(output, output + s, 0.0);
    } else {
        std::memmove(output, input + s, kept);
        std::fill(output + (count - s), output + count, 0.0);
    }
    return kArrayOk;
}

void SetPanelData()
{
    SetCtrlVal(st.panel, LedCol1, st.dataCOL == 1 || st.dataCOL == 3 ? 1 : 0);
    SetCtrlVal(st.panel, LedCol2, st.dataCOL == 2 || st.dataCOL == 3 ? 1 : 0);

    SetCtrlVal(st.panel, DispRED, st.dataR);
    SetCtrlVal(st.panel, DispGREEN, st.dataG);
    SetCtrlVal(st.panel, DispBLUE, st.dataB);
    SetCtrlVal(st.panel, DispX, st.dataX);
    SetCtrlVal(st.panel, DispY, st.dataY);
    SetCtrlVal(st.panel, DispINT, st.dataINT);

    switch (st.source) {
    case kSourceRed: SetCtrlVal(st.panel, DispRAW, st.dataR); break;
    case kSourceGreen: SetCtrlVal(st.panel, DispRAW, st.dataG); break;
    case kSourceBlue: SetCtrlVal(st.panel, DispRAW, st.dataB); break;
    default: break;
    }

    // The INT window of the teach row chosen in EditNo, read from the table itself so edits show at once.
    // Worked out in 32 bits: INT and tolerance near the top of their range must not wrap to a negative limit.
    int32_t winHigh = 0, winLow = 0;
    if (st.source == kSourceInt) {
        uint16_t no = 0, intensity = 0, tolerance = 0;
        GetCtrlVal(st.panel, EditNo, &no);
        GetTableCellVal(st.panel, TeachTable, MakePoint(4, no + 1), &intensity);
        GetTableCellVal(st.panel, TeachTable, MakePoint(5, no + 1), &tolerance);
        winHigh = std::clamp<int32_t>(int32_t(intensity) + tolerance, 0, kFullScale);
        winLow = std::clamp<int32_t>(int32_t(intensity) - tolerance, 0, kFullScale);
    }

    Shift(st.alldata, kHistory, -kSampleValues, st.alldata);
    double *sample = st.alldata + kHistory - kSampleValues;
    sample[0] = st.dataR;
    sample[1] = st.dataG;
    sample[2] = st.dataB;
    sample[3] = st.dataINT;
    sample[4] = st.dataCOL;
    sample[5] = winHigh;
    sample[6] = winLow;
}

void ShowGraph()
{
    if (st.source == kSourcePlane) {
        SetGraphCursor(st.panel, GraphData1, 1, st.dataX, st.dataY);
        return;
    }
    SetCtrlAttribute(st.panel, GraphRaw1, ATTR_POINTS_PER_SCREEN, kStripPointsPerScreen);
    PlotStripChart(st.panel, GraphRaw1, st.alldata, kHistory, 0, 0, VAL_DOUBLE);
}

namespace {

void Show(std::initializer_list<int> controls, int visible)
{
    for (int c : controls)
        SetCtrlAttribute(st.panel, c, ATTR_VISIBLE, visible);
}

} // namespace

void DispVis()
{
    GetCtrlVal(st.panel, SelectSource, &st.source);
    if (st.source >= kSourceCount)
        return;

    struct RawColours {
        int background, text;
    };
    static const RawColours kRaw[3] = {{0xFF0000, 0xFFFFFF}, {0x00FF00, 0x000000}, {0x0000FF, 0xFFFFFF}};
    // Traces 1..7 (one per value of a sample): RED, GREEN, BLUE, INT, colour number, window high, window low.
    static const int kTraces[kSourceCount][kSampleValues] = {
        {},
        {1, 1, 1, 0, 0, 0, 0},
        {1, 0, 0, 0, 0, 0, 0},
        {0, 1, 0, 0, 0, 0, 0},
        {0, 0, 1, 0, 0, 0, 0},
        {0, 0, 0, 1, 0, 1, 1},
        {0, 0, 0, 0, 1, 0, 0},
    };

    switch (st.source) {
    case kSourcePlane:
        Show({DispRAW, CaptionRAW, GraphRaw1}, 0);
        Show({GraphData1, DispX, CaptionX, DispY, CaptionY, DispINT, CaptionINT}, 1);
        return; // the strip chart is hidden, its traces stay as they are
    case kSourceRed:
    case kSourceGreen:
    case kSourceBlue: {
        Show({DispX, CaptionX, DispY, CaptionY, DispINT, CaptionINT, GraphData1}, 0);
        const RawColours &c = kRaw[st.source - kSourceRed];
        SetCtrlAttribute(st.panel, DispRAW, ATTR_TEXT_BGCOLOR, c.background);
        SetCtrlAttribute(st.panel, DispRAW, ATTR_TEXT_COLOR, c.text);
        Show({DispRAW, CaptionRAW, GraphRaw1}, 1);
        break;
    }
    default: // RGB, INT, colour number
        Show({DispRAW, CaptionRAW, GraphData1}, 0);
        Show({GraphRaw1, DispX, CaptionX, DispY, CaptionY, DispINT, CaptionINT}, 1);
        break;
    }
    for (int t = 1; t <= kSampleValues; ++t)
        SetTraceAttribute(st.panel, GraphRaw1, t, ATTR_TRACE_VISIBLE, kTraces[st.source][t - 1]);
}
