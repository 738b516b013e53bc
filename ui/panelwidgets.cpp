// SPDX-License-Identifier: MIT
// Widget classes of our own that panel files may name.
#include "ui/panelwidgets.h"

#include "ui/userint.h"
#include "ui/livelayer.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QStyle>
#include <QTimer>

#include <algorithm>
#include <cmath>

Led::Led(QWidget *parent) : QWidget(parent)
{
    setMinimumSize(16, 16);
}

void Led::setValue(int on)
{
    const int v = on ? 1 : 0;
    if (v == on_)
        return;
    on_ = v;
    update();
    if (QAccessible::isActive()) {
        QAccessible::State changed;
        changed.checked = true;
        QAccessibleStateChangeEvent event(this, changed);
        QAccessible::updateAccessibility(&event);
    }
}

void Led::setOnColor(const QColor &c)
{
    onColor_ = c;
    update();
}

void Led::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int d = std::min(width(), height()) - 2;
    const QRectF r((width() - d) / 2.0, (height() - d) / 2.0, d, d);
    const QColor fill = on_ ? onColor_ : QColor(0x50, 0x50, 0x50);
    QRadialGradient g(r.center() - QPointF(d / 5.0, d / 5.0), d * 0.7);
    g.setColorAt(0, fill.lighter(on_ ? 160 : 130));
    g.setColorAt(1, fill);
    p.setBrush(g);
    p.setPen(QPen(QColor(0x30, 0x30, 0x30), 1));
    p.drawEllipse(r);
}

void SpeakShownText(QWidget *w, const QString &shown)
{
    QVariant base = w->property("quillexSpokenLabel");
    if (!base.isValid()) {
        base = w->accessibleName();
        w->setProperty("quillexSpokenLabel", base);
    }
    if (!base.toString().isEmpty())
        w->setAccessibleName(base.toString() + QStringLiteral(": ") + shown);
}

ColourBar::ColourBar(QWidget *parent) : QWidget(parent)
{
    setMinimumHeight(16);
    setAttribute(Qt::WA_OpaquePaintEvent); // paints every pixel: nothing beneath needs drawing first
}

void ColourBar::setMinimum(int v)
{
    minimum_ = v;
    update();
}

void ColourBar::setMaximum(int v)
{
    maximum_ = v;
    update();
}

void ColourBar::setColor(const QColor &c)
{
    color_ = c;
    update();
}

void ColourBar::setValue(int v)
{
    if (v == value_)
        return;
    value_ = v;
    FrameGate::Defer(this, 0, [this] { update(); });
}

void ColourBar::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const int w = width(), h = height();
    p.fillRect(rect(), QColor(0xF4, 0xF4, 0xF4));
    const int span = std::max(1, maximum_ - minimum_);
    const int shown = std::clamp(value_, minimum_, maximum_) - minimum_;
    const int fill = static_cast<int>(static_cast<long long>(w - 2) * shown / span);
    p.fillRect(QRect(1, 1, fill, h - 2), color_);
    // The one-pixel frame as four fills: the pixels an outline drawn with a pen covers, at a fraction of
    // the cost of stroking it.
    const QColor frame(0x80, 0x80, 0x80);
    p.fillRect(QRect(0, 0, w, 1), frame);
    p.fillRect(QRect(0, h - 1, w, 1), frame);
    p.fillRect(QRect(0, 0, 1, h), frame);
    p.fillRect(QRect(w - 1, 0, 1, h), frame);
    // The number stays readable over the coloured and the empty part alike: white on the one, black on
    // the other, from one layout of the text.
    const QString text = QString::number(value_);
    if (text != number_.text() || font() != number_.font()) {
        number_.setText(text);
        number_.setFont(font());
        number_.setCacheEnabled(true); // keeps the shaped glyphs for every paint until the text changes
        number_.beginLayout();
        number_.createLine();
        number_.endLayout();
    }
    const QTextLine line = number_.lineAt(0);
    // Centred as text drawn into the whole bar with centred alignment is (by the line's exact height).
    const QPointF at((w - line.horizontalAdvance()) / 2, (h - (line.ascent() + line.descent())) / 2);
    p.setPen(Qt::white);
    p.setClipRect(QRect(1, 1, fill, h - 2));
    line.draw(&p, at);
    p.setPen(Qt::black);
    p.setClipRect(QRect(1 + fill, 1, w - 2 - fill, h - 2));
    line.draw(&p, at);
}

namespace {

// Screen readers see a bar as a progress bar with a value, as they would a standard one.
class ColourBarAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit ColourBarAccessible(QWidget *w) : QAccessibleWidget(w, QAccessible::ProgressBar) {}
    void *interface_cast(QAccessible::InterfaceType t) override
    {
        return t == QAccessible::ValueInterface ? static_cast<QAccessibleValueInterface *>(this)
                                                : QAccessibleWidget::interface_cast(t);
    }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return QString::number(bar()->value());
        return QAccessibleWidget::text(t);
    }
    QVariant currentValue() const override { return bar()->value(); }
    void setCurrentValue(const QVariant &) override {}
    QVariant maximumValue() const override { return bar()->maximum(); }
    QVariant minimumValue() const override { return bar()->minimum(); }
    QVariant minimumStepSize() const override { return 1; }

private:
    ColourBar *bar() const { return static_cast<ColourBar *>(widget()); }
};

QAccessibleInterface *ColourBarAccessibleFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("ColourBar") && object && object->isWidgetType())
        return new ColourBarAccessible(static_cast<QWidget *>(object));
    return nullptr;
}

} // namespace

void InstallWidgetAccessibility()
{
    QAccessible::installFactory(ColourBarAccessibleFactory);
    QAccessible::installFactory(ControlAccessibleFactory);
}

NumDisplay::NumDisplay(QWidget *parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setFrameShape(QFrame::Panel);
    setFrameShadow(QFrame::Sunken);
    setAutoFillBackground(true);
    setMargin(3);
    setText(QStringLiteral("0"));
}

void NumDisplay::setValue(int v)
{
    if (v == value_)
        return;
    value_ = v;
    FrameGate::Defer(this, 0, [this] { setText(QString::number(value_)); });
    FrameGate::DeferSpoken(this, [this] { SpeakShownText(this, QString::number(value_)); });
}

void NumDisplay::paintEvent(QPaintEvent *event)
{
    // What a label paints, with the number laid out once per change instead of once per paint.
    if (!isEnabled() || text().isEmpty()) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter p(this);
    drawFrame(&p);
    QRect r = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    const Qt::Alignment align = QStyle::visualAlignment(layoutDirection(), alignment());
    // A label without an indent of its own keeps text half an 'x' off a framed edge.
    int m = indent();
    if (m < 0 && frameWidth())
        m = fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2 - margin();
    if (m > 0) {
        if (align & Qt::AlignLeft)
            r.setLeft(r.left() + m);
        if (align & Qt::AlignRight)
            r.setRight(r.right() - m);
        if (align & Qt::AlignTop)
            r.setTop(r.top() + m);
        if (align & Qt::AlignBottom)
            r.setBottom(r.bottom() - m);
    }
    if (text() != number_.text() || font() != number_.font()) {
        number_.setText(text());
        number_.setFont(font());
        number_.setCacheEnabled(true); // keeps the shaped glyphs for every paint until the text changes
        number_.beginLayout();
        number_.createLine();
        number_.endLayout();
    }
    const QTextLine line = number_.lineAt(0);
    const qreal advance = line.horizontalAdvance();
    qreal x = 0;
    if (align & Qt::AlignRight)
        x = r.width() - advance;
    else if (align & Qt::AlignHCenter)
        x = (r.width() - advance) / 2;
    // The line's exact height, not the whole pixels QTextLine::height() rounds it up to.
    const qreal height = line.ascent() + line.descent();
    qreal y = 0;
    if (align & Qt::AlignBottom)
        y = r.height() - height;
    else if (align & Qt::AlignVCenter)
        y = (r.height() - height) / 2;
    p.setPen(QPen(palette().brush(foregroundRole()), p.pen().widthF()));
    line.draw(&p, QPointF(r.x() + x, r.y() + y));
}

NumericSlide::NumericSlide(QWidget *parent)
    : QWidget(parent), slider_(new QSlider(Qt::Horizontal, this)), label_(new QLabel(this))
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(slider_, 1);
    row->addWidget(label_);
    label_->setTextFormat(Qt::PlainText);
    label_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label_->setMinimumWidth(label_->fontMetrics().horizontalAdvance(QStringLiteral("00000")));
    slider_->setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(slider_);
    // Every move by the user counts, even one that leaves the slide where it stood (at its end).
    connect(slider_, &QSlider::actionTriggered, this, [this] { takeSliderValue(); });
    connect(slider_, &QSlider::valueChanged, this, [this] {
        if (!settingSlider_)
            takeSliderValue();
    });
    showValue();
}

int NumericSlide::minimum() const
{
    return slider_->minimum();
}
int NumericSlide::maximum() const
{
    return slider_->maximum();
}
int NumericSlide::value() const
{
    return value_;
}
void NumericSlide::setMinimum(int v)
{
    settingSlider_ = true;
    slider_->setMinimum(v);
    settingSlider_ = false;
    showValue();
}
void NumericSlide::setMaximum(int v)
{
    settingSlider_ = true;
    slider_->setMaximum(v);
    settingSlider_ = false;
    showValue();
}

void NumericSlide::setValue(int v)
{
    value_ = v;
    settingSlider_ = true;
    slider_->setValue(v); // the slide clamps; value_ keeps the word as it came
    settingSlider_ = false;
    showValue();
}

void NumericSlide::takeSliderValue()
{
    value_ = slider_->sliderPosition();
    showValue();
}

void NumericSlide::showValue()
{
    const QString number = QString::number(value_);
    const bool outside = value_ < slider_->minimum() || value_ > slider_->maximum();
    label_->setText(outside ? number + QStringLiteral("!") : number);
    QPalette pal = label_->palette();
    pal.setColor(QPalette::WindowText, outside ? QColor(0xC0, 0x00, 0x00) : palette().color(QPalette::WindowText));
    label_->setPalette(pal);
    const QString note = outside ? QStringLiteral("%1 is outside %2..%3; it is kept until the slide is moved")
                                       .arg(value_)
                                       .arg(slider_->minimum())
                                       .arg(slider_->maximum())
                                 : QString();
    label_->setToolTip(note);
    slider_->setToolTip(note);
    label_->setAccessibleName(outside ? note : number);
}

namespace {
// How far an antialiased one-pixel line reaches beside its position.
constexpr int kLinePad = 2;
} // namespace

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

namespace {

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
constexpr double kReadoutWidest = -4095; // the widest number a position shows

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
    // As wide as the widest position, so the box never changes size and a move repaints only the box.
    const QFontMetrics fm(font());
    const QSize text = fm.size(0, ReadoutText(kReadoutWidest, kReadoutWidest));
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
