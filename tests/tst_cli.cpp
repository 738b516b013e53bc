// SPDX-License-Identifier: MIT
// The command-line companion run as a process against the simulated sensor, and the panel's --record.
#include "testsupport.h"

#include "cli/cliargs.h"
#include "sensor_sim.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include <csignal>

using namespace testsupport;

namespace {

const QString kCli = QStringLiteral(SCOPE_BIN_DIR "/quillex-scope-cli");

struct Outcome {
    int exit = -1;
    QString out, err;
    qint64 ms = 0;
};

Outcome Run(const QStringList &args)
{
    QProcess p;
    QElapsedTimer t;
    t.start();
    p.start(kCli, args);
    p.waitForFinished(20000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError()), t.elapsed()};
}

QString BlockText(const sim::Block &b)
{
    QString text;
    for (uint16_t w : b)
        text += QStringLiteral("%1\n").arg(w, 5);
    return text;
}

QString WriteFile(const QTemporaryDir &dir, const QString &name, const QString &text)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(text.toUtf8());
    return path;
}

sim::Block Changed(std::initializer_list<std::pair<int, uint16_t>> words)
{
    sim::Block b = sim::DefaultBlock();
    for (auto [w, v] : words)
        b[size_t(w)] = v;
    return b;
}

QList<int> Orders(const sim::SensorSim &s)
{
    QList<int> orders;
    for (const auto &f : s.frames())
        orders << (f[2] << 8 | f[3]);
    return orders;
}

// Every line is a comment, the column names, or one measurement.
int MeasurementLines(const QString &path, bool *allParse, int *headers)
{
    static const QRegularExpression line(
        QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d(,\d{1,5}){7}$)"));
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    const QByteArray all = f.readAll();
    *allParse = all.isEmpty() || all.endsWith('\n');
    *headers = 0;
    int n = 0;
    for (const QString &l : QString::fromUtf8(all).split(u'\n', Qt::SkipEmptyParts)) {
        if (l == QLatin1String("time,R,G,B,X,Y,INT,COL"))
            ++*headers;
        else if (line.match(l).hasMatch())
            ++n;
        else if (!l.startsWith(u'#'))
            *allParse = false;
    }
    return n;
}

} // namespace

class TstCli : public QObject {
    Q_OBJECT

    std::unique_ptr<sim::SensorSim> sensor;
    QTemporaryDir dir;

private slots:
    void initTestCase() { PrivatePortDir(); }

    void init()
    {
        sensor = std::make_unique<sim::SensorSim>();
        QVERIFY(sensor->start());
    }

    void cleanup() { sensor.reset(); }

    void argumentsAreCheckedBeforeAnythingRuns_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("ok");
        QTest::newRow("common options first") << QStringList{"--com", "3", "get", "eeprom", "x.dat"} << true;
        QTest::newRow("option=value") << QStringList{"watch", "--timeout=0.5", "--count=2"} << true;
        QTest::newRow("help for a subcommand") << QStringList{"help", "send"} << true;
        QTest::newRow("no subcommand") << QStringList{} << false;
        QTest::newRow("unknown memory") << QStringList{"get", "flash"} << false;
        QTest::newRow("send without file") << QStringList{"send", "ram"} << false;
        QTest::newRow("count zero") << QStringList{"watch", "--count", "0"} << false;
        QTest::newRow("com out of range") << QStringList{"ident", "--com", "100"} << false;
        QTest::newRow("com and device") << QStringList{"ident", "--com", "1", "--device", "/dev/ttyS0"} << false;
        QTest::newRow("watch option on get") << QStringList{"get", "ram", "--csv", "f.csv"} << false;
        QTest::newRow("timeout not a number") << QStringList{"ident", "--timeout", "2s"} << false;
    }

    void argumentsAreCheckedBeforeAnythingRuns()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, ok);
        std::vector<std::string> v;
        for (const QString &a : args)
            v.push_back(a.toStdString());
        QCOMPARE(cli::ParseArgs(v).ok, ok);
        if (!ok) {
            const Outcome r = Run(args);
            QCOMPARE(r.exit, int(cli::kExitUsage));
            QVERIFY(r.err.contains(QLatin1String("--help")));
            QVERIFY(sensor->frames().empty());
        }
    }

    void eachSubcommandSendsItsFramesAndPrintsItsResult_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QList<int>>("orders");
        QTest::addColumn<QString>("out");
        const QString block = BlockText(sim::DefaultBlock());
        QTest::newRow("ident") << QStringList{"ident"} << QList<int>{7}
                               << "QUILLEX CS-EMB COLOUR SENSOR SIMULATOR FW 1.0\n";
        QTest::newRow("get ram") << QStringList{"get", "ram"} << QList<int>{3} << block;
        QTest::newRow("get eeprom") << QStringList{"get", "eeprom"} << QList<int>{4} << block;
        QTest::newRow("send ram") << QStringList{"send", "ram", "@"} << QList<int>{1, 3}
                                  << "sent @ to RAM on COM 1 (%d), verified 25 words\n";
        QTest::newRow("send eeprom unverified") << QStringList{"send", "eeprom", "@", "--no-verify"} << QList<int>{2}
                                                << "sent @ to EEPROM on COM 1 (%d) (not verified)\n";
        QTest::newRow("watch") << QStringList{"watch", "--count", "3"} << QList<int>{7, 3, 5, 5, 5} << QString();
        QTest::newRow("ports") << QStringList{"ports"} << QList<int>{} << "COM 1\t%d\tlink %l\n";
    }

    void eachSubcommandSendsItsFramesAndPrintsItsResult()
    {
        QFETCH(QStringList, args);
        QFETCH(QList<int>, orders);
        QFETCH(QString, out);
        const sim::Block sent = Changed({{2, 700}, {17, 99}});
        const QString file = WriteFile(dir, QStringLiteral("sent.dat"), BlockText(sent));
        args.replaceInStrings(QStringLiteral("@"), file);
        out.replace(u'@', file);
        out.replace(QLatin1String("%d"), QString::fromStdString(sensor->devicePath()));
        out.replace(QLatin1String("%l"), QString::fromStdString(sensor->linkPath()));

        const Outcome r = Run(args);
        QCOMPARE(r.exit, 0);
        QCOMPARE(Orders(*sensor), orders);
        if (args[0] == QLatin1String("watch")) {
            QCOMPARE(r.out.count(QRegularExpression(QStringLiteral("\n[0-9T:.+-]+(,\\d+){7}(?=\n)"))), 3);
            QVERIFY(r.out.contains(QLatin1String("# RAM: 4000 100 800")));
        } else if (args[0] == QLatin1String("ports")) {
            QVERIFY2(r.out.startsWith(out), qPrintable(r.out));
        } else {
            QCOMPARE(r.out, out);
        }
        // Writes carry the file's words; reads carry nothing the sensor would act on.
        for (const auto &f : sensor->frames())
            if ((f[3] == 1 || f[3] == 2))
                QCOMPARE(f, sim::RequestFrame(f[3], sent));
    }

    void sendThenGetRoundTripsAFile_data()
    {
        QTest::addColumn<QString>("memory");
        QTest::newRow("ram") << QStringLiteral("ram");
        QTest::newRow("eeprom") << QStringLiteral("eeprom");
    }

    void sendThenGetRoundTripsAFile()
    {
        QFETCH(QString, memory);
        sim::Block b{};
        for (size_t i = 0; i < b.size(); ++i)
            b[i] = uint16_t(i * 2621); // 0 up to 62904: every field width
        const QString in = WriteFile(dir, QStringLiteral("in.dat"), BlockText(b));
        const QString back = dir.filePath(QStringLiteral("back.dat"));
        QCOMPARE(Run({"send", memory, in}).exit, 0);
        QCOMPARE(memory == QLatin1String("ram") ? sensor->ram() : sensor->eeprom(), b);
        QCOMPARE(Run({"get", memory, back}).exit, 0);
        QFile a(in), c(back);
        QVERIFY(a.open(QIODevice::ReadOnly) && c.open(QIODevice::ReadOnly));
        QCOMPARE(c.readAll(), a.readAll());
    }

    void failuresExitWithTheirCodeAndSayWhy_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("fault"); // sim::Fault
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("says");
        QTest::addColumn<int>("frames");
        const int none = int(sim::Fault::None);
        QTest::newRow("dropped RAM write") << QStringList{"send", "ram", "@"} << int(sim::Fault::DropStore) << 4
                                           << "RAM differs from @ in 2 words: word 2 sent 700, read 800; "
                                              "word 17 sent 99, read 120"
                                           << 2;
        QTest::newRow("no reply") << QStringList{"ident", "--timeout", "0.5"} << int(sim::Fault::NoReply) << 3
                                  << "no valid reply to the identification request within 0.5 s (got 0 of 96 bytes)"
                                  << 1;
        QTest::newRow("short reply") << QStringList{"get", "eeprom"} << int(sim::Fault::ShortByOne) << 3
                                     << "(got 49 of 50 bytes)" << 1;
        QTest::newRow("dangling link") << QStringList{"ident", "--com", "5"} << none << 2
                                       << "/com5): cannot open: it is a link to "
                                          "/nonexistent/tty, which does not exist"
                                       << 0;
        QTest::newRow("not a terminal") << QStringList{"get", "ram", "--device", "/dev/null"} << none << 2
                                        << "/dev/null: cannot open: not a terminal" << 0;
        QTest::newRow("bad file") << QStringList{"send", "eeprom", "%bad"} << none << 5
                                  << "Parameters not loaded from %bad: Line 3 is not a whole number from 0 to 65535. "
                                     "Nothing was sent."
                                  << 0;
        QTest::newRow("unwritable file") << QStringList{"get", "ram", "/nonexistent/p.dat"} << none << 5
                                         << "Parameters not saved to /nonexistent/p.dat" << 1;
    }

    void failuresExitWithTheirCodeAndSayWhy()
    {
        QFETCH(QStringList, args);
        QFETCH(int, fault);
        QFETCH(int, exit);
        QFETCH(QString, says);
        QFETCH(int, frames);
        const QString good = WriteFile(dir, QStringLiteral("good.dat"), BlockText(Changed({{2, 700}, {17, 99}})));
        const QString bad = WriteFile(dir, QStringLiteral("bad.dat"), QStringLiteral("1\n2\n3x\n"));
        says.replace(QLatin1String("%bad"), bad).replace(u'@', good);
        args.replaceInStrings(QStringLiteral("%bad"), bad).replaceInStrings(QStringLiteral("@"), good);
        QFile::link(QStringLiteral("/nonexistent/tty"), QString::fromStdString(portdir::LinkPath(5)));
        sensor->setFault(sim::Fault(fault));

        const Outcome r = Run(args);
        QFile::remove(QString::fromStdString(portdir::LinkPath(5)));
        QCOMPARE(r.exit, exit);
        QVERIFY2(r.err.contains(says), qPrintable(r.err));
        QCOMPARE(int(sensor->frames().size()), frames);
        if (exit == 3 && fault == int(sim::Fault::NoReply))
            QVERIFY2(r.ms >= 500 && r.ms < 2000, qPrintable(QString::number(r.ms)));
        if (exit == 4)
            QCOMPARE(sensor->ram(), sim::DefaultBlock());
    }

    void watchWritesOneWellFormedLinePerMeasurement()
    {
        const QString csv = dir.filePath(QStringLiteral("count.csv"));
        QFile::remove(csv);
        QCOMPARE(Run({"watch", "--count", "100", "--csv", csv}).exit, 0);
        bool parse = false;
        int headers = 0;
        QCOMPARE(MeasurementLines(csv, &parse, &headers), 100);
        QVERIFY(parse);
        QCOMPARE(headers, 1);
        // Appending starts no second header.
        QCOMPARE(Run({"watch", "--count", "5", "--csv", csv}).exit, 0);
        QCOMPARE(MeasurementLines(csv, &parse, &headers), 105);
        QCOMPARE(headers, 1);
    }

    void aKilledWatchLeavesOnlyWholeLinesAndLosesUnderASecond()
    {
        sensor->setPacing(19200);
        const QString csv = dir.filePath(QStringLiteral("killed.csv"));
        QFile::remove(csv);
        QProcess p;
        p.start(kCli, {"watch", "--csv", csv});
        QVERIFY(p.waitForStarted());
        QTest::qWait(2500);
        const int before = sensor->repliesSent();
        ::kill(pid_t(p.processId()), SIGKILL);
        p.waitForFinished(3000);
        bool parse = false;
        int headers = 0;
        const int lines = MeasurementLines(csv, &parse, &headers);
        QVERIFY(parse);
        QCOMPARE(headers, 1);
        // About 28 measurements a second at this speed; at most a second's worth may be missing.
        QVERIFY2(lines >= before - 2 - 30 && lines <= before,
                 qPrintable(QStringLiteral("%1 of %2").arg(lines).arg(before)));
        QVERIFY(lines > 20);
    }

    void thePanelRecordsOneLinePerPass()
    {
        const QString csv = dir.filePath(QStringLiteral("panel.csv"));
        QFile::remove(csv);
        PopupRecorder rec;
        for (int run = 0; run < 2; ++run) {
            ResetScopeState();
            QByteArray a0("QuillexEMBV10"), a1("--record"), a2 = csv.toLocal8Bit();
            char *argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
            RunTimeArgs args{3, argv};
            const auto closeWhilePolling = [](QWidget *w) {
                QTimer::singleShot(400, w, &QWidget::close);
                QTest::mouseClick(W(ButtonGo), Qt::LeftButton);
            };
            QCOMPARE(RunProgram(closeWhilePolling, &args), 0);
            QVERIFY(st.goodPasses > 5);
            bool parse = false;
            int headers = 0;
            static unsigned long total = 0;
            total = run == 0 ? st.goodPasses : total + st.goodPasses;
            QCOMPARE(MeasurementLines(csv, &parse, &headers), int(total));
            QVERIFY(parse);
            QCOMPARE(headers, 1);
        }
        QVERIFY(rec.popups.empty());
        QFile f(csv);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.readAll().startsWith(
            "# Quillex-EMB-Scope V1.0\n# port: COM 1 (" + QByteArray(sensor->devicePath().c_str()) +
            ")\n# ident: QUILLEX CS-EMB COLOUR SENSOR SIMULATOR FW 1.0\n# RAM: 4000 100 800"));
    }

    void thePanelsMessageLineNamesTheRecording()
    {
        const QString csv = dir.filePath(QStringLiteral("told.csv"));
        PopupRecorder rec;
        ResetScopeState();
        QByteArray a0("QuillexEMBV10"), a1("--record"), a2 = csv.toLocal8Bit();
        char *argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
        RunTimeArgs args{3, argv};
        QString atStart, whilePolling;
        const auto look = [&](QWidget *w) {
            atStart = Message();
            QTimer::singleShot(1500, w, [&] { whilePolling = Message(); });
            QTimer::singleShot(1600, w, &QWidget::close);
            QTest::mouseClick(W(ButtonGo), Qt::LeftButton);
        };
        QCOMPARE(RunProgram(look, &args), 0);
        QCOMPARE(atStart, QStringLiteral("Recording to %1: one line per polling pass").arg(csv));
        const QRegularExpression polling(QStringLiteral("^Polling \u00b7 \\d+\\.\\d passes/s \u00b7 recording to ") +
                                         QRegularExpression::escape(csv) + QLatin1Char('$'));
        QVERIFY2(polling.match(whilePolling).hasMatch(), qPrintable(whilePolling));
        QVERIFY(rec.popups.empty());
    }

    void aRecordingThatCannotBeOpenedStopsTheStart()
    {
        QByteArray a0("QuillexEMBV10"), a1("--record"), a2("/nonexistent/x.csv");
        char *argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
        RunTimeArgs args{3, argv};
        QCOMPARE(WinMain(&args, nullptr, nullptr, 0), -1);
        QVERIFY(sensor->frames().empty());
    }
};

QTEST_MAIN(TstCli)
#include "tst_cli.moc"
