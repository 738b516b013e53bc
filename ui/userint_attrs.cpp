// SPDX-License-Identifier: MIT
// Attributes of controls (visibility, stacking, colours, fonts, position, tool tips) and captions made at run time.
#include "ui/panelwidgets.h"
#include "ui/uistate.h"

#include <QApplication>
#include <QLabel>

#include <algorithm>
#include <cstring>

using namespace uistate;

namespace uistate {

// Tab would reach a covered control and keys would act on something nobody sees. Uncovered again, it takes
// focus as its panel file says. A covered graph is not drawn until it is uncovered.
void KeepFocusOffCovered(QWidget *parent)
{
    const char *const ownPolicy = "focusPolicyUncovered";
    const QObjectList &kids = parent->children(); // back to front
    for (int i = 0; i < kids.size(); ++i) {
        auto *w = qobject_cast<QWidget *>(kids[i]);
        if (!w || w->isWindow())
            continue;
        bool covered = false;
        for (int j = i + 1; j < kids.size() && !covered; ++j) {
            const auto *above = qobject_cast<QWidget *>(kids[j]);
            covered = above && !above->isWindow() && !above->isHidden() && above->geometry().contains(w->geometry());
        }
        if (auto *plot = qobject_cast<ScopePlot *>(w))
            plot->setCovered(covered);
        if (covered) {
            if (!w->property(ownPolicy).isValid())
                w->setProperty(ownPolicy, static_cast<int>(w->focusPolicy()));
            if (w->hasFocus())
                w->clearFocus();
            w->setFocusPolicy(Qt::NoFocus);
        } else if (const QVariant policy = w->property(ownPolicy); policy.isValid()) {
            w->setFocusPolicy(static_cast<Qt::FocusPolicy>(policy.toInt()));
            w->setProperty(ownPolicy, QVariant());
        }
    }
}

} // namespace uistate

namespace {

void SetZPlane(QWidget *w, int value)
{
    w->setProperty("zplane", value);
    if (value <= 0) {
        w->raise();
        // Controls the panel file keeps in front stay there: z-plane positions order the others.
        for (QObject *o : w->parentWidget()->children())
            if (auto *s = qobject_cast<QWidget *>(o); s && s != w && s->property("alwaysInFront").toBool())
                s->raise();
    } else {
        w->lower();
    }
    KeepFocusOffCovered(w->parentWidget());
}

void SetTextColour(QWidget *w, int rgb)
{
    QPalette pal = w->palette();
    pal.setColor(QPalette::WindowText, ToColor(rgb));
    pal.setColor(QPalette::Text, ToColor(rgb));
    w->setPalette(pal);
}

void SetBackground(QWidget *w, int rgb)
{
    if (rgb & VAL_TRANSPARENT) {
        w->setAutoFillBackground(false);
        return;
    }
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, ToColor(rgb));
    pal.setColor(QPalette::Base, ToColor(rgb));
    w->setPalette(pal);
    w->setAutoFillBackground(true);
}

void SetPointSize(QWidget *w, int points)
{
    QFont f = w->font();
    f.setPointSize(std::max(1, points));
    w->setFont(f);
    if (w->property("autoSize").toBool())
        w->adjustSize();
}

// Positions count from the panel's corner, whatever group box the control sits in.
void MoveInPanel(QWidget *w, QWidget *face, int attribute, int value)
{
    const QPoint inPanel = w->parentWidget()->mapTo(face, w->pos());
    const QPoint target = attribute == ATTR_LEFT ? QPoint(value, inPanel.y()) : QPoint(inPanel.x(), value);
    w->move(w->parentWidget()->mapFrom(face, target));
}

} // namespace

int SetCtrlAttribute(int panel, int control, int attribute, int value)
{
    QWidget *w = Widget(panel, control);
    PanelRec *p = FindPanel(panel);
    if (!w || !p)
        return -1;
    switch (attribute) {
    case ATTR_VISIBLE:
        w->setVisible(value != 0);
        KeepFocusOffCovered(w->parentWidget());
        return 0;
    case ATTR_ZPLANE_POSITION: SetZPlane(w, value); return 0;
    case ATTR_TEXT_COLOR: SetTextColour(w, value); return 0;
    case ATTR_TEXT_BGCOLOR:
    case ATTR_FRAME_COLOR: SetBackground(w, value); return 0;
    case ATTR_TEXT_POINT_SIZE: SetPointSize(w, value); return 0;
    case ATTR_LEFT:
    case ATTR_TOP: MoveInPanel(w, p->canvas, attribute, value); return 0;
    case ATTR_POINTS_PER_SCREEN:
        if (auto *s = qobject_cast<StripChart *>(w)) {
            if (s->pointsPerScreen() != value)
                s->setPointsPerScreen(value);
            return 0;
        }
        return -1;
    default: return -1;
    }
}

int SetCtrlAttribute(int panel, int control, int attribute, const char *value)
{
    QWidget *w = Widget(panel, control);
    if (!w)
        return -1;
    switch (attribute) {
    case ATTR_TEXT_FONT: {
        QFont f = w->font();
        if (std::strcmp(value, VAL_APP_META_FONT) == 0)
            f.setFamily(QApplication::font().family());
        else
            f.setFamily(QString::fromLatin1(value));
        w->setFont(f);
        if (w->property("autoSize").toBool())
            w->adjustSize();
        return 0;
    }
    case ATTR_TOOLTIP_TEXT: w->setToolTip(QString::fromLocal8Bit(value).toHtmlEscaped()); return 0;
    default: return -1;
    }
}

int GetCtrlAttribute(int panel, int control, int attribute, int *value)
{
    QWidget *w = Widget(panel, control);
    PanelRec *p = FindPanel(panel);
    if (!w || !p)
        return -1;
    switch (attribute) {
    case ATTR_VISIBLE: *value = w->isHidden() ? 0 : 1; return 0;
    case ATTR_ZPLANE_POSITION: *value = w->property("zplane").toInt(); return 0;
    case ATTR_TEXT_COLOR: *value = FromColor(w->palette().color(QPalette::WindowText)); return 0;
    case ATTR_TEXT_BGCOLOR:
    case ATTR_FRAME_COLOR:
        *value = w->autoFillBackground() ? FromColor(w->palette().color(QPalette::Window)) : VAL_TRANSPARENT;
        return 0;
    case ATTR_TEXT_POINT_SIZE: *value = w->font().pointSize(); return 0;
    case ATTR_LEFT: *value = w->parentWidget()->mapTo(p->canvas, w->pos()).x(); return 0;
    case ATTR_TOP: *value = w->parentWidget()->mapTo(p->canvas, w->pos()).y(); return 0;
    case ATTR_POINTS_PER_SCREEN:
        if (auto *s = qobject_cast<StripChart *>(w)) {
            *value = s->pointsPerScreen();
            return 0;
        }
        return -1;
    default: return -1;
    }
}

int SetActiveCtrl(int panel, int control)
{
    QWidget *w = Widget(panel, control);
    if (!w)
        return -1;
    const QWidget *taker = w; // a slide takes the keyboard through its inner part
    while (taker->focusProxy())
        taker = taker->focusProxy();
    if (taker->focusPolicy() == Qt::NoFocus || !w->isEnabled() || w->isHidden())
        return -1;
    w->window()->activateWindow();
    w->setFocus(Qt::OtherFocusReason);
    return 0;
}

int GetActiveCtrl(int panel)
{
    PanelRec *p = FindPanel(panel);
    QWidget *focus = QApplication::focusWidget();
    if (!p || !focus || focus->window() != p->root)
        return 0;
    return CtrlIdOf(focus);
}

int NewCtrl(int panel, int controlKind, const char *label, int top, int left)
{
    PanelRec *p = FindPanel(panel);
    if (!p || controlKind != CTRL_TEXT_MSG)
        return -1;
    auto *l = new QLabel(p->canvas);
    l->setTextFormat(Qt::PlainText);
    l->setText(TextFromProgram(label));
    l->setProperty("autoSize", true);
    l->move(left, top);
    l->adjustSize();
    l->show();
    l->raise();
    const int id = Ui().nextNewCtrl++;
    p->extra[id] = l;
    return id;
}
