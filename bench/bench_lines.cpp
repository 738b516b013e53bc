// SPDX-License-Identifier: MIT
// Measures a line of sensors watched together by the command line: many local sensors at once against each alone,
// sensors behind ser2net on loopback against the same sensors local, and a whole line behind one ser2net from a
// line file, with and without publishing to a local MQTT broker.
#include "io/utility.h"
#include "tests/loopback.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr int kSensors = 16;        // watched together
constexpr int kNetSensors = 4;      // behind the device server
constexpr int kBaud = 19200;        // every simulated sensor paces its replies as a real line would
constexpr double kStartWait = 5;    // seconds a simulator may take to come up
constexpr int kServerStartMs = 500; // ser2net listens well within this
constexpr double kSlack = 30;       // seconds a watch may run past its --seconds before it counts as hung
constexpr double kShareGoal = 99;   // per cent of a link's single-sensor rate
constexpr double kCpuGoal = 10;     // per cent of one core for the whole watch
constexpr double kMqttGoal = 2;     // per cent of one core that publishing may add

double ChildCpu()
{
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

QString Bin(const char *name)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(name);
}

// A simulated sensor in a process of its own, linked as COM `com`; its pseudo-terminal once it has said it.
struct Sensor {
    QProcess process;
    QString device;
    bool start(int com)
    {
        process.start(Bin("quillex-sensor-sim"), {"--com", QString::number(com), "--pace", QString::number(kBaud)});
        QByteArray out;
        for (const double end = Timer() + kStartWait; Timer() < end && !out.contains("link ");)
            if (process.waitForReadyRead(100))
                out += process.readAllStandardOutput();
        const int at = out.indexOf("device ");
        device = at < 0 ? QString() : QString::fromLatin1(out.mid(at + 7).split('\n').first());
        return !device.isEmpty();
    }
    ~Sensor()
    {
        process.terminate();
        process.waitForFinished(3000);
    }
};

// What one watch did: each port's rate from the first and last timestamps it wrote, and the process's CPU.
struct Run {
    QMap<QString, double> rate; // port column ("COM 3", an address, or "" for a watch of one) -> measurements/s
    QMap<QString, long> missing;
    double cpuSeconds = 0;
    double wall = 0;
    int exit = -1;
};

Run Watch(const QStringList &options, double seconds, const QString &csv)
{
    QFile::remove(csv);
    Run r;
    const double cpu0 = ChildCpu(), t0 = Timer();
    QProcess p;
    p.start(Bin("quillex-scope-cli"),
            QStringList{"watch", "--seconds", QString::number(seconds), "--csv", csv} + options);
    p.waitForFinished(int((seconds + kSlack) * 1000));
    r.wall = Timer() - t0;
    r.cpuSeconds = ChildCpu() - cpu0;
    r.exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    QFile file(csv);
    file.open(QIODevice::ReadOnly);
    bool tagged = false;
    QMap<QString, QDateTime> first, last;
    QMap<QString, long> lines;
    for (const QByteArray &l : file.readAll().split('\n')) {
        if (l.startsWith("time,"))
            tagged = l.startsWith("time,port,");
        // "# TIME no valid reply …" for a watch of one, "# TIME PORT: no valid reply …" for several.
        if (const int at = l.indexOf("no valid reply"); l.startsWith("# ") && at > 0) {
            const int from = l.indexOf(' ', 2) + 1;
            ++r.missing[tagged ? QString::fromLatin1(l.mid(from, at - 2 - from)) : QString()];
        }
        if (l.isEmpty() || l[0] < '0' || l[0] > '9')
            continue;
        const QList<QByteArray> f = l.split(',');
        const QString port = tagged ? QString::fromLatin1(f.value(1)) : QString();
        const QDateTime at = QDateTime::fromString(QString::fromLatin1(f[0]), Qt::ISODateWithMs);
        if (!first.contains(port))
            first[port] = at;
        last[port] = at;
        ++lines[port];
    }
    for (auto it = lines.begin(); it != lines.end(); ++it)
        if (it.value() > 1)
            r.rate[it.key()] = (it.value() - 1) / (first[it.key()].msecsTo(last[it.key()]) / 1000.0);
    return r;
}

QStringList StartSer2Net(QProcess &server, const QTemporaryDir &work, const std::vector<QString> &devices)
{
    const QString exe = QStandardPaths::findExecutable(QStringLiteral("ser2net"), {"/usr/sbin", "/usr/bin"});
    if (exe.isEmpty())
        return {};
    QFile yaml(work.filePath(QStringLiteral("ser2net.yaml")));
    yaml.open(QIODevice::WriteOnly);
    QStringList urls;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const int port = loopback::FreeTcpPort();
        urls << QStringLiteral("rfc2217://127.0.0.1:%1").arg(port);
        yaml.write(QStringLiteral("connection: &sensor%1\n"
                                  "  accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1,%2\n"
                                  "  connector: serialdev,%3,19200n81,local\n"
                                  "  options:\n"
                                  "    kickolduser: true\n"
                                  "    chardelay: false\n")
                       .arg(i)
                       .arg(port)
                       .arg(devices[i])
                       .toUtf8());
    }
    yaml.close();
    server.start(exe, {"-n", "-u", "-c", yaml.fileName()});
    if (!server.waitForStarted())
        return {};
    QThread::msleep(kServerStartMs);
    return server.state() == QProcess::Running ? urls : QStringList{};
}

// CPU seconds a process has used so far, from /proc.
double ProcessCpu(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> f = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return f.size() > 12 ? (f[11].toDouble() + f[12].toDouble()) / double(::sysconf(_SC_CLK_TCK)) : 0;
}

// A line file of the sensors at `ports` (COM names or addresses), named s1, s2, …
QString LineFile(const QTemporaryDir &work, const QString &name, const QStringList &ports)
{
    QFile f(work.filePath(name));
    f.open(QIODevice::WriteOnly);
    for (int i = 0; i < ports.size(); ++i)
        f.write(QStringLiteral("[[sensor]]\nname = \"s%1\"\nport = \"%2\"\n\n").arg(i + 1).arg(ports[i]).toUtf8());
    return f.fileName();
}

// A mosquitto broker on a free loopback port, and a mosquitto_sub counting what reaches it.
struct Broker {
    QTemporaryDir dir;
    QProcess process, counter;
    int port = loopback::FreeTcpPort();
    bool start()
    {
        const QString exe = QStandardPaths::findExecutable(QStringLiteral("mosquitto"), {"/usr/sbin", "/usr/bin"});
        if (exe.isEmpty())
            return false;
        QFile conf(dir.filePath(QStringLiteral("mosquitto.conf")));
        conf.open(QIODevice::WriteOnly);
        conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n").arg(port).toUtf8());
        conf.close();
        process.start(exe, {"-c", conf.fileName()});
        if (!process.waitForStarted())
            return false;
        QThread::msleep(kServerStartMs);
        counter.start(QStringLiteral("mosquitto_sub"),
                      {"-h", "127.0.0.1", "-p", QString::number(port), "-t", "bench/+/measurement"});
        if (!counter.waitForStarted())
            return false;
        QThread::msleep(kServerStartMs);
        return process.state() == QProcess::Running && counter.state() == QProcess::Running;
    }
    // Messages the counter printed since the last call: everything the pipe holds, until it has been quiet a moment.
    long Received()
    {
        long n = 0;
        do
            n += counter.readAllStandardOutput().count('\n');
        while (counter.waitForReadyRead(200));
        return n;
    }
    ~Broker()
    {
        for (QProcess *p : {&counter, &process}) {
            p->terminate();
            p->waitForFinished(3000);
        }
    }
};

// The whole line behind one ser2net from a line file, against the same sensors local; then publishing too.
int LineBehindOneServer(std::vector<std::unique_ptr<Sensor>> &sensors, const QTemporaryDir &work, double seconds,
                        int rounds)
{
    std::vector<QString> devices;
    QStringList coms;
    for (std::size_t i = 0; i < sensors.size(); ++i) {
        devices.push_back(sensors[i]->device);
        coms << QStringLiteral("com%1").arg(i + 1);
    }
    Broker broker;
    if (!broker.start())
        return std::fprintf(stderr, "bench: mosquitto did not start (scripts/install-deps installs it)\n"), 1;
    QProcess server;
    const QStringList urls = StartSer2Net(server, work, devices);
    if (urls.isEmpty())
        return std::fprintf(stderr, "bench: ser2net did not start (scripts/install-deps installs it)\n"), 1;
    const QString localLine = LineFile(work, QStringLiteral("local.toml"), coms);
    const QString netLine = LineFile(work, QStringLiteral("net.toml"), urls);
    const QStringList mqtt{"--mqtt", QStringLiteral("mqtt://127.0.0.1:%1/bench").arg(broker.port)};
    std::printf("\n%zu sensors from a line file, local and behind one ser2net (RFC 2217, loopback), then with --mqtt "
                "to a local mosquitto; %d rounds taken in turn:\n",
                sensors.size(), rounds);
    for (int round = 1; round <= rounds; ++round) {
        const Run local = Watch({"--line", localLine}, seconds, work.filePath(QStringLiteral("local.csv")));
        const double server0 = ProcessCpu(server.processId());
        const Run net = Watch({"--line", netLine}, seconds, work.filePath(QStringLiteral("net.csv")));
        const double serverCpu = ProcessCpu(server.processId()) - server0;
        broker.Received();
        const Run published = Watch(QStringList{"--line", netLine} + mqtt, seconds, work.filePath("mqtt.csv"));
        QThread::msleep(kServerStartMs); // the last messages on their way to the counter
        const long received = broker.Received();
        double lowest = 1e9, lowestMqtt = 1e9;
        long lines = 0;
        QString each;
        for (std::size_t i = 0; i < sensors.size(); ++i) {
            const QString name = QStringLiteral("s%1").arg(i + 1);
            const double l = local.rate.value(name);
            lowest = std::min(lowest, l > 0 ? 100 * net.rate.value(name) / l : 0);
            lowestMqtt = std::min(lowestMqtt, l > 0 ? 100 * published.rate.value(name) / l : 0);
            each += QStringLiteral(" %1/%2").arg(l, 0, 'f', 2).arg(net.rate.value(name), 0, 'f', 2);
        }
        std::printf("    local/ser2net per sensor:%s\n", qPrintable(each));
        for (const double r : published.rate)
            lines += long(r * seconds);
        const auto share = [](const Run &r) { return 100 * r.cpuSeconds / r.wall; };
        std::printf("  round %d: lowest share of local: ser2net %.2f %%, ser2net with MQTT %.2f %% (goal >= %.0f %%); "
                    "exits %d %d %d\n",
                    round, lowest, lowestMqtt, kShareGoal, local.exit, net.exit, published.exit);
        std::printf("    CPU of the watch: local %.3f s in %.2f s = %.2f %%, ser2net %.3f s in %.2f s = %.2f %% (goal "
                    "<= %.0f %%), with MQTT %.3f s in %.2f s = %.2f %% (+%.2f, goal <= +%.0f); %ld of about %ld "
                    "measurements reached the broker's subscriber; ser2net itself %.2f s\n",
                    local.cpuSeconds, local.wall, share(local), net.cpuSeconds, net.wall, share(net), kCpuGoal,
                    published.cpuSeconds, published.wall, share(published), share(published) - share(net), kMqttGoal,
                    received, lines, serverCpu);
    }
    server.terminate();
    server.waitForFinished(3000);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir work;
    qputenv("XDG_RUNTIME_DIR", work.path().toLocal8Bit()); // COM links of this run alone
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    const QString part = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("all");
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
    if (part != QLatin1String("all") && part != QLatin1String("line"))
        return std::fprintf(stderr, "usage: bench_lines [SECONDS [all|line [ROUNDS]]]\n"), 1;
    std::printf("Lines benchmark: %.1f s per watch, simulated sensors paced at %d baud, each in its own process\n",
                seconds, kBaud);

    std::vector<std::unique_ptr<Sensor>> sensors;
    for (int com = 1; com <= kSensors; ++com) {
        sensors.push_back(std::make_unique<Sensor>());
        if (!sensors.back()->start(com))
            return std::fprintf(stderr, "bench: simulator %d did not start\n", com), 1;
    }
    if (part == QLatin1String("line"))
        return LineBehindOneServer(sensors, work, seconds, rounds);

    // Each link alone, then all of them together.
    QMap<QString, double> alone;
    QStringList names;
    double aloneCpu = 0, aloneWall = 0;
    for (int com = 1; com <= kSensors; ++com) {
        const Run r = Watch({"--com", QString::number(com)}, seconds, work.filePath(QStringLiteral("one.csv")));
        names << QStringLiteral("COM %1").arg(com);
        alone[names.back()] = r.rate.value(QString());
        aloneCpu += r.cpuSeconds;
        aloneWall += r.wall;
    }
    const Run all = Watch({"--com", QStringLiteral("1-%1").arg(kSensors)}, seconds, work.filePath("all.csv"));
    std::printf("\n%d sensors watched together (exit %d), each against itself watched alone:\n", kSensors, all.exit);
    double lowest = 1e9, sumAlone = 0, sumAll = 0;
    for (const QString &n : names) {
        const double share = alone[n] > 0 ? 100 * all.rate.value(n) / alone[n] : 0;
        lowest = std::min(lowest, share);
        sumAlone += alone[n];
        sumAll += all.rate.value(n);
        std::printf("  %-6s alone %6.2f /s, together %6.2f /s = %6.2f %%, %ld missing\n", qPrintable(n), alone[n],
                    all.rate.value(n), share, all.missing.value(n));
    }
    std::printf("  lowest share %.2f %% (goal >= %.0f %%); total %.1f /s together against %.1f /s alone\n", lowest,
                kShareGoal, sumAll, sumAlone);
    std::printf("  CPU of the watch over %d: %.3f s in %.2f s wall = %.2f %% of one core (goal <= %.0f %%)\n", kSensors,
                all.cpuSeconds, all.wall, 100 * all.cpuSeconds / all.wall, kCpuGoal);
    std::printf("  CPU of the %d watches alone: %.3f s in %.2f s wall = %.2f %% of one core each\n", kSensors, aloneCpu,
                aloneWall, 100 * aloneCpu / aloneWall);

    // The first few again, behind ser2net, against the same sensors local (watched together both times).
    std::vector<QString> devices;
    QStringList local{"--com", QStringLiteral("1-%1").arg(kNetSensors)}, net, localKeys;
    for (int i = 0; i < kNetSensors; ++i) {
        devices.push_back(sensors[std::size_t(i)]->device);
        localKeys << names[i];
    }
    sensors.erase(sensors.begin() + kNetSensors, sensors.end()); // the others would only load the machine
    QProcess server;
    const QStringList urls = StartSer2Net(server, work, devices);
    if (urls.isEmpty())
        return std::fprintf(stderr, "bench: ser2net did not start (scripts/install-deps installs it)\n"), 1;
    for (const QString &u : urls)
        net << "--device" << u;
    const Run localRun = Watch(local, seconds, work.filePath(QStringLiteral("local.csv")));
    const Run netRun = Watch(net, seconds, work.filePath(QStringLiteral("net.csv")));
    server.terminate();
    server.waitForFinished(3000);
    std::printf("\n%d sensors through ser2net (RFC 2217, loopback) against the same %d local, watched together:\n",
                kNetSensors, kNetSensors);
    double lowestNet = 1e9;
    for (int i = 0; i < kNetSensors; ++i) {
        const double l = localRun.rate.value(localKeys[i]), n = netRun.rate.value(urls[i]);
        const double share = l > 0 ? 100 * n / l : 0;
        lowestNet = std::min(lowestNet, share);
        std::printf("  %-6s local %6.2f /s, ser2net %6.2f /s = %6.2f %%, %ld missing\n", qPrintable(localKeys[i]), l, n,
                    share, netRun.missing.value(urls[i]));
    }
    std::printf("  lowest share %.2f %% (goal >= %.0f %%)\n", lowestNet, kShareGoal);
    std::printf("  CPU: local %.3f s in %.2f s = %.2f %%, ser2net %.3f s in %.2f s = %.2f %% of one core (the "
                "watch alone; the server's own not counted)\n",
                localRun.cpuSeconds, localRun.wall, 100 * localRun.cpuSeconds / localRun.wall, netRun.cpuSeconds,
                netRun.wall, 100 * netRun.cpuSeconds / netRun.wall);
    return 0;
}
