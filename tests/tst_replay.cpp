// SPDX-License-Identifier: MIT
// A line recorded on site and replayed by the simulated sensor: the command line watching it again, and the panel.
#include "testsupport.h"

#include "sensor_sim.h"

#include <QProcess>

#include <csignal>

#include <sys/ioctl.h>
#include <sys/stat.h>

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

// The most a replaying simulator may hold, whatever it is given to replay.
constexpr qint64 kReplayMemoryKiB = 64 * 1024;

// The peak resident memory of a running process, from the system's own record of it.
qint64 PeakKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

// `count` measurement lines, as plain seconds a millisecond apart; a header with a RAM line first when asked.
QByteArray LogLines(int count, bool header, int from = 0)
{
    QByteArray text = header ? QByteArray("# RAM: 4000 100 800 4 0 10 1 2 3 4 5 6 7 8 9 1800 1500 120 1200 300 1000 "
                                          "2200 120 1200 300\ntime,R,G,B,X,Y,INT,COL\n")
                             : QByteArray();
    for (int i = from; i < from + count; ++i)
        text += QByteArray::number(i * 0.001, 'f', 3) + ',' + QByteArray::number(i % 4096) + ",2,3,4,5,6,1\n";
    return text;
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
        QTest::addColumn<QString>("ident"); // the identification replayed; "-" = none
        const QString two = QString::fromLatin1(kTwoSensors);
        const QString one = QStringLiteral("# RAM: 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5\n"
                                           "time,R,G,B,X,Y,INT,COL\n0.0,7,0,0,0,0,0,0\n");
        QTest::newRow("by number, across sessions") << two << "2" << QList<int>{20, 21, 22} << 2 << ""
                                                    << "B";
        QTest::newRow("by name") << two << "COM 1" << QList<int>{10, 11} << 1 << ""
                                 << "A";
        QTest::newRow("no choice") << two << "" << QList<int>{} << -1
                                   << "it holds the lines of several sensors (COM 1, COM 2): choose one with "
                                      "--replay-port"
                                   << "";
        QTest::newRow("a port it does not have")
            << two << "COM 3" << QList<int>{} << -1 << "no measurements of COM 3 in it (it has COM 1, COM 2)"
            << "";
        QTest::newRow("a name that only begins like one")
            << two << "COM" << QList<int>{} << -1 << "no measurements of COM in it"
            << "";
        QTest::newRow("a choice in the log of one sensor")
            << one << "1" << QList<int>{} << -1 << "it is the log of one sensor, with no port column to choose COM 1"
            << "";
        QTest::newRow("the log of one sensor, as before") << one << "" << QList<int>{7} << 5 << ""
                                                          << "-";
    }

    void oneSensorIsChosenFromALogOfSeveral()
    {
        QFETCH(QString, log);
        QFETCH(QString, port);
        QFETCH(QList<int>, reds);
        QFETCH(int, ramWord);
        QFETCH(QString, error);
        QFETCH(QString, ident);
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
        QCOMPARE(r.ident ? QString::fromStdString(*r.ident) : QStringLiteral("-"), ident);
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
        b.setIdent("QUILLEX SENSOR B OF LINE 4"); // the replay answers as the recorded sensor, not as itself
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
        QCOMPARE(second.ident.value_or("-"), std::string("QUILLEX SENSOR B OF LINE 4"));
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

    void aLogOfAnyLengthReplaysInBoundedMemory()
    {
        // 23 MB: held whole, as text and then as records, it took over 100 MB; read as it is replayed, under 4 MB.
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("long.csv"));
        constexpr int kLines = 900000, kChunk = 100000;
        {
            QFile f(log);
            QVERIFY(f.open(QIODevice::WriteOnly));
            for (int i = 0; i < kLines; i += kChunk)
                QVERIFY(f.write(LogLines(kChunk, i == 0, i)) > 0);
        }
        QProcess replay;
        QByteArray out;
        const QString device = StartReplay(replay, {"--replay", log, "--replay-end", "stop", "--pace", "0"}, &out);
        while (!out.contains("replay ") && replay.waitForReadyRead(2000))
            out += replay.readAllStandardOutput();
        QVERIFY2(out.contains("replay 900000 measurements"), out.constData());
        const QString again = dir.filePath(QStringLiteral("again.csv"));
        QCOMPARE(RunCli({"watch", "--count", "200", "--csv", again, "--device", device}), 0);
        const sim::Recording got = Load(again);
        QCOMPARE(int(got.measurements.size()), 200);
        QCOMPARE(int(got.measurements[199][0]), 199); // in order, none skipped
        const qint64 peak = PeakKiB(replay.processId());
        replay.terminate();
        replay.waitForFinished(3000);
        qInfo("replay of a %lld-byte log: peak %lld KiB", QFileInfo(log).size(), peak);
        QVERIFY(peak > 0);
        QVERIFY2(kSanitized || peak < kReplayMemoryKiB, qPrintable(QString::number(peak)));
    }

    void aPipeThatNeverEndsIsRefusedWithinTheMemoryBound()
    {
        ::signal(SIGPIPE, SIG_IGN);
        QTemporaryDir dir;
        const QString fifo = dir.filePath(QStringLiteral("endless"));
        QVERIFY(::mkfifo(fifo.toLocal8Bit().constData(), 0600) == 0);
        // Read and write: the simulator's open does not wait, and it never sees an end.
        const int fd = ::open(fifo.toLocal8Bit().constData(), O_RDWR | O_CLOEXEC);
        QVERIFY(fd >= 0);
        QProcess replay;
        replay.start(kSim, {"--com", "0", "--replay", fifo});
        QVERIFY(replay.waitForStarted());
        // As many lines as it holds, the two of the header included; the next one is one too many.
        const QByteArray head = LogLines(0, true);
        bool written = ::write(fd, head.constData(), size_t(head.size())) == head.size();
        const int lines = int(sim::kMaxHeldLines) - 2;
        for (int i = 0, n = 0; written && i < lines; i += n) {
            n = std::min(50000, lines - i);
            const QByteArray text = LogLines(n, false, i);
            written = ::write(fd, text.constData(), size_t(text.size())) == text.size();
        }
        QVERIFY(written);
        // Everything it may hold has been taken in: its memory is at its peak now.
        int waiting = -1;
        QTRY_VERIFY_WITH_TIMEOUT(::ioctl(fd, FIONREAD, &waiting) == 0 && waiting == 0, 30000);
        const qint64 peak = PeakKiB(replay.processId());
        const QByteArray more = LogLines(10, false);
        QCOMPARE(::write(fd, more.constData(), size_t(more.size())), more.size());
        const bool ended = replay.state() == QProcess::NotRunning || replay.waitForFinished(20000);
        if (!ended)
            replay.kill();
        ::close(fd);
        QVERIFY(ended);
        QCOMPARE(replay.exitCode(), 2);
        const QByteArray err = replay.readAllStandardError();
        QVERIFY2(err.contains("line 1000001: more lines than the 1000000 held in memory"), err.constData());
        qInfo("a pipe of %zu lines held: peak %lld KiB", sim::kMaxHeldLines, peak);
        QVERIFY(peak > 0);
        QVERIFY2(kSanitized || peak < kReplayMemoryKiB, qPrintable(QString::number(peak)));
    }

    void whatCannotBeReplayedIsRefusedAtStart_data()
    {
        QTest::addColumn<QStringList>("args"); // %d: a scratch folder, %l: a log in it with a line too long
        QTest::addColumn<QByteArray>("input"); // written to standard input, which is then closed
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("says");
        QTest::newRow("a folder") << QStringList{"--replay", "%d"} << QByteArray() << 2
                                  << "cannot replay %d: it is a folder, not a log";
        QTest::newRow("a device that never ends") << QStringList{"--replay", "/dev/zero"} << QByteArray() << 2
                                                  << "cannot replay /dev/zero: it is a device, not a log file";
        QTest::newRow("a line far too long") << QStringList{"--replay", "%l"} << QByteArray() << 2
                                             << "cannot replay %l: line 4: longer than 4096 characters";
        QTest::newRow("a pipe without a line feed")
            << QStringList{"--replay", "/dev/stdin"} << QByteArray(100000, 'x') << 2
            << "cannot replay /dev/stdin: line 1: longer than 4096 characters";
        QTest::newRow("an end without a replay")
            << QStringList{"--replay-end", "stop"} << QByteArray() << 2
            << "--replay-end says what happens at the end of --replay FILE.csv, which is missing";
        QTest::newRow("the version") << QStringList{"--version"} << QByteArray() << 0 << "quillex-sensor-sim 1.0\n";
    }

    void whatCannotBeReplayedIsRefusedAtStart()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, input);
        QFETCH(int, exit);
        QFETCH(QString, says);
        QTemporaryDir dir;
        const QString log = dir.filePath(QStringLiteral("wide.csv"));
        QFile f(log);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(LogLines(1, true) + QByteArray(4097, '7') + "\n");
        f.close();
        for (const auto &[mark, path] : {std::pair{"%d", dir.path()}, std::pair{"%l", log}}) {
            args.replaceInStrings(QLatin1String(mark), path);
            says.replace(QLatin1String(mark), path);
        }
        QProcess p;
        p.start(kSim, QStringList{"--com", "0"} + args);
        QVERIFY(p.waitForStarted());
        p.write(input);
        p.closeWriteChannel();
        const bool ended = p.waitForFinished(10000);
        if (!ended)
            p.kill();
        QVERIFY(ended);
        QCOMPARE(p.exitCode(), exit);
        const QString said = QString::fromUtf8(exit == 0 ? p.readAllStandardOutput() : p.readAllStandardError());
        QVERIFY2(exit == 0 ? said == says : said.contains(says), qPrintable(said));
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
