// SPDX-License-Identifier: MIT
// Sensors behind a serial device server: the simulated sensor on a pseudo-terminal, a real ser2net started here
// serving it on loopback with RFC 2217 or as raw TCP, and the serial services and the panel reaching it.
#include "testsupport.h"

#include "core/portdir.h"
#include "link/port.h"
#include "ui/rs232.h"
#include "ui/utility.h"

#include <QProcess>
#include <QSpinBox>
#include <QStandardPaths>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace testsupport;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kPort = 7; // the COM number the network ports are opened under

// A loopback TCP port nobody listens on at the moment of asking.
int FreeTcpPort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const bool ok = ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                    ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0;
    ::close(s);
    return ok ? ntohs(a.sin_port) : -1;
}

// Whether something listens on the loopback TCP port, read from the kernel's table so no connection is made.
bool Listening(int port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray local = QByteArray("0100007F:") + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() > 3 && f[1] == local && f[3] == "0A") // 0A: LISTEN
            return true;
    }
    return false;
}

// One connection of the server: an accepter on a loopback port in front of a serial device.
struct Connection {
    bool rfc2217;
    std::string device;
    std::string line; // ser2net's own settings for the device, e.g. 9600n82
    int port = FreeTcpPort();
    std::string url() const { return (rfc2217 ? "rfc2217://127.0.0.1:" : "tcp://127.0.0.1:") + std::to_string(port); }
};

// A real ser2net, configured in a temporary folder and run in the foreground until stopped.
class Ser2Net {
public:
    explicit Ser2Net(std::vector<Connection> connections) : connections_(std::move(connections))
    {
        std::ofstream yaml(dir_.filePath(QStringLiteral("ser2net.yaml")).toStdString());
        for (std::size_t i = 0; i < connections_.size(); ++i) {
            const Connection &c = connections_[i];
            yaml << "connection: &sensor" << i << "\n"
                 << "  accepter: " << (c.rfc2217 ? "telnet(rfc2217),tcp" : "tcp") << ",127.0.0.1," << c.port << "\n"
                 << "  connector: serialdev," << c.device << "," << c.line << ",local\n"
                 << "  options:\n"
                 << "    kickolduser: true\n";
        }
    }
    ~Ser2Net() { stop(); }
    const Connection &operator[](std::size_t i) const { return connections_[i]; }

    // Starts the server and waits until it listens on every port; false (with its output) otherwise.
    bool start()
    {
        const QString exe = QStandardPaths::findExecutable(QStringLiteral("ser2net"),
                                                           {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
        if (exe.isEmpty()) {
            qWarning("ser2net is not installed (scripts/install-deps installs it)");
            return false;
        }
        // -d: in the foreground, logging to standard output; -u: no UUCP lock files outside the test's folder.
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(exe, {QStringLiteral("-d"), QStringLiteral("-u"), QStringLiteral("-c"),
                             dir_.filePath(QStringLiteral("ser2net.yaml"))});
        if (!process_.waitForStarted())
            return false;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 5000 && process_.state() == QProcess::Running) {
            if (std::all_of(connections_.begin(), connections_.end(),
                            [](const Connection &c) { return Listening(c.port); }))
                return true;
            QThread::msleep(20);
        }
        qWarning("ser2net did not start: %s", process_.readAll().constData());
        return false;
    }
    void stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(3000))
            process_.kill();
        process_.waitForFinished(1000);
    }

private:
    QTemporaryDir dir_;
    std::vector<Connection> connections_;
    QProcess process_;
};

// A simulated sensor on a pseudo-terminal that nobody links as a COM number: only the server reaches it. Its line
// starts at settings nobody asks for, so whatever it shows later was set by someone.
std::unique_ptr<sim::SensorSim> StartSensor()
{
    auto s = std::make_unique<sim::SensorSim>(sim::Options{.com = 0});
    if (!s->start())
        return nullptr;
    const int fd = ::open(s->devicePath().c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(fd, &t);
    cfsetispeed(&t, B1200);
    cfsetospeed(&t, B1200);
    t.c_cflag |= CSTOPB;
    tcsetattr(fd, TCSANOW, &t);
    ::close(fd);
    // Only once the simulator has seen these can a later 19200 8N1 be the server's doing.
    for (const double end = Timer() + 2.0; Timer() < end; SleepSeconds(0.01))
        if (sim::LineText(s->lineSettings()) == "1200 8N2")
            return s;
    return nullptr;
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
        QCOMPARE(QString::fromStdString(sim::LineText(sensor->lineSettings())), QStringLiteral("19200 8N1"));
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
        QVERIFY2(cpu < 0.1 * wall, qPrintable(QString::number(cpu)));

        // The serial services alone, several passes: each write to the dead connection fails, each wait is slept out.
        const Bytes frame = Request(sim::Measure, {});
        const double cpu1 = CpuSeconds(), t1 = Timer();
        for (int pass = 0; pass < 3; ++pass) {
            QCOMPARE(FlushInQ(st.com), 0);
            QCOMPARE(ComWrt(st.com, frame.data(), 54), int(kComErrIO));
            QVERIFY(GetInQLenWait(st.com, 14, Timer() + 0.5) < 14);
        }
        QVERIFY((CpuSeconds() - cpu1) < 0.1 * (Timer() - t1));

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
        QCOMPARE(cli({"ident"}, &out), 0);
        QCOMPARE(out, QByteArray("QUILLEX CS-EMB COLOUR SENSOR SIMULATOR FW 1.0\n"));

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
        QTest::qWait(300); // the rest on its way through the server, so that it is there to be flushed
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
