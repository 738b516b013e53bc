// SPDX-License-Identifier: MIT
// The graphs' common ground: replots at most once per frame, and none while the graph cannot be seen.
#include "ui/panelwidgets.h"

#include <QCoreApplication>
#include <QImage>
#include <QPainter>

ScopePlot::ScopePlot(QWidget *parent) : QCustomPlot(parent)
{
    setNoAntialiasingOnDrag(true);
    setPlottingHint(QCP::phCacheLabels, true);
    setPlottingHint(QCP::phFastPolylines, true);
    // Every paint fills the whole widget before anything else, so Qt need not paint what lies beneath.
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Two buffers: the layers below the live one, and the axes above it. The legend (never shown) and the
    // overlay (selection rectangles, never used) move below the axes and share the lower buffer.
    addLayer(QStringLiteral("live"), layer(QStringLiteral("main")), QCustomPlot::limAbove);
    liveLayer_ = layer(QStringLiteral("live"));
    liveLayer_->setVisible(false); // paintEvent paints it; a replot must not draw it into a buffer
    layer(QStringLiteral("overlay"))->setMode(QCPLayer::lmLogical);
    moveLayer(layer(QStringLiteral("axes")), layer(QStringLiteral("overlay")), QCustomPlot::limAbove);
    layer(QStringLiteral("axes"))->setMode(QCPLayer::lmBuffered);
    connect(this, &QCustomPlot::afterReplot, this, [this] { findAxesClear(); });
    // QCustomPlot queues a full redraw of itself as it is made, seen or not, and with it two full-size
    // buffers; ours is drawn, and gets its buffers, when it is first seen.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    mReplotQueued = false;
    replotOwed_ = true;
}

void ScopePlot::requestReplot()
{
    if (!canBeSeen()) {
        replotOwed_ = true;
        return;
    }
    // Several plot calls in one callback, or many polls in one frame, then cost a single redraw.
    FrameGate::Defer(this, kReplotSlot, [this] { replotNow(); });
}

void ScopePlot::replotNow()
{
    if (!canBeSeen()) {
        replotOwed_ = true;
        return;
    }
    replotOwed_ = false;
    replot(QCustomPlot::rpQueuedRefresh);
}

void ScopePlot::setCovered(bool covered)
{
    if (covered == covered_)
        return;
    covered_ = covered;
    if (covered_)
        releaseBuffers();
    else
        payOwedReplot();
}

void ScopePlot::releaseBuffers()
{
    // Two full-size images a graph nobody sees need not keep: it is drawn anew when it is seen again.
    if (mPaintBuffers.isEmpty())
        return;
    mPaintBuffers.clear();
    axesClear_ = QRect();
    replotOwed_ = true;
}

void ScopePlot::hideEvent(QHideEvent *event)
{
    QCustomPlot::hideEvent(event);
    // Only when hidden itself: a window minimised or not yet shown keeps what it has drawn.
    if (isHidden())
        releaseBuffers();
}

void ScopePlot::payOwedReplot()
{
    if (!replotOwed_ || !canBeSeen())
        return;
    beforeOwedReplot();
    replotNow();
}

void ScopePlot::showEvent(QShowEvent *event)
{
    QCustomPlot::showEvent(event);
    payOwedReplot();
}

void ScopePlot::resizeEvent(QResizeEvent *)
{
    setViewport(rect());
    replotNow();
}

void ScopePlot::paintEvent(QPaintEvent *event)
{
    // As QCustomPlot paints itself, with the live layer between the buffer below it and the axes above.
    // The buffers go one rectangle of the changed area at a time: under a clip of several rectangles the
    // raster engine blends span by span and hands large blends to worker threads, which costs more than
    // it saves here. The live parts go once, each clipped to its own rectangle.
    QCPPainter painter(this);
    if (!painter.isActive())
        return;
    const QRegion &changed = event->region();
    const int axesBuffer = static_cast<int>(mPaintBuffers.size()) - 1;
    for (const QRect &area : changed) {
        painter.setClipRect(area);
        if (mBackgroundBrush.style() != Qt::NoBrush)
            painter.fillRect(area & mViewport, mBackgroundBrush);
        drawBackground(&painter);
        for (int i = 0; i < axesBuffer; ++i)
            mPaintBuffers.at(i)->draw(&painter);
    }
    painter.setClipping(false);
    drawLive(&painter, changed.boundingRect());
    if (axesBuffer < 1)
        return; // not drawn yet: no axes
    // The axes' buffer is empty over the inside of the plot: blending it there would change no pixel.
    for (const QRect &axes : changed - axesClear_) {
        painter.setClipRect(axes);
        mPaintBuffers.at(axesBuffer)->draw(&painter);
    }
}

void ScopePlot::findAxesClear()
{
    axesClear_ = QRect();
    if (mPaintBuffers.size() < 2 || mBufferDevicePixelRatio != 1.0)
        return;
    QImage axes(viewport().size(), QImage::Format_ARGB32_Premultiplied);
    axes.fill(Qt::transparent);
    {
        QCPPainter painter(&axes);
        mPaintBuffers.last()->draw(&painter);
    }
    auto clear = [&axes](const QRect &r) {
        for (int y = r.top(); y <= r.bottom(); ++y) {
            const auto *row = reinterpret_cast<const QRgb *>(axes.constScanLine(y));
            for (int x = r.left(); x <= r.right(); ++x)
                if (qAlpha(row[x]) != 0)
                    return false;
        }
        return true;
    };
    // From the axis rect inwards, edge by edge, past the axis lines and the ticks drawn inside.
    QRect inside = axisRect()->rect() & axes.rect();
    for (bool moved = true; moved && !inside.isEmpty();) {
        moved = false;
        if (!clear(QRect(inside.left(), inside.top(), 1, inside.height())))
            inside.setLeft(inside.left() + 1), moved = true;
        if (!inside.isEmpty() && !clear(QRect(inside.right(), inside.top(), 1, inside.height())))
            inside.setRight(inside.right() - 1), moved = true;
        if (!inside.isEmpty() && !clear(QRect(inside.left(), inside.top(), inside.width(), 1)))
            inside.setTop(inside.top() + 1), moved = true;
        if (!inside.isEmpty() && !clear(QRect(inside.left(), inside.bottom(), inside.width(), 1)))
            inside.setBottom(inside.bottom() - 1), moved = true;
    }
    // Its edges are clear; the axes draw nothing further in, but the whole of it is checked all the same.
    if (!inside.isEmpty() && clear(inside))
        axesClear_ = inside;
}
