// SPDX-License-Identifier: MIT
// Request frames and replies, port set-up and identification, through the simulated sensor on a real pty.
#include "testsupport.h"

#include "loopback.h"

#include "core/helptexts.h"
#include "link/com232.h"
#include "link/exchange.h"
#include "panel/port.h"
#include "panel/reply.h"
#include "io/portdir.h"
#include "io/rs232.h"
#include "io/utility.h"

#include "sensor_sim.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QSpinBox>
#include <QTimer>

#include <filesystem>

using namespace testsupport;

namespace {

QByteArray Frame()
{
    return QByteArray(reinterpret_cast<const char *>(st.szWriteBuf), 2 * st.anzpara + 4);
}

QByteArray Bytes(const std::vector<uint8_t> &v)
{
    return QByteArray(reinterpret_cast<const char *>(v.data()), int(v.size()));
}

void PutReply(const QByteArray &bytes)
{
    std::memcpy(st.szReadBuf, bytes.constData(), size_t(bytes.size()));
}

// Records every text DispStatus is drawn with, including those shown only during a blocking wait.
class PaintedTexts : public QObject {
public:
    QStringList texts;
    explicit PaintedTexts(QLabel *l) : label_(l) { l->installEventFilter(this); }
    ~PaintedTexts() override { label_->removeEventFilter(this); }
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint && (texts.isEmpty() || texts.last() != label_->text()))
            texts << label_->text();
        return false;
    }

private:
    QLabel *label_;
};

} // namespace

class TstFrames : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        ResetScopeState();
        st.anzpara = kParaWords;
        st.anzdata = 7;
        st.sync = 85;
    }

    void aFrameIsSyncOrderAndTheWholeBlockBigEndian()
    {
        st.pp[0] = 0x1234;
        st.pp[24] = 0xBEEF;
        FillTxBuf(5);
        const QByteArray f = Frame();
        QCOMPARE(f.size(), 54);
        QCOMPARE(f.left(4), QByteArray("\x00\x55\x00\x05", 4));
        QCOMPARE(f.mid(4, 2), QByteArray("\x12\x34", 2));
        QCOMPARE(f.mid(52, 2), QByteArray("\xBE\xEF", 2));
        st.sync = 0xA55A;
        FillTxBuf(7);
        QCOMPARE(Frame().left(4), QByteArray("\xA5\x5A\x00\x07", 4));
    }

    void replyWordsDecodeAsUnsignedBigEndian()
    {
        QByteArray reply(14, '\0');
        reply[6] = '\x0F';
        reply[7] = '\xFF';
        reply[10] = '\xFF';
        reply[11] = '\xFF';
        reply[12] = '\x00';
        reply[13] = '\x03';
        PutReply(reply);
        GetRxBufData();
        CopyDatatoVars();
        QCOMPARE(st.dataX, uint16_t(4095));
        QCOMPARE(st.dataINT, uint16_t(65535));
        QCOMPARE(st.dataCOL, uint16_t(3));
        QCOMPARE(st.dataR, uint16_t(0));
    }

    void wordsSixToFourteenPassThroughEditsToTheNextFrame()
    {
        QByteArray reply(50, '\0');
        for (int w = 0; w < 25; ++w) {
            reply[2 * w] = char(w);
            reply[2 * w + 1] = char(0x10 + w);
        }
        PutReply(reply);
        GetRxBufPara();
        CopyPPtoVars();
        QCOMPARE(st.pp[7], uint16_t(0x0717));
        QCOMPARE(st.sigwinhi, uint16_t(0x0010));
        QCOMPARE(st.ctt[1][4], uint16_t(0x1828));
        QCOMPARE(st.ctt[0][2], uint16_t(0x1121)); // word 17 is row 1's CTO

        // The user edits every shown value; the hidden words must still travel unchanged.
        st.sigwinhi = 1;
        st.hold = 6;
        for (auto &row : st.ctt)
            for (auto &cell : row)
                cell = 99;
        CopyVarsToPP();
        FillTxBuf(1);
        const QByteArray f = Frame();
        QCOMPARE(f.mid(4 + 2 * 6, 18), reply.mid(12, 18));
        QCOMPARE(f.mid(4, 2), QByteArray("\x00\x01", 2));
        QCOMPARE(f.mid(4 + 2 * 5, 2), QByteArray("\x00\x06", 2));
        for (int w = 15; w < 25; ++w)
            QCOMPARE(f.mid(4 + 2 * w, 2), QByteArray("\x00\x63", 2));
    }

    void portErrorsHaveTheirTexts_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("-1") << -1 << "Unknown system error";
        QTest::newRow("-2") << -2 << "Invalid port number";
        QTest::newRow("-3") << -3 << "Port is not open";
        QTest::newRow("-4") << -4 << "Unknown I/0 error";
        QTest::newRow("-5") << -5 << "RS-232 error!";
        QTest::newRow("-6") << -6 << "No serial port found";
        QTest::newRow("-7") << -7 << "Cannot open port";
        QTest::newRow("-99") << -99 << "Timeout";
        QTest::newRow("-8") << -8 << "RS-232 error!";
    }

    void portErrorsHaveTheirTexts()
    {
        QFETCH(int, code);
        QFETCH(QString, text);
        QCOMPARE(QString::fromLatin1(PortErrorText(code)), text);
    }
};

class TstConnect : public QObject {
    Q_OBJECT

    std::unique_ptr<sim::SensorSim> sensor;

    void startSensor(int com = 1)
    {
        sim::Options o;
        o.com = com;
        sensor = std::make_unique<sim::SensorSim>(o);
        QVERIFY(sensor->start());
    }

private slots:
    void initTestCase() { PrivatePortDir(); }
    void init()
    {
        QVERIFY(LoadScopePanel());
        PanelWidget(st.panel)->show();
        QVERIFY(QTest::qWaitForWindowExposed(PanelWidget(st.panel)));
    }
    void cleanup()
    {
        CloseCom(st.com);
        CloseCom(2);
        sensor.reset();
        DiscardScopePanel();
    }

    void theFirstFrameAsksForTheIdentificationWithAnEmptyBlock()
    {
        startSensor();
        PopupRecorder rec;
        InitRS232(st.com);
        QVERIFY(sensor->waitForFrames(1, 1.0));
        QByteArray expected("\x00\x55\x00\x07", 4);
        expected.append(QByteArray(50, '\0'));
        QCOMPARE(Bytes(sensor->frames().front()), expected);
        QCOMPARE(Status(), QStringLiteral("QUILLEX CS-EMB COLOUR SENSOR SIMULATOR FW 1.0").leftJustified(48, ' '));
        QVERIFY(rec.popups.empty());
        QVERIFY(W(DispStatus)->accessibleName().startsWith(QStringLiteral("Status: QUILLEX")));
        QCOMPARE(st.ret, int16_t(0));
        QVERIFY(W(EditConnect)->toolTip().contains(QString::fromStdString(sensor->devicePath())));
    }

    void aNulEndsTheIdentificationEarly()
    {
        startSensor();
        sensor->setIdent(std::string("COLOUR\0HIDDEN", 13));
        PopupRecorder rec;
        InitRS232(st.com);
        QCOMPARE(Status(), QStringLiteral("COLOUR"));
    }

    void markupInTheIdentificationIsShownLiterally()
    {
        startSensor();
        sensor->setIdent("<b>BOLD</b> &amp; <i>x</i>");
        PopupRecorder rec;
        InitRS232(st.com);
        auto *label = static_cast<QLabel *>(W(DispStatus));
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QVERIFY(label->text().startsWith(QStringLiteral("<b>BOLD</b> &amp; <i>x</i>")));
    }

    void anIdentificationInTheSensorsOwn8BitCodeIsShownAsSent()
    {
        startSensor();
        sensor->setIdent("COLOUR SENSOR 20\xb0"
                         "C \xb5m");
        PopupRecorder rec;
        InitRS232(st.com);
        QVERIFY(
            static_cast<QLabel *>(W(DispStatus))->text().startsWith(QStringLiteral("COLOUR SENSOR 20\u00b0C \u00b5m")));
    }

    void aWrongSizedIdentificationIsATimeout_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<double>("minSeconds");
        QTest::newRow("95 bytes") << int(sim::Fault::ShortByOne) << 1.99;
        QTest::newRow("97 bytes at once") << int(sim::Fault::LongByOne) << 0.0;
        QTest::newRow("no reply") << int(sim::Fault::NoReply) << 1.99;
    }

    void aWrongSizedIdentificationIsATimeout()
    {
        QFETCH(int, fault);
        QFETCH(double, minSeconds);
        startSensor();
        sensor->setFault(sim::Fault(fault), sim::Identify);
        PopupRecorder rec;
        const double t0 = Timer();
        InitRS232(st.com);
        const double took = Timer() - t0;
        QCOMPARE(Status(), QStringLiteral("TIMEOUT"));
        QCOMPARE(Message(), QStringLiteral("No reply within 2.0 s on COM 1"));
        QCOMPARE(rec.popups.size(), size_t(1));
        QCOMPARE(rec.popups[0].title, std::string("INFO"));
        QCOMPARE(rec.popups[0].text, std::string(InfoTimeout));
        // One time-out, not two: a loaded machine adds a little, never a second wait.
        QVERIFY2(took >= minSeconds && took < 1.75 * kReplyTimeout, qPrintable(QString::number(took)));
    }

    void aTrickledIdentificationIsReadAsItsFirst96Bytes()
    {
        startSensor();
        sensor->setFault(sim::Fault::Trickle, sim::Identify);
        PopupRecorder rec;
        InitRS232(st.com);
        QVERIFY(rec.popups.empty());
        QVERIFY(Status().startsWith(QStringLiteral("QUILLEX")));
    }

    void aTimedOutReplyWaitCostsAlmostNoCpu()
    {
        startSensor();
        sensor->setFault(sim::Fault::NoReply);
        PopupRecorder rec;
        const double cpu0 = CpuSeconds();
        const double t0 = Timer();
        InitRS232(st.com);
        const double wall = Timer() - t0;
        const double cpu = CpuSeconds() - cpu0;
        qInfo("identification time-out: %.3f s wall, %.4f s CPU (%.2f %% of a core)", wall, cpu, 100 * cpu / wall);
        QVERIFY(cpu / wall < CpuShareBound(0.10));
    }

    void openingFailuresAreShownAndNothingElseHappens()
    {
        PopupRecorder rec;
        InitRS232(0);
        QCOMPARE(Status(), QStringLiteral("Invalid port number"));
        QCOMPARE(QString::fromLatin1(st.szStatus), QStringLiteral("Invalid port number"));
        QCOMPARE(st.ret, int16_t(-2));
        QCOMPARE(Message(), QStringLiteral("Could not open COM 0: Invalid port number"));

        // A name that is no serial device: it exists, but it cannot be opened.
        QTemporaryDir dir;
        const QString plain = dir.filePath(QStringLiteral("plain-file"));
        QFile f(plain);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        std::filesystem::create_directories(portdir::Directory());
        std::filesystem::remove(portdir::LinkPath(8));
        std::filesystem::create_symlink(plain.toStdString(), portdir::LinkPath(8));
        InitRS232(8);
        QCOMPARE(Status(), QStringLiteral("Cannot open port"));
        QCOMPARE(st.ret, int16_t(-7));
        QCOMPARE(Message(), QStringLiteral("Could not open COM 8: Cannot open port"));
        QVERIFY(!W(EditConnect)->toolTip().contains(QStringLiteral("permission")));
        std::filesystem::remove(portdir::LinkPath(8));

        // A network address nobody answers on says why, as the command line does.
        const std::string refused = "tcp://127.0.0.1:" + std::to_string(loopback::FreeTcpPort());
        std::filesystem::create_symlink(refused, portdir::LinkPath(8));
        InitRS232(8);
        QCOMPARE(Status(), QStringLiteral("Cannot open port"));
        const QString why = QString::fromStdString(ComOpenError(8));
        QVERIFY2(why.contains(QStringLiteral("refused")), qPrintable(why));
        QCOMPARE(Message(), QStringLiteral("Could not open COM 8: Cannot open port: ") + why);
        QVERIFY(W(EditConnect)->toolTip().endsWith(why));
        std::filesystem::remove(portdir::LinkPath(8));
        QVERIFY(rec.popups.empty());
    }

    void aPortRefusedByPermissionsNamesTheGroupThatGivesAccess()
    {
        RefusedDevice device(8);
        if (!device.made)
            QSKIP("giving the device to a group this process is not in needs root");
        PopupRecorder rec;
        {
            HeldToFilePermissions held;
            InitRS232(8);
        }
        QCOMPARE(Status(), QStringLiteral("Cannot open port"));
        QCOMPARE(W(EditConnect)->toolTip(),
                 QStringLiteral("COM 8: %1: permission denied — members of group %2 may open it")
                     .arg(QString::fromStdString(device.path), QString::fromStdString(device.group)));
        QVERIFY(rec.popups.empty());
    }

    void committingEditConnectMovesToTheNewPort()
    {
        startSensor(1);
        sim::Options o2;
        o2.com = 2;
        o2.ident = "SECOND SENSOR";
        o2.latency = 0.3; // long enough for the interim status to be drawn
        sim::SensorSim second(o2);
        QVERIFY(second.start());
        PopupRecorder rec;
        InitRS232(st.com);
        QVERIFY(Status().startsWith(QStringLiteral("QUILLEX")));

        PaintedTexts painted(static_cast<QLabel *>(W(DispStatus)));
        auto *spin = static_cast<QSpinBox *>(W(EditConnect));
        spin->setFocus();
        spin->selectAll();
        QTest::keyClicks(spin, "2");
        QTest::keyClick(spin, Qt::Key_Return);

        QCOMPARE(st.com, uint16_t(2));
        QVERIFY(Status().startsWith(QStringLiteral("SECOND SENSOR")));
        QVERIFY2(painted.texts.contains(QStringLiteral("Init COM-Port ...")), qPrintable(painted.texts.join('|')));
        QVERIFY(ComDevicePath(1).empty());
        QCOMPARE(ComDevicePath(2), second.devicePath());
        // Identification, then the sensor's parameters.
        const auto frames = second.frames();
        QCOMPARE(frames.size(), size_t(2));
        QCOMPARE(frames[0][3], uint8_t(7));
        QCOMPARE(frames[1][3], uint8_t(3));

        // Enter on the same number connects again.
        QTest::keyClick(spin, Qt::Key_Return);
        QVERIFY(second.waitForFrames(4, 1.0));
        CloseCom(2);
    }
};

class TstStartup : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { PrivatePortDir(); }

    void withNoSensorTheTimeoutBoxComesBeforeTheWindowAndTheProgramRuns()
    {
        sim::Options o;
        o.com = 1;
        sim::SensorSim silent(o);
        silent.setFault(sim::Fault::NoReply);
        QVERIFY(silent.start());
        ResetScopeState();

        bool boxSeen = false, windowHiddenAtBox = false, windowShownLater = false;
        QString boxTitle;
        QTimer watcher;
        watcher.setInterval(30);
        QObject::connect(&watcher, &QTimer::timeout, [&] {
            QWidget *panelWidget = nullptr;
            for (QWidget *w : QApplication::topLevelWidgets())
                if (w->objectName() == QLatin1String("MainPanel"))
                    panelWidget = w;
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                boxSeen = true;
                boxTitle = box->windowTitle();
                windowHiddenAtBox = panelWidget && !panelWidget->isVisible();
                box->accept();
            } else if (boxSeen && panelWidget && panelWidget->isVisible()) {
                windowShownLater = true;
                panelWidget->close();
            }
        });
        watcher.start();
        const int code = WinMain(nullptr, nullptr, nullptr, 0);
        QCOMPARE(code, 0);
        QVERIFY(boxSeen);
        QCOMPARE(boxTitle, QStringLiteral("INFO"));
        QVERIFY(windowHiddenAtBox);
        QVERIFY(windowShownLater);
        QVERIFY(silent.waitForFrames(1, 0.1));
    }
};

// The one exchange every program uses, on its own: its order of events and its bounds.
class TstExchange : public QObject {
    Q_OBJECT

    std::unique_ptr<sim::SensorSim> sensor;

private slots:
    void initTestCase() { PrivatePortDir(); }
    void init()
    {
        ResetScopeState();
        SetProtocolDefaults();
        FillTxBuf(kOrderReadData);
        sensor = std::make_unique<sim::SensorSim>();
        QVERIFY(sensor->start());
        QCOMPARE(OpenLine(1, ""), 0);
    }
    void cleanup()
    {
        CloseCom(1);
        sensor.reset();
    }

    void theRequestLeavesBeforeTheHookRunsAndAHookThatSaysStopReadsNothing()
    {
        constexpr double kLatency = kReplyTimeout / 2; // the hook has half of it to see the request
        sensor->setLatency(kLatency);
        const ExchangeLine line{1, st.szWriteBuf, st.szReadBuf, kReplyTimeout};
        bool requestSeenByHook = false;
        int calls = 0;
        const double t0 = Timer();
        const ExchangeResult r = Exchange(line, 54, 14, FlushFirst::Yes, [&] {
            ++calls;
            requestSeenByHook = sensor->waitForFrames(1, kLatency / 2);
            return false;
        });
        QVERIFY(requestSeenByHook);
        QCOMPARE(calls, 1);
        QVERIFY(r.abandoned);
        QCOMPARE(r.written, 54);
        QCOMPARE(r.received, 0);
        // Not a moment waited for the reply.
        QVERIFY2(Timer() - t0 < kLatency, qPrintable(QString::number(Timer() - t0)));
    }

    void theHooksFirstCallWaitsItsTimeUnlessTheReplyIsInSooner_data()
    {
        QTest::addColumn<double>("latency"); // the sensor's, before its reply
        QTest::addColumn<bool>("carryOn");   // what the hook answers
        QTest::newRow("a slow reply: the hook after its time") << 1.0 << false;
        QTest::newRow("a quick reply: the hook once it is in") << 0.0 << true;
        QTest::newRow("a quick reply, the hook says stop: nothing read") << 0.0 << false;
    }

    void theHooksFirstCallWaitsItsTimeUnlessTheReplyIsInSooner()
    {
        QFETCH(double, latency);
        QFETCH(bool, carryOn);
        constexpr double kHookAfter = 0.05;
        sensor->setLatency(latency);
        ExchangeLine line{1, st.szWriteBuf, st.szReadBuf, kReplyTimeout};
        line.hookAfter = latency > 0 ? kHookAfter : 40 * kHookAfter;
        int calls = 0;
        double calledAt = 0;
        bool requestTaken = false;
        int queuedAtCall = -1;
        const ExchangeResult r = Exchange(line, 54, 14, FlushFirst::Yes, [&] {
            ++calls;
            calledAt = Timer();
            requestTaken = sensor->waitForFrames(1, 0);
            queuedAtCall = GetInQLen(1);
            return carryOn;
        });
        QCOMPARE(calls, 1);
        QVERIFY(requestTaken);
        QCOMPARE(r.written, 54);
        if (latency > 0) {
            QVERIFY2(calledAt - r.tstart >= kHookAfter, qPrintable(QString::number(calledAt - r.tstart)));
            QCOMPARE(queuedAtCall, 0);
        } else {
            QCOMPARE(queuedAtCall, 14); // the whole reply had come: no need to wait for the hook's time
            QVERIFY2(calledAt - r.tstart < line.hookAfter, qPrintable(QString::number(calledAt - r.tstart)));
        }
        QCOMPARE(r.abandoned, !carryOn);
        QCOMPARE(r.received, carryOn ? 14 : 0);
    }

    void aShortReplyIsCountedWholeUnderAHeldWakeCount()
    {
        // The held count hides fewer bytes than it from the wait; the last look before giving up sees them.
        sensor->setFault(sim::Fault::ShortByOne, sim::Measure);
        QCOMPARE(ComHoldWake(1, 14), 0);
        const ExchangeLine line{1, st.szWriteBuf, st.szReadBuf, 0.3};
        const ExchangeResult r = Exchange(line, 54, 14, FlushFirst::Yes);
        ComReleaseWake(1);
        QVERIFY(!r.abandoned);
        QCOMPARE(r.received, 13);
    }

    void aReplyFollowedByMoreTrafficIsNotTakenAsAlone_data()
    {
        QTest::addColumn<int>("fault");       // sim::Fault on the measurement
        QTest::addColumn<double>("aloneFor"); // the quiet asked for after the reply (0: the panel's reading)
        QTest::addColumn<bool>("loop");       // the quiet left to the next exchange, as a polling loop does
        QTest::addColumn<bool>("alone");
        const int none = int(sim::Fault::None), tail = int(sim::Fault::Tail);
        QTest::newRow("a reply alone") << none << 0.05 << false << true;
        QTest::newRow("another measurement after it") << tail << 0.05 << false << false;
        QTest::newRow("the same, not looked at") << tail << 0.0 << false << true;
        QTest::newRow("a reply alone, in a loop") << none << 0.05 << true << true;
        QTest::newRow("another measurement after it, seen by the next request") << tail << 0.05 << true << false;
    }

    void aReplyFollowedByMoreTrafficIsNotTakenAsAlone()
    {
        QFETCH(int, fault);
        QFETCH(double, aloneFor);
        QFETCH(bool, loop);
        QFETCH(bool, alone);
        // A slow line: its bytes come far apart, and a busy machine cannot make two of them one.
        sensor->setPacing(1200);
        sensor->setFault(sim::Fault(fault), sim::Measure);
        double quietLeft = 0;
        ExchangeLine line{1, st.szWriteBuf, st.szReadBuf, kReplyTimeout};
        line.aloneFor = aloneFor;
        line.quietLeft = loop ? &quietLeft : nullptr;
        const ExchangeResult r = Exchange(line, 54, 14, FlushFirst::Yes);
        QCOMPARE(r.quietLeft, loop && r.received == 14);
        // In a loop the next exchange judges the reply before it; the last one's quiet is waited out on its own.
        const int after = !loop ? r.trailing : Exchange(line, 54, 14, FlushFirst::Yes).trailingBefore;
        if (alone) {
            QCOMPARE(r.received, 14);
            QCOMPARE(after, 0);
            QCOMPARE(QuietAfterLast(1, &quietLeft), 0);
        } else {
            // Never the first 14 bytes of a longer stream taken for the reply on their own.
            QVERIFY2(r.received != 14 || after > 0,
                     qPrintable(QStringLiteral("%1 bytes, %2 after").arg(r.received).arg(after)));
        }
    }

    void aRequestThatCannotBeWrittenStillCostsTheWholeWait_data()
    {
        QTest::addColumn<int>("com");
        QTest::addColumn<bool>("hangUp");
        QTest::newRow("a port that is not open") << 42 << false;
        QTest::newRow("a line that hung up") << 1 << true;
    }

    void aRequestThatCannotBeWrittenStillCostsTheWholeWait()
    {
        QFETCH(int, com);
        QFETCH(bool, hangUp);
        if (hangUp) {
            sensor->hangUpNow();
            QTRY_VERIFY(ComHungUp(1));
        }
        constexpr double kTimeout = 0.6;
        const ExchangeLine line{com, st.szWriteBuf, st.szReadBuf, kTimeout};
        int calls = 0;
        const double cpu0 = CpuSeconds();
        const double t0 = Timer();
        const ExchangeResult r = Exchange(line, 54, 14, FlushFirst::Yes, [&] {
            ++calls;
            return true;
        });
        const double wall = Timer() - t0;
        QVERIFY(r.written != 54);
        QCOMPARE(r.received, 0);
        QVERIFY(!r.abandoned);
        QVERIFY2(wall >= kTimeout, qPrintable(QString::number(wall)));
        QVERIFY2(r.tdiff > kTimeout, qPrintable(QString::number(r.tdiff)));
        QVERIFY((CpuSeconds() - cpu0) / wall < CpuShareBound(0.10));
        QVERIFY2(calls >= 3, qPrintable(QString::number(calls))); // after the write, then between slices
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    int status = 0;
    TstFrames frames;
    status |= QTest::qExec(&frames);
    TstConnect connect;
    status |= QTest::qExec(&connect);
    TstStartup startup;
    status |= QTest::qExec(&startup);
    TstExchange exchange;
    status |= QTest::qExec(&exchange);
    return status;
}

#include "tst_link.moc"
