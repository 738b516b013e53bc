// SPDX-License-Identifier: MIT
// Drives the simulated colour sensor through its pseudo-terminal the way a serial front end would.
#include "sim/sensor_sim.h"
#include "core/portdir.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

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
