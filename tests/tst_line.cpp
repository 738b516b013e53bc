// SPDX-License-Identifier: MIT
// A line of sensors named once in a line file: the file's rules, and every subcommand run over it as a process
// against simulated sensors.
#include "testsupport.h"

#include "cli/cliargs.h"
#include "cli/linefile.h"
#include "sensor_sim.h"

#include <QProcess>
#include <QTemporaryDir>

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

QString Sensor(const QString &name, const QString &port, const QString &ident = {})
{
    return QStringLiteral("[[sensor]]\nname = \"%1\"\nport = \"%2\"\n").arg(name, port) +
           (ident.isEmpty() ? QString() : QStringLiteral("ident = \"%1\"\n").arg(ident)) + QLatin1Char('\n');
}

constexpr const char *kSimIdent = "QUILLEX CS-EMB COLOUR SENSOR SIMULATOR FW 1.0";

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
        QVERIFY(outlet.frames().size() <= 1);
        QCOMPARE(outlet.ram(), sim::DefaultBlock());
        if (args[0] == QLatin1String("send"))
            QCOMPARE(inlet.ram(), sent);
        if (args[0] == QLatin1String("get"))
            QVERIFY(!QFile::exists(out.filePath(QStringLiteral("b-outlet.dat"))));
    }
};

QTEST_MAIN(TstLine)
#include "tst_line.moc"
