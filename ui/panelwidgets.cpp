// SPDX-License-Identifier: MIT
// Widget classes of our own that panel files may name.
#include "ui/panelwidgets.h"

#include "ui/userint.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QAccessibleWidget>
#include <QElapsedTimer>
#include <QPainter>
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

} // namespace

ColourPlaneGraph::ColourPlaneGraph(QWidget *parent) : ScopePlot(parent)
{
    xAxis->setLabel(QStringLiteral("X"));
    yAxis->setLabel(QStringLiteral("Y"));
    // The cross lives on a buffered layer of its own: moving it many times a second repaints only
    // that layer, not the 4096-point diagonal and the circles underneath.
    addLayer(QStringLiteral("cursor"), layer(QStringLiteral("main")), QCustomPlot::limAbove);
    QCPLayer *cursorLayer = layer(QStringLiteral("cursor"));
    cursorLayer->setMode(QCPLayer::lmBuffered);
    const QPen cursorPen(kCrossColour, kThinPen);
    vLine_ = new QCPItemStraightLine(this);
    hLine_ = new QCPItemStraightLine(this);
    for (auto *l : {vLine_, hLine_}) {
        l->setPen(cursorPen);
        l->setSelectable(false);
        l->setLayer(cursorLayer);
    }
    readout_ = new QCPItemText(this);
    readout_->setLayer(cursorLayer);
    readout_->setSelectable(false);
    readout_->position->setType(QCPItemPosition::ptAxisRectRatio);
    readout_->position->setCoords(0, 0);
    readout_->setPositionAlignment(Qt::AlignLeft | Qt::AlignTop);
    readout_->setColor(kCrossColour);
    readout_->setBrush(QBrush(QColor(255, 255, 255, 220)));
    readout_->setPadding(QMargins(4, 2, 4, 2));
    readout_->setVisible(false);
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
    readout_->setVisible(on);
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
    cursor_ = QPointF(x, y);
    vLine_->point1->setCoords(x, 0);
    vLine_->point2->setCoords(x, 1);
    hLine_->point1->setCoords(0, y);
    hLine_->point2->setCoords(1, y);
    if (userCursor_)
        readout_->setText(QStringLiteral("X %1   Y %2").arg(Number(x), Number(y)));
    FrameGate::Defer(this, 1, [this] { vLine_->layer()->replot(); });
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
    vLine_->layer()->replot();
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
