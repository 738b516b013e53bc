// SPDX-License-Identifier: MIT
// The panel, start-up and shutdown, callbacks with their help texts, and the branding strip.
#include "testsupport.h"

#include "core/helptexts.h"
#include "branding/logo.h"

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>

#include "ui/panelwidgets.h"

#include <cstring>

using namespace testsupport;

namespace {

struct HelpCase {
    int control;
    const char *text;
};

// Which text each control explains itself with; four texts are shared.
const HelpCase kHelp[] = {
    {ButtonSend, InfoButtonSend},
    {ButtonGet, InfoButtonGet},
    {ButtonGo, InfoButtonGo},
    {ButtonStop, InfoButtonStop},
    {EditConnect, InfoEditConnect},
    {SelectRAM, InfoSelectMEM},
    {SelectEEPROM, InfoSelectMEM},
    {SelectFILE, InfoSelectMEM},
    {SelectSource, InfoSelectSource},
    {ButtonTeachDataTo, InfoButtonTeachDataTo},
    {ButtonResetTable, InfoButtonResetTable},
    {ButtonUndo, InfoButtonUndo},
    {ButtonApplyFromAll, InfoButtonApplyFromAll},
    {ButtonZoom, InfoButtonZoom},
    {ButtonAutoAdjust, InfoButtonAutoAdjust},
    {EditNo, InfoEditNo},
    {RadioInc, InfoRadioInc},
    {EditSigWinHI, InfoEditSigWin},
    {EditSigWinLo, InfoEditSigWin},
    {SlidePower, InfoEditPower},
    {EditAverage, InfoEditAverage},
    {EditOutmode, InfoEditOutmode},
    {EditHold, InfoEditHold},
    {DispX, InfoDispX},
    {DispY, InfoDispY},
    {DispINT, InfoDispINT},
    {DispRAW, InfoDispRAW},
    {DispCOL, InfoDispCOL},
    {DispRED, InfoDispBars},
    {DispGREEN, InfoDispBars},
    {DispBLUE, InfoDispBars},
    {DispStatus, InfoStatus},
    {GraphRaw1, InfoGraph},
    {GraphData1, InfoGraph},
};

// Where a user would click: the inner part that takes the mouse, not just the outer frame.
QWidget *ClickTarget(QWidget *w)
{
    if (auto *spin = qobject_cast<QAbstractSpinBox *>(w))
        return spin->findChild<QLineEdit *>();
    if (auto *slide = qobject_cast<NumericSlide *>(w))
        return slide->slider();
    return w;
}

void RightClick(QWidget *w)
{
    QWidget *t = ClickTarget(w);
    QTest::mousePress(t, Qt::RightButton, {}, t->rect().center());
    QTest::mouseRelease(t, Qt::RightButton, {}, t->rect().center());
}

// Blanks that stand before each line break of a text.
QList<int> BlanksBeforeBreaks(const char *text)
{
    QList<int> out;
    const QByteArray t(text);
    for (int i = 0; i < t.size(); ++i) {
        if (t[i] != '\n')
            continue;
        int n = 0;
        for (int j = i - 1; j >= 0 && t[j] == ' '; --j)
            ++n;
        out << n;
    }
    return out;
}

QByteArray StateBytes()
{
    return QByteArray(reinterpret_cast<const char *>(&st), sizeof st);
}

} // namespace

class TstPanel : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { PrivatePortDir(); }
    void init() { QVERIFY(LoadScopePanel()); }
    void cleanup() { DiscardScopePanel(); }

    void everyInventoryControlIsOnThePanelWithItsKindAndCallback()
    {
        for (int id = 1; id < kCtrlCount; ++id) {
            QWidget *w = W(id);
            QVERIFY2(w, CtrlName(id));
            QCOMPARE(w->objectName(), QString::fromLatin1(CtrlName(id)));
            QVERIFY2(w->inherits(kCtrlClasses[id]), CtrlName(id));
            QCOMPARE(w->property("callback").toString(), QString::fromLatin1(kCtrlCallbacks[id]));
        }
        QCOMPARE(PanelWidget(st.panel)->property("callback").toString(), QStringLiteral("CBF_P"));
        QCOMPARE(PanelWidget(st.panel)->windowTitle(), QStringLiteral("Quillex-EMB-Scope V1.0"));
        QCOMPARE(W(GraphRaw1)->property("traces").toInt(), 7);
        QCOMPARE(W(GraphData1)->geometry(), W(GraphData2)->geometry());
    }

    void everyControlIsNamedForAssistiveTechnology()
    {
        for (int id = 1; id < kCtrlCount; ++id) {
            QWidget *w = W(id);
            QCOMPARE(w->accessibleDescription(), QString::fromLatin1(CtrlName(id)));
            QVERIFY2(!w->accessibleName().isEmpty(), CtrlName(id));
        }
    }

    void loadingThePanelBringsInNoDesignerPlugins()
    {
#ifdef __linux__
        // Every library the process has mapped; Qt Designer's plugins live in a folder of that name.
        QFile maps(QStringLiteral("/proc/self/maps"));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        const QByteArray mapped = maps.readAll();
        QVERIFY(mapped.contains("libQt6UiTools") || mapped.contains("libQt6Widgets")); // the file is what we think
        QVERIFY2(!mapped.contains("/designer/"), "a Qt Designer plugin was loaded with the panel");
        QVERIFY2(!mapped.contains("libQt6Quick"), "Qt Quick was loaded with the panel");
        // The panel's own classes and Qt's standard widgets still load.
        QVERIFY(qobject_cast<ColourPlaneGraph *>(W(GraphData1)));
        QVERIFY(W(SelectSource)->inherits("QComboBox"));
#else
        QSKIP("reads the process's mapped libraries from /proc");
#endif
    }

    void initialValuesAgreeWithTheStartState()
    {
        QCOMPARE(Val(SelectRAM), 1);
        QCOMPARE(Val(SelectEEPROM), 0);
        QCOMPARE(Val(SelectFILE), 0);
        QCOMPARE(Status(), QStringLiteral("InitVars"));
        QCOMPARE(st.target, RAM);
        QCOMPARE(st.com, uint16_t(1));
        QCOMPARE(st.sync, uint16_t(85));
        QCOMPARE(st.anzpara, uint16_t(25));
        QCOMPARE(st.anzdata, uint16_t(7));
        QCOMPARE(st.waitdel, 0.1);
        QCOMPARE(st.xramp[0], uint16_t(0));
        QCOMPARE(st.yramp[0], uint16_t(4095));
        QCOMPARE(st.xramp[4095], uint16_t(4095));
        QCOMPARE(st.yramp[4095], uint16_t(0));
        QCOMPARE(Attr(GraphData2, ATTR_ZPLANE_POSITION), 100);
        const QObjectList order = W(GraphData1)->parentWidget()->children();
        QVERIFY(order.indexOf(W(GraphData2)) < order.indexOf(W(GraphData1)));
    }

    void functionKeysReachTheirButtons()
    {
        PopupRecorder rec; // no sensor: the transfers the keys start end in time-out reports
        QWidget *root = PanelWidget(st.panel);
        root->show();
        QVERIFY(QTest::qWaitForWindowActive(root));
        const std::pair<Qt::Key, int> keys[] = {
            {Qt::Key_F9, ButtonSend}, {Qt::Key_F10, ButtonGet}, {Qt::Key_F11, ButtonGo}, {Qt::Key_F12, ButtonStop}};
        for (auto [key, control] : keys) {
            QSignalSpy clicked(static_cast<QPushButton *>(W(control)), &QPushButton::clicked);
            QTest::keyClick(root, key);
            QTRY_COMPARE(clicked.count(), 1); // a shortcut presses the button visibly, then clicks
        }
    }

    void exactlyOneTransferToggleIsLitTheTarget_data()
    {
        QTest::addColumn<int>("clicked");
        QTest::addColumn<int>("clicks");
        for (int toggle : {int(SelectRAM), int(SelectEEPROM), int(SelectFILE)})
            for (int clicks : {1, 2})
                QTest::addRow("%s clicked %d time(s)", CtrlName(toggle), clicks) << toggle << clicks;
    }

    void exactlyOneTransferToggleIsLitTheTarget()
    {
        QFETCH(int, clicked);
        QFETCH(int, clicks);
        for (int i = 0; i < clicks; ++i)
            QTest::mouseClick(W(clicked), Qt::LeftButton);
        // Switched on, a toggle names the target; switched off again, the target falls back to RAM.
        const bool on = clicks % 2 == 1;
        const int lit = on ? clicked : int(SelectRAM);
        QCOMPARE(st.target, lit == SelectEEPROM ? EEPROM : lit == SelectFILE ? DATFILE : RAM);
        QCOMPARE(Val(SelectRAM) + Val(SelectEEPROM) + Val(SelectFILE), 1);
        QCOMPARE(Val(lit), 1);
    }

    void rightClickShowsEachControlsHelpText()
    {
        PopupRecorder rec;
        for (const HelpCase &h : kHelp) {
            rec.popups.clear();
            RightClick(W(h.control));
            QVERIFY2(rec.popups.size() == 1, CtrlName(h.control));
            QCOMPARE(rec.popups[0].title, std::string("Info"));
            QCOMPARE(rec.popups[0].text, std::string(h.text));
        }
    }

    void rightClickOnControlsWithoutCallbackDoesNothing()
    {
        PopupRecorder rec;
        const QByteArray before = StateBytes();
        for (int control : {LedCol1, LedCol2, TeachTable, LogoPicture, LogoBackdrop, CaptionX})
            RightClick(W(control));
        QVERIFY(rec.popups.empty());
        QVERIFY(StateBytes() == before);
    }

    void rightClickOnTheZoomGraphSendsItBackWithoutText()
    {
        PopupRecorder rec;
        SetCtrlAttribute(st.panel, GraphData2, ATTR_ZPLANE_POSITION, 0);
        RightClick(W(GraphData2));
        QVERIFY(rec.popups.empty());
        QCOMPARE(Attr(GraphData2, ATTR_ZPLANE_POSITION), 100);
        const QObjectList order = W(GraphData1)->parentWidget()->children();
        QVERIFY(order.indexOf(W(GraphData2)) < order.indexOf(W(GraphData1)));
    }

    void rightClickOnButtonGoExplainsButStartsNothing()
    {
        PopupRecorder rec;
        const QByteArray before = StateBytes();
        RightClick(W(ButtonGo));
        QCOMPARE(rec.popups.size(), size_t(1));
        QVERIFY(StateBytes() == before);
    }

    void committingHelpOnlyControlsChangesNoVariable()
    {
        PanelWidget(st.panel)->show();
        const QByteArray before = StateBytes();
        for (int control : {EditHold, EditSigWinHI, EditAverage, EditNo}) {
            auto *spin = static_cast<QAbstractSpinBox *>(W(control));
            spin->setFocus();
            spin->selectAll();
            QTest::keyClicks(spin, "1");
            QTest::keyClick(spin, Qt::Key_Return);
        }
        auto *slide = static_cast<NumericSlide *>(W(SlidePower));
        QTest::mouseClick(slide->slider(), Qt::LeftButton, {}, QPoint(5, slide->slider()->height() / 2));
        auto *mode = static_cast<QComboBox *>(W(EditOutmode));
        mode->setCurrentIndex(1);
        emit mode->activated(1);
        QVERIFY(StateBytes() == before);
    }

    void discardingThePanelWithRedrawsPendingIsSafe()
    {
        // Displays paint at the frame pace; a panel discarded before its next frame must not be painted.
        PanelWidget(st.panel)->show();
        QVERIFY(QTest::qWaitForWindowExposed(PanelWidget(st.panel)));
        SetGraphCursor(st.panel, GraphData1, 1, 100, 200);
        SetCtrlVal(st.panel, DispX, 4000);
        SetCtrlVal(st.panel, DispRED, 4000);
        QVERIFY(static_cast<QLabel *>(W(DispX))->text() != QStringLiteral("4000")); // its redraw still to come
        const QPointer<QWidget> plane = W(GraphData1), x = W(DispX), red = W(DispRED);
        DiscardScopePanel();
        QVERIFY(!plane && !x && !red);
        // The frames their redraws were due in: one that reached a deleted display would crash here.
        QTest::qWait(6 * FrameGate::kFrameMs);
        QVERIFY(PanelWidget(st.panel) == nullptr);
    }

    void textControlsShowUtf8AndKeepADevicesLatin1_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown");
        QTest::newRow("UTF-8: a path and the middle dot")
            << QByteArray("Saved /tmp/m\xc3\xa4rz/init.dat \xc2\xb7 17:05:12")
            << QStringLiteral("Saved /tmp/m\u00e4rz/init.dat \u00b7 17:05:12");
        QTest::newRow("Latin-1 from a device") << QByteArray("SENSOR 20\xb0"
                                                             "C")
                                               << QStringLiteral("SENSOR 20\u00b0C");
        QTest::newRow("ASCII") << QByteArray("TIMEOUT") << QStringLiteral("TIMEOUT");
    }

    void textControlsShowUtf8AndKeepADevicesLatin1()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, shown);
        for (int control : {int(DispStatus), int(MessageLine)}) {
            SetCtrlVal(st.panel, control, bytes.constData());
            QCOMPARE(static_cast<QLabel *>(W(control))->text(), shown);
            char back[256];
            GetCtrlVal(st.panel, control, back);
            QCOMPARE(QString::fromUtf8(back), shown);
        }
    }

    void aLongTextReadsBackCutBeforeACharacterThatDoesNotFit()
    {
        const QString text(200, QChar(0xE4)); // two bytes each in UTF-8
        SetCtrlVal(st.panel, MessageLine, text.toUtf8().constData());
        char back[256];
        GetCtrlVal(st.panel, MessageLine, back);
        QCOMPARE(std::strlen(back), size_t(254));
        // What is read back can be set again as it was read: no half character turns it into Latin-1.
        SetCtrlVal(st.panel, DispStatus, back);
        QCOMPARE(static_cast<QLabel *>(W(DispStatus))->text(), QString(127, QChar(0xE4)));
    }

    void theTeachTableTheLampsAndTheNoFieldCountAlike()
    {
        // The No.: field counts the taught colours 0 and 1; so do the table's rows and the lamps' labels.
        auto *table = static_cast<QTableWidget *>(W(TeachTable));
        QCOMPARE(table->verticalHeaderItem(0)->text(), QStringLiteral("0"));
        QCOMPARE(table->verticalHeaderItem(1)->text(), QStringLiteral("1"));
        auto *no = static_cast<QSpinBox *>(W(EditNo));
        QCOMPARE(no->minimum(), 0);
        QCOMPARE(no->maximum(), table->rowCount() - 1);
        for (auto [led, label] : {std::pair{LedCol1, "No. 0"}, std::pair{LedCol2, "No. 1"}}) {
            QLabel *caption = nullptr;
            for (auto *l : PanelWidget(st.panel)->findChildren<QLabel *>())
                if (l->buddy() == W(led))
                    caption = l;
            QVERIFY2(caption, CtrlName(led));
            QCOMPARE(caption->text(), QString::fromLatin1(label));
        }
    }

    void helpTextsKeepTheirBlanksAndLineBreaks()
    {
        QCOMPARE(BlanksBeforeBreaks(InfoButtonSend), (QList<int>{27, 27}));
        QCOMPARE(BlanksBeforeBreaks(InfoButtonGo), (QList<int>{25, 24}));
        QCOMPARE(BlanksBeforeBreaks(InfoButtonStop), (QList<int>{24}));
        QCOMPARE(BlanksBeforeBreaks(InfoButtonTeachDataTo), (QList<int>{34}));
        QCOMPARE(BlanksBeforeBreaks(InfoButtonAutoAdjust), (QList<int>{33, 33}));
        QCOMPARE(BlanksBeforeBreaks(InfoEditOutmode), (QList<int>{28, 28}));
        QCOMPARE(BlanksBeforeBreaks(InfoDispX), (QList<int>{22, 22}));
        QCOMPARE(BlanksBeforeBreaks(InfoEditConnect), QList<int>{});
        for (const HelpCase &h : kHelp)
            QVERIFY2(h.text[0] == ' ', h.text);
        QVERIFY(QByteArray(InfoButtonGet).endsWith("Shortcut Key: F10. "));
        QVERIFY(QByteArray(InfoEditPower).contains("0 = no intensity,  1000 = full intensity."));
        QCOMPARE(QByteArray(InfoTimeout), QByteArray(" ATTENTION! \n \n TIMEOUT \n NO SERIAL CONNECTION TO SENSOR"));
    }

    void theRealHelpBoxShowsTheTextAsStored()
    {
        QString title, text;
        QTimer::singleShot(50, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            title = box->windowTitle();
            text = box->text();
            box->accept();
        });
        RightClick(W(ButtonStop));
        QCOMPARE(title, QStringLiteral("Info"));
        QCOMPARE(text, QString::fromLatin1(InfoButtonStop));
    }

    void startUpDrawsBrandingVariantTen()
    {
        const std::vector<QWidget *> captions = NewCtrlWidgets(st.panel);
        QCOMPARE(captions.size(), size_t(1));
        auto *title = qobject_cast<QLabel *>(captions[0]);
        QCOMPARE(title->text(), QStringLiteral("Quillex-EMB-Scope V1.0"));
        QCOMPARE(title->pos(), QPoint(20, 16));
        QCOMPARE(title->font().pointSize(), 25);
        QVERIFY(title->width() >= title->fontMetrics().horizontalAdvance(title->text()));
        QCOMPARE(title->palette().color(QPalette::WindowText), QColor(QRgb(0x808080)));
        QCOMPARE(title->palette().color(QPalette::Window), QColor(QRgb(0xFFFFFF)));
        QCOMPARE(Attr(LogoBackdrop, ATTR_FRAME_COLOR), 0xFFFFFF);
        QCOMPARE(Attr(LogoPicture, ATTR_LEFT), 595);
        QCOMPARE(Attr(LogoPicture, ATTR_TOP), 6);
        QVERIFY(!qobject_cast<QLabel *>(W(LogoPicture))->pixmap().isNull());
        // Captions lie in front of the strip they are drawn on.
        const QObjectList order = W(LogoBackdrop)->parentWidget()->children();
        QVERIFY(order.indexOf(W(LogoBackdrop)) < order.indexOf(title));
    }

    void brandingVariantsOutsideTheTableChangeNothing()
    {
        SetCtrlAttribute(st.panel, LogoBackdrop, ATTR_FRAME_COLOR, 0x123456);
        for (int variant : {-1, 11}) {
            ShowLogo(variant);
            QCOMPARE(NewCtrlWidgets(st.panel).size(), size_t(1));
            QCOMPARE(Attr(LogoBackdrop, ATTR_FRAME_COLOR), 0x123456);
        }
    }

    void brandingVariantFiveIsWhiteOnABlueStrip()
    {
        ShowLogo(5);
        const std::vector<QWidget *> captions = NewCtrlWidgets(st.panel);
        QCOMPARE(captions.size(), size_t(5));
        QCOMPARE(Attr(LogoBackdrop, ATTR_FRAME_COLOR), 0x0080FF);
        for (size_t i = 1; i < captions.size(); ++i) {
            QCOMPARE(captions[i]->palette().color(QPalette::WindowText), QColor(QRgb(0xFFFFFF)));
            QVERIFY(!captions[i]->autoFillBackground());
        }
        QCOMPARE(captions[1]->pos(), QPoint(323, 30));
        QCOMPARE(st.textIDsoft, 0);
    }

    void brandingVariantZeroMovesThePictureAndLoadsNone()
    {
        ShowLogo(0);
        QCOMPARE(Attr(LogoPicture, ATTR_LEFT), 800);
        const std::vector<QWidget *> captions = NewCtrlWidgets(st.panel);
        QCOMPARE(captions.size(), size_t(2));
        QCOMPARE(captions[1]->palette().color(QPalette::WindowText), QColor(Qt::black));
    }
};

QTEST_MAIN(TstPanel)
#include "tst_panel.moc"
