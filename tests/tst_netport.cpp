// SPDX-License-Identifier: MIT
// Sensors behind a serial device server: the simulated sensor on a pseudo-terminal, a real ser2net started here
// serving it on loopback with RFC 2217 or as raw TCP, and the serial services and the panel reaching it.
#include "testsupport.h"
#include "linesupport.h"

#include "io/portdir.h"
#include "panel/port.h"
#include "io/rs232.h"
#include "io/utility.h"

#include <QDateTime>
#include <QProcess>
#include <QSpinBox>
#include <QStandardPaths>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

using namespace testsupport;
using namespace linesupport;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kPort = 7; // the COM number the network ports are opened under

const QString kCli = QStringLiteral(SCOPE_BIN_DIR "/quillex-scope-cli");

// Bytes waiting in a terminal's input queue, not yet read by whoever reads it.
int Unread(int terminal)
{
    int n = -1;
    return ::ioctl(terminal, FIONREAD, &n) == 0 ? n : -1;
}

struct CliRun {
    int exit = -1;
    QString out, err;
    qint64 ms = 0;
};

CliRun RunCli(const QStringList &args)
{
    QProcess p;
    QElapsedTimer t;
    t.start();
    p.start(kCli, args);
    p.waitForFinished(30000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError()), t.elapsed()};
}

int OpenNet(const std::string &url, int port = kPort)
{
    return OpenComConfig(port, url.c_str(), 19200, kParityNone, 8, 1, 1024, 1024);
}

// Waits for `count` bytes and reads them.
Bytes Receive(int port, int count, double seconds = 2.0)
{
    const int n = GetInQLenWait(port, count, Timer() + seconds);
    Bytes b(std::max(0, n));
    if (n > 0)
        b.resize(std::max(0, ComRd(port, b.data(), n)));
    return b;
}

Bytes Request(uint16_t order, const sim::Block &pp)
{
    return sim::RequestFrame(order, pp);
}

// Passes one connection through to a server on loopback and keeps what the client sent, so the bytes on the wire
// can be looked at.
class Relay {
public:
    explicit Relay(int serverPort) : server_(serverPort)
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(listener_, 1) == 0 &&
            ::getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~Relay()
    {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    int port() const { return port_; }
    QByteArray sent()
    {
        const std::lock_guard lock(mu_);
        return sent_;
    }

private:
    void run()
    {
        pollfd accepting{listener_, POLLIN, 0};
        while (!stop_ && ::poll(&accepting, 1, 20) == 0) {
        }
        if (stop_)
            return;
        const int client = ::accept(listener_, nullptr, nullptr), upstream = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(server_));
        if (::connect(upstream, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            pollfd both[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
            for (bool open = true; open && !stop_;) {
                if (::poll(both, 2, 20) <= 0)
                    continue;
                for (int i = 0; i < 2 && open; ++i) {
                    if (!(both[i].revents & (POLLIN | POLLHUP | POLLERR)))
                        continue;
                    char buf[4096];
                    const ssize_t n = ::read(both[i].fd, buf, sizeof buf);
                    open = n > 0 && ::write(both[1 - i].fd, buf, size_t(n)) == n;
                    if (n > 0 && i == 0) {
                        const std::lock_guard lock(mu_);
                        sent_.append(buf, n);
                    }
                }
            }
        }
        ::close(upstream);
        ::close(client);
    }

    int server_;
    int listener_ = -1;
    int port_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    QByteArray sent_;
    std::thread thread_;
};

// CPU seconds (user + system) of the children this process has waited for.
double ChildrenCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

// Data lines of a watch's CSV and their rate from the first to the last one's time stamp.
struct CsvRate {
    int lines = 0;
    double perSecond = 0;
};

CsvRate RateIn(const QString &path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    QList<QDateTime> stamps;
    for (const QByteArray &l : f.readAll().split('\n'))
        if (!l.isEmpty() && l[0] >= '0' && l[0] <= '9')
            stamps << QDateTime::fromString(QString::fromLatin1(l.left(l.indexOf(','))), Qt::ISODateWithMs);
    CsvRate r{int(stamps.size())};
    if (stamps.size() > 1)
        r.perSecond = (stamps.size() - 1) * 1000.0 / double(stamps.first().msecsTo(stamps.last()));
    return r;
}

} // namespace

class TstNetPort : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { PrivatePortDir(); }

    void cleanup()
    {
        BindComDevice(1, nullptr);
        CloseCom(kPort);
        CloseCom(1);
        std::filesystem::remove(portdir::LinkPath(1));
    }

    void framesCrossTheServerIntactBothWays_data()
    {
        QTest::addColumn<bool>("rfc2217");
        QTest::addColumn<QString>("serverLine");
        // With RFC 2217 the server starts the line at 9600 baud and 2 stop bits: only the program's request
        // brings it to 19200 8N1. As raw TCP the server's own settings are all there is.
        QTest::newRow("RFC 2217") << true << "9600n82";
        QTest::newRow("raw TCP") << false << "19200n81";
    }

    void framesCrossTheServerIntactBothWays()
    {
        QFETCH(bool, rfc2217);
        QFETCH(QString, serverLine);
        auto sensor = StartSensor();
        QVERIFY(sensor);
        Ser2Net server({{rfc2217, sensor->devicePath(), serverLine.toStdString()}});
        QVERIFY(server.start());

        QCOMPARE(OpenNet(server[0].url()), 0);
        QCOMPARE(ComDevicePath(kPort), server[0].url());
        QCOMPARE(SetCTSMode(kPort, kCtsOff), 0);
        QTRY_COMPARE(QString::fromStdString(sim::LineText(sensor->lineSettings())), QStringLiteral("19200 8N1"));

        // 0xFF is the telnet escape: words full of it must cross unchanged both ways.
        sim::Block pp{};
        for (std::size_t i = 0; i < pp.size(); ++i)
            pp[i] = uint16_t(i % 3 == 0 ? 0xFFFF : i % 3 == 1 ? 0xFF00 + i : 0x00FF);
        const Bytes store = Request(sim::StoreRam, pp);
        QCOMPARE(ComWrt(kPort, store.data(), int(store.size())), 54);
        QVERIFY(sensor->waitForFrames(1, 2.0));
        QCOMPARE(sensor->frames().back(), store);
        QCOMPARE(sensor->ram(), pp);

        const Bytes read = Request(sim::ReadRam, {});
        QCOMPARE(ComWrt(kPort, read.data(), 54), 54);
        QCOMPARE(Receive(kPort, 50), sim::EncodeWords(pp));

        const sim::Measurement m{0xFFFF, 0xFF00, 0x00FF, 0x0FFF, 0xFFFF, 0x01FF, 0xFFFF};
        sensor->setFixedMeasurement(m);
        const Bytes measure = Request(sim::Measure, pp);
        QVERIFY(FlushInQ(kPort) == 0 && FlushOutQ(kPort) == 0);
        QCOMPARE(ComWrt(kPort, measure.data(), 54), 54);
        QCOMPARE(Receive(kPort, 14), sim::EncodeWords(m));
        QCOMPARE(GetInQLenWait(kPort, 1, Timer() + 0.2), 0); // nothing doubled, nothing left over
        QCOMPARE(sensor->frames().back(), measure);
        QCOMPARE(CloseCom(kPort), 0);
        QCOMPARE(GetInQLen(kPort), int(kComErrNotOpen));
    }

    void thePanelIdentifiesANetworkedSensor_data()
    {
        QTest::addColumn<bool>("fromCommandLine");
        QTest::newRow("link com1 -> rfc2217://…") << false;
        QTest::newRow("--device rfc2217://…") << true;
    }

    void thePanelIdentifiesANetworkedSensor()
    {
        QFETCH(bool, fromCommandLine);
        auto sensor = StartSensor();
        QVERIFY(sensor);
        sensor->setIdent("LINE 4 SENSOR BEHIND SER2NET");
        Ser2Net server({{true, sensor->devicePath(), "9600n82"}});
        QVERIFY(server.start());
        const std::string url = server[0].url();
        PopupRecorder rec;
        QString status, tip;
        if (fromCommandLine) {
            QByteArray a0("QuillexEMBV10"), a1("--device"), a2(url.c_str());
            char *argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
            RunTimeArgs args{3, argv};
            ResetScopeState();
            QCOMPARE(RunProgram(
                         [&](QWidget *w) {
                             status = Status();
                             tip = W(EditConnect)->toolTip();
                             w->close();
                         },
                         &args),
                     0);
        } else {
            std::filesystem::create_directories(portdir::Directory());
            std::filesystem::create_symlink(url, portdir::LinkPath(1));
            int error = 0;
            QCOMPARE(ComDeviceFor(1, &error), url);
            QVERIFY(LoadScopePanel());
            InitRS232(st.com);
            status = Status();
            tip = W(EditConnect)->toolTip();
            DiscardScopePanel();
        }
        QCOMPARE(status.trimmed(), QStringLiteral("LINE 4 SENSOR BEHIND SER2NET"));
        QCOMPARE(tip, QStringLiteral("COM 1: ") + QString::fromStdString(url));
        QVERIFY(rec.popups.empty());
        const auto frames = sensor->frames(); // identification, then the parameters
        QVERIFY(frames.size() >= 2);
        QCOMPARE(frames[0][3], uint8_t(sim::Identify));
        QCOMPARE(frames[1][3], uint8_t(sim::ReadRam));
        // The simulator looks at its line every few milliseconds; the panel still holds the connection.
        QTRY_COMPARE(QString::fromStdString(sim::LineText(sensor->lineSettings())), QStringLiteral("19200 8N1"));
    }

    void aStoppedServerTimesOutAsleepAndAReopenServesAgain()
    {
        auto sensor = StartSensor();
        QVERIFY(sensor);
        Ser2Net server({{true, sensor->devicePath(), "9600n82"}});
        QVERIFY(server.start());
        std::filesystem::create_directories(portdir::Directory());
        std::filesystem::create_symlink(server[0].url(), portdir::LinkPath(1));
        QVERIFY(LoadScopePanel());
        auto rec = ShowAndConnect();
        QVERIFY(rec);
        QVERIFY(Status().startsWith(QStringLiteral("QUILLEX")));

        server.stop();
        // Sending to the stopped server is reported at once, as to a vanished device: TCP would still take
        // the first write, and a second would raise SIGPIPE.
        Click(ButtonSend);
        QCOMPARE(rec->popups.size(), size_t(1));
        QCOMPARE(Status(), QStringLiteral("TIMEOUT"));
        Click(ButtonSend);
        QCOMPARE(rec->popups.size(), size_t(2));

        // Polling against it: one report, and the wait for the reply sleeps.
        const double cpu0 = CpuSeconds(), t0 = Timer();
        Click(ButtonGo);
        const double wall = Timer() - t0, cpu = CpuSeconds() - cpu0;
        qInfo("GO against a stopped server: %.2f s wall, %.3f s CPU", wall, cpu);
        QCOMPARE(rec->popups.size(), size_t(3));
        QVERIFY(wall >= 2.0);
        QVERIFY2(cpu < CpuShareBound(0.1) * wall, qPrintable(QString::number(cpu)));

        // The serial services alone, several passes: each write to the dead connection fails, each wait is slept out.
        const Bytes frame = Request(sim::Measure, {});
        const double cpu1 = CpuSeconds(), t1 = Timer();
        for (int pass = 0; pass < 3; ++pass) {
            QCOMPARE(FlushInQ(st.com), 0);
            QCOMPARE(ComWrt(st.com, frame.data(), 54), int(kComErrIO));
            QVERIFY(GetInQLenWait(st.com, 14, Timer() + 0.5) < 14);
        }
        QVERIFY((CpuSeconds() - cpu1) < CpuShareBound(0.1) * (Timer() - t1));

        // Back up: committing the COM field again connects anew.
        QVERIFY(server.start());
        sensor->clearFrames();
        auto *spin = static_cast<QSpinBox *>(W(EditConnect));
        spin->setFocus();
        QTest::keyClick(spin, Qt::Key_Return);
        QVERIFY(Status().startsWith(QStringLiteral("QUILLEX")));
        QTest::qWait(250); // the guard after the parameter read
        QTimer::singleShot(600, [] { st.poll = 0; });
        Click(ButtonGo);
        QCOMPARE(rec->popups.size(), size_t(3));
        QVERIFY2(sensor->framesSeen() > 5, qPrintable(QString::number(sensor->framesSeen())));
        DiscardScopePanel();
    }

    void openingFailuresSayWhy_data()
    {
        QTest::addColumn<QString>("address"); // %1: a port nobody listens on, %2: a raw TCP server's port
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("why");
        QTest::newRow("no port") << "rfc2217://127.0.0.1" << int(kComErrBadPort) << "needs a host and a port";
        QTest::newRow("IPv6 without port") << "rfc2217://[::1]" << int(kComErrBadPort) << "needs a host and a port";
        QTest::newRow("IPv6 unclosed") << "tcp://[::1:7000" << int(kComErrBadPort) << "not a host name";
        // Not an address but a device path that does not exist; the last row's reason must not linger.
        QTest::newRow("device path after a network failure") << "ftp://127.0.0.1:21" << int(kComErrBadPort) << "";
        QTest::newRow("port 0") << "tcp://127.0.0.1:0" << int(kComErrBadPort) << "not a TCP port";
        QTest::newRow("port too large") << "tcp://127.0.0.1:70000" << int(kComErrBadPort) << "not a TCP port";
        QTest::newRow("gensio syntax in the host")
            << "tcp://127.0.0.1,9,udp:7000" << int(kComErrBadPort) << "not a host name";
        QTest::newRow("nobody listening") << "tcp://127.0.0.1:%1" << int(kComErrCannotOpen) << "refused";
        QTest::newRow("RFC 2217 to a raw TCP port") << "rfc2217://127.0.0.1:%2" << int(kComErrTimeout)
                                                    << "no RFC 2217 answer within 3 s (for a raw TCP port use tcp://)";
    }

    void openingFailuresSayWhy()
    {
        QFETCH(QString, address);
        QFETCH(int, code);
        QFETCH(QString, why);
        auto sensor = StartSensor();
        QVERIFY(sensor);
        Ser2Net server({{false, sensor->devicePath(), "19200n81"}});
        QVERIFY(server.start());
        const std::string url = QString(address)
                                    .replace(QLatin1String("%1"), QString::number(FreeTcpPort()))
                                    .replace(QLatin1String("%2"), QString::number(server[0].port))
                                    .toStdString();
        const double t0 = Timer();
        QCOMPARE(OpenNet(url), code);
        QVERIFY(Timer() - t0 < 6.0);
        const QString said = QString::fromStdString(ComOpenError(kPort));
        QVERIFY2(why.isEmpty() ? said.isEmpty() : said.contains(why), qPrintable(said));
        QCOMPARE(GetInQLen(kPort), int(kComErrNotOpen));
        QCOMPARE(ComDevicePath(kPort), std::string());
    }

    void theCommandLineReachesASensorThroughTheServer_data()
    {
        QTest::addColumn<bool>("rfc2217");
        QTest::newRow("rfc2217://") << true;
        QTest::newRow("tcp://") << false;
    }

    void theCommandLineReachesASensorThroughTheServer()
    {
        QFETCH(bool, rfc2217);
        auto sensor = StartSensor();
        QVERIFY(sensor);
        Ser2Net server({{rfc2217, sensor->devicePath(), rfc2217 ? "9600n82" : "19200n81"}});
        QVERIFY(server.start());
        const QString url = QString::fromStdString(server[0].url());
        const auto cli = [&](const QStringList &args, QByteArray *out = nullptr) {
            QProcess p;
            p.start(QStringLiteral(SCOPE_BIN_DIR "/quillex-scope-cli"), args + QStringList{"--device", url});
            p.waitForFinished(20000);
            if (out)
                *out = p.readAllStandardOutput();
            return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        };
        QByteArray out;
        std::size_t seen = 0;
        sensor->lineChangesSince(&seen);
        QCOMPARE(cli({"ident"}, &out), 0);
        QCOMPARE(out, QByteArray("QUILLEX CS-EMB COLOUR SENSOR SIMULATOR FW 1.0\n"));
        // With RFC 2217 only the program's request can have brought the server's 9600 8N2 to this (the server
        // puts back what the line had once the program has gone, so it is looked for among the changes).
        QVERIFY(Saw(*sensor, &seen, "19200 8N1"));

        // Words full of 0xFF, sent and verified by reading them back.
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("line4.dat"));
        sim::Block block = sim::DefaultBlock();
        block[6] = 0xFFFF;
        block[7] = 0xFF00;
        block[8] = 0x00FF;
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        for (uint16_t w : block)
            f.write(QByteArray::number(w) + "\n");
        f.close();
        QCOMPARE(cli({"send", "eeprom", file}), 0);
        QCOMPARE(sensor->eeprom(), block);
        QCOMPARE(cli({"get", "ram"}, &out), 0);
        QCOMPARE(out.split('\n').at(7).trimmed(), QByteArray("65280"));

        QCOMPARE(cli({"watch", "--count", "5"}, &out), 0);
        QCOMPARE(out.count('\n') - out.count("#"), 6); // the column line and five measurements
    }

    void severalSensorsBehindOneServerAreServedAtOnce_data()
    {
        QTest::addColumn<bool>("rfc2217");
        QTest::newRow("rfc2217://") << true;
        QTest::newRow("tcp://") << false;
    }

    void severalSensorsBehindOneServerAreServedAtOnce()
    {
        QFETCH(bool, rfc2217);
        auto a = StartSensor(), b = StartSensor();
        QVERIFY(a && b);
        b->setFault(sim::Fault::DropStore);
        const std::string line = rfc2217 ? "9600n82" : "19200n81";
        Ser2Net server({{rfc2217, a->devicePath(), line}, {rfc2217, b->devicePath(), line}});
        QVERIFY(server.start());
        const QString urlA = QString::fromStdString(server[0].url()), urlB = QString::fromStdString(server[1].url());
        const QStringList both{"--device", urlA, "--device", urlB};
        QTemporaryDir dir;
        sim::Block block = sim::DefaultBlock();
        block[6] = 0xFFFF; // the telnet escape, both ways
        block[7] = 0xFF00;
        const QString file = dir.filePath(QStringLiteral("line.dat"));
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        for (uint16_t w : block)
            f.write(QByteArray::number(w) + "\n");
        f.close();

        std::size_t seenA = 0, seenB = 0;
        a->lineChangesSince(&seenA);
        b->lineChangesSince(&seenB);
        const CliRun sent = RunCli(QStringList{"send", "eeprom", file} + both);
        QCOMPARE(sent.exit, 4);
        const QStringList lines = sent.out.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[0], urlA + "\tQUILLEX CS-EMB COLOUR SENSOR SIMULATOR FW 1.0\tverified 25 words in EEPROM");
        const sim::Block kept = sim::DefaultBlock(); // what the sensor that drops writes still holds
        QCOMPARE(lines[1], QStringLiteral("%1\tQUILLEX CS-EMB COLOUR SENSOR SIMULATOR FW 1.0\texit 4: EEPROM differs "
                                          "from %2 in 2 words: word 6 sent 65535, read %3; word 7 sent 65280, read %4")
                               .arg(urlB, file)
                               .arg(kept[6])
                               .arg(kept[7]));
        QCOMPARE(lines[2], "summary: 1 of 2 sensors verified; failed: " + urlB + " (exit 4, verification mismatch)");
        QCOMPARE(a->eeprom(), block);
        QVERIFY(Saw(*a, &seenA, "19200 8N1"));
        QVERIFY(Saw(*b, &seenB, "19200 8N1"));

        const CliRun got = RunCli(QStringList{"get", "eeprom", dir.filePath(QStringLiteral("b-%p.dat"))} + both);
        QCOMPARE(got.exit, 0);
        QFile back(dir.filePath(QStringLiteral("b-%1_127.0.0.1_%2.dat")
                                    .arg(rfc2217 ? QStringLiteral("rfc2217") : QStringLiteral("tcp"))
                                    .arg(server[0].port)));
        QVERIFY2(back.open(QIODevice::ReadOnly), qPrintable(got.out));
        QCOMPARE(back.readAll().split('\n').at(6).trimmed(), QByteArray("65535"));

        const QString csv = dir.filePath(QStringLiteral("line.csv"));
        QCOMPARE(RunCli(QStringList{"watch", "--count", "10", "--csv", csv} + both).exit, 0);
        QFile log(csv);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(log.readAll());
        QVERIFY(text.contains("\n# port: " + urlA + "\n") && text.contains("\n# port: " + urlB + "\n"));
        QVERIFY(text.contains(QLatin1String("\ntime,port,R,G,B,X,Y,INT,COL\n")));
        QCOMPARE(text.count("," + urlA + ","), 10);
        QCOMPARE(text.count("," + urlB + ","), 10);
    }

    void theCommandLineSaysWhyANetworkPortCannotBeOpened_data()
    {
        // %1: nobody listens; %2: a raw TCP server; %3: a full one; %4: telnet; %5: telnet with RFC 2217
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("why");
        QTest::addColumn<int>("atLeastMs");
        QTest::newRow("refused") << "rfc2217://127.0.0.1:%1"
                                 << "cannot open: connection refused: nothing accepts connections on port %1 of "
                                    "127.0.0.1 (is the server running, and is that its port?)"
                                 << 0;
        QTest::newRow("unknown host") << "tcp://no-such-host.invalid:4001"
                                      << "cannot open: unknown host no-such-host.invalid" << 0;
        QTest::newRow("no telnet answer") << "rfc2217://127.0.0.1:%2"
                                          << "cannot open: no RFC 2217 answer within 3 s (for a raw TCP port use "
                                             "tcp://)"
                                          << 2900;
        QTest::newRow("no connection") << "tcp://127.0.0.1:%3"
                                       << "cannot open: no connection within 3 s (is the host up and the port open to "
                                          "you?)"
                                       << 2900;
        QTest::newRow("telnet without Com Port Control")
            << "rfc2217://127.0.0.1:%4"
            << "cannot open: the server would not set the line: it speaks telnet without RFC 2217 Com Port Control "
               "(ser2net: telnet(rfc2217) in the accepter)"
            << 0;
        QTest::newRow("not an address") << "tcp://127.0.0.1"
                                        << "cannot open: the address needs a host and a port: HOST:PORT" << 0;
        // A raw stream into a telnet server would pass its negotiation off as the sensor's words.
        QTest::newRow("tcp:// to a telnet port")
            << "tcp://127.0.0.1:%4"
            << "cannot open: this is a Telnet/RFC 2217 port: use rfc2217://127.0.0.1:%4" << 0;
        QTest::newRow("tcp:// to an RFC 2217 port")
            << "tcp://127.0.0.1:%5"
            << "cannot open: this is a Telnet/RFC 2217 port: use rfc2217://127.0.0.1:%5" << 0;
    }

    void theCommandLineSaysWhyANetworkPortCannotBeOpened()
    {
        QFETCH(QString, address);
        QFETCH(QString, why);
        QFETCH(int, atLeastMs);
        auto sensor = StartSensor(), other = StartSensor(), third = StartSensor();
        QVERIFY(sensor && other && third);
        Connection telnet{false, other->devicePath(), "19200n81"};
        telnet.plainTelnet = true;
        Ser2Net server({{false, sensor->devicePath(), "19200n81"}, telnet, {true, third->devicePath(), "9600n82"}});
        QVERIFY(server.start());
        // A listener whose queue one waiting connection fills: the next one is never answered.
        const int full = ::socket(AF_INET, SOCK_STREAM, 0), waiting = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        QVERIFY(::bind(full, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(full, 0) == 0 &&
                ::getsockname(full, reinterpret_cast<sockaddr *>(&a), &len) == 0 &&
                ::connect(waiting, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0);
        const QString nobody = QString::number(FreeTcpPort());
        for (QString *text : {&address, &why})
            text->replace(QLatin1String("%1"), nobody)
                .replace(QLatin1String("%2"), QString::number(server[0].port))
                .replace(QLatin1String("%3"), QString::number(ntohs(a.sin_port)))
                .replace(QLatin1String("%4"), QString::number(server[1].port))
                .replace(QLatin1String("%5"), QString::number(server[2].port));

        for (const char *command : {"ident", "watch"}) {
            const CliRun r = RunCli({command, "--device", address});
            QCOMPARE(r.exit, 2);
            QCOMPARE(r.err, QStringLiteral("quillex-scope-cli: %1: %2\n").arg(address, why));
            QVERIFY2(r.ms >= atLeastMs && r.ms < atLeastMs + 3000, qPrintable(QString::number(r.ms)));
        }
        ::close(waiting);
        ::close(full);
    }

    void portsListsALinkToAnAddressWithoutConnecting()
    {
        // A server of our own that would notice any connection: ports must not take the port from its user.
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(listener, 4) == 0 &&
                ::getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len) == 0);
        const std::string url = "rfc2217://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        std::filesystem::create_directories(portdir::Directory());
        std::filesystem::create_symlink(url, portdir::LinkPath(11));
        std::filesystem::create_symlink("tcp://cabinet4", portdir::LinkPath(12));

        const CliRun r = RunCli({"ports"});
        std::filesystem::remove(portdir::LinkPath(11));
        std::filesystem::remove(portdir::LinkPath(12));
        QCOMPARE(r.exit, 0);
        const QString link11 = QString::fromStdString(portdir::LinkPath(11));
        const QString link12 = QString::fromStdString(portdir::LinkPath(12));
        QVERIFY2(r.out.contains(QStringLiteral("COM 11\t%1\tlink %2\tnetwork address (not connected to; ident --com "
                                               "11 tries it)\n")
                                    .arg(QString::fromStdString(url), link11)),
                 qPrintable(r.out));
        QVERIFY2(r.out.contains(QStringLiteral("COM 12\ttcp://cabinet4\tlink %1\tcannot be opened: the address needs "
                                               "a host and a port: HOST:PORT\n")
                                    .arg(link12)),
                 qPrintable(r.out));
        QVERIFY2(!r.out.contains(QLatin1String("does not exist")), qPrintable(r.out));
        ::fcntl(listener, F_SETFL, O_NONBLOCK);
        QCOMPARE(::accept(listener, nullptr, nullptr), -1); // nobody knocked
        ::close(listener);
    }

    void aServerStoppedDuringWatchIsToldOncePerTimeOutAndWatchGoesOn_data()
    {
        QTest::addColumn<bool>("rfc2217");
        QTest::newRow("rfc2217://") << true;
        QTest::newRow("tcp://") << false;
    }

    void aServerStoppedDuringWatchIsToldOncePerTimeOutAndWatchGoesOn()
    {
        QFETCH(bool, rfc2217);
        auto sensor = StartSensor();
        QVERIFY(sensor);
        Ser2Net server({{rfc2217, sensor->devicePath(), rfc2217 ? "9600n82" : "19200n81"}});
        QVERIFY(server.start());
        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("line.csv"));
        QProcess p;
        p.start(kCli, {"watch", "--timeout", "0.5", "--seconds", "9", "--csv", csv, "--device",
                       QString::fromStdString(server[0].url())});
        QVERIFY(p.waitForStarted());
        QVERIFY(sensor->waitForFrames(10, 20.0));

        server.stop();
        QTest::qWait(500);
        const UsageOver used = UsageDuring(p.processId(), 2500);
        const Usage &before = used.before, &after = used.after;
        const double wall = used.wall;
        if (before.cpu < 0 || after.cpu < 0)
            QSKIP("no /proc to measure the process with");
        qInfo("server stopped: %.2f s CPU in %.2f s", after.cpu - before.cpu, wall);
        QVERIFY2((after.cpu - before.cpu) / wall < CpuShareBound(0.10), qPrintable(QString::number(after.cpu - before.cpu)));

        QVERIFY(server.start());
        QVERIFY(p.waitForFinished(15000));
        QCOMPARE(p.exitCode(), 3);
        QFile f(csv);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts);
        const auto reopened = std::find_if(lines.begin(), lines.end(),
                                           [](const QString &l) { return l.endsWith(QLatin1String(" opened again")); });
        QVERIFY(reopened != lines.end());
        const auto firstMissing = std::find_if(
            lines.begin(), lines.end(), [](const QString &l) { return l.contains(QLatin1String("no valid reply")); });
        QVERIFY(firstMissing != lines.end());
        QVERIFY2(firstMissing->contains(QLatin1String("the connection has dropped")), qPrintable(*firstMissing));
        // One report per time-out while the server was away (about 3 s of it, 0.5 s each), then lines again.
        const auto missing = std::count_if(
            lines.begin(), reopened, [](const QString &l) { return l.contains(QLatin1String("no valid reply")); });
        QVERIFY2(missing >= 2 && missing <= 8, qPrintable(QString::number(missing)));
        const auto goodAfter = std::count_if(reopened, lines.end(), [](const QString &l) { return l[0].isDigit(); });
        QVERIFY2(goodAfter >= 3, qPrintable(QString::number(goodAfter)));
    }

    void everyRequestOverRfc2217IsPrecededByAPurge()
    {
        auto sensor = StartSensor();
        QVERIFY(sensor);
        Ser2Net server({{true, sensor->devicePath(), "9600n82"}});
        QVERIFY(server.start());
        Relay relay(server[0].port);
        const CliRun r = RunCli({"ident", "--device", QStringLiteral("rfc2217://127.0.0.1:%1").arg(relay.port())});
        QCOMPARE(r.exit, 0);
        // IAC SB COM-PORT-OPTION PURGE-DATA "the server's receive buffer" IAC SE, then the request.
        const QByteArray wire = relay.sent(), purge("\xff\xfa\x2c\x0c\x01\xff\xf0", 7), identify("\x00\x55\x00\x07", 4);
        int requests = 0;
        for (qsizetype at = wire.indexOf(identify), since = 0; at >= 0;
             since = at + 1, at = wire.indexOf(identify, at + 1)) {
            ++requests;
            QVERIFY2(wire.lastIndexOf(purge, at) >= since, qPrintable(wire.toHex(' ')));
        }
        QVERIFY(requests > 0);
    }

    void aPeerThatAnswersAtOnceIsPolledNoFasterThanTheLine()
    {
        constexpr double kLinePasses = 19200 / 680.0; // 54 bytes out and 14 back, ten bits a byte
        // Unpaced, behind a server: every reply is there as soon as its request.
        auto sensor = StartSensor();
        QVERIFY(sensor);
        const std::string device = sensor->devicePath();
        Ser2Net server({{false, device, "19200n81"}});
        QVERIFY(server.start());
        const QString url = QString::fromStdString(server[0].url());

        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("fast.csv"));
        // The watch's CPU over its whole life, from its usage once it has ended.
        const double children0 = ChildrenCpuSeconds(), t0 = Timer();
        const CliRun r = RunCli({"watch", "--seconds", "4", "--timeout", "0.5", "--csv", csv, "--device", url});
        const double watchWall = Timer() - t0, watchCpu = ChildrenCpuSeconds() - children0;
        QCOMPARE(r.exit, 0);
        const CsvRate rate = RateIn(csv);
        qInfo("watch: %d lines, %.1f/s, %.3f s CPU in %.2f s", rate.lines, rate.perSecond, watchCpu, watchWall);
        QVERIFY2(watchCpu < CpuShareBound(0.05) * watchWall, qPrintable(QString::number(watchCpu)));
        QVERIFY2(rate.perSecond <= kLinePasses * 1.01, qPrintable(QString::number(rate.perSecond)));
        QVERIFY2(rate.lines > 50, qPrintable(QString::number(rate.lines))); // and it does keep the line's pace

        std::filesystem::create_directories(portdir::Directory());
        std::filesystem::create_symlink(url.toStdString(), portdir::LinkPath(1));
        QVERIFY(LoadScopePanel());
        auto rec = ShowAndConnect();
        QVERIFY(rec);
        const unsigned long passes0 = st.goodPasses;
        const double cpu0 = CpuSeconds(), t1 = Timer();
        QTimer::singleShot(2000, [] { st.poll = 0; });
        Click(ButtonGo);
        const double wall = Timer() - t1, cpu = CpuSeconds() - cpu0;
        const double passes = double(st.goodPasses - passes0);
        qInfo("panel: %.0f passes, %.1f/s, %.3f s CPU in %.2f s", passes, passes / wall, cpu, wall);
        QVERIFY2(passes / wall <= kLinePasses * 1.01, qPrintable(QString::number(passes / wall)));
        QVERIFY2(passes / wall > kLinePasses / 2, qPrintable(QString::number(passes / wall))); // it does poll
        QVERIFY2(cpu < CpuShareBound(0.10) * wall, qPrintable(QString::number(cpu)));
        DiscardScopePanel();
    }

    void aSecondClientOnTheServerNeverMakesGetTakeItsTrafficForTheBlock()
    {
        auto sensor = StartSensor();
        QVERIFY(sensor);
        sensor->setPacing(19200);
        sim::Block ram = sim::DefaultBlock();
        ram[0] = 3210;
        ram[24] = 123;
        sensor->setRam(ram);
        Ser2Net server({{true, sensor->devicePath(), "9600n82"}});
        QVERIFY(server.start());
        const QString url = QString::fromStdString(server[0].url());
        QTemporaryDir dir;
        // Another client polls the port; the server hands it to whoever connected last (kickolduser), and the other
        // takes it back within its time-out.
        QProcess other;
        other.start(kCli,
                    {"watch", "--timeout", "1", "--csv", dir.filePath(QStringLiteral("other.csv")), "--device", url});
        QVERIFY(other.waitForStarted());
        QVERIFY(sensor->waitForFrames(8, 10.0));
        int good = 0;
        for (int run = 0; run < 20; ++run) {
            const QString file = dir.filePath(QStringLiteral("get%1.dat").arg(run));
            const CliRun r = RunCli({"get", "ram", file, "--timeout", "1", "--device", url});
            if (r.exit == 0) {
                ++good;
                QFile f(file);
                QVERIFY(f.open(QIODevice::ReadOnly));
                sim::Block got{};
                const QList<QByteArray> words = f.readAll().split('\n');
                for (std::size_t i = 0; i < got.size(); ++i)
                    got[i] = uint16_t(words.value(qsizetype(i)).trimmed().toUInt());
                QCOMPARE(got, ram);
            } else {
                QVERIFY2(!QFile::exists(file), qPrintable(r.err));
            }
            QVERIFY(sensor->waitForFrames(sensor->framesSeen() + 4, 10.0)); // the other client polls again
        }
        qInfo("%d of 20 gets beside a polling client ended with 0, each with the sensor's block", good);
        other.terminate();
        other.waitForFinished(5000);
    }

    void theInputQueueHoldsWhatItMayAndFlushesAll()
    {
        // The far end is a terminal of the test's own, so it can send more than any reply.
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        const std::string slave = ptsname(master);
        const int held = ::open(slave.c_str(), O_RDWR | O_NOCTTY); // keeps the line up between connections
        termios t{};
        tcgetattr(held, &t);
        cfmakeraw(&t);
        tcsetattr(held, TCSANOW, &t);
        Ser2Net server({{false, slave, "19200n81"}});
        QVERIFY(server.start());
        QCOMPARE(OpenNet(server[0].url()), 0);

        const QByteArray burst(1500, 'x');
        QCOMPARE(::write(master, burst.data(), burst.size()), ssize_t(burst.size()));
        QTRY_COMPARE(GetInQLen(kPort), 1024);
        QCOMPARE(GetInQLenWait(kPort, 2000, Timer() + 0.3), 1024);
        // The rest taken off the terminal by the server and so on its way, there to be flushed.
        QTRY_VERIFY_WITH_TIMEOUT(Unread(held) == 0, 10000);
        QCOMPARE(FlushInQ(kPort), 0);
        QCOMPARE(GetInQLenWait(kPort, 1, Timer() + 0.3), 0); // the rest went with the flush

        QCOMPARE(::write(master, "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a", 10), ssize_t(10));
        QCOMPARE(GetInQLenWait(kPort, 10, Timer() + 2.0), 10);
        char in[16] = {};
        QCOMPARE(ComRd(kPort, in, 4), 4);
        QCOMPARE(QByteArray(in, 4), QByteArray("\x01\x02\x03\x04", 4));
        QCOMPARE(GetInQLen(kPort), 6);
        const double t0 = Timer();
        SetComTime(kPort, 0.3);
        QCOMPARE(ComRd(kPort, in, 8), 6); // waits out the time-out for bytes that never come
        QVERIFY(Timer() - t0 >= 0.3);
        CloseCom(kPort);
        ::close(held);
        ::close(master);
    }
};

QTEST_MAIN(TstNetPort)
#include "tst_netport.moc"
