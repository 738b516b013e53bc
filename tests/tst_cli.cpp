// SPDX-License-Identifier: MIT
// The command-line companion run as a process against the simulated sensor, and the panel's --record.
#include "testsupport.h"
#include "linesupport.h"

#include "cli/cliargs.h"
#include "core/csvrecord.h"
#include "sensor_sim.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <functional>
#include <thread>
#include <optional>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/capability.h>
#include <sys/prctl.h>
#endif

using namespace testsupport;
using namespace linesupport;

namespace {

const QString kCli = QStringLiteral(SCOPE_BIN_DIR "/quillex-scope-cli");

struct Outcome {
    int exit = -1;
    QString out, err;
    qint64 ms = 0;
};

// How a child runs besides its arguments.
struct Child {
    std::optional<QByteArray> input; // written to standard input, which is then closed
    QString output;                  // a file to take standard output ("" = captured)
    std::function<void()> inChild;   // runs in the child just before the program starts
};

Outcome Run(const QStringList &args, const Child &how = {})
{
    QProcess p;
    if (!how.output.isEmpty())
        p.setStandardOutputFile(how.output);
    if (how.inChild)
        p.setChildProcessModifier(how.inChild);
    QElapsedTimer t;
    t.start();
    p.start(kCli, args);
    if (how.input) {
        p.waitForStarted();
        p.write(*how.input);
        p.closeWriteChannel();
    }
    p.waitForFinished(20000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError()), t.elapsed()};
}

// A child whose files may grow to `bytes` and no further once its sensor has been asked something, as on a disk
// that fills up: the write past the limit fails (EFBIG) instead of killing the process. The limit comes only then
// because opening the port writes a lock file; the sensor's latency keeps the reply, and so the saving, well
// behind it.
Outcome RunOnFullDisk(const QStringList &args, sim::SensorSim &sensor, rlim_t bytes)
{
    QProcess p;
    p.setChildProcessModifier([] { ::signal(SIGXFSZ, SIG_IGN); });
    QElapsedTimer t;
    t.start();
    p.start(kCli, args);
    if (sensor.waitForFrames(1, 10.0)) {
        const rlimit limit{bytes, bytes};
        ::prlimit(pid_t(p.processId()), RLIMIT_FSIZE, &limit, nullptr);
        sensor.setLatency(0); // the reply already on its way keeps its delay; later ones come at once
    }
    p.waitForFinished(20000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError()), t.elapsed()};
}

// In the child: file permissions apply even when the tests run as root (as CI does). The capabilities that
// override them leave the bounding set, so the program started cannot regain them; it stays root otherwise and
// can still reach the build and the port directory.
std::function<void()> HeldToFilePermissionsInChild()
{
    return [] {
#ifdef __linux__
        if (::geteuid() == 0 && (::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 ||
                                 ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0))
            ::_exit(99);
#endif
    };
}

QStringList FilesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::Dirs | QDir::NoDotAndDotDot);
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
        QTest::newRow("com list and ranges") << QStringList{"ident", "--com", "1,2,5-8", "--com", "9"} << true;
        QTest::newRow("get several into a pattern") << QStringList{"get", "ram", "b-%p.dat", "--com", "1,2"} << true;
        QTest::newRow("com given twice over") << QStringList{"ident", "--com", "1-3", "--com", "2"} << false;
        QTest::newRow("com range backwards") << QStringList{"ident", "--com", "8-5"} << false;
        QTest::newRow("com range past the last") << QStringList{"ident", "--com", "98-100"} << false;
        QTest::newRow("com list with a hole") << QStringList{"ident", "--com", "1,,2"} << false;
        QTest::newRow("com list ending in a comma") << QStringList{"ident", "--com", "1,"} << false;
        QTest::newRow("com list and a device") << QStringList{"ident", "--com", "1,2", "--device", "/dev/x"} << false;
        QTest::newRow("device given twice")
            << QStringList{"ident", "--device", "/dev/x", "--device", "/dev/x"} << false;
        QTest::newRow("get several into one file") << QStringList{"get", "ram", "b.dat", "--com", "1,2"} << false;
        QTest::newRow("get several to standard output") << QStringList{"get", "ram", "--com", "1,2"} << false;
        QTest::newRow("get several sharing a file")
            << QStringList{"get", "ram", "b-%p.dat", "--device", "/dev/a:b", "--device", "/dev/a_b"} << false;
        QTest::newRow("watch several, a device with a comma")
            << QStringList{"watch", "--device", "/dev/a,b", "--device", "/dev/c"} << false;
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

    void portsAreTakenInTheOrderGivenAndNamedForFiles_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("names"); // each port's name, then its part of a file name
        QTest::newRow("numbers and ranges, as written")
            << QStringList{"get", "ram", "b-%p.dat", "--com", "3,1-2", "--com", "7"}
            << QStringList{"COM 3", "com3", "COM 1", "com1", "COM 2", "com2", "COM 7", "com7"};
        QTest::newRow("devices and addresses")
            << QStringList{"ident",    "--device", "rfc2217://[fd00::21]:4001", "--device", "/dev/ttyUSB0",
                           "--device", "/.."}
            << QStringList{
                   "rfc2217://[fd00::21]:4001", "rfc2217_fd00_21_4001", "/dev/ttyUSB0", "dev_ttyUSB0", "/..", "port3"};
        QTest::newRow("COM 1 when none is given") << QStringList{"watch"} << QStringList{"COM 1", "com1"};
    }

    void portsAreTakenInTheOrderGivenAndNamedForFiles()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, names);
        std::vector<std::string> v;
        for (const QString &a : args)
            v.push_back(a.toStdString());
        const cli::ParseResult r = cli::ParseArgs(v);
        QVERIFY2(r.ok, r.error.c_str());
        QStringList got;
        for (const cli::PortSpec &p : r.options.ports)
            got << QString::fromStdString(cli::PortName(p)) << QString::fromStdString(cli::PortFilePart(p));
        QCOMPARE(got, names);
        if (args[0] == QLatin1String("get"))
            QCOMPARE(cli::PortFile("b-%p.dat", r.options.ports.front()), std::string("b-com3.dat"));
    }

    void eachSubcommandSendsItsFramesAndPrintsItsResult_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QList<int>>("orders");
        QTest::addColumn<QString>("out");
        const QString block = BlockText(sim::DefaultBlock());
        // An identification and a block are read twice and taken only when both reads agree.
        QTest::newRow("ident") << QStringList{"ident"} << QList<int>{7, 7}
                               << "QUILLEX CS-EMB COLOUR SENSOR SIMULATOR FW 1.0\n";
        QTest::newRow("get ram") << QStringList{"get", "ram"} << QList<int>{3, 3} << block;
        QTest::newRow("get eeprom") << QStringList{"get", "eeprom"} << QList<int>{4, 4} << block;
        QTest::newRow("send ram") << QStringList{"send", "ram", "@"} << QList<int>{1, 3}
                                  << "sent @ to RAM on COM 1 (%d), verified 25 words\n";
        QTest::newRow("send eeprom unverified") << QStringList{"send", "eeprom", "@", "--no-verify"} << QList<int>{2}
                                                << "sent @ to EEPROM on COM 1 (%d) (not verified)\n";
        QTest::newRow("watch") << QStringList{"watch", "--count", "3"} << QList<int>{7, 7, 3, 3, 5, 5, 5} << QString();
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
        QTest::addColumn<int>("order"); // the order the fault hits, 0 = all
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("says");
        QTest::addColumn<int>("frames");
        const int none = int(sim::Fault::None), noReply = int(sim::Fault::NoReply), drop = int(sim::Fault::DropStore);
        const QString missingPort = QStringLiteral("/com5): cannot open: it is a link to /nonexistent/tty, which does "
                                                   "not exist");
        QTest::newRow("send: dropped RAM write") << QStringList{"send", "ram", "@"} << drop << 0 << 4
                                                 << "RAM differs from @ in 2 words: word 2 sent 700, read 800; "
                                                    "word 17 sent 99, read 120"
                                                 << 2;
        QTest::newRow("send: one word differs") << QStringList{"send", "eeprom", "%one"} << drop << 0 << 4
                                                << "EEPROM differs from %one in 1 word: word 2 sent 700, read 800" << 2;
        // Verification compares every word, the first and the last too.
        QTest::newRow("send: first word not kept")
            << QStringList{"send", "ram", "%ends"} << int(sim::Fault::KeepButFirst) << 0 << 4
            << "RAM differs from %ends in 1 word: word 0 sent 3999, read 4000" << 2;
        QTest::newRow("send: last word not kept")
            << QStringList{"send", "eeprom", "%ends"} << int(sim::Fault::KeepButLast) << 0 << 4
            << "EEPROM differs from %ends in 1 word: word 24 sent 301, read 300" << 2;
        QTest::newRow("send: read-back lost")
            << QStringList{"send", "ram", "@", "--timeout", "0.5"} << noReply << 3 << 3
            << "no valid reply to the RAM read-back within 0.5 s (got 0 of 50 bytes)" << 2;
        QTest::newRow("send: port missing")
            << QStringList{"send", "ram", "@", "--com", "5"} << none << 0 << 2 << missingPort << 0;
        QTest::newRow("send: bad file") << QStringList{"send", "eeprom", "%bad"} << none << 0 << 5
                                        << "Parameters not loaded from %bad: Line 3 is not a whole number from 0 to "
                                           "65535. Nothing was sent."
                                        << 0;
        QTest::newRow("ident: no reply") << QStringList{"ident", "--timeout", "0.5"} << noReply << 0 << 3
                                         << "no valid reply to the identification request within 0.5 s (got 0 of 96 "
                                            "bytes)"
                                         << 1;
        QTest::newRow("ident: port missing")
            << QStringList{"ident", "--com", "5"} << none << 0 << 2 << missingPort << 0;
        QTest::newRow("get: short reply")
            << QStringList{"get", "eeprom"} << int(sim::Fault::ShortByOne) << 0 << 3 << "(got 49 of 50 bytes)" << 1;
        QTest::newRow("get: not a terminal") << QStringList{"get", "ram", "--device", "/dev/null"} << none << 0 << 2
                                             << "/dev/null: cannot open: not a terminal" << 0;
        QTest::newRow("get: unwritable file") << QStringList{"get", "ram", "/nonexistent/p.dat"} << none << 0 << 5
                                              << "Parameters not saved to /nonexistent/p.dat: It cannot be written: "
                                                 "the folder /nonexistent does not exist. Any file of that name is "
                                                 "left as it was."
                                              << 2;
        QTest::newRow("watch: silent sensor") << QStringList{"watch", "--count", "1", "--timeout", "0.5"} << noReply
                                              << 5 << 3 << "1 of 1 measurements had no valid reply within 0.5 s" << 5;
        QTest::newRow("watch: port missing")
            << QStringList{"watch", "--com", "5"} << none << 0 << 2 << missingPort << 0;
        QTest::newRow("watch: unwritable CSV") << QStringList{"watch", "--csv", "/nonexistent/w.csv"} << none << 0 << 5
                                               << "cannot write /nonexistent/w.csv: the folder /nonexistent does not "
                                                  "exist"
                                               << 0;
    }

    void failuresExitWithTheirCodeAndSayWhy()
    {
        QFETCH(QStringList, args);
        QFETCH(int, fault);
        QFETCH(int, order);
        QFETCH(int, exit);
        QFETCH(QString, says);
        QFETCH(int, frames);
        const int noReply = int(sim::Fault::NoReply);
        const QString good = WriteFile(dir, QStringLiteral("good.dat"), BlockText(Changed({{2, 700}, {17, 99}})));
        const QString one = WriteFile(dir, QStringLiteral("one.dat"), BlockText(Changed({{2, 700}})));
        const QString bad = WriteFile(dir, QStringLiteral("bad.dat"), QStringLiteral("1\n2\n3x\n"));
        const QString ends = WriteFile(dir, QStringLiteral("ends.dat"), BlockText(Changed({{0, 3999}, {24, 301}})));
        for (const auto &[mark, path] :
             {std::pair{"%bad", bad}, std::pair{"%one", one}, std::pair{"%ends", ends}, std::pair{"@", good}}) {
            says.replace(QLatin1String(mark), path);
            args.replaceInStrings(QLatin1String(mark), path);
        }
        QFile::link(QStringLiteral("/nonexistent/tty"), QString::fromStdString(portdir::LinkPath(5)));
        sensor->setFault(sim::Fault(fault), order);

        const Outcome r = Run(args);
        QFile::remove(QString::fromStdString(portdir::LinkPath(5)));
        QCOMPARE(r.exit, exit);
        QVERIFY2(r.err.contains(says), qPrintable(r.err));
        QCOMPARE(int(sensor->frames().size()), frames);
        // A time-out costs the time asked for, not more and not less.
        if (exit == 3 && fault == noReply)
            QVERIFY2(r.ms >= 500 && r.ms < 3000, qPrintable(QString::number(r.ms)));
        if (exit == 4 && fault == int(sim::Fault::DropStore))
            QCOMPARE(sensor->ram(), sim::DefaultBlock());
        if (args[0] == QLatin1String("watch") && exit == 3)
            QCOMPARE(r.out.count(QRegularExpression(QStringLiteral("\n# [0-9T:.+-]+ no valid reply within 0.5 s "
                                                                   "\\(got 0 of 14 bytes\\)\n"))),
                     1);
    }

    void onlyWhatTheSensorSaidIsTakenForItsReply_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("fault");       // sim::Fault
        QTest::addColumn<int>("order");       // the order it hits
        QTest::addColumn<QString>("says");    // a pattern
        QTest::addColumn<QString>("logSays"); // what the CSV must hold, for watch: a pattern
        const auto literally = [](const char *text) { return QRegularExpression::escape(QString::fromUtf8(text)); };
        // Bytes that follow a reply may come in one read with its last (the sensor's side writes late on a busy
        // machine): then the reply is too long instead.
        const QString traffic = "(" + literally("the line carries other traffic: is another client on this port?") +
                                "|\\d+ bytes instead of)";
        const QStringList get{"get", "ram", "%f"}, ident{"ident"}, watch{"watch", "--count", "5", "--csv", "%c"};
        const int ahead = int(sim::Fault::Ahead), tail = int(sim::Fault::Tail);
        QTest::newRow("get: a measurement ahead of the block") << get << ahead << 3 << traffic << QString();
        QTest::newRow("get: a measurement after the block") << get << tail << 3 << traffic << QString();
        QTest::newRow("ident: a measurement ahead of it") << ident << ahead << 7 << traffic << QString();
        QTest::newRow("ident: bytes that are not text")
            << ident << int(sim::Fault::None) << 0 << literally("the identification is not text (0xFF at character 1)")
            << QString();
        QTest::newRow("watch: replies of 0xFF")
            << watch << int(sim::Fault::Ones) << 5 << literally("5 of 5 replies were out of range, not measurements")
            << literally("reply out of range (X 65535, Y 65535, INT 65535; X, Y and INT run to 4095 and X + Y cannot "
                         "exceed it): not a measurement; 5 so far");
        QTest::newRow("watch: a measurement after each")
            << watch << tail << 5 << literally("measurements had no valid reply") << "no valid reply: " + traffic;
    }

    void onlyWhatTheSensorSaidIsTakenForItsReply()
    {
        QFETCH(QStringList, args);
        QFETCH(int, fault);
        QFETCH(int, order);
        QFETCH(QString, says);
        QFETCH(QString, logSays);
        const QString file = dir.filePath(QStringLiteral("only.dat")), csv = dir.filePath(QStringLiteral("only.csv"));
        QFile::remove(file);
        QFile::remove(csv);
        args.replaceInStrings(QStringLiteral("%f"), file).replaceInStrings(QStringLiteral("%c"), csv);
        // Another client's traffic comes at the line's pace, so the reply's first bytes are in before the rest.
        sensor->setPacing(19200);
        sensor->setFault(sim::Fault(fault), order);
        if (QTest::currentDataTag() == QLatin1String("ident: bytes that are not text"))
            sensor->setIdent("\xff\xfb\x2c"
                             "CS-EMB");

        const Outcome r = Run(args);
        QCOMPARE(r.exit, 3);
        QVERIFY2(r.err.contains(QRegularExpression(says)), qPrintable(r.err));
        QCOMPARE(r.out, QString()); // no identification, no block, no measurement
        QVERIFY(!QFile::exists(file));
        if (args[0] == QLatin1String("watch")) {
            bool parse = false;
            int headers = 0;
            QFile f(csv);
            QVERIFY(f.open(QIODevice::ReadOnly));
            const QString log = QString::fromUtf8(f.readAll());
            QVERIFY2(log.contains(QRegularExpression(logSays)), qPrintable(log));
            // A measurement followed by another client's is the sensor's own, and may pass unnoticed on a busy machine;
            // a reply out of range never passes.
            if (fault == int(sim::Fault::Ones))
                QCOMPARE(MeasurementLines(csv, &parse, &headers), 0);
        }
    }

    void messagesNameTheRealReasonAndTheTimeWaited_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("fault"); // sim::Fault, on the RAM read
        QTest::addColumn<bool>("heldToPermissions");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("says");
        QTest::addColumn<QString>("mustNotSay");
        const int none = int(sim::Fault::None);
        QTest::newRow("a time-out shorter than the line")
            << QStringList{"ident", "--timeout", "0.0000001"} << none << false << 3
            << "is shorter than the line needs to carry the request and its reply (78 ms at 19200 baud)"
            << "within 0.0 s";
        QTest::newRow("a time-out the system overshoots")
            << QStringList{"get", "ram", "--timeout", "0.00001"} << none << false << 3
            << "no valid reply to the RAM read within 0.01 ms (got 0 of 50 bytes); --timeout 0.01 ms is shorter"
            << "@";
        QTest::newRow("a count too large") << QStringList{"watch", "--count", "99999999999999999999"} << none << false
                                           << 1 << "--count 99999999999999999999 is too large: at most "
                                           << "whole number of 1 or more";
        QTest::newRow("a long reply at once") << QStringList{"get", "ram"} << int(sim::Fault::LongByOne) << false << 3
                                              << "no valid reply to the RAM read: 51 bytes instead of 50 after"
                                              << "within 2.0 s";
        QTest::newRow("a link that loops") << QStringList{"ident", "--com", "13"} << none << false << 2
                                           << "cannot open: it is a link that leads back to itself"
                                           << "does not exist";
        QTest::newRow("a read-only folder") << QStringList{"watch", "--csv", "%ro/w.csv"} << none << true << 5
                                            << "cannot write %ro/w.csv: the folder %ro does not let you create files "
                                               "in it (Permission denied)"
                                            << "@";
    }

    void messagesNameTheRealReasonAndTheTimeWaited()
    {
        QFETCH(QStringList, args);
        QFETCH(int, fault);
        QFETCH(bool, heldToPermissions);
        QFETCH(int, exit);
        QFETCH(QString, says);
        QFETCH(QString, mustNotSay);
        QTemporaryDir readOnly;
        QVERIFY(::chmod(readOnly.path().toLocal8Bit().constData(), 0555) == 0);
        args.replaceInStrings(QStringLiteral("%ro"), readOnly.path());
        says.replace(QLatin1String("%ro"), readOnly.path());
        const QString loop = QString::fromStdString(portdir::LinkPath(13));
        QFile::remove(loop);
        QVERIFY(QFile::link(loop, loop));
        sensor->setFault(sim::Fault(fault), sim::ReadRam);
        sensor->setPacing(19200); // as a real line: no reply can come within the shortest time-out

        Child how;
        if (heldToPermissions)
            how.inChild = HeldToFilePermissionsInChild();
        const Outcome r = Run(args, how);
        QFile::remove(loop);
        QCOMPARE(r.exit, exit);
        QVERIFY2(r.err.contains(says), qPrintable(r.err));
        QVERIFY2(!r.err.contains(mustNotSay), qPrintable(r.err));
        if (fault != int(sim::Fault::None))
            QVERIFY2(r.ms < 1500, qPrintable(QString::number(r.ms))); // the long reply ends the wait at once
    }

    void aReaderThatStopsReadingEndsWatchQuietly()
    {
        // The shell's pipe, as a user has it: watch | head -3.
        const QString err = dir.filePath(QStringLiteral("watch.err"));
        QProcess p;
        p.start(QStringLiteral("bash"),
                {"-c", "set -o pipefail; \"$0\" watch 2>\"$1\" | head -3 >/dev/null", kCli, err});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        QFile f(err);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray());
        QVERIFY(sensor->framesSeen() >= 3);
    }

    void watchWritesOneWellFormedLinePerMeasurement()
    {
        const QString csv = dir.filePath(QStringLiteral("count.csv"));
        QFile::remove(csv);
        sim::Block ram{};
        for (size_t i = 0; i < ram.size(); ++i)
            ram[i] = uint16_t(60000 + i); // every word distinct and five digits wide
        sensor->setRam(ram);
        QCOMPARE(Run({"watch", "--count", "100", "--csv", csv}).exit, 0);
        bool parse = false;
        int headers = 0;
        QCOMPARE(MeasurementLines(csv, &parse, &headers), 100);
        QVERIFY(parse);
        QCOMPARE(headers, 1);
        QString ramLine = QStringLiteral("# RAM:");
        for (uint16_t w : ram)
            ramLine += QStringLiteral(" %1").arg(w);
        QFile f(csv);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromUtf8(f.readAll()).split(u'\n').contains(ramLine));
        // Appending starts no second header.
        QCOMPARE(Run({"watch", "--count", "5", "--csv", csv}).exit, 0);
        QCOMPARE(MeasurementLines(csv, &parse, &headers), 105);
        QCOMPARE(headers, 1);
    }

    void timestampsCarryTheOffsetOfTheirZone_data()
    {
        QTest::addColumn<QByteArray>("zone"); // POSIX TZ: the offset is written west-positive
        QTest::addColumn<QString>("utc");
        QTest::addColumn<QString>("local");
        QTest::newRow("UTC") << QByteArray("UTC0") << "2024-05-17T08:03:11.042Z"
                             << "2024-05-17T08:03:11.042+00:00";
        QTest::newRow("half an hour east, past midnight") << QByteArray("XST-5:30") << "2024-05-16T19:00:00.500Z"
                                                          << "2024-05-17T00:30:00.500+05:30";
        QTest::newRow("a quarter hour east") << QByteArray("NPT-5:45") << "2024-05-17T08:03:11.042Z"
                                             << "2024-05-17T13:48:11.042+05:45";
        QTest::newRow("half an hour west, back a day") << QByteArray("NST3:30") << "2024-05-17T02:00:00.007Z"
                                                       << "2024-05-16T22:30:00.007-03:30";
        QTest::newRow("summer time") << QByteArray("CET-1CEST,M3.5.0,M10.5.0/3") << "2024-07-01T12:00:00.000Z"
                                     << "2024-07-01T14:00:00.000+02:00";
        QTest::newRow("winter time") << QByteArray("CET-1CEST,M3.5.0,M10.5.0/3") << "2024-01-15T12:00:00.000Z"
                                     << "2024-01-15T13:00:00.000+01:00";
        QTest::newRow("a millisecond before 1970") << QByteArray("XST-5:30") << "1969-12-31T23:59:59.999Z"
                                                   << "1970-01-01T05:29:59.999+05:30";
    }

    void timestampsCarryTheOffsetOfTheirZone()
    {
        QFETCH(QByteArray, zone);
        QFETCH(QString, utc);
        QFETCH(QString, local);
        const QByteArray saved = qgetenv("TZ");
        qputenv("TZ", zone);
        ::tzset();
        const qint64 ms = QDateTime::fromString(utc, Qt::ISODateWithMs).toMSecsSinceEpoch();
        const std::string got = csvrec::Timestamp(std::chrono::system_clock::time_point(std::chrono::milliseconds(ms)));
        saved.isNull() ? qunsetenv("TZ") : qputenv("TZ", saved);
        ::tzset();
        QCOMPARE(QString::fromStdString(got), local);
    }

    void aLogRecordedOutsideUtcHasTheRightTimeInEveryLine()
    {
        const QString csv = dir.filePath(QStringLiteral("kolkata.csv"));
        QFile::remove(csv);
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TZ"), QStringLiteral("XST-5:30"));
        p.setProcessEnvironment(env);
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
        p.start(kCli, {"watch", "--count", "20", "--csv", csv});
        QVERIFY(p.waitForFinished(20000));
        const QDateTime after = QDateTime::currentDateTimeUtc().addSecs(1);
        QCOMPARE(p.exitCode(), 0);
        QFile f(csv);
        QVERIFY(f.open(QIODevice::ReadOnly));
        int stamped = 0;
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.isEmpty() || line.startsWith('#') || line.startsWith("time,"))
                continue;
            const QString stamp = QString::fromLatin1(line.left(line.indexOf(',')));
            QVERIFY2(stamp.endsWith(QLatin1String("+05:30")), qPrintable(stamp));
            const QDateTime when = QDateTime::fromString(stamp, Qt::ISODateWithMs);
            QVERIFY2(when.isValid() && when >= before && when <= after, qPrintable(stamp));
            ++stamped;
        }
        QCOMPARE(stamped, 20);
    }

    void fourSensorsOneDroppingWritesAreEachVerified()
    {
        std::vector<std::unique_ptr<sim::SensorSim>> more;
        for (int com = 2; com <= 4; ++com) {
            more.push_back(std::make_unique<sim::SensorSim>(sim::Options{.com = com}));
            QVERIFY(more.back()->start());
        }
        more[1]->setFault(sim::Fault::DropStore); // COM 3: not the last, so the order of the report is seen
        const std::vector<sim::SensorSim *> all{sensor.get(), more[0].get(), more[1].get(), more[2].get()};
        const sim::Block block = Changed({{2, 700}, {17, 99}});
        const QString file = WriteFile(dir, QStringLiteral("line.dat"), BlockText(block));

        const Outcome r = Run({"send", "eeprom", file, "--com", "1-4"});
        QCOMPARE(r.exit, int(cli::kExitMismatch));
        const QStringList lines = r.out.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 5);
        for (int i = 0; i < 4; ++i) {
            const QString head = QStringLiteral("COM %1 (%2)\tQUILLEX CS-EMB COLOUR SENSOR SIMULATOR FW 1.0\t")
                                     .arg(i + 1)
                                     .arg(QString::fromStdString(all[size_t(i)]->devicePath()));
            const QString result = i == 2 ? "exit 4: EEPROM differs from " + file +
                                                " in 2 words: word 2 sent 700, read 800; word 17 sent 99, read 120"
                                          : QStringLiteral("verified 25 words in EEPROM");
            QCOMPARE(lines[i], head + result);
            QCOMPARE(Orders(*all[size_t(i)]), (QList<int>{7, 7, 2, 4}));
            QCOMPARE(all[size_t(i)]->eeprom(), i == 2 ? sim::DefaultBlock() : block);
        }
        const QString summary =
            QStringLiteral("summary: 3 of 4 sensors verified; failed: COM 3 (exit 4, verification mismatch)");
        QCOMPARE(lines[4], summary);
        QVERIFY2(r.err.contains(summary), qPrintable(r.err));
    }

    void severalSensorsAreServedAtOnceAndExitWithTheWorstCode_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QList<int>>("faults"); // sim::Fault of COM 1, 2 and 3
        QTest::addColumn<int>("order");         // the order the faults hit, 0 = all
        QTest::addColumn<int>("exit");
        QTest::addColumn<QStringList>("says"); // in the output, in this order; %1..%3 the sensors' devices
        QTest::addColumn<int>("withinMs");
        const int none = int(sim::Fault::None), noReply = int(sim::Fault::NoReply);
        QTest::newRow("ident: one silent")
            << QStringList{"ident", "--com", "1-3", "--timeout", "0.5"} << QList<int>{none, noReply, none} << 0 << 3
            << QStringList{"COM 1 (%1)\tQUILLEX CS-EMB COLOUR SENSOR SIMULATOR FW 1.0\tidentified\n",
                           "COM 2 (%2)\t-\texit 3: no valid reply to the identification request within 0.5 s (got 0 "
                           "of 96 bytes)\n",
                           "COM 3 (%3)\tQUILLEX",
                           "summary: 2 of 3 sensors identified; failed: COM 2 (exit 3, time-out)\n"}
            << 20000;
        // One after another these would take three time-outs; at once, one.
        QTest::newRow("ident: all silent, waited for at once")
            << QStringList{"ident", "--com", "1-3", "--timeout", "1.5"} << QList<int>{noReply, noReply, noReply} << 0
            << 3
            << QStringList{"summary: 0 of 3 sensors identified; failed: COM 1 (exit 3, time-out), COM 2 (exit 3, "
                           "time-out), COM 3 (exit 3, time-out)"}
            << 3500;
        QTest::newRow("ident: a missing port and a silent one")
            << QStringList{"ident", "--com", "1,2,5", "--timeout", "0.5"} << QList<int>{none, noReply, none} << 0 << 3
            << QStringList{"/com5)\t-\texit 2: cannot open: it is a link to /nonexistent/tty, which does not exist\n",
                           "summary: 1 of 3 sensors identified; failed: COM 2 (exit 3, time-out), COM 5 (exit 2, "
                           "port cannot be opened)"}
            << 20000;
        QTest::newRow("get: each block into its own file")
            << QStringList{"get", "eeprom", "%d/b-%p.dat", "--com", "1-3"} << QList<int>{none, none, none} << 0 << 0
            << QStringList{"COM 1 (%1)\tQUILLEX CS-EMB COLOUR SENSOR SIMULATOR FW 1.0\tEEPROM saved to %d/b-com1.dat\n",
                           "summary: 3 of 3 sensors read\n"}
            << 20000;
        QTest::newRow("get: one read cut short")
            << QStringList{"get", "eeprom", "%d/b-%p.dat", "--com", "1-3"}
            << QList<int>{none, none, int(sim::Fault::ShortByOne)} << int(sim::ReadEeprom) << 3
            << QStringList{"COM 3 (%3)\tQUILLEX CS-EMB COLOUR SENSOR SIMULATOR FW 1.0\texit 3: no valid reply to the "
                           "EEPROM read within",
                           "(got 49 of 50 bytes)\n", "summary: 2 of 3 sensors read; failed: COM 3 (exit 3, time-out)"}
            << 20000;
        QTest::newRow("send: unverified")
            << QStringList{"send", "ram", "%d/in.dat", "--no-verify", "--com", "1-3"} << QList<int>{none, none, none}
            << 0 << 0
            << QStringList{"COM 2 (%2)\tQUILLEX CS-EMB COLOUR SENSOR SIMULATOR FW 1.0\tsent to RAM (not verified)\n",
                           "summary: 3 of 3 sensors sent\n"}
            << 20000;
    }

    void severalSensorsAreServedAtOnceAndExitWithTheWorstCode()
    {
        QFETCH(QStringList, args);
        QFETCH(QList<int>, faults);
        QFETCH(int, order);
        QFETCH(int, exit);
        QFETCH(QStringList, says);
        QFETCH(int, withinMs);
        const int none = int(sim::Fault::None);
        QTemporaryDir out;
        std::vector<std::unique_ptr<sim::SensorSim>> more;
        for (int com = 2; com <= 3; ++com) {
            more.push_back(std::make_unique<sim::SensorSim>(sim::Options{.com = com}));
            QVERIFY(more.back()->start());
        }
        const std::vector<sim::SensorSim *> all{sensor.get(), more[0].get(), more[1].get()};
        for (size_t i = 0; i < all.size(); ++i) {
            sim::Block own = sim::DefaultBlock();
            own[sim::Power] = uint16_t(100 * (i + 1)); // every sensor a block of its own: files cannot be mixed up
            all[i]->setEeprom(own);
            all[i]->setFault(sim::Fault(faults[int(i)]), order);
        }
        WriteFile(out, QStringLiteral("in.dat"), BlockText(Changed({{2, 321}})));
        args.replaceInStrings(QStringLiteral("%d"), out.path());
        QFile::link(QStringLiteral("/nonexistent/tty"), QString::fromStdString(portdir::LinkPath(5)));

        const Outcome r = Run(args);
        QFile::remove(QString::fromStdString(portdir::LinkPath(5)));
        QCOMPARE(r.exit, exit);
        qsizetype at = 0;
        for (QString text : says) {
            for (size_t i = 0; i < all.size(); ++i)
                text.replace(QStringLiteral("%%1").arg(i + 1), QString::fromStdString(all[i]->devicePath()));
            text.replace(QLatin1String("%d"), out.path());
            const qsizetype found = r.out.indexOf(text, at);
            QVERIFY2(found >= 0, qPrintable(QStringLiteral("'%1' not in order in:\n%2").arg(text, r.out)));
            at = found + text.size();
        }
        QCOMPARE(r.out.count(u'\n'), 4); // three sensors and the summary
        QVERIFY2(r.ms < withinMs, qPrintable(QString::number(r.ms)));
        if (exit != 0)
            QVERIFY2(r.err.contains(QLatin1String("summary: ")), qPrintable(r.err));
        if (args[0] == QLatin1String("get"))
            for (size_t i = 0; i < all.size(); ++i) {
                QFile f(out.filePath(QStringLiteral("b-com%1.dat").arg(i + 1)));
                const bool read = faults[int(i)] == none;
                QCOMPARE(f.exists(), read);
                if (read && f.open(QIODevice::ReadOnly))
                    QCOMPARE(QString::fromUtf8(f.readAll()), BlockText(all[i]->eeprom()));
            }
        if (args[0] == QLatin1String("send"))
            for (sim::SensorSim *s : all)
                QCOMPARE(s->ram(), Changed({{2, 321}}));
    }

    void watchOverSeveralPortsKeepsEachInOrderAndNoDeadOneSlowsTheOthers()
    {
        // Three sensors replay numbered measurements, so each port's lines can be checked for order and gaps;
        // COM 4 stops answering measurements after it has started; COM 5 never opens.
        std::vector<std::unique_ptr<sim::SensorSim>> more;
        for (int com = 2; com <= 4; ++com) {
            more.push_back(std::make_unique<sim::SensorSim>(sim::Options{.com = com}));
            QVERIFY(more.back()->start());
        }
        const std::vector<sim::SensorSim *> live{sensor.get(), more[0].get(), more[1].get()};
        constexpr int kRecorded = 2000;
        for (size_t i = 0; i < live.size(); ++i) {
            sim::Recording rec;
            for (int n = 0; n < kRecorded; ++n) {
                rec.measurements.push_back({uint16_t(n), uint16_t(i + 1), 0, 0, 0, 0, 0});
                rec.seconds.push_back(0);
            }
            live[i]->setReplay(rec, sim::ReplayEnd::Stop);
            live[i]->setPacing(19200);
        }
        more[2]->setFault(sim::Fault::NoReply, sim::Measure);
        QFile::link(QStringLiteral("/nonexistent/tty"), QString::fromStdString(portdir::LinkPath(5)));
        const QString csv = dir.filePath(QStringLiteral("line.csv"));
        QFile::remove(csv);

        constexpr double kSeconds = 3.0;
        const Outcome r =
            Run({"watch", "--com", "1-5", "--seconds", QString::number(kSeconds), "--timeout", "0.5", "--csv", csv});
        QFile::remove(QString::fromStdString(portdir::LinkPath(5)));
        QCOMPARE(r.exit, 3);
        QFile f(csv);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts);
        const auto column = std::find(lines.begin(), lines.end(), QStringLiteral("time,port,R,G,B,X,Y,INT,COL"));
        QVERIFY(column != lines.end());
        const QStringList header(lines.begin(), column);
        for (int com = 1; com <= 4; ++com)
            QVERIFY2(header.filter(QRegularExpression(QStringLiteral("^# port: COM %1 \\(/dev/").arg(com))).size() == 1,
                     qPrintable(header.join(u'\n')));
        QVERIFY(header
                    .filter(QRegularExpression(
                        QStringLiteral("^# COM 5 \\(.*/com5\\): cannot open: .*; tried again once per "
                                       "time-out$")))
                    .size() == 1);

        QMap<int, QList<int>> seen; // port -> the numbered measurements, in file order
        int silent = 0, closed = 0;
        for (auto l = column + 1; l != lines.end(); ++l) {
            if (l->contains(QLatin1String(" COM 4: no valid reply within 0.5 s (got 0 of 14 bytes)")))
                ++silent;
            else if (l->contains(QLatin1String(" COM 5: cannot open: ")))
                ++closed;
            if (l->startsWith(u'#'))
                continue;
            const QStringList f = l->split(u',');
            QCOMPARE(f.size(), 9);
            QVERIFY(f[1].startsWith(QLatin1String("COM ")));
            const int port = f[1].mid(4).toInt();
            QCOMPARE(f[3].toInt(), port); // the recording of that port, not another's
            seen[port] << f[2].toInt();
        }
        QCOMPARE(seen.keys(), (QList<int>{1, 2, 3}));
        for (int port : seen.keys()) {
            const QList<int> &n = seen[port];
            for (int i = 0; i < n.size(); ++i)
                QCOMPARE(n[i], i); // every one, in order, none twice
            // A line at 19200 baud carries 28 a second; one waiting on the silent ports would get a few.
            QVERIFY2(n.size() >= 10 * kSeconds, qPrintable(QStringLiteral("COM %1: %2").arg(port).arg(n.size())));
        }
        // One report per time-out for each dead port.
        const int most = int(kSeconds / 0.5) + 1;
        QVERIFY2(silent >= 2 && silent <= most, qPrintable(QString::number(silent)));
        QVERIFY2(closed >= 2 && closed <= most, qPrintable(QString::number(closed)));
        QVERIFY2(r.err.contains(QStringLiteral("summary: 3 of 5 sensors measured without a miss; not: COM 4 (exit 3, "
                                               "time-out), COM 5 (exit 2, port cannot be opened)")),
                 qPrintable(r.err));
    }

    void aHangUpCostsNoCpuAndWatchGoesOnWhenTheSensorIsBack()
    {
        const QString csv = dir.filePath(QStringLiteral("hangup.csv"));
        QFile::remove(csv);
        sensor->hangUpAfter(4); // identification, RAM read, two measurements
        QProcess p;
        p.start(kCli, {"watch", "--timeout", "0.5", "--seconds", "9", "--csv", csv});
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(sensor->hungUp(), 5000);
        QTest::qWait(500);
        const UsageOver used = UsageDuring(p.processId(), 2500);
        const Usage &before = used.before, &after = used.after;
        const double wall = used.wall;
        if (before.cpu < 0 || after.rssKb < 0)
            QSKIP("no /proc to measure the process with");
        qInfo("hung up: %.2f s CPU in %.2f s, resident %ld -> %ld kB", after.cpu - before.cpu, wall, before.rssKb,
              after.rssKb);
        QVERIFY2((after.cpu - before.cpu) / wall < testsupport::CpuShareBound(0.10), qPrintable(QString::number(after.cpu - before.cpu)));
        QVERIFY2(after.rssKb - before.rssKb < 1024, qPrintable(QString::number(after.rssKb - before.rssKb)));

        QVERIFY(sensor->reopen());
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 3);
        QFile f(csv);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts);
        const auto reopened = std::find_if(lines.begin(), lines.end(),
                                           [](const QString &l) { return l.endsWith(QLatin1String(" opened again")); });
        QVERIFY(reopened != lines.end());
        // One try per time-out while the line was gone (3 s of it at most, 0.5 s each), then measurements again.
        const auto missing = std::count_if(
            lines.begin(), reopened, [](const QString &l) { return l.contains(QLatin1String("no valid reply")); });
        QVERIFY2(missing >= 1 && missing <= 9, qPrintable(QString::number(missing)));
        const auto goodAfter = std::count_if(reopened, lines.end(), [](const QString &l) { return l[0].isDigit(); });
        QVERIFY2(goodAfter >= 3, qPrintable(QString::number(goodAfter)));
    }

    void aReopenedPortIsAskedWhoIsThereAndStaysWhereTheRunBegan_data()
    {
        QTest::addColumn<bool>("another"); // another sensor comes back on the number, else the same after its link went
        QTest::newRow("another sensor on the same COM number") << true;
        QTest::newRow("the sensor back after its link was gone") << false;
    }

    void aReopenedPortIsAskedWhoIsThereAndStaysWhereTheRunBegan()
    {
        QFETCH(bool, another);
        const sim::Measurement first{100, 200, 300, 1000, 1500, 600, 1}, second{400, 500, 600, 2000, 1000, 500, 2};
        const QString csv = dir.filePath(QStringLiteral("reopen.csv"));
        QFile::remove(csv);
        sensor->setFixedMeasurement(first);
        if (another)
            sensor->hangUpAfter(6); // two identifications, two RAM reads, two measurements
        QProcess p;
        p.start(kCli, {"watch", "--timeout", "0.5", "--seconds", "6", "--csv", csv});
        QVERIFY(p.waitForStarted());
        if (another) {
            QTRY_VERIFY_WITH_TIMEOUT(sensor->hungUp(), 5000);
        } else {
            QVERIFY(sensor->waitForFrames(6, 5.0));
            sensor->stop(); // the link goes with it; COM 1 may now find a port of the system
        }
        QTest::qWait(1500); // three tries at least
        sim::SensorSim back(sim::Options{.com = 1, .ident = another ? "SECOND SENSOR" : sim::Options{}.ident});
        back.setFixedMeasurement(another ? second : first);
        if (another)
            back.setRam(Changed({{2, 555}}));
        QVERIFY(back.start());
        QVERIFY(p.waitForFinished(15000));
        QCOMPARE(p.exitCode(), 3); // measurements were missed meanwhile
        const QString err = QString::fromUtf8(p.readAllStandardError());

        QFile f(csv);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts);
        const auto reopened = std::find_if(lines.begin(), lines.end(), [&](const QString &l) {
            return l.endsWith(QStringLiteral("COM 1 (%1) opened again").arg(QString::fromStdString(back.devicePath())));
        });
        QVERIFY2(reopened != lines.end(), qPrintable(lines.join(u'\n')));
        const auto data = [](const sim::Measurement &m) {
            QString values;
            for (uint16_t w : m)
                values += QStringLiteral(",%1").arg(w);
            return values;
        };
        // Every line before is the first sensor's, every line after the one that answers then.
        for (auto l = lines.begin(); l != lines.end(); ++l)
            if (l->at(0).isDigit())
                QVERIFY2(l->endsWith(data(l < reopened || !another ? first : second)), qPrintable(*l));
        QVERIFY(std::count_if(reopened, lines.end(), [](const QString &l) { return l[0].isDigit(); }) >= 3);
        if (another) {
            const QString change = QStringLiteral("another sensor answers (SECOND SENSOR, was QUILLEX CS-EMB COLOUR "
                                                  "SENSOR SIMULATOR FW 1.0)");
            QVERIFY(reopened + 4 < lines.end());
            QCOMPARE(reopened[1].section(u' ', 2), QStringLiteral("COM 1 (%1): %2 since it was opened again:")
                                                       .arg(QString::fromStdString(back.devicePath()), change));
            QCOMPARE(reopened[3], QLatin1String("# ident: SECOND SENSOR"));
            QVERIFY(reopened[4].startsWith(QLatin1String("# RAM: 4000 100 555 ")));
            QVERIFY2(err.contains(change + QLatin1String(" since the port was opened again")), qPrintable(err));
        } else {
            // While the link was gone, nothing else was opened under its number.
            const QString gone = QStringLiteral("no valid reply: cannot open again: its link %1 is gone (no other "
                                                "device is opened in its place)")
                                     .arg(QString::fromStdString(portdir::LinkPath(1)));
            QVERIFY2(std::count_if(lines.begin(), reopened, [&](const QString &l) { return l.endsWith(gone); }) >= 2,
                     qPrintable(lines.join(u'\n')));
        }
    }

    void watchForSecondsEndsOnTimeEvenWithASilentSensor_data()
    {
        QTest::addColumn<int>("order"); // the order left unanswered, 0 = all
        QTest::addColumn<double>("seconds");
        QTest::newRow("silent from the start") << 0 << 0.5;
        QTest::newRow("silent after the start") << int(sim::Measure) << 1.0;
    }

    void watchForSecondsEndsOnTimeEvenWithASilentSensor()
    {
        QFETCH(int, order);
        QFETCH(double, seconds);
        sensor->setFault(sim::Fault::NoReply, order);
        QProcess p;
        QElapsedTimer t;
        t.start();
        p.start(kCli, {"watch", "--timeout", "3", "--seconds", QString::number(seconds), "--csv",
                       dir.filePath(QStringLiteral("silent.csv"))});
        QVERIFY(p.waitForStarted());
        // The time counts from the start of polling; a sensor silent from the start is given its start-up too.
        if (order != 0) {
            QTRY_VERIFY_WITH_TIMEOUT(Orders(*sensor).contains(sim::Measure), 5000);
            t.restart();
        }
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 3);
        // Well before the 3-s time-out of the request under way, which a watch that waits it out would take.
        QVERIFY2(t.elapsed() < (seconds + 1.5) * 1000, qPrintable(QString::number(t.elapsed())));
    }

    void aWatchStoppedBeforeItsFirstMeasurementFails()
    {
        sensor->setLatency(1.5);
        QProcess p;
        p.start(kCli, {"watch", "--csv", dir.filePath(QStringLiteral("stopped.csv"))});
        QVERIFY(p.waitForStarted());
        QVERIFY(sensor->waitForFrames(1, 5.0));
        p.terminate();
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 3);
        QVERIFY(QString::fromUtf8(p.readAllStandardError())
                    .contains(QLatin1String("stopped before the first measurement")));
    }

    void aFullDiskKeepsTheOldFileAndEveryCsvLineWhole()
    {
        QTemporaryDir disk;
        const QString old = disk.filePath(QStringLiteral("old.dat"));
        const QByteArray oldBytes = BlockText(Changed({{0, 1234}})).toUtf8();
        QFile o(old);
        QVERIFY(o.open(QIODevice::WriteOnly) && o.write(oldBytes) == oldBytes.size());
        o.close();
        QCOMPARE(oldBytes.size(), 150);
        sensor->setLatency(2.0);
        Outcome r = RunOnFullDisk({"get", "ram", old, "--timeout", "5"}, *sensor, 64);
        QCOMPARE(r.exit, 5);
        QVERIFY2(r.err.contains(QStringLiteral("Parameters not saved to %1: It cannot be written: File too large. Any "
                                               "file of that name is left as it was.")
                                    .arg(old)),
                 qPrintable(r.err));
        QFile again(old);
        QVERIFY(again.open(QIODevice::ReadOnly));
        QCOMPARE(again.readAll(), oldBytes);
        QCOMPARE(FilesIn(disk.path()), QStringList{QStringLiteral("old.dat")});

        const QString csv = disk.filePath(QStringLiteral("full.csv"));
        sensor->clearFrames();
        sensor->setLatency(2.0);
        r = RunOnFullDisk({"watch", "--count", "500", "--csv", csv, "--timeout", "5"}, *sensor, 4000);
        QCOMPARE(r.exit, 5);
        QVERIFY2(
            r.err.contains(
                QStringLiteral("cannot write %1: File too large; the file ends with the last whole line").arg(csv)),
            qPrintable(r.err));
        bool parse = false;
        int headers = 0;
        const int lines = MeasurementLines(csv, &parse, &headers);
        QVERIFY(parse);
        QVERIFY2(lines > 10 && lines < 500, qPrintable(QString::number(lines)));
        QVERIFY(QFileInfo(csv).size() <= 4000);
        // With room again, the next run appends whole lines to whole lines.
        QCOMPARE(Run({"watch", "--count", "5", "--csv", csv}).exit, 0);
        QCOMPARE(MeasurementLines(csv, &parse, &headers), lines + 5);
        QVERIFY(parse);
        QCOMPARE(headers, 1);
    }

    void outputThatCannotBeWrittenExitsFive_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("says");
        const QString noSpace = QStringLiteral("cannot write standard output: No space left on device");
        QTest::newRow("help") << QStringList{"help"} << noSpace;
        QTest::newRow("ports") << QStringList{"ports"} << noSpace;
        QTest::newRow("ident") << QStringList{"ident"} << noSpace;
        QTest::newRow("get") << QStringList{"get", "ram", "-"}
                             << QStringLiteral(
                                    "Parameters not saved to standard output: It cannot be written: No space "
                                    "left on device.");
        QTest::newRow("send") << QStringList{"send", "ram", "@", "--no-verify"} << noSpace;
        QTest::newRow("watch") << QStringList{"watch", "--count", "2"} << noSpace;
    }

    void outputThatCannotBeWrittenExitsFive()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, says);
        args.replaceInStrings(QStringLiteral("@"), WriteFile(dir, QStringLiteral("out.dat"), BlockText(Changed({}))));
        Child full;
        full.output = QStringLiteral("/dev/full");
        const Outcome r = Run(args, full);
        QCOMPARE(r.exit, 5);
        QVERIFY2(r.err.contains(says), qPrintable(r.err));
    }

    void aStandardStreamClosedAtStartLendsItsNumberToNothing_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("closed"); // the descriptor the program starts without
        QTest::addColumn<int>("exit");   // -1: it keeps running, and what holds the number is looked at
        QTest::addColumn<QString>("says");
        const QString cli = QStringLiteral("quillex-scope-cli");
        QTest::newRow("send ram - <&-") << cli << QStringList{"send", "ram", "-"} << 0 << 5
                                        << "Parameters not loaded from standard input: There is no input: standard "
                                           "input is closed. Nothing was sent.";
        QTest::newRow("get ram >&-") << cli << QStringList{"get", "ram"} << 1 << 5
                                     << "Parameters not saved to standard output: It cannot be written: standard "
                                        "output is closed.";
        QTest::newRow("ident >&-") << cli << QStringList{"ident"} << 1 << 5
                                   << "cannot write standard output: it is closed";
        QTest::newRow("the simulator >&-")
            << "quillex-sensor-sim" << QStringList{"--com", "8", "--log-orders"} << 1 << -1 << "";
        QTest::newRow("the panel <&-") << "QuillexEMBV10" << QStringList{} << 0 << -1 << "";
    }

    void aStandardStreamClosedAtStartLendsItsNumberToNothing()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        QFETCH(int, closed);
        QFETCH(int, exit);
        QFETCH(QString, says);
        QProcess p;
        p.setChildProcessModifier([closed] { ::close(closed); });
        p.start(QStringLiteral(SCOPE_BIN_DIR "/") + program, args);
        QVERIFY(p.waitForStarted());
        if (exit >= 0) {
            const bool ended = p.waitForFinished(5000); // an input nobody can write to is not waited for
            if (!ended)
                p.kill();
            QVERIFY(ended);
            QCOMPARE(p.exitCode(), exit);
            const QString err = QString::fromUtf8(p.readAllStandardError());
            QVERIFY2(err.contains(says), qPrintable(err));
            return;
        }
        // Running: the simulator has made its link, the panel has asked the sensor who it is.
        const std::string link = portdir::LinkPath(8);
        QTRY_VERIFY_WITH_TIMEOUT(program == QLatin1String("QuillexEMBV10") ? sensor->framesSeen() > 0
                                                                           : std::filesystem::exists(link),
                                 10000);
        const QString held = QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/%2").arg(p.processId()).arg(closed));
        p.terminate();
        if (!p.waitForFinished(5000))
            p.kill();
        QCOMPARE(held, QStringLiteral("/dev/null"));
    }

    void comNumbersRunFromOneToNinetyNine_data()
    {
        QTest::addColumn<int>("com");
        QTest::addColumn<int>("exit");
        QTest::newRow("the first") << 1 << 0;
        QTest::newRow("the last") << 99 << 0;
        QTest::newRow("one below the first") << 0 << 1;
        QTest::newRow("one past the last") << 100 << 1;
    }

    void comNumbersRunFromOneToNinetyNine()
    {
        QFETCH(int, com);
        QFETCH(int, exit);
        sim::SensorSim last(sim::Options{.com = 99});
        QVERIFY(last.start());
        const Outcome r = Run({"ident", "--com", QString::number(com)});
        QCOMPARE(r.exit, exit);
        if (exit == 0)
            QCOMPARE(r.out, QStringLiteral("QUILLEX CS-EMB COLOUR SENSOR SIMULATOR FW 1.0\n"));
        else
            QVERIFY2(r.err.contains(QLatin1String("--com needs a whole number from 1 to 99")), qPrintable(r.err));
        QCOMPARE(int((com == 99 ? last : *sensor).framesSeen()), exit == 0 ? 2 : 0); // read twice
    }

    void aPortHeldByAnotherProgramIsInUseForPortsAndIdent()
    {
        // This process holds COM 1 as the panel would.
        QCOMPARE(OpenComConfig(1, "", 19200, kParityNone, 8, 1, 1024, 1024), 0);
        const Outcome ports = Run({"ports"});
        const Outcome ident = Run({"ident"});
        CloseCom(1);
        QCOMPARE(ports.exit, 0);
        // Told without opening: by the lock file the serial services leave (this process is also the line's other
        // end, which keeps the slave open and so is no user of it).
        const QString line =
            QStringLiteral("COM 1\t%1\tlink %2\tin use by tst_cli (pid %3, lock file ")
                .arg(QString::fromStdString(sensor->devicePath()), QString::fromStdString(sensor->linkPath()))
                .arg(QCoreApplication::applicationPid());
        QVERIFY2(ports.out.startsWith(line), qPrintable(ports.out));
        QCOMPARE(ident.exit, 2);
        QVERIFY2(ident.err.endsWith(QLatin1String("cannot open: in use by another program\n")), qPrintable(ident.err));
        // Free again, it lists without a reason.
        const Outcome free = Run({"ports"});
        QVERIFY2(!free.out.contains(QLatin1String("cannot be opened")), qPrintable(free.out));
    }

    void portsTellsWhoHoldsALineWithoutOpeningIt()
    {
        // Another program holds the line, as a terminal program would; it takes no lock.
        const QString device = QString::fromStdString(sensor->devicePath());
        QProcess holder;
        holder.setStandardInputFile(device);
        holder.start(QStringLiteral("sleep"), {QStringLiteral("60")});
        QVERIFY(holder.waitForStarted());
        // Every device ports could look at is watched for opens: without one no line setting can change either.
        const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        QVERIFY(watch >= 0);
        std::vector<std::string> devices{sensor->devicePath()};
        for (const ComPortInfo &p : SystemComPorts())
            devices.push_back(p.device);
        for (const std::string &d : devices)
            QVERIFY2(::inotify_add_watch(watch, d.c_str(), IN_OPEN) >= 0, d.c_str());
        const auto opens = [watch] {
            alignas(inotify_event) char events[4096];
            int n = 0;
            for (ssize_t got; (got = ::read(watch, events, sizeof events)) > 0;)
                for (char *e = events; e < events + got;
                     e += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(e)->len)
                    ++n;
            return n;
        };

        const qint64 holderPid = holder.processId();
        const Outcome listed = Run({"ports"});
        const int openedToList = opens();
        const Outcome probed = Run({"ports", "--probe"});
        const int openedToProbe = opens();
        ::close(watch);
        holder.kill();
        holder.waitForFinished();
        QCOMPARE(listed.exit, 0);
        QVERIFY2(listed.out.contains(QStringLiteral("COM 1\t%1\tlink %2\tin use by sleep (pid %3)\n")
                                         .arg(device, QString::fromStdString(sensor->linkPath()))
                                         .arg(holderPid)),
                 qPrintable(listed.out));
        QCOMPARE(openedToList, 0);
        // The same watch sees the probe open the line, so the quiet above is no blind spot.
        QCOMPARE(probed.exit, 0);
        QVERIFY(openedToProbe > 0);
    }

    void aPathThatIsNoRegularFileIsRefusedAndLeftAsItWas_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("says");
        for (const char *kind : {"FIFO", "device node", "folder", "socket"}) {
            const QString article = QStringLiteral("a ") + QLatin1String(kind);
            QTest::addRow("get into %s", kind) << QString::fromLatin1(kind) << QStringList{"get", "ram", "%p"}
                                               << "Parameters not saved to %p: it is " + article +
                                                      ", not a regular "
                                                      "file; nothing was replaced (- writes to standard output).";
            QTest::addRow("watch into %s", kind) << QString::fromLatin1(kind) << QStringList{"watch", "--csv", "%p"}
                                                 << "cannot write %p: it is " + article + ", not a regular file";
        }
    }

    void aPathThatIsNoRegularFileIsRefusedAndLeftAsItWas()
    {
        QFETCH(QString, kind);
        QFETCH(QStringList, args);
        QFETCH(QString, says);
        QTemporaryDir place;
        const QString path = place.filePath(QStringLiteral("node"));
        const QByteArray p = path.toLocal8Bit();
        int sock = -1;
        if (kind == QLatin1String("FIFO")) {
            QVERIFY(::mkfifo(p.constData(), 0666) == 0);
        } else if (kind == QLatin1String("device node")) {
            // A twin of /dev/null in a scratch folder: replacing it would harm nothing, so the test is safe.
            if (::mknod(p.constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
                QSKIP("making a device node needs root");
        } else if (kind == QLatin1String("folder")) {
            QVERIFY(QDir(place.path()).mkdir(QStringLiteral("node")));
        } else {
            sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::snprintf(a.sun_path, sizeof a.sun_path, "%s", p.constData());
            QVERIFY(::bind(sock, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0);
        }
        struct stat before {};
        QVERIFY(::lstat(p.constData(), &before) == 0);
        args.replaceInStrings(QStringLiteral("%p"), path);
        says.replace(QLatin1String("%p"), path);

        const Outcome r = Run(args);
        if (sock >= 0)
            ::close(sock);
        QCOMPARE(r.exit, 5);
        QVERIFY2(r.err.contains(says), qPrintable(r.err));
        struct stat after {};
        QVERIFY(::lstat(p.constData(), &after) == 0);
        QCOMPARE(after.st_mode, before.st_mode);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(FilesIn(place.path()), QStringList{QStringLiteral("node")});
        QVERIFY(sensor->frames().empty()); // refused before the sensor was asked anything
    }

    void parameterFilesAreReadFromStreamsToTheirEnd_data()
    {
        QTest::addColumn<QString>("source"); // "-", "/dev/stdin", or "fifo"
        QTest::addColumn<bool>("writer");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QString>("says");
        QTest::newRow("standard input") << "-" << true << 0 << "sent standard input to RAM on COM 1";
        QTest::newRow("/dev/stdin") << "/dev/stdin" << true << 0 << "sent /dev/stdin to RAM on COM 1";
        QTest::newRow("a FIFO with a writer") << "fifo" << true << 0 << "sent %f to RAM on COM 1";
        QTest::newRow("a FIFO nobody writes to") << "fifo" << false << 5
                                                 << "Parameters not loaded from %f: It is a FIFO that nothing was "
                                                    "written to within 2.0 s. Nothing was sent.";
    }

    void parameterFilesAreReadFromStreamsToTheirEnd()
    {
        QFETCH(QString, source);
        QFETCH(bool, writer);
        QFETCH(int, exit);
        QFETCH(QString, says);
        const sim::Block block = Changed({{2, 700}, {9, 40009}, {17, 99}});
        const QByteArray text = BlockText(block).toUtf8();
        QTemporaryDir place;
        const QString fifo = place.filePath(QStringLiteral("in.dat"));
        Child how;
        std::thread feeder;
        if (source == QLatin1String("fifo")) {
            QVERIFY(::mkfifo(fifo.toLocal8Bit().constData(), 0666) == 0);
            source = fifo;
            if (writer)
                feeder = std::thread([fifo, text] {
                    // Waits for the reader without blocking for ever: a reader that never comes fails the test.
                    for (int tries = 0; tries < 500; ++tries) {
                        const int fd = ::open(fifo.toLocal8Bit().constData(), O_WRONLY | O_NONBLOCK);
                        if (fd >= 0) {
                            ::fcntl(fd, F_SETFL, 0);
                            // Two pieces with a pause between: the reader must wait for the end.
                            ::write(fd, text.constData(), 60);
                            QThread::msleep(300);
                            ::write(fd, text.constData() + 60, size_t(text.size() - 60));
                            ::close(fd);
                            return;
                        }
                        QThread::msleep(20);
                    }
                });
        } else {
            how.input = text;
        }
        says.replace(QLatin1String("%f"), fifo);
        const Outcome r = Run({"send", "ram", source}, how);
        if (feeder.joinable())
            feeder.join();
        QCOMPARE(r.exit, exit);
        QVERIFY2((exit == 0 ? r.out : r.err).contains(says), qPrintable(r.out + r.err));
        QCOMPARE(sensor->ram(), exit == 0 ? block : sim::DefaultBlock());
        if (!writer)
            QVERIFY2(r.ms >= 1900 && r.ms < 6000, qPrintable(QString::number(r.ms)));
    }

    void aKilledWatchLeavesOnlyWholeLinesAndLosesUnderASecond()
    {
        sensor->setPacing(19200);
        const QString csv = dir.filePath(QStringLiteral("killed.csv"));
        QFile::remove(csv);
        QProcess p;
        p.start(kCli, {"watch", "--csv", csv});
        QVERIFY(p.waitForStarted());
        // Some two seconds of measurements at this speed, however long a loaded machine takes for them.
        QTRY_VERIFY_WITH_TIMEOUT(sensor->repliesSent() >= 60, 30000);
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

    void thePanelCountsRepliesOutOfRangeAndRecordsNoneAsAMeasurement()
    {
        const QString csv = dir.filePath(QStringLiteral("range.csv"));
        QFile::remove(csv);
        sensor->setFault(sim::Fault::Ones, sim::Measure);
        PopupRecorder rec;
        ResetScopeState();
        QByteArray a0("QuillexEMBV10"), a1("--record"), a2 = csv.toLocal8Bit();
        char *argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
        RunTimeArgs args{3, argv};
        QString message;
        int shownX = -1;
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, [&] {
            if (st.goodPasses < 5)
                return;
            message = Message();
            shownX = Val(DispX);
            PanelWidget(st.panel)->close();
        });
        QCOMPARE(RunProgram(
                     [&](QWidget *) {
                         look.start(50);
                         QTest::mouseClick(W(ButtonGo), Qt::LeftButton);
                     },
                     &args),
                 0);
        QVERIFY2(message.contains(QRegularExpression(QStringLiteral(" \u00b7 \\d+ repl(y|ies) out of range$"))),
                 qPrintable(message));
        QCOMPARE(shownX, 65535); // the displays show what came, as they always have
        bool parse = false;
        int headers = 0;
        QCOMPARE(MeasurementLines(csv, &parse, &headers), 0);
        QFile f(csv);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(f.readAll()).count(QLatin1String("reply out of range (X 65535, Y 65535, INT 65535")),
                 int(st.goodPasses));
    }

    void thePanelsRecordingGrowsLineByLineWhilePolling()
    {
        const QString csv = dir.filePath(QStringLiteral("live.csv"));
        QFile::remove(csv);
        PopupRecorder rec;
        ResetScopeState();
        QByteArray a0("QuillexEMBV10"), a1("--record"), a2 = csv.toLocal8Bit();
        char *argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
        RunTimeArgs args{3, argv};
        QList<int> inFile, passes;
        bool whole = true;
        QTimer reader;
        QObject::connect(&reader, &QTimer::timeout, [&] {
            QFile f(csv);
            f.open(QIODevice::ReadOnly);
            const QByteArray all = f.readAll();
            whole = whole && (all.isEmpty() || all.endsWith('\n'));
            bool parse = false;
            int headers = 0;
            inFile << MeasurementLines(csv, &parse, &headers);
            passes << int(st.goodPasses);
            if (inFile.size() == 6)
                PanelWidget(st.panel)->close();
        });
        QCOMPARE(RunProgram(
                     [&](QWidget *w) {
                         (void)w;
                         reader.start(100);
                         QTest::mouseClick(W(ButtonGo), Qt::LeftButton);
                     },
                     &args),
                 0);
        QVERIFY(whole);
        QCOMPARE(inFile.size(), 6);
        // Read while polling goes on, the file already holds every pass made so far.
        for (int i = 0; i < inFile.size(); ++i)
            QVERIFY2(inFile[i] >= passes[i],
                     qPrintable(QStringLiteral("%1 lines after %2 passes").arg(inFile[i]).arg(passes[i])));
        QVERIFY(inFile.last() > inFile.first());
    }

    void aRecordingThatFailsIsToldOnceAndPollingGoesOn()
    {
        const QString csv = dir.filePath(QStringLiteral("cut.csv"));
        QFile::remove(csv);
        PopupRecorder rec;
        ResetScopeState();
        QByteArray a0("QuillexEMBV10"), a1("--record"), a2 = csv.toLocal8Bit();
        char *argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
        RunTimeArgs args{3, argv};
        constexpr rlim_t kRoom = 1500; // the header and some twenty lines
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        const auto restore = [&saved] {
            ::setrlimit(RLIMIT_FSIZE, &saved);
            ::signal(SIGXFSZ, SIG_DFL);
        };
        QString message;
        // Closes the window once polling has gone on for twenty passes after the recording stopped.
        constexpr unsigned long kPassesAfter = 20;
        unsigned long stoppedAt = 0;
        QTimer watcher;
        QElapsedTimer running;
        QObject::connect(&watcher, &QTimer::timeout, [&] {
            if (!st.record && stoppedAt == 0)
                stoppedAt = st.goodPasses;
            // A recording that never stops must not hold the suite: 20 s is far more than the disk takes to fill.
            if ((stoppedAt > 0 && st.goodPasses >= stoppedAt + kPassesAfter) || running.elapsed() > 20000)
                PanelWidget(st.panel)->close();
        });
        QCOMPARE(RunProgram(
                     [&](QWidget *) {
                         // The disk fills up once the port is open (its lock file is written then).
                         ::signal(SIGXFSZ, SIG_IGN);
                         const rlimit full{kRoom, saved.rlim_max};
                         ::setrlimit(RLIMIT_FSIZE, &full);
                         running.start();
                         watcher.start(20);
                         QTest::mouseClick(W(ButtonGo), Qt::LeftButton);
                         restore();
                         message = qobject_cast<QLabel *>(W(MessageLine))->text();
                     },
                     &args),
                 0);
        restore();
        bool parse = false;
        int headers = 0;
        const int lines = MeasurementLines(csv, &parse, &headers);
        QVERIFY(parse);
        QCOMPARE(headers, 1);
        QVERIFY2(lines >= 5 && QFileInfo(csv).size() <= qint64(kRoom), qPrintable(QString::number(lines)));
        QVERIFY2(stoppedAt > 0 && st.goodPasses >= stoppedAt + kPassesAfter,
                 qPrintable(QStringLiteral("%1 passes, recording stopped at %2").arg(st.goodPasses).arg(stoppedAt)));
        QVERIFY2(message.startsWith(QStringLiteral("Recording stopped: %1: File too large").arg(csv)),
                 qPrintable(message));
        QVERIFY(rec.popups.empty());
        QVERIFY(!st.record);
        // The next recording appends whole lines to whole lines.
        QCOMPARE(Run({"watch", "--count", "3", "--csv", csv}).exit, 0);
        QCOMPARE(MeasurementLines(csv, &parse, &headers), lines + 3);
        QVERIFY(parse);
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

    void aRecordingThatCannotBeOpenedStopsTheStart_data()
    {
        QTest::addColumn<QString>("path"); // %1: a folder of the test's own
        QTest::newRow("missing folder") << "/nonexistent/x.csv";
        QTest::newRow("a folder") << "%1";
    }

    void aRecordingThatCannotBeOpenedStopsTheStart()
    {
        QFETCH(QString, path);
        path.replace(QLatin1String("%1"), dir.path());
        PopupRecorder rec;
        QByteArray a0("QuillexEMBV10"), a1("--record"), a2 = path.toLocal8Bit();
        char *argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
        RunTimeArgs args{3, argv};
        QCOMPARE(WinMain(&args, nullptr, nullptr, 0), kExitRecordFile);
        QVERIFY(sensor->frames().empty());
        // Said where a user started from a menu sees it, not on standard error alone.
        QCOMPARE(rec.popups.size(), size_t(1));
        QCOMPARE(rec.popups[0].title, std::string("INFO"));
        QVERIFY2(QString::fromStdString(rec.popups[0].text).startsWith(QStringLiteral("Cannot record to ") + path),
                 rec.popups[0].text.c_str());
    }

    void anOptionWithoutItsValueIsAUsageError_data()
    {
        QTest::addColumn<QByteArray>("option");
        QTest::newRow("--record") << QByteArray("--record");
        QTest::newRow("--device") << QByteArray("--device");
    }

    void anOptionWithoutItsValueIsAUsageError()
    {
        QFETCH(QByteArray, option);
        QByteArray a0("QuillexEMBV10");
        char *argv[] = {a0.data(), option.data(), nullptr};
        RunTimeArgs args{2, argv};
        QCOMPARE(WinMain(&args, nullptr, nullptr, 0), kExitUsage);
        QVERIFY(sensor->frames().empty());
    }
};

QTEST_MAIN(TstCli)
#include "tst_cli.moc"
