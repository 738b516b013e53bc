// SPDX-License-Identifier: MIT
// Live values, the signal history, the signal source, and the teach table on the real panel.
#include "testsupport.h"

#include "display/display.h"
#include "teach/teach.h"
#include "ui/panelwidgets.h"

#include <QComboBox>
#include <QTableWidget>

#include <cmath>
#include <cstring>

using namespace testsupport;

namespace {

void SetSource(int source)
{
    SetCtrlVal(st.panel, SelectSource, source);
    DispVis();
}

void Measure(uint16_t r, uint16_t g, uint16_t b, uint16_t x, uint16_t y, uint16_t intensity, uint16_t col)
{
    st.dataR = r, st.dataG = g, st.dataB = b, st.dataX = x, st.dataY = y, st.dataINT = intensity, st.dataCOL = col;
}

StripChart *Chart()
{
    return static_cast<StripChart *>(W(GraphRaw1));
}

} // namespace

class TstDisplay : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { PrivatePortDir(); }
    void init() { QVERIFY(LoadScopePanel()); }
    void cleanup() { DiscardScopePanel(); }

    void ledsLightByEqualityOnTheColourNumber_data()
    {
        QTest::addColumn<int>("col");
        QTest::addColumn<int>("led1");
        QTest::addColumn<int>("led2");
        QTest::newRow("0") << 0 << 0 << 0;
        QTest::newRow("1") << 1 << 1 << 0;
        QTest::newRow("2") << 2 << 0 << 1;
        QTest::newRow("3") << 3 << 1 << 1;
        QTest::newRow("4") << 4 << 0 << 0;
        QTest::newRow("7") << 7 << 0 << 0;
    }

    void ledsLightByEqualityOnTheColourNumber()
    {
        QFETCH(int, col);
        QFETCH(int, led1);
        QFETCH(int, led2);
        SetCtrlVal(st.panel, LedCol1, 1 - led1); // the opposite first, so a missing write shows
        SetCtrlVal(st.panel, LedCol2, 1 - led2);
        Measure(0, 0, 0, 0, 0, 0, uint16_t(col));
        SetPanelData();
        QCOMPARE(Val(LedCol1), led1);
        QCOMPARE(Val(LedCol2), led2);
    }

    void numbersAndBarsShowTheMeasurementWhateverTheSource()
    {
        SetSource(2); // X, Y and INT hidden: they are written all the same
        Measure(100, 200, 300, 1365, 2730, 200, 0);
        SetPanelData();
        QCOMPARE(Val(DispRED), 100);
        QCOMPARE(Val(DispGREEN), 200);
        QCOMPARE(Val(DispBLUE), 300);
        QCOMPARE(Val(DispX), 1365);
        QCOMPARE(Val(DispY), 2730);
        QCOMPARE(Val(DispINT), 200);
        // A screen reader hears the value with the label.
        QTRY_COMPARE(W(DispX)->accessibleName(), QStringLiteral("X: 1365")); // at the next frame
        QCOMPARE(W(DispX)->accessibleDescription(), QStringLiteral("DispX"));
    }

    void dispRawShowsTheChannelOfTheSource_data()
    {
        QTest::addColumn<int>("source");
        QTest::addColumn<int>("expected");
        QTest::newRow("0 keeps") << 0 << 777;
        QTest::newRow("1 keeps") << 1 << 777;
        QTest::newRow("2 red") << 2 << 11;
        QTest::newRow("3 green") << 3 << 22;
        QTest::newRow("4 blue") << 4 << 33;
        QTest::newRow("5 keeps") << 5 << 777;
        QTest::newRow("6 keeps") << 6 << 777;
    }

    void dispRawShowsTheChannelOfTheSource()
    {
        QFETCH(int, source);
        QFETCH(int, expected);
        SetSource(source);
        SetCtrlVal(st.panel, DispRAW, 777);
        Measure(11, 22, 33, 1, 2, 3, 0);
        SetPanelData();
        QCOMPARE(Val(DispRAW), expected);
    }

    void theIntWindowComesFromTheChosenTeachRow_data()
    {
        QTest::addColumn<int>("editNo");
        QTest::addColumn<int>("intensity");
        QTest::addColumn<int>("tolerance");
        QTest::addColumn<double>("high");
        QTest::addColumn<double>("low");
        QTest::newRow("capped at 4095") << 0 << 4000 << 200 << 4095.0 << 3800.0;
        QTest::newRow("raised to 0") << 0 << 100 << 300 << 400.0 << 0.0;
        QTest::newRow("second row") << 1 << 2000 << 100 << 2100.0 << 1900.0;
        QTest::newRow("beyond 16 bits signed") << 1 << 30000 << 5000 << 4095.0 << 4095.0;
        QTest::newRow("top of the range") << 0 << 65535 << 65535 << 4095.0 << 0.0;
    }

    void theIntWindowComesFromTheChosenTeachRow()
    {
        QFETCH(int, editNo);
        QFETCH(int, intensity);
        QFETCH(int, tolerance);
        QFETCH(double, high);
        QFETCH(double, low);
        SetSource(5);
        SetCtrlVal(st.panel, EditNo, editNo);
        // The other row holds something else, so reading the wrong row shows.
        SetTableCellVal(st.panel, TeachTable, MakePoint(4, 2 - editNo), 1000);
        SetTableCellVal(st.panel, TeachTable, MakePoint(5, 2 - editNo), 10);
        SetTableCellVal(st.panel, TeachTable, MakePoint(4, editNo + 1), uint16_t(intensity));
        SetTableCellVal(st.panel, TeachTable, MakePoint(5, editNo + 1), uint16_t(tolerance));
        SetPanelData();
        QCOMPARE(st.alldata[698], high);
        QCOMPARE(st.alldata[699], low);
    }

    void otherSourcesRecordNoWindow()
    {
        SetSource(2);
        SetTableCellVal(st.panel, TeachTable, MakePoint(4, 1), 2000);
        Measure(1, 2, 3, 4, 5, 6, 2);
        SetPanelData();
        const double expected[7] = {1, 2, 3, 6, 2, 0, 0};
        QVERIFY(std::memcmp(st.alldata + 693, expected, sizeof expected) == 0);
    }

    void theHistoryKeepsTheLastHundredSamplesOldestFirst()
    {
        SetSource(1);
        Measure(5, 6, 7, 8, 9, 10, 1);
        SetPanelData();
        for (int i = 0; i < 693; ++i)
            QCOMPARE(st.alldata[i], 0.0);
        QCOMPARE(st.alldata[693], 5.0);
        QCOMPARE(st.alldata[696], 10.0);
        for (int k = 1; k <= 100; ++k) {
            Measure(uint16_t(1000 + k), 0, 0, 0, 0, 0, 0);
            SetPanelData();
        }
        QCOMPARE(st.alldata[0], 1001.0); // the first sample has dropped out after 101 polls
        QCOMPARE(st.alldata[693], 1100.0);
    }

    void theStripChartShowsTheWholeHistoryNewestAtTheRight()
    {
        SetSource(1);
        for (int k = 1; k <= 120; ++k) {
            Measure(uint16_t(k), uint16_t(2 * k), 0, 0, 0, 0, 0);
            SetPanelData();
            ShowGraph();
        }
        QCOMPARE(Attr(GraphRaw1, ATTR_POINTS_PER_SCREEN), 101);
        const std::vector<double> red = Chart()->traceValues(1);
        QCOMPARE(red.size(), size_t(101));
        QCOMPARE(red.back(), 120.0);
        QCOMPARE(red[100 - 99], 21.0); // the oldest stored sample
        QCOMPARE(Chart()->traceValues(2).back(), 240.0);
    }

    void theChartsScaleFollowsTheVisibleTraces()
    {
        // The scale is the chart's drawing business: it follows at the next frame, on a chart that is seen.
        PanelWidget(st.panel)->show();
        QVERIFY(QTest::qWaitForWindowExposed(PanelWidget(st.panel)));
        SetSource(1);
        Measure(3000, 2000, 1000, 0, 0, 0, 3);
        SetPanelData();
        ShowGraph();
        QTRY_VERIFY(Chart()->yAxis->range().upper >= 3000);
        SetSource(6); // the colour number alone must not be a flat line at the bottom
        ShowGraph();
        QTRY_VERIFY(Chart()->yAxis->range().upper >= 3 && Chart()->yAxis->range().upper <= 8);
        QCOMPARE(Chart()->yAxis->range().lower, 0.0);
    }

    void theColourPlaneSourceMovesTheCursorAndLeavesTheChart()
    {
        SetSource(1);
        Measure(9, 9, 9, 0, 0, 0, 0);
        SetPanelData();
        ShowGraph();
        const std::vector<double> before = Chart()->traceValues(1);
        SetSource(0);
        Measure(1, 1, 1, 1234, 2345, 0, 0);
        SetPanelData();
        ShowGraph();
        double x = 0, y = 0;
        GetGraphCursor(st.panel, GraphData1, 1, &x, &y);
        QCOMPARE(x, 1234.0);
        QCOMPARE(y, 2345.0);
        QCOMPARE(Chart()->traceValues(1), before);
    }

    void shiftAndCopyOnSmallArrays()
    {
        const double in[4] = {1, 2, 3, 4};
        double out[4];
        auto shifted = [&](int by) {
            std::memcpy(out, in, sizeof in);
            const int32_t r = Shift(out, 4, by, out);
            return std::make_pair(r, std::vector<double>(out, out + 4));
        };
        QCOMPARE(shifted(2), std::make_pair(0, std::vector<double>{0, 0, 1, 2}));
        QCOMPARE(shifted(-1), std::make_pair(0, std::vector<double>{2, 3, 4, 0}));
        QCOMPARE(shifted(0), std::make_pair(0, std::vector<double>{1, 2, 3, 4}));
        QCOMPARE(shifted(4), std::make_pair(-20102, std::vector<double>{1, 2, 3, 4}));
        QCOMPARE(shifted(-4), std::make_pair(-20102, std::vector<double>{1, 2, 3, 4}));

        double untouched[2] = {7, 8};
        QCOMPARE(Shift(in, 0, 0, untouched), -20003);
        QCOMPARE(Copy1D(in, 0, untouched), -20003);
        QCOMPARE(Copy1D(in, -3, untouched), -20003);
        QCOMPARE(untouched[0], 7.0);
        QCOMPARE(untouched[1], 8.0);

        // Copies are bit for bit: a NaN payload and a negative zero survive.
        uint64_t bits = 0x7FF4000000000123ULL;
        double odd[2];
        std::memcpy(&odd[0], &bits, 8);
        odd[1] = -0.0;
        double copy[2];
        QCOMPARE(Copy1D(odd, 2, copy), 0);
        QVERIFY(std::memcmp(odd, copy, sizeof odd) == 0);
    }

    void eachSourceShowsItsDisplaysAndTraces_data()
    {
        QTest::addColumn<int>("source");
        QTest::addColumn<QString>("shown");  // controls visible afterwards, among those DispVis touches
        QTest::addColumn<QString>("traces"); // trace visibility 1..7
        QTest::newRow("0") << 0 << "GraphData1 DispX DispY DispINT"
                           << "";
        QTest::newRow("1") << 1 << "GraphRaw1 DispX DispY DispINT"
                           << "1110000";
        QTest::newRow("2") << 2 << "GraphRaw1 DispRAW"
                           << "1000000";
        QTest::newRow("3") << 3 << "GraphRaw1 DispRAW"
                           << "0100000";
        QTest::newRow("4") << 4 << "GraphRaw1 DispRAW"
                           << "0010000";
        QTest::newRow("5") << 5 << "GraphRaw1 DispX DispY DispINT"
                           << "0001011";
        QTest::newRow("6") << 6 << "GraphRaw1 DispX DispY DispINT"
                           << "0000100";
    }

    void eachSourceShowsItsDisplaysAndTraces()
    {
        QFETCH(int, source);
        QFETCH(QString, shown);
        QFETCH(QString, traces);
        SetSource(source == 0 ? 3 : 0); // start from a different layout
        if (source == 0)
            SetSource(6);
        SetSource(source);
        QCOMPARE(st.source, uint16_t(source));
        const std::pair<int, int> pairs[] = {{GraphData1, 0},   {GraphRaw1, 0},        {DispX, CaptionX},
                                             {DispY, CaptionY}, {DispINT, CaptionINT}, {DispRAW, CaptionRAW}};
        const QStringList want = shown.split(' ');
        for (auto [display, caption] : pairs) {
            const int expected = want.contains(QString::fromLatin1(CtrlName(display))) ? 1 : 0;
            QCOMPARE(Attr(display, ATTR_VISIBLE), expected);
            if (caption)
                QCOMPARE(Attr(caption, ATTR_VISIBLE), expected);
        }
        for (int t = 1; t <= traces.size(); ++t)
            QCOMPARE(Chart()->traceVisible(t), traces[t - 1] == QLatin1Char('1'));
    }

    void dispRawTakesTheColoursOfItsChannel()
    {
        const int colours[3][2] = {{0xFF0000, 0xFFFFFF}, {0x00FF00, 0x000000}, {0x0000FF, 0xFFFFFF}};
        for (int source = 2; source <= 4; ++source) {
            SetSource(source);
            QCOMPARE(Attr(DispRAW, ATTR_TEXT_BGCOLOR), colours[source - 2][0]);
            QCOMPARE(Attr(DispRAW, ATTR_TEXT_COLOR), colours[source - 2][1]);
        }
        SetSource(1); // other sources leave the colours as they were
        QCOMPARE(Attr(DispRAW, ATTR_TEXT_BGCOLOR), 0x0000FF);
    }

    void aSourceAboveSixChangesNothing()
    {
        auto *ring = static_cast<QComboBox *>(W(SelectSource));
        ring->addItem(QStringLiteral("7  unknown"));
        SetSource(2);
        SetCtrlVal(st.panel, SelectSource, 7);
        DispVis();
        QCOMPARE(st.source, uint16_t(7));
        QCOMPARE(Attr(DispRAW, ATTR_VISIBLE), 1);
        QCOMPARE(Attr(DispX, ATTR_VISIBLE), 0);
        QCOMPARE(Attr(DispRAW, ATTR_TEXT_BGCOLOR), 0xFF0000);
        QVERIFY(Chart()->traceVisible(1));
        QVERIFY(!Chart()->traceVisible(2));
    }

    void teachingWritesXYAndIntOfTheChosenRowOnly()
    {
        ResetTable();
        SetCtrlVal(st.panel, EditNo, 1);
        Measure(0, 0, 0, 1234, 2345, 300, 0);
        const QByteArray cttBefore(reinterpret_cast<const char *>(st.ctt), sizeof st.ctt);
        TeachDataTo();
        const uint16_t expected[2][5] = {{1, 1, 1, 1, 1}, {1234, 2345, 1, 300, 1}};
        for (int r = 1; r <= 2; ++r)
            for (int c = 1; c <= 5; ++c)
                QCOMPARE(Cell(c, r), expected[r - 1][c - 1]);
        QCOMPARE(Val(EditNo), 1);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(st.ctt), sizeof st.ctt), cttBefore);
    }

    void theTeachButtonBringsTheOverviewForward()
    {
        SetCtrlAttribute(st.panel, GraphData2, ATTR_ZPLANE_POSITION, 0);
        Measure(0, 0, 0, 11, 22, 33, 0);
        QTest::mouseClick(W(ButtonTeachDataTo), Qt::LeftButton);
        QCOMPARE(Attr(GraphData2, ATTR_ZPLANE_POSITION), 100);
        QCOMPARE(Cell(1, 1), uint16_t(11));
        SetCtrlAttribute(st.panel, GraphData2, ATTR_ZPLANE_POSITION, 0);
        QTest::mouseClick(W(ButtonResetTable), Qt::LeftButton);
        QCOMPARE(Attr(GraphData2, ATTR_ZPLANE_POSITION), 100);
        QCOMPARE(Cell(1, 1), uint16_t(1));
    }

    void resetWritesOneEverywhereAndLeavesTheVariables()
    {
        GetPanelValues();
        const uint16_t row1x = st.ctt[0][0];
        QVERIFY(row1x != 1);
        ResetTable();
        for (int r = 1; r <= 2; ++r)
            for (int c = 1; c <= 5; ++c)
                QCOMPARE(Cell(c, r), uint16_t(1));
        QCOMPARE(st.ctt[0][0], row1x);
    }

    void panelValuesRoundTripUnchanged()
    {
        SetCtrlVal(st.panel, EditSigWinHI, 3210);
        SetCtrlVal(st.panel, SlidePower, 999);
        SetCtrlVal(st.panel, EditOutmode, 1);
        SetTableCellVal(st.panel, TeachTable, MakePoint(5, 2), 65535);
        auto snapshot = [] {
            QList<int> v;
            for (int c : {EditSigWinHI, EditSigWinLo, SlidePower, EditAverage, EditOutmode, EditHold})
                v << Val(c);
            for (int r = 1; r <= 2; ++r)
                for (int c = 1; c <= 5; ++c)
                    v << Cell(c, r);
            return v;
        };
        const QList<int> before = snapshot();
        GetPanelValues();
        QCOMPARE(st.sigwinhi, uint16_t(3210));
        QCOMPARE(st.power, uint16_t(999));
        QCOMPARE(st.outmode, uint16_t(1));
        QCOMPARE(st.ctt[1][4], uint16_t(65535));
        SetPanelValues();
        QCOMPARE(snapshot(), before);
    }

    void startUpReadsThePanelIntoTheVariables()
    {
        // The panel file's initial values are in force from the start, before any sensor answers.
        QCOMPARE(st.sigwinhi, uint16_t(Val(EditSigWinHI)));
        QCOMPARE(st.power, uint16_t(Val(SlidePower)));
        QCOMPARE(st.ctt[0][0], Cell(1, 1));
        QCOMPARE(st.ctt[1][3], Cell(4, 2));
        QCOMPARE(st.source, uint16_t(Val(SelectSource)));
    }
};

QTEST_MAIN(TstDisplay)
#include "tst_display.moc"
