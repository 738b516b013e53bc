// SPDX-License-Identifier: MIT
// Serial-port services on QSerialPort, driven by its blocking wait calls because the program reads
// replies without running an event loop. What differs between operating systems is in rs232_<os>.cpp.
#include "io/rs232.h"

#include "io/rs232_net.h"
#include "io/rs232_os.h"
#include "io/rs232_port.h"
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

// The one record of the serial services. Threads that each use ports of their own share the tables, so every
// look into them holds `mu`; an open port is used without it by the one thread that works the port (the table
// owns each port on the heap, so it stays where it is while others come and go).
struct SerialState {
    std::mutex mu;
    std::map<int, std::unique_ptr<rs232::OpenPort>> ports;
    // Ports whose last opening was refused for lack of permission, with the owning group of the device.
    std::map<int, std::string> denied;
    // Why the last opening of a port on a network address failed, in words.
    std::map<int, std::string> openErrors;
};

SerialState &Serial()
{
    static SerialState state;
    return state;
}

rs232::OpenPort *Find(int port)
{
    SerialState &s = Serial();
    const std::lock_guard lock(s.mu);
    const auto it = s.ports.find(port);
    return it == s.ports.end() ? nullptr : it->second.get();
}

// Takes the port out of the table; the caller closes it.
std::unique_ptr<rs232::OpenPort> TakeOut(int port)
{
    SerialState &s = Serial();
    const std::lock_guard lock(s.mu);
    const auto it = s.ports.find(port);
    if (it == s.ports.end())
        return nullptr;
    std::unique_ptr<rs232::OpenPort> p = std::move(it->second);
    s.ports.erase(it);
    return p;
}

// The one place where a call reaches the port, local or networked: one look into the table, then the port itself.
template <class Work>
int OnPort(int port, Work work)
{
    rs232::OpenPort *p = Find(port);
    return p ? work(*p) : kComErrNotOpen;
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

void NoteOpenError(int port, const std::string &why)
{
    SerialState &s = Serial();
    const std::lock_guard lock(s.mu);
    if (why.empty())
        s.openErrors.erase(port);
    else
        s.openErrors[port] = why;
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

// Nesting depth of ComServeEventsInWaits on this thread.
thread_local int servedWaits = 0;

// A device of this machine as the port table holds it.
class LocalPort final : public rs232::OpenPort {
public:
    LocalPort(std::unique_ptr<QSerialPort> sp, std::string path, int queueSize)
        : sp_(std::move(sp)), os_(rs232os::Attach(*sp_), rs232os::Release), queueSize_(std::max(1, queueSize)),
          path_(std::move(path))
    {
        WatchForHangUp();
    }
    ~LocalPort() override { LocalPort::Close(); }

    const std::string &Path() const override { return path_; }
    bool OnNetwork() const override { return false; }

    int SetTime(double timeoutSeconds) override
    {
        timeout_ = timeoutSeconds;
        return 0;
    }

    int SetCts(int mode) override
    {
        sp_->setFlowControl(mode == kCtsOff ? QSerialPort::NoFlowControl : QSerialPort::HardwareControl);
        return 0;
    }

    int Flush(bool input, bool output) override
    {
        // A device closed after a hang-up has nothing to discard.
        if (sp_->isOpen() && (input || output))
            sp_->clear(input && output ? QSerialPort::AllDirections : input ? QSerialPort::Input : QSerialPort::Output);
        sp_->clearError();
        return 0;
    }

    int Write(const void *buffer, int count) override
    {
        if (count <= 0)
            return 0;
        if (!sp_->isOpen())
            return kComErrIO; // its device was closed after a hang-up: nothing can go out
        // A request fits in the system's queue: written straight to the device it costs one call, where Qt's own
        // write would switch its write watch on and off and wait for the device to be ready first, waking the
        // event loop each time. Whatever the system does not take goes Qt's way, as does a refusal.
        int now = 0;
        if (sp_->bytesToWrite() == 0)
            now = std::max(0, rs232os::WriteNow(os_.get(), buffer, count));
        if (now == count)
            return count;
        buffer = static_cast<const char *>(buffer) + now;
        count -= now;
        const qint64 queued = sp_->write(static_cast<const char *>(buffer), count);
        if (queued < 0) {
            sp_->clearError();
            return now > 0 ? now : kComErrIO;
        }
        // Without an event loop nothing leaves the buffer unless we wait for it.
        const double deadline = Timer() + timeout_;
        while (sp_->bytesToWrite() > 0) {
            if (!sp_->waitForBytesWritten(std::max(1, MsUntil(deadline))) || Timer() >= deadline)
                break;
        }
        const qint64 pending = sp_->bytesToWrite();
        sp_->clearError();
        return now + static_cast<int>(queued - pending);
    }

    int InQLen() override
    {
        PumpEvery(0);
        return QueueLen();
    }

    int InQLenWait(int wanted, double deadline) override
    {
        wanted = std::min(wanted, queueSize_);
        if (servedWaits > 0 && sp_->thread() == QThread::currentThread())
            return WaitServingEvents(wanted, deadline);
        bool alive = Pump(*sp_, 0);
        for (;;) {
            const int n = QueueLen();
            if (n >= wanted || Timer() >= deadline)
                return n;
            if (!alive) {
                // A vanished device answers every wait at once: sleep out the time instead of spinning.
                SleepSeconds(deadline - Timer());
                return QueueLen();
            }
            // A wait that wakes has read what woke it: the next look needs no poll of its own.
            rs232os::WakeAtBytes(os_.get(), wanted - n);
            alive = Pump(*sp_, std::max(1, MsUntil(deadline)));
            rs232os::RestoreWake(os_.get());
        }
    }

    int Read(void *buffer, int count) override
    {
        if (count <= 0)
            return 0;
        if (!sp_->isOpen())
            return kComErrIO; // its device was closed after a hang-up
        const double deadline = Timer() + timeout_;
        while (sp_->bytesAvailable() < count && Timer() < deadline) {
            if (!PumpEvery(std::max(1, MsUntil(deadline))))
                break;
        }
        const qint64 n = sp_->read(static_cast<char *>(buffer), count);
        return n < 0 ? kComErrIO : static_cast<int>(n);
    }

    bool HungUp() override { return !sp_->isOpen() || rs232os::HungUp(os_.get()); }
    void HoldWake(int count) override { rs232os::HoldWake(os_.get(), count); }
    void ReleaseWake() override { rs232os::ReleaseWake(os_.get()); }

    void Close() override
    {
        if (!sp_)
            return;
        // Unsent output would make close() wait for it to drain at the line's speed. (A line that hung up while the
        // program idled is closed already.)
        if (sp_->isOpen())
            sp_->clear(QSerialPort::Output);
        sp_->close();
        os_.reset();
        sp_.reset();
    }

private:
    int QueueLen() const { return static_cast<int>(std::min<qint64>(sp_->bytesAvailable(), queueSize_)); }

    // Pump, for a look that must see every byte: poll() does not report fewer bytes than a held wake-up count.
    bool PumpEvery(int waitMs)
    {
        rs232os::WakeAtBytes(os_.get(), 1);
        const bool alive = Pump(*sp_, waitMs);
        rs232os::RestoreWake(os_.get());
        return alive;
    }

    // While the program idles in its event loop, Qt watches an open port for input. A line that has hung up
    // reads as ready forever (read() returns nothing, poll() reports the hang-up), so that watch would spin a
    // core until the port is closed. Stop watching such a line: its device is closed, while the port stays
    // open for the program, whose next transaction then finds the device gone as it would anyway.
    void WatchForHangUp()
    {
        QSerialPort *sp = sp_.get();
        QObject::connect(sp, &QSerialPort::errorOccurred, sp, [this, sp](QSerialPort::SerialPortError e) {
            // Every call on a dead line reports again. One look is enough, and a program without an event loop
            // never runs it at all: queueing one per error would grow without end there.
            if ((e != QSerialPort::ReadError && e != QSerialPort::ResourceError) || hangUpCheckQueued_)
                return;
            hangUpCheckQueued_ = true;
            // Not now: this may be inside one of our own blocking calls. The event loop runs it afterwards; the port
            // object outlives it, as the look goes with the QSerialPort that the port owns.
            QMetaObject::invokeMethod(
                sp,
                [this, sp] {
                    hangUpCheckQueued_ = false;
                    if (sp->isOpen() && rs232os::HungUp(os_.get())) {
                        sp->close();
                        os_.reset(rs232os::Attach(*sp)); // forget the old descriptor; its number may be reused
                    }
                },
                Qt::QueuedConnection);
        });
    }

    // GetInQLenWait inside the event loop. The port's own read notifier takes in what the system has received
    // once the wake-up count is there, so the loop sleeps until the reply, the deadline or some other event; a line
    // that hangs up is closed by its watch (WatchForHangUp) and the rest of the time passes with the port out of
    // the loop.
    int WaitServingEvents(int wanted, double deadline)
    {
        int n = QueueLen();
        if (n >= wanted || Timer() >= deadline)
            return n;
        bool over = false;
        QTimer end;
        end.setSingleShot(true);
        end.setTimerType(Qt::PreciseTimer);
        QObject::connect(&end, &QTimer::timeout, [&over] { over = true; });
        end.start(MsUntil(deadline));
        rs232os::WakeAtBytes(os_.get(), wanted - n);
        constexpr auto kServed = QEventLoop::WaitForMoreEvents | QEventLoop::ExcludeUserInputEvents;
        while (!over && (n = QueueLen()) < wanted)
            QCoreApplication::processEvents(kServed);
        rs232os::RestoreWake(os_.get());
        return QueueLen();
    }

    std::unique_ptr<QSerialPort> sp_;
    std::unique_ptr<rs232os::PortState, void (*)(rs232os::PortState *)> os_;
    int queueSize_ = 1;
    double timeout_ = kComDefaultTimeout;
    std::string path_;
    bool hangUpCheckQueued_ = false; // one look at a hung-up line is waiting for the event loop
};

std::unique_ptr<rs232::OpenPort> OpenLocal(int port, const std::string &path, long baudRate, int dataBits, int stopBits,
                                           int inputQueueSize, int *error)
{
    auto sp = std::make_unique<QSerialPort>();
    if ((*error = OpenDevice(*sp, path, port)) != 0)
        return nullptr;
    sp->setBaudRate(static_cast<qint32>(baudRate));
    sp->setDataBits(static_cast<QSerialPort::DataBits>(dataBits));
    sp->setParity(QSerialPort::NoParity);
    sp->setStopBits(stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
    sp->setFlowControl(QSerialPort::NoFlowControl);
    sp->setReadBufferSize(inputQueueSize);
    // A freshly opened device may still hold bytes from before; they belong to nobody.
    sp->clear();
    sp->clearError();
    return std::make_unique<LocalPort>(std::move(sp), path, inputQueueSize);
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
    (void)outputQueueSize;
    CloseCom(port);
    NoteDenied(port, nullptr);
    NoteOpenError(port, {});
    int error = 0;
    const std::string path = deviceName && *deviceName ? std::string(deviceName) : ComDeviceFor(port, &error);
    if (path.empty())
        return error ? error : kComErrBadPort;
    std::unique_ptr<rs232::OpenPort> opened;
    if (rs232net::IsAddress(path)) {
        std::string why;
        opened = rs232net::Open(path, baudRate, parity, dataBits, stopBits, inputQueueSize, &error, &why);
        NoteOpenError(port, why);
    } else {
        opened = OpenLocal(port, path, baudRate, dataBits, stopBits, inputQueueSize, &error);
    }
    if (!opened)
        return error;
    const std::lock_guard lock(Serial().mu);
    Serial().ports[port] = std::move(opened);
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
    rs232::OpenPort *p = Find(port);
    return !p || p->HungUp();
}

std::string ComOpenError(int port)
{
    const std::lock_guard lock(Serial().mu);
    const auto it = Serial().openErrors.find(port);
    return it == Serial().openErrors.end() ? std::string() : it->second;
}

bool ComOpenDenied(int port, std::string *group)
{
    const std::lock_guard lock(Serial().mu);
    const auto it = Serial().denied.find(port);
    group->assign(it == Serial().denied.end() ? std::string() : it->second);
    return it != Serial().denied.end();
}

bool ComOnNetwork(int port)
{
    const rs232::OpenPort *p = Find(port);
    return p && p->OnNetwork();
}

std::string ComDevicePath(int port)
{
    const rs232::OpenPort *p = Find(port);
    return p ? p->Path() : std::string();
}

int SetComTime(int port, double timeoutSeconds)
{
    return OnPort(port, [&](rs232::OpenPort &p) { return p.SetTime(timeoutSeconds); });
}

int SetCTSMode(int port, int mode)
{
    return OnPort(port, [&](rs232::OpenPort &p) { return p.SetCts(mode); });
}

int FlushInQ(int port)
{
    return OnPort(port, [](rs232::OpenPort &p) { return p.Flush(true, false); });
}

int FlushOutQ(int port)
{
    return OnPort(port, [](rs232::OpenPort &p) { return p.Flush(false, true); });
}

int FlushQueues(int port)
{
    return OnPort(port, [](rs232::OpenPort &p) { return p.Flush(true, true); });
}

int ComWrt(int port, const void *buffer, int count)
{
    return OnPort(port, [&](rs232::OpenPort &p) { return p.Write(buffer, count); });
}

int GetInQLen(int port)
{
    return OnPort(port, [](rs232::OpenPort &p) { return p.InQLen(); });
}

int GetInQLenWait(int port, int wanted, double deadline)
{
    rs232::OpenPort *p = Find(port);
    if (!p) {
        // The caller's loop runs until its deadline anyway; let that time pass asleep.
        SleepSeconds(deadline - Timer());
        return kComErrNotOpen;
    }
    return p->InQLenWait(wanted, deadline);
}

int ComHoldWake(int port, int count)
{
    return OnPort(port, [&](rs232::OpenPort &p) {
        p.HoldWake(count);
        return 0;
    });
}

int ComReleaseWake(int port)
{
    return OnPort(port, [](rs232::OpenPort &p) {
        p.ReleaseWake();
        return 0;
    });
}

int ComRd(int port, void *buffer, int count)
{
    return OnPort(port, [&](rs232::OpenPort &p) { return p.Read(buffer, count); });
}

int CloseCom(int port)
{
    std::unique_ptr<rs232::OpenPort> p = TakeOut(port);
    if (!p)
        return kComErrNotOpen;
    p->Close();
    return 0;
}
