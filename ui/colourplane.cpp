// SPDX-License-Identifier: MIT
// The colour-plane graph: the diagonal, tolerance circles with their labels, and the cross the loop or the user moves.
#include "ui/panelwidgets.h"

#include "ui/livelayer.h"
#include "ui/userint.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {
// How far an antialiased one-pixel line reaches beside its position.
constexpr int kLinePad = 2;

constexpr int kThinPen = 1;
constexpr int kThickPen = 3;
constexpr double kDiscSize = 4; // pixels across a point's disc
constexpr int kFocusPen = 2;    // the cross while the graph has the keyboard
const QColor kCrossColour(0xC0, 0x00, 0x00);
// A circle's label sits at 45 degrees on its upper right, just outside the ring.
constexpr double kLabelAngle = 0.7071067811865476; // cos 45 = sin 45

QString Number(double v)
{
    return QString::number(std::lround(v));
}

// The readout of the cross's position in the corner of a graph the user moves it on.
constexpr int kReadoutInset = 2;
const QMargins kReadoutPadding(4, 2, 4, 2);
const QColor kReadoutBackground(255, 255, 255, 220);

QString ReadoutText(double x, double y)
{
    return QStringLiteral("X %1   Y %2").arg(Number(x), Number(y));
}

} // namespace

ColourPlaneGraph::ColourPlaneGraph(QWidget *parent) : ScopePlot(parent)
{
    xAxis->setLabel(QStringLiteral("X"));
    yAxis->setLabel(QStringLiteral("Y"));
    // The cross lives on the live layer: moving it many times a second repaints the strips its lines
    // leave and enter (and the readout of its position), not the 4096-point diagonal and the circles underneath.
    const QPen cursorPen(kCrossColour, kThinPen);
    vLine_ = new LiveLine(this);
    hLine_ = new LiveLine(this);
    for (auto *l : {vLine_, hLine_}) {
        l->setPen(cursorPen);
        l->setSelectable(false);
        l->setLayer(liveLayer());
    }
    setCursorPos(0, 0);
}

void ColourPlaneGraph::setXMax(double v)
{
    xAxis->setRange(0, v);
}

void ColourPlaneGraph::setYMax(double v)
{
    yAxis->setRange(0, v);
}

void ColourPlaneGraph::setUserCursor(bool on)
{
    userCursor_ = on;
    setFocusPolicy(on ? Qt::StrongFocus : Qt::NoFocus);
    update();
}

void ColourPlaneGraph::updateLayout()
{
    // X and Y on one scale: the axis rect is made square by margins around it, split evenly.
    plotLayout()->setAutoMargins(QCP::msNone);
    plotLayout()->setMargins(QMargins());
    ScopePlot::updateLayout();
    const QRect inner = axisRect()->rect();
    const int side = std::min(inner.width(), inner.height());
    const int dx = inner.width() - side, dy = inner.height() - side;
    if (side > 0 && (dx > 0 || dy > 0)) {
        plotLayout()->setMargins(QMargins(dx / 2, dy / 2, dx - dx / 2, dy - dy / 2));
        ScopePlot::updateLayout();
    }
}

int ColourPlaneGraph::plotXY(const std::vector<double> &x, const std::vector<double> &y, int style, int pointStyle,
                             int pointFrequency, int color)
{
    auto *curve = new QCPCurve(xAxis, yAxis);
    QVector<double> t(static_cast<int>(x.size()));
    for (int i = 0; i < t.size(); ++i)
        t[i] = i;
    curve->setData(t, QVector<double>(x.begin(), x.end()), QVector<double>(y.begin(), y.end()), true);
    const QColor colour = QColor::fromRgb(static_cast<QRgb>(color));
    curve->setPen(QPen(colour, style == VAL_THICK_LINE ? kThickPen : kThinPen));
    if (pointStyle == VAL_SOLID_CIRCLE && pointFrequency > 0) {
        // Thousands of discs along a line: drawn once and stamped, they cost little more than the line.
        const qreal ratio = devicePixelRatioF();
        QPixmap disc{int(std::ceil(kDiscSize * ratio)), int(std::ceil(kDiscSize * ratio))};
        disc.setDevicePixelRatio(ratio);
        disc.fill(Qt::transparent);
        {
            QPainter p(&disc);
            p.setRenderHint(QPainter::Antialiasing);
            p.setPen(Qt::NoPen);
            p.setBrush(colour);
            p.drawEllipse(QRectF(0, 0, kDiscSize, kDiscSize));
        }
        curve->setScatterStyle(QCPScatterStyle(disc));
        curve->setScatterSkip(pointFrequency - 1);
    }
    curve->setSelectable(QCP::stNone);
    const int h = nextHandle_++;
    plots_[h].plottable = curve;
    requestReplot();
    return h;
}

int ColourPlaneGraph::plotArc(double x1, double y1, double x2, double y2, int lineColor, int fillColor)
{
    auto *e = new QCPItemEllipse(this);
    e->topLeft->setCoords(std::min(x1, x2), std::max(y1, y2));
    e->bottomRight->setCoords(std::max(x1, x2), std::min(y1, y2));
    e->setPen(QPen(QColor::fromRgb(static_cast<QRgb>(lineColor)), kThinPen));
    e->setBrush(fillColor >= 0x1000000 ? QBrush(Qt::NoBrush) : QBrush(QColor::fromRgb(static_cast<QRgb>(fillColor))));
    e->setSelectable(false);
    const int h = nextHandle_++;
    plots_[h].item = e;
    requestReplot();
    return h;
}

bool ColourPlaneGraph::setArcLabel(int handle, const QString &text)
{
    auto it = plots_.find(handle);
    auto *e = it == plots_.end() ? nullptr : qobject_cast<QCPItemEllipse *>(it->second.item);
    if (!e)
        return false;
    if (!it->second.label) {
        auto *label = new QCPItemText(this);
        label->setSelectable(false);
        label->setPositionAlignment(Qt::AlignLeft | Qt::AlignBottom);
        QFont f = label->font();
        f.setBold(true);
        label->setFont(f);
        it->second.label = label;
    }
    QCPItemText *label = it->second.label;
    const QPointF tl = e->topLeft->coords(), br = e->bottomRight->coords();
    const QPointF centre = (tl + br) / 2;
    const double rx = (br.x() - tl.x()) / 2, ry = (tl.y() - br.y()) / 2;
    label->position->setCoords(centre.x() + rx * kLabelAngle, centre.y() + ry * kLabelAngle);
    label->setColor(e->pen().color());
    label->setText(text);
    requestReplot();
    return true;
}

void ColourPlaneGraph::deletePlot(int handle)
{
    auto drop = [this](PlotItem &p) {
        if (p.plottable)
            removePlottable(p.plottable);
        if (p.item)
            removeItem(p.item);
        if (p.label)
            removeItem(p.label);
    };
    if (handle == -1) {
        for (auto &[h, p] : plots_)
            drop(p);
        plots_.clear();
    } else if (auto it = plots_.find(handle); it != plots_.end()) {
        drop(it->second);
        plots_.erase(it);
    }
    requestReplot();
}

void ColourPlaneGraph::setCursorPos(double x, double y)
{
    // A sensor that sees the same colour sets the cross where it stands: nothing on the screen changes.
    const auto at = [](const QCPItemPosition *p, double px, double py) {
        return p->coords().x() == px && p->coords().y() == py;
    };
    if (cursor_.x() == x && cursor_.y() == y && at(vLine_->point1, x, 0) && at(vLine_->point2, x, 1) &&
        at(hLine_->point1, 0, y) && at(hLine_->point2, 1, y))
        return;
    // Where the cross stands on the screen now must be painted over too, whenever the paint comes.
    cursorDirty_ += cursorPixels();
    cursor_ = QPointF(x, y);
    vLine_->point1->setCoords(x, 0);
    vLine_->point2->setCoords(x, 1);
    hLine_->point1->setCoords(0, y);
    hLine_->point2->setCoords(1, y);
    FrameGate::Defer(this, kLiveSlot, [this] {
        // Out of sight the cross is painted where it stands when the graph is seen again.
        if (canBeSeen())
            update(cursorDirty_ + cursorPixels());
        cursorDirty_ = QRegion();
    });
}

QRect ColourPlaneGraph::readoutRect() const
{
    if (!userCursor_)
        return {};
    // As wide as the widest position the axes hold, so the box keeps its size while the cross moves and a move
    // repaints only the box.
    const double widest = -std::max({std::abs(xAxis->range().lower), std::abs(xAxis->range().upper),
                                     std::abs(yAxis->range().lower), std::abs(yAxis->range().upper)});
    const QFontMetrics fm(font());
    const QSize text = fm.size(0, ReadoutText(widest, widest));
    const QRect inside = axisRect()->rect();
    return QRect(inside.topLeft() + QPoint(kReadoutInset, kReadoutInset), text.grownBy(kReadoutPadding)) & inside;
}

QRect ColourPlaneGraph::lineStrip(Qt::Orientation along) const
{
    // Drawn clipped as QCustomPlot clips a plot part: to the axis rect, one pixel up.
    const QRect clip = axisRect()->rect().translated(0, -1);
    if (along == Qt::Vertical) {
        const double px = xAxis->coordToPixel(cursor_.x());
        if (!(px >= clip.left() - kLinePad && px <= clip.right() + kLinePad))
            return {};
        return QRect(static_cast<int>(std::floor(px)) - kLinePad, clip.top(), 2 * kLinePad + 1, clip.height()) & clip;
    }
    const double py = yAxis->coordToPixel(cursor_.y());
    if (!(py >= clip.top() - kLinePad && py <= clip.bottom() + kLinePad))
        return {};
    return QRect(clip.left(), static_cast<int>(std::floor(py)) - kLinePad, clip.width(), 2 * kLinePad + 1) & clip;
}

QRegion ColourPlaneGraph::cursorPixels() const
{
    return QRegion(lineStrip(Qt::Vertical)) + lineStrip(Qt::Horizontal) + readoutRect();
}

void ColourPlaneGraph::drawLive(QCPPainter *painter, const QRect &area)
{
    // Each line where it crosses the area being painted; a line out of sight has an empty strip.
    if (const QRect v = lineStrip(Qt::Vertical) & area; !v.isEmpty())
        static_cast<LiveLine *>(vLine_)->drawOnto(painter, v);
    if (const QRect h = lineStrip(Qt::Horizontal) & area; !h.isEmpty())
        static_cast<LiveLine *>(hLine_)->drawOnto(painter, h);
    if (const QRect box = readoutRect(); box.intersects(area)) {
        painter->save();
        painter->setClipRect(box & area);
        painter->fillRect(box, kReadoutBackground);
        painter->setPen(kCrossColour);
        painter->drawText(box, Qt::AlignCenter, readout());
        painter->restore();
    }
}

QString ColourPlaneGraph::readout() const
{
    return userCursor_ ? ReadoutText(cursor_.x(), cursor_.y()) : QString();
}

QString ColourPlaneGraph::describe() const
{
    QStringList parts;
    parts << QStringLiteral("cross at X %1, Y %2").arg(Number(cursor_.x()), Number(cursor_.y()));
    for (const auto &[h, p] : plots_) {
        auto *e = qobject_cast<QCPItemEllipse *>(p.item);
        if (!e || !p.label)
            continue;
        const QPointF tl = e->topLeft->coords(), br = e->bottomRight->coords();
        parts << QStringLiteral("circle %1 at X %2, Y %3, radius %4")
                     .arg(p.label->text(), Number((tl.x() + br.x()) / 2), Number((tl.y() + br.y()) / 2),
                          Number((br.x() - tl.x()) / 2));
    }
    return parts.join(QStringLiteral("; "));
}

void ColourPlaneGraph::moveByUser(double x, double y)
{
    setCursorPos(x, y);
    emit cursorMovedByUser();
}

QPointF ColourPlaneGraph::pointerCoords(const QMouseEvent *e) const
{
    return {xAxis->pixelToCoord(e->position().x()), yAxis->pixelToCoord(e->position().y())};
}

void ColourPlaneGraph::mousePressEvent(QMouseEvent *e)
{
    if (userCursor_ && e->button() == Qt::LeftButton) {
        setFocus(Qt::MouseFocusReason);
        // The window stays put while the button is down: re-centring under a moving pointer would throw the
        // cross further with every move.
        dragging_ = true;
        const QPointF at = pointerCoords(e);
        setCursorPos(at.x(), at.y());
        return;
    }
    ScopePlot::mousePressEvent(e);
}

void ColourPlaneGraph::mouseMoveEvent(QMouseEvent *e)
{
    if (dragging_ && (e->buttons() & Qt::LeftButton)) {
        const QPointF at = pointerCoords(e);
        setCursorPos(at.x(), at.y());
        return;
    }
    ScopePlot::mouseMoveEvent(e);
}

void ColourPlaneGraph::mouseReleaseEvent(QMouseEvent *e)
{
    if (dragging_ && e->button() == Qt::LeftButton) {
        dragging_ = false;
        const QPointF at = pointerCoords(e);
        moveByUser(at.x(), at.y());
        return;
    }
    ScopePlot::mouseReleaseEvent(e);
}

void ColourPlaneGraph::keyPressEvent(QKeyEvent *e)
{
    if (!userCursor_) {
        ScopePlot::keyPressEvent(e);
        return;
    }
    // Without a step from the panel file, one key step is one screen pixel.
    const double fast = (e->modifiers() & Qt::ShiftModifier) ? 10 : 1;
    const double sx = fast * (keyStep_ > 0 ? keyStep_ : xAxis->range().size() / std::max(1, axisRect()->width()));
    const double sy = fast * (keyStep_ > 0 ? keyStep_ : yAxis->range().size() / std::max(1, axisRect()->height()));
    switch (e->key()) {
    case Qt::Key_Left: moveByUser(cursor_.x() - sx, cursor_.y()); break;
    case Qt::Key_Right: moveByUser(cursor_.x() + sx, cursor_.y()); break;
    case Qt::Key_Up: moveByUser(cursor_.x(), cursor_.y() + sy); break;
    case Qt::Key_Down: moveByUser(cursor_.x(), cursor_.y() - sy); break;
    default: ScopePlot::keyPressEvent(e); return;
    }
}

void ColourPlaneGraph::showFocus(bool on)
{
    const QPen pen(kCrossColour, on ? kFocusPen : kThinPen);
    vLine_->setPen(pen);
    hLine_->setPen(pen);
    update();
}

void ColourPlaneGraph::focusInEvent(QFocusEvent *e)
{
    ScopePlot::focusInEvent(e);
    showFocus(true);
}

void ColourPlaneGraph::focusOutEvent(QFocusEvent *e)
{
    ScopePlot::focusOutEvent(e);
    dragging_ = false;
    showFocus(false);
}

void ColourPlaneGraph::paintEvent(QPaintEvent *e)
{
    ScopePlot::paintEvent(e);
    if (!hasFocus())
        return;
    // Keyboard users see which graph the arrows move.
    QPainter p(this);
    QPen pen(palette().color(QPalette::Highlight), kFocusPen);
    p.setPen(pen);
    p.drawRect(rect().adjusted(1, 1, -kFocusPen, -kFocusPen));
}
