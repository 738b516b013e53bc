// SPDX-License-Identifier: MIT
// Drives the simulated colour sensor through its pseudo-terminal the way a serial front end would.
#include "sim/sensor_sim.h"
#include "io/portdir.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <set>
#include <thread>
#include <tuple>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;
using Words = std::vector<uint16_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Built by hand rather than with sim::RequestFrame, so a byte-order slip in the library cannot cancel itself out.
Bytes Frame(uint16_t order, const sim::Block &pp = {})
{
    Bytes f{0x00, 0x55, uint8_t(order >> 8), uint8_t(order)};
    for (uint16_t w : pp)
        f.insert(f.end(), {uint8_t(w >> 8), uint8_t(w)});
    return f;
}

Words BigEndian(const Bytes &b)
{
    Words w;
    for (size_t i = 0; i + 1 < b.size(); i += 2)
        w.push_back(uint16_t(b[i] << 8 | b[i + 1]));
    return w;
}

template <class A>
Words Vec(const A &a)
{
    return Words(a.begin(), a.end());
}

sim::Block Counting(uint16_t base)
{
    sim::Block b{};
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = uint16_t(base + i * 257);
    return b;
}

std::string LinkTarget(const std::string &link)
{
    char target[256] = {};
    return ::readlink(link.c_str(), target, sizeof target - 1) > 0 ? target : "";
}

// A serial port opened with POSIX calls only, so the simulator is tested independently of Qt's port class.
class Port {
public:
    explicit Port(const std::string &path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        termios t{};
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Port()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool isOpen() const { return fd_ >= 0; }
    bool send(const Bytes &b) { return ::write(fd_, b.data(), b.size()) == ssize_t(b.size()); }
    // Like send, but waits while the terminal's buffer is full.
    bool sendAll(const Bytes &b, int timeoutMs)
    {
        size_t done = 0;
        const auto deadline = Clock::now() + milliseconds(timeoutMs);
        while (done < b.size() && Clock::now() < deadline) {
            const ssize_t n = ::write(fd_, b.data() + done, b.size() - done);
            if (n > 0) {
                done += size_t(n);
                continue;
            }
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
        return done == b.size();
    }

    // Reads until `want` bytes arrived or the deadline passed, never beyond `want`.
    Bytes receive(size_t want, int timeoutMs, bool *hungUp = nullptr, int *reads = nullptr)
    {
        Bytes got;
        const auto deadline = Clock::now() + milliseconds(timeoutMs);
        while (got.size() < want) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, int(left)) <= 0)
                break;
            uint8_t buf[256];
            const ssize_t n = (p.revents & POLLIN) ? ::read(fd_, buf, std::min(sizeof buf, want - got.size())) : -1;
            if (n <= 0) { // POLLHUP, end of file or EIO: the device is gone
                if (hungUp)
                    *hungUp = true;
                break;
            }
            got.insert(got.end(), buf, buf + n);
            if (reads)
                ++*reads;
        }
        return got;
    }
    Bytes exchange(uint16_t order, const sim::Block &pp, size_t want, int timeoutMs = 1000)
    {
        return send(Frame(order, pp)) ? receive(want, timeoutMs) : Bytes{};
    }

private:
    int fd_;
};

// Sets the far side of a terminal the way a server or a front end would.
bool SetLine(int fd, speed_t speed, tcflag_t size, tcflag_t parity, tcflag_t stop)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB)) | size | parity | stop;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

// The simulator as a program of its own; its standard output is collected as it comes.
struct SimProcess {
    QProcess p;
    QByteArray out;
    std::string device;
    explicit SimProcess(const QStringList &args)
    {
        p.start(QStringLiteral(SIM_EXE), QStringList{QStringLiteral("--com"), QStringLiteral("0")} + args);
        if (waitFor("link "))
            for (const QByteArray &l : out.split('\n'))
                if (l.startsWith("device "))
                    device = l.mid(7).toStdString();
    }
    ~SimProcess()
    {
        p.terminate();
        p.waitForFinished(3000);
    }
    // Until the output holds `text` or the program ended; false after 5 s.
    bool waitFor(const QByteArray &text, int count = 1)
    {
        QElapsedTimer t;
        t.start();
        while (out.count(text) < count && t.elapsed() < 5000) {
            if (p.state() != QProcess::Running && !p.waitForStarted(100))
                return false;
            p.waitForReadyRead(100);
            out += p.readAllStandardOutput();
        }
        return out.count(text) >= count;
    }
};

// A log as the panel's --record or the command line's watch writes it.
const char *const kLog = "# quillex-scope-cli 1.0\n"
                         "# port: COM 1 (/dev/pts/3)\n"
                         "# ident: QUILLEX CS-EMB COLOUR SENSOR SIMULATOR FW 1.0\n"
                         "# RAM: 4000 100 800 4 0 10 257 514 771 1028 1285 1542 1799 2056 2313 1800 1500 120 1200 "
                         "300 1000 2200 120 1200 65535\n"
                         "time,R,G,B,X,Y,INT,COL\n"
                         "2025-03-04T14:02:17.311+01:00,2004,1519,931,1842,1396,1484,1\n"
                         "2025-03-04T14:02:17.411+01:00,2005,1520,932,1843,1397,1485,0\n"
                         "# a comment between two lines\n"
                         "\n"
                         "2025-03-04T14:02:17.511+01:00,65535,255,65280,0,4095,1,3\n"
                         "2025-03-04T14:02:22.511+01:00,10,20,30,40,50,60,2\n"
                         "2025-03-04T13:02:22.611Z,11,21,31,41,51,61,0\n";

} // namespace

// Starts a simulator linked as comN (0 = unlinked) and opens its device like the front end would.
#define OPEN_SIM(s, port, comNumber)                                                                                   \
    sim::SensorSim s(sim::Options{.com = (comNumber)});                                                                \
    QVERIFY(s.start());                                                                                                \
    Port port(s.devicePath());                                                                                         \
    QVERIFY(port.isOpen())

class TstSim : public QObject {
    Q_OBJECT
    QTemporaryDir runtime_;

private slots:
    void initTestCase()
    {
        // A private port directory, so a developer's real com1 is never replaced by a test.
        QVERIFY(runtime_.isValid());
        qputenv("XDG_RUNTIME_DIR", runtime_.path().toLocal8Bit());
        QCOMPARE(sim::RequestFrame(sim::ReadRam, Counting(9)), Frame(sim::ReadRam, Counting(9)));
    }

    void identificationCarriesPaddedTextAtOddBytesAndZerosAtEven()
    {
        OPEN_SIM(s, port, 0);
        const std::pair<std::string, QString> cases[] = {
            {"", "QUILLEX CS-EMB COLOUR SENSOR SIMULATOR FW 1.0   "}, // the default, padded
            {"CS-EMB 2", QString("CS-EMB 2").leftJustified(48, ' ')},
            {std::string(60, 'Z'), QString(48, 'Z')}, // truncated
        };
        for (const auto &[ident, expected] : cases) {
            if (!ident.empty())
                s.setIdent(ident);
            const Bytes r = port.exchange(sim::Identify, {}, 200);
            QCOMPARE(r.size(), size_t(96));
            QString text;
            for (size_t k = 0; k < 48; ++k) {
                QCOMPARE(r[2 * k], uint8_t(0));
                text += QChar(r[2 * k + 1]);
            }
            QCOMPARE(text, expected);
        }
    }

    void storeOrdersFillRamOrBothAndReadOrdersReturnEveryWord()
    {
        OPEN_SIM(s, port, 0);
        auto read = [&](uint16_t order) { return BigEndian(port.exchange(order, {}, 50)); };
        const Words factory{4000,   100,    800,    4,      0,      10,     0x0101, 0x0202, 0x0303,
                            0x0404, 0x0505, 0x0606, 0x0707, 0x0808, 0x0909, 1800,   1500,   120,
                            1200,   300,    1000,   2200,   120,    1200,   300};
        QCOMPARE(read(sim::ReadRam), factory);
        QCOMPARE(read(sim::ReadEeprom), factory);

        QVERIFY(port.exchange(sim::StoreRam, Counting(7), 1, 150).empty()); // storing is silent
        QCOMPARE(read(sim::ReadRam), Vec(Counting(7)));                     // including the reserved words 6..14
        QCOMPARE(read(sim::ReadEeprom), factory);

        QVERIFY(port.exchange(sim::StoreEeprom, Counting(1000), 1, 150).empty());
        QCOMPARE(read(sim::ReadEeprom), Vec(Counting(1000)));
        QCOMPARE(read(sim::ReadRam), Vec(Counting(1000)));
        QCOMPARE(s.ram(), Counting(1000));

        s.setEeprom(Counting(3));
        QCOMPARE(read(sim::ReadEeprom), Vec(Counting(3)));
    }

    void liveMeasurementsFollowFormulasNoiseAndPower()
    {
        OPEN_SIM(s, port, 0);
        std::set<Words> distinct;
        for (int i = 0; i < 12; ++i) {
            const Words w = BigEndian(port.exchange(sim::Measure, {}, 14));
            QCOMPARE(w.size(), size_t(7));
            QVERIFY(w[0] <= 4095 && w[1] <= 4095 && w[2] <= 4095);
            const unsigned sum = w[0] + w[1] + w[2];
            QVERIFY(sum > 0);
            QCOMPARE(w[3], uint16_t(w[0] * 4095u / sum));
            QCOMPARE(w[4], uint16_t(w[1] * 4095u / sum));
            QCOMPARE(w[5], uint16_t(sum / 3));
            QCOMPARE(w[6], sim::ColourNumber(s.ram(), w[3], w[4], w[5]));
            distinct.insert(w);
        }
        QVERIFY2(distinct.size() > 1, "measurements carry no noise");

        auto intensityAt = [&](uint16_t power) {
            sim::Block b = sim::DefaultBlock();
            b[sim::Power] = power;
            s.setRam(b);
            return double(BigEndian(port.exchange(sim::Measure, {}, 14)).at(5));
        };
        const double full = intensityAt(1000), half = intensityAt(500);
        QVERIFY2(full / half > 1.8 && full / half < 2.2, qPrintable(QString("%1 vs %2").arg(full).arg(half)));
        QVERIFY(intensityAt(0) < 30);

        const sim::Measurement fixed{4095, 0, 17, 9, 65535, 1, 3}; // deliberately inconsistent
        s.setFixedMeasurement(fixed);
        QCOMPARE(BigEndian(port.exchange(sim::Measure, {}, 14)), Vec(fixed));
        QCOMPARE(sim::DeriveMeasurement(0, 0, 0, s.ram()), (sim::Measurement{0, 0, 0, 0, 0, 0, 0}));
    }

    void colourNumberHonoursWindowCirclesAndTolerance_data()
    {
        // x, y, INT, CTO and INT tolerance of both rows, expected colour number
        QTest::addColumn<QList<int>>("c");
        QTest::newRow("row 1 centre") << QList<int>{1800, 1500, 1200, 120, 300, 1};
        QTest::newRow("row 2 on circle edge") << QList<int>{1072, 2296, 1200, 120, 300, 2}; // 72,96 -> exactly 120
        QTest::newRow("just outside row 2") << QList<int>{1073, 2296, 1200, 120, 300, 0};
        QTest::newRow("INT at tolerance limit") << QList<int>{1800, 1500, 1500, 120, 300, 1};
        QTest::newRow("INT beyond tolerance") << QList<int>{1800, 1500, 1501, 120, 300, 0};
        QTest::newRow("overlapping rows") << QList<int>{1400, 1850, 1200, 600, 300, 3};
        QTest::newRow("INT just inside window") << QList<int>{1400, 1850, 101, 600, 4000, 3};
        QTest::newRow("INT on lower window edge") << QList<int>{1400, 1850, 100, 600, 4000, 0};
        QTest::newRow("INT on upper window edge") << QList<int>{1400, 1850, 4000, 600, 4000, 0};
    }
    void colourNumberHonoursWindowCirclesAndTolerance()
    {
        QFETCH(QList<int>, c);
        sim::Block b = sim::DefaultBlock();
        b[sim::Row1X + 2] = b[sim::Row2X + 2] = uint16_t(c[3]);
        b[sim::Row1X + 4] = b[sim::Row2X + 4] = uint16_t(c[4]);
        QCOMPARE(int(sim::ColourNumber(b, uint16_t(c[0]), uint16_t(c[1]), uint16_t(c[2]))), c[5]);
    }

    void framingRecordsSplitRequestsAndDropsStalePartials()
    {
        OPEN_SIM(s, port, 0);
        const Bytes frame = Frame(sim::ReadRam, Counting(5));
        for (auto [from, to] : {std::pair{0, 1}, {1, 30}, {30, 54}}) {
            QVERIFY(port.send(Bytes(frame.begin() + from, frame.begin() + to)));
            std::this_thread::sleep_for(milliseconds(40));
        }
        QCOMPARE(port.receive(50, 1000).size(), size_t(50));
        QVERIFY(port.exchange(9, {}, 1, 200).empty()); // unknown order: recorded, not answered
        QVERIFY(s.waitForFrames(2, 1.0));
        QCOMPARE(s.frames(), (std::vector<Bytes>{frame, Frame(9)}));
        QCOMPARE(s.repliesSent(), 1);

        s.clearFrames();
        QVERIFY(port.send(Bytes(20, 0xA5)));
        std::this_thread::sleep_for(milliseconds(700));
        QCOMPARE(port.exchange(sim::Identify, {}, 96).size(), size_t(96));
        QCOMPARE(s.frames(), (std::vector<Bytes>{Frame(sim::Identify)}));
    }

    void aLongRunKeepsOnlyTheNewestFramesButCountsThemAll()
    {
        OPEN_SIM(s, port, 0);
        const size_t sent = sim::SensorSim::kFramesKept + 100;
        for (size_t i = 0; i < sent; ++i) { // one at a time, so the terminal's buffer never fills
            QVERIFY(port.send(Frame(i + 1 == sent ? sim::ReadRam : 9))); // 9: recorded, not answered
            QVERIFY(s.waitForFrames(i + 1, 1.0));
        }
        QCOMPARE(s.framesSeen(), sent);
        const auto kept = s.frames();
        QCOMPARE(kept.size(), sim::SensorSim::kFramesKept);
        QCOMPARE(kept.back(), Frame(sim::ReadRam));
    }

    void faultsShapeTheReplyAndCanTargetOneOrder()
    {
        OPEN_SIM(s, port, 0);
        const sim::Block truth = sim::DefaultBlock();
        const std::tuple<sim::Fault, int, size_t> cases[] = {{sim::Fault::ShortByOne, 0, 49},
                                                             {sim::Fault::NoReply, 0, 0},
                                                             {sim::Fault::ShortByOne, 5, 50},
                                                             {sim::Fault::ShortByOne, 3, 49},
                                                             {sim::Fault::None, 0, 50}};
        for (const auto &[fault, order, expected] : cases) {
            s.setFault(sim::Fault::LongByOne); // the next call must replace it, not add to it
            s.setFault(fault, order);
            const Bytes r = port.exchange(sim::ReadRam, {}, 200, 300);
            QCOMPARE(r.size(), expected);
            if (expected) // whatever is sent starts like the true reply
                QCOMPARE(BigEndian(Bytes(r.begin(), r.begin() + 48)), Words(truth.begin(), truth.begin() + 24));
        }

        s.setFault(sim::Fault::Garbage, sim::Identify);
        const size_t n = port.exchange(sim::Identify, {}, 200, 400).size();
        QVERIFY2(n >= 1 && n <= 120, qPrintable(QString::number(n)));

        s.setPacing(19200); // a long reply must still arrive as one lump
        s.setFault(sim::Fault::LongByOne);
        int reads = 0;
        QVERIFY(port.send(Frame(sim::ReadRam)));
        QCOMPARE(port.receive(200, 300, nullptr, &reads).size(), size_t(51));
        QCOMPARE(reads, 1);

        s.setPacing(0);
        s.setFault(sim::Fault::Trickle);
        reads = 0;
        QVERIFY(port.send(Frame(sim::ReadEeprom)));
        const auto t0 = Clock::now();
        QCOMPARE(BigEndian(port.receive(50, 2000, nullptr, &reads)), Vec(truth));
        QVERIFY(Clock::now() - t0 >= milliseconds(140)); // 49 gaps of 3 ms
        QVERIFY2(reads >= 10, qPrintable(QString::number(reads)));
    }

    void otherTrafficAndLostWordsAreWhatTheFaultSays()
    {
        OPEN_SIM(s, port, 0);
        const sim::Measurement m{1, 2, 3, 4, 5, 6, 7};
        s.setFixedMeasurement(m);
        const Bytes block = sim::EncodeWords(sim::DefaultBlock()), other = sim::EncodeWords(m);
        const std::pair<sim::Fault, Bytes> replies[] = {
            {sim::Fault::Ahead,
             [&] {
                 Bytes b = other;
                 b.insert(b.end(), block.begin(), block.end());
                 return b;
             }()},
            {sim::Fault::Tail,
             [&] {
                 Bytes b = block;
                 b.insert(b.end(), other.begin(), other.end());
                 return b;
             }()},
            {sim::Fault::Ones, Bytes(50, 0xFF)},
        };
        for (const auto &[fault, expected] : replies) {
            s.setFault(fault, sim::ReadRam);
            QCOMPARE(port.exchange(sim::ReadRam, {}, 100, 300), expected);
            QCOMPARE(port.exchange(sim::ReadEeprom, {}, 100, 300), block); // only the order it was set for
        }

        const std::pair<sim::Fault, size_t> lost[] = {{sim::Fault::KeepButFirst, 0}, {sim::Fault::KeepButLast, 24}};
        for (const auto &[fault, word] : lost) {
            s.setRam(sim::DefaultBlock());
            s.setFault(fault);
            QVERIFY(port.send(Frame(sim::StoreRam, Counting(7))));
            QTRY_VERIFY(s.ram() != sim::DefaultBlock());
            sim::Block expected = Counting(7);
            expected[word] = sim::DefaultBlock()[word];
            QCOMPARE(s.ram(), expected);
            QCOMPARE(port.exchange(sim::ReadRam, {}, 50), sim::EncodeWords(expected)); // reads are not touched
        }
    }

    void pacingAndLatencyDelayTheReply()
    {
        OPEN_SIM(s, port, 0);
        s.setPacing(19200);
        // Bytes spread over reads prove the pacing; a lump proves nothing on a busy machine, where either side
        // may be held up while bytes pile up. So a few tries: a paced sensor spreads its bytes in nearly every one,
        // one that sends in a lump in none.
        constexpr int kTries = 10;
        int mostReads = 0;
        for (int i = 0; i < kTries && mostReads < 5; ++i) {
            int reads = 0;
            const auto t0 = Clock::now();
            QVERIFY(port.send(Frame(sim::Measure)));
            QCOMPARE(port.receive(14, 1000, nullptr, &reads).size(), size_t(14));
            QVERIFY(Clock::now() - t0 >= milliseconds(35)); // (54 + 14) bytes * 10 bits / 19200 baud = 35.4 ms
            mostReads = std::max(mostReads, reads);
        }
        QVERIFY2(mostReads >= 5, qPrintable(QStringLiteral("paced bytes arrived in a lump %1 times").arg(kTries)));

        s.setPacing(0);
        s.setLatency(0.15);
        const auto t0 = Clock::now();
        QCOMPARE(port.exchange(sim::Measure, {}, 14).size(), size_t(14));
        QVERIFY(Clock::now() - t0 >= milliseconds(150));
    }

    void hangUpClosesDeviceAndReopenServesAgainAtTheLink()
    {
        OPEN_SIM(s, port, 3);
        const std::string link = portdir::LinkPath(3), first = s.devicePath();
        QCOMPARE(s.linkPath(), link);
        s.hangUpAfter(1);
        QCOMPARE(port.exchange(sim::Identify, {}, 96).size(), size_t(96)); // the last reply still arrives
        bool hungUp = false;
        QVERIFY(port.receive(1, 1000, &hungUp).empty());
        QVERIFY(hungUp);
        QTRY_VERIFY(s.hungUp());
        QVERIFY(::access(first.c_str(), F_OK) != 0); // the device node vanished
        struct stat st {};
        QVERIFY(::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)); // dangling, not removed

        QVERIFY(s.reopen());
        Port again(link);
        QVERIFY(again.isOpen());
        QCOMPARE(again.exchange(sim::Identify, {}, 96).size(), size_t(96));
        QCOMPARE(LinkTarget(link), s.devicePath());

        hungUp = false;
        s.hangUpNow();
        QVERIFY(again.receive(1, 1000, &hungUp).empty());
        QVERIFY(hungUp && s.hungUp());
    }

    void startReplacesAnExistingLinkAndStopRemovesIt()
    {
        const std::string link = portdir::LinkPath(2);
        ::mkdir(portdir::Directory().c_str(), 0700);
        ::unlink(link.c_str());
        QVERIFY(::symlink("/nonexistent/stale", link.c_str()) == 0);
        {
            OPEN_SIM(s, port, 2);
            QCOMPARE(LinkTarget(link), s.devicePath());
        }
        struct stat st {};
        QVERIFY(::lstat(link.c_str(), &st) != 0);
    }

    // Where no link can be placed the simulator must not serve unseen: start() fails with the system's reason,
    // closes the device it opened and leaves no half-built link behind; the program says why and ends with 1.
    void startFailsCleanlyWhereNoLinkCanBePlaced_data()
    {
        QTest::addColumn<QString>("layout"); // what stands in the way, under a fresh runtime folder
        QTest::addColumn<int>("error");
        QTest::addColumn<QByteArray>("said");
        QTest::newRow("runtime folder missing") << "missing" << int(ENOENT) << QByteArray("No such file or directory");
        QTest::newRow("port folder is a file") << "file" << int(ENOTDIR) << QByteArray("Not a directory");
        QTest::newRow("com4 is a folder") << "folder" << int(EISDIR) << QByteArray("Is a directory");
    }

    void startFailsCleanlyWhereNoLinkCanBePlaced()
    {
        QFETCH(QString, layout);
        QFETCH(int, error);
        QFETCH(QByteArray, said);
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString runtime = layout == "missing" ? root.filePath(QStringLiteral("gone")) : root.path();
        const QString ports = runtime + QStringLiteral("/quillex-scope");
        if (layout == "file") {
            QFile blocker(ports);
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        } else if (layout == "folder") {
            QVERIFY(QDir().mkpath(ports + QStringLiteral("/com4/inside")));
        }
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
        std::string device;
        int seen = 0;
        bool started = true, running = true;
        {
            sim::SensorSim s(sim::Options{.com = 4});
            errno = 0;
            started = s.start();
            seen = errno;
            running = s.isRunning();
            device = s.devicePath();
        }
        qputenv("XDG_RUNTIME_DIR", saved);
        QVERIFY(!started);
        QVERIFY(!running);
        QCOMPARE(seen, error);
        QVERIFY(!device.empty() && ::access(device.c_str(), F_OK) != 0); // the device it opened is gone again
        if (layout == "folder") // the folder in the way is untouched and no temporary link is left beside it
            QCOMPARE(QDir(ports).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                     QStringList{QStringLiteral("com4")});

        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(SIM_EXE), {QStringLiteral("--com"), QStringLiteral("4")});
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 1);
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(err.contains("cannot create the pseudo-terminal or link: " + said), err.constData());
        QVERIFY(p.readAllStandardOutput().isEmpty()); // no device announced that nobody can reach by its COM number
    }

    void theLineSetOnTheFarSideIsSeen_data()
    {
        QTest::addColumn<uint>("speed");
        QTest::addColumn<uint>("size");
        QTest::addColumn<uint>("parity");
        QTest::addColumn<uint>("stop");
        QTest::addColumn<QString>("text");
        // A Linux pty holds the baud rate and the stop bits; it forces 8 data bits and no parity itself.
        QTest::newRow("9600 8N2") << uint(B9600) << uint(CS8) << 0u << uint(CSTOPB) << "9600 8N2";
        QTest::newRow("115200 8N1") << uint(B115200) << uint(CS8) << 0u << 0u << "115200 8N1";
        QTest::newRow("1200, 7E2 asked") << uint(B1200) << uint(CS7) << uint(PARENB) << uint(CSTOPB) << "1200 8N2";
        QTest::newRow("4800 8N1") << uint(B4800) << uint(CS8) << 0u << 0u << "4800 8N1";
    }

    void theLineSetOnTheFarSideIsSeen()
    {
        QFETCH(uint, speed);
        QFETCH(uint, size);
        QFETCH(uint, parity);
        QFETCH(uint, stop);
        QFETCH(QString, text);
        sim::SensorSim s(sim::Options{.com = 0});
        QVERIFY(s.start());
        QCOMPARE(sim::LineText(s.lineSettings()), std::string("19200 8N1")); // as the simulator made it
        const int fd = ::open(s.devicePath().c_str(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        QVERIFY(SetLine(fd, speed, size, parity, stop));
        QTRY_COMPARE(QString::fromStdString(sim::LineText(s.lineSettings())), text);
        std::size_t seen = 0;
        const auto changes = s.lineChangesSince(&seen);
        QCOMPARE(changes.size(), size_t(2));
        QCOMPARE(sim::LineText(changes.front()), std::string("19200 8N1"));
        QCOMPARE(changes.back(), s.lineSettings());
        QVERIFY(s.lineChangesSince(&seen).empty()); // each change is handed out once
        ::close(fd);
    }

    void theProgramPrintsEveryLineChange()
    {
        SimProcess sim({});
        QVERIFY(!sim.device.empty());
        QVERIFY(sim.waitFor("line 19200 8N1\n"));
        const int fd = ::open(sim.device.c_str(), O_RDWR | O_NOCTTY);
        QVERIFY(SetLine(fd, B9600, CS8, 0, CSTOPB));
        QVERIFY2(sim.waitFor("line 9600 8N2\n"), sim.out.constData());
        QVERIFY(SetLine(fd, B19200, CS8, 0, 0));
        QVERIFY2(sim.waitFor("line 19200 8N1\n", 2), sim.out.constData());
        ::close(fd);
    }

    void logOrdersReportsEveryRequestBeyondTheKeptOnes()
    {
        // More requests than the simulator keeps: the log must not fall silent once its record is full.
        SimProcess sim({QStringLiteral("--log-orders"), QStringLiteral("--pace"), QStringLiteral("0")});
        Port port(sim.device);
        QVERIFY(port.isOpen());
        // In batches it can print between two of its reports (a burst beyond its record in one report is lost).
        const size_t batch = 100;
        for (size_t sent = 0; sent < sim::SensorSim::kFramesKept + 2 * batch;) {
            for (size_t i = 0; i < batch; ++i, ++sent)
                QVERIFY(port.sendAll(Frame(sim::StoreRam, Counting(uint16_t(sent))), 2000));
            QVERIFY2(sim.waitFor("order 1\n", int(sent)), qPrintable(QString::number(sim.out.count("order 1\n"))));
        }
    }

    void aRecordedLogIsRead()
    {
        sim::Recording r;
        std::string error;
        QVERIFY2(sim::ParseRecording(kLog, &r, &error), error.c_str());
        QVERIFY(r.ram.has_value());
        QCOMPARE((*r.ram)[0], uint16_t(4000));
        QCOMPARE((*r.ram)[24], uint16_t(65535));
        QCOMPARE(r.measurements.size(), size_t(5));
        QCOMPARE(Vec(r.measurements[2]), (Words{65535, 255, 65280, 0, 4095, 1, 3}));
        QCOMPARE(Vec(r.measurements[4]), (Words{11, 21, 31, 41, 51, 61, 0}));
        QVERIFY(std::abs(r.seconds[1] - r.seconds[0] - 0.1) < 1e-6);
        QVERIFY(std::abs(r.seconds[3] - r.seconds[2] - 5.0) < 1e-6);
        QVERIFY(std::abs(r.seconds[4] - r.seconds[3] - 0.1) < 1e-6); // 13:02 UTC is 14:02 at +01:00
    }

    void aLogThatCannotBeReplayedSaysWhere_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("count"); // measurements read when the log is good
        const QString head = QStringLiteral("time,R,G,B,X,Y,INT,COL\n");
        QTest::newRow("no measurement") << "# just a header\n" + head << "" << -1;
        QTest::newRow("short RAM line") << "# RAM: 1 2 3\n1,1,2,3,4,5,6,7\n"
                                        << "line 1: the RAM line" << -1;
        QTest::newRow("value too large") << head + "1,1,2,3,4,5,6,65536\n"
                                         << "line 2: COL must" << -1;
        QTest::newRow("negative value") << head + "1,1,-2,3,4,5,6,7\n"
                                        << "line 2: G must" << -1;
        QTest::newRow("a field missing") << head + "1,1,2,3,4,5,6\n"
                                         << "line 2: expected 8" << -1;
        QTest::newRow("bad time") << head + "17:02,1,2,3,4,5,6,7\n"
                                  << "line 2: cannot read the time" << -1;
        QTest::newRow("impossible date") << head + "2025-02-30T10:00:00+01:00,1,2,3,4,5,6,7\n"
                                         << "cannot read the time" << -1;
        QTest::newRow("column missing") << "time,R,G,B,X,Y,INT\n"
                                        << "line 1: the column line has no column COL" << -1;
        QTest::newRow("columns reordered, one more, CRLF")
            << "port,COL,INT,Y,X,B,G,R,time\r\nCOM 2,7,6,5,4,3,2,1,0.5\r\n"
            << "" << 1;
        QTest::newRow("no header at all") << "0,1,2,3,4,5,6,7\n0.1,1,2,3,4,5,6,7\n"
                                          << "" << 2;
    }

    void aLogThatCannotBeReplayedSaysWhere()
    {
        QFETCH(QString, text);
        QFETCH(QString, error);
        QFETCH(int, count);
        sim::Recording r;
        std::string why;
        const bool ok = sim::ParseRecording(text.toStdString(), &r, &why);
        QCOMPARE(ok, count >= 0);
        if (!ok) {
            QVERIFY2(QString::fromStdString(why).contains(error.isEmpty() ? QStringLiteral("no measurements") : error),
                     why.c_str());
            return;
        }
        QCOMPARE(int(r.measurements.size()), count);
        QCOMPARE(Vec(r.measurements[0]), (Words{1, 2, 3, 4, 5, 6, 7}));
        QCOMPARE(r.ram.has_value(), false);
    }

    void aReplayAnswersLineByLineAtThePaceOfTheLog()
    {
        sim::Recording r;
        std::string error;
        QVERIFY(sim::ParseRecording(kLog, &r, &error));
        OPEN_SIM(s, port, 0);
        s.setReplay(r, sim::ReplayEnd::Stop);
        QCOMPARE(BigEndian(port.exchange(sim::ReadEeprom, {}, 50)), Vec(*r.ram)); // the log's block, both memories
        QCOMPARE(BigEndian(port.exchange(sim::ReadRam, {}, 50)), Vec(*r.ram));

        std::vector<double> at;
        const auto t0 = Clock::now();
        for (const sim::Measurement &m : r.measurements) {
            QCOMPARE(BigEndian(port.exchange(sim::Measure, {}, 14, 2000)), Vec(m));
            at.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
        }
        // 0.1 s apart as logged; the 5 s pause in the log is cut to a second.
        QVERIFY2(at[1] - at[0] >= 0.09 && at[2] - at[1] >= 0.09, qPrintable(QString::number(at[1] - at[0])));
        QVERIFY2(at[3] - at[2] >= 0.95 && at[3] - at[2] < 1.9, qPrintable(QString::number(at[3] - at[2])));
        QVERIFY(s.replayFinished());
        QVERIFY(port.exchange(sim::Measure, {}, 14, 400).empty());         // stopped: the sensor falls silent
        QCOMPARE(port.exchange(sim::Identify, {}, 96).size(), size_t(96)); // but still answers the rest
        QCOMPARE(s.replayAnswered(), r.measurements.size());

        s.setReplay(r, sim::ReplayEnd::Loop);
        for (size_t i = 0; i < r.measurements.size() + 2; ++i)
            QCOMPARE(BigEndian(port.exchange(sim::Measure, {}, 14, 2000)),
                     Vec(r.measurements[i % r.measurements.size()]));
        QVERIFY(!s.replayFinished());
        s.setReplay(std::nullopt); // back to the scene
        QVERIFY(BigEndian(port.exchange(sim::Measure, {}, 14)) != Vec(r.measurements[2]));
    }

    void theProgramReplaysAFileAndSaysWhenItStops()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("line4.csv"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(kLog);
        f.close();
        SimProcess sim({QStringLiteral("--replay"), path, QStringLiteral("--replay-end"), QStringLiteral("stop"),
                        QStringLiteral("--pace"), QStringLiteral("0")});
        QVERIFY2(sim.waitFor("replay 5 measurements from " + path.toUtf8()), sim.out.constData());
        Port port(sim.device);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(port.exchange(sim::Measure, {}, 14, 2000).size(), size_t(14));
        QVERIFY(sim.waitFor("replay ended after 5 measurements"));

        QProcess bad;
        bad.start(QStringLiteral(SIM_EXE), {QStringLiteral("--replay"), dir.filePath(QStringLiteral("none.csv"))});
        QVERIFY(bad.waitForFinished(3000));
        QCOMPARE(bad.exitCode(), 2);
        QVERIFY(bad.readAllStandardError().contains("none.csv: No such file"));
    }

    // A script that reads only the first lines (`quillex-sensor-sim | head -n 2`) must not kill the sensor it
    // started: later lines go nowhere, the device keeps serving and a stop signal still removes the link.
    void theProgramOutlivesAReaderThatStoppedReading()
    {
        QProcess head;
        QProcess p;
        p.setStandardOutputProcess(&head);
        head.start(QStringLiteral("head"), {QStringLiteral("-n"), QStringLiteral("2")});
        p.start(QStringLiteral(SIM_EXE),
                {QStringLiteral("--com"), QStringLiteral("5"), QStringLiteral("--log-orders")});
        QVERIFY(p.waitForStarted());
        QVERIFY(head.waitForFinished(5000)); // the reader has gone: every later line meets a closed pipe
        QVERIFY(head.readAllStandardOutput().startsWith("device "));
        const std::string link = portdir::LinkPath(5);
        Port port(link);
        QVERIFY(port.isOpen());
        for (int i = 0; i < 3; ++i) // each request is logged, into the closed pipe
            QCOMPARE(port.exchange(sim::Identify, {}, 96).size(), size_t(96));
        QVERIFY(!p.waitForFinished(1000));
        QCOMPARE(p.state(), QProcess::Running);
        ::kill(pid_t(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(3000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        struct stat st {};
        QVERIFY(::lstat(link.c_str(), &st) != 0);
    }

    void theProgramRemovesItsLinkOnEveryStopSignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGHUP (terminal closed)") << int(SIGHUP);
    }

    void theProgramRemovesItsLinkOnEveryStopSignal()
    {
        QFETCH(int, signal);
        QProcess p;
        p.start(QStringLiteral(SIM_EXE), {QStringLiteral("--com"), QStringLiteral("3")});
        QVERIFY(p.waitForStarted());
        while (!p.readAllStandardOutput().contains("link ") && p.state() == QProcess::Running)
            p.waitForReadyRead(2000);
        struct stat st {};
        QVERIFY(::lstat(portdir::LinkPath(3).c_str(), &st) == 0);
        ::kill(pid_t(p.processId()), signal);
        QVERIFY(p.waitForFinished(3000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QVERIFY(::lstat(portdir::LinkPath(3).c_str(), &st) != 0);
    }
};

QTEST_GUILESS_MAIN(TstSim)
#include "tst_sim.moc"
