// SPDX-License-Identifier: MIT
// The strip chart: interleaved traces scrolling at the right-hand edge.
#include "ui/panelwidgets.h"

#include "ui/livelayer.h"

#include <algorithm>

namespace {
// Trace pens are at most this wide; the area a new sample repaints reaches that far beyond the axis rect.
constexpr int kTracePad = 2;
} // namespace

StripChart::StripChart(QWidget *parent) : ScopePlot(parent)
{
    // The traces live on the live layer: a new sample repaints them over the grid and under the axes,
    // without redrawing axes, grid and labels, unless the value axis has to change.
    xAxis->setTicks(false);
    xAxis->setTickLabels(false);
    setTraces(1);
    setPointsPerScreen(100);
}

void StripChart::setTraces(int n)
{
    data_.assign(static_cast<size_t>(std::max(1, n)), Ring{});
    nextTrace_ = 0;
    setPointsPerScreen(pointsPerScreen_);
    rebuildGraphs();
}

void StripChart::setTraceColors(const QString &colours)
{
    traceColors_ = colours;
    rebuildGraphs();
}

void StripChart::setDashedTraces(const QString &traces)
{
    dashedTraces_ = traces;
    rebuildGraphs();
}

void StripChart::setPointsPerScreen(int n)
{
    // Keep the newest values that still fit.
    const int pps = std::max(2, n);
    for (Ring &r : data_) {
        std::vector<double> keep;
        for (int i = std::max(0, r.count - pps); i < r.count; ++i)
            keep.push_back(r.at(i));
        r.v.assign(static_cast<size_t>(pps), 0.0);
        std::copy(keep.begin(), keep.end(), r.v.begin());
        r.start = 0;
        r.count = static_cast<int>(keep.size());
        r.same = 0; // counted again from the next value on
    }
    pointsPerScreen_ = pps;
    xAxis->setRange(0, pointsPerScreen_ - 1);
    requestReplot();
    tracesChanged();
}

void StripChart::rebuildGraphs()
{
    clearGraphs();
    const QStringList colours = traceColors_.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QStringList dashed = dashedTraces_.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (size_t t = 0; t < data_.size(); ++t) {
        auto *g = new LiveGraph(xAxis, yAxis);
        const QColor colour = t < size_t(colours.size()) ? QColor(colours[int(t)]) : QColor(Qt::black);
        // Dashed traces are thin guides (limits, windows) drawn over the signals without hiding them.
        const bool dash = dashed.contains(QString::number(t + 1));
        g->setPen(QPen(colour, dash ? 1 : 2, dash ? Qt::DashLine : Qt::SolidLine));
        g->setAdaptiveSampling(false);
        g->setLayer(liveLayer());
        g->setAntialiased(false);
    }
    tracesChanged();
}

void StripChart::append(const double *values, int count)
{
    const int traces = static_cast<int>(data_.size());
    bool changed = false;
    for (int i = 0; i < count; ++i) {
        Ring &r = data_[static_cast<size_t>(nextTrace_)];
        const int cap = static_cast<int>(r.v.size());
        const bool repeat = r.count > 0 && values[i] == r.at(r.count - 1);
        r.same = repeat ? std::min(r.same + 1, cap) : 1;
        // A full screen of one value scrolls into the very same picture: nothing to paint.
        changed = changed || r.count < cap || r.same < cap;
        if (r.count < cap) {
            r.v[static_cast<size_t>((r.start + r.count) % cap)] = values[i];
            ++r.count;
        } else {
            r.v[static_cast<size_t>(r.start)] = values[i];
            r.start = (r.start + 1) % cap;
        }
        nextTrace_ = (nextTrace_ + 1) % traces;
    }
    if (changed)
        tracesChanged();
}

void StripChart::tracesChanged()
{
    tracesStale_ = true;
    FrameGate::Defer(this, kLiveSlot, [this] { syncTraces(); });
}

void StripChart::syncTraces()
{
    if (!tracesStale_)
        return;
    if (!canBeSeen()) {
        replotNow(); // owed until the chart is seen; beforeOwedReplot catches up then
        return;
    }
    tracesStale_ = false;
    pushToGraphs();
    if (rescaleY() || replotOwed())
        replotNow();
    else
        update(axisRect()->rect().adjusted(-kTracePad, -kTracePad, kTracePad, kTracePad));
}

void StripChart::beforeOwedReplot()
{
    if (!tracesStale_)
        return;
    tracesStale_ = false;
    pushToGraphs();
    rescaleY();
}

void StripChart::drawLive(QCPPainter *painter, const QRect &area)
{
    for (int t = 0; t < graphCount(); ++t)
        static_cast<LiveGraph *>(graph(t))->drawOnto(painter, area);
}

void StripChart::pushToGraphs()
{
    for (int t = 0; t < graphCount() && t < static_cast<int>(data_.size()); ++t) {
        const Ring &r = data_[static_cast<size_t>(t)];
        QSharedPointer<QCPGraphDataContainer> d = graph(t)->data();
        // The newest value sits at the right-hand edge, as on a paper strip.
        const double firstKey = pointsPerScreen_ - r.count;
        if (d->size() != r.count) {
            QVector<QCPGraphData> points(r.count);
            for (int i = 0; i < r.count; ++i)
                points[i] = QCPGraphData(firstKey + i, r.at(i));
            d->set(points, true);
            continue;
        }
        // Once the screen is full the keys stay put: only the values move, without allocating.
        int i = 0;
        for (auto it = d->begin(); it != d->end(); ++it, ++i) {
            it->key = firstKey + i;
            it->value = r.at(i);
        }
    }
}

bool StripChart::rescaleY()
{
    // Small signals would be a flat line on a fixed full scale: the axis follows the visible traces, in
    // steps, so it does not jitter with the noise.
    double top = 0;
    for (int t = 0; t < graphCount() && t < static_cast<int>(data_.size()); ++t) {
        if (!graph(t)->visible())
            continue;
        const Ring &r = data_[static_cast<size_t>(t)];
        for (int i = 0; i < r.count; ++i)
            top = std::max(top, r.at(i));
    }
    double upper = 4;
    while (upper < top * 1.05 && upper < 65536)
        upper *= 2;
    const double current = yAxis->range().upper;
    if (upper > current || upper < current / 2 || yAxis->range().lower != 0) {
        yAxis->setRange(0, upper);
        return true;
    }
    return false;
}

void StripChart::setTraceVisible(int trace, bool on)
{
    if (trace >= 1 && trace <= graphCount()) {
        graph(trace - 1)->setVisible(on);
        tracesChanged(); // the value axis follows the visible traces
    }
}

bool StripChart::traceVisible(int trace) const
{
    return trace >= 1 && trace <= graphCount() && graph(trace - 1)->visible();
}

std::vector<double> StripChart::traceValues(int trace) const
{
    if (trace < 1 || trace > static_cast<int>(data_.size()))
        return {};
    const Ring &r = data_[static_cast<size_t>(trace - 1)];
    std::vector<double> out(static_cast<size_t>(r.count));
    for (int i = 0; i < r.count; ++i)
        out[static_cast<size_t>(i)] = r.at(i);
    return out;
}
