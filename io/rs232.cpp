// SPDX-License-Identifier: MIT
// Serial-port services on QSerialPort, driven by its blocking wait calls because the program reads
// replies without running an event loop. What differs between operating systems is in rs232_<os>.cpp.
#include "io/rs232.h"

#include "io/rs232_net.h"
#include "io/rs232_os.h"
#include "io/utility.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QSerialPort>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct ComPort {
    std::unique_ptr<QSerialPort> sp;
    std::unique_ptr<rs232os::PortState, void (*)(rs232os::PortState *)> os{nullptr, rs232os::Release};
    int queueSize = 1;
    double timeout = kComDefaultTimeout;
    std::string path;
    bool hangUpCheckQueued = false; // one look at a hung-up line is waiting for the event loop
};

// The one record of the serial services. Threads that each use ports of their own share the tables, so every
// look into them holds `mu`; a port's own record is used without it by the one thread that works the port (a
// map's entries stay where they are while others come and go).
struct SerialState {
    std::mutex mu;
    std::map<int, ComPort> ports;
    // Ports whose last opening was refused for lack of permission, with the owning group of the device.
    std::map<int, std::string> denied;
};

SerialState &Serial()
{
    static SerialState state;
    return state;
}

ComPort *Open(int port)
{
    SerialState &s = Serial();
    const std::lock_guard lock(s.mu);
    auto it = s.ports.find(port);
    return it == s.ports.end() ? nullptr : &it->second;
}

void NoteDenied(int port, const std::string *group)
{
    SerialState &s = Serial();
    const std::lock_guard lock(s.mu);
    if (group)
        s.denied[port] = *group;
    else
        s.denied.erase(port);
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

// While the program idles in its event loop, Qt watches an open port for input. A line that has hung up
// reads as ready forever (read() returns nothing, poll() reports the hang-up), so that watch would spin a
// core until the port is closed. Stop watching such a line: its device is closed, while the port stays
// open for the program, whose next transaction then finds the device gone as it would anyway.
void WatchForHangUp(int port, QSerialPort *sp)
{
    QObject::connect(sp, &QSerialPort::errorOccurred, sp, [port, sp](QSerialPort::SerialPortError e) {
        if (e != QSerialPort::ReadError && e != QSerialPort::ResourceError)
            return;
        ComPort *p = Open(port);
        // Every call on a dead line reports again. One look is enough, and a program without an event loop
        // never runs it at all: queueing one per error would grow without end there.
        if (!p || p->sp.get() != sp || p->hangUpCheckQueued)
            return;
        p->hangUpCheckQueued = true;
        // Not now: this may be inside one of our own blocking calls. The event loop runs it afterwards.
        QMetaObject::invokeMethod(
            sp,
            [port, sp] {
                ComPort *q = Open(port);
                if (!q || q->sp.get() != sp)
                    return;
                q->hangUpCheckQueued = false;
                if (sp->isOpen() && rs232os::HungUp(q->os.get())) {
                    sp->close();
                    q->os.reset(rs232os::Attach(*sp)); // forget the old descriptor; its number may be reused
                }
            },
            Qt::QueuedConnection);
    });
}

// Why a device could not be opened, in the codes the program knows. Whatever exists under the name but
// cannot serve as a serial port (a directory, a plain file, a link that loops, a port in use, no permission)
// cannot be opened; a name that leads nowhere (a dangling link, a vanished device) is no port at all.
int OpenFailure(const std::string &path)
{
    std::error_code ec;
    const bool exists = std::filesystem::exists(path, ec);
    if (!exists && ec != std::errc::too_many_symbolic_link_levels)
        return kComErrBadPort;
    return kComErrCannotOpen;
}

// Opens `path` as a serial device, as every caller does; on failure returns the code and notes a refusal by the
// system's permissions for `port`.
int OpenDevice(QSerialPort &sp, const std::string &path, int port)
{
    sp.setPortName(QString::fromStdString(path));
    if (sp.open(QIODevice::ReadWrite))
        return 0;
    // Qt reports a busy device as a permission error too; only the system's permissions tell them apart.
    if (std::string group; rs232os::AccessDenied(path, &group))
        NoteDenied(port, &group);
    return OpenFailure(path);
}

int QueueLen(const ComPort &p)
{
    return static_cast<int>(std::min<qint64>(p.sp->bytesAvailable(), p.queueSize));
}

// Pump, for a look that must see every byte: poll() does not report fewer bytes than a held wake-up count.
bool PumpEvery(ComPort &p, int waitMs)
{
    rs232os::WakeAtBytes(p.os.get(), 1);
    const bool alive = Pump(*p.sp, waitMs);
    rs232os::RestoreWake(p.os.get());
    return alive;
}

// Nesting depth of ComServeEventsInWaits on this thread.
thread_local int servedWaits = 0;

// GetInQLenWait inside the event loop. The port's own read notifier takes in what the system has received once
// the wake-up count is there, so the loop sleeps until the reply, the deadline or some other event; a line that
// hangs up is closed by its watch (WatchForHangUp) and the rest of the time passes with the port out of the loop.
int WaitServingEvents(ComPort &p, int wanted, double deadline)
{
    int n = QueueLen(p);
    if (n >= wanted || Timer() >= deadline)
        return n;
    bool over = false;
    QTimer end;
    end.setSingleShot(true);
    end.setTimerType(Qt::PreciseTimer);
    QObject::connect(&end, &QTimer::timeout, [&over] { over = true; });
    end.start(MsUntil(deadline));
    rs232os::WakeAtBytes(p.os.get(), wanted - n);
    constexpr auto kServed = QEventLoop::WaitForMoreEvents | QEventLoop::ExcludeUserInputEvents;
    while (!over && (n = QueueLen(p)) < wanted)
        QCoreApplication::processEvents(kServed);
    rs232os::RestoreWake(p.os.get());
    return QueueLen(p);
}

} // namespace

void ComServeEventsInWaits(bool on)
{
    servedWaits = std::max(0, servedWaits + (on ? 1 : -1));
}

bool ComIsAddress(const std::string &device)
{
    return rs232net::IsAddress(device);
}

std::string ComAddressProblem(const std::string &address)
{
    return rs232net::AddressProblem(address);
}

int OpenComConfig(int port, const char *deviceName, long baudRate, int parity, int dataBits, int stopBits,
                  int inputQueueSize, int outputQueueSize)
{
    (void)parity;
    (void)outputQueueSize;
    if (Open(port) || rs232net::IsOpen(port))
        CloseCom(port);
    NoteDenied(port, nullptr);
    rs232net::ForgetOpenError(port);
    int error = 0;
    const std::string path = deviceName && *deviceName ? std::string(deviceName) : ComDeviceFor(port, &error);
    if (path.empty())
        return error ? error : kComErrBadPort;
    if (rs232net::IsAddress(path))
        return rs232net::Open(port, path, baudRate, parity, dataBits, stopBits, inputQueueSize);

    auto sp = std::make_unique<QSerialPort>();
    if (const int failed = OpenDevice(*sp, path, port))
        return failed;
    sp->setBaudRate(static_cast<qint32>(baudRate));
    sp->setDataBits(static_cast<QSerialPort::DataBits>(dataBits));
    sp->setParity(QSerialPort::NoParity);
    sp->setStopBits(stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
    sp->setFlowControl(QSerialPort::NoFlowControl);
    sp->setReadBufferSize(inputQueueSize);
    // A freshly opened device may still hold bytes from before; they belong to nobody.
    sp->clear();
    sp->clearError();

    ComPort p;
    p.os.reset(rs232os::Attach(*sp));
    QSerialPort *watched = sp.get();
    p.sp = std::move(sp);
    p.queueSize = std::max(1, inputQueueSize);
    p.path = path;
    {
        const std::lock_guard lock(Serial().mu);
        Serial().ports[port] = std::move(p);
    }
    WatchForHangUp(port, watched);
    return 0;
}

int ComProbe(const char *devicePath)
{
    QSerialPort sp;
    // A number no caller uses, so a refusal noted here cannot be taken for one of a real port.
    constexpr int kProbePort = -1;
    const int r = OpenDevice(sp, devicePath, kProbePort);
    NoteDenied(kProbePort, nullptr);
    if (r == 0)
        sp.close();
    return r;
}

bool ComHungUp(int port)
{
    if (rs232net::IsOpen(port))
        return rs232net::HungUp(port);
    ComPort *p = Open(port);
    return !p || !p->sp->isOpen() || rs232os::HungUp(p->os.get());
}

std::string ComOpenError(int port)
{
    return rs232net::OpenError(port);
}

bool ComOpenDenied(int port, std::string *group)
{
    const std::lock_guard lock(Serial().mu);
    const auto it = Serial().denied.find(port);
    group->assign(it == Serial().denied.end() ? std::string() : it->second);
    return it != Serial().denied.end();
}

std::string ComDevicePath(int port)
{
    if (rs232net::IsOpen(port))
        return rs232net::DevicePath(port);
    const ComPort *p = Open(port);
    return p ? p->path : std::string();
}

int SetComTime(int port, double timeoutSeconds)
{
    if (rs232net::IsOpen(port))
        return rs232net::SetTime(port, timeoutSeconds);
    ComPort *p = Open(port);
    if (!p)
        return kComErrNotOpen;
    p->timeout = timeoutSeconds;
    return 0;
}

int SetCTSMode(int port, int mode)
{
    if (rs232net::IsOpen(port))
        return rs232net::SetCts(port, mode);
    ComPort *p = Open(port);
    if (!p)
        return kComErrNotOpen;
    p->sp->setFlowControl(mode == kCtsOff ? QSerialPort::NoFlowControl : QSerialPort::HardwareControl);
    return 0;
}

int FlushInQ(int port)
{
    if (rs232net::IsOpen(port))
        return rs232net::FlushIn(port);
    ComPort *p = Open(port);
    if (!p)
        return kComErrNotOpen;
    // A device closed after a hang-up has nothing to discard.
    if (p->sp->isOpen())
        p->sp->clear(QSerialPort::Input);
    p->sp->clearError();
    return 0;
}

int FlushOutQ(int port)
{
    if (rs232net::IsOpen(port))
        return rs232net::FlushOut(port);
    ComPort *p = Open(port);
    if (!p)
        return kComErrNotOpen;
    // A device closed after a hang-up has nothing to discard.
    if (p->sp->isOpen())
        p->sp->clear(QSerialPort::Output);
    p->sp->clearError();
    return 0;
}

int ComWrt(int port, const void *buffer, int count)
{
    if (rs232net::IsOpen(port))
        return rs232net::Write(port, buffer, count);
    ComPort *p = Open(port);
    if (!p)
        return kComErrNotOpen;
    if (count <= 0)
        return 0;
    if (!p->sp->isOpen())
        return kComErrIO; // its device was closed after a hang-up: nothing can go out
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
    if (rs232net::IsOpen(port))
        return rs232net::InQLen(port);
    ComPort *p = Open(port);
    if (!p)
        return kComErrNotOpen;
    PumpEvery(*p, 0);
    return QueueLen(*p);
}

int GetInQLenWait(int port, int wanted, double deadline)
{
    if (rs232net::IsOpen(port))
        return rs232net::InQLenWait(port, wanted, deadline);
    ComPort *p = Open(port);
    if (!p) {
        // The caller's loop runs until its deadline anyway; let that time pass asleep.
        SleepSeconds(deadline - Timer());
        return kComErrNotOpen;
    }
    wanted = std::min(wanted, p->queueSize);
    if (servedWaits > 0 && p->sp->thread() == QThread::currentThread())
        return WaitServingEvents(*p, wanted, deadline);
    bool alive = Pump(*p->sp, 0);
    for (;;) {
        const int n = QueueLen(*p);
        if (n >= wanted || Timer() >= deadline)
            return n;
        if (!alive) {
            // A vanished device answers every wait at once: sleep out the time instead of spinning.
            SleepSeconds(deadline - Timer());
            return QueueLen(*p);
        }
        // A wait that wakes has read what woke it: the next look needs no poll of its own.
        rs232os::WakeAtBytes(p->os.get(), wanted - n);
        alive = Pump(*p->sp, std::max(1, MsUntil(deadline)));
        rs232os::RestoreWake(p->os.get());
    }
}

int ComHoldWake(int port, int count)
{
    if (rs232net::IsOpen(port))
        return 0;
    ComPort *p = Open(port);
    if (!p)
        return kComErrNotOpen;
    rs232os::HoldWake(p->os.get(), count);
    return 0;
}

int ComReleaseWake(int port)
{
    if (rs232net::IsOpen(port))
        return 0;
    ComPort *p = Open(port);
    if (!p)
        return kComErrNotOpen;
    rs232os::ReleaseWake(p->os.get());
    return 0;
}

int ComRd(int port, void *buffer, int count)
{
    if (rs232net::IsOpen(port))
        return rs232net::Read(port, buffer, count);
    ComPort *p = Open(port);
    if (!p)
        return kComErrNotOpen;
    if (count <= 0)
        return 0;
    if (!p->sp->isOpen())
        return kComErrIO; // its device was closed after a hang-up
    const double deadline = Timer() + p->timeout;
    while (p->sp->bytesAvailable() < count && Timer() < deadline) {
        if (!PumpEvery(*p, std::max(1, MsUntil(deadline))))
            break;
    }
    const qint64 n = p->sp->read(static_cast<char *>(buffer), count);
    return n < 0 ? kComErrIO : static_cast<int>(n);
}

int CloseCom(int port)
{
    if (rs232net::IsOpen(port))
        return rs232net::Close(port);
    ComPort p;
    {
        const std::lock_guard lock(Serial().mu);
        auto it = Serial().ports.find(port);
        if (it == Serial().ports.end())
            return kComErrNotOpen;
        p = std::move(it->second);
        Serial().ports.erase(it);
    }
    // Unsent output would make close() wait for it to drain at the line's speed. (A line that hung up while the
    // program idled is closed already.)
    if (p.sp->isOpen())
        p.sp->clear(QSerialPort::Output);
    p.sp->close();
    return 0;
}
