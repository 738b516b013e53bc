// SPDX-License-Identifier: MIT
// Values of controls and table cells, set by the program (raising no events) and read back.
#include "ui/panelwidgets.h"
#include "ui/uistate.h"

#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QSpinBox>
#include <QStyledItemDelegate>
#include <QTableWidget>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

using namespace uistate;

namespace {

// Table cells hold unsigned 16-bit numbers; the editor refuses anything else.
class U16Delegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &, const QModelIndex &) const override
    {
        auto *s = new QSpinBox(parent);
        s->setRange(0, 65535);
        s->setButtonSymbols(QAbstractSpinBox::NoButtons);
        s->setFrame(false);
        return s;
    }
    void setEditorData(QWidget *editor, const QModelIndex &index) const override
    {
        static_cast<QSpinBox *>(editor)->setValue(index.data().toString().toInt());
    }
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override
    {
        auto *s = static_cast<QSpinBox *>(editor);
        s->interpretText();
        model->setData(index, QString::number(s->value()));
    }

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        // Tab leaves the table from a cell being edited too: the number is kept, the editor closed, and the
        // table passes the key on as it does when no cell is open.
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent *>(event)->key();
            auto *editor = qobject_cast<QWidget *>(object);
            QWidget *view = editor ? editor->parentWidget() : nullptr;
            while (view && !qobject_cast<QAbstractItemView *>(view))
                view = view->parentWidget();
            if (view && (key == Qt::Key_Tab || key == Qt::Key_Backtab)) {
                emit commitData(editor);
                emit closeEditor(editor, QAbstractItemDelegate::NoHint);
                QKeyEvent again(QEvent::KeyPress, key, static_cast<QKeyEvent *>(event)->modifiers());
                QCoreApplication::sendEvent(view, &again);
                return true;
            }
        }
        return QStyledItemDelegate::eventFilter(object, event);
    }
};

// Tab and Shift+Tab leave a table (the arrows move between its cells), and Ctrl+Tab does as well, as it does
// out of any control that keeps Tab for itself. A table that has lost the keyboard has no current cell, so
// a screen reader does not go on calling a cell focused; it gets its cell back when the keyboard returns.
class TableKeys : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        auto *view = static_cast<QAbstractItemView *>(object);
        switch (event->type()) {
        case QEvent::KeyPress: {
            auto *k = static_cast<QKeyEvent *>(event);
            if ((k->key() == Qt::Key_Tab || k->key() == Qt::Key_Backtab) && (k->modifiers() & Qt::ControlModifier)) {
                QKeyEvent plain(QEvent::KeyPress, k->key(), k->modifiers() & ~Qt::ControlModifier);
                QCoreApplication::sendEvent(view, &plain);
                return true;
            }
            return false;
        }
        case QEvent::FocusOut: {
            const QWidget *now = QApplication::focusWidget();
            // An open cell editor is still the table.
            if (now && view->isAncestorOf(now))
                return false;
            if (view->currentIndex().isValid()) {
                left_ = view->currentIndex();
                view->selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
            }
            return false;
        }
        case QEvent::FocusIn:
            if (!view->currentIndex().isValid() && left_.isValid())
                view->selectionModel()->setCurrentIndex(left_, QItemSelectionModel::NoUpdate);
            return false;
        default: return false;
        }
    }

private:
    QPersistentModelIndex left_;
};

// The closed list shows the chosen item as selected, as a screen reader reads it.
void SelectInList(QComboBox *c)
{
    QItemSelectionModel *selection = c->view()->selectionModel();
    const QSignalBlocker quiet(selection);
    selection->select(c->model()->index(c->currentIndex(), c->modelColumn()), QItemSelectionModel::ClearAndSelect);
}

// A combo box's list keeps a current item only while it is open: closed, no item of it has the keyboard, and
// the item it shows as selected is the one chosen. The list hides before the combo box takes the item the
// user chose from it (by click or Enter), so it is let go only once that has been taken.
class ComboListKeys : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        (void)object;
        if (event->type() == QEvent::Hide)
            QMetaObject::invokeMethod(
                this, [this] { letGo(); }, Qt::QueuedConnection);
        return false;
    }

private:
    void letGo()
    {
        auto *combo = static_cast<QComboBox *>(parent());
        QAbstractItemView *view = combo->view();
        if (view->isVisible()) // opened again meanwhile
            return;
        {
            const QSignalBlocker quiet(view->selectionModel());
            view->selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
        }
        // Moving through the list and leaving it with Escape chose nothing.
        SelectInList(combo);
    }
};

int ReadInt(QWidget *w, bool *ok)
{
    *ok = true;
    if (auto *n = qobject_cast<NumDisplay *>(w))
        return n->value();
    if (auto *s = qobject_cast<QSpinBox *>(w))
        return s->value();
    if (auto *b = qobject_cast<QAbstractButton *>(w))
        return b->isChecked() ? 1 : 0;
    if (auto *c = qobject_cast<QComboBox *>(w)) {
        const QVariant data = c->currentData();
        return data.isValid() ? data.toInt() : c->currentIndex();
    }
    if (auto *l = qobject_cast<Led *>(w))
        return l->value();
    if (auto *sl = qobject_cast<NumericSlide *>(w))
        return sl->value();
    if (auto *bar = qobject_cast<ColourBar *>(w))
        return bar->value();
    if (auto *lb = qobject_cast<QLabel *>(w))
        return lb->text().toInt(ok);
    *ok = false;
    return 0;
}

// A two-choice selector keeps the codes of its items in a property, so values pass through unchanged.
void SetupCodes(QComboBox *c)
{
    const QStringList codes = c->property("codes").toString().split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (int i = 0; i < codes.size() && i < c->count(); ++i)
        c->setItemData(i, codes[i].trimmed().toInt());
}

void SetComboValue(QComboBox *c, int value)
{
    if (!c->itemData(0).isValid()) {
        if (value >= 0 && value < c->count())
            c->setCurrentIndex(value);
        SelectInList(c);
        return;
    }
    int i = c->findData(value);
    if (i < 0) {
        // A code the panel does not know must survive the next send unchanged.
        c->addItem(QStringLiteral("code %1").arg(value), value);
        i = c->count() - 1;
    }
    c->setCurrentIndex(i);
    SelectInList(c);
}

} // namespace

namespace uistate {

void PrepareControl(QWidget *w)
{
    if (auto *c = qobject_cast<QComboBox *>(w)) {
        SetupCodes(c);
        c->view()->window()->installEventFilter(new ComboListKeys(c));
        SelectInList(c);
    }
    if (auto *t = qobject_cast<QTableWidget *>(w)) {
        t->setItemDelegate(new U16Delegate(t));
        t->setTabKeyNavigation(false);
        t->installEventFilter(new TableKeys(t));
    }
    if (auto *sl = qobject_cast<NumericSlide *>(w)) {
        // The slide itself takes the keyboard, so it is what a screen reader announces: it carries the names.
        sl->slider()->setAccessibleName(sl->accessibleName());
        sl->slider()->setAccessibleDescription(sl->accessibleDescription());
    }
    if (auto *l = qobject_cast<QLabel *>(w); l && !qobject_cast<NumDisplay *>(w))
        l->setTextFormat(Qt::PlainText);
}

} // namespace uistate

int SetCtrlVal(int panel, int control, int value)
{
    QWidget *w = Widget(panel, control);
    if (!w)
        return -1;
    const QSignalBlocker block(w);
    if (auto *n = qobject_cast<NumDisplay *>(w)) {
        n->setValue(value);
    } else if (auto *s = qobject_cast<QSpinBox *>(w))
        s->setValue(value);
    else if (auto *b = qobject_cast<QAbstractButton *>(w))
        b->setChecked(value != 0);
    else if (auto *c = qobject_cast<QComboBox *>(w))
        SetComboValue(c, value);
    else if (auto *l = qobject_cast<Led *>(w))
        l->setValue(value);
    else if (auto *sl = qobject_cast<NumericSlide *>(w)) {
        const QSignalBlocker inner(sl->slider());
        sl->setValue(value);
    } else if (auto *bar = qobject_cast<ColourBar *>(w)) {
        bar->setValue(value);
    } else if (auto *lb = qobject_cast<QLabel *>(w))
        lb->setText(QString::number(value));
    else
        return -1;
    return 0;
}

int SetCtrlVal(int panel, int control, double value)
{
    return SetCtrlVal(panel, control, static_cast<int>(std::lround(value)));
}

int SetCtrlVal(int panel, int control, const char *text)
{
    auto *l = qobject_cast<QLabel *>(Widget(panel, control));
    if (!l)
        return -1;
    // Text from outside (devices, file names) must never be taken for markup.
    l->setTextFormat(Qt::PlainText);
    l->setText(TextFromProgram(text));
    SpeakShownText(l, l->text());
    if (l->property("autoSize").toBool())
        l->adjustSize();
    // Status texts often precede a wait that handles no events; draw them now so the user sees them.
    if (l->isVisible())
        l->repaint();
    return 0;
}

int GetCtrlVal(int panel, int control, unsigned short *value)
{
    int v = 0;
    const int r = GetCtrlVal(panel, control, &v);
    if (r >= 0)
        *value = static_cast<unsigned short>(std::clamp(v, 0, 65535));
    return r;
}

int GetCtrlVal(int panel, int control, int *value)
{
    QWidget *w = Widget(panel, control);
    if (!w)
        return -1;
    bool ok = false;
    const int v = ReadInt(w, &ok);
    if (!ok)
        return -1;
    *value = v;
    return 0;
}

int GetCtrlVal(int panel, int control, double *value)
{
    int v = 0;
    const int r = GetCtrlVal(panel, control, &v);
    if (r >= 0)
        *value = v;
    return r;
}

int GetCtrlVal(int panel, int control, char *text)
{
    auto *l = qobject_cast<QLabel *>(Widget(panel, control));
    if (!l)
        return -1;
    // Cut before a character that does not fit whole: half a UTF-8 sequence would make the text Latin-1 when
    // it is set again.
    constexpr int kTextCapacity = 256;
    QByteArray bytes = l->text().toUtf8();
    if (bytes.size() >= kTextCapacity) {
        int end = kTextCapacity - 1;
        while (end > 0 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80)
            --end;
        bytes.truncate(end);
    }
    std::memcpy(text, bytes.constData(), size_t(bytes.size()) + 1);
    return 0;
}

int SetTableCellVal(int panel, int control, Point cell, unsigned short value)
{
    auto *t = qobject_cast<QTableWidget *>(Widget(panel, control));
    if (!t || cell.y < 1 || cell.y > t->rowCount() || cell.x < 1 || cell.x > t->columnCount())
        return -1;
    const QSignalBlocker block(t);
    QTableWidgetItem *item = t->item(cell.y - 1, cell.x - 1);
    if (!item) {
        item = new QTableWidgetItem;
        item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        t->setItem(cell.y - 1, cell.x - 1, item);
    }
    item->setText(QString::number(value));
    return 0;
}

int GetTableCellVal(int panel, int control, Point cell, unsigned short *value)
{
    auto *t = qobject_cast<QTableWidget *>(Widget(panel, control));
    if (!t || cell.y < 1 || cell.y > t->rowCount() || cell.x < 1 || cell.x > t->columnCount())
        return -1;
    const QTableWidgetItem *item = t->item(cell.y - 1, cell.x - 1);
    const int v = item ? item->text().trimmed().toInt() : 0;
    *value = static_cast<unsigned short>(std::clamp(v, 0, 65535));
    return 0;
}
