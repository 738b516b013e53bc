// SPDX-License-Identifier: MIT
// The colour-plane drawings, the zoom graph under mouse and keys, and the automatic tolerance adjustment.
#include "testsupport.h"

#include "display/display.h"
#include "link/com232.h"
#include "panel/port.h"
#include "panel/transactions.h"
#include "teach/autoadjust.h"
#include "teach/graphs.h"
#include "teach/teach.h"
#include "ui/filepopup.h"
#include "ui/panelwidgets.h"
#include "io/rs232.h"

#include "sensor_sim.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

using namespace testsupport;

namespace {

// Events that reached CBF_GraphData2, by kind.
std::vector<int> zoomEvents;

int CountingGraphData2(int panel, int control, int event, void *callbackData, int eventData1, int eventData2)
{
    zoomEvents.push_back(event);
    return CBF_GraphData2(panel, control, event, callbackData, eventData1, eventData2);
}

// Loads the panel as the program does, with CBF_GraphData2 bound through a counter.
bool LoadCountingPanel()
{
    int count = 0;
    const CallbackEntry *table = ScopeCallbackTable(&count);
    static std::vector<CallbackEntry> counting;
    counting.assign(table, table + count);
    for (CallbackEntry &e : counting)
        if (std::strcmp(e.name, "CBF_GraphData2") == 0)
            e.ctrl = CountingGraphData2;
    zoomEvents.clear();
    return LoadScopePanel(counting.data(), int(counting.size()));
}

ColourPlaneGraph *Graph(int control)
{
    return static_cast<ColourPlaneGraph *>(W(control));
}

struct Range {
    double lo, hi;
};
Range XRange(int control)
{
    return {Graph(control)->xAxis->range().lower, Graph(control)->xAxis->range().upper};
}
Range YRange(int control)
{
    return {Graph(control)->yAxis->range().lower, Graph(control)->yAxis->range().upper};
}

QPointF Cursor(int control)
{
    double x = 0, y = 0;
    GetGraphCursor(st.panel, control, 1, &x, &y);
    return {x, y};
}

// Table rows as (X, Y, CTO, INT, INT tolerance).
using Row = std::array<uint16_t, 5>;
void SetRow(int row, const Row &v)
{
    for (int c = 1; c <= 5; ++c)
        SetTableCellVal(st.panel, TeachTable, MakePoint(c, row), v[c - 1]);
}

// One circle as it ended up on the graph.
struct Arc {
    QRectF rect; // normalised: left/top = smaller x/y
    int colour;
};

// The seven plots of a colour-plane drawing: checks the diagonal and returns the arcs in drawing order.
std::vector<Arc> ArcsAfterTheDiagonal(int control)
{
    std::vector<Arc> arcs;
    const auto &plots = Graph(control)->plots();
    if (plots.size() != 7)
        return arcs;
    auto *diag = qobject_cast<QCPCurve *>(plots.begin()->second.plottable);
    if (!diag || diag->data()->size() != kRampPoints || diag->pen().color().rgb() != QColor(0xA0A0A0).rgb() ||
        diag->data()->at(0)->key != 0 || diag->data()->at(0)->value != 4095 ||
        diag->data()->at(kRampPoints - 1)->key != 4095 || diag->data()->at(kRampPoints - 1)->value != 0)
        return arcs;
    for (auto it = std::next(plots.begin()); it != plots.end(); ++it) {
        auto *e = qobject_cast<QCPItemEllipse *>(it->second.item);
        if (!e || e->brush().style() != Qt::NoBrush)
            return {};
        const QPointF tl = e->topLeft->coords(), br = e->bottomRight->coords();
        arcs.push_back(
            {QRectF(QPointF(tl.x(), br.y()), QPointF(br.x(), tl.y())), int(e->pen().color().rgb() & 0xFFFFFF)});
    }
    return arcs;
}

// The three circles a row with centre (x, y) and radius c gets, in colour colour.
std::vector<Arc> ExpectedArcs(double x, double y, double c, int colour)
{
    return {{QRectF(QPointF(x - c, y - c), QPointF(x + c, y + c)), colour},
            {QRectF(QPointF(x - c + 0.025, y - c + 0.025), QPointF(x + c + 0.025, y + c + 0.025)), colour},
            {QRectF(QPointF(x - c + 0.05, y - c + 0.05), QPointF(x + c + 0.005, y + c + 0.005)), colour}};
}

bool SameArcs(const std::vector<Arc> &a, const std::vector<Arc> &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].colour != b[i].colour || !qFuzzyCompare(a[i].rect.left() + 1e4, b[i].rect.left() + 1e4) ||
            !qFuzzyCompare(a[i].rect.top() + 1e4, b[i].rect.top() + 1e4) ||
            !qFuzzyCompare(a[i].rect.right() + 1e4, b[i].rect.right() + 1e4) ||
            !qFuzzyCompare(a[i].rect.bottom() + 1e4, b[i].rect.bottom() + 1e4))
            return false;
    return true;
}

// A circle's extent on the screen, in pixels: width and height.
QSizeF PixelSize(int control, const QRectF &plane)
{
    ColourPlaneGraph *g = Graph(control);
    g->replot(); // lays the graph out for the size it has now
    return {std::abs(g->xAxis->coordToPixel(plane.right()) - g->xAxis->coordToPixel(plane.left())),
            std::abs(g->yAxis->coordToPixel(plane.bottom()) - g->yAxis->coordToPixel(plane.top()))};
}

// The text items a graph shows on the layer of its cross.
QStringList CrossTexts(int control)
{
    ColourPlaneGraph *g = Graph(control);
    const QString shown = g->readout();
    return shown.isEmpty() ? QStringList() : QStringList{shown};
}

void PressCtrlZ()
{
    QTest::keyClick(PanelWidget(st.panel), Qt::Key_Z, Qt::ControlModifier);
}

using Operation = std::function<void()>;

} // namespace

Q_DECLARE_METATYPE(Row)

class TstTeachGraphs : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { PrivatePortDir(); }
    void init()
    {
        QVERIFY(LoadCountingPanel());
        PanelWidget(st.panel)->show();
        QVERIFY(QTest::qWaitForWindowExposed(PanelWidget(st.panel)));
    }
    void cleanup()
    {
        st.poll = 0;
        DiscardScopePanel();
    }

    void eachDrawingLeavesTheDiagonalAndTheCirclesOfBothRows_data()
    {
        QTest::addColumn<int>("graph");
        QTest::addColumn<int>("button");
        QTest::newRow("APPLY FROM ALL") << int(GraphData1) << int(ButtonApplyFromAll);
        QTest::newRow("ZOOM") << int(GraphData2) << int(ButtonZoom);
    }

    void eachDrawingLeavesTheDiagonalAndTheCirclesOfBothRows()
    {
        QFETCH(int, graph);
        QFETCH(int, button);
        SetRow(1, {100, 100, 150, 500, 10});
        SetRow(2, {3000, 600, 20, 700, 5});
        Click(button);
        Click(button); // a second drawing replaces the first
        const std::vector<Arc> arcs = ArcsAfterTheDiagonal(graph);
        std::vector<Arc> expected = ExpectedArcs(100, 100, 150, 0x0000FF);
        for (const Arc &a : ExpectedArcs(3000, 600, 20, 0xFF0000))
            expected.push_back(a);
        QVERIFY(SameArcs(arcs, expected));
        QCOMPARE(arcs[0].rect, QRectF(QPointF(-50, -50), QPointF(250, 250)));
    }

    void circlesStayRoundOnEveryViewAndWindow_data()
    {
        QTest::addColumn<int>("graph");
        QTest::addColumn<int>("button");
        QTest::addColumn<QSize>("window");
        for (QSize window : {QSize(1000, 716), QSize(1400, 760), QSize(640, 480)}) {
            const QByteArray size = QByteArray::number(window.width()) + "x" + QByteArray::number(window.height());
            QTest::addRow("overview, %s", size.constData()) << int(GraphData1) << int(ButtonApplyFromAll) << window;
            QTest::addRow("zoom, %s", size.constData()) << int(GraphData2) << int(ButtonZoom) << window;
            QTest::addRow("adjusted, %s", size.constData()) << int(GraphData2) << int(ButtonAutoAdjust) << window;
        }
    }

    void circlesStayRoundOnEveryViewAndWindow()
    {
        QFETCH(int, graph);
        QFETCH(int, button);
        QFETCH(QSize, window);
        PanelWidget(st.panel)->resize(window);
        SetRow(1, {1800, 1500, 150, 500, 10});
        SetRow(2, {1000, 2200, 300, 1500, 10});
        Click(button);
        for (size_t i : {size_t(0), size_t(3)}) {
            const QSizeF px = PixelSize(graph, ArcsAfterTheDiagonal(graph)[i].rect);
            QVERIFY2(px.width() > 10 && std::abs(px.width() - px.height()) <= 1,
                     qPrintable(QStringLiteral("%1 x %2 px").arg(px.width()).arg(px.height())));
        }
        // The zoom window too.
        SetGraphCursor(st.panel, GraphData2, 1, 1800, 1500);
        ZoomGraphData2();
        const QSizeF zoomed = PixelSize(GraphData2, ArcsAfterTheDiagonal(GraphData2)[0].rect);
        QVERIFY(std::abs(zoomed.width() - zoomed.height()) <= 1);
    }

    void eachCircleSaysItsNumberAndTheDiagonalIsDrawnAsNamed()
    {
        SetRow(1, {1800, 1500, 150, 500, 10});
        SetRow(2, {1000, 2200, 100, 1500, 10});
        for (int button : {int(ButtonApplyFromAll), int(ButtonGo)}) {
            PopupRecorder noSensor; // GO draws the diagonal alone, then finds no sensor
            Click(button);
            auto *diagonal = qobject_cast<QCPCurve *>(Graph(GraphData1)->plots().begin()->second.plottable);
            QVERIFY(diagonal);
            // Solid circles, on every point: a disc stamped from a picture.
            QCOMPARE(diagonal->scatterStyle().shape(), QCPScatterStyle::ssPixmap);
            const QImage disc = diagonal->scatterStyle().pixmap().toImage();
            QVERIFY(disc.width() >= 3 && disc.width() == disc.height());
            QCOMPARE(disc.pixelColor(disc.width() / 2, disc.height() / 2), QColor(0xA0A0A0));
            QVERIFY(disc.pixelColor(0, 0).alpha() < 128); // round, not a square
            QCOMPARE(diagonal->scatterSkip(), 0);
            QCOMPARE(diagonal->pen().width(), 3); // a thick line
            QCOMPARE(diagonal->pen().color(), QColor(0xA0A0A0));
        }
        Click(ButtonApplyFromAll);
        QStringList labels;
        for (const auto &[handle, plot] : Graph(GraphData1)->plots())
            if (plot.label) {
                labels << plot.label->text();
                // Beside its circle, on its upper right, in its colour.
                auto *circle = qobject_cast<QCPItemEllipse *>(plot.item);
                const QPointF at = plot.label->position->coords();
                QVERIFY(at.x() > (circle->topLeft->coords().x() + circle->bottomRight->coords().x()) / 2);
                QVERIFY(at.y() > (circle->topLeft->coords().y() + circle->bottomRight->coords().y()) / 2);
                QCOMPARE(plot.label->color(), circle->pen().color());
            }
        QCOMPARE(labels, (QStringList{QStringLiteral("0"), QStringLiteral("1")}));
        QCOMPARE(ArcsAfterTheDiagonal(GraphData1).size(), size_t(6)); // still seven plots
    }

    void theZoomGraphShowsWhereItsCrossIs()
    {
        Click(ButtonZoom);
        SetGraphCursor(st.panel, GraphData2, 1, 2000.4, 999.6);
        QCOMPARE(CrossTexts(GraphData2), QStringList{QStringLiteral("X 2000   Y 1000")});
        QTest::keyClick(W(GraphData2), Qt::Key_Right);
        QCOMPARE(CrossTexts(GraphData2), QStringList{QStringLiteral("X 2010   Y 1000")});
        QVERIFY(CrossTexts(GraphData1).isEmpty()); // the overview's cross is the measurement, shown in numbers
    }

    void eachTeachingStepSaysWhatItDid_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("message");
        QTest::newRow("TEACH DATA TO") << int(ButtonTeachDataTo)
                                       << QStringLiteral("Taught X 1842, Y 1396, INT 1484 to No. 1 (Ctrl+Z undoes)");
        QTest::newRow("RESET TABLE") << int(ButtonResetTable)
                                     << QStringLiteral("Teach table reset: every cell is 1 (Ctrl+Z undoes)");
        QTest::newRow("APPLY FROM ALL") << int(ButtonApplyFromAll)
                                        << QStringLiteral("Colour plane: No. 0 at X 1800, Y 1500, CTO 120; No. 1 at "
                                                          "X 1000, Y 2200, CTO 120");
        QTest::newRow("ZOOM") << int(ButtonZoom)
                              << QStringLiteral("Zoom: arrow keys or the mouse move the cross, Escape or a right click "
                                                "returns to the overview");
        QTest::newRow("AUTO ADJUST") << int(ButtonAutoAdjust)
                                     << QStringLiteral("Adjusted CTO: No. 0 = 200, No. 1 = 200 (Ctrl+Z undoes)");
    }

    void eachTeachingStepSaysWhatItDid()
    {
        QFETCH(int, button);
        QFETCH(QString, message);
        // The panel file's table: No. 0 at (1800, 1500), No. 1 at (1000, 2200), both CTO 120, INT windows alike.
        st.dataX = 1842, st.dataY = 1396, st.dataINT = 1484;
        SetCtrlVal(st.panel, EditNo, 1);
        SetCtrlVal(st.panel, MessageLine, "");
        Click(button);
        QCOMPARE(Message(), message);
    }

    void ctrlZTakesTheTeachTableBackStepByStep()
    {
        QVERIFY(QTest::qWaitForWindowActive(PanelWidget(st.panel)));
        auto table = [] {
            std::vector<uint16_t> cells;
            for (int r = 1; r <= 2; ++r)
                for (int c = 1; c <= 5; ++c)
                    cells.push_back(Cell(c, r));
            return cells;
        };
        const auto start = table();
        st.dataX = 1111, st.dataY = 2222, st.dataINT = 333;
        Click(ButtonTeachDataTo);
        const auto taught = table();
        Click(ButtonResetTable); // one click, as ever
        QCOMPARE(Cell(1, 1), uint16_t(1));
        SetRow(2, {1500, 1500, 7, 100, 10}); // typed by hand: not a step of its own
        const auto typed = table();
        Click(ButtonAutoAdjust);
        QVERIFY(table() != typed);

        const std::pair<const char *, std::vector<uint16_t>> steps[] = {
            {"AUTO ADJUST", typed}, {"RESET TABLE", taught}, {"TEACH DATA TO", start}};
        for (const auto &[what, before] : steps) {
            PressCtrlZ();
            QTRY_COMPARE(Message(), QStringLiteral("Undid %1: teach table restored").arg(QLatin1String(what)));
            QCOMPARE(table(), before);
        }
        PressCtrlZ();
        QTRY_COMPARE(Message(), QStringLiteral("Nothing to undo in the teach table"));
        QCOMPARE(table(), start);
    }

    void undoKeepsTheLastTwentySteps()
    {
        for (uint16_t i = 1; i <= 25; ++i) {
            st.dataX = i;
            Click(ButtonTeachDataTo);
        }
        for (int i = 0; i < 20; ++i)
            Click(ButtonUndo);
        QCOMPARE(Cell(1, 1), uint16_t(5)); // the table before the 21st teaching
        Click(ButtonUndo);
        QCOMPARE(Message(), QStringLiteral("Nothing to undo in the teach table"));
        QCOMPARE(Cell(1, 1), uint16_t(5));
    }

    void undoPastTheLimitTakesBackMixedStepsInOrderAndNamesEach()
    {
        // Five more steps than are kept, of three kinds in turn, each changing the table.
        QTemporaryDir dir;
        FileSelectAnswer answer;
        answer.result = VAL_EXISTING_FILE_SELECTED;
        answer.path = dir.filePath(QStringLiteral("table.dat")).toStdString();
        QFile f(QString::fromStdString(answer.path));
        QVERIFY(f.open(QIODevice::WriteOnly));
        for (int i = 0; i < kParaWords; ++i)
            f.write(QByteArray::number(i < 15 ? st.pp[i] : 3000 + i) + '\n');
        f.close();
        SetFileSelectAnswer(&answer);
        Click(SelectFILE);
        const auto table = [] {
            std::vector<uint16_t> cells;
            for (int r = 1; r <= 2; ++r)
                for (int c = 1; c <= 5; ++c)
                    cells.push_back(Cell(c, r));
            return cells;
        };
        const std::pair<int, const char *> kinds[] = {
            {ButtonTeachDataTo, "TEACH DATA TO"}, {ButtonGet, "the file load"}, {ButtonResetTable, "RESET TABLE"}};
        constexpr int kSteps = kUndoSteps + 5;
        std::vector<std::vector<uint16_t>> before;
        for (int i = 0; i < kSteps; ++i) {
            before.push_back(table());
            st.dataX = uint16_t(100 + i);
            Click(kinds[i % 3].first);
            QVERIFY(table() != before.back());
        }
        SetFileSelectAnswer(nullptr);
        for (int i = kSteps - 1; i >= kSteps - kUndoSteps; --i) {
            Click(ButtonUndo);
            QCOMPARE(Message(),
                     QStringLiteral("Undid %1: teach table restored").arg(QLatin1String(kinds[i % 3].second)));
            QCOMPARE(table(), before[size_t(i)]);
        }
        Click(ButtonUndo);
        QCOMPARE(Message(), QStringLiteral("Nothing to undo in the teach table"));
        QCOMPARE(table(), before[kSteps - kUndoSteps]);
    }

    void afterAResetBothCirclesHaveRadiusOneRowTwoLast()
    {
        Click(ButtonResetTable);
        ApplyFromAll();
        std::vector<Arc> expected = ExpectedArcs(1, 1, 1, 0x0000FF);
        for (const Arc &a : ExpectedArcs(1, 1, 1, 0xFF0000))
            expected.push_back(a);
        QVERIFY(SameArcs(ArcsAfterTheDiagonal(GraphData1), expected));
    }

    void drawingKeepsAxesCursorAndStackingAndReadsThePanel()
    {
        SetAxisScalingMode(st.panel, GraphData2, VAL_XAXIS, VAL_MANUAL, 10, 20);
        SetGraphCursor(st.panel, GraphData2, 1, 15, 16);
        SetRow(1, {40, 50, 3, 1, 1});
        QVERIFY(st.ctt[0][0] != 40);
        ShowGraphData2();
        QCOMPARE(st.ctt[0][0], uint16_t(40));
        QCOMPARE(XRange(GraphData2).lo, 10.0);
        QCOMPARE(Cursor(GraphData2), QPointF(15, 16));
        QCOMPARE(Attr(GraphData2, ATTR_ZPLANE_POSITION), kZBehind);
        QCOMPARE(ArcsAfterTheDiagonal(GraphData2).size(), size_t(6));
    }

    void theZoomWindowCentresOnTheLimitedCursor_data()
    {
        QTest::addColumn<QPointF>("cursor");
        QTest::addColumn<QPointF>("centre");
        QTest::newRow("near the top-left corner") << QPointF(50, 4000) << QPointF(200, 3895);
        QTest::newRow("fractions kept") << QPointF(2000.5, 1000.25) << QPointF(2000.5, 1000.25);
        QTest::newRow("below the plane") << QPointF(-30, -0.5) << QPointF(200, 200);
        QTest::newRow("right edge") << QPointF(4095, 3895) << QPointF(3895, 3895);
        QTest::newRow("just inside") << QPointF(200, 3894.75) << QPointF(200, 3894.75);
    }

    void theZoomWindowCentresOnTheLimitedCursor()
    {
        QFETCH(QPointF, cursor);
        QFETCH(QPointF, centre);
        SetGraphCursor(st.panel, GraphData2, 1, cursor.x(), cursor.y());
        CBF_GraphData2(st.panel, GraphData2, EVENT_VAL_CHANGED, nullptr, 0, 0);
        QCOMPARE(XRange(GraphData2).lo, centre.x() - 200);
        QCOMPARE(XRange(GraphData2).hi, centre.x() + 200);
        QCOMPARE(YRange(GraphData2).lo, centre.y() - 200);
        QCOMPARE(YRange(GraphData2).hi, centre.y() + 200);
        QCOMPARE(Cursor(GraphData2), centre);
        QCOMPARE(Graph(GraphData2)->plots().size(), size_t(7));
        QVERIFY(zoomEvents.empty()); // putting the cursor back raised nothing
    }

    void zoomAfterPanningShowsTheWholePlaneAndKeepsTheCursor()
    {
        SetGraphCursor(st.panel, GraphData2, 1, 2000.5, 1000.25);
        ZoomGraphData2();
        Click(ButtonZoom);
        QCOMPARE(XRange(GraphData2).lo, 0.0);
        QCOMPARE(XRange(GraphData2).hi, 4096.0);
        QCOMPARE(YRange(GraphData2).lo, 0.0);
        QCOMPARE(YRange(GraphData2).hi, 4096.0);
        QCOMPARE(Cursor(GraphData2), QPointF(2000.5, 1000.25));
        QCOMPARE(Attr(GraphData2, ATTR_ZPLANE_POSITION), kZFront);
        QCOMPARE(Graph(GraphData2)->plots().size(), size_t(7));
    }

    void applyFromAllBringsTheOverviewForward()
    {
        Click(ButtonZoom);
        Click(ButtonApplyFromAll);
        QCOMPARE(Attr(GraphData2, ATTR_ZPLANE_POSITION), kZBehind);
        QCOMPARE(Attr(GraphData1, ATTR_ZPLANE_POSITION), kZFront);
        const QObjectList order = W(GraphData1)->parentWidget()->children();
        QVERIFY(order.indexOf(W(GraphData2)) < order.indexOf(W(GraphData1)));
    }

    void aDragCarriesTheCrossAndPansOnceWhenLetGo()
    {
        Click(ButtonZoom);
        ColourPlaneGraph *g = Graph(GraphData2);
        const Range xBefore = XRange(GraphData2);
        const QPoint press = g->axisRect()->center() + QPoint(-40, 30);
        const QPointF pressed(g->xAxis->pixelToCoord(press.x()), g->yAxis->pixelToCoord(press.y()));
        QTest::mousePress(g, Qt::LeftButton, {}, press);
        QCOMPARE(Cursor(GraphData2), pressed);
        QVERIFY(zoomEvents.empty());

        // While the button is down the window stays put and the cross follows the pointer, pixel for pixel.
        const QPoint to = press + QPoint(60, -20);
        const QPointF under(g->xAxis->pixelToCoord(to.x()), g->yAxis->pixelToCoord(to.y()));
        for (int step = 1; step <= 10; ++step)
            QTest::mouseMove(g, press + (to - press) * step / 10);
        QVERIFY(zoomEvents.empty());
        QCOMPARE(Cursor(GraphData2), under);
        QCOMPARE(XRange(GraphData2).lo, xBefore.lo);
        QCOMPARE(XRange(GraphData2).hi, xBefore.hi);

        // Letting go is one move: the window centres on where the cross was let go.
        QTest::mouseRelease(g, Qt::LeftButton, {}, to);
        QCOMPARE(zoomEvents, std::vector<int>{EVENT_VAL_CHANGED});
        QCOMPARE(Cursor(GraphData2), under);
        QCOMPARE(XRange(GraphData2).lo, under.x() - 200);
        QCOMPARE(YRange(GraphData2).lo, under.y() - 200);
        QVERIFY(g->hasFocus()); // a click gives the graph the keyboard for panning by keys
    }

    void anArrowKeyOnTheZoomGraphPansOneEvent_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("shift");
        QTest::addColumn<QPointF>("moved");
        QTest::newRow("left") << int(Qt::Key_Left) << false << QPointF(-10, 0);
        QTest::newRow("right") << int(Qt::Key_Right) << false << QPointF(10, 0);
        QTest::newRow("up") << int(Qt::Key_Up) << false << QPointF(0, 10);
        QTest::newRow("down") << int(Qt::Key_Down) << false << QPointF(0, -10);
        QTest::newRow("shift+right") << int(Qt::Key_Right) << true << QPointF(100, 0);
    }

    void anArrowKeyOnTheZoomGraphPansOneEvent()
    {
        QFETCH(int, key);
        QFETCH(bool, shift);
        QFETCH(QPointF, moved);
        Click(ButtonZoom);
        SetGraphCursor(st.panel, GraphData2, 1, 2000, 1000);
        W(GraphData2)->setFocus(Qt::TabFocusReason);
        QTest::keyClick(W(GraphData2), Qt::Key(key), shift ? Qt::ShiftModifier : Qt::NoModifier);
        QCOMPARE(zoomEvents, std::vector<int>{EVENT_VAL_CHANGED});
        const QPointF now = QPointF(2000, 1000) + moved;
        QCOMPARE(Cursor(GraphData2), now);
        QCOMPARE(XRange(GraphData2).lo, now.x() - 200);
        QCOMPARE(YRange(GraphData2).lo, now.y() - 200);
    }

    void aGraphBehindTheOtherTakesNoKeyboard()
    {
        // The zoom graph follows SOURCE in the Tab chain; a Tab from there reaches it only while it is seen.
        auto tabReachesZoom = [] {
            PanelWidget(st.panel)->activateWindow();
            W(SelectSource)->setFocus(Qt::TabFocusReason);
            QTest::keyClick(W(SelectSource), Qt::Key_Tab);
            return QApplication::focusWidget() == W(GraphData2);
        };
        QVERIFY(!tabReachesZoom());
        Click(ButtonZoom);
        QVERIFY(tabReachesZoom());
        QTest::mousePress(W(GraphData2), Qt::RightButton, {}, W(GraphData2)->rect().center());
        QCOMPARE(Attr(GraphData2, ATTR_ZPLANE_POSITION), kZBehind);
        QVERIFY(!W(GraphData2)->hasFocus());
        QVERIFY(!tabReachesZoom());
        QCOMPARE(zoomEvents, std::vector<int>{EVENT_RIGHT_CLICK});
    }

    void theStripChartStaysInFrontOfTheZoomGraph()
    {
        auto tabReachesZoom = [] {
            W(SelectSource)->setFocus(Qt::TabFocusReason);
            QTest::keyClick(W(SelectSource), Qt::Key_Tab);
            return QApplication::focusWidget() == W(GraphData2);
        };
        auto zoomBelowChart = [] {
            const QObjectList order = W(GraphRaw1)->parentWidget()->children();
            return order.indexOf(W(GraphData2)) < order.indexOf(W(GraphRaw1));
        };
        SetCtrlVal(st.panel, SelectSource, 1);
        DispVis();
        Click(ButtonZoom);
        QCOMPARE(Attr(GraphData2, ATTR_ZPLANE_POSITION), kZFront);
        QVERIFY(zoomBelowChart());
        QVERIFY(!tabReachesZoom());
        Click(ButtonAutoAdjust);
        QVERIFY(zoomBelowChart());
        SetCtrlVal(st.panel, SelectSource, 0); // the colour plane again: the zoom graph is the one seen
        DispVis();
        QVERIFY(tabReachesZoom());
        const QObjectList order = W(GraphData1)->parentWidget()->children();
        QVERIFY(order.indexOf(W(GraphData1)) < order.indexOf(W(GraphData2)));
    }

    void theAdjustmentFitsTheRadii_data()
    {
        QTest::addColumn<Row>("row1");
        QTest::addColumn<Row>("row2");
        QTest::addColumn<int>("cto1");
        QTest::addColumn<int>("cto2");
        auto add = [](const char *name, Row r1, Row r2, int c1, int c2) {
            QTest::newRow(name) << r1 << r2 << c1 << c2;
        };
        add("same point", {1000, 1000, 0, 500, 10}, {1000, 1000, 0, 500, 10}, 1, 1);
        add("d 1", {0, 0, 0, 500, 10}, {1, 1, 0, 500, 10}, 1, 1);
        add("d 3", {1000, 1000, 0, 500, 10}, {1003, 1000, 0, 500, 10}, 2, 1);
        add("d 3 mirrored", {1003, 1000, 0, 500, 10}, {1000, 1000, 0, 500, 10}, 2, 1);
        add("d 5", {1000, 1000, 0, 500, 10}, {1003, 1004, 0, 500, 10}, 3, 2);
        add("d 9 truncated", {0, 0, 0, 500, 10}, {7, 7, 0, 500, 10}, 5, 4);
        add("d 10", {1000, 1000, 0, 500, 10}, {1010, 1000, 0, 500, 10}, 5, 5);
        add("d 11", {1000, 1000, 0, 500, 10}, {1011, 1000, 0, 500, 10}, 6, 5);
        add("d 399", {1000, 1000, 0, 500, 10}, {1399, 1000, 0, 500, 10}, 200, 199);
        add("d 400", {1000, 1000, 0, 500, 10}, {1400, 1000, 0, 500, 10}, 200, 200);
        add("INT windows disjoint", {1000, 1000, 0, 500, 10}, {1000, 1000, 0, 521, 10}, 200, 200);
        add("INT windows share 510", {1000, 1000, 0, 500, 10}, {1000, 1000, 0, 520, 10}, 1, 1);
        add("tolerance 0, INT 500 and 501", {1000, 1000, 0, 500, 0}, {1000, 1000, 0, 501, 0}, 200, 200);
        add("negative lower end", {1000, 1000, 0, 10, 20}, {1000, 1000, 0, 35, 5}, 1, 1);
    }

    void theAdjustmentFitsTheRadii()
    {
        QFETCH(Row, row1);
        QFETCH(Row, row2);
        QFETCH(int, cto1);
        QFETCH(int, cto2);
        uint16_t ctt[2][5];
        std::copy(row1.begin(), row1.end(), ctt[0]);
        std::copy(row2.begin(), row2.end(), ctt[1]);
        AdjustCto(ctt);
        QCOMPARE(int(ctt[0][2]), cto1);
        QCOMPARE(int(ctt[1][2]), cto2);

        // The button gives the same on the panel, whatever CTO was typed before.
        row1[2] = 4000, row2[2] = 7;
        SetRow(1, row1);
        SetRow(2, row2);
        Click(ButtonAutoAdjust);
        QCOMPARE(int(Cell(3, 1)), cto1);
        QCOMPARE(int(Cell(3, 2)), cto2);
        QCOMPARE(int(st.ctt[0][2]), cto1);
        QCOMPARE(int(st.ctt[1][2]), cto2);
    }

    void typedRadiiDoNotInfluenceTheAdjustment_data()
    {
        QTest::addColumn<int>("typed1");
        QTest::addColumn<int>("typed2");
        QTest::newRow("ones") << 1 << 1;
        QTest::newRow("already fitted") << 5 << 5;
        QTest::newRow("overlapping") << 200 << 200;
        QTest::newRow("extremes") << 65535 << 0;
    }

    void typedRadiiDoNotInfluenceTheAdjustment()
    {
        QFETCH(int, typed1);
        QFETCH(int, typed2);
        SetRow(1, {1000, 1000, uint16_t(typed1), 500, 10});
        SetRow(2, {1010, 1000, uint16_t(typed2), 500, 10});
        Click(ButtonAutoAdjust);
        QCOMPARE(Cell(3, 1), uint16_t(5));
        QCOMPARE(Cell(3, 2), uint16_t(5));
    }

    void theAdjustmentChangesOnlyTheRadiiAndShowsTheWholePlane()
    {
        const int params[] = {EditSigWinHI, EditSigWinLo, SlidePower, EditAverage, EditOutmode, EditHold};
        SetCtrlVal(st.panel, EditSigWinHI, 3001);
        SetCtrlVal(st.panel, SlidePower, 777);
        std::vector<int> paramsBefore;
        for (int c : params)
            paramsBefore.push_back(Val(c));
        SetRow(1, {1000, 1000, 9, 500, 10});
        SetRow(2, {1011, 1000, 9, 505, 20});
        SetGraphCursor(st.panel, GraphData2, 1, 321, 654);
        Click(ButtonAutoAdjust);
        std::vector<int> paramsAfter;
        for (int c : params)
            paramsAfter.push_back(Val(c));
        QCOMPARE(paramsAfter, paramsBefore);
        const uint16_t expected[2][5] = {{1000, 1000, 6, 500, 10}, {1011, 1000, 5, 505, 20}};
        for (int r = 1; r <= 2; ++r)
            for (int c = 1; c <= 5; ++c)
                QCOMPARE(Cell(c, r), expected[r - 1][c - 1]);
        QCOMPARE(Attr(GraphData2, ATTR_ZPLANE_POSITION), kZFront);
        QCOMPARE(XRange(GraphData2).hi, 4095.0);
        QCOMPARE(YRange(GraphData2).hi, 4095.0);
        QCOMPARE(XRange(GraphData2).lo, 0.0);
        QCOMPARE(Cursor(GraphData2), QPointF(321, 654));
        std::vector<Arc> arcs = ExpectedArcs(1000, 1000, 6, 0x0000FF);
        for (const Arc &a : ExpectedArcs(1011, 1000, 5, 0xFF0000))
            arcs.push_back(a);
        QVERIFY(SameArcs(ArcsAfterTheDiagonal(GraphData2), arcs));
    }
};

// Against the simulated sensor: every colour-plane drawing ends live data.
class TstTeachGraphsPolling : public QObject {
    Q_OBJECT

    std::unique_ptr<sim::SensorSim> sensor;
    std::unique_ptr<PopupRecorder> popups;

private slots:
    void initTestCase() { PrivatePortDir(); }
    void init()
    {
        sensor = std::make_unique<sim::SensorSim>();
        QVERIFY(sensor->start());
        QVERIFY(LoadCountingPanel());
        popups = ShowAndConnect();
        QVERIFY(popups);
    }
    void cleanup() { DisconnectSensor(sensor, popups); }

    void aDrawingWhilePollingStopsIt_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<int>("zoomZ");
        QTest::newRow("APPLY FROM ALL") << int(ButtonApplyFromAll) << kZBehind;
        QTest::newRow("ZOOM") << int(ButtonZoom) << kZFront;
        QTest::newRow("AUTO ADJUST") << int(ButtonAutoAdjust) << kZFront;
    }

    void aDrawingWhilePollingStopsIt()
    {
        QFETCH(int, button);
        QFETCH(int, zoomZ);
        bool wasPolling = false;
        unsigned long passesAtPress = 0;
        QTimer::singleShot(200, [&] {
            wasPolling = st.polling;
            passesAtPress = st.goodPasses;
            Click(button);
        });
        Click(ButtonGo); // returns when polling has ended
        QVERIFY(wasPolling);
        QVERIFY(!st.polling);
        QCOMPARE(st.poll, uint16_t(0));
        QVERIFY(st.goodPasses <= passesAtPress + 1);
        QCOMPARE(Attr(GraphData2, ATTR_ZPLANE_POSITION), zoomZ);
        QVERIFY(popups->popups.empty());
        QVERIFY2(Message().startsWith(QStringLiteral("Stopped. ")), qPrintable(Message())); // the user is told
    }

    void theZoomedCirclesFollowEachChangeOfTheTable_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<int>("x"); // where row 1's circle is afterwards
        QTest::newRow("GET") << "GET" << 2500;
        QTest::newRow("file load") << "file load" << 2600;
        QTest::newRow("undo") << "undo" << 1800; // back from a teach to the panel file's table
    }

    void theZoomedCirclesFollowEachChangeOfTheTable()
    {
        QFETCH(QString, change);
        QFETCH(int, x);
        QTemporaryDir dir;
        FileSelectAnswer answer;
        answer.result = VAL_EXISTING_FILE_SELECTED;
        answer.path = dir.filePath(QStringLiteral("moved.dat")).toStdString();
        if (change == QLatin1String("GET")) {
            sim::Block b = sensor->ram();
            b[sim::Row1X] = uint16_t(x);
            sensor->setRam(b);
        } else if (change == QLatin1String("file load")) {
            QFile f(QString::fromStdString(answer.path));
            QVERIFY(f.open(QIODevice::WriteOnly));
            for (size_t i = 0; i < kParaWords; ++i)
                f.write(QByteArray::number(i == sim::Row1X ? x : st.pp[i]) + '\n');
            f.close();
            SetFileSelectAnswer(&answer);
            Click(SelectFILE);
        } else {
            st.dataX = 2700, st.dataY = 1000, st.dataINT = 1000;
            Click(ButtonTeachDataTo);
        }
        Click(ButtonZoom);
        QTest::keyClick(W(GraphData2), Qt::Key_Right); // a window off the whole plane: the change must keep it
        const Range before = XRange(GraphData2);
        Click(change == QLatin1String("undo") ? ButtonUndo : ButtonGet);
        SetFileSelectAnswer(nullptr);
        QCOMPARE(Attr(GraphData2, ATTR_ZPLANE_POSITION), kZFront);
        const QString seen = Graph(GraphData2)->describe();
        QVERIFY2(seen.contains(QStringLiteral("circle 0 at X %1, Y 1500").arg(x)), qPrintable(seen));
        QCOMPARE(XRange(GraphData2).lo, before.lo);
        QCOMPARE(XRange(GraphData2).hi, before.hi);
    }

    void aTeachWhilePollingStaysReadableForThreeSeconds()
    {
        // Polling says its rate once a second; a teach clicked meanwhile is not wiped off the line by it.
        enum { Polling, Clicked, Shown, Done } phase = Polling;
        QElapsedTimer clock;
        clock.start();
        double shownFor = 0;
        QString after;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            const QString m = Message();
            if (phase == Polling && clock.elapsed() > 1200) {
                phase = Clicked;
                Click(ButtonTeachDataTo);
            } else if (phase == Clicked && m.startsWith(QStringLiteral("Taught"))) {
                phase = Shown;
                clock.restart();
            } else if (phase == Shown && !m.startsWith(QStringLiteral("Taught"))) {
                phase = Done;
                shownFor = clock.elapsed() / 1000.0;
                after = m;
                Click(ButtonStop);
            }
        });
        watch.start(20);
        Click(ButtonGo);
        QCOMPARE(phase, Done);
        QVERIFY2(shownFor >= 3.0, qPrintable(QString::number(shownFor)));
        QVERIFY2(after.startsWith(QStringLiteral("Polling \u00b7")), qPrintable(after)); // then the rate again
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    int status = 0;
    TstTeachGraphs graphs;
    status |= QTest::qExec(&graphs, argc, argv);
    TstTeachGraphsPolling polling;
    status |= QTest::qExec(&polling, argc, argv);
    return status;
}

#include "tst_teach_graphs.moc"
