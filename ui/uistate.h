// SPDX-License-Identifier: MIT
// Private to the user-interface services: the one state record behind one accessor, and helpers they share.
#pragma once

#include "ui/userint.h"

#include <QColor>
#include <QString>

#include <map>
#include <vector>

class QEventLoop;
class QObject;
class QWidget;

namespace uistate {

// Controls made at run time by NewCtrl are numbered from here, above any list a program hands over.
inline constexpr int kFirstNewCtrl = 1000;

struct PanelRec {
    QWidget *root = nullptr;        // the window
    QWidget *canvas = nullptr;      // the panel's face, which scrolls in the window; positions count from its corner
    std::vector<QWidget *> ctrl;    // indexed by control identifier; [0] unused
    std::map<int, QWidget *> extra; // made by NewCtrl
    std::map<int, CtrlCallbackPtr> callbacks;
    PanelCallbackPtr panelCallback = nullptr;
};

struct UiState {
    const CallbackEntry *table = nullptr;
    int tableCount = 0;
    const char *const *ctrlNames = nullptr;   // indexed by identifier; [0] unused
    const char *const *ctrlClasses = nullptr; // likewise; may be null
    int ctrlCount = 0;
    std::map<int, PanelRec> panels;
    int nextPanel = 1;
    int nextNewCtrl = kFirstNewCtrl;
    QEventLoop *loop = nullptr;
    bool quitRequested = false;
    bool ending = false; // the program's end has been asked for; the panel raises no more events
    int quitCode = 0;
    std::vector<PopupRecord> *popupSink = nullptr;
    // BeginServedWait's nesting depth, and the events raised meanwhile: (panel, control, event), control 0 for
    // the panel's own.
    int servedWaits = 0;
    struct HeldEvent {
        int panel;
        int control;
        int event;
    };
    std::vector<HeldEvent> held;
    bool heldDeliveryQueued = false;
};

// Created by InitUIRunTime; asserts when used before.
UiState &Ui();
// Whether the program is inside BeginServedWait; false before the run time is up or after it has gone.
bool InServedWait();

PanelRec *FindPanel(int panel);
// The widget of a control; a panel or identifier the program never had is a programming error.
QWidget *Widget(int panel, int control);

// Name of the dynamic property that marks a widget with its control identifier.
inline constexpr const char *kCtrlIdProperty = "quillexCtrlId";
// Control identifier of a widget or of the control it is part of; 0 for none.
int CtrlIdOf(const QObject *o);

QColor ToColor(int rgb);
int FromColor(const QColor &c);
// A file name as given, or relative to the program's directory.
QString ProgramPath(const char *fileName);
// Text the program hands over: UTF-8 (its own words, file paths), or Latin-1 where the bytes are not UTF-8
// (what a device sends in its own 8-bit code).
QString TextFromProgram(const char *text);

// Event dispatch (userint_events.cpp): turns the panel's widget events into callbacks.
QObject *MakeDispatcher(int panel, QWidget *root);
void AttachControl(QObject *dispatcher, int control, QWidget *w);
// Values (userint_values.cpp): readies a control for the program's values (codes, cell editors, plain text).
void PrepareControl(QWidget *w);
// Attributes (userint_attrs.cpp): a control behind a visible sibling that covers it takes no keyboard focus.
// Run whenever stacking or visibility among the siblings changes.
void KeepFocusOffCovered(QWidget *parent);

} // namespace uistate
