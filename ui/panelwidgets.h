// SPDX-License-Identifier: MIT
// Widget classes of our own that panel files may name: LED, numeric display, slide, colour-plane graph, strip chart.
#pragma once

#include <QLabel>
#include <QSlider>
#include <QTextLayout>
#include <QWidget>

#include <qcustomplot.h>

#include <functional>
#include <map>
#include <utility>
#include <vector>

class QCPItemStraightLine;
class QCPItemText;

// Paces the redraws of displays that the polling loop changes many times a second: values change at
// once, their pixels at most once a frame. Each (object, slot) keeps only its latest redraw.
namespace FrameGate {
inline constexpr int kFrameMs = 16;
// What a display tells screen readers (its accessible name) follows its value four times a second: each
// change of a name is a message to every listening assistive tool.
inline constexpr int kSpokenMs = 250;
// Brings the gates up, owned by the application object; before that, redraws run at once.
void Install(QObject *application);
void Defer(QObject *owner, int slot, std::function<void()> redraw);
// At most once per kSpokenMs for each owner, the latest call.
void DeferSpoken(QObject *owner, std::function<void()> tell);
// Runs the pending redraws now and paints them at once, if a frame's time has passed since the last.
void DrawIfDue();
// While on (calls nest), a loop calls DrawIfDue at least once per pass and the redraws wait for it instead of a
// timer; an event loop that blocks meanwhile gets the timer back. Off: the timer paints whatever is left.
void SetDrawnInWaits(bool on);
} // namespace FrameGate

// A round lamp that is on (1) or off (0).
class Led : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QColor onColor READ onColor WRITE setOnColor)
public:
    explicit Led(QWidget *parent = nullptr);
    int value() const { return on_; }
    void setValue(int on);
    QColor onColor() const { return onColor_; }
    void setOnColor(const QColor &c);
    QSize sizeHint() const override { return {24, 24}; }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    int on_ = 0;
    QColor onColor_{0x20, 0xd0, 0x20};
};

// Displays the program writes say what they show in their accessible name ("Status: TIMEOUT"), so a
// screen reader reads the value along with the label; the label itself stays at the front.
void SpeakShownText(QWidget *w, const QString &shown);

// Lets screen readers see our own widgets as the standard ones they stand for (a bar as a progress bar), and
// gives combo boxes, spin boxes, lamps and colour planes what Qt leaves out (ControlAccessibleFactory).
void InstallWidgetAccessibility();
class QAccessibleInterface;
QAccessibleInterface *ControlAccessibleFactory(const QString &className, QObject *object);

// A horizontal colour bar with its number in the middle; repaints at the frame pace.
class ColourBar : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int minimum READ minimum WRITE setMinimum)
    Q_PROPERTY(int maximum READ maximum WRITE setMaximum)
    Q_PROPERTY(int value READ value WRITE setValue)
    Q_PROPERTY(QColor color READ color WRITE setColor)
public:
    explicit ColourBar(QWidget *parent = nullptr);
    int minimum() const { return minimum_; }
    int maximum() const { return maximum_; }
    int value() const { return value_; }
    QColor color() const { return color_; }
    void setMinimum(int v);
    void setMaximum(int v);
    void setValue(int v);
    void setColor(const QColor &c);

protected:
    void paintEvent(QPaintEvent *) override;

private:
    int minimum_ = 0;
    int maximum_ = 100;
    int value_ = 0;
    QColor color_{0x40, 0x40, 0x40};
    QTextLayout number_; // the number laid out once, drawn in two colours
};

// A read-only number whose text and background colours the program may set; its text follows the
// value at the frame pace.
class NumDisplay : public QLabel {
    Q_OBJECT
public:
    explicit NumDisplay(QWidget *parent = nullptr);
    int value() const { return value_; }
    void setValue(int v);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int value_ = 0;
    QTextLayout number_; // the text laid out once per change
};

// A horizontal slide with its value shown beside it. A value set by the program outside the slide's range
// is kept as it is (the slide stands at its end, the number is marked) until the user moves the slide.
class NumericSlide : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int minimum READ minimum WRITE setMinimum)
    Q_PROPERTY(int maximum READ maximum WRITE setMaximum)
    Q_PROPERTY(int value READ value WRITE setValue)
public:
    explicit NumericSlide(QWidget *parent = nullptr);
    int minimum() const;
    int maximum() const;
    int value() const;
    void setMinimum(int v);
    void setMaximum(int v);
    void setValue(int v);
    QSlider *slider() const { return slider_; }

private:
    void takeSliderValue();
    void showValue();
    QSlider *slider_;
    QLabel *label_;
    int value_ = 0;
    bool settingSlider_ = false;
};

// Base for our QCustomPlot graphs. Redraws are coalesced into the next frame, and a graph nobody can see
// (hidden, its window not shown, or covered by a sibling in front) is not drawn until it can be seen; it
// is then drawn at once, as it would have been. What changes with every measurement lives on the "live"
// layer, which is painted straight onto the widget between the plots and the axes instead of into a
// buffer of its own: a new measurement repaints the pixels it touches, and every repaint blends two
// full-size buffers, not four.
class ScopePlot : public QCustomPlot {
    Q_OBJECT
public:
    explicit ScopePlot(QWidget *parent = nullptr);
    // A full redraw (layout, plots and axes into the buffers) at the next frame; one for many requests.
    void requestReplot();
    // A full redraw now, or as soon as the graph can be seen.
    void replotNow();
    // Set by the panel when a sibling in front covers the graph entirely.
    void setCovered(bool covered);
    bool covered() const { return covered_; }
    bool canBeSeen() const { return isVisible() && !covered_; }
    // A full redraw is owed for the moment the graph can be seen again.
    bool replotOwed() const { return replotOwed_; }
    // Whether it keeps its drawing in buffers; one hidden or covered keeps none.
    bool holdsBuffers() const { return !mPaintBuffers.isEmpty(); }

protected:
    // Each graph keeps one pending redraw of each kind per frame.
    enum FrameSlot { kReplotSlot, kLiveSlot };
    QCPLayer *liveLayer() const { return liveLayer_; }
    // Paints the live layer's contents within area (the bounding rectangle of what is being painted);
    // called by paintEvent between the two buffers.
    virtual void drawLive(QCPPainter *painter, const QRect &area) = 0;
    // Runs just before a full redraw owed while the graph could not be seen.
    virtual void beforeOwedReplot() {}
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void payOwedReplot();
    void releaseBuffers();
    // The inside of the plot where the axes' buffer has no pixel; found after every full redraw.
    void findAxesClear();
    QRect axesClear_;
    QCPLayer *liveLayer_ = nullptr;
    bool covered_ = false;
    bool replotOwed_ = false;
};

// The X/Y colour plane with one cursor (a cross). Both axes keep one scale (a square plotting area), so circles
// stay round. With userCursor set, the mouse and the arrow keys move the cross: an arrow key by keyStep axis units
// (0: one screen pixel), ten times that with Shift, each key one move; a drag carries the cross along and counts
// as one move, when the button is let go. Such a graph shows the cross's X and Y, and a frame while it has the
// keyboard. The panel file gives the axes' upper ends (xMax, yMax; both start at 0) and where the cross starts
// (cursorX, cursorY).
class ColourPlaneGraph : public ScopePlot {
    Q_OBJECT
    Q_PROPERTY(bool userCursor READ userCursor WRITE setUserCursor)
    Q_PROPERTY(double keyStep READ keyStep WRITE setKeyStep)
    Q_PROPERTY(double xMax READ xMax WRITE setXMax)
    Q_PROPERTY(double yMax READ yMax WRITE setYMax)
    Q_PROPERTY(double cursorX READ cursorX WRITE setCursorX)
    Q_PROPERTY(double cursorY READ cursorY WRITE setCursorY)
public:
    explicit ColourPlaneGraph(QWidget *parent = nullptr);
    double xMax() const { return xAxis->range().upper; }
    double yMax() const { return yAxis->range().upper; }
    void setXMax(double v);
    void setYMax(double v);
    bool userCursor() const { return userCursor_; }
    void setUserCursor(bool on);
    double keyStep() const { return keyStep_; }
    void setKeyStep(double step) { keyStep_ = step; }
    double cursorX() const { return cursor_.x(); }
    double cursorY() const { return cursor_.y(); }
    void setCursorX(double x) { setCursorPos(x, cursor_.y()); }
    void setCursorY(double y) { setCursorPos(cursor_.x(), y); }

    // pointStyle VAL_SOLID_CIRCLE puts a disc on every pointFrequency-th point (0: none).
    int plotXY(const std::vector<double> &x, const std::vector<double> &y, int style, int pointStyle,
               int pointFrequency, int color);
    int plotArc(double x1, double y1, double x2, double y2, int lineColor, int fillColor);
    // A label beside the circle of an arc, at its upper right; false for a handle that is no arc.
    bool setArcLabel(int handle, const QString &text);
    void deletePlot(int handle); // -1 = all
    void setCursorPos(double x, double y);
    QPointF cursorPos() const { return cursor_; }
    // What the graph shows, in words: the cross and the labelled circles.
    QString describe() const;
    // What the box in the plot's corner shows: the cross's X and Y ("" where the user cannot move the cross).
    QString readout() const;

    // One plot: a plottable (PlotXY) or an item (PlotArc) with its label, if any. The map's order is the drawing
    // order.
    struct PlotItem {
        QCPAbstractPlottable *plottable = nullptr;
        QCPAbstractItem *item = nullptr;
        QCPItemText *label = nullptr;
    };
    const std::map<int, PlotItem> &plots() const { return plots_; }

signals:
    // Only for moves made by the user.
    void cursorMovedByUser();

protected:
    void mousePressEvent(QMouseEvent *e) override;
    void mouseMoveEvent(QMouseEvent *e) override;
    void mouseReleaseEvent(QMouseEvent *e) override;
    void keyPressEvent(QKeyEvent *e) override;
    void focusInEvent(QFocusEvent *e) override;
    void focusOutEvent(QFocusEvent *e) override;
    void paintEvent(QPaintEvent *e) override;
    void updateLayout() override;
    void drawLive(QCPPainter *painter, const QRect &area) override;

private:
    void moveByUser(double x, double y);
    void showFocus(bool on);
    QPointF pointerCoords(const QMouseEvent *e) const;
    // Where the cross's vertical or horizontal line falls on the widget now, with room for its antialiased
    // edges; empty when it lies outside the axes.
    QRect lineStrip(Qt::Orientation along) const;
    QRegion cursorPixels() const;
    // The box in the plot's corner that shows the cross's X and Y; empty on a graph the user cannot move it on.
    QRect readoutRect() const;
    std::map<int, PlotItem> plots_;
    int nextHandle_ = 1;
    bool userCursor_ = false;
    bool dragging_ = false;
    double keyStep_ = 0;
    QPointF cursor_{0, 0};
    QCPItemStraightLine *vLine_;
    QCPItemStraightLine *hLine_;
    QRegion cursorDirty_; // where the cross stood when it last moved, until that is painted over
};

// A scrolling chart of interleaved traces: appended values go to trace 1, 2, ... and round again.
// The value axis starts at 0 and follows the visible traces. The panel file gives each trace its colour
// (traceColors: "#rrggbb ..." in trace order) and names the traces drawn dashed (dashedTraces: "6 7").
class StripChart : public ScopePlot {
    Q_OBJECT
    Q_PROPERTY(int traces READ traces WRITE setTraces)
    Q_PROPERTY(int pointsPerScreen READ pointsPerScreen WRITE setPointsPerScreen)
    Q_PROPERTY(QString traceColors READ traceColors WRITE setTraceColors)
    Q_PROPERTY(QString dashedTraces READ dashedTraces WRITE setDashedTraces)
public:
    explicit StripChart(QWidget *parent = nullptr);
    QString traceColors() const { return traceColors_; }
    void setTraceColors(const QString &colours);
    QString dashedTraces() const { return dashedTraces_; }
    void setDashedTraces(const QString &traces);
    int traces() const { return static_cast<int>(data_.size()); }
    void setTraces(int n);
    int pointsPerScreen() const { return pointsPerScreen_; }
    void setPointsPerScreen(int n);
    void append(const double *values, int count);
    void setTraceVisible(int trace, bool on); // trace from 1
    bool traceVisible(int trace) const;
    // Values currently on the screen for a trace (from 1), oldest first.
    std::vector<double> traceValues(int trace) const;

protected:
    void drawLive(QCPPainter *painter, const QRect &area) override;
    void beforeOwedReplot() override;

private:
    // The values of one trace on the screen: a ring of pointsPerScreen places.
    struct Ring {
        std::vector<double> v;
        int start = 0; // oldest
        int count = 0;
        int same = 0; // how many of the newest values equal the newest (counted up to the ring's size)
        double at(int i) const { return v[static_cast<size_t>((start + i) % static_cast<int>(v.size()))]; }
    };
    void rebuildGraphs();
    // The graphs and the value axis follow the rings once a frame, not once a sample.
    void tracesChanged();
    void syncTraces();
    void pushToGraphs();
    bool rescaleY(); // true when the value axis changed
    bool tracesStale_ = false;
    std::vector<Ring> data_;
    int nextTrace_ = 0;
    int pointsPerScreen_ = 100;
    QString traceColors_;
    QString dashedTraces_;
};
