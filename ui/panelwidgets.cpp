// SPDX-License-Identifier: MIT
// Widget classes of our own that panel files may name.
#include "ui/panelwidgets.h"

#include "ui/userint.h"

#include <QHBoxLayout>
#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QPainter>
#include <QStyle>

#include <algorithm>

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

namespace {

// Lays out one line of text only when the text or the font differs from what the layout holds, so a paint that
// shows the same number again shapes no glyphs.
void LayOutLine(QTextLayout &layout, const QString &text, const QFont &font)
{
    if (text == layout.text() && font == layout.font())
        return;
    layout.setText(text);
    layout.setFont(font);
    layout.setCacheEnabled(true); // keeps the shaped glyphs for every paint until the text changes
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
}

} // namespace

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
    LayOutLine(number_, text, font());
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
    LayOutLine(number_, text(), font());
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
