// SPDX-License-Identifier: MIT
// A line recorded on site and replayed by the simulated sensor: the command line watching it again, and the panel.
#include "testsupport.h"

#include "sensor_sim.h"

#include <QProcess>

using namespace testsupport;

namespace {

const QString kCli = QStringLiteral(SCOPE_BIN_DIR "/quillex-scope-cli");
const QString kSim = QStringLiteral(SCOPE_BIN_DIR "/quillex-sensor-sim");

int RunCli(const QStringList &args, QByteArray *err = nullptr)
{
    QProcess p;
    p.start(kCli, args);
    if (!p.waitForFinished(30000))
        return -1;
    if (err)
        *err = p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

sim::Recording Load(const QString &path, const std::string &port = {})
{
    sim::Recording r;
    std::string error;
    if (!sim::LoadRecording(path.toStdString(), &r, &error, port))
        qWarning("%s", error.c_str());
    return r;
}

// Starts the simulator's program replaying `args`; returns its device once it has printed it.
QString StartReplay(QProcess &replay, const QStringList &args, QByteArray *out)
{
    replay.start(kSim, QStringList{"--com", "0"} + args);
    if (!replay.waitForReadyRead(5000))
        return {};
    *out = replay.readAllStandardOutput();
    while (!out->contains("link ") && replay.waitForReadyRead(2000))
        *out += replay.readAllStandardOutput();
    return QString::fromUtf8(out->mid(out->indexOf("device ") + 7).split('\n').first());
}

// A log of two sensors as watch writes it: a header for each port, then lines naming their port.
const char *const kTwoSensors = "# quillex-scope-cli 1.0\n"
                                "# port: COM 1 (/dev/ttyUSB0)\n"
                                "# ident: A\n"
                                "# RAM: 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1\n"
                                "# port: COM 2 (rfc2217://cabinet:4002)\n"
                                "# ident: B\n"
                                "# RAM: 2 2 2 2 2 2 2 2 2 2 2 2 2 2 2 2 2 2 2 2 2 2 2 2 2\n"
                                "time,port,R,G,B,X,Y,INT,COL\n"
                                "0.00,COM 1,10,0,0,0,0,0,0\n"
                                "0.00,COM 2,20,0,0,0,0,0,0\n"
                                "# 1970-01-01T00:00:01.000+00:00 COM 2: no valid reply within 2.0 s\n"
                                "0.04,COM 1,11,0,0,0,0,0,0\n"
                                "0.05,COM 2,21,0,0,0,0,0,0\n"
                                "# quillex-scope-cli 1.0\n"
                                "# port: COM 2 (rfc2217://cabinet:4002)\n"
                                "# ident: B\n"
                                "# RAM: 3 3 3 3 3 3 3 3 3 3 3 3 3 3 3 3 3 3 3 3 3 3 3 3 3\n"
                                "time,port,R,G,B,X,Y,INT,COL\n"
                                "9.00,COM 2,22,0,0,0,0,0,0\n";

} // namespace

class TstReplay : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { PrivatePortDir(); }

    void aRecordedLineWatchedAgainGivesTheSameMeasurementsInOrder()
    {
        QTemporaryDir dir;
        const QString recorded = dir.filePath(QStringLiteral("line4.csv"));
        const QString again = dir.filePath(QStringLiteral("again.csv"));
        constexpr int kLines = 40;

        sim::SensorSim live(sim::Options{.com = 0});
        QVERIFY(live.start());
        sim::Block ram = sim::DefaultBlock();
        ram[sim::Power] = 950; // a block of its own, so the replayed one is known to come from the log
        ram[sim::Row2X + 2] = 77;
        live.setRam(ram);
        const QString n = QString::number(kLines);
        QCOMPARE(
            RunCli({"watch", "--count", n, "--csv", recorded, "--device", QString::fromStdString(live.devicePath())}),
            0);
        live.stop();
        const sim::Recording first = Load(recorded);
        QCOMPARE(int(first.measurements.size()), kLines);
        QVERIFY(first.ram && *first.ram == ram);
        // The live scene is noisy: equal lines below cannot come from anywhere but the log.
        QVERIFY(first.measurements.front() != first.measurements.back());

        QProcess replay;
        replay.start(kSim, {"--com", "0", "--replay", recorded, "--replay-end", "stop"});
        QVERIFY(replay.waitForReadyRead(5000));
        QByteArray out = replay.readAllStandardOutput();
        while (!out.contains("link ") && replay.waitForReadyRead(2000))
            out += replay.readAllStandardOutput();
        const QString device = QString::fromUtf8(out.mid(out.indexOf("device ") + 7).split('\n').first());
        QCOMPARE(RunCli({"watch", "--count", n, "--csv", again, "--device", device}), 0);
        const sim::Recording second = Load(again);
        QCOMPARE(second.measurements, first.measurements);
        QVERIFY(second.ram && *second.ram == ram); // parameter reads answer the log's block

        // Stopped at its end, the simulated sensor falls silent: the next watch gets no measurement.
        QByteArray err;
        QCOMPARE(RunCli({"watch", "--count", "1", "--seconds", "2.5", "--timeout", "0.5", "--device", device}, &err),
                 3);
        while (!out.contains("replay ended after 40 measurements") && replay.waitForReadyRead(2000))
            out += replay.readAllStandardOutput();
        QVERIFY2(out.contains("replay ended after 40 measurements"), out.constData());
        replay.terminate();
        replay.waitForFinished(3000);
    }

    void oneSensorIsChosenFromALogOfSeveral_data()
    {
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QList<int>>("reds"); // the R of each measurement replayed
        QTest::addColumn<int>("ramWord");     // every word of the block replayed; -1 = none
        QTest::addColumn<QString>("error");
        const QString two = QString::fromLatin1(kTwoSensors);
        const QString one = QStringLiteral("# RAM: 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5\n"
                                           "time,R,G,B,X,Y,INT,COL\n0.0,7,0,0,0,0,0,0\n");
        QTest::newRow("by number, across sessions") << two << "2" << QList<int>{20, 21, 22} << 2 << "";
        QTest::newRow("by name") << two << "COM 1" << QList<int>{10, 11} << 1 << "";
        QTest::newRow("no choice") << two << "" << QList<int>{} << -1
                                   << "it holds the lines of several sensors (COM 1, COM 2): choose one with "
                                      "--replay-port";
        QTest::newRow("a port it does not have")
            << two << "COM 3" << QList<int>{} << -1 << "no measurements of COM 3 in it (it has COM 1, COM 2)";
        QTest::newRow("a name that only begins like one")
            << two << "COM" << QList<int>{} << -1 << "no measurements of COM in it";
        QTest::newRow("a choice in the log of one sensor")
            << one << "1" << QList<int>{} << -1 << "it is the log of one sensor, with no port column to choose COM 1";
        QTest::newRow("the log of one sensor, as before") << one << "" << QList<int>{7} << 5 << "";
    }

    void oneSensorIsChosenFromALogOfSeveral()
    {
        QFETCH(QString, log);
        QFETCH(QString, port);
        QFETCH(QList<int>, reds);
        QFETCH(int, ramWord);
        QFETCH(QString, error);
        sim::Recording r;
        std::string why;
        const bool ok = sim::ParseRecording(log.toStdString(), &r, &why, port.toStdString());
        QCOMPARE(ok, error.isEmpty());
        if (!ok) {
            QVERIFY2(QString::fromStdString(why).startsWith(error), why.c_str());
            return;
        }
        QList<int> got;
        for (const sim::Measurement &m : r.measurements)
            got << m[0];
        QCOMPARE(got, reds);
        QVERIFY(r.ram);
        sim::Block expected;
        expected.fill(uint16_t(ramWord));
        QCOMPARE(*r.ram, expected);
    }

    void aLineOfTwoSensorsWatchedTogetherReplaysEachAgain()
    {
        QTemporaryDir dir;
        const QString recorded = dir.filePath(QStringLiteral("line.csv"));
        const QString again = dir.filePath(QStringLiteral("again.csv"));
        constexpr int kLines = 30;
        sim::SensorSim a(sim::Options{.com = 0}), b(sim::Options{.com = 0});
        QVERIFY(a.start() && b.start());
        sim::Block ramB = sim::DefaultBlock();
        ramB[sim::Power] = 444;
        b.setRam(ramB);
        const QString deviceA = QString::fromStdString(a.devicePath()),
                      deviceB = QString::fromStdString(b.devicePath());
        QCOMPARE(RunCli({"watch", "--count", QString::number(kLines), "--csv", recorded, "--device", deviceA,
                         "--device", deviceB}),
                 0);
        a.stop();
        b.stop();
        const sim::Recording first = Load(recorded, deviceB.toStdString());
        QCOMPARE(int(first.measurements.size()), kLines);
        QVERIFY(first.ram && *first.ram == ramB);
        QVERIFY(Load(recorded, deviceA.toStdString()).measurements != first.measurements);

        QProcess replay;
        QByteArray out;
        const QString device =
            StartReplay(replay, {"--replay", recorded, "--replay-port", deviceB, "--replay-end", "stop"}, &out);
        QVERIFY2(!device.isEmpty(), out.constData());
        QCOMPARE(RunCli({"watch", "--count", QString::number(kLines), "--csv", again, "--device", device}), 0);
        const sim::Recording second = Load(again);
        QCOMPARE(second.measurements, first.measurements);
        QVERIFY(second.ram && *second.ram == ramB);
        replay.terminate();
        replay.waitForFinished(3000);

        // Without a choice the simulator refuses, naming the sensors to choose from.
        QProcess refused;
        refused.start(kSim, {"--com", "0", "--replay", recorded});
        QVERIFY(refused.waitForFinished(5000));
        QCOMPARE(refused.exitCode(), 2);
        const QByteArray err = refused.readAllStandardError();
        const QByteArray ab = ("several sensors (" + deviceA + ", " + deviceB + ")").toUtf8();
        const QByteArray ba = ("several sensors (" + deviceB + ", " + deviceA + ")").toUtf8();
        QVERIFY2(err.contains(ab) || err.contains(ba), err.constData()); // listed in the order of their names
    }

    void aReplayedLineReachesThePanel()
    {
        sim::Recording r;
        std::string error;
        QVERIFY(sim::ParseRecording("# RAM: 3900 120 700 8 1 20 1 2 3 4 5 6 7 8 9 1700 1400 90 1100 250 900 2100 "
                                    "80 1000 200\n"
                                    "time,R,G,B,X,Y,INT,COL\n"
                                    "0.00,1000,2000,1000,1023,2047,1333,2\n"
                                    "0.04,1001,2001,1001,1023,2047,1334,2\n"
                                    "0.08,3000,500,500,3071,511,1333,1\n",
                                    &r, &error));
        sim::SensorSim sensor(sim::Options{.com = 1});
        QVERIFY(sensor.start());
        sensor.setReplay(r, sim::ReplayEnd::Stop);
        QVERIFY(LoadScopePanel());
        auto popups = ShowAndConnect();
        QVERIFY(popups);
        QVERIFY(Status().startsWith(QStringLiteral("QUILLEX")));
        QCOMPARE(std::vector<uint16_t>(st.pp, st.pp + 25), std::vector<uint16_t>(r.ram->begin(), r.ram->end()));
        QCOMPARE(Val(SlidePower), 700);

        // Polling shows every line; after the last the sensor is silent and the panel says so, once.
        Click(ButtonGo);
        QCOMPARE(sensor.replayAnswered(), size_t(3));
        QCOMPARE(popups->popups.size(), size_t(1));
        QCOMPARE(Status(), QStringLiteral("TIMEOUT"));
        const std::vector<uint16_t> last{st.dataR, st.dataG, st.dataB, st.dataX, st.dataY, st.dataINT, st.dataCOL};
        QCOMPARE(last, std::vector<uint16_t>(r.measurements.back().begin(), r.measurements.back().end()));
        DiscardScopePanel();
    }
};

QTEST_MAIN(TstReplay)
#include "tst_replay.moc"
