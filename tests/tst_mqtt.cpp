// SPDX-License-Identifier: MIT
// Publishing to the plant network against a real mosquitto on loopback, read back with a real mosquitto_sub.
#include "brokersupport.h"
#include "linesupport.h"
#include "testsupport.h"

#include "io/mqtt.h"
#include "sensor_sim.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <csignal>

using namespace brokersupport;

namespace {

// A publisher of `sessions` sensors to the broker under `prefix`: sensor N's state (its will "offline") on
// PREFIX/sN/state.
std::unique_ptr<mqtt::Publisher> StartPublisher(const Broker &broker, const QString &prefix, int sessions,
                                                std::size_t queueLimit = mqtt::kQueueLimit)
{
    mqtt::Broker b;
    std::string why;
    if (!mqtt::ParseUrl(broker.url(prefix).toStdString(), &b, &why))
        return nullptr;
    auto p = std::make_unique<mqtt::Publisher>(b, queueLimit);
    for (int n = 0; n < sessions; ++n)
        p->AddSession(b.prefix + "/s" + std::to_string(n) + "/state", "offline");
    return p->Start(&why) ? std::move(p) : nullptr;
}

std::string Topic(const QString &prefix, int sensor)
{
    return QStringLiteral("%1/s%2/measurement").arg(prefix).arg(sensor).toStdString();
}

const QString kCli = QStringLiteral(SCOPE_BIN_DIR "/quillex-scope-cli");

QString WriteLine(const QTemporaryDir &dir, const QStringList &names)
{
    QFile f(dir.filePath(QStringLiteral("line.toml")));
    f.open(QIODevice::WriteOnly);
    for (int i = 0; i < names.size(); ++i)
        f.write(QStringLiteral("[[sensor]]\nname = \"%1\"\nport = \"com%2\"\n\n").arg(names[i]).arg(i + 3).toUtf8());
    return f.fileName();
}

// Measurement lines in the CSV so far, or those measured from `from` on and before `to`.
int Lines(const QString &csv, const QDateTime &from = {}, const QDateTime &to = {})
{
    QFile f(csv);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    int n = 0;
    for (const QByteArray &l : f.readAll().split('\n')) {
        if (l.isEmpty() || l[0] < '0' || l[0] > '9')
            continue;
        const QDateTime at = QDateTime::fromString(QString::fromLatin1(l.left(l.indexOf(','))), Qt::ISODateWithMs);
        n += !from.isValid() || (at >= from && at < to);
    }
    return n;
}

} // namespace

class TstMqtt : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { testsupport::PrivatePortDir(); }

    void brokerAddressesAreReadOrRefusedInWords_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("parsed"); // host|port|prefix, or the error
        QTest::newRow("host, port and prefix") << "mqtt://broker.plant:1884/plant/line4"
                                               << "broker.plant|1884|plant/line4";
        QTest::newRow("default port") << "mqtt://10.0.4.2/line4/"
                                      << "10.0.4.2|1883|line4";
        QTest::newRow("no prefix") << "mqtt://localhost"
                                   << "localhost|1883|";
        QTest::newRow("IPv6") << "mqtt://[fd00::2]:1883/l"
                              << "fd00::2|1883|l";
        QTest::newRow("TLS") << "mqtts://b/l"
                             << "mqtts://b/l: TLS is not supported, only plain mqtt://";
        QTest::newRow("another scheme") << "tcp://b:1883/l"
                                        << "tcp://b:1883/l: not an mqtt:// address (write mqtt://HOST[:PORT]/PREFIX)";
        QTest::newRow("no host") << "mqtt:///l"
                                 << "mqtt:///l: no host (write mqtt://HOST[:PORT]/PREFIX)";
        QTest::newRow("port 0") << "mqtt://b:0/l"
                                << "mqtt://b:0/l: the port must be a number from 1 to 65535";
        QTest::newRow("port not a number") << "mqtt://b:x/l"
                                           << "mqtt://b:x/l: the port must be a number from 1 to 65535";
        QTest::newRow("a wildcard in the prefix")
            << "mqtt://b/plant/+"
            << "mqtt://b/plant/+: the prefix may hold neither + nor # nor an empty level";
        QTest::newRow("an empty level") << "mqtt://b/a//c"
                                        << "mqtt://b/a//c: the prefix may hold neither + nor # nor an "
                                           "empty level";
        QTest::newRow("an unclosed IPv6 address") << "mqtt://[fd00::2/l"
                                                  << "mqtt://[fd00::2/l: the IPv6 address has no "
                                                     "closing ]";
    }

    void brokerAddressesAreReadOrRefusedInWords()
    {
        QFETCH(QString, url);
        QFETCH(QString, parsed);
        mqtt::Broker b;
        std::string why;
        const QString got = mqtt::ParseUrl(url.toStdString(), &b, &why) ? QStringLiteral("%1|%2|%3")
                                                                              .arg(QString::fromStdString(b.host))
                                                                              .arg(b.port)
                                                                              .arg(QString::fromStdString(b.prefix))
                                                                        : QString::fromStdString(why);
        QCOMPARE(got, parsed);
    }

    void messagesArriveInOrderAndStatesAreRetainedUntilTheWillOrAnOrderlyEnd_data()
    {
        QTest::addColumn<bool>("orderly"); // Stop with time to say offline, or a drop that leaves it to the will
        QTest::newRow("orderly end") << true;
        QTest::newRow("dropped connection: the will") << false;
    }

    void messagesArriveInOrderAndStatesAreRetainedUntilTheWillOrAnOrderlyEnd()
    {
        QFETCH(bool, orderly);
        Broker broker;
        QVERIFY(broker.start());
        auto p = StartPublisher(broker, QStringLiteral("line4"), 2);
        QVERIFY(p);
        p->Retain(0, "online");
        p->Retain(1, "silent");
        QTRY_COMPARE_WITH_TIMEOUT(p->connected(), 2, 10000);
        // A subscriber that comes later still learns each sensor's state: it is retained.
        Subscriber sub(broker, QStringLiteral("line4/#"));
        QTRY_COMPARE_WITH_TIMEOUT(sub.on(QStringLiteral("/state")).size(), 2, 10000);
        QCOMPARE(sub.on(QStringLiteral("/state")).size(), 2);
        QVERIFY(sub.messages().contains(QStringLiteral("line4/s0/state online")));
        QVERIFY(sub.messages().contains(QStringLiteral("line4/s1/state silent")));
        constexpr int kEach = 300;
        for (int n = 0; n < kEach; ++n)
            for (int s = 0; s < 2; ++s)
                p->Publish(s, Topic(QStringLiteral("line4"), s), std::to_string(n));
        QTRY_COMPARE_WITH_TIMEOUT(sub.on(QStringLiteral("/measurement")).size(), 2 * kEach, 10000);
        for (int s = 0; s < 2; ++s) {
            const QStringList got = sub.on(QStringLiteral("s%1/measurement").arg(s));
            for (int n = 0; n < kEach; ++n)
                QCOMPARE(got[n], QStringLiteral("line4/s%1/measurement %2").arg(s).arg(n));
        }
        QCOMPARE(p->sent(), 2L * kEach);
        QCOMPARE(p->dropped(), 0L);
        p->Retain(1, "online");
        QTRY_VERIFY_WITH_TIMEOUT(sub.messages().contains(QStringLiteral("line4/s1/state online")), 10000);
        if (orderly)
            p->Stop(5);
        p.reset();
        QTRY_COMPARE_WITH_TIMEOUT(sub.on(QStringLiteral("/state")).filter(QStringLiteral(" offline")).size(), 2, 10000);
        QCOMPARE(sub.on(QStringLiteral("/state")).size(), 5);
    }

    void aBrokerThatIsDownOrGoesAwayCostsOnlyTheQueuesBound()
    {
        Broker broker;
        constexpr std::size_t kLimit = 50;
        auto p = StartPublisher(broker, QStringLiteral("l"), 1, kLimit);
        QVERIFY(p);
        QStringList notes;
        const auto told = [&] {
            for (const std::string &s : p->TakeNotes())
                notes << QString::fromStdString(s);
            return notes.size();
        };
        p->Retain(0, "online");
        // Down from the start: told once, the oldest dropped beyond the bound.
        for (int n = 0; n < 400; ++n)
            p->Publish(0, Topic(QStringLiteral("l"), 0), std::to_string(n));
        QTRY_COMPARE_WITH_TIMEOUT(told(), 1, 10000);
        QTest::qWait(2500); // a second and a third try, told no more
        QCOMPARE(told(), 1);
        QCOMPARE(notes[0], QStringLiteral("cannot reach the broker at 127.0.0.1:%1: Connection refused; trying again "
                                          "every 5 s at most")
                               .arg(broker.port()));
        QCOMPARE(p->dropped(), 400L - long(kLimit));
        QVERIFY(broker.start());
        QTRY_COMPARE_WITH_TIMEOUT(p->connected(), 1, 15000);
        Subscriber sub(broker, QStringLiteral("l/#"));
        QTRY_COMPARE_WITH_TIMEOUT(sub.on(QStringLiteral("/state")), QStringList{QStringLiteral("l/s0/state online")},
                                  10000);
        QCOMPARE(p->sent(), long(kLimit)); // the newest, kept while the broker was away

        // Gone while in use, and back: the state is said again to the broker that has forgotten it.
        broker.stop();
        QTRY_COMPARE_WITH_TIMEOUT(p->connected(), 0, 10000);
        for (int n = 0; n < 100; ++n)
            p->Publish(0, Topic(QStringLiteral("l"), 0), "again " + std::to_string(n));
        QVERIFY(broker.start());
        QTRY_COMPARE_WITH_TIMEOUT(p->connected(), 1, 15000);
        Subscriber after(broker, QStringLiteral("l/#"));
        QTRY_COMPARE_WITH_TIMEOUT(after.on(QStringLiteral("/state")), QStringList{QStringLiteral("l/s0/state online")},
                                  10000);
        QCOMPARE(p->dropped(), 400L - long(kLimit) + 100 - long(kLimit));
        told();
        QVERIFY2(notes.size() == 4 && notes[1].startsWith(QLatin1String("connected to the broker at 127.0.0.1:")) &&
                     notes[2].startsWith(QLatin1String("lost the broker at 127.0.0.1:")) &&
                     notes[3].startsWith(QLatin1String("connected to the broker at 127.0.0.1:")),
                 qPrintable(notes.join(u'\n')));
    }

    void aWatchPublishesMeasurementsAndStatesAndItsWillWhenKilled()
    {
        Broker broker;
        QVERIFY(broker.start());
        QTemporaryDir dir;
        sim::SensorSim inlet(sim::Options{.com = 3});
        QVERIFY(inlet.start());
        Subscriber sub(broker, QStringLiteral("line4/#"));
        QProcess watch;
        watch.start(kCli, {"watch", "--line", WriteLine(dir, {"inlet"}), "--timeout", "0.5", "--csv",
                           dir.filePath(QStringLiteral("l.csv")), "--mqtt", broker.url(QStringLiteral("line4"))});
        QTRY_VERIFY_WITH_TIMEOUT(sub.on(QStringLiteral("inlet/measurement")).size() >= 20, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(sub.on(QStringLiteral("/state")),
                                  QStringList{QStringLiteral("line4/inlet/state online")}, 10000);
        const QJsonObject m =
            QJsonDocument::fromJson(sub.on(QStringLiteral("/measurement")).last().section(u' ', 1).toUtf8()).object();
        for (const char *key : {"time", "R", "G", "B", "X", "Y", "INT", "COL"})
            QVERIFY2(m.contains(QLatin1String(key)), key);
        QVERIFY(m.value(QLatin1String("X")).toInt() > 0);

        inlet.hangUpNow();
        QTRY_VERIFY_WITH_TIMEOUT(sub.messages().contains(QStringLiteral("line4/inlet/state silent")), 20000);
        QVERIFY(inlet.reopen());
        QTRY_COMPARE_WITH_TIMEOUT(sub.on(QStringLiteral("/state")).size(), 3, 20000);
        QCOMPARE(sub.on(QStringLiteral("/state")).last(), QStringLiteral("line4/inlet/state online"));

        ::kill(pid_t(watch.processId()), SIGKILL); // no orderly end: the broker says it for the dead client
        QVERIFY(watch.waitForFinished(5000));
        QTRY_COMPARE_WITH_TIMEOUT(sub.on(QStringLiteral("/state")).last(), QStringLiteral("line4/inlet/state offline"),
                                  20000);
    }

    void aBrokerStoppedAndStartedAgainCostsThePollingNothing()
    {
        Broker broker;
        QVERIFY(broker.start());
        QTemporaryDir dir;
        sim::SensorSim a(sim::Options{.com = 3}), b(sim::Options{.com = 4});
        QVERIFY(a.start() && b.start());
        a.setPacing(19200); // the pace of a real line, which the broker must not slow
        b.setPacing(19200);
        const QString csv = dir.filePath(QStringLiteral("l.csv"));
        QProcess watch;
        watch.start(kCli, {"watch", "--line", WriteLine(dir, {"a", "b"}), "--timeout", "0.5", "--csv", csv, "--mqtt",
                           broker.url(QStringLiteral("l"))});
        QTRY_VERIFY_WITH_TIMEOUT(Lines(csv) >= 40, 20000);
        // Each period long enough for two lines at 19200 baud to give some 160 measurements.
        constexpr int kPeriodMs = 3000;
        // By the lines' own times: the log hands lines to the file every half second.
        const auto rateOver = [&] {
            const QDateTime from = QDateTime::currentDateTime();
            QTest::qWait(kPeriodMs);
            const QDateTime to = QDateTime::currentDateTime();
            QTest::qWait(1000);
            return Lines(csv, from, to) * 1000.0 / double(from.msecsTo(to));
        };
        const double connected = rateOver();
        const long rssConnected = linesupport::UsageOf(watch.processId()).rssKb;
        broker.stop();
        const double down = rateOver();
        const double longDown = rateOver();
        const long rssDown = linesupport::UsageOf(watch.processId()).rssKb;
        QVERIFY(broker.start());
        Subscriber sub(broker, QStringLiteral("l/#"));
        QTRY_VERIFY_WITH_TIMEOUT(sub.on(QStringLiteral("/measurement")).size() >= 20, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(sub.on(QStringLiteral("/state")).size(), 2, 10000); // said again to the new broker
        qInfo("measurements/s: %.1f connected, %.1f and %.1f without the broker; resident %ld kB, then %ld kB",
              connected, down, longDown, rssConnected, rssDown);
        QVERIFY2(down >= 0.9 * connected && longDown >= 0.9 * connected, "the polling slowed without the broker");
        // The queues hold a bounded number of measurements: far less than a megabyte.
        QVERIFY2(testsupport::kSanitized || rssDown - rssConnected < 4096, "memory grew without the broker");
        watch.terminate();
        QVERIFY(watch.waitForFinished(10000));
        const QString err = QString::fromUtf8(watch.readAllStandardError());
        QVERIFY2(err.contains(QLatin1String("MQTT: lost the broker at 127.0.0.1:")) &&
                     err.indexOf(QLatin1String("MQTT: connected to the broker"),
                                 err.indexOf(QLatin1String("MQTT: lost the broker"))) > 0,
                 qPrintable(err));
    }
};

QTEST_MAIN(TstMqtt)
#include "tst_mqtt.moc"
