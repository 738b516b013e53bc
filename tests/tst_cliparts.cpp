// SPDX-License-Identifier: MIT
// The command line's parts without a sensor: its option table, and how it words the platform's port diagnosis.
#include "testsupport.h"

#include "cli/cliargs.h"
#include "cli/diagnose.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <filesystem>
#include <grp.h>
#include <pty.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

// The parts of Options an option can change, in one line a row can spell out.
QString Describe(const cli::ParseResult &r)
{
    if (!r.ok)
        return QStringLiteral("error: ") + QString::fromStdString(r.error);
    const cli::Options &o = r.options;
    QString ports;
    for (const cli::PortSpec &p : o.ports)
        ports += (ports.isEmpty() ? "" : ",") + QString::fromStdString(cli::PortName(p));
    return QStringLiteral("%1 timeout=%2 verify=%3 seconds=%4 count=%5 csv=%6 ports=%7")
        .arg(o.command == cli::Command::Version ? QStringLiteral("version")
                                                : QString::fromStdString(cli::CommandName(o.command)))
        .arg(o.timeout)
        .arg(o.verify ? "true" : "false")
        .arg(o.seconds)
        .arg(o.count)
        .arg(QString::fromStdString(o.csv), ports);
}

} // namespace

class TstCliParts : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { PrivatePortDir(); }

    void optionsComeFromOneTable_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("parsed");
        // An option given to a subcommand that does not take it.
        QTest::newRow("--no-verify on get")
            << QStringList{"get", "ram", "x.dat", "--no-verify"} << "error: --no-verify belongs to send only";
        QTest::newRow("--count on ident")
            << QStringList{"ident", "--count", "2"} << "error: --seconds, --count and --csv belong to watch only";
        QTest::newRow("--probe on ident") << QStringList{"ident", "--probe"} << "error: --probe belongs to ports only";
        QTest::newRow("--csv on ports") << QStringList{"ports", "--csv", "f.csv"}
                                        << "error: --seconds, --count and --csv belong to watch only";
        QTest::newRow("--seconds on send before its operands")
            << QStringList{"send", "--seconds", "1", "ram", "x.dat"}
            << "error: --seconds, --count and --csv belong to watch only";
        QTest::newRow("the first misplaced option in table order")
            << QStringList{"get", "ram", "--csv", "f", "--no-verify"} << "error: --no-verify belongs to send only";
        QTest::newRow("a misplaced option with --help asks for help")
            << QStringList{"get", "--csv", "f", "--help"}
            << "help timeout=2 verify=true seconds=0 count=0 csv=f ports=COM 1";
        QTest::newRow("options before the subcommand")
            << QStringList{"--no-verify", "--com", "4", "send", "ram", "x.dat"}
            << "send timeout=2 verify=false seconds=0 count=0 csv= ports=COM 4";
        // A value missing at the end of the line.
        QTest::newRow("--timeout last") << QStringList{"ident", "--timeout"} << "error: option --timeout needs a value";
        QTest::newRow("--csv last") << QStringList{"watch", "--csv"} << "error: option --csv needs a value";
        QTest::newRow("--com last") << QStringList{"--com"} << "error: option --com needs a value";
        QTest::newRow("a value that looks like an option is taken")
            << QStringList{"ident", "--device", "--com"}
            << "ident timeout=2 verify=true seconds=0 count=0 csv= ports=--com";
        // Repeated options: values replace, lists grow, flags stay set.
        QTest::newRow("--timeout twice") << QStringList{"ident", "--timeout", "1", "--timeout", "3"}
                                         << "ident timeout=3 verify=true seconds=0 count=0 csv= ports=COM 1";
        QTest::newRow("--csv and --count twice")
            << QStringList{"watch", "--csv", "a", "--count", "4", "--csv", "b", "--count", "5"}
            << "watch timeout=2 verify=true seconds=0 count=5 csv=b ports=COM 1";
        QTest::newRow("--no-verify twice") << QStringList{"send", "ram", "x", "--no-verify", "--no-verify"}
                                           << "send timeout=2 verify=false seconds=0 count=0 csv= ports=COM 1";
        QTest::newRow("--com twice") << QStringList{"ident", "--com", "5", "--com", "2-3"}
                                     << "ident timeout=2 verify=true seconds=0 count=0 csv= ports=COM 5,COM 2,COM 3";
        // --opt=value.
        QTest::newRow("every value after =")
            << QStringList{"watch", "--timeout=0.5", "--count=2", "--seconds=1.5", "--csv=w.csv", "--com=7"}
            << "watch timeout=0.5 verify=true seconds=1.5 count=2 csv=w.csv ports=COM 7";
        QTest::newRow("an empty value after =")
            << QStringList{"ident", "--timeout="} << "error: --timeout needs seconds above 0 and up to 3600, not ''";
        QTest::newRow("a flag with a value")
            << QStringList{"send", "ram", "x", "--no-verify=yes"} << "error: option --no-verify takes no value";
        QTest::newRow("--version with a value")
            << QStringList{"--version=2"} << "error: option --version takes no value";
        QTest::newRow("a short option never takes =") << QStringList{"get", "-h=1"} << "error: unknown option '-h=1'";
        QTest::newRow("an unknown option with a value")
            << QStringList{"ident", "--colour=red"} << "error: unknown option '--colour'";
        QTest::newRow("--version wins over what follows")
            << QStringList{"ident", "--version", "--bogus"}
            << "version timeout=2 verify=true seconds=0 count=0 csv= ports=COM 1";
        QTest::newRow("a bad value before --version is still an error")
            << QStringList{"ident", "--count", "0", "--version"}
            << "error: --count needs a whole number of 1 or more, not '0'";
    }

    void optionsComeFromOneTable()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, parsed);
        std::vector<std::string> v;
        for (const QString &a : args)
            v.push_back(a.toStdString());
        const cli::ParseResult r = cli::ParseArgs(v);
        QCOMPARE(Describe(r), parsed);
    }

    void aRefusedPortIsExplainedInWords_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("says"); // %t: the temporary folder
        QTest::newRow("nothing there") << "missing"
                                       << "no such device";
        QTest::newRow("a dangling link") << "dangling"
                                         << "it is a link to %t/gone, which does not exist";
        QTest::newRow("a link to itself") << "self"
                                          << "it is a link that leads back to itself (to %t/dev)";
        QTest::newRow("a ring of two links") << "ring"
                                             << "it is a link that leads back to itself (to %t/other)";
        QTest::newRow("a looping link on the way") << "through"
                                                   << "it is a link that leads back to itself";
        QTest::newRow("a folder") << "folder"
                                  << "it is a folder, not a device";
        QTest::newRow("a plain file") << "file"
                                      << "not a terminal, so not a serial port";
        QTest::newRow("a terminal") << "pty"
                                    << "";
        QTest::newRow("no rights for anyone") << "refused"
                                              << "no permission (owner uid %u, group %g)";
        QTest::newRow("rights for a group this process is not in")
            << "group"
            << "no permission: it belongs to group %g, which you are not in (sudo adduser $USER %g, then "
               "log in again)";
        QTest::newRow("a group this process is in that may only read")
            << "readonly-member"
            << "no permission: its group %g, which you are in, may only read it, not write to "
               "it (owner uid %u)";
        QTest::newRow("a group this process is not in that may only read")
            << "readonly-other"
            << "no permission: its group %g may only read it, not write to it (owner uid %u)";
    }

    void aRefusedPortIsExplainedInWords()
    {
        QFETCH(QString, kind);
        QFETCH(QString, says);
        QTemporaryDir dir;
        const std::string t = dir.path().toStdString();
        std::string path = t + "/dev";
        int master = -1;
        if (kind == "dangling") {
            std::filesystem::create_symlink(t + "/gone", path);
        } else if (kind == "self") {
            std::filesystem::create_symlink(path, path);
        } else if (kind == "ring") {
            std::filesystem::create_symlink(t + "/other", path);
            std::filesystem::create_symlink(path, t + "/other");
        } else if (kind == "through") {
            std::filesystem::create_symlink(path, path);
            path += "/ttyS0";
        } else if (kind == "folder") {
            std::filesystem::create_directory(path);
        } else if (kind == "file" || kind == "refused" || kind == "group" || kind.startsWith("readonly")) {
            QFile(QString::fromStdString(path)).open(QIODevice::WriteOnly);
        } else if (kind == "pty") {
            char name[256];
            int slave = -1;
            QVERIFY(::openpty(&master, &slave, name, nullptr, nullptr) == 0);
            ::close(slave);
            path = name;
        }
        struct stat info {};
        if (kind == "refused") {
            QVERIFY(::chmod(path.c_str(), 0) == 0);
        } else if (kind == "group" || kind.startsWith("readonly")) {
            // A group with rights on the device: only root can hand a file to another group, or to another owner.
            if (::geteuid() != 0)
                QSKIP("needs root to give the device to another owner and group");
            // Another owner too, or the owner's own rights would let root in.
            QVERIFY(::chown(path.c_str(), 1, kind == "readonly-member" ? ::getegid() : GroupNotMine()) == 0);
            QVERIFY(::chmod(path.c_str(), kind == "group" ? 0660 : 0640) == 0);
        }
        ::stat(path.c_str(), &info);
        const group *g = ::getgrgid(info.st_gid); // the test's own thread only
        says.replace(QLatin1String("%t"), dir.path())
            .replace(QLatin1String("%u"), QString::number(info.st_uid))
            .replace(QLatin1String("%g"),
                     g ? QString::fromUtf8(g->gr_name) : QStringLiteral("gid %1").arg(info.st_gid));
        std::string why, refused;
        {
            HeldToFilePermissions held; // as an ordinary user would meet the device, even under root
            why = cli::WhyNotOpen(path);
            refused = cli::WhyRefused(path);
        }
        if (master >= 0)
            ::close(master);
        QCOMPARE(QString::fromStdString(why), says);
        // A device that opens was refused by the serial services for another holder.
        QCOMPARE(QString::fromStdString(refused), says.isEmpty() ? QStringLiteral("in use by another program") : says);
    }

    void portsListsOnlyTheLinksThePortServicesFind()
    {
        int master = -1, slave = -1;
        char name[256];
        QVERIFY(::openpty(&master, &slave, name, nullptr, nullptr) == 0);
        ::close(slave);
        // Every comN beside a com0N: whichever order the folder lists them in, a com0N taken for COM N shows.
        constexpr int kPairs = 9;
        std::filesystem::create_directories(portdir::Directory());
        for (int n = 1; n <= kPairs; ++n) {
            const std::string padded = portdir::Directory() + "/com0" + std::to_string(n);
            std::filesystem::remove(padded);
            std::filesystem::remove(portdir::LinkPath(n));
            std::filesystem::create_symlink(name, portdir::LinkPath(n));
            std::filesystem::create_symlink("/nonexistent/tty", padded);
        }
        QProcess p;
        p.start(QStringLiteral(SCOPE_BIN_DIR "/quillex-scope-cli"), {"ports"});
        QVERIFY(p.waitForFinished(20000));
        for (int n = 1; n <= kPairs; ++n) {
            std::filesystem::remove(portdir::Directory() + "/com0" + std::to_string(n));
            std::filesystem::remove(portdir::LinkPath(n));
        }
        ::close(master);
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        QCOMPARE(p.exitCode(), 0);
        // com05 is not COM 5's link (com5 is): listing it so would name a link ident --com 5 never opens.
        QVERIFY2(!out.contains(QLatin1String("/com0")), qPrintable(out));
        for (int n = 1; n <= kPairs; ++n)
            QVERIFY2(out.contains(QStringLiteral("COM %1\t%2\tlink %3\n")
                                      .arg(n)
                                      .arg(QString::fromLocal8Bit(name), QString::fromStdString(portdir::LinkPath(n)))),
                     qPrintable(out));
    }
};

QTEST_MAIN(TstCliParts)
#include "tst_cliparts.moc"
