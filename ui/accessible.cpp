// SPDX-License-Identifier: MIT
// What screen readers are told about the panel's controls, and what their actions do: the same as mouse and keys.
#include "ui/panelwidgets.h"

#include <QAbstractItemView>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QSpinBox>

namespace {

// A name set in the panel file, else what Qt would say (a buddy label's text).
QString LabelOf(const QAccessibleWidget *a)
{
    const QString own = static_cast<const QWidget *>(a->object())->accessibleName();
    return own.isEmpty() ? a->QAccessibleWidget::text(QAccessible::Name) : own;
}

// On Linux Qt names a combo box after its current item, so a screen reader says "DIRECT" where the user needs
// "Output mode". Here the label is the name and the item is the value; its list is the one child, as in Qt's.
class ComboAccessible : public QAccessibleWidget {
public:
    explicit ComboAccessible(QWidget *w) : QAccessibleWidget(w, QAccessible::ComboBox) {}
    QString text(QAccessible::Text t) const override
    {
        switch (t) {
        case QAccessible::Name: return LabelOf(this);
        case QAccessible::Value: return combo()->currentText();
        default: return QAccessibleWidget::text(t);
        }
    }
    int childCount() const override { return 1; }
    QAccessibleInterface *child(int index) const override
    {
        return index == 0 ? QAccessible::queryAccessibleInterface(combo()->view()) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        return child && child->object() == combo()->view() ? 0 : -1;
    }
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.expandable = true;
        s.expanded = combo()->view()->isVisible();
        s.collapsed = !s.expanded;
        return s;
    }
    QStringList actionNames() const override
    {
        return QStringList{showMenuAction(), pressAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString &name) override
    {
        if (name == showMenuAction() || name == pressAction()) {
            if (combo()->view()->isVisible())
                combo()->hidePopup();
            else
                combo()->showPopup();
            return;
        }
        QAccessibleWidget::doAction(name);
    }

private:
    QComboBox *combo() const { return static_cast<QComboBox *>(widget()); }
};

// Qt's own spin box gives no step, so an assistive "increase" may jump by any amount. Here a step is the box's
// own, and Increase, Decrease and a value set from outside go the way the arrow keys go, raising the same events.
class SpinAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit SpinAccessible(QWidget *w) : QAccessibleWidget(w, QAccessible::SpinBox) {}
    void *interface_cast(QAccessible::InterfaceType t) override
    {
        return t == QAccessible::ValueInterface ? static_cast<QAccessibleValueInterface *>(this)
                                                : QAccessibleWidget::interface_cast(t);
    }
    QString text(QAccessible::Text t) const override
    {
        switch (t) {
        case QAccessible::Name: return LabelOf(this);
        case QAccessible::Value: return spin()->text();
        default: return QAccessibleWidget::text(t);
        }
    }
    QVariant currentValue() const override { return spin()->value(); }
    void setCurrentValue(const QVariant &value) override { spin()->setValue(value.toInt()); }
    QVariant maximumValue() const override { return spin()->maximum(); }
    QVariant minimumValue() const override { return spin()->minimum(); }
    QVariant minimumStepSize() const override { return spin()->singleStep(); }
    QStringList actionNames() const override
    {
        return QStringList{increaseAction(), decreaseAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString &name) override
    {
        if (name == increaseAction())
            spin()->stepUp();
        else if (name == decreaseAction())
            spin()->stepDown();
        else
            QAccessibleWidget::doAction(name);
    }

private:
    QSpinBox *spin() const { return static_cast<QSpinBox *>(widget()); }
};

// A lamp reads as a check box that only the program ticks: checked while it is on.
class LedAccessible : public QAccessibleWidget {
public:
    explicit LedAccessible(QWidget *w) : QAccessibleWidget(w, QAccessible::CheckBox) {}
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return led()->value() ? QStringLiteral("on") : QStringLiteral("off");
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.checkable = true;
        s.checked = led()->value() != 0;
        s.readOnly = true;
        s.focusable = false;
        return s;
    }

private:
    Led *led() const { return static_cast<Led *>(widget()); }
};

// The colour plane in words, for those who cannot see it: the label, then the cross and the labelled circles.
// The description stays the control's name, as on every control.
class PlaneAccessible : public QAccessibleWidget {
public:
    explicit PlaneAccessible(QWidget *w) : QAccessibleWidget(w, QAccessible::Chart) {}
    QString text(QAccessible::Text t) const override
    {
        switch (t) {
        case QAccessible::Name: return LabelOf(this) + QStringLiteral(": ") + plane()->describe();
        case QAccessible::Value: return plane()->describe();
        default: return QAccessibleWidget::text(t);
        }
    }

private:
    ColourPlaneGraph *plane() const { return static_cast<ColourPlaneGraph *>(widget()); }
};

} // namespace

QAccessibleInterface *ControlAccessibleFactory(const QString &className, QObject *object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    auto *w = static_cast<QWidget *>(object);
    if (className == QLatin1String("QComboBox"))
        return new ComboAccessible(w);
    if (className == QLatin1String("QSpinBox"))
        return new SpinAccessible(w);
    if (className == QLatin1String("Led"))
        return new LedAccessible(w);
    if (className == QLatin1String("ColourPlaneGraph"))
        return new PlaneAccessible(w);
    return nullptr;
}
