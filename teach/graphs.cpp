// SPDX-License-Identifier: MIT
// The colour plane with the taught colours' tolerance circles, on the overview and the zoom graph.
#include "teach/graphs.h"

#include "core/ScopeState.h"
#include "core/controls.h"
#include "core/messages.h"
#include "teach/teach.h"
#include "ui/userint.h"

#include <algorithm>
#include <cstdint>
#include <string>

const double sicolarr[16] = {
    0x0000FF, 0xFF0000, 0x000000, 0xFF80C0, 0x008000, 0xFFFF00, 0x808000, 0x800080,
    0x80FFFF, 0xFF0080, 0x400080, 0xFF00FF, 0x80FF00, 0x408080, 0x800000, 0xFFFFFF,
};

namespace {

constexpr int kDiagonalColour = 0xA0A0A0;
constexpr int kFullCircle = 3600; // tenths of a degree
// The second and third circle are offset by a fraction of a unit; the third's far corner by a tenth of that.
constexpr double kSecondOffset = 0.025;
constexpr double kThirdNearOffset = 0.05;
constexpr double kThirdFarOffset = 0.005;
// ButtonZoom shows the whole plane as 0..4096: one unit past the last coordinate, as many units as the plane has.
constexpr double kWholePlaneZoom = kRampPoints;

// The message line: what the last action did, time-stamped.
void Say(const std::string &text)
{
    SetCtrlVal(st.panel, MessageLine, Stamped(text).c_str());
}

// "No. 0 at X 1800, Y 1500, CTO 120; No. 1 at ...": the taught colours as the drawing shows them.
std::string Circles()
{
    std::string text;
    for (int r = 0; r < kTeachRows; ++r)
        text += (r ? "; No. " : "No. ") + std::to_string(r) + " at X " + std::to_string(st.ctt[r][0]) + ", Y " +
                std::to_string(st.ctt[r][1]) + ", CTO " + std::to_string(st.ctt[r][2]);
    return text;
}

// A drawing the user starts ends live data, after the current pass, and shows what the panel holds.
void TakePanel()
{
    st.poll = 0;
    GetPanelValues();
}

bool PollingRuns()
{
    return st.polling && st.poll == 1;
}

} // namespace

void DrawColourPlane(int graph, ConstTeachRows table)
{
    DrawDiagonalAlone(graph);
    for (int r = 0; r < kTeachRows; ++r) {
        // Signed: a circle near the origin reaches below 0.
        const int32_t x = table[r][0], y = table[r][1], c = table[r][2];
        const double x1 = x - c, x2 = x + c, y1 = y - c, y2 = y + c;
        const int colour = static_cast<int>(sicolarr[r]);
        const int circle = PlotArc(st.panel, graph, x1, y1, x2, y2, 0, kFullCircle, colour, VAL_TRANSPARENT);
        // The circle says which taught colour it is, in the numbering of the No.: field.
        SetPlotAttribute(st.panel, graph, circle, ATTR_PLOT_LG_TEXT, std::to_string(r).c_str());
        PlotArc(st.panel, graph, x1 + kSecondOffset, y1 + kSecondOffset, x2 + kSecondOffset, y2 + kSecondOffset, 0,
                kFullCircle, colour, VAL_TRANSPARENT);
        PlotArc(st.panel, graph, x1 + kThirdNearOffset, y1 + kThirdNearOffset, x2 + kThirdFarOffset,
                y2 + kThirdFarOffset, 0, kFullCircle, colour, VAL_TRANSPARENT);
    }
}

void DrawDiagonalAlone(int graph)
{
    DeleteGraphPlot(st.panel, graph, -1, VAL_IMMEDIATE_DRAW);
    PlotXY(st.panel, graph, st.xramp, st.yramp, kRampPoints, VAL_UNSIGNED_SHORT_INTEGER, VAL_UNSIGNED_SHORT_INTEGER,
           VAL_THICK_LINE, VAL_SOLID_CIRCLE, VAL_SOLID, 1, kDiagonalColour);
}

void ApplyFromAll()
{
    TakePanel();
    DrawColourPlane(GraphData1, st.ctt);
}

void ShowGraphData2()
{
    TakePanel();
    DrawColourPlane(GraphData2, st.ctt);
}

void ZoomGraphData2()
{
    ShowGraphData2();
    double cx = 0, cy = 0;
    GetGraphCursor(st.panel, GraphData2, 1, &cx, &cy);
    cx = std::clamp(cx, kZoomCentreMin, kZoomCentreMax);
    cy = std::clamp(cy, kZoomCentreMin, kZoomCentreMax);
    SetAxisScalingMode(st.panel, GraphData2, VAL_XAXIS, VAL_MANUAL, cx - kZoomHalf, cx + kZoomHalf);
    SetAxisScalingMode(st.panel, GraphData2, VAL_LEFT_YAXIS, VAL_MANUAL, cy - kZoomHalf, cy + kZoomHalf);
    SetGraphCursor(st.panel, GraphData2, 1, cx, cy); // raises no event, so this does not start again
}

void ApplyFromAllAction()
{
    const bool stopping = PollingRuns();
    SetCtrlAttribute(st.panel, GraphData2, ATTR_ZPLANE_POSITION, kZBehind);
    SetCtrlAttribute(st.panel, GraphData1, ATTR_ZPLANE_POSITION, kZFront);
    ApplyFromAll();
    Say(StoppedFirst(stopping, "Colour plane: " + Circles()));
}

void ZoomAction()
{
    const bool stopping = PollingRuns();
    SetAxisScalingMode(st.panel, GraphData2, VAL_XAXIS, VAL_MANUAL, 0, kWholePlaneZoom);
    SetAxisScalingMode(st.panel, GraphData2, VAL_LEFT_YAXIS, VAL_MANUAL, 0, kWholePlaneZoom);
    SetCtrlAttribute(st.panel, GraphData2, ATTR_ZPLANE_POSITION, kZFront);
    ShowGraphData2();
    // The arrows pan at once, without a mouse.
    SetActiveCtrl(st.panel, GraphData2);
    Say(StoppedFirst(stopping,
                     "Zoom: arrow keys or the mouse move the cross, Escape or a right click returns to the overview"));
}

void ZoomGraphBehind()
{
    SetCtrlAttribute(st.panel, GraphData2, ATTR_ZPLANE_POSITION, kZBehind);
}

void RedrawZoomedCircles()
{
    int z = kZBehind;
    GetCtrlAttribute(st.panel, GraphData2, ATTR_ZPLANE_POSITION, &z);
    if (z != kZFront)
        return;
    GetPanelValues();
    DrawColourPlane(GraphData2, st.ctt);
}
