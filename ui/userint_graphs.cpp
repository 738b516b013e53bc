// SPDX-License-Identifier: MIT
// Graph services: plots, arcs, axes, the cursor, and strip-chart traces.
#include "ui/panelwidgets.h"
#include "ui/uistate.h"

#include <algorithm>
#include <vector>

using namespace uistate;

namespace {
std::vector<double> ToDoubles(const void *array, int n, int type)
{
    std::vector<double> out(static_cast<size_t>(std::max(0, n)));
    for (int i = 0; i < n; ++i)
        out[static_cast<size_t>(i)] =
            type == VAL_DOUBLE ? static_cast<const double *>(array)[i] : static_cast<const unsigned short *>(array)[i];
    return out;
}
} // namespace

int PlotXY(int panel, int control, const void *xArray, const void *yArray, int numberOfPoints, int xType, int yType,
           int plotStyle, int pointStyle, int lineStyle, int pointFrequency, int color)
{
    (void)lineStyle; // solid is the only one offered
    auto *g = qobject_cast<ColourPlaneGraph *>(Widget(panel, control));
    if (!g || numberOfPoints < 0)
        return -1;
    return g->plotXY(ToDoubles(xArray, numberOfPoints, xType), ToDoubles(yArray, numberOfPoints, yType), plotStyle,
                     pointStyle, pointFrequency, color);
}

int PlotArc(int panel, int control, double x1, double y1, double x2, double y2, int beginAngle, int arcLength,
            int lineColor, int fillColor)
{
    auto *g = qobject_cast<ColourPlaneGraph *>(Widget(panel, control));
    if (!g || beginAngle != 0 || arcLength != 3600)
        return -1;
    return g->plotArc(x1, y1, x2, y2, lineColor, fillColor);
}

int SetPlotAttribute(int panel, int control, int plotHandle, int attribute, const char *value)
{
    auto *g = qobject_cast<ColourPlaneGraph *>(Widget(panel, control));
    if (!g || attribute != ATTR_PLOT_LG_TEXT)
        return -1;
    return g->setArcLabel(plotHandle, TextFromProgram(value)) ? 0 : -1;
}

int DeleteGraphPlot(int panel, int control, int plotHandle, int refresh)
{
    auto *g = qobject_cast<ColourPlaneGraph *>(Widget(panel, control));
    if (!g)
        return -1;
    g->deletePlot(plotHandle);
    if (refresh == VAL_IMMEDIATE_DRAW)
        g->replotNow(); // or, for a graph out of sight, as soon as it is seen
    return 0;
}

int SetAxisScalingMode(int panel, int control, int axis, int mode, double min, double max)
{
    auto *g = qobject_cast<ScopePlot *>(Widget(panel, control));
    if (!g || mode != VAL_MANUAL)
        return -1;
    (axis == VAL_XAXIS ? g->xAxis : g->yAxis)->setRange(min, max);
    g->requestReplot();
    return 0;
}

int SetGraphCursor(int panel, int control, int cursor, double x, double y)
{
    auto *g = qobject_cast<ColourPlaneGraph *>(Widget(panel, control));
    if (!g || cursor != 1)
        return -1;
    g->setCursorPos(x, y);
    return 0;
}

int GetGraphCursor(int panel, int control, int cursor, double *x, double *y)
{
    auto *g = qobject_cast<ColourPlaneGraph *>(Widget(panel, control));
    if (!g || cursor != 1)
        return -1;
    *x = g->cursorPos().x();
    *y = g->cursorPos().y();
    return 0;
}

int PlotStripChart(int panel, int control, const void *array, int numberOfPoints, int startingIndex, int skipCount,
                   int dataType)
{
    auto *s = qobject_cast<StripChart *>(Widget(panel, control));
    if (!s || dataType != VAL_DOUBLE || numberOfPoints < 0 || startingIndex < 0 || skipCount != 0)
        return -1;
    s->append(static_cast<const double *>(array) + startingIndex, numberOfPoints);
    return 0;
}

int SetTraceAttribute(int panel, int control, int trace, int attribute, int value)
{
    auto *s = qobject_cast<StripChart *>(Widget(panel, control));
    if (!s || attribute != ATTR_TRACE_VISIBLE || trace < 1 || trace > s->traces())
        return -1;
    s->setTraceVisible(trace, value != 0);
    return 0;
}
