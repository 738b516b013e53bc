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

sim::Recording Load(const QString &path)
{
    sim::Recording r;
    std::string error;
    if (!sim::LoadRecording(path.toStdString(), &r, &error))
        qWarning("%s", error.c_str());
    return r;
}

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
