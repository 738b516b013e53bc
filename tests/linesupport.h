// SPDX-License-Identifier: MIT
// Fixtures for tests of sensors on a line: a real ser2net in front of simulated sensors on free loopback ports,
// and what a running process costs.
#pragma once

#include "loopback.h"
#include "sensor_sim.h"
#include "io/utility.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace linesupport {

using loopback::FreeTcpPort;

// Whether something listens on the loopback TCP port, read from the kernel's table so no connection is made.
inline bool Listening(int port)
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
    bool plainTelnet = false; // without rfc2217: telnet that sets no line
    std::string url() const { return (rfc2217 ? "rfc2217://127.0.0.1:" : "tcp://127.0.0.1:") + std::to_string(port); }
};

// A real ser2net, configured in a temporary folder as the README tells a line engineer to (replies passed on at
// once, a new client taking the port from an old one), and run in the foreground until stopped.
class Ser2Net {
public:
    explicit Ser2Net(std::vector<Connection> connections) : connections_(std::move(connections))
    {
        std::ofstream yaml(dir_.filePath(QStringLiteral("ser2net.yaml")).toStdString());
        for (std::size_t i = 0; i < connections_.size(); ++i) {
            const Connection &c = connections_[i];
            yaml << "connection: &sensor" << i << "\n"
                 << "  accepter: "
                 << (c.rfc2217       ? "telnet(rfc2217),tcp(nodelay)"
                     : c.plainTelnet ? "telnet,tcp(nodelay)"
                                     : "tcp(nodelay)")
                 << ",127.0.0.1," << c.port << "\n"
                 << "  connector: serialdev," << c.device << "," << c.line << ",local\n"
                 << "  options:\n"
                 << "    kickolduser: true\n"
                 << "    chardelay: false\n";
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
inline std::unique_ptr<sim::SensorSim> StartSensor()
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

// Whether the line of `sensor` was set to `line` ("19200 8N1") since *seen, within a second; *seen moves on.
inline bool Saw(const sim::SensorSim &sensor, std::size_t *seen, const std::string &line)
{
    bool saw = false;
    for (const double end = Timer() + 1.0; !saw && Timer() < end; SleepSeconds(0.01))
        for (const sim::LineSettings &l : sensor.lineChangesSince(seen))
            saw = saw || sim::LineText(l) == line;
    return saw;
}

// CPU seconds used so far and resident memory of a running process, from /proc.
struct Usage {
    double cpu = -1;
    long rssKb = -1;
};

inline Usage UsageOf(qint64 pid)
{
    Usage u;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        // Fields after the command name, which ends with the last ')': state is field 3, utime 14, stime 15.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> f = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (f.size() > 12)
            u.cpu = (f[11].toDouble() + f[12].toDouble()) / double(::sysconf(_SC_CLK_TCK));
    }
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray &l : status.readAll().split('\n'))
            if (l.startsWith("VmRSS:"))
                u.rssKb = l.mid(6).trimmed().split(' ').value(0).toLong();
    return u;
}

// What a process used while the test waits `ms` milliseconds: its usage at both ends and the seconds between.
struct UsageOver {
    Usage before, after;
    double wall = 0;
};

inline UsageOver UsageDuring(qint64 pid, int ms)
{
    UsageOver u;
    u.before = UsageOf(pid);
    QElapsedTimer t;
    t.start();
    QTest::qWait(ms);
    u.after = UsageOf(pid);
    u.wall = t.elapsed() / 1000.0;
    return u;
}

} // namespace linesupport
