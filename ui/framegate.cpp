// SPDX-License-Identifier: MIT
// The pace of redraws: displays changed many times a second paint at most once a frame, and tell screen
// readers what they show a few times a second.
#include "ui/panelwidgets.h"
#include "ui/uistate.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <set>

namespace FrameGate {
namespace {

struct Gate : QObject {
    std::map<std::pair<QObject *, int>, std::function<void()>> pending;
    // Owners whose destruction drops their pending redraws.
    std::set<QObject *> watched;
    QTimer timer;
    QElapsedTimer sinceLast;
    const int periodMs;
    int drawnInWaits = 0; // nesting depth of SetDrawnInWaits(true)

    explicit Gate(int period) : periodMs(period)
    {
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, this, [this] { flush(); });
        sinceLast.start();
    }

    void defer(QObject *owner, int slot, std::function<void()> redraw)
    {
        const auto key = std::make_pair(owner, slot);
        auto it = pending.find(key);
        if (it != pending.end()) {
            it->second = std::move(redraw);
        } else {
            pending.emplace(key, std::move(redraw));
            if (watched.insert(owner).second) {
                QObject::connect(owner, &QObject::destroyed, this, [this, owner] {
                    watched.erase(owner);
                    for (auto i = pending.begin(); i != pending.end();)
                        i = i->first.first == owner ? pending.erase(i) : std::next(i);
                });
            }
        }
        // A full period from now, never at once: while polling, the next reply wait (DrawIfDue) is the
        // cheaper moment to paint, as the line is busy anyway. A loop that paints in each of its waits needs no
        // timer at all: arming and stopping it on every pass would be set-up work per pass.
        if (!drawnInWaits)
            arm();
    }

    void arm()
    {
        if (!pending.empty() && !timer.isActive())
            timer.start(periodMs);
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
        // The redraws marked what changed; one paint of each window covers exactly that, with one flush
        // to the screen: painting each display on its own costs a flush each.
        std::set<QWidget *> windows;
        for (auto &[key, redraw] : due)
            if (auto *w = qobject_cast<QWidget *>(key.first); w && w->isVisible())
                windows.insert(w->window());
        for (QWidget *window : windows)
            QCoreApplication::sendPostedEvents(window, QEvent::UpdateRequest);
    }
};

// Owned by the application object, so they outlive every widget; none exists before the run time is up.
Gate *frames = nullptr;
Gate *spoken = nullptr;

void Run(Gate *g, QObject *owner, int slot, std::function<void()> redraw)
{
    if (!g)
        redraw();
    else
        g->defer(owner, slot, std::move(redraw));
}

} // namespace

void Install(QObject *application)
{
    if (frames)
        return;
    frames = new Gate(kFrameMs);
    frames->setParent(application);
    QObject::connect(frames, &QObject::destroyed, [] { frames = nullptr; });
    spoken = new Gate(kSpokenMs);
    spoken->setParent(application);
    QObject::connect(spoken, &QObject::destroyed, [] { spoken = nullptr; });
    // An event loop that is about to sleep (a modal box opened from inside the polling loop) runs no reply
    // waits: the timer paints what is left. The loop of a reply wait itself does paint in its own calls.
    if (auto *dispatcher = QAbstractEventDispatcher::instance())
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, frames, [] {
            for (Gate *g : {frames, spoken})
                if (g && (!g->drawnInWaits || !uistate::InServedWait()))
                    g->arm();
        });
}

void SetDrawnInWaits(bool on)
{
    // What screen readers are told goes out in the same waits as the paints, so a polling pass wakes no more often
    // for it, and at a fixed point of the pass rather than whenever a timer of its own falls due.
    for (Gate *g : {frames, spoken}) {
        if (!g)
            continue;
        g->drawnInWaits = std::max(0, g->drawnInWaits + (on ? 1 : -1));
        if (!g->drawnInWaits)
            g->arm();
    }
}

void Defer(QObject *owner, int slot, std::function<void()> redraw)
{
    Run(frames, owner, slot, std::move(redraw));
}

void DeferSpoken(QObject *owner, std::function<void()> tell)
{
    Run(spoken, owner, 0, std::move(tell));
}

void DrawIfDue()
{
    if (frames && !frames->pending.empty() && frames->sinceLast.elapsed() >= kFrameMs)
        frames->flush(true);
    if (spoken && spoken->drawnInWaits && !spoken->pending.empty() && spoken->sinceLast.elapsed() >= kSpokenMs)
        spoken->flush();
}

} // namespace FrameGate
