// SPDX-License-Identifier: MIT
// The frame pace of redraws: displays changed many times a second paint at most once a frame.
#include "ui/panelwidgets.h"

#include <QElapsedTimer>
#include <QRegion>
#include <QTimer>

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

// Owned by the application object, so it outlives every widget; none exists before the run time is up.
Gate *gate = nullptr;

} // namespace

void Install(QObject *application)
{
    if (gate)
        return;
    gate = new Gate;
    gate->setParent(application);
    QObject::connect(gate, &QObject::destroyed, [] { gate = nullptr; });
}

void Defer(QObject *owner, int slot, std::function<void()> redraw)
{
    if (!gate) {
        redraw();
        return;
    }
    Gate &g = *gate;
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
    if (!gate)
        return;
    Gate &g = *gate;
    if (!g.pending.empty() && g.sinceLast.elapsed() >= kFrameMs)
        g.flush(true);
}

} // namespace FrameGate
