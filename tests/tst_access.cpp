// SPDX-License-Identifier: MIT
// The panel without a mouse and without sight: the Tab order, screen readers' names and actions, windows of any size.
#include "testsupport.h"

#include "display/display.h"
#include "teach/graphs.h"
#include "ui/panelwidgets.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QSpinBox>
#include <QTableWidget>

#include <cstring>
#include <map>
#include <vector>

using namespace testsupport;

namespace {

// Events that reached each control's callback; the program's own callbacks still run.
std::map<int, std::vector<int>> events;
const CallbackEntry *realTable = nullptr;
int realCount = 0;

int Counted(int panel, int control, int event, void *data, int e1, int e2)
{
    events[control].push_back(event);
    for (int i = 0; i < realCount; ++i)
        if (realTable[i].ctrl && std::strcmp(realTable[i].name, kCtrlCallbacks[control]) == 0)
            return realTable[i].ctrl(panel, control, event, data, e1, e2);
    return 0;
}

bool LoadCountingPanel()
{
    realTable = ScopeCallbackTable(&realCount);
    static std::vector<CallbackEntry> counted;
    counted.assign(realTable, realTable + realCount);
    for (CallbackEntry &e : counted)
        if (e.ctrl)
            e.ctrl = Counted;
    events.clear();
    return LoadScopePanel(counted.data(), int(counted.size()));
}

QAccessibleInterface *Access(int control)
{
    return QAccessible::queryAccessibleInterface(W(control));
}

int FocusedControl()
{
    return GetActiveCtrl(st.panel);
}

QWidget *Root()
{
    return PanelWidget(st.panel);
}

QScrollArea *Area()
{
    return Root()->findChild<QScrollArea *>();
}

// Whether the whole of a control lies in the part of the panel the window shows.
bool InSight(QWidget *w)
{
    QWidget *viewport = Area()->viewport();
    const QRect at(w->mapTo(viewport, QPoint(0, 0)), w->size());
    return viewport->rect().contains(at);
}

} // namespace

class TstAccess : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { PrivatePortDir(); }
    void init()
    {
        QVERIFY(LoadCountingPanel());
        Root()->show();
        QVERIFY(QTest::qWaitForWindowActive(Root()));
    }
    void cleanup()
    {
        st.poll = 0;
        DiscardScopePanel();
    }

    // Keyboard

    void tabLeavesTheTeachTable_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<bool>("editing");
        QTest::addColumn<int>("reached");
        QTest::newRow("Tab") << int(Qt::Key_Tab) << int(Qt::NoModifier) << false << int(EditNo);
        QTest::newRow("Shift+Tab") << int(Qt::Key_Backtab) << int(Qt::ShiftModifier) << false << int(SlidePower);
        QTest::newRow("Ctrl+Tab") << int(Qt::Key_Tab) << int(Qt::ControlModifier) << false << int(EditNo);
        QTest::newRow("Tab from a cell being edited") << int(Qt::Key_Tab) << int(Qt::NoModifier) << true << int(EditNo);
    }

    void tabLeavesTheTeachTable()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(bool, editing);
        QFETCH(int, reached);
        auto *table = static_cast<QTableWidget *>(W(TeachTable));
        table->setFocus(Qt::TabFocusReason);
        table->setCurrentCell(0, 2);
        if (editing) {
            table->editItem(table->item(0, 2));
            QWidget *editor = QApplication::focusWidget();
            QVERIFY(editor && table->isAncestorOf(editor));
            QTest::keyClicks(editor, "77");
            QTest::keyClick(editor, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
            QCOMPARE(Cell(3, 1), uint16_t(77)); // the number typed is kept
        } else {
            QTest::keyClick(table, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        }
        QCOMPARE(FocusedControl(), reached);
        // The arrows still move between the cells.
        table->setFocus(Qt::TabFocusReason);
        const QModelIndex before = table->currentIndex();
        QTest::keyClick(table, Qt::Key_Right);
        QCOMPARE(table->currentIndex().column(), before.column() + 1);
    }

    void aKeyboardOnlyTeachingSessionReachesEveryStep()
    {
        // Tab from the COM field visits every control a user acts on, row by row, and comes round again.
        SetActiveCtrl(st.panel, EditConnect);
        std::vector<int> order{FocusedControl()};
        for (int i = 0; i < 40; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            if (FocusedControl() == order.front())
                break;
            order.push_back(FocusedControl());
        }
        const std::vector<int> expected = {
            EditConnect,      SelectRAM,  SelectEEPROM,       SelectFILE,   ButtonSend,       ButtonGet,
            ButtonGo,         ButtonStop, EditSigWinHI,       EditSigWinLo, EditAverage,      EditHold,
            EditOutmode,      SlidePower, TeachTable,         EditNo,       RadioInc,         ButtonTeachDataTo,
            ButtonResetTable, ButtonUndo, ButtonApplyFromAll, ButtonZoom,   ButtonAutoAdjust, SelectSource,
        };
        QCOMPARE(order, expected);

        // ZOOM by the space bar hands the arrows to the zoom graph: they pan, and Tab goes on from there.
        SetActiveCtrl(st.panel, ButtonZoom);
        QTest::keyClick(W(ButtonZoom), Qt::Key_Space);
        QCOMPARE(FocusedControl(), int(GraphData2));
        const QPointF before = static_cast<ColourPlaneGraph *>(W(GraphData2))->cursorPos();
        QTest::keyClick(W(GraphData2), Qt::Key_Right);
        QCOMPARE(FocusedControl(), int(GraphData2));
        QCOMPARE(static_cast<ColourPlaneGraph *>(W(GraphData2))->cursorPos(), before + QPointF(10, 0));
        QCOMPARE(events[GraphData2], std::vector<int>{EVENT_VAL_CHANGED});
        SetActiveCtrl(st.panel, SelectSource);
        QTest::keyClick(W(SelectSource), Qt::Key_Tab);
        QCOMPARE(FocusedControl(), int(GraphData2));
    }

    void autoAdjustHandsTheKeyboardToTheZoomGraph()
    {
        SetActiveCtrl(st.panel, ButtonAutoAdjust);
        QTest::keyClick(W(ButtonAutoAdjust), Qt::Key_Space);
        QCOMPARE(FocusedControl(), int(GraphData2));
        // The cross is somewhere on the whole plane the graph shows.
        auto *g = static_cast<ColourPlaneGraph *>(W(GraphData2));
        QVERIFY(g->xAxis->range().contains(g->cursorPos().x()) && g->cursorPos().x() > 0);
        QVERIFY(g->yAxis->range().contains(g->cursorPos().y()) && g->cursorPos().y() > 0);
    }

    // Screen readers

    void aScreenReadersToggleActsAsAClick_data()
    {
        QTest::addColumn<int>("toggle");
        QTest::addColumn<int>("target");
        QTest::newRow("EEPROM") << int(SelectEEPROM) << int(EEPROM);
        QTest::newRow("FILE") << int(SelectFILE) << int(DATFILE);
    }

    void aScreenReadersToggleActsAsAClick()
    {
        QFETCH(int, toggle);
        QFETCH(int, target);
        QAccessibleActionInterface *act = Access(toggle)->actionInterface();
        QVERIFY(act);
        act->doAction(QAccessibleActionInterface::toggleAction());
        QCOMPARE(int(st.target), target);
        QCOMPARE(Val(SelectRAM) + Val(SelectEEPROM) + Val(SelectFILE), 1);
        QCOMPARE(Val(toggle), 1);
        act->doAction(QAccessibleActionInterface::toggleAction()); // off again: back to RAM
        QCOMPARE(st.target, RAM);
        QCOMPARE(Val(SelectRAM), 1);
        QCOMPARE(Val(toggle), 0);
    }

    void aScreenReaderStepsTheComFieldByOneAsTheArrowsDo()
    {
        PopupRecorder rec; // the port changes, to a number nothing answers on
        QAccessibleInterface *a = Access(EditConnect);
        QAccessibleValueInterface *value = a->valueInterface();
        QVERIFY(value && a->actionInterface());
        QCOMPARE(value->minimumStepSize().toInt(), 1);
        a->actionInterface()->doAction(QAccessibleActionInterface::increaseAction());
        QCOMPARE(Val(EditConnect), 2);
        QCOMPARE(int(st.com), 2); // through the callback, as an arrow key would
        a->actionInterface()->doAction(QAccessibleActionInterface::decreaseAction());
        QCOMPARE(Val(EditConnect), 1);
        value->setCurrentValue(7);
        QCOMPARE(Val(EditConnect), 7);
        QCOMPARE(events[EditConnect], (std::vector<int>{EVENT_COMMIT, EVENT_COMMIT, EVENT_COMMIT}));
        QCOMPARE(int(st.com), 7);
        CloseCom(st.com);
    }

    void aSourceChosenInTheAccessibleListIsChosen()
    {
        QAccessibleInterface *list = Access(SelectSource)->child(0);
        QVERIFY(list && list->tableInterface());
        QVERIFY(list->tableInterface()->selectRow(2));
        QCOMPARE(static_cast<QComboBox *>(W(SelectSource))->currentIndex(), 2);
        QCOMPARE(events[SelectSource], std::vector<int>{EVENT_COMMIT});
        QCOMPARE(st.source, uint16_t(kSourceRed));
        QCOMPARE(Attr(DispRAW, ATTR_VISIBLE), 1);
        // Choosing what is chosen already is no new choice.
        QVERIFY(list->tableInterface()->selectRow(2));
        QCOMPARE(events[SelectSource].size(), size_t(1));
    }

    void comboBoxesAreNamedByTheirLabelAndTellTheirItem_data()
    {
        QTest::addColumn<int>("control");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("value");
        QTest::newRow("output mode") << int(EditOutmode) << QStringLiteral("Output mode") << QStringLiteral("DIRECT");
        QTest::newRow("source") << int(SelectSource) << QStringLiteral("Signal source")
                                << QStringLiteral("0  X/Y colour plane");
    }

    void comboBoxesAreNamedByTheirLabelAndTellTheirItem()
    {
        QFETCH(int, control);
        QFETCH(QString, name);
        QFETCH(QString, value);
        QAccessibleInterface *a = Access(control);
        QCOMPARE(a->role(), QAccessible::ComboBox);
        QCOMPARE(a->text(QAccessible::Name), name);
        QCOMPARE(a->text(QAccessible::Value), value);
        QCOMPARE(a->text(QAccessible::Description), QString::fromLatin1(CtrlName(control)));
        SetCtrlVal(st.panel, control, 1);
        QCOMPARE(a->text(QAccessible::Name), name);
        QCOMPARE(a->text(QAccessible::Value), static_cast<QComboBox *>(W(control))->itemText(1));
    }

    void thePowerSlideIsNamedWhereItTakesTheKeyboard()
    {
        QSlider *slider = static_cast<NumericSlide *>(W(SlidePower))->slider();
        QAccessibleInterface *a = QAccessible::queryAccessibleInterface(slider);
        QCOMPARE(a->text(QAccessible::Name), QStringLiteral("Power"));
        QCOMPARE(a->text(QAccessible::Description), QStringLiteral("SlidePower"));
        SetActiveCtrl(st.panel, SlidePower);
        QCOMPARE(QApplication::focusWidget(), slider);
    }

    void theColourLampsSayWhetherTheyAreOn()
    {
        SetCtrlVal(st.panel, LedCol1, 1);
        SetCtrlVal(st.panel, LedCol2, 0);
        QAccessibleInterface *on = Access(LedCol1), *off = Access(LedCol2);
        QVERIFY(on->state().checkable && on->state().checked);
        QVERIFY(off->state().checkable && !off->state().checked);
        QCOMPARE(on->text(QAccessible::Value), QStringLiteral("on"));
        QCOMPARE(off->text(QAccessible::Value), QStringLiteral("off"));
        QCOMPARE(on->text(QAccessible::Name), QStringLiteral("Colour 0 detected"));
        QCOMPARE(off->text(QAccessible::Name), QStringLiteral("Colour 1 detected"));
    }

    void eachColourPlaneSaysWhereItsCrossAndCirclesAre()
    {
        SetCtrlVal(st.panel, SelectSource, 0);
        DispVis();
        Click(ButtonApplyFromAll); // the panel file's table: No. 0 at (1800, 1500), No. 1 at (1000, 2200), CTO 120
        SetGraphCursor(st.panel, GraphData1, 1, 1842, 1396);
        const QString name = Access(GraphData1)->text(QAccessible::Name);
        QCOMPARE(name, QStringLiteral("Colour plane: cross at X 1842, Y 1396; circle 0 at X 1800, Y 1500, radius 120; "
                                      "circle 1 at X 1000, Y 2200, radius 120"));
        QCOMPARE(Access(GraphData1)->text(QAccessible::Description), QStringLiteral("GraphData1"));
        Click(ButtonZoom);
        QVERIFY(
            Access(GraphData2)->text(QAccessible::Name).startsWith(QStringLiteral("Zoomed colour plane: cross at")));
        QVERIFY(Access(GraphData2)->text(QAccessible::Name).contains(QStringLiteral("circle 1 at X 1000, Y 2200")));
    }

    void noCellOrListItemStaysFocusedOnceTheKeyboardHasLeft()
    {
        auto *table = static_cast<QTableWidget *>(W(TeachTable));
        table->setFocus(Qt::TabFocusReason);
        table->setCurrentCell(1, 3);
        QAccessibleInterface *cell = Access(TeachTable)->tableInterface()->cellAt(1, 3);
        QVERIFY(cell->state().focused);
        SetActiveCtrl(st.panel, EditNo);
        cell = Access(TeachTable)->tableInterface()->cellAt(1, 3);
        QVERIFY(!cell->state().focused);
        // Coming back by keyboard finds the cell where it was left.
        QTest::keyClick(W(EditNo), Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(FocusedControl(), int(TeachTable));
        QCOMPARE(table->currentRow(), 1);
        QCOMPARE(table->currentColumn(), 3);

        auto *combo = static_cast<QComboBox *>(W(SelectSource));
        combo->showPopup();
        QTRY_VERIFY(combo->view()->isVisible());
        combo->hidePopup();
        QTRY_VERIFY(!combo->view()->isVisible());
        // The list lets go of its item once the combo box has taken the choice, right after it closes.
        const auto focusedItem = [] {
            QAccessibleInterface *list = Access(SelectSource)->child(0);
            for (int i = 0; i < list->childCount(); ++i)
                if (list->child(i)->state().focused)
                    return list->child(i)->text(QAccessible::Name);
            return QString();
        };
        QTRY_COMPARE(focusedItem(), QString());
    }

    // Windows of any size

    void aWindowSmallerThanThePanelScrollsToEveryControl()
    {
        QVERIFY2(Area(), "the panel scrolls in its window");
        QVERIFY(Root()->minimumSizeHint().width() < 600 && Root()->minimumSizeHint().height() < 400);
        Root()->resize(600, 400);
        QTRY_COMPARE(Root()->size(), QSize(600, 400));
        QVERIFY(Area()->horizontalScrollBar()->maximum() > 0);
        QVERIFY(Area()->verticalScrollBar()->maximum() > 0);
        // Whatever takes the keyboard is brought into sight, the far corner too.
        for (int control : {int(ButtonAutoAdjust), int(SelectSource), int(EditConnect), int(ButtonZoom)}) {
            SetActiveCtrl(st.panel, control);
            QVERIFY2(InSight(W(control)), CtrlName(control));
        }
        Area()->ensureWidgetVisible(W(DispINT));
        QVERIFY(InSight(W(DispINT)));
        Area()->ensureWidgetVisible(W(DispBLUE));
        QVERIFY(InSight(W(DispBLUE)));
        // The message line stays in sight below, whatever the panel shows.
        QVERIFY(W(MessageLine)->isVisible());
        QCOMPARE(W(MessageLine)->mapTo(Root(), QPoint(0, W(MessageLine)->height())).y(), Root()->height());
    }

    void theScrollFollowsTheKeyboardBothWaysAndShowsTheControlsGroup()
    {
        // A 1920 x 1080 screen at a scale of 2: the live data reach past the window's right edge.
        Root()->resize(960, 540);
        QTRY_COMPARE(Root()->size(), QSize(960, 540));
        QVERIFY(Area()->horizontalScrollBar()->maximum() > 0);
        SetActiveCtrl(st.panel, EditConnect);
        const QScrollBar *across = Area()->horizontalScrollBar();
        for (int i = 0; i < 40 && FocusedControl() != SelectSource; ++i)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(FocusedControl(), int(SelectSource));
        // With the list come the numbers it chooses between, the last of them at the far right.
        QVERIFY2(InSight(W(SelectSource)) && InSight(W(DispINT)), qPrintable(QString::number(across->value())));
        const int right = across->value();
        // And back: Tab goes round to the COM field at the left, and the view with it.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QTRY_COMPARE(FocusedControl(), int(EditConnect));
        QVERIFY(InSight(W(EditConnect)) && InSight(W(DispStatus)));
        QVERIFY(across->value() < right);
    }

    void aWindowLargerThanThePanelKeepsItInTheMiddle()
    {
        QVERIFY2(Area(), "the panel scrolls in its window");
        Root()->resize(1600, 1100);
        QTRY_COMPARE(Root()->size(), QSize(1600, 1100));
        QWidget *face = W(LogoBackdrop)->parentWidget();
        const QRect at(face->mapTo(Root(), QPoint(0, 0)), face->size());
        QCOMPARE(face->size(), QSize(1000, 690));
        QVERIFY(std::abs(at.left() - (1600 - at.right() - 1)) <= 1);
        const int spaceBelow = W(MessageLine)->mapTo(Root(), QPoint(0, 0)).y() - at.bottom() - 1;
        QVERIFY(std::abs(at.top() - spaceBelow) <= 1);
        QCOMPARE(W(MessageLine)->width(), 1600);
    }
};

QTEST_MAIN(TstAccess)
#include "tst_access.moc"
