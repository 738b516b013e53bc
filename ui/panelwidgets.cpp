// SPDX-License-Identifier: MIT
// Widget classes of our own that panel files may name.
#include "ui/panelwidgets.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QAccessibleWidget>
#include <QElapsedTimer>
#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace FrameGate {
namespace {

struct Gate : QObject {
    std::map<std::pair<QObject *, int>, std::function<void()>> pending;
    QTimer timer;
    QElapsedTimer sinceLast;

    Gate()
    {
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, this, [this] { flush(); });
        sinceLast.start();
    }

    void flush(bool paintNow = false)
    {
        sinceLast.restart();
        timer.stop();
        auto due = std::move(pending);
        pending.clear();
        for (auto &[key, redraw] : due)
            redraw();
        if (!paintNow)
            return;
        // One paint of the window for all changed displays: painting each on its own costs a flush each.
        QWidget *window = nullptr;
        QRegion changed;
        for (auto &[key, redraw] : due)
            if (auto *w = qobject_cast<QWidget *>(key.first); w && w->isVisible()) {
                window = w->window();
                changed += QRect(w->mapTo(window, QPoint(0, 0)), w->size());
            }
        if (window)
            window->repaint(changed);
    }
};

Gate &Instance()
{
    static Gate *gate = new Gate; // outlives every widget; never destroyed before them
    return *gate;
}

} // namespace

void Defer(QObject *owner, int slot, std::function<void()> redraw)
{
    Gate &g = Instance();
    const auto key = std::make_pair(owner, slot);
    auto it = g.pending.find(key);
    if (it != g.pending.end()) {
        it->second = std::move(redraw);
    } else {
        g.pending.emplace(key, std::move(redraw));
        if (!owner->property("quillexGated").toBool()) {
            owner->setProperty("quillexGated", true);
            QObject::connect(owner, &QObject::destroyed, &g, [&g, owner] {
                for (auto i = g.pending.begin(); i != g.pending.end();)
                    i = i->first.first == owner ? g.pending.erase(i) : std::next(i);
            });
        }
    }
    // A full frame from now, never at once: while polling, the next reply wait (DrawIfDue) is the
    // cheaper moment to paint, as the line is busy anyway.
    if (!g.timer.isActive())
        g.timer.start(kFrameMs);
}

void DrawIfDue()
{
    Gate &g = Instance();
    if (!g.pending.empty() && g.sinceLast.elapsed() >= kFrameMs)
        g.flush(true);
}

} // namespace FrameGate

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
    const QRect frame = rect().adjusted(0, 0, -1, -1);
    p.fillRect(rect(), QColor(0xF4, 0xF4, 0xF4));
    const int span = std::max(1, maximum_ - minimum_);
    const int shown = std::clamp(value_, minimum_, maximum_) - minimum_;
    const int fill = static_cast<int>(static_cast<long long>(width() - 2) * shown / span);
    p.fillRect(QRect(1, 1, fill, height() - 2), color_);
    p.setPen(QColor(0x80, 0x80, 0x80));
    p.drawRect(frame);
    // The number stays readable over the coloured and the empty part alike.
    const QString text = QString::number(value_);
    const QRect textRect = rect();
    p.setPen(Qt::white);
    p.setClipRect(QRect(1, 1, fill, height() - 2));
    p.drawText(textRect, Qt::AlignCenter, text);
    p.setPen(Qt::black);
    p.setClipRect(QRect(1 + fill, 1, width() - 2 - fill, height() - 2));
    p.drawText(textRect, Qt::AlignCenter, text);
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

const bool kColourBarAccessibleInstalled = [] {
    QAccessible::installFactory(ColourBarAccessibleFactory);
    return true;
}();

} // namespace

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
    FrameGate::Defer(this, 0, [this] {
        setText(QString::number(value_));
        SpeakShownText(this, text());
    });
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

ScopePlot::ScopePlot(QWidget *parent) : QCustomPlot(parent)
{
    setNoAntialiasingOnDrag(true);
    setPlottingHint(QCP::phCacheLabels, true);
    setPlottingHint(QCP::phFastPolylines, true);
}

void ScopePlot::requestReplot()
{
    // Several plot calls in one callback, or many polls in one frame, then cost a single redraw.
    FrameGate::Defer(this, 0, [this] { replot(QCustomPlot::rpQueuedRefresh); });
}

ColourPlaneGraph::ColourPlaneGraph(QWidget *parent) : ScopePlot(parent)
{
    xAxis->setRange(0, 4095);
    yAxis->setRange(0, 4095);
    xAxis->setLabel(QStringLiteral("X"));
    yAxis->setLabel(QStringLiteral("Y"));
    // The cross lives on a buffered layer of its own: moving it many times a second repaints only
    // that layer, not the 4096-point diagonal and the circles underneath.
    addLayer(QStringLiteral("cursor"), layer(QStringLiteral("main")), QCustomPlot::limAbove);
    QCPLayer *cursorLayer = layer(QStringLiteral("cursor"));
    cursorLayer->setMode(QCPLayer::lmBuffered);
    const QPen cursorPen(QColor(0xC0, 0x00, 0x00), 1);
    vLine_ = new QCPItemStraightLine(this);
    hLine_ = new QCPItemStraightLine(this);
    for (auto *l : {vLine_, hLine_}) {
        l->setPen(cursorPen);
        l->setSelectable(false);
        l->setLayer(cursorLayer);
    }
    setCursorPos(0, 0);
}

void ColourPlaneGraph::setUserCursor(bool on)
{
    userCursor_ = on;
    setFocusPolicy(on ? Qt::StrongFocus : Qt::NoFocus);
}

int ColourPlaneGraph::plotXY(const std::vector<double> &x, const std::vector<double> &y, int style, int color)
{
    auto *curve = new QCPCurve(xAxis, yAxis);
    QVector<double> t(static_cast<int>(x.size()));
    for (int i = 0; i < t.size(); ++i)
        t[i] = i;
    curve->setData(t, QVector<double>(x.begin(), x.end()), QVector<double>(y.begin(), y.end()), true);
    curve->setPen(QPen(QColor::fromRgb(static_cast<QRgb>(color)), style == 2 ? 3 : 1));
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
    e->setPen(QPen(QColor::fromRgb(static_cast<QRgb>(lineColor)), 1));
    e->setBrush(fillColor >= 0x1000000 ? QBrush(Qt::NoBrush) : QBrush(QColor::fromRgb(static_cast<QRgb>(fillColor))));
    e->setSelectable(false);
    const int h = nextHandle_++;
    plots_[h].item = e;
    requestReplot();
    return h;
}

void ColourPlaneGraph::deletePlot(int handle)
{
    auto drop = [this](PlotItem &p) {
        if (p.plottable)
            removePlottable(p.plottable);
        if (p.item)
            removeItem(p.item);
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
    cursor_ = QPointF(x, y);
    vLine_->point1->setCoords(x, 0);
    vLine_->point2->setCoords(x, 1);
    hLine_->point1->setCoords(0, y);
    hLine_->point2->setCoords(1, y);
    FrameGate::Defer(this, 1, [this] { vLine_->layer()->replot(); });
}

void ColourPlaneGraph::moveByUser(double x, double y)
{
    setCursorPos(x, y);
    emit cursorMovedByUser();
}

void ColourPlaneGraph::mousePressEvent(QMouseEvent *e)
{
    if (userCursor_ && e->button() == Qt::LeftButton) {
        setFocus(Qt::MouseFocusReason);
        moveByUser(xAxis->pixelToCoord(e->position().x()), yAxis->pixelToCoord(e->position().y()));
        return;
    }
    ScopePlot::mousePressEvent(e);
}

void ColourPlaneGraph::mouseMoveEvent(QMouseEvent *e)
{
    if (userCursor_ && (e->buttons() & Qt::LeftButton)) {
        moveByUser(xAxis->pixelToCoord(e->position().x()), yAxis->pixelToCoord(e->position().y()));
        return;
    }
    ScopePlot::mouseMoveEvent(e);
}

void ColourPlaneGraph::keyPressEvent(QKeyEvent *e)
{
    if (!userCursor_) {
        ScopePlot::keyPressEvent(e);
        return;
    }
    // One key step is one screen pixel, so the cross moves as finely as the eye can follow.
    const double sx = xAxis->range().size() / std::max(1, axisRect()->width());
    const double sy = yAxis->range().size() / std::max(1, axisRect()->height());
    switch (e->key()) {
    case Qt::Key_Left: moveByUser(cursor_.x() - sx, cursor_.y()); break;
    case Qt::Key_Right: moveByUser(cursor_.x() + sx, cursor_.y()); break;
    case Qt::Key_Up: moveByUser(cursor_.x(), cursor_.y() + sy); break;
    case Qt::Key_Down: moveByUser(cursor_.x(), cursor_.y() - sy); break;
    default: ScopePlot::keyPressEvent(e); return;
    }
}

StripChart::StripChart(QWidget *parent) : ScopePlot(parent)
{
    // The traces live on a buffered layer of their own: a new sample redraws them alone, not the axes,
    // grid and labels, unless the value axis has to change.
    addLayer(QStringLiteral("traces"), layer(QStringLiteral("main")), QCustomPlot::limAbove);
    layer(QStringLiteral("traces"))->setMode(QCPLayer::lmBuffered);
    yAxis->setRange(0, 4095);
    xAxis->setTicks(false);
    xAxis->setTickLabels(false);
    setTraces(7);
    setPointsPerScreen(100);
}

void StripChart::setTraces(int n)
{
    data_.assign(static_cast<size_t>(std::max(1, n)), Ring{});
    nextTrace_ = 0;
    setPointsPerScreen(pointsPerScreen_);
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
    }
    pointsPerScreen_ = pps;
    xAxis->setRange(0, pointsPerScreen_ - 1);
    pushToGraphs();
}

void StripChart::rebuildGraphs()
{
    clearGraphs();
    // Trace colours follow the signals: red, green, blue, intensity, colour number, window high, window low.
    static const QColor colours[] = {QColor(0xE0, 0x00, 0x00), QColor(0x00, 0xA0, 0x00), QColor(0x00, 0x40, 0xFF),
                                     QColor(0x20, 0x20, 0x20), QColor(0xA0, 0x00, 0xA0), QColor(0xFF, 0x80, 0x00),
                                     QColor(0xFF, 0x80, 0x00)};
    for (size_t t = 0; t < data_.size(); ++t) {
        QCPGraph *g = addGraph();
        g->setPen(QPen(colours[t % 7], t >= 5 ? 1 : 2, t >= 5 ? Qt::DashLine : Qt::SolidLine));
        g->setAdaptiveSampling(false);
        g->setLayer(QStringLiteral("traces"));
        g->setAntialiased(false);
    }
    pushToGraphs();
}

void StripChart::append(const double *values, int count)
{
    const int traces = static_cast<int>(data_.size());
    for (int i = 0; i < count; ++i) {
        Ring &r = data_[static_cast<size_t>(nextTrace_)];
        const int cap = static_cast<int>(r.v.size());
        if (r.count < cap) {
            r.v[static_cast<size_t>((r.start + r.count) % cap)] = values[i];
            ++r.count;
        } else {
            r.v[static_cast<size_t>(r.start)] = values[i];
            r.start = (r.start + 1) % cap;
        }
        nextTrace_ = (nextTrace_ + 1) % traces;
    }
    pushToGraphs();
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
    if (rescaleY())
        requestReplot();
    else
        FrameGate::Defer(this, 1, [this] { layer(QStringLiteral("traces"))->replot(); });
}

bool StripChart::rescaleY()
{
    // Small signals such as the colour number would be a flat line on the full 0..4095 scale: the axis
    // follows the visible traces, in steps, so it does not jitter with the noise.
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
        rescaleY();
        requestReplot();
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
