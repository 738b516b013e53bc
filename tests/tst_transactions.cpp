// SPDX-License-Identifier: MIT
// Sending, fetching and polling through the simulated sensor, asserting the frames it received.
#include "testsupport.h"

#include "core/helptexts.h"
#include "link/com232.h"
#include "panel/port.h"
#include "panel/reply.h"
#include "panel/transactions.h"
#include "ui/panelwidgets.h"
#include "io/rs232.h"
#include "io/utility.h"

#include "sensor_sim.h"

#include <QAccessible>
#include <QCloseEvent>
#include <QRegularExpression>
#include <QLabel>
#include <QSlider>
#include <QSpinBox>
#include <QTableWidget>
#include <QThread>
#include <QTimer>

#include <functional>

using namespace testsupport;

namespace {

// Runs fn once, after ms, from inside whatever event processing is going on then (the polling loop's).
void Later(int ms, std::function<void()> fn)
{
    QTimer::singleShot(ms, std::move(fn));
}

// Word w of the parameter block carried by a request frame.
int FrameWord(const std::vector<uint8_t> &frame, int w)
{
    return frame[size_t(4 + 2 * w)] << 8 | frame[size_t(5 + 2 * w)];
}

sim::Block Distinct()
{
    sim::Block b{};
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = uint16_t(1000 + 37 * i);
    b[2] = 640; // within the power slide's range
    b[4] = 1;   // a code the output-mode selector knows
    return b;
}

} // namespace

class TstTransactions : public QObject {
    Q_OBJECT

    std::unique_ptr<sim::SensorSim> sensor;
    std::unique_ptr<PopupRecorder> popups;

    std::vector<std::vector<uint8_t>> settledFrames() const { return SettledFrames(*sensor); }

    std::vector<int> orders() const
    {
        std::vector<int> out;
        for (const auto &f : settledFrames())
            out.push_back(f[3]);
        return out;
    }

    int countOrder(int order) const
    {
        const auto o = orders();
        return int(std::count(o.begin(), o.end(), order));
    }

private slots:
    void initTestCase() { PrivatePortDir(); }

    void init() { ConnectToFreshSensor(sensor, popups); }
    void cleanup() { DisconnectSensor(sensor, popups); }

    void connectingFetchesTheSensorsParametersOntoThePanel()
    {
        const sim::Block ram = sim::DefaultBlock();
        for (int i = 0; i < 25; ++i)
            QCOMPARE(st.pp[i], ram[size_t(i)]);
        QCOMPARE(Val(EditSigWinHI), int(ram[0]));
        QCOMPARE(Cell(3, 1), ram[17]);
        QVERIFY(Status().startsWith(QStringLiteral("QUILLEX")));
    }

    void aSendGuardsTheNextTransfer_data()
    {
        QTest::addColumn<int>("target");
        QTest::addColumn<int>("next");
        QTest::addColumn<int>("order");
        QTest::addColumn<double>("guard");
        for (auto [target, order, guard] : {std::tuple{int(RAM), 1, 0.2}, std::tuple{int(EEPROM), 2, 0.3}})
            for (int next : {int(ButtonSend), int(ButtonGet), int(ButtonGo)})
                QTest::addRow("%s then %s", target == RAM ? "RAM" : "EEPROM", CtrlName(next))
                    << target << next << order << guard;
    }

    void aSendGuardsTheNextTransfer()
    {
        QFETCH(int, target);
        QFETCH(int, next);
        QFETCH(int, order);
        QFETCH(double, guard);
        st.target = uint16_t(target);
        Click(ButtonSend);
        const double sendBegan = st.transbeg;
        QCOMPARE(orders(), std::vector<int>{order});
        QCOMPARE(st.waitdel, guard);

        double nextWrite = 0;
        if (next == ButtonGo) {
            Later(0, [&] {
                nextWrite = Timer();
                Click(ButtonStop);
            });
            Click(ButtonGo);
        } else {
            Click(next);
            nextWrite = st.transbeg;
        }
        QVERIFY2(nextWrite - sendBegan >= guard - 1e-6, qPrintable(QString::number(nextWrite - sendBegan)));
        QVERIFY(nextWrite - sendBegan < guard + 0.15);
        QCOMPARE(int(settledFrames().size()), 2);
    }

    void getWithEepromReplacesTheWholeBlockAndRefreshesThePanel()
    {
        const sim::Block block = Distinct();
        sensor->setEeprom(block);
        st.target = EEPROM;
        Click(ButtonGet);
        QCOMPARE(orders(), std::vector<int>{4});
        for (int i = 0; i < 25; ++i)
            QCOMPARE(st.pp[i], block[size_t(i)]);
        QCOMPARE(Val(EditSigWinHI), int(block[0]));
        QCOMPARE(Val(SlidePower), int(block[2]));
        QCOMPARE(Val(EditOutmode), 1);
        QCOMPARE(Val(EditHold), int(block[5]));
        QCOMPARE(Cell(1, 1), block[15]);
        QCOMPARE(Cell(5, 2), block[24]);
        QCOMPARE(st.waitdel, 0.2);
    }

    void withTheFileTargetAReconnectReadsTheSensorsRam()
    {
        sensor->setRam(Distinct());
        st.target = DATFILE;
        sensor->clearFrames();
        QTest::keyClick(W(EditConnect), Qt::Key_Return);
        QCOMPARE(orders(), (std::vector<int>{7, 3}));
        QCOMPARE(st.pp[10], Distinct()[10]);
    }

    void aWrongSizedParameterReplyIsATimeoutAndChangesNothing_data()
    {
        QTest::addColumn<int>("fault");
        QTest::newRow("49 bytes") << int(sim::Fault::ShortByOne);
        QTest::newRow("51 bytes at once") << int(sim::Fault::LongByOne);
    }

    void aWrongSizedParameterReplyIsATimeoutAndChangesNothing()
    {
        QFETCH(int, fault);
        sensor->setRam(Distinct());
        sensor->setFault(sim::Fault(fault), sim::ReadRam);
        const QByteArray ppBefore(reinterpret_cast<const char *>(st.pp), sizeof st.pp);
        const int sigwinhi = Val(EditSigWinHI);
        const uint16_t cell = Cell(1, 1);
        Click(ButtonGet);
        QCOMPARE(popups->popups.size(), size_t(1));
        QCOMPARE(popups->popups[0].title, std::string("INFO"));
        QCOMPARE(popups->popups[0].text, std::string(InfoTimeout));
        QCOMPARE(Status(), QStringLiteral("TIMEOUT"));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(st.pp), sizeof st.pp), ppBefore);
        QCOMPARE(Val(EditSigWinHI), sigwinhi);
        QCOMPARE(Cell(1, 1), cell);

        // A later good read refreshes the panel.
        sensor->setFault(sim::Fault::None);
        Click(ButtonGet);
        QCOMPARE(popups->popups.size(), size_t(1));
        QCOMPARE(Val(EditSigWinHI), int(Distinct()[0]));
    }

    void aTimeoutStaysThroughLaterSuccessesUntilThePortIsSetUpAgain_data()
    {
        QTest::addColumn<bool>("identificationFails");
        QTest::addColumn<int>("next");
        for (bool ident : {false, true})
            for (int next : {int(ButtonGet), int(ButtonGo)})
                QTest::addRow("%s, then %s", ident ? "identification" : "parameter read",
                              next == ButtonGet ? "a good parameter read" : "good polling passes")
                    << ident << next;
    }

    void aTimeoutStaysThroughLaterSuccessesUntilThePortIsSetUpAgain()
    {
        QFETCH(bool, identificationFails);
        QFETCH(int, next);
        const QString ident = Status();
        QVERIFY(ident.startsWith(QStringLiteral("QUILLEX")));
        // Both fail at once, without the 2 s wait: a reply one byte long.
        if (identificationFails) {
            sensor->setFault(sim::Fault::LongByOne, sim::Identify);
            QTest::keyClick(W(EditConnect), Qt::Key_Return);
        } else {
            sensor->setFault(sim::Fault::LongByOne, sim::ReadRam);
            Click(ButtonGet);
        }
        QCOMPARE(Status(), QStringLiteral("TIMEOUT"));

        sensor->setFault(sim::Fault::None);
        sensor->setRam(Distinct());
        QString duringPolling;
        if (next == ButtonGo)
            Later(150, [&] {
                duringPolling = Status();
                Click(ButtonStop);
            });
        const unsigned long passes = st.goodPasses;
        Click(next);
        if (next == ButtonGo) {
            QVERIFY(st.goodPasses > passes);
            QCOMPARE(duringPolling, QStringLiteral("TIMEOUT"));
        } else {
            QCOMPARE(Val(EditSigWinHI), int(Distinct()[0])); // the panel is refreshed all the same
        }
        QCOMPARE(Status(), QStringLiteral("TIMEOUT"));
        QCOMPARE(popups->popups.size(), size_t(1));

        // The next port set-up writes the status anew.
        QTest::keyClick(W(EditConnect), Qt::Key_Return);
        QCOMPARE(Status(), ident);
    }

    void eachTransferSaysOnTheMessageLineWhatItDid_data()
    {
        QTest::addColumn<int>("toggle");
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("message");
        QTest::newRow("send to RAM") << int(SelectRAM) << int(ButtonSend)
                                     << QStringLiteral("Sent 25 words to RAM on COM 1");
        QTest::newRow("send to EEPROM") << int(SelectEEPROM) << int(ButtonSend)
                                        << QStringLiteral("Sent 25 words to EEPROM on COM 1");
        QTest::newRow("read RAM") << int(SelectRAM) << int(ButtonGet)
                                  << QStringLiteral("Read 25 words from RAM on COM 1");
        QTest::newRow("read EEPROM") << int(SelectEEPROM) << int(ButtonGet)
                                     << QStringLiteral("Read 25 words from EEPROM on COM 1");
        QTest::newRow("stop") << int(SelectRAM) << int(ButtonStop) << QStringLiteral("Stopped");
    }

    void eachTransferSaysOnTheMessageLineWhatItDid()
    {
        QFETCH(int, toggle);
        QFETCH(int, button);
        QFETCH(QString, message);
        if (toggle != SelectRAM)
            Click(toggle);
        SetCtrlVal(st.panel, MessageLine, "");
        const QString status = Status();
        Click(button);
        QCOMPARE(Message(), message);
        QCOMPARE(Status(), status); // news goes to the message line, never to DispStatus
        QVERIFY(popups->popups.empty());
    }

    void aFailedTransferSaysWhatFailed_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("order");
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("message");
        const QString noReply = QStringLiteral("No reply within 2.0 s on COM 1");
        QTest::newRow("parameter read") << int(sim::Fault::LongByOne) << int(sim::ReadRam) << int(ButtonGet) << noReply;
        QTest::newRow("polling pass") << int(sim::Fault::LongByOne) << int(sim::Measure) << int(ButtonGo) << noReply;
        QTest::newRow("send on a closed port")
            << -1 << 0 << int(ButtonSend) << QStringLiteral("Could not send to RAM on COM 1");
    }

    void aFailedTransferSaysWhatFailed()
    {
        QFETCH(int, fault);
        QFETCH(int, order);
        QFETCH(int, button);
        QFETCH(QString, message);
        if (fault < 0)
            CloseCom(st.com);
        else
            sensor->setFault(sim::Fault(fault), sim::Order(order));
        Click(button);
        QCOMPARE(Message(), message);
        QCOMPARE(Status(), QStringLiteral("TIMEOUT"));
        QCOMPARE(popups->popups.size(), size_t(1));
    }

    void pollingTellsItsRateAboutOnceASecond()
    {
        QStringList seen;
        double began = 0;
        Later(50, [&] {
            seen << Message();
            began = Timer();
        });
        Later(1500, [&] {
            seen << Message();
            Click(ButtonStop);
        });
        Click(ButtonGo);
        QCOMPARE(seen.size(), 2);
        QCOMPARE(seen[0], QStringLiteral("Polling on COM 1"));
        static const QRegularExpression rate(QStringLiteral("^Polling \u00b7 (\\d+\\.\\d) passes/s$"));
        const QRegularExpressionMatch m = rate.match(seen[1]);
        QVERIFY2(m.hasMatch(), qPrintable(seen[1]));
        // The rate told is the one polling ran at, within what a loaded machine may stray.
        const double told = m.captured(1).toDouble(), ran = st.goodPasses / std::max(0.001, Timer() - began);
        QVERIFY2(told > 0 && told < 3 * ran && ran < 3 * told,
                 qPrintable(QStringLiteral("%1 vs %2").arg(told).arg(ran)));
        QCOMPARE(Message(), QStringLiteral("Stopped"));
    }

    void whatIsTypedIsWhatTheShortcutSends_data()
    {
        QTest::addColumn<int>("control");
        QTest::addColumn<QString>("typed"); // empty: the text is deleted
        QTest::addColumn<int>("word");
        QTest::addColumn<int>("sent"); // -1: the value shown before the edit
        QTest::newRow("spin box") << int(EditSigWinHI) << "3333" << 0 << 3333;
        QTest::newRow("spin box emptied") << int(EditHold) << QString() << 5 << -1;
        QTest::newRow("table cell") << int(TeachTable) << "2222" << 16 << 2222;
        QTest::newRow("output-mode selector") << int(EditOutmode) << "I" << 4 << 1;
    }

    void whatIsTypedIsWhatTheShortcutSends()
    {
        QFETCH(int, control);
        QFETCH(QString, typed);
        QFETCH(int, word);
        QFETCH(int, sent);
        QWidget *root = PanelWidget(st.panel);
        root->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(root));
        if (sent < 0)
            sent = st.pp[word];
        auto *table = qobject_cast<QTableWidget *>(W(control));
        if (table) {
            table->setCurrentCell(0, 1);
            table->editItem(table->item(0, 1));
        } else {
            W(control)->setFocus();
        }
        QWidget *editor = QApplication::focusWidget();
        QVERIFY(editor);
        if (auto *spin = qobject_cast<QAbstractSpinBox *>(editor))
            spin->selectAll();
        if (typed.isEmpty())
            QTest::keyClick(editor, Qt::Key_Backspace);
        else
            QTest::keyClicks(editor, typed);

        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F9);
        QTRY_COMPARE(int(sensor->frames().size()), 1);
        const auto frame = settledFrames().front();
        QCOMPARE(frame[3], uint8_t(1));
        QCOMPARE(FrameWord(frame, word), sent);
        if (table) {
            QCOMPARE(int(Cell(2, 1)), sent);
            QTRY_VERIFY(!table->findChild<QSpinBox *>()); // the editor closed: nothing stale can write later
        } else {
            QCOMPARE(Val(control), sent);
        }
        if (auto *spin = qobject_cast<QSpinBox *>(W(control)))
            QCOMPARE(spin->text(), QString::number(sent));
    }

    void aPowerBeyondTheSlideGoesBackUnchangedUntilTheSlideIsMoved_data()
    {
        QTest::addColumn<int>("key"); // 0: the slide is not touched
        QTest::addColumn<int>("sent");
        QTest::newRow("untouched") << 0 << 1500;
        QTest::newRow("one step down") << int(Qt::Key_Left) << 999;
        QTest::newRow("to its end, where it stood") << int(Qt::Key_End) << 1000;
    }

    void aPowerBeyondTheSlideGoesBackUnchangedUntilTheSlideIsMoved()
    {
        QFETCH(int, key);
        QFETCH(int, sent);
        sim::Block ram = sim::DefaultBlock();
        ram[sim::Power] = 1500;
        sensor->setRam(ram);
        Click(ButtonGet);
        auto *slide = static_cast<NumericSlide *>(W(SlidePower));
        QCOMPARE(slide->slider()->value(), 1000);
        QVERIFY(slide->findChild<QLabel *>()->text().startsWith(QStringLiteral("1500")));
        if (key)
            QTest::keyClick(slide->slider(), Qt::Key(key));
        QVERIFY(slide->findChild<QLabel *>()->text().startsWith(QString::number(sent)));
        sensor->clearFrames();
        Click(ButtonSend);
        QCOMPARE(FrameWord(settledFrames().front(), 2), sent);
    }

    void pollingShowsMeasurementsAndItsFramesCarryTheWholeBlock()
    {
        const sim::Measurement m{1000, 2000, 500, 1170, 2340, 1166, 2};
        sensor->setFixedMeasurement(m);
        Later(150, [] { Click(ButtonStop); });
        Click(ButtonGo);
        QCOMPARE(st.poll, uint16_t(0));
        const auto frames = settledFrames();
        QVERIFY(frames.size() >= 3);
        std::vector<uint8_t> expectedTail;
        for (int i = 0; i < 25; ++i) {
            expectedTail.push_back(uint8_t(st.pp[i] >> 8));
            expectedTail.push_back(uint8_t(st.pp[i] & 0xFF));
        }
        for (const auto &f : frames) {
            QCOMPARE(f[3], uint8_t(5));
            QVERIFY(std::equal(f.begin() + 4, f.end(), expectedTail.begin()));
        }
        QCOMPARE(Val(DispX), 1170);
        QCOMPARE(Val(DispY), 2340);
        QCOMPARE(Val(DispINT), 1166);
        QCOMPARE(Val(DispRED), 1000);
        QCOMPARE(Val(LedCol1), 0);
        QCOMPARE(Val(LedCol2), 1);
        QCOMPARE(st.alldata[699 - 2], 2.0); // the colour number of the newest sample
        QVERIFY(popups->popups.empty());
    }

    void stopEndsTheLoopAfterTheCurrentPass()
    {
        int framesAtStop = 0;
        Later(120, [&] {
            Click(ButtonStop);
            framesAtStop = int(settledFrames().size());
        });
        Click(ButtonGo);
        QTest::qWait(100);
        QCOMPARE(int(settledFrames().size()), framesAtStop);
        QVERIFY(!st.polling);
    }

    void aMissingReplyReportsOnceAndStopsPolling()
    {
        Later(100, [this] { sensor->setFault(sim::Fault::NoReply, sim::Measure); });
        const double t0 = Timer();
        Click(ButtonGo);
        QVERIFY(Timer() - t0 >= 2.0);
        QCOMPARE(st.poll, uint16_t(0));
        QCOMPARE(popups->popups.size(), size_t(1));
        QCOMPARE(Status(), QStringLiteral("TIMEOUT"));
    }

    void aLateReplyIsNotTakenForTheNextPasssReply()
    {
        const sim::Measurement stale{111, 222, 333, 444, 555, 666, 0};
        const sim::Measurement fresh{1000, 2000, 1000, 1024, 2048, 1333, 0};
        sensor->setFixedMeasurement(stale);
        sensor->setFault(sim::Fault::Late, sim::Measure);
        Click(ButtonGo); // the first pass times out; its reply comes later
        QCOMPARE(popups->popups.size(), size_t(1));
        sensor->setFault(sim::Fault::None);
        sensor->setFixedMeasurement(fresh);
        Later(0, [] { Click(ButtonStop); }); // exactly one pass
        Click(ButtonGo);
        QCOMPARE(st.goodPasses, 1ul);
        QCOMPARE(st.dataR, fresh[0]);
        QCOMPARE(st.dataINT, fresh[5]);
    }

    void whileAReplyIsAwaitedTheWindowIsServedAndNoCallbackRuns()
    {
        // A slow reply: a screen reader's question during the wait is answered during the wait, and a click
        // then (a SEND) runs once the exchange is over, never inside it.
        sensor->setLatency(1.5);
        bool askedDuringTheRead = false;
        QString spoken;
        const int replies = sensor->repliesSent();
        QTimer during; // ends with the test, so a failure leaves nothing behind to fire later
        during.setSingleShot(true);
        QObject::connect(&during, &QTimer::timeout, [&] {
            askedDuringTheRead = sensor->repliesSent() == replies;
            spoken = QAccessible::queryAccessibleInterface(W(DispStatus))->text(QAccessible::Name);
            Click(ButtonSend);
        });
        during.start(200);
        Click(ButtonGet);
        QVERIFY(askedDuringTheRead);
        QVERIFY2(spoken.contains(QStringLiteral("QUILLEX")), qPrintable(spoken));
        QTRY_COMPARE(orders(), (std::vector<int>{3, 1}));
        QTRY_VERIFY(Message().startsWith(QStringLiteral("Sent 25 words to RAM")));
        QVERIFY(popups->popups.empty());
    }

    void sendWhilePollingStopsPollingAndWritesTheFrame()
    {
        Later(120, [] { Click(ButtonSend); });
        Click(ButtonGo);
        const auto o = orders();
        QCOMPARE(o.back(), 1);
        QVERIFY(countOrder(5) >= 1);
        QCOMPARE(st.poll, uint16_t(0));
        QVERIFY(popups->popups.empty());
    }

    void editConnectWhilePollingReconnectsThenPollingEnds()
    {
        Later(120, [] { QTest::keyClick(W(EditConnect), Qt::Key_Return); });
        Click(ButtonGo);
        const auto o = orders();
        QVERIFY(o.size() >= 3);
        QCOMPARE(o[o.size() - 2], 7); // identification, then the parameter read, and no poll after them
        QCOMPARE(o.back(), 3);
        QVERIFY(countOrder(5) >= 1);
        QCOMPARE(st.poll, uint16_t(0));
        QVERIFY(!st.polling);
        QVERIFY(Status().startsWith(QStringLiteral("QUILLEX")));
        QVERIFY(popups->popups.empty());
    }

    void aRepeatedGoLeavesOneLoopAndOneStopEndsIt()
    {
        bool secondReturned = false;
        bool stillPolling = false;
        int framesAtSecond = 0;
        Later(80, [&] {
            Click(ButtonGo); // returns at once when it joins the running loop
            secondReturned = true;
            stillPolling = st.poll == 1 && st.polling;
            framesAtSecond = int(sensor->framesSeen());
        });
        int framesAtStop = 0;
        Later(300, [&] {
            Click(ButtonStop);
            framesAtStop = int(sensor->framesSeen());
        });
        Click(ButtonGo);
        QVERIFY(secondReturned);
        QVERIFY(stillPolling);
        QVERIFY(framesAtStop > framesAtSecond); // polling went on between the presses
        QCOMPARE(st.poll, uint16_t(0));
        QVERIFY(!st.polling);
    }

    void aSensorThatHangsUpReportsOnceAndCanBeReconnected()
    {
        sensor->hangUpAfter(5);
        Click(ButtonGo);
        QCOMPARE(st.poll, uint16_t(0));
        QCOMPARE(popups->popups.size(), size_t(1));
        QCOMPARE(Status(), QStringLiteral("TIMEOUT"));

        QVERIFY(sensor->reopen());
        sensor->clearFrames();
        QTest::keyClick(W(EditConnect), Qt::Key_Return);
        QVERIFY(Status().startsWith(QStringLiteral("QUILLEX")));
        QCOMPARE(orders(), (std::vector<int>{7, 3}));
        Later(100, [] { Click(ButtonStop); });
        Click(ButtonGo);
        QVERIFY(countOrder(5) >= 1);
        QCOMPARE(popups->popups.size(), size_t(1));
    }

    void aLineThatHungUpIsNeitherFlushedNorWrittenAgain()
    {
        // A line that hangs up while the panel idles has its device closed; later transfers time out as ever,
        // without Qt's complaints.
        QTest::failOnWarning(QRegularExpression(QStringLiteral("not open")));
        const std::string device = sensor->devicePath();
        sensor->hangUpNow();
        const auto held = [&device] { // a descriptor of ours still on it ("/dev/pts/N (deleted)" once it is gone)
            std::error_code ec;
            for (const auto &fd : std::filesystem::directory_iterator("/proc/self/fd", ec))
                if (std::filesystem::read_symlink(fd.path(), ec).string().rfind(device, 0) == 0)
                    return true;
            return false;
        };
        QTRY_VERIFY(!held());
        Click(ButtonGet);
        QTRY_COMPARE(popups->popups.size(), size_t(1));
        Click(ButtonGet);
        QTRY_COMPARE(popups->popups.size(), size_t(2));
        QCOMPARE(Status(), QStringLiteral("TIMEOUT"));
    }

    void theLoopLeavesTheLineWakingAsItFoundItHoweverItEnds_data()
    {
        QTest::addColumn<QString>("end");
        for (const char *end : {"stop", "time-out", "parameter read", "port set up again", "hang-up"})
            QTest::newRow(end) << QString::fromLatin1(end);
    }

    void theLoopLeavesTheLineWakingAsItFoundItHoweverItEnds()
    {
        QFETCH(QString, end);
        const auto own = TerminalWaking(ComDevicePath(st.com));
        QVERIFY(own.first >= 0);
        bool heldInTheLoop = false;
        Later(100, [&] {
            heldInTheLoop = TerminalWaking(ComDevicePath(st.com)).first == 2 * st.anzdata;
            if (end == "stop")
                Click(ButtonStop);
            else if (end == "time-out")
                sensor->setFault(sim::Fault::NoReply, sim::Measure);
            else if (end == "parameter read")
                Click(ButtonGet);
            else if (end == "port set up again")
                QTest::keyClick(W(EditConnect), Qt::Key_Return);
            else
                sensor->hangUpNow();
        });
        Click(ButtonGo);
        QVERIFY(!st.polling);
        QVERIFY(heldInTheLoop); // set once for the loop, and there between its passes
        if (end == "hang-up") {
            QVERIFY(sensor->reopen());
            QTest::keyClick(W(EditConnect), Qt::Key_Return);
            QVERIFY(Status().startsWith(QStringLiteral("QUILLEX")));
        }
        sensor->setFault(sim::Fault::None);
        QCOMPARE(TerminalWaking(ComDevicePath(st.com)), own);
        // What comes next on the line reads its replies as ever.
        const size_t reports = popups->popups.size();
        QTest::qWait(250); // out of the guard of the last parameter read
        Click(ButtonGet);
        QCOMPARE(popups->popups.size(), reports);
        QCOMPARE(Message(), QStringLiteral("Read 25 words from RAM on COM 1"));
    }

    void theGuardSleepsInsteadOfSpinning()
    {
        st.transbeg = Timer();
        st.waitdel = 0.5;
        const double cpu0 = CpuSeconds();
        GuardInterval();
        const double wall = Timer() - st.transbeg;
        QVERIFY(st.tdiff >= 0.5);
        QVERIFY2(wall < 2 * 0.5, qPrintable(QString::number(wall))); // one interval, not two
        QVERIFY((CpuSeconds() - cpu0) / wall < CpuShareBound(0.10));

        st.waitdel = 0;
        st.tdiff = 123;
        GuardInterval();
        QCOMPARE(st.tdiff, 0.0);
    }
};

class TstShutdown : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { PrivatePortDir(); }

    void closingTheWindowWhilePollingEndsTheProgram()
    {
        sim::SensorSim sensor;
        QVERIFY(sensor.start());
        PopupRecorder rec;
        ResetScopeState();
        bool pollingWhenClosed = false;
        QCOMPARE(RunProgram([&](QWidget *) {
                     Later(200, [&] {
                         pollingWhenClosed = st.polling;
                         PanelWidget(st.panel)->close();
                     });
                     Click(ButtonGo); // polls until the close ends it
                 }),
                 0);
        QVERIFY(pollingWhenClosed);
        QVERIFY(!st.polling);
        QVERIFY(ComDevicePath(1).empty());
        QVERIFY(rec.popups.empty()); // the port outlived the loop: no pass failed
    }

    void closingDuringAWaitEndsTheProgramWithinTheWaitsBound_data()
    {
        QTest::addColumn<bool>("replyWait");
        QTest::newRow("reply wait") << true;
        QTest::newRow("guard interval") << false;
    }

    void closingDuringAWaitEndsTheProgramWithinTheWaitsBound()
    {
        QFETCH(bool, replyWait);
        sim::SensorSim sensor;
        QVERIFY(sensor.start());
        PopupRecorder rec;
        ResetScopeState();
        double closedAt = 0;
        QCOMPARE(RunProgram([&](QWidget *w) {
                     if (replyWait) {
                         sensor.setFault(sim::Fault::NoReply);
                         Later(200, [&] {
                             closedAt = Timer();
                             PanelWidget(st.panel)->close();
                         });
                         Click(ButtonGo);
                     } else {
                         // Queued before the click, handled once the guard interval and the send are over.
                         closedAt = Timer();
                         QCoreApplication::postEvent(w, new QCloseEvent);
                         Click(ButtonSend);
                     }
                 }),
                 0);
        const double took = Timer() - closedAt;
        QVERIFY2(took < (replyWait ? kReplyTimeout : kGuardEeprom) + 0.5, qPrintable(QString::number(took)));
        QVERIFY(ComDevicePath(1).empty());
        QCOMPARE(rec.popups.size(), size_t(replyWait ? 1 : 0));
    }

    void aGoQueuedBehindTheCloseStartsNoPolling_data()
    {
        QTest::addColumn<bool>("whilePolling");
        QTest::newRow("idle") << false;
        QTest::newRow("while polling") << true;
    }

    void aGoQueuedBehindTheCloseStartsNoPolling()
    {
        QFETCH(bool, whilePolling);
        sim::SensorSim sensor;
        QVERIFY(sensor.start());
        PopupRecorder rec;
        ResetScopeState();
        auto closeThenGo = [] {
            PanelWidget(st.panel)->close();
            Click(ButtonGo);
        };
        // Only a loop that wrongly outlived the close is still running when this fires.
        bool stopNeeded = false;
        QTimer rescue;
        rescue.setSingleShot(true);
        QObject::connect(&rescue, &QTimer::timeout, [&] {
            stopNeeded = true;
            Click(ButtonStop);
        });
        QCOMPARE(RunProgram([&](QWidget *) {
                     rescue.start(2000);
                     if (whilePolling) {
                         Later(200, closeThenGo);
                         Click(ButtonGo);
                     } else {
                         closeThenGo();
                     }
                 }),
                 0);
        QVERIFY(!stopNeeded);
        QVERIFY(!st.polling);
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    int status = 0;
    TstTransactions t;
    status |= QTest::qExec(&t);
    TstShutdown s;
    status |= QTest::qExec(&s);
    return status;
}

#include "tst_transactions.moc"
