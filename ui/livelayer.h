// SPDX-License-Identifier: MIT
// Private to the graph widgets: plot parts that ScopePlot paints straight onto the widget (its live layer).
#pragma once

#include <qcustomplot.h>

// A plot part that its graph paints itself. QCustomPlot keeps the steps of drawing a layer's parts to
// itself; these are the same steps, so a part looks the same painted either way.
template <class Part>
class LivePart : public Part {
public:
    using Part::Part;
    // within: where the part can have pixels, if the caller knows better than the whole axis rect. A paint
    // of a few strips clips to a region; a rectangle inside one of them keeps the painter on its fast path.
    void drawOnto(QCPPainter *painter, const QRect &within = QRect())
    {
        if (!this->visible())
            return;
        painter->save();
        // The same clip QCustomPlot gives a part: its axis rect, one pixel up.
        const QRect clip = this->clipRect().translated(0, -1);
        painter->setClipRect(within.isNull() ? clip : clip & within);
        this->applyDefaultAntialiasingHint(painter);
        this->draw(painter);
        painter->restore();
    }
};

using LiveLine = LivePart<QCPItemStraightLine>;
using LiveGraph = LivePart<QCPGraph>;
