// SPDX-License-Identifier: MIT
// The serial layer against a real pseudo-terminal: opening by number, bytes both ways, flushes, waits.
#include "testsupport.h"

#include "io/portdir.h"
#include "io/rs232.h"
#include "io/utility.h"

#include <QFile>
#include <QSerialPort>
#include <QSerialPortInfo>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

using namespace testsupport;

namespace {

// The far end of a pseudo-terminal, linked as comN like a device the user attached.
struct Pty {
    int master = -1;
    std::string slave;

    explicit Pty(int com)
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        slave = ptsname(master);
        termios t{};
        const int s = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
        tcgetattr(s, &t);
        cfmakeraw(&t);
        tcsetattr(s, TCSANOW, &t);
        ::close(s);
        std::filesystem::create_directories(portdir::Directory());
        std::filesystem::remove(portdir::LinkPath(com));
        std::filesystem::create_symlink(slave, portdir::LinkPath(com));
    }
    ~Pty()
    {
        if (master >= 0)
            ::close(master);
    }
    void send(const QByteArray &bytes) const { QCOMPARE(::write(master, bytes.data(), bytes.size()), bytes.size()); }
    QByteArray receive(int count, int timeoutMs = 2000) const
    {
        QByteArray got;
        const double deadline = Timer() + timeoutMs / 1000.0;
        while (got.size() < count && Timer() < deadline) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                char buf[256];
                const ssize_t n = ::read(master, buf, sizeof buf);
                if (n > 0)
                    got.append(buf, int(n));
            }
        }
        return got;
    }
};

int OpenLink(int com)
{
    return OpenComConfig(com, "", 19200, kParityNone, 8, 1, 1024, 1024);
}

} // namespace

class TstSerial : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { PrivatePortDir(); }

    void aLinkedPortOpensAndCarriesBytesBothWays()
    {
        Pty pty(3);
        QCOMPARE(OpenLink(3), 0);
        QCOMPARE(ComDevicePath(3), pty.slave);
        QByteArray frame(54, '\0');
        for (int i = 0; i < frame.size(); ++i)
            frame[i] = char(i * 7);
        QCOMPARE(ComWrt(3, frame.constData(), frame.size()), 54);
        QCOMPARE(pty.receive(54), frame);

        pty.send(QByteArray("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a", 10));
        QCOMPARE(GetInQLenWait(3, 10, Timer() + 2.0), 10);
        char in[16] = {};
        QCOMPARE(ComRd(3, in, 4), 4);
        QCOMPARE(QByteArray(in, 4), QByteArray("\x01\x02\x03\x04", 4));
        QCOMPARE(GetInQLen(3), 6);
        QCOMPARE(FlushInQ(3), 0);
        QCOMPARE(GetInQLen(3), 0);
        pty.send(QByteArray("late"));
        QCOMPARE(GetInQLenWait(3, 4, Timer() + 2.0), 4);
        QCOMPARE(FlushQueues(3), 0);
        QCOMPARE(GetInQLen(3), 0);
        QCOMPARE(CloseCom(3), 0);
        QCOMPARE(GetInQLen(3), int(kComErrNotOpen));
        QCOMPARE(ComWrt(3, frame.constData(), 54), int(kComErrNotOpen));
    }

    void aWriteLongerThanTheSystemTakesAtOnceArrivesWholeAndInOrder()
    {
        Pty pty(3);
        QCOMPARE(OpenLink(3), 0);
        QByteArray big(256 * 1024, '\0'); // far more than a terminal's queue holds
        for (int i = 0; i < big.size(); ++i)
            big[i] = char(i * 131 + i / 251);
        QByteArray got;
        std::thread reader([&] { got = pty.receive(int(big.size()), 20000); });
        SetComTime(3, 20.0);
        const int written = ComWrt(3, big.constData(), int(big.size()));
        reader.join();
        CloseCom(3);
        QCOMPARE(written, int(big.size()));
        QCOMPARE(got.size(), big.size());
        QVERIFY(got == big);
    }

    void inputWaitingBeforeOpeningIsDiscarded()
    {
        Pty pty(4);
        const int s = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY); // keep the line up while nobody listens
        pty.send(QByteArray("stale"));
        QTest::qWait(50);
        QCOMPARE(OpenLink(4), 0);
        QCOMPARE(GetInQLenWait(4, 1, Timer() + 0.2), 0);
        CloseCom(4);
        ::close(s);
    }

    void theInputQueueNeverReportsMoreThanItsSize()
    {
        Pty pty(5);
        QCOMPARE(OpenLink(5), 0);
        pty.send(QByteArray(1500, 'x'));
        const int n = GetInQLenWait(5, 2000, Timer() + 1.0);
        QCOMPARE(n, 1024);
        CloseCom(5);
    }

    void openingFailuresUseTheToolkitCodes()
    {
        const int expectedMissing =
            QSerialPortInfo::availablePorts().isEmpty() ? int(kComErrNoPorts) : int(kComErrBadPort);
        QCOMPARE(OpenLink(250), expectedMissing);
        QCOMPARE(OpenLink(0), int(kComErrBadPort));
    }

    void whatCannotServeAsAPortCannotBeOpened_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("code");
        QTest::newRow("plain file") << "file" << int(kComErrCannotOpen);
        QTest::newRow("directory") << "dir" << int(kComErrCannotOpen);
        QTest::newRow("/dev/null") << "null" << int(kComErrCannotOpen);
        QTest::newRow("link that loops") << "loop" << int(kComErrCannotOpen);
        QTest::newRow("port in use") << "busy" << int(kComErrCannotOpen);
        QTest::newRow("dangling link") << "dangling" << int(kComErrBadPort);
    }

    void whatCannotServeAsAPortCannotBeOpened()
    {
        QFETCH(QString, kind);
        QFETCH(int, code);
        QTemporaryDir dir;
        const std::string link = portdir::LinkPath(9);
        std::filesystem::create_directories(portdir::Directory());
        std::filesystem::remove(link);
        std::unique_ptr<Pty> busy;
        std::string target = dir.filePath(QStringLiteral("target")).toStdString();
        if (kind == QLatin1String("file"))
            QFile(QString::fromStdString(target)).open(QIODevice::WriteOnly);
        else if (kind == QLatin1String("dir"))
            std::filesystem::create_directory(target);
        else if (kind == QLatin1String("null"))
            target = "/dev/null";
        else if (kind == QLatin1String("loop"))
            target = link;
        else if (kind == QLatin1String("busy")) {
            busy = std::make_unique<Pty>(10);
            QCOMPARE(OpenLink(10), 0);
            target = busy->slave;
        }
        std::filesystem::create_symlink(target, link);
        QCOMPARE(OpenLink(9), code);
        QCOMPARE(GetInQLen(9), int(kComErrNotOpen));
        std::string group = "stale";
        QVERIFY(!ComOpenDenied(9, &group)); // nothing refused it by permissions
        QCOMPARE(group, std::string());
        std::filesystem::remove(link);
        CloseCom(10);
    }

    void aDeviceRefusedByPermissionsIsReportedWithItsGroup()
    {
        RefusedDevice device(9);
        if (!device.made)
            QSKIP("giving the device to a group this process is not in needs root");
        int rc = 0;
        {
            HeldToFilePermissions held;
            rc = OpenLink(9);
        }
        QCOMPARE(rc, int(kComErrCannotOpen));
        std::string group;
        QVERIFY(ComOpenDenied(9, &group));
        QVERIFY(!device.group.empty());
        QCOMPARE(group, device.group);
        QCOMPARE(ComDevicePath(9), std::string());
    }

    void aGroupThatMayOnlyReadIsNotOfferedToJoin()
    {
        // The device's group may read it but not write it; this process is in that group already.
        RefusedDevice device(9);
        QVERIFY(::chmod(device.path.c_str(), 0640) == 0);
        if (::geteuid() == 0)
            QVERIFY(::chown(device.path.c_str(), 1, ::getegid()) == 0);
        int rc = 0;
        {
            HeldToFilePermissions held;
            rc = OpenLink(9);
        }
        QCOMPARE(rc, int(kComErrCannotOpen));
        std::string group = "stale";
        QVERIFY(ComOpenDenied(9, &group));
        QCOMPARE(group, std::string()); // joining would not let it in: the panel names no group to join
    }

    void waitingForBytesThatNeverComeCostsAlmostNoCpu()
    {
        Pty pty(6);
        QCOMPARE(OpenLink(6), 0);
        const double cpu0 = CpuSeconds();
        const double t0 = Timer();
        QCOMPARE(GetInQLenWait(6, 96, t0 + 2.0), 0);
        const double wall = Timer() - t0;
        const double cpu = CpuSeconds() - cpu0;
        qInfo("2.0 s wait for bytes: %.3f s wall, %.4f s CPU (%.2f %% of a core)", wall, cpu, 100.0 * cpu / wall);
        QVERIFY(wall >= 2.0 && wall < 2.3);
        QVERIFY(cpu / wall < CpuShareBound(0.10));
        CloseCom(6);
    }

    void aVanishedDeviceIsWaitedOutAsleep()
    {
        auto *pty = new Pty(7);
        QCOMPARE(OpenLink(7), 0);
        delete pty; // the device disappears under the open port
        const double cpu0 = CpuSeconds();
        const double t0 = Timer();
        const int n = GetInQLenWait(7, 14, t0 + 1.0);
        const double wall = Timer() - t0;
        QVERIFY(n < 14);
        QVERIFY(wall >= 1.0);
        QVERIFY((CpuSeconds() - cpu0) / wall < CpuShareBound(0.10));
        CloseCom(7);
    }

    void aWaitThatTimedOutLeavesSingleBytesVisible()
    {
        // The wait raises the terminal's wake-up count while it blocks; it must put it back, or later
        // bytes would stay hidden until that many had come.
        Pty pty(4);
        QCOMPARE(OpenLink(4), 0);
        pty.send(QByteArray(3, 'a'));
        QCOMPARE(GetInQLenWait(4, 10, Timer() + 0.2), 3);
        pty.send(QByteArray(2, 'b'));
        QTRY_COMPARE_WITH_TIMEOUT(GetInQLen(4), 5, 1000);
        CloseCom(4);
    }

    void aHeldWakeCountStaysBetweenWaitsAndLeavesSingleBytesToEveryOtherLook()
    {
        Pty pty(4);
        QCOMPARE(OpenLink(4), 0);
        const auto own = TerminalWaking(pty.slave);
        QCOMPARE(ComHoldWake(4, 14), 0);
        QCOMPARE(TerminalWaking(pty.slave), std::make_pair(14, 0));
        QCOMPARE(GetInQLenWait(4, 14, Timer() + 0.05), 0);
        QCOMPARE(TerminalWaking(pty.slave).first, 14); // still set: the next wait finds it so
        // A lone byte, and a few: the queue length, a read and a wait for one byte see them as on any port.
        pty.send(QByteArray(1, 'a'));
        QTRY_COMPARE_WITH_TIMEOUT(GetInQLen(4), 1, 1000);
        pty.send(QByteArray(2, 'b'));
        QCOMPARE(GetInQLenWait(4, 3, Timer() + 1.0), 3);
        QCOMPARE(TerminalWaking(pty.slave).first, 14); // a wait for another count puts the held one back
        char in[4] = {};
        QCOMPARE(ComRd(4, in, 3), 3);
        QCOMPARE(QByteArray(in, 3), QByteArray("abb"));
        pty.send(QByteArray(1, 'c'));
        QCOMPARE(ComRd(4, in, 1), 1); // waits for the byte it was asked for, as ever
        pty.send(QByteArray(14, 'x'));
        QCOMPARE(GetInQLenWait(4, 14, Timer() + 1.0), 14);

        QCOMPARE(ComReleaseWake(4), 0);
        QCOMPARE(TerminalWaking(pty.slave), own);
        QCOMPARE(ComReleaseWake(4), 0); // nothing held: nothing to undo
        QCOMPARE(TerminalWaking(pty.slave), own);
        CloseCom(4);
        QCOMPARE(ComHoldWake(4, 14), int(kComErrNotOpen));
        QCOMPARE(ComReleaseWake(4), int(kComErrNotOpen));
    }

    void aPortOpenedAnewHoldsNothingOfTheOneBefore()
    {
        Pty pty(4);
        QCOMPARE(OpenLink(4), 0);
        const auto own = TerminalWaking(pty.slave);
        QCOMPARE(ComHoldWake(4, 14), 0);
        QCOMPARE(CloseCom(4), 0); // closed while held, as a port change in the polling loop does
        QCOMPARE(OpenLink(4), 0);
        QCOMPARE(TerminalWaking(pty.slave), own);
        pty.send(QByteArray(1, 'a'));
        QCOMPARE(GetInQLenWait(4, 1, Timer() + 1.0), 1);
        QCOMPARE(ComReleaseWake(4), 0);
        QCOMPARE(TerminalWaking(pty.slave), own);
        CloseCom(4);
    }

    void aWaitForBytesAlreadyQueuedReturnsAtOnce()
    {
        Pty pty(4);
        QCOMPARE(OpenLink(4), 0);
        pty.send(QByteArray(14, 'x'));
        QTRY_COMPARE_WITH_TIMEOUT(GetInQLen(4), 14, 1000);
        // A deadline far off, so that a wait that sleeps to it cannot pass for a slow machine.
        constexpr double kDeadline = 20.0;
        const double t0 = Timer();
        QCOMPARE(GetInQLenWait(4, 14, t0 + kDeadline), 14);
        QVERIFY2(Timer() - t0 < kDeadline / 10, qPrintable(QString::number(Timer() - t0)));
        CloseCom(4);
    }

    void aLineThatHangsUpWhileIdleCostsNoCpu()
    {
        auto *pty = new Pty(5);
        QCOMPARE(OpenLink(5), 0);
        delete pty; // the device goes away while the program waits in its event loop
        QTest::qWait(200);
        const double cpu0 = CpuSeconds();
        const double t0 = Timer();
        QTest::qWait(1000);
        const double share = (CpuSeconds() - cpu0) / (Timer() - t0);
        qInfo("idle after a hang-up: %.2f %% of a core", 100.0 * share);
        QVERIFY2(share < CpuShareBound(0.10), qPrintable(QString::number(share)));
        // The port still counts as open; a wait on it is slept out like one on a vanished device.
        const double t1 = Timer();
        QVERIFY(GetInQLenWait(5, 14, t1 + 0.3) < 14);
        QVERIFY(Timer() - t1 >= 0.3);
        QCOMPARE(CloseCom(5), 0);
    }

    void callsOnAHungUpLineQueueAtMostOneLookForTheEventLoop()
    {
        auto *pty = new Pty(8);
        QCOMPARE(OpenLink(8), 0);
        delete pty; // the device goes away under the open port
        // A program without an event loop (the command line) goes on calling on the dead line.
        for (int i = 0; i < 2000; ++i) {
            FlushInQ(8);
            GetInQLen(8);
            GetInQLenWait(8, 14, Timer());
        }
        QVERIFY(ComHungUp(8));
        // Every look that was queued is a call the event loop delivers now.
        struct Counter : QObject {
            int calls = 0;
            bool eventFilter(QObject *o, QEvent *e) override
            {
                if (e->type() == QEvent::MetaCall && qobject_cast<QSerialPort *>(o))
                    ++calls;
                return false;
            }
        } counter;
        QCoreApplication::instance()->installEventFilter(&counter);
        QCoreApplication::sendPostedEvents();
        QCoreApplication::instance()->removeEventFilter(&counter);
        QVERIFY2(counter.calls == 1, qPrintable(QString::number(counter.calls)));
        QVERIFY(ComHungUp(8));
        QCOMPARE(CloseCom(8), 0);
        QVERIFY(ComHungUp(8)); // not open: as useless as a dead line
    }

    void aPortNotOpenSleepsOutTheWaitAndReportsNotOpen()
    {
        const double t0 = Timer();
        QCOMPARE(GetInQLenWait(42, 14, t0 + 0.3), int(kComErrNotOpen));
        QVERIFY(Timer() - t0 >= 0.3);
        QCOMPARE(ComRd(42, nullptr, 1), int(kComErrNotOpen));
        QCOMPARE(FlushInQ(42), int(kComErrNotOpen));
        QCOMPARE(FlushQueues(42), int(kComErrNotOpen));
    }
};

QTEST_GUILESS_MAIN(TstSerial)
#include "tst_serial.moc"
