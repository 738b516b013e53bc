// SPDX-License-Identifier: MIT
// User-interface services under the names the program calls, on Qt Widgets and QCustomPlot.
// Supports one panel file format (Qt Designer XML), full-circle arcs only, and no attributes beyond those below.
#pragma once

#include "io/datatypes.h"
#include "io/utility.h"

#include <string>
#include <vector>

// Event kinds delivered to callbacks. Values, states and cursor positions set by the program raise none.
enum {
    EVENT_NONE = 0,
    EVENT_COMMIT = 1,
    EVENT_VAL_CHANGED = 2,
    EVENT_RIGHT_CLICK = 3, // also the keyboard's: the Menu key, Shift+F10, F1; Escape on a graph's movable cross
    EVENT_CLOSE = 4,
};

using CtrlCallbackPtr = int (*)(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
using PanelCallbackPtr = int (*)(int panel, int event, void *callbackData, int eventData1, int eventData2);

// One row of the table through which names written in the panel file are bound to functions.
// Exactly one of ctrl and panel is set.
struct CallbackEntry {
    const char *name;
    CtrlCallbackPtr ctrl;
    PanelCallbackPtr panel;
};

// Control attributes.
enum {
    ATTR_VISIBLE = 1,       // 0/1
    ATTR_ZPLANE_POSITION,   // 0 = in front of its siblings (not those marked alwaysInFront), 100 = behind
    ATTR_TEXT_COLOR,        // 0xRRGGBB
    ATTR_TEXT_BGCOLOR,      // 0xRRGGBB or VAL_TRANSPARENT
    ATTR_TEXT_FONT,         // string; VAL_APP_META_FONT = the application's default font
    ATTR_TEXT_POINT_SIZE,   // points
    ATTR_LEFT,              // pixels from the panel's left edge
    ATTR_TOP,               // pixels from the panel's top edge
    ATTR_FRAME_COLOR,       // background colour of a decoration
    ATTR_POINTS_PER_SCREEN, // strip chart
    ATTR_TOOLTIP_TEXT,      // string
    ATTR_TRACE_VISIBLE,     // SetTraceAttribute only: 0/1
    ATTR_PLOT_LG_TEXT,      // SetPlotAttribute only: string; an arc's label, drawn beside its circle
};

inline constexpr int VAL_TRANSPARENT = 0x1000000;
inline constexpr const char *VAL_APP_META_FONT = "NIApp";

// Control kinds for NewCtrl.
enum { CTRL_TEXT_MSG = 1 };

// Plot arguments. Styles the program does not use are not offered.
enum { VAL_THIN_LINE = 1, VAL_THICK_LINE = 2 };
enum { VAL_SOLID_CIRCLE = 1 };
enum { VAL_SOLID = 1 };
enum { VAL_IMMEDIATE_DRAW = 1, VAL_DELAYED_DRAW = 0 };
enum { VAL_XAXIS = 0, VAL_LEFT_YAXIS = 1 };
enum { VAL_MANUAL = 0, VAL_AUTOSCALE = 1 };

// Cell of a table, both counted from 1.
struct Point {
    int x; // column
    int y; // row
};
inline Point MakePoint(int column, int row)
{
    return Point{column, row};
}

// Brings the toolkit up, or joins an application object that exists already (tests, benchmarks), and
// creates the services' state; every other call needs it. hInstance is a RunTimeArgs* (may be null).
// Returns 1 on success, 0 on failure.
struct RunTimeArgs {
    int argc;
    char **argv;
};
int InitUIRunTime(void *hInstance);
// What the run time needs settled before Qt's application object exists (which event loop it runs). InitUIRunTime
// does it when it makes that object; a program that makes its own calls this first.
void PrepareUIRunTime();

// Binds callback names found in panel files. Must be called before LoadPanel; the table must outlive the panels.
void SetCallbackTable(const CallbackEntry *table, int count);
// The object names of the controls the program addresses, indexed by the identifiers it passes to every
// call (entry 0 unused), and the widget class each must have in the panel file (classes may be null).
// Must be called before LoadPanel; the tables must outlive the panels.
void SetControlNames(const char *const *names, const char *const *classes, int count);

// Loads the panel of fileName whose root carries the property panelNumber = panelNo (relative names are
// looked up in the program's directory). Returns a handle >= 0, or a negative value when the file is missing
// or damaged, the number differs, a widget class is unknown, a callback name is not in the table, or a
// control the program names is absent or of another class.
int LoadPanel(int parentPanel, const char *fileName, int panelNo);
int DisplayPanel(int panel);
int DiscardPanel(int panel);
// Before a control's callback runs (for any event but a right click), the focused numeric input or open
// table editor takes what has been typed into it, so the callback reads what the panel shows.
int RunUserInterface();
// Makes RunUserInterface return once the running callback is done. From now until it has returned the
// panel raises no more events, so nothing queued behind the close starts anything.
int QuitUserInterface(int returnCode);
int ProcessSystemEvents();
// Paints the displays changed since the last frame, if a frame's time (16 ms) has passed; handles no
// events and runs no callbacks. Lets the program draw while it waits for a device.
int DrawPendingDisplays();
// Between these two (they nest), the program calls DrawPendingDisplays at least once in every pass of a loop
// that handles events only between passes (the polling loop), and the displays paint there alone: no timer of
// their own is armed per pass. A modal box opened meanwhile still sees the displays painted.
int BeginDrawingInWaits();
int EndDrawingInWaits();
// Between these two (they nest) the program waits for a device while the event loop goes on with everything but
// the user's input (paints, timers, a screen reader's questions), and no callback runs: an event a control raises
// meanwhile (a screen reader's action, a click sent by a program) is kept and raised, in order, at the first
// handling of events after the wait. The user's own input waits in the window system's queue until then.
int BeginServedWait();
int EndServedWait();
// From now on the first SIGINT, SIGTERM or SIGHUP closes the panel as its window's close button does (the panel
// callback gets EVENT_CLOSE); a second one ends the process at once. A panel < 0 gives the signals back their
// default.
int CloseOnStopSignals(int panel);
// The program's own directory, native separators. Returns 0, or -1 with directory empty when the path does not fit.
int GetProjectDir(char directory[kPathChars]);

int SetCtrlVal(int panel, int control, int value);
int SetCtrlVal(int panel, int control, double value);
// Text is UTF-8; bytes that are not UTF-8 are taken as Latin-1 (a device's own 8-bit text).
int SetCtrlVal(int panel, int control, const char *text);
int GetCtrlVal(int panel, int control, unsigned short *value);
int GetCtrlVal(int panel, int control, int *value);
int GetCtrlVal(int panel, int control, double *value);
int GetCtrlVal(int panel, int control, char *text); // UTF-8, at least 256 bytes, cut at a character

int SetCtrlAttribute(int panel, int control, int attribute, int value);
int SetCtrlAttribute(int panel, int control, int attribute, const char *value);
int GetCtrlAttribute(int panel, int control, int attribute, int *value);
// Gives the control the keyboard focus, activating its window; a hidden, covered or disabled control refuses.
int SetActiveCtrl(int panel, int control);
int GetActiveCtrl(int panel); // the control that has the focus, or 0

// Creates a control on the panel in front of the others; returns its identifier (> 0) or a negative value.
int NewCtrl(int panel, int controlKind, const char *label, int top, int left);

int SetTableCellVal(int panel, int control, Point cell, unsigned short value);
int GetTableCellVal(int panel, int control, Point cell, unsigned short *value);

// Returns a plot handle > 0.
int PlotXY(int panel, int control, const void *xArray, const void *yArray, int numberOfPoints, int xType, int yType,
           int plotStyle, int pointStyle, int lineStyle, int pointFrequency, int color);
// Full circles only (arcLength 3600): the ellipse inscribed in the rectangle (x1, y1)-(x2, y2).
int PlotArc(int panel, int control, double x1, double y1, double x2, double y2, int beginAngle, int arcLength,
            int lineColor, int fillColor);
int DeleteGraphPlot(int panel, int control, int plotHandle, int refresh); // -1 = all plots
int SetAxisScalingMode(int panel, int control, int axis, int mode, double min, double max);
int SetGraphCursor(int panel, int control, int cursor, double x, double y);
int GetGraphCursor(int panel, int control, int cursor, double *x, double *y);
int PlotStripChart(int panel, int control, const void *array, int numberOfPoints, int startingIndex, int skipCount,
                   int dataType);
int SetTraceAttribute(int panel, int control, int trace, int attribute, int value);
// A plot's attribute; only ATTR_PLOT_LG_TEXT on an arc.
int SetPlotAttribute(int panel, int control, int plotHandle, int attribute, const char *value);
int DisplayImageFile(int panel, int control, const char *fileName);

// A modal box with an OK button; returns when it is dismissed.
int MessagePopup(const char *title, const char *message);

// For tests: while a sink is set, popups are appended to it instead of being shown.
struct PopupRecord {
    std::string title;
    std::string text;
};
void SetPopupSink(std::vector<PopupRecord> *sink);
