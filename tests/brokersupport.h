// SPDX-License-Identifier: MIT
// A real mosquitto broker on a free loopback port, and a real mosquitto_sub reading what reaches it.
#pragma once

#include "loopback.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace brokersupport {

// The broker, configured in a temporary folder for the loopback address alone, anonymous, without persistence:
// a broker started again has forgotten every retained message, as a plant's broker may have.
class Broker {
public:
    Broker() : port_(loopback::FreeTcpPort())
    {
        QFile conf(dir_.filePath(QStringLiteral("mosquitto.conf")));
        conf.open(QIODevice::WriteOnly);
        conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n").arg(port_).toUtf8());
    }
    ~Broker() { stop(); }
    int port() const { return port_; }
    QString url(const QString &prefix) const { return QStringLiteral("mqtt://127.0.0.1:%1/%2").arg(port_).arg(prefix); }

    // Starts it and waits until it takes connections; false (with its output) otherwise.
    bool start()
    {
        const QString exe = QStandardPaths::findExecutable(QStringLiteral("mosquitto"),
                                                           {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
        if (exe.isEmpty()) {
            qWarning("mosquitto is not installed (scripts/install-deps installs it)");
            return false;
        }
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(exe, {QStringLiteral("-c"), dir_.filePath(QStringLiteral("mosquitto.conf"))});
        if (!process_.waitForStarted())
            return false;
        for (QElapsedTimer t; !t.isValid() || t.elapsed() < 5000; QTest::qWait(20)) {
            if (!t.isValid())
                t.start();
            if (process_.state() != QProcess::Running)
                break;
            if (process_.readAll().contains("running")) // "mosquitto version … running"
                return true;
        }
        qWarning("mosquitto did not start: %s", process_.readAll().constData());
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
    int port_;
    QProcess process_;
};

// mosquitto_sub on `topic` (a filter such as line4/#), each message as "topic payload"; retained ones included.
class Subscriber {
public:
    Subscriber(const Broker &broker, const QString &topic)
    {
        process_.start(QStringLiteral("mosquitto_sub"),
                       {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                        QString::number(broker.port()), QStringLiteral("-v"), QStringLiteral("-t"), topic});
    }
    ~Subscriber()
    {
        process_.kill();
        process_.waitForFinished(1000);
    }
    // Every message so far, in the order received.
    const QStringList &messages()
    {
        process_.waitForReadyRead(0);
        buffer_ += process_.readAllStandardOutput();
        for (qsizetype nl; (nl = buffer_.indexOf('\n')) >= 0; buffer_.remove(0, nl + 1))
            messages_ << QString::fromUtf8(buffer_.left(nl));
        return messages_;
    }
    // Those on topics ending in `leaf`.
    QStringList on(const QString &leaf)
    {
        QStringList found;
        for (const QString &m : messages())
            if (m.section(u' ', 0, 0).endsWith(leaf))
                found << m;
        return found;
    }
    bool running() const { return process_.state() == QProcess::Running; }

private:
    QProcess process_;
    QByteArray buffer_;
    QStringList messages_;
};

} // namespace brokersupport
