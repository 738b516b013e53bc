// SPDX-License-Identifier: MIT
// What the live displays paint and tell screen readers, and when: cheap repaints must leave the screen as a
// full redraw would.
#include "testsupport.h"

#include "display/display.h"
#include "panel/port.h"
#include "panel/reply.h"
#include "panel/transactions.h"
#include "teach/graphs.h"
#include "io/rs232.h"
#include "io/utility.h"
#include "ui/panelwidgets.h"

#include "sensor_sim.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPaintEvent>
#include <QScreen>
#include <QSignalSpy>
#include <QStyleHints>
#include <QThread>

#include <algorithm>
#include <vector>

using namespace testsupport;

namespace {

ScopePlot *Plot(int control)
{
    return static_cast<ScopePlot *>(W(control));
}

StripChart *Chart()
{
    return static_cast<StripChart *>(W(GraphRaw1));
}

void SetSource(int source)
{
    SetCtrlVal(st.panel, SelectSource, source);
    DispVis();
}

// Lets a few frames pass before a look for what must not have been drawn; what must be drawn is waited for.
void Frames()
{
    QTest::qWait(3 * FrameGate::kFrameMs + 10);
}

// One measurement as the polling loop hands it over, then the moment of the next reply wait.
void Measure(int k)
{
    st.dataR = uint16_t(1000 + 23 * k % 3000);
    st.dataG = uint16_t(2500 - 17 * k % 2000);
    st.dataB = uint16_t(300 + 41 * k % 1500);
    st.dataX = uint16_t(200 + 97 * k % 3600);
    st.dataY = uint16_t(3700 - 61 * k % 3400);
    st.dataINT = uint16_t((st.dataR + st.dataG + st.dataB) / 3);
    st.dataCOL = uint16_t(k % 4);
    SetPanelData();
    ShowGraph();
}

// What the screen shows of the window now: the pixels the paints so far have left.
QImage OnScreen()
{
    QWidget *w = PanelWidget(st.panel);
    return w->screen()->grabWindow(w->winId()).toImage().convertToFormat(QImage::Format_RGB32);
}

// The window drawn anew from scratch.
QImage Redrawn()
{
    return PanelWidget(st.panel)->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Where a widget was painted, event by event.
struct PaintLog : QObject {
    std::vector<QRegion> regions;
    explicit PaintLog(QWidget *w) { w->installEventFilter(this); }
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint)
            regions.push_back(static_cast<QPaintEvent *>(e)->region());
        return false;
    }
    long largestArea() const
    {
        long most = 0;
        for (const QRegion &r : regions) {
            long area = 0;
            for (const QRect &rect : r)
                area += long(rect.width()) * rect.height();
            most = std::max(most, area);
        }
        return most;
    }
};

// Paint events of every widget of the application while it lives.
struct AllPaints : QObject {
    size_t count = 0;
    AllPaints() { qApp->installEventFilter(this); }
    ~AllPaints() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject *, QEvent *e) override
    {
        count += e->type() == QEvent::Paint;
        return false;
    }
};

} // namespace

class TstPaint : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        PrivatePortDir();
        // A blinking text cursor would make the screen and a redraw differ by the moment they are taken.
        QGuiApplication::styleHints()->setCursorFlashTime(0);
    }
    void init()
    {
        QVERIFY(LoadScopePanel());
        PanelWidget(st.panel)->show();
        QVERIFY(QTest::qWaitForWindowExposed(PanelWidget(st.panel)));
        Frames();
    }
    void cleanup() { DiscardScopePanel(); }

    void repaintsAtTheFramePaceLeaveWhatAFullRedrawShows_data()
    {
        QTest::addColumn<int>("source");
        for (int s = kSourcePlane; s < kSourceCount; ++s)
            QTest::newRow(qPrintable(QStringLiteral("source %1").arg(s))) << s;
    }

    void repaintsAtTheFramePaceLeaveWhatAFullRedrawShows()
    {
        QFETCH(int, source);
        SetSource(source);
        ApplyFromAll(); // circles under the cross, which must not be wiped where the cross was
        Frames();
        AllPaints paints;
        for (int k = 0; k < 40; ++k) {
            Measure(k);
            if (k % 3 == 0) { // several measurements in one frame, as when the line is fast
                const size_t before = paints.count;
                QVERIFY(QTest::qWaitFor([&] { return paints.count > before; }, 5000));
            }
        }
        QTRY_VERIFY(OnScreen() == Redrawn());
        const QImage shown = OnScreen();
        const QImage redrawn = Redrawn();
        QCOMPARE(shown.size(), redrawn.size());
        if (shown != redrawn) {
            shown.save(QDir::temp().filePath(QStringLiteral("tst_paint_shown.png")));
            redrawn.save(QDir::temp().filePath(QStringLiteral("tst_paint_redrawn.png")));
            QFAIL("the screen differs from a full redraw (both saved in the temporary folder)");
        }
    }

    void atStartOnlyTheGraphInSightIsDrawn()
    {
        DiscardScopePanel();
        QVERIFY(LoadScopePanel());
        // QCustomPlot would draw each graph once as it is made, seen or not, each into full-size buffers.
        QSignalSpy overview(Plot(GraphData1), &QCustomPlot::afterReplot);
        QSignalSpy zoom(Plot(GraphData2), &QCustomPlot::afterReplot);
        QSignalSpy chart(Plot(GraphRaw1), &QCustomPlot::afterReplot);
        SetSource(kSourcePlane);
        PanelWidget(st.panel)->show();
        QVERIFY(QTest::qWaitForWindowExposed(PanelWidget(st.panel)));
        QTRY_COMPARE(overview.count(), 1);
        Frames();
        QCOMPARE(overview.count(), 1);
        QCOMPARE(zoom.count(), 0);  // behind the overview
        QCOMPARE(chart.count(), 0); // hidden while the colour plane is chosen
        SetSource(kSourceRgb);
        QCOMPARE(chart.count(), 1);
    }

    void theCrossMovesByRepaintingItsStripsOnly()
    {
        SetSource(kSourcePlane);
        QSignalSpy redrawn(Plot(GraphData1), &QCustomPlot::afterReplot);
        PaintLog log(W(GraphData1));
        for (int k = 0; k < 20; ++k) {
            const size_t before = log.regions.size();
            Measure(k);
            QVERIFY(QTest::qWaitFor([&] { return log.regions.size() > before; }, 5000)); // a frame of its own
        }
        Frames();
        QCOMPARE(redrawn.count(), 0); // the diagonal and the circles were not drawn again
        // Two old and two new lines, a few pixels wide: a small part of the graph.
        const long graphArea = long(W(GraphData1)->width()) * W(GraphData1)->height();
        QVERIFY2(log.largestArea() < graphArea / 8, qPrintable(QString::number(log.largestArea())));
    }

    void aHiddenGraphIsDrawnWhenShownAsItWouldHaveBeen()
    {
        SetSource(kSourcePlane);
        DrawDiagonalAlone(GraphData1); // as GO draws it
        Frames();
        const QImage seen = W(GraphData1)->grab().toImage();

        ApplyFromAll(); // circles that GO's drawing must take away again
        Frames();
        SetSource(kSourceRgb);
        QSignalSpy redrawn(Plot(GraphData1), &QCustomPlot::afterReplot);
        DrawDiagonalAlone(GraphData1); // GO while the strip chart is shown
        Frames();
        QCOMPARE(redrawn.count(), 0);
        QVERIFY(Plot(GraphData1)->replotOwed());
        QVERIFY(!Plot(GraphData1)->holdsBuffers()); // out of sight it keeps no full-size images

        SetSource(kSourcePlane);
        QCOMPARE(redrawn.count(), 1); // at once, before the graph is painted on the screen
        QVERIFY(!Plot(GraphData1)->replotOwed());
        QCOMPARE(W(GraphData1)->grab().toImage(), seen);
    }

    void aCoveredZoomGraphIsDrawnWhenBroughtToTheFront()
    {
        QSignalSpy redrawn(Plot(GraphData2), &QCustomPlot::afterReplot);
        ShowGraphData2(); // the zoom graph stays behind the overview
        Frames();
        QCOMPARE(redrawn.count(), 0);
        QVERIFY(Plot(GraphData2)->covered());
        QVERIFY(!Plot(GraphData2)->holdsBuffers());
        ZoomAction(); // brings it to the front and draws it
        QTRY_VERIFY(redrawn.count() >= 1);
        QVERIFY(!Plot(GraphData2)->covered());
        QVERIFY(Plot(GraphData2)->holdsBuffers());
        QVERIFY(!Plot(GraphData1)->holdsBuffers()); // now the overview is the one behind
        QCOMPARE(Plot(GraphData2)->plottableCount(), 1);
        QCOMPARE(Plot(GraphData2)->itemCount(), 2 + 6 + 2); // the cross's two lines, six arcs, two circle labels
    }

    void aHiddenStripChartCatchesUpWhenShown()
    {
        SetSource(kSourcePlane);
        for (int k = 0; k < 30; ++k)
            Measure(k); // the history grows; the colour plane shows it
        QSignalSpy redrawn(Plot(GraphRaw1), &QCustomPlot::afterReplot);
        // Values handed to the chart while it is out of sight are kept, not drawn.
        PlotStripChart(st.panel, GraphRaw1, st.alldata, kHistory, 0, 0, VAL_DOUBLE);
        Frames();
        QCOMPARE(redrawn.count(), 0);

        SetSource(kSourceRgb);
        QCOMPARE(redrawn.count(), 1);
        // The whole history at once, newest at the right, and a scale that fits it.
        QCOMPARE(Chart()->graph(0)->data()->size(), kHistorySamples); // one hand-over of the history
        QCOMPARE((Chart()->graph(0)->data()->constEnd() - 1)->value, st.alldata[kHistory - kSampleValues]);
        QVERIFY(Chart()->yAxis->range().upper >= st.alldata[kHistory - kSampleValues]);
        QTRY_COMPARE(OnScreen(), Redrawn());
    }

    void screenReadersHearTheNumbersAFewTimesASecond()
    {
        // Every change of an accessible name is a message to each listening assistive tool.
        SetSource(kSourcePlane);
        auto *x = static_cast<QLabel *>(W(DispX));
        QString name = x->accessibleName();
        int heard = 0;
        QElapsedTimer t;
        t.start();
        // Sixty measurements, each shown in a frame of its own: a second of polling at the least.
        constexpr int kShown = 60;
        for (int k = 0; k < kShown; ++k) {
            Measure(k);
            QVERIFY(QTest::qWaitFor([&] { return x->text() == QString::number(st.dataX); }, 5000));
            if (x->accessibleName() != name)
                ++heard, name = x->accessibleName();
        }
        const qint64 ms = t.elapsed();
        const int most = int(ms / FrameGate::kSpokenMs) + 2;
        QVERIFY2(heard >= 2 && heard <= most,
                 qPrintable(QStringLiteral("%1 name changes in %2 ms").arg(heard).arg(ms)));
        // The last value is told, soon after the last change.
        QTRY_COMPARE(W(DispX)->accessibleName(), QStringLiteral("X: %1").arg(st.dataX));
        QCOMPARE(W(DispX)->accessibleDescription(), QStringLiteral("DispX"));
    }

    void aNumberDisplayPaintsWhatALabelWithItsSettingsPaints_data()
    {
        QTest::addColumn<int>("control");
        QTest::addColumn<int>("source");
        QTest::newRow("DispX") << int(DispX) << int(kSourcePlane);
        QTest::newRow("DispINT") << int(DispINT) << int(kSourceRgb);
        QTest::newRow("DispRAW on red") << int(DispRAW) << int(kSourceRed);
        QTest::newRow("DispRAW on green") << int(DispRAW) << int(kSourceGreen);
    }

    void aNumberDisplayPaintsWhatALabelWithItsSettingsPaints()
    {
        QFETCH(int, control);
        QFETCH(int, source);
        SetSource(source);
        auto *display = static_cast<NumDisplay *>(W(control));
        QLabel label;
        label.setTextFormat(Qt::PlainText);
        label.setFont(display->font());
        label.setPalette(display->palette());
        label.setAutoFillBackground(display->autoFillBackground());
        label.setFrameShape(display->frameShape());
        label.setFrameShadow(display->frameShadow());
        label.setLineWidth(display->lineWidth());
        label.setMidLineWidth(display->midLineWidth());
        label.setContentsMargins(display->contentsMargins());
        label.setMargin(display->margin());
        label.setIndent(display->indent());
        label.setAlignment(display->alignment());
        label.resize(display->size());
        for (int value : {0, 7, 42, 1365, 4095, 65535}) {
            SetCtrlVal(st.panel, control, value);
            label.setText(QString::number(value));
            QTRY_COMPARE(display->grab().toImage(), label.grab().toImage());
        }
    }

    void aColourBarPaintsItsFrameAndTwoColouredNumber()
    {
        // The bar as drawn with a pen for the frame and the number laid out anew for each colour.
        auto classic = [](ColourBar *bar) {
            QImage image(bar->size(), QImage::Format_ARGB32_Premultiplied);
            QPainter p(&image);
            p.setFont(bar->font());
            const QRect r = bar->rect();
            p.fillRect(r, QColor(0xF4, 0xF4, 0xF4));
            const int shown = std::clamp(bar->value(), bar->minimum(), bar->maximum()) - bar->minimum();
            const int fill = int((long long)(r.width() - 2) * shown / std::max(1, bar->maximum() - bar->minimum()));
            p.fillRect(QRect(1, 1, fill, r.height() - 2), bar->color());
            p.setPen(QColor(0x80, 0x80, 0x80));
            p.drawRect(r.adjusted(0, 0, -1, -1));
            const QString text = QString::number(bar->value());
            p.setPen(Qt::white);
            p.setClipRect(QRect(1, 1, fill, r.height() - 2));
            p.drawText(r, Qt::AlignCenter, text);
            p.setPen(Qt::black);
            p.setClipRect(QRect(1 + fill, 1, r.width() - 2 - fill, r.height() - 2));
            p.drawText(r, Qt::AlignCenter, text);
            return image;
        };
        for (int control : {DispRED, DispGREEN, DispBLUE}) {
            auto *bar = static_cast<ColourBar *>(W(control));
            for (int value : {0, 1, 99, 2048, 4095, 65535}) {
                SetCtrlVal(st.panel, control, value);
                QTRY_COMPARE(bar->grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied), classic(bar));
            }
        }
    }

    void atTheLinesPaceEveryPassPaintsWhatItChanged()
    {
        sim::Options o;
        o.paceBaud = 19200; // 35 ms a pass: longer than a frame
        sim::SensorSim sensor(o);
        QVERIFY(sensor.start());
        PopupRecorder popups;
        InitRS232(st.com);
        QTest::qWait(250); // out of the guard of the identification's parameter read
        SetSource(kSourcePlane);
        PaintLog cross(W(GraphData1)), bar(W(DispRED)), number(W(DispY));
        const unsigned long before = st.goodPasses;
        constexpr unsigned long kPasses = 50; // some two seconds of polling
        QTimer stopper;
        QObject::connect(&stopper, &QTimer::timeout, [&] {
            if (st.goodPasses - before >= kPasses)
                st.poll = 0;
        });
        stopper.start(FrameGate::kFrameMs);
        {
            PollWatchdog dog;
            ButtonGoAction();
            QVERIFY(!dog.fired());
        }
        const size_t passes = st.goodPasses - before;
        CloseCom(st.com);
        QVERIFY(popups.popups.empty());
        const QString counts = QStringLiteral("%1 passes; paints: cross %2, bar %3, number %4")
                                   .arg(passes)
                                   .arg(cross.regions.size())
                                   .arg(bar.regions.size())
                                   .arg(number.regions.size());
        // The simulated colour drifts: the cross moves on every pass, and is painted on every pass.
        QVERIFY2(cross.regions.size() + 2 >= passes, qPrintable(counts));
        // A channel holds still now and then while another moves; unchanged, it is not painted again.
        QVERIFY2(bar.regions.size() * 4 >= passes * 3 && number.regions.size() * 4 >= passes * 3, qPrintable(counts));
    }

    void atTheLinesPaceTheDisplaysPaintAfterTheSensorsTurnAtLeast25TimesASecond()
    {
        sim::Options o;
        o.paceBaud = 19200;
        sim::SensorSim sensor(o);
        QVERIFY(sensor.start());
        PopupRecorder popups;
        InitRS232(st.com);
        QTest::qWait(250); // out of the guard of the identification's parameter read
        SetSource(kSourcePlane);
        // When each pass wrote its request (read whenever the event loop wakes, at the latest in the event
        // processing that ends the pass), and when the cross was painted.
        std::vector<double> written, painted;
        const QMetaObject::Connection passEnds =
            QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, [&] {
                if (st.polling && (written.empty() || written.back() != st.tstart))
                    written.push_back(st.tstart);
            });
        struct PaintTimes : QObject {
            std::vector<double> *at;
            bool eventFilter(QObject *, QEvent *e) override
            {
                if (e->type() == QEvent::Paint && st.polling)
                    at->push_back(Timer());
                return false;
            }
        } cross;
        cross.at = &painted;
        W(GraphData1)->installEventFilter(&cross);
        // Some three seconds at the line's pace, however long a loaded machine takes for them.
        constexpr unsigned long kPasses = 80;
        constexpr double kLeastPerSecond = 25;
        const unsigned long before = st.goodPasses;
        QTimer stopper;
        QObject::connect(&stopper, &QTimer::timeout, [&] {
            if (st.goodPasses - before >= kPasses)
                st.poll = 0;
        });
        stopper.start(FrameGate::kFrameMs);
        const double t0 = Timer(), cpu0 = CpuSeconds();
        {
            PollWatchdog dog;
            ButtonGoAction();
            QVERIFY(!dog.fired());
        }
        const double wall = Timer() - t0, cpu = CpuSeconds() - cpu0;
        QObject::disconnect(passEnds);
        CloseCom(st.com);
        QVERIFY(popups.popups.empty());
        const QString counts = QStringLiteral("%1 passes, %2 paints in %3 s, %4 ms CPU a pass")
                                   .arg(written.size())
                                   .arg(painted.size())
                                   .arg(wall)
                                   .arg(1000 * cpu / double(written.size()));
        qInfo("%s", qPrintable(counts));
        // A paint for every pass; and what a pass costs, sensor and paint included, is a small part of the time the
        // rate gives it, whatever else the machine does (some 1.2 ms of the 40).
        QVERIFY2(painted.size() + 2 >= written.size(), qPrintable(counts));
        QVERIFY2(cpu / double(written.size()) < CpuShareBound(0.1) / kLeastPerSecond, qPrintable(counts));
        // Each paint in the loop falls in a reply wait, after the request of its pass has left and the sensor has
        // had its turn.
        QVERIFY2(!written.empty(), qPrintable(counts));
        for (const double p : painted) {
            const auto after = std::upper_bound(written.begin(), written.end(), p);
            if (after == written.begin())
                continue; // GO's own drawing of the diagonal, shown before the first request
            const auto before = std::upper_bound(written.begin(), written.end(), p - kSensorsTurn);
            QVERIFY2(before == after, qPrintable(QStringLiteral("a paint %1 ms after a request; %2")
                                                     .arg(1000 * (p - *std::prev(after)))
                                                     .arg(counts)));
        }
    }

    void whileTheLoopsWaitsPaintNoTimerDoesUntilAnEventLoopBlocksOrTheLoopEnds_data()
    {
        QTest::addColumn<QString>("then");
        for (const char *then : {"a wait", "the loop's end", "a modal box"})
            QTest::newRow(then) << QString::fromLatin1(then);
    }

    void whileTheLoopsWaitsPaintNoTimerDoesUntilAnEventLoopBlocksOrTheLoopEnds()
    {
        QFETCH(QString, then);
        PaintLog bar(W(DispRED));
        BeginDrawingInWaits();
        SetCtrlVal(st.panel, DispRED, 1234);
        // Event processing as the polling loop does it between passes: it never waits, so it never blocks.
        QElapsedTimer spun;
        spun.start();
        while (spun.elapsed() < 6 * FrameGate::kFrameMs) {
            ProcessSystemEvents();
            QThread::msleep(2);
        }
        const size_t paintsBefore = bar.regions.size();
        if (then == "a wait") {
            DrawPendingDisplays();
        } else if (then == "the loop's end") {
            EndDrawingInWaits();
            QTRY_VERIFY(!bar.regions.empty());
        } else {
            QEventLoop box; // what a modal box runs, left once the bar is painted or after a generous while
            QTimer painted;
            QObject::connect(&painted, &QTimer::timeout, [&] {
                if (!bar.regions.empty())
                    box.quit();
            });
            painted.start(FrameGate::kFrameMs);
            QTimer::singleShot(5000, &box, &QEventLoop::quit);
            box.exec();
        }
        const size_t paintsAfter = bar.regions.size();
        if (then != "the loop's end")
            EndDrawingInWaits();
        QCOMPARE(paintsBefore, size_t(0));
        QCOMPARE(paintsAfter, size_t(1));
    }

    void aSensorThatSeesOneColourPaintsNothingOnceItsPictureStands_data()
    {
        QTest::addColumn<int>("source");
        QTest::addColumn<int>("graph");
        QTest::newRow("colour plane") << int(kSourcePlane) << int(GraphData1);
        QTest::newRow("strip chart") << int(kSourceRgb) << int(GraphRaw1);
    }

    void aSensorThatSeesOneColourPaintsNothingOnceItsPictureStands()
    {
        QFETCH(int, source);
        QFETCH(int, graph);
        SetSource(source);
        // More of one measurement than a screen of the strip chart holds, as from a sensor over a still colour.
        const auto same = [] {
            st.dataR = 1784, st.dataG = 1330, st.dataB = 829, st.dataX = 1852, st.dataY = 1381, st.dataINT = 1314;
            st.dataCOL = 0;
            SetPanelData();
            ShowGraph();
        };
        for (int k = 0; k < 4 * kHistory; ++k)
            same();
        Frames();
        PaintLog log(W(graph));
        for (int k = 0; k < 3; ++k) {
            same();
            Frames();
        }
        QCOMPARE(log.regions.size(), size_t(0));
        // Still painted the moment the colour changes.
        st.dataR = 2500, st.dataX = 2400;
        SetPanelData();
        ShowGraph();
        Frames();
        QCOMPARE(log.regions.size(), size_t(1));
    }

    void manySamplesInOneFrameCostOnePaint()
    {
        SetSource(kSourceRgb);
        Measure(0);
        Frames();
        PaintLog log(W(GraphRaw1));
        for (int k = 1; k <= 50; ++k)
            Measure(k);
        QCOMPARE(log.regions.size(), size_t(0)); // nothing between two frames
        QTRY_COMPARE(log.regions.size(), size_t(1));
        Frames();
        QCOMPARE(log.regions.size(), size_t(1));
        QCOMPARE(Chart()->traceValues(1).back(), st.alldata[kHistory - kSampleValues]);
    }
};

QTEST_MAIN(TstPaint)
#include "tst_paint.moc"
