// SPDX-License-Identifier: MIT
// The panel as a person uses it: nothing but clicks, drags and keys on the connected panel, each checked by what
// the window then shows or what the simulated sensor received.
#include "testsupport.h"

#include "core/helptexts.h"
#include "ui/panelwidgets.h"

#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTableWidget>

using namespace testsupport;

namespace {

sim::SensorSim *sensor = nullptr;
PopupRecorder *popups = nullptr;

QWidget *Focused()
{
    return QApplication::focusWidget();
}

void Key(int key, Qt::KeyboardModifiers mods = Qt::NoModifier)
{
    QTest::keyClick(Focused(), Qt::Key(key), mods);
}

// Each character to whatever has the keyboard when it is typed (a table cell's editor opens on the first).
void Type(const QString &text)
{
    for (const QChar c : text)
        QTest::keyClick(Focused(), c.toLatin1());
}

// A click that puts the text cursor into a number field, and Ctrl+A over what it holds.
void ClickAndSelectAll(int control)
{
    QTest::mouseClick(W(control), Qt::LeftButton);
    Key(Qt::Key_A, Qt::ControlModifier);
}

QComboBox *List(int control)
{
    return static_cast<QComboBox *>(W(control));
}

// Opens a list by a click on its box, moves the pointer onto item `row` and clicks it.
void ChooseByClick(int control, int row)
{
    QTest::mouseClick(W(control), Qt::LeftButton);
    QTRY_VERIFY(List(control)->view()->isVisible());
    QAbstractItemView *view = List(control)->view();
    const QPoint at = view->visualRect(view->model()->index(row, 0)).center();
    QTest::mouseMove(view->viewport(), at);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
}

// Opens a list with the space bar, goes down `steps` items and takes the one reached with Return.
void ChooseByKeys(int control, int steps)
{
    SetActiveCtrl(st.panel, control);
    Key(Qt::Key_Space);
    QTRY_VERIFY(List(control)->view()->isVisible());
    for (int i = 0; i < steps; ++i)
        Key(Qt::Key_Down);
    Key(Qt::Key_Return);
}

// What a control shows on the screen.
QString Shown(int control)
{
    QWidget *w = W(control);
    if (auto *c = qobject_cast<QComboBox *>(w))
        return c->currentText();
    if (auto *s = qobject_cast<QAbstractSpinBox *>(w))
        return s->text();
    if (auto *l = qobject_cast<QLabel *>(w))
        return l->text();
    if (auto *sl = qobject_cast<NumericSlide *>(w))
        return sl->findChild<QLabel *>()->text();
    return QStringLiteral("<not a display>");
}

QString CellShown(int row, int column)
{
    const QTableWidgetItem *item = static_cast<QTableWidget *>(W(TeachTable))->item(row, column);
    return item ? item->text() : QString();
}

// The control a user sees at the middle of the colour plane's place (the graph in front of the other).
int GraphInFront()
{
    QWidget *g = W(GraphData1);
    const QWidget *seen = g->parentWidget()->childAt(g->geometry().center());
    for (int graph : {GraphData1, GraphData2})
        if (seen && (seen == W(graph) || W(graph)->isAncestorOf(seen)))
            return graph;
    return 0;
}

int Ram(int word)
{
    return sensor->ram()[size_t(word)];
}

sim::Block WithWord(sim::Block b, int word, uint16_t value)
{
    b[size_t(word)] = value;
    return b;
}

void PowerSlideDraggedToItsLeftEnd()
{
    QSlider *s = static_cast<NumericSlide *>(W(SlidePower))->slider();
    QStyleOptionSlider opt;
    opt.initFrom(s);
    opt.orientation = s->orientation();
    opt.minimum = s->minimum();
    opt.maximum = s->maximum();
    opt.sliderPosition = s->sliderPosition();
    opt.sliderValue = s->value();
    opt.subControls = QStyle::SC_SliderGroove | QStyle::SC_SliderHandle;
    const QPoint handle = s->style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, s).center();
    const QPoint end(0, handle.y());
    QTest::mousePress(s, Qt::LeftButton, {}, handle);
    for (int step = 1; step <= 10; ++step)
        QTest::mouseMove(s, handle + (end - handle) * step / 10);
    QTest::mouseRelease(s, Qt::LeftButton, {}, end);
}

// F11, and F12 once the first measurement shows, from inside the polling loop as a user's second key press.
void PollUntilTheFirstMeasurementShows(const QString &x)
{
    QTimer stopper;
    QObject::connect(&stopper, &QTimer::timeout, [&] {
        if (Shown(DispX) == x) {
            stopper.stop();
            Key(Qt::Key_F12);
        }
    });
    stopper.start(20);
    PollWatchdog dog;
    Key(Qt::Key_F11);
    QTRY_VERIFY_WITH_TIMEOUT(!st.polling && !stopper.isActive(), 20000);
    QVERIFY2(!dog.fired(), "F12 did not end the polling");
}

struct Step {
    const char *what;
    void (*act)();
    void (*expect)();
};

// clang-format off
const Step kSteps[] = {
    {"SOURCE chosen by click",
     [] { ChooseByClick(SelectSource, 2); },
     [] {
         QCOMPARE(Shown(SelectSource), QStringLiteral("2  RED"));
         QTRY_VERIFY(W(DispRAW)->isVisible() && !W(DispX)->isVisible() && W(GraphRaw1)->isVisible());
     }},
    {"SOURCE chosen by keys",
     [] { ChooseByKeys(SelectSource, 3); },
     [] {
         QCOMPARE(Shown(SelectSource), QStringLiteral("3  GREEN"));
         QTRY_VERIFY(W(DispRAW)->isVisible() && !W(DispX)->isVisible());
     }},
    {"Output mode chosen by click, sent with F9",
     [] { ChooseByClick(EditOutmode, 1); Key(Qt::Key_F9); },
     [] { QCOMPARE(Shown(EditOutmode), QStringLiteral("INVERSE")); QTRY_COMPARE(Ram(4), 1); }},
    {"Output mode chosen by keys, sent with F9",
     [] { ChooseByKeys(EditOutmode, 1); Key(Qt::Key_F9); },
     [] { QCOMPARE(Shown(EditOutmode), QStringLiteral("INVERSE")); QTRY_COMPARE(Ram(4), 1); }},
    {"number typed and committed with Enter, sent with F9",
     [] { ClickAndSelectAll(EditSigWinHI); Type("3333"); Key(Qt::Key_Return); Key(Qt::Key_F9); },
     [] { QTRY_COMPARE(Ram(0), 3333); QCOMPARE(Shown(EditSigWinHI), QStringLiteral("3333")); }},
    {"number typed and left with Tab, sent with F9",
     [] { ClickAndSelectAll(EditHold); Type("77"); Key(Qt::Key_Tab); Key(Qt::Key_F9); },
     [] { QTRY_COMPARE(Ram(5), 77); QCOMPARE(Shown(EditHold), QStringLiteral("77")); }},
    {"power slide moved by keys, sent with F9",
     [] { SetActiveCtrl(st.panel, SlidePower); Key(Qt::Key_End); Key(Qt::Key_F9); },
     [] { QTRY_COMPARE(Ram(2), 1000); QCOMPARE(Shown(SlidePower), QStringLiteral("1000")); }},
    {"power slide dragged, sent with F9",
     [] { PowerSlideDraggedToItsLeftEnd(); Key(Qt::Key_F9); },
     [] { QTRY_COMPARE(Ram(2), 0); QCOMPARE(Shown(SlidePower), QStringLiteral("0")); }},
    {"teach-table cell typed, sent with F9",
     [] {
         auto *t = static_cast<QTableWidget *>(W(TeachTable));
         QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, t->visualItemRect(t->item(1, 0)).center());
         Type("2222");
         Key(Qt::Key_Return);
         Key(Qt::Key_F9);
     },
     [] { QTRY_COMPARE(Ram(20), 2222); QCOMPARE(CellShown(1, 0), QStringLiteral("2222")); }},
    {"EEPROM toggle clicked, sent with F9",
     [] { sensor->setEeprom(WithWord(sensor->eeprom(), 0, 1)); QTest::mouseClick(W(SelectEEPROM), Qt::LeftButton); Key(Qt::Key_F9); },
     [] { QTRY_COMPARE(int(sensor->eeprom()[0]), 4000); QCOMPARE(Ram(0), 4000); }},
    {"EEPROM toggle by the space bar, fetched with F10",
     [] {
         sensor->setEeprom(WithWord(sensor->eeprom(), 5, 42));
         SetActiveCtrl(st.panel, SelectEEPROM);
         Key(Qt::Key_Space);
         Key(Qt::Key_F10);
     },
     [] { QTRY_COMPARE(Shown(EditHold), QStringLiteral("42")); }},
    {"GET clicked",
     [] { sensor->setRam(WithWord(sensor->ram(), 3, 9)); QTest::mouseClick(W(ButtonGet), Qt::LeftButton); },
     [] { QTRY_COMPARE(Shown(EditAverage), QStringLiteral("9")); }},
    {"F10 fetches",
     [] { sensor->setRam(WithWord(sensor->ram(), 1, 321)); Key(Qt::Key_F10); },
     [] { QTRY_COMPARE(Shown(EditSigWinLo), QStringLiteral("321")); }},
    {"RESET TABLE by the space bar",
     [] { SetActiveCtrl(st.panel, ButtonResetTable); Key(Qt::Key_Space); },
     [] {
         for (int r = 0; r < 2; ++r)
             for (int c = 0; c < 5; ++c)
                 QCOMPARE(CellShown(r, c), QStringLiteral("1"));
     }},
    {"F11 polls, F12 stops",
     [] {
         sensor->setFixedMeasurement(sim::Measurement{2004, 1519, 931, 1842, 1396, 1484, 1});
         PollUntilTheFirstMeasurementShows(QStringLiteral("1842"));
     },
     [] {
         QCOMPARE(Shown(DispY), QStringLiteral("1396"));
         QCOMPARE(Message(), QStringLiteral("Stopped"));
     }},
    {"ZOOM clicked, its cross moved by the arrows",
     [] { QTest::mouseClick(W(ButtonZoom), Qt::LeftButton); Key(Qt::Key_Right); Key(Qt::Key_Up, Qt::ShiftModifier); },
     [] {
         auto *g = static_cast<ColourPlaneGraph *>(W(GraphData2));
         QCOMPARE(GraphInFront(), int(GraphData2));
         QCOMPARE(g->readout(), QStringLiteral("X 2058   Y 2148"));
         QCOMPARE(g->xAxis->range().lower, 1858.0); // the window centred on the cross
         QCOMPARE(g->yAxis->range().lower, 1948.0);
     }},
    {"Escape on the zoomed plane goes back to the overview",
     [] { QTest::mouseClick(W(ButtonZoom), Qt::LeftButton); Key(Qt::Key_Escape); },
     [] { QCOMPARE(GraphInFront(), int(GraphData1)); }},
    {"F1, Shift+F10 and the Menu key explain the focused control",
     [] {
         SetActiveCtrl(st.panel, EditHold);
         Key(Qt::Key_F1);
         Key(Qt::Key_F10, Qt::ShiftModifier);
         Key(Qt::Key_Menu);
     },
     [] {
         QCOMPARE(int(popups->popups.size()), 3);
         for (const PopupRecord &p : popups->popups) {
             QCOMPARE(p.title, std::string("Info"));
             QCOMPARE(p.text, std::string(InfoEditHold));
         }
         QCOMPARE(int(sensor->framesSeen()), 0); // Shift+F10 is no F10
     }},
};
// clang-format on

} // namespace

class TstPerson : public QObject {
    Q_OBJECT

    std::unique_ptr<sim::SensorSim> sim_;
    std::unique_ptr<PopupRecorder> popups_;

private slots:
    void initTestCase() { PrivatePortDir(); }

    void init()
    {
        sim_ = std::make_unique<sim::SensorSim>();
        QVERIFY(sim_->start());
        sensor = sim_.get();
        QVERIFY(LoadScopePanel());
        popups_ = ShowAndConnect();
        QVERIFY(popups_ && popups_->popups.empty());
        popups = popups_.get();
        PanelWidget(st.panel)->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(PanelWidget(st.panel)));
        SettledFrames(*sensor);
        sensor->clearFrames();
    }

    void cleanup()
    {
        st.poll = 0;
        popups = nullptr;
        popups_.reset();
        CloseCom(st.com);
        DiscardScopePanel();
        sensor = nullptr;
        sim_.reset();
    }

    void aPersonsClicksAndKeysReachTheScreenAndTheSensor_data()
    {
        QTest::addColumn<int>("step");
        for (int i = 0; i < int(std::size(kSteps)); ++i)
            QTest::newRow(kSteps[i].what) << i;
    }

    void aPersonsClicksAndKeysReachTheScreenAndTheSensor()
    {
        QFETCH(int, step);
        kSteps[step].act();
        if (QTest::currentTestFailed())
            return;
        kSteps[step].expect();
    }
};

QTEST_MAIN(TstPerson)
#include "tst_person.moc"
