// SPDX-License-Identifier: MIT
// A line of sensors named once in a line file: the file's rules, and every subcommand run over it as a process
// against simulated sensors.
#include "testsupport.h"

#include "cli/alarms.h"
#include "cli/cliargs.h"
#include "cli/lineservices.h"
#include "cli/linefile.h"
#include "cli/plantnet.h"
#include "core/csvrecord.h"
#include "io/rotatelog.h"
#include "io/utility.h"
#include "sensor_sim.h"

#include <QDir>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace testsupport;

namespace {

const QString kCli = QStringLiteral(SCOPE_BIN_DIR "/quillex-scope-cli");

struct Outcome {
    int exit = -1;
    QString out, err;
};

Outcome Run(const QStringList &args)
{
    QProcess p;
    p.start(kCli, args);
    p.waitForFinished(30000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

QString WriteFile(const QTemporaryDir &dir, const QString &name, const QString &text)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(text.toUtf8());
    return path;
}

// The CSV lines of `path` that name `port`, in file order (the rest of the line after the port).
QStringList LinesOf(const QString &path, const QString &port)
{
    QFile f(path);
    QStringList out;
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QString &l : QString::fromUtf8(f.readAll()).split(u'\n'))
        if (!l.startsWith(u'#') && l.section(u',', 1, 1) == port)
            out << l.section(u',', 2);
    return out;
}

// A watch running in the background as a line's service would, stopped with SIGTERM at the end.
struct Background {
    QProcess p;
    explicit Background(const QStringList &args) { p.start(kCli, args); }
    int stop()
    {
        p.terminate();
        p.waitForFinished(15000);
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    ~Background()
    {
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished(3000);
        }
    }
};

// A recording whose measurements count up in R and carry `tag` in G, so order and origin show in every line.
sim::Recording Numbered(int count, uint16_t tag)
{
    sim::Recording r;
    for (int n = 0; n < count; ++n) {
        r.measurements.push_back({uint16_t(n), tag, 0, 0, 0, 0, 0});
        r.seconds.push_back(0);
    }
    return r;
}

QString Sensor(const QString &name, const QString &port, const QString &ident = {})
{
    return QStringLiteral("[[sensor]]\nname = \"%1\"\nport = \"%2\"\n").arg(name, port) +
           (ident.isEmpty() ? QString() : QStringLiteral("ident = \"%1\"\n").arg(ident)) + QLatin1Char('\n');
}

constexpr const char *kSimIdent = "QUILLEX CS-EMB COLOUR SENSOR SIMULATOR FW 1.0";

QByteArray ReadAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// What a rotated log left in its folder: each file's lines, in the order its numbered lines were written.
struct Rotated {
    QStringList names;
    QList<QStringList> files;
};

Rotated FilesOfLog(const QString &folder)
{
    // Rotated files are named after when they were begun, a taken name with _2, _3, …; the file in use is last.
    static const QRegularExpression stamped(QStringLiteral("^rot-(.*?)(?:_(\\d+))?\\.csv$"));
    QMap<std::pair<QString, int>, QString> ordered;
    for (const QString &name : QDir(folder).entryList({QStringLiteral("rot*.csv")}, QDir::Files)) {
        const QRegularExpressionMatch m = stamped.match(name);
        ordered.insert(m.hasMatch() ? std::pair{m.captured(1), m.captured(2).isEmpty() ? 1 : m.captured(2).toInt()}
                                    : std::pair{QStringLiteral("~"), 0},
                       name);
    }
    Rotated r;
    for (const QString &name : ordered) {
        r.names << name;
        r.files << QString::fromUtf8(ReadAll(folder + "/" + name)).split(u'\n');
    }
    return r;
}

} // namespace

class TstLine : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void initTestCase() { PrivatePortDir(); }

    void aLineFileNamesEachSensorOrSaysWhichLineIsWrong_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("parsed"); // the sensors as name=com/device=ident, or the error's start
        QTest::newRow("COM ports, a device and addresses")
            << Sensor("inlet", "com1", "QUILLEX FW 1.0  ") + Sensor("mid", "COM12") + Sensor("dev", "/dev/ttyUSB0") +
                   Sensor("outlet", "rfc2217://[fd00::21]:4001") + Sensor("raw", "tcp://cabinet4:4002")
            << "inlet=1/=QUILLEX FW 1.0;mid=12/=;dev=102//dev/ttyUSB0=;outlet=103/rfc2217://[fd00::21]:4001=;"
               "raw=104/tcp://cabinet4:4002=";
        QTest::newRow("comments, blank lines and any key order")
            << "# line 4\n\n[[sensor]]  # first\nport = \"com3\" # cabinet\nname = \"a\"\n"
            << "a=3/=";
        QTest::newRow("not TOML") << Sensor("a", "com1") + "[[sensor]]\nname = \"b\nport = \"com2\"\n"
                                  << "error: l.toml:6: Error while parsing string";
        QTest::newRow("an unknown key") << Sensor("a", "com1") + "[[sensor]]\nname = \"b\"\nidnet = \"x\"\n"
                                        << "error: l.toml:7: unknown key 'idnet' (a sensor has name, port and ident)";
        QTest::newRow("an unknown table") << Sensor("a", "com1") + "[sensors]\n"
                                          << "error: l.toml:5: unknown key 'sensors' (a line file lists [[sensor]] "
                                             "tables)";
        QTest::newRow("one table, not a list") << "[sensor]\nname = \"a\"\nport = \"com1\"\n"
                                               << "error: l.toml:1: sensor must be a list of tables: write "
                                                  "[[sensor]], not [sensor]";
        QTest::newRow("no port") << Sensor("a", "com1") + "[[sensor]]\nname = \"b\"\n"
                                 << "error: l.toml:5: this sensor has no port (a sensor has name, port and ident)";
        QTest::newRow("no name") << "[[sensor]]\nport = \"com1\"\n"
                                 << "error: l.toml:1: this sensor has no name (a sensor has name, port and ident)";
        QTest::newRow("a number for a name") << "[[sensor]]\nport = \"com1\"\nname = 4\n"
                                             << "error: l.toml:3: name must be a string in quotes";
        QTest::newRow("COM 0") << Sensor("a", "com0")
                               << "error: l.toml:3: port 'com0' is none of comN (1-99), a device path (/dev/…), "
                                  "rfc2217://HOST:PORT or tcp://HOST:PORT";
        QTest::newRow("COM 100") << Sensor("a", "com100") << "error: l.toml:3: port 'com100' is none of comN";
        QTest::newRow("a relative path") << Sensor("a", "ttyUSB0") << "error: l.toml:3: port 'ttyUSB0' is none of";
        QTest::newRow("an address without a port")
            << Sensor("a", "com1") + Sensor("b", "rfc2217://cabinet4") << "error: l.toml:7: port rfc2217://cabinet4: ";
        QTest::newRow("a name twice") << Sensor("a", "com1") + Sensor("a", "com2")
                                      << "error: l.toml:6: name a is already sensor 'a''s";
        QTest::newRow("a port twice") << Sensor("a", "com1") + Sensor("b", "COM1")
                                      << "error: l.toml:7: port COM 1 is already sensor 'a''s";
        QTest::newRow("a topic's separator in a name")
            << Sensor("line/4", "com1")
            << "error: l.toml:2: name 'line/4' holds '/' (names go into CSV columns and "
               "network topics: no , \" / + #)";
        QTest::newRow("a comma in a name") << Sensor("a,b", "com1") << "error: l.toml:2: name 'a,b' holds ','";
        QTest::newRow("a blank at the end of a name")
            << Sensor("a ", "com1") << "error: l.toml:2: name 'a ' starts or ends with a blank";
        QTest::newRow("an empty name") << Sensor("", "com1") << "error: l.toml:2: name is empty";
        QTest::newRow("an identification longer than any sensor's")
            << Sensor("a", "com1", QString(49, u'x'))
            << "error: l.toml:4: ident is longer than the 48 characters a sensor answers with";
        QTest::newRow("no sensor") << "# nothing yet\n"
                                   << "error: l.toml: no sensor listed (each is a [[sensor]] table with name and port)";
    }

    void aLineFileNamesEachSensorOrSaysWhichLineIsWrong()
    {
        QFETCH(QString, text);
        QFETCH(QString, parsed);
        std::vector<cli::PortSpec> ports;
        std::string why;
        const std::string bytes = text.toStdString();
        QString got;
        if (cli::ParseLineFile(bytes, "l.toml", &ports, &why)) {
            for (const cli::PortSpec &p : ports)
                got += QStringLiteral("%1%2=%3/%4=%5")
                           .arg(got.isEmpty() ? "" : ";", QString::fromStdString(p.name))
                           .arg(p.com)
                           .arg(QString::fromStdString(p.device), QString::fromStdString(p.ident));
            QCOMPARE(got, parsed);
        } else {
            got = QStringLiteral("error: ") + QString::fromStdString(why);
            QVERIFY2(got.startsWith(parsed), qPrintable(got));
        }
    }

    void aBadLineFileStopsEverySubcommandWithItsLineNumber_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("ident") << QStringList{"ident"};
        QTest::newRow("get") << QStringList{"get", "ram", "b-%p.dat"};
        QTest::newRow("send") << QStringList{"send", "ram", "in.dat"};
        QTest::newRow("watch") << QStringList{"watch", "--count", "1"};
    }

    void aBadLineFileStopsEverySubcommandWithItsLineNumber()
    {
        QFETCH(QStringList, args);
        sim::SensorSim sensor;
        QVERIFY(sensor.start());
        const QString line =
            WriteFile(dir, QStringLiteral("bad.toml"), Sensor("a", "com1") + "[[sensor]]\nname=\"b\"\n");
        const Outcome r = Run(args << "--line" << line);
        QCOMPARE(r.exit, 1);
        QCOMPARE(r.err, QStringLiteral("quillex-scope-cli: %1:5: this sensor has no port (a sensor has name, port and "
                                       "ident)\n")
                            .arg(line));
        QVERIFY(sensor.frames().empty()); // not a byte to any sensor
        const Outcome missing = Run(args.mid(0, args.size() - 1) << dir.filePath(QStringLiteral("none.toml")));
        QCOMPARE(missing.exit, 1);
        QVERIFY2(missing.err.contains(QLatin1String("none.toml: it cannot be opened: ")), qPrintable(missing.err));
    }

    void theLineFilesNamesAreUsedAndAWrongSensorIsRefused_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exit");
        QTest::addColumn<QStringList>("says"); // lines of standard output; %1, %2 the sensors' devices
        const QString wrong = QStringLiteral("exit 3: another sensor answers: it identifies as \"%1\", the line file "
                                             "names \"QUILLEX OTHER\"; nothing done")
                                  .arg(kSimIdent);
        QTest::newRow("ident") << QStringList{"ident"} << 3
                               << QStringList{QStringLiteral("inlet (%1)\t%2\tidentified").arg("%1", kSimIdent),
                                              QStringLiteral("outlet (%2)\t%1\t").arg(kSimIdent) + wrong,
                                              "summary: 1 of 2 sensors identified; failed: outlet (exit 3, time-out)"};
        QTest::newRow("get")
            << QStringList{"get", "eeprom", "%d/b-%p.dat"} << 3
            << QStringList{QStringLiteral("inlet (%1)\t%2\tEEPROM saved to %d/b-inlet.dat").arg("%1", kSimIdent),
                           QStringLiteral("outlet (%2)\t%1\t").arg(kSimIdent) + wrong,
                           "summary: 1 of 2 sensors read; failed: outlet (exit 3, time-out)"};
        QTest::newRow("send") << QStringList{"send", "ram", "%d/in.dat"} << 3
                              << QStringList{
                                     QStringLiteral("inlet (%1)\t%2\tverified 25 words in RAM").arg("%1", kSimIdent),
                                     QStringLiteral("outlet (%2)\t%1\t").arg(kSimIdent) + wrong,
                                     "summary: 1 of 2 sensors verified; failed: outlet (exit 3, time-out)"};
        QTest::newRow("one sensor alone is named too")
            << QStringList{"ident", "--only-first"} << 0
            << QStringList{QStringLiteral("inlet (%1)\t%2\tidentified").arg("%1", kSimIdent),
                           "summary: 1 of 1 sensors identified"};
    }

    void theLineFilesNamesAreUsedAndAWrongSensorIsRefused()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exit);
        QFETCH(QStringList, says);
        QTemporaryDir out;
        sim::SensorSim inlet(sim::Options{.com = 3});
        sim::SensorSim outlet(sim::Options{.com = 0});
        QVERIFY(inlet.start());
        QVERIFY(outlet.start());
        const bool onlyFirst = args.removeAll(QStringLiteral("--only-first")) > 0;
        QString text = Sensor("inlet", "com3", kSimIdent);
        if (!onlyFirst)
            text += Sensor("outlet", QString::fromStdString(outlet.devicePath()), "QUILLEX OTHER");
        WriteFile(out, QStringLiteral("in.dat"), QString());
        sim::Block sent = sim::DefaultBlock();
        sent[2] = 321;
        QString block;
        for (uint16_t w : sent)
            block += QStringLiteral("%1\n").arg(w, 5);
        WriteFile(out, QStringLiteral("in.dat"), block);
        args.replaceInStrings(QStringLiteral("%d"), out.path());
        const Outcome r = Run(args << "--line" << WriteFile(out, QStringLiteral("line.toml"), text));
        QCOMPARE(r.exit, exit);
        QStringList want;
        for (QString l : says)
            want << l.replace(QLatin1String("%1"), QString::fromStdString(inlet.devicePath()))
                        .replace(QLatin1String("%2"), QString::fromStdString(outlet.devicePath()))
                        .replace(QLatin1String("%d"), out.path());
        QCOMPARE(r.out.split(u'\n', Qt::SkipEmptyParts), want);
        // The wrong sensor was asked who it is, and nothing more.
        QCOMPARE(outlet.frames().empty(), onlyFirst);
        for (const auto &f : outlet.frames())
            QCOMPARE(f[2] << 8 | f[3], int(sim::Identify));
        QCOMPARE(outlet.ram(), sim::DefaultBlock());
        if (args[0] == QLatin1String("send"))
            QCOMPARE(inlet.ram(), sent);
        if (args[0] == QLatin1String("get"))
            QVERIFY(!QFile::exists(out.filePath(QStringLiteral("b-outlet.dat"))));
    }

    void rotationAtASizeKeepsEveryLineWholeOnceAndUnderItsHeader()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("rot.csv"));
        constexpr int64_t kLimit = 1000;
        int headers = 0;
        const auto header = [&headers] {
            return QStringLiteral("# header %1\ntime,port\n").arg(++headers).toStdString();
        };
        RotatingLog log;
        bool isNew = false;
        std::string why;
        QVERIFY(log.Open(path.toStdString(), Rotation{Rotation::Kind::Size, kLimit}, header, &isNew, &why));
        QVERIFY(isNew);
        log.Append(header());
        // Lines of many lengths, and now and then two in one append, which must stay together.
        constexpr int kLines = 400;
        for (int n = 0; n < kLines; ++n) {
            std::string text = "line " + std::to_string(n) + "," + std::string(size_t(n % 37), 'x') + "\n";
            if (n % 10 == 8)
                text += "line " + std::to_string(++n) + ",pair\n";
            log.Append(text);
        }
        log.Close();
        QVERIFY(log.Error().empty());
        const Rotated r = FilesOfLog(folder.path());
        QVERIFY2(r.files.size() >= 10, qPrintable(r.names.join(u' ')));
        QCOMPARE(int(log.TakeRotated().size()), int(r.files.size()) - 1);
        int next = 0;
        for (int f = 0; f < r.files.size(); ++f) {
            const QStringList &lines = r.files[f];
            const QString name = r.names[f];
            QVERIFY2(QFileInfo(folder.filePath(name)).size() <= kLimit, qPrintable(name));
            QVERIFY2(lines.size() > 3 && lines[0].startsWith(QLatin1String("# header ")) &&
                         lines[1] == QLatin1String("time,port"),
                     qPrintable(name));
            QVERIFY2(lines.last().isEmpty(), qPrintable(name)); // ends with a whole line
            for (const QString &l : lines.mid(2, lines.size() - 3)) {
                QVERIFY2(l.startsWith(QStringLiteral("line %1,").arg(next)), qPrintable(name + ": " + l));
                ++next;
            }
            // The file in use keeps its name; the others are named after when they were begun.
            if (f + 1 < r.files.size())
                QVERIFY2(QRegularExpression(QStringLiteral("^rot-\\d{4}-\\d\\d-\\d\\dT\\d{6}(_\\d+)?\\.csv$"))
                             .match(name)
                             .hasMatch(),
                         qPrintable(name));
            else
                QCOMPARE(name, QStringLiteral("rot.csv"));
        }
        QCOMPARE(next, kLines);
        QCOMPARE(headers, int(r.files.size()));
    }

    void dailyRotationMovesAtMidnightAndAnOldFileAtStart()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("rot.csv"));
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("# header 0\ntime,port\nline 0,old\n");
        old.close();
        const QString today = QDate::currentDate().toString(Qt::ISODate);
        // Two days on, a second before local midnight.
        auto now = QDateTime(QDate::currentDate().addDays(2), QTime(23, 59, 59)).toSecsSinceEpoch();
        const auto clock = [&now] { return std::chrono::system_clock::time_point(std::chrono::seconds(now)); };
        RotatingLog log;
        bool isNew = false;
        std::string why;
        QVERIFY(log.Open(
            path.toStdString(), Rotation{Rotation::Kind::Daily, 0}, [] { return std::string("# h\n"); }, &isNew, &why,
            clock));
        QVERIFY(isNew); // the file from an earlier day went away first
        QCOMPARE(log.TakeRotated(), std::vector<std::string>{folder.filePath("rot-" + today + ".csv").toStdString()});
        log.Append("# h\n");
        log.Append("line 1\n");
        now += 2;
        log.Append("line 2\n");
        log.Close();
        const QString day = QDate::currentDate().addDays(2).toString(Qt::ISODate);
        QCOMPARE(ReadAll(folder.filePath("rot-" + today + ".csv")), QByteArray("# header 0\ntime,port\nline 0,old\n"));
        QCOMPARE(ReadAll(folder.filePath("rot-" + day + ".csv")), QByteArray("# h\nline 1\n"));
        QCOMPARE(ReadAll(path), QByteArray("# h\nline 2\n"));
    }

    void aRotationTheFolderRefusesKeepsTheLinesInTheirFile()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("rot.csv"));
        RotatingLog log;
        bool isNew = false;
        std::string why;
        QVERIFY(log.Open(
            path.toStdString(), Rotation{Rotation::Kind::Size, 40}, [] { return std::string("# h\n"); }, &isNew, &why));
        log.Append("# h\n");
        {
            HeldToFilePermissions held;
            QVERIFY(::chmod(folder.path().toLocal8Bit().constData(), 0555) == 0);
            for (int n = 0; n < 10; ++n)
                log.Append("line " + std::to_string(n) + ",0123456789\n");
            log.Close();
            ::chmod(folder.path().toLocal8Bit().constData(), 0755);
        }
        QVERIFY(log.Error().empty());
        const QString problem = QString::fromStdString(log.TakeProblem());
        QVERIFY2(problem.startsWith(QStringLiteral("cannot rename %1 to %2/rot-").arg(path, folder.path())) &&
                     problem.endsWith(QStringLiteral("; %1 goes on growing").arg(path)),
                 qPrintable(problem));
        QCOMPARE(ReadAll(path).count('\n'), 11);
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files), QStringList{QStringLiteral("rot.csv")});
    }

    void rotationSizesAreReadAsWritten_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qlonglong>("bytes"); // -1: daily; 0: refused
        QTest::newRow("daily") << "daily" << -1LL;
        QTest::newRow("bytes") << "4096" << 4096LL;
        QTest::newRow("kibibytes") << "64k" << 65536LL;
        QTest::newRow("mebibytes") << "10M" << 10485760LL;
        QTest::newRow("gibibytes") << "2G" << 2147483648LL;
        QTest::newRow("zero") << "0" << 0LL;
        QTest::newRow("a unit alone") << "M" << 0LL;
        QTest::newRow("two units") << "1MB" << 0LL;
        QTest::newRow("negative") << "-5k" << 0LL;
        QTest::newRow("too large") << "9000000000G" << 0LL;
        QTest::newRow("hourly") << "hourly" << 0LL;
    }

    void rotationSizesAreReadAsWritten()
    {
        QFETCH(QString, text);
        QFETCH(qlonglong, bytes);
        Rotation r;
        std::string why;
        const bool ok = ParseRotation(text.toStdString(), &r, &why);
        QCOMPARE(ok, bytes != 0);
        if (!ok)
            QCOMPARE(
                QString::fromStdString(why),
                QStringLiteral("'%1' is neither daily nor a size such as 10M (bytes, or with k, M or G)").arg(text));
        else
            QCOMPARE(r.kind == Rotation::Kind::Daily ? -1LL : qlonglong(r.bytes), bytes);
    }

    void aSensorIsSilentAfterATimeOutWithoutAGoodPassAndToldOncePerChange_data()
    {
        // Looks at a sensor with a time-out of 2 s from a start at 0: "now:lastGood" each (lastGood -1: none yet).
        QTest::addColumn<QString>("looks");
        QTest::addColumn<QString>("changes"); // what each look found: - none, o online, s silent, b back
        QTest::addColumn<QString>("since");   // when the last state began
        QTest::newRow("heard at once, then every pass") << "0.1:0.05 0.5:0.4 1.0:0.9 5.0:4.9"
                                                        << "o---"
                                                        << "0.05";
        QTest::newRow("a gap shorter than the time-out") << "0.1:0.1 1.9:0.1 2.05:2.0"
                                                         << "o--"
                                                         << "0.1";
        QTest::newRow("silent once, however long") << "0.1:0.1 2.2:0.1 4.0:0.1 9.0:0.1"
                                                   << "os--"
                                                   << "0.1";
        QTest::newRow("silent and back, twice") << "0.1:0.1 2.2:0.1 3.0:2.9 3.5:3.4 6.0:3.4 6.1:6.05"
                                                << "osb-sb"
                                                << "6.05";
        QTest::newRow("never heard: silent since the start") << "1.0:-1 2.0:-1 30:-1"
                                                             << "-s-"
                                                             << "0";
        QTest::newRow("missing at the start, then found") << "2.5:-1 7.0:6.9 7.2:7.1"
                                                          << "sb-"
                                                          << "6.9";
    }

    void aSensorIsSilentAfterATimeOutWithoutAGoodPassAndToldOncePerChange()
    {
        QFETCH(QString, looks);
        QFETCH(QString, changes);
        QFETCH(QString, since);
        cli::Liveness l(2.0, 0.0);
        QString found;
        for (const QString &look : looks.split(u' ')) {
            switch (l.Look(look.section(u':', 0, 0).toDouble(), look.section(u':', 1, 1).toDouble())) {
            case cli::Liveness::Change::None: found += u'-'; break;
            case cli::Liveness::Change::Online: found += u'o'; break;
            case cli::Liveness::Change::Silent: found += u's'; break;
            case cli::Liveness::Change::Back: found += u'b'; break;
            }
        }
        QCOMPARE(found, changes);
        QCOMPARE(l.since(), since.toDouble());
    }

    void alarmCommandsRunWithTheSensorInTheirEnvironment()
    {
        QTemporaryDir folder;
        const QString told = folder.filePath(QStringLiteral("told"));
        const QString record =
            QStringLiteral("echo \"$QUILLEX_STATE|$QUILLEX_SENSOR|$QUILLEX_PORT|$QUILLEX_SINCE\" >> ") + told;
        cli::Alarms alarms({record.toStdString(), record.toStdString() + "; exit 3"});
        qputenv("QUILLEX_SENSOR", "not the sensor"); // the program's own variable of that name gives way
        alarms.Tell(cli::Liveness::Change::Online, "inlet", "COM 3", "t0"); // no command for the first good pass
        alarms.Tell(cli::Liveness::Change::Silent, "inlet", "COM 3", "2025-03-04T14:02:17.311+01:00");
        QTRY_VERIFY_WITH_TIMEOUT((alarms.Collect(), !alarms.running()), 10000);
        alarms.Tell(cli::Liveness::Change::Back, "out let", "rfc2217://127.0.0.1:4001", "t2");
        std::vector<std::string> notes;
        const auto ended = [&] {
            for (std::string &n : alarms.Collect())
                notes.push_back(std::move(n));
            return !alarms.running();
        };
        QTRY_VERIFY_WITH_TIMEOUT(ended(), 10000);
        qunsetenv("QUILLEX_SENSOR");
        QCOMPARE(alarms.started(), 2);
        QCOMPARE(QString::fromUtf8(ReadAll(told)), QStringLiteral("silent|inlet|COM 3|2025-03-04T14:02:17.311+01:00\n"
                                                                  "online|out let|rfc2217://127.0.0.1:4001|t2\n"));
        QCOMPARE(notes, std::vector<std::string>{"--on-back for out let: the command ended with exit code 3"});
    }

    void eachSensorHasTopicsOfItsOwnAndItsMeasurementsReadAsJson()
    {
        cli::PortSpec named{.com = 1, .device = {}, .name = "inlet", .ident = {}};
        cli::PortSpec com{.com = 11, .device = {}, .name = {}, .ident = {}};
        cli::PortSpec address{.com = 2, .device = "rfc2217://cabinet4:4001", .name = {}, .ident = {}};
        QCOMPARE(cli::SensorTopic("plant/line4", named, "state"), std::string("plant/line4/inlet/state"));
        QCOMPARE(cli::SensorTopic("", com, "measurement"), std::string("com11/measurement"));
        QCOMPARE(cli::SensorTopic("l", address, "measurement"), std::string("l/rfc2217_cabinet4_4001/measurement"));
        const uint16_t data[kDataWords] = {2004, 1519, 931, 1842, 1396, 1484, 65535};
        const auto when = std::chrono::system_clock::time_point(std::chrono::milliseconds(1741093337311));
        const QString json = QString::fromStdString(cli::MeasurementJson(when, data));
        QCOMPARE(json, QStringLiteral("{\"time\":\"%1\",\"R\":2004,\"G\":1519,\"B\":931,\"X\":1842,\"Y\":1396,"
                                      "\"INT\":1484,\"COL\":65535}")
                           .arg(QString::fromStdString(csvrec::Timestamp(when))));
        QVERIFY(QJsonDocument::fromJson(json.toUtf8()).isObject());
    }

    void aLineTellsEachChangeOnceAndSumsUpEachSensor()
    {
        QTemporaryDir folder;
        const QString told = folder.filePath(QStringLiteral("told"));
        cli::Options o;
        o.timeout = 1.0;
        o.onSilent = QStringLiteral("echo silent $QUILLEX_SENSOR $QUILLEX_PORT >> %1").arg(told).toStdString();
        o.onBack = QStringLiteral("echo back $QUILLEX_SENSOR >> %1").arg(told).toStdString();
        const std::vector<cli::PortSpec> ports{{.com = 3, .device = {}, .name = "steady", .ident = {}},
                                               {.com = 4, .device = {}, .name = "flaky", .ident = {}}};
        cli::LineServices line(o, ports);
        std::string why;
        QVERIFY(line.Start(Timer(), &why));
        const uint16_t data[kDataWords] = {1, 2, 3, 4, 5, 6, 0};
        QStringList notes;
        // Both measure for a while, then the flaky one falls silent for longer than the time-out, then answers.
        const auto run = [&](double seconds, bool flaky) {
            for (const double end = Timer() + seconds; Timer() < end; QTest::qWait(20)) {
                line.Measured(0, Timer(), std::chrono::system_clock::now(), data);
                if (flaky)
                    line.Measured(1, Timer(), std::chrono::system_clock::now(), data);
                else
                    line.Missed(1);
                for (const std::string &n : line.Tick(Timer()))
                    notes << QString::fromStdString(n);
            }
        };
        run(0.5, true);
        run(2.0, false);
        run(0.5, true);
        QTRY_COMPARE_WITH_TIMEOUT(ReadAll(told), QByteArray("silent flaky COM 4\nback flaky\n"), 10000);
        for (const std::string &n : line.Stop())
            notes << QString::fromStdString(n);
        QCOMPARE(notes.size(), 2);
        QVERIFY2(notes[0].startsWith(QLatin1String("flaky: silent: no good pass since ")), qPrintable(notes[0]));
        QVERIFY2(notes[1].startsWith(QLatin1String("flaky: answering again since ")), qPrintable(notes[1]));
        const std::vector<std::string> summary = line.Summary(Timer());
        QCOMPARE(summary.size(), std::size_t(2));
        QVERIFY2(QString::fromStdString(summary[1])
                     .contains(QRegularExpression(QStringLiteral(
                         "^flaky: \\d+ measurements \\(\\d+\\.\\d/s\\), \\d+ without a valid reply, last good pass "
                         "\\d{4}-"))),
                 summary[1].c_str());
        QVERIFY(!QString::fromStdString(line.Status(Timer())).contains(QLatin1String("SILENT")));
    }

    void aSensorMissingAtTheStartIsWatchedOnceItAppears()
    {
        QTemporaryDir out;
        sim::SensorSim inlet(sim::Options{.com = 3});
        QVERIFY(inlet.start());
        const QString csv = out.filePath(QStringLiteral("line.csv"));
        const QString line =
            WriteFile(out, QStringLiteral("line.toml"), Sensor("inlet", "com3") + Sensor("outlet", "com4"));
        Background watch({"watch", "--line", line, "--timeout", "0.5", "--csv", csv});
        QTRY_VERIFY_WITH_TIMEOUT(LinesOf(csv, QStringLiteral("inlet")).size() >= 10, 20000);
        // Tried once more in vain before it comes.
        QTRY_VERIFY_WITH_TIMEOUT(
            QString::fromUtf8(ReadAll(csv))
                .contains(QRegularExpression(QStringLiteral("\\n# \\d{4}-[^ ]+ outlet: cannot open: "))),
            20000);
        QVERIFY(LinesOf(csv, QStringLiteral("outlet")).isEmpty());
        sim::SensorSim outlet(sim::Options{.com = 4});
        QVERIFY(outlet.start());
        QTRY_VERIFY_WITH_TIMEOUT(LinesOf(csv, QStringLiteral("outlet")).size() >= 10, 20000);
        QCOMPARE(watch.stop(), 3); // the tries before it came count as misses
        const QString text = QString::fromUtf8(ReadAll(csv));
        const qsizetype started = text.indexOf(QStringLiteral(" outlet (%1) started\n# port: outlet (%1)\n# ident: ")
                                                   .arg(QString::fromStdString(outlet.devicePath())));
        QVERIFY2(started > 0 && started < text.indexOf(QLatin1String(",outlet,")), qPrintable(text.left(2000)));
        QVERIFY(text.contains(QLatin1String("# outlet: cannot open: ")));
        const QString err = QString::fromUtf8(watch.p.readAllStandardError());
        QVERIFY2(err.contains(QLatin1String("outlet: answering again since ")), qPrintable(err));
    }

    void aSensorAnsweringAsAnotherIsReportedAndNotLoggedUnderItsName()
    {
        QTemporaryDir out;
        sim::SensorSim inlet(sim::Options{.com = 3}), swapped(sim::Options{.com = 4});
        QVERIFY(inlet.start() && swapped.start());
        swapped.setIdent("QUILLEX CS-EMB COLOUR SENSOR OF LINE 7");
        const QString csv = out.filePath(QStringLiteral("line.csv"));
        const QString line = WriteFile(out, QStringLiteral("line.toml"),
                                       Sensor("inlet", "com3", kSimIdent) + Sensor("outlet", "com4", kSimIdent));
        const Outcome r = Run({"watch", "--line", line, "--seconds", "2", "--timeout", "0.5", "--csv", csv});
        QCOMPARE(r.exit, 3);
        QVERIFY(LinesOf(csv, QStringLiteral("inlet")).size() >= 20);
        QVERIFY(LinesOf(csv, QStringLiteral("outlet")).isEmpty());
        const QString wrong = QStringLiteral("outlet (%1): another sensor answers: it identifies as \"QUILLEX CS-EMB "
                                             "COLOUR SENSOR OF LINE 7\", the line file names \"%2\"")
                                  .arg(QString::fromStdString(swapped.devicePath()), kSimIdent);
        const QString text = QString::fromUtf8(ReadAll(csv));
        QVERIFY2(text.contains("# " + wrong + "; tried again once per time-out\n"), qPrintable(text.left(1500)));
        QVERIFY2(r.err.contains(wrong), qPrintable(r.err));
        // Asked who it is once per time-out, and never for a measurement.
        for (const auto &f : swapped.frames())
            QVERIFY((f[2] << 8 | f[3]) != sim::Measure);
    }

    void aRotatedWatchLosesNoLineAndBeginsEveryFileWithItsHeader()
    {
        QTemporaryDir out;
        sim::SensorSim a(sim::Options{.com = 3}), b(sim::Options{.com = 4});
        QVERIFY(a.start() && b.start());
        constexpr int kEach = 2000;
        a.setReplay(Numbered(kEach, 1), sim::ReplayEnd::Stop);
        b.setReplay(Numbered(kEach, 2), sim::ReplayEnd::Stop);
        a.setPacing(0);
        b.setPacing(0);
        const QString csv = out.filePath(QStringLiteral("rot.csv"));
        const QString line = WriteFile(out, QStringLiteral("line.toml"), Sensor("a", "com3") + Sensor("b", "com4"));
        constexpr int kCount = 600;
        const Outcome r =
            Run({"watch", "--line", line, "--count", QString::number(kCount), "--csv", csv, "--rotate", "4k"});
        QCOMPARE(r.exit, 0);
        const Rotated files = FilesOfLog(out.path());
        QVERIFY2(files.files.size() >= 10, qPrintable(files.names.join(u' ')));
        QMap<QString, QList<int>> seen;
        for (int f = 0; f < files.files.size(); ++f) {
            const QStringList &lines = files.files[f];
            QVERIFY2(QFileInfo(out.filePath(files.names[f])).size() <= 4096, qPrintable(files.names[f]));
            QCOMPARE(lines.value(0), QStringLiteral("# quillex-scope-cli 1.0"));
            QVERIFY2(lines.contains(QStringLiteral("time,port,R,G,B,X,Y,INT,COL")), qPrintable(files.names[f]));
            QVERIFY2(lines.filter(QRegularExpression(QStringLiteral("^# port: [ab] \\("))).size() == 2,
                     qPrintable(files.names[f]));
            QVERIFY(lines.last().isEmpty()); // the last line is whole
            for (const QString &l : lines) {
                if (l.isEmpty() || l.startsWith(u'#') || l.startsWith(QLatin1String("time,")))
                    continue;
                const QStringList f = l.split(u',');
                QCOMPARE(f.size(), 9);
                QCOMPARE(f[3].toInt(), f[1] == QLatin1String("a") ? 1 : 2); // each sensor's own measurement
                seen[f[1]] << f[2].toInt();
            }
        }
        for (const QString &port : {QStringLiteral("a"), QStringLiteral("b")}) {
            QCOMPARE(seen[port].size(), kCount);
            for (int n = 0; n < kCount; ++n)
                QCOMPARE(seen[port][n], n); // none lost, none twice, in order across the files
        }
    }

    void alarmsRunOnceEachAcrossAHangUp()
    {
        QTemporaryDir out;
        sim::SensorSim inlet(sim::Options{.com = 3});
        QVERIFY(inlet.start());
        const QString told = out.filePath(QStringLiteral("told"));
        const QString csv = out.filePath(QStringLiteral("line.csv"));
        const QString line = WriteFile(out, QStringLiteral("line.toml"), Sensor("inlet", "com3"));
        Background watch({"watch", "--line", line, "--timeout", "0.5", "--csv", csv, "--on-silent",
                          "echo silent $QUILLEX_SENSOR $QUILLEX_PORT >> " + told, "--on-back",
                          "echo back $QUILLEX_SENSOR >> " + told});
        QTRY_VERIFY_WITH_TIMEOUT(LinesOf(csv, QStringLiteral("inlet")).size() >= 10, 20000);
        QVERIFY(!QFile::exists(told));
        inlet.hangUpNow();
        QTRY_COMPARE_WITH_TIMEOUT(ReadAll(told), QByteArray("silent inlet COM 3\n"), 20000);
        const qsizetype before = LinesOf(csv, QStringLiteral("inlet")).size();
        QTest::qWait(1500); // three more time-outs of silence: still one alarm
        QVERIFY2(ReadAll(told) == QByteArray("silent inlet COM 3\n"), ReadAll(csv).right(1500).constData());
        QVERIFY(inlet.reopen());
        QTRY_COMPARE_WITH_TIMEOUT(ReadAll(told), QByteArray("silent inlet COM 3\nback inlet\n"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(LinesOf(csv, QStringLiteral("inlet")).size() >= before + 20, 20000);
        QCOMPARE(watch.stop(), 3);
        QCOMPARE(ReadAll(told), QByteArray("silent inlet COM 3\nback inlet\n"));
    }
};

QTEST_MAIN(TstLine)
#include "tst_line.moc"
