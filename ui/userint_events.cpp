// SPDX-License-Identifier: MIT
// Events into callbacks: clicks, commits, right clicks and closing the window; the event loop and its end.
#include "ui/panelwidgets.h"
#include "ui/uistate.h"

#include "io/stopsignal.h"

#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QChildEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>

#include <algorithm>
#include <vector>

using namespace uistate;

namespace {

// A number typed but not yet confirmed with Enter is what the panel shows, so it is what a callback must
// read: a shortcut key leaves the focus where it was and would otherwise act on the old value. Text that
// is no number in range is corrected as Enter corrects it.
void CommitFocusedEditor()
{
    QWidget *w = QApplication::focusWidget();
    while (w && !qobject_cast<QAbstractSpinBox *>(w))
        w = w->parentWidget();
    auto *spin = qobject_cast<QAbstractSpinBox *>(w);
    if (!spin)
        return;
    QAbstractItemView *view = nullptr;
    for (QWidget *up = spin->parentWidget(); up && !view; up = up->parentWidget())
        view = qobject_cast<QAbstractItemView *>(up);
    if (!view) {
        spin->interpretText();
        return;
    }
    // A table cell's editor: store its number and close it, so no stale editor can later write over
    // a value the program puts into that cell.
    QAbstractItemDelegate *delegate = view->itemDelegate();
    emit delegate->commitData(spin);
    emit delegate->closeEditor(spin, QAbstractItemDelegate::NoHint);
}

void DeliverHeld();

// Runs the callback of a control (control 0: the panel's own, for EVENT_CLOSE), or keeps the event for later
// while the program waits for a device.
void Raise(int panel, int control, int event)
{
    UiState &ui = Ui();
    // Events queued behind an accepted close belong to a window that is going away.
    if (ui.ending)
        return;
    if (ui.servedWaits > 0) {
        ui.held.push_back({panel, control, event});
        return;
    }
    PanelRec *p = FindPanel(panel);
    if (!p)
        return;
    if (control == 0) {
        if (p->panelCallback)
            p->panelCallback(panel, event, nullptr, 0, 0);
        return;
    }
    auto it = p->callbacks.find(control);
    if (it == p->callbacks.end())
        return;
    if (event != EVENT_RIGHT_CLICK) // a help box reads nothing from the panel
        CommitFocusedEditor();
    it->second(panel, control, event, nullptr, 0, 0);
}

void QueueHeldDelivery()
{
    UiState &ui = Ui();
    if (ui.held.empty() || ui.heldDeliveryQueued)
        return;
    ui.heldDeliveryQueued = true;
    // Posted, so they run where the program handles events next: at the end of a polling pass, or in the loop.
    QMetaObject::invokeMethod(qApp, DeliverHeld, Qt::QueuedConnection);
}

void DeliverHeld()
{
    UiState &ui = Ui();
    ui.heldDeliveryQueued = false;
    // Posted events also run inside a later wait; the events stay kept until it is over (its end posts again).
    if (ui.servedWaits > 0)
        return;
    std::vector<UiState::HeldEvent> due;
    due.swap(ui.held);
    for (std::size_t i = 0; i < due.size(); ++i) {
        Raise(due[i].panel, due[i].control, due[i].event);
        // A callback that waited for a device meanwhile kept what came then; it goes after these.
        if (Ui().servedWaits > 0 || !Ui().held.empty()) {
            Ui().held.insert(Ui().held.begin(), due.begin() + long(i) + 1, due.end());
            QueueHeldDelivery();
            return;
        }
    }
}

class Dispatcher : public QObject {
public:
    Dispatcher(int panel, QObject *parent) : QObject(parent), panel_(panel) {}

    void fire(int control, int event) { Raise(panel_, control, event); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // Paints and the like pass by many times a second: only these kinds concern callbacks.
        switch (event->type()) {
        case QEvent::Close:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseButtonRelease:
        case QEvent::ContextMenu:
        case QEvent::KeyPress: break;
        case QEvent::ChildAdded: {
            // Parts a control makes later (a table cell's editor) pass their events here too.
            QObject *child = static_cast<QChildEvent *>(event)->child();
            const PanelRec *p = FindPanel(panel_);
            if (child->isWidgetType() && p && watched != p->root)
                child->installEventFilter(this);
            return false;
        }
        default: return false;
        }
        PanelRec *p = FindPanel(panel_);
        if (!p)
            return false;
        if (watched == p->root && event->type() == QEvent::Close) {
            // The program decides when the window goes: the panel callback asks the loop to end.
            event->ignore();
            Raise(panel_, 0, EVENT_CLOSE);
            return true;
        }
        const int control = CtrlIdOf(watched);
        if (control == 0 || !p->callbacks.count(control))
            return false;
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            if (static_cast<QMouseEvent *>(event)->button() == Qt::RightButton) {
                if (event->type() == QEvent::MouseButtonPress)
                    fire(control, EVENT_RIGHT_CLICK);
                return true;
            }
            return false;
        case QEvent::MouseButtonRelease: return static_cast<QMouseEvent *>(event)->button() == Qt::RightButton;
        case QEvent::ContextMenu: return true;
        case QEvent::KeyPress: return keyPress(watched, control, *static_cast<QKeyEvent *>(event));
        default: return false;
        }
    }

private:
    bool keyPress(QObject *watched, int control, const QKeyEvent &k)
    {
        const int key = k.key();
        // The keyboard's right click: the Menu key and Shift+F10, and F1 for the help a right click shows.
        // Escape on a graph whose cross the user moves is the way back its right click is.
        const bool plain = (k.modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        const auto *graph = qobject_cast<const ColourPlaneGraph *>(watched);
        if (key == Qt::Key_Menu || (key == Qt::Key_F10 && k.modifiers() == Qt::ShiftModifier) ||
            (key == Qt::Key_F1 && plain) || (key == Qt::Key_Escape && plain && graph && graph->userCursor())) {
            fire(control, EVENT_RIGHT_CLICK);
            return true;
        }
        auto *spin = qobject_cast<QSpinBox *>(watched);
        if (!spin || (key != Qt::Key_Return && key != Qt::Key_Enter))
            return false;
        // Enter commits even an unchanged number: pressing it again is how a user repeats the action.
        const int before = spin->value();
        spin->interpretText();
        if (spin->value() == before)
            fire(control, EVENT_COMMIT);
        return true;
    }

    int panel_;
};

} // namespace

namespace uistate {

QObject *MakeDispatcher(int panel, QWidget *root)
{
    auto *d = new Dispatcher(panel, root);
    root->installEventFilter(d);
    return d;
}

void AttachControl(QObject *dispatcher, int control, QWidget *w)
{
    auto *d = static_cast<Dispatcher *>(dispatcher);
    w->installEventFilter(d);
    for (QWidget *child : w->findChildren<QWidget *>())
        child->installEventFilter(d);
    auto fire = [d, control](int event) { d->fire(control, event); };
    if (auto *b = qobject_cast<QPushButton *>(w)) {
        // Every change of state counts, however it came: a click, the space bar, a screen reader's Toggle.
        if (b->isCheckable())
            QObject::connect(b, &QPushButton::toggled, d, [fire] { fire(EVENT_VAL_CHANGED); });
        else
            QObject::connect(b, &QPushButton::clicked, d, [fire] { fire(EVENT_COMMIT); });
    } else if (auto *r = qobject_cast<QRadioButton *>(w)) {
        QObject::connect(r, &QRadioButton::clicked, d, [fire] { fire(EVENT_COMMIT); });
    } else if (auto *s = qobject_cast<QSpinBox *>(w)) {
        s->setKeyboardTracking(false);
        QObject::connect(s, &QSpinBox::valueChanged, d, [fire] { fire(EVENT_COMMIT); });
    } else if (auto *c = qobject_cast<QComboBox *>(w)) {
        QObject::connect(c, &QComboBox::activated, d, [fire] { fire(EVENT_COMMIT); });
        // A screen reader chooses an item by selecting it in the closed list; that is a choice like a click.
        // While the list is open, selecting is only moving through it: the choice comes with activated.
        QObject::connect(c->view()->selectionModel(), &QItemSelectionModel::selectionChanged, d, [c, fire] {
            const QModelIndexList chosen = c->view()->selectionModel()->selectedIndexes();
            if (c->view()->isVisible() || chosen.size() != 1 || chosen.front().row() == c->currentIndex())
                return;
            {
                const QSignalBlocker quiet(c);
                c->setCurrentIndex(chosen.front().row());
            }
            fire(EVENT_COMMIT);
        });
    } else if (auto *g = qobject_cast<ColourPlaneGraph *>(w)) {
        QObject::connect(g, &ColourPlaneGraph::cursorMovedByUser, d, [fire] { fire(EVENT_VAL_CHANGED); });
    } else if (auto *sl = qobject_cast<NumericSlide *>(w)) {
        QObject::connect(sl->slider(), &QSlider::sliderReleased, d, [fire] { fire(EVENT_COMMIT); });
    }
}

} // namespace uistate

int RunUserInterface()
{
    UiState &ui = Ui();
    if (ui.quitRequested) {
        ui.quitRequested = false;
        ui.ending = false;
        return ui.quitCode;
    }
    QEventLoop loop;
    ui.loop = &loop;
    const int code = loop.exec();
    ui.loop = nullptr;
    ui.quitRequested = false;
    ui.ending = false;
    return code;
}

int QuitUserInterface(int returnCode)
{
    UiState &ui = Ui();
    ui.quitCode = returnCode;
    ui.ending = true;
    if (ui.loop)
        ui.loop->exit(returnCode); // takes effect once the running callback has returned to the loop
    else
        ui.quitRequested = true;
    return 0;
}

int ProcessSystemEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return 0;
}

int CloseOnStopSignals(int panel)
{
    if (panel < 0)
        CallOnStopSignal(nullptr);
    else
        CallOnStopSignal([panel] { Raise(panel, 0, EVENT_CLOSE); });
    return 0;
}

int BeginServedWait()
{
    ++Ui().servedWaits;
    return 0;
}

int EndServedWait()
{
    UiState &ui = Ui();
    ui.servedWaits = std::max(0, ui.servedWaits - 1);
    if (ui.servedWaits == 0)
        QueueHeldDelivery();
    return 0;
}

int DrawPendingDisplays()
{
    FrameGate::DrawIfDue();
    return 0;
}

int BeginDrawingInWaits()
{
    FrameGate::SetDrawnInWaits(true);
    return 0;
}

int EndDrawingInWaits()
{
    FrameGate::SetDrawnInWaits(false);
    return 0;
}
