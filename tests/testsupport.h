// SPDX-License-Identifier: MIT
// Shared fixtures of the test suites: the real panel, a private port directory, recorded popups.
#pragma once

#include "app/QuillexEMBV10.h"
#include "app/callbacks.h"
#include "core/ScopeState.h"
#include "core/controls.h"
#include "io/portdir.h"
#include "panel/port.h"
#include "ui/qtaccess.h"
#include "io/rs232.h"
#include "ui/userint.h"

#include "sensor_sim.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <QtTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/capability.h>
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Points the per-user port directory at a fresh temporary folder, so tests never meet a real
// simulator or another test's links.
inline QTemporaryDir &PrivatePortDir()
{
    static QTemporaryDir dir;
    qputenv("XDG_RUNTIME_DIR", dir.path().toLocal8Bit());
    SetComPortDirectory(portdir::Directory().c_str());
    return dir;
}

// Loads MainPanel as WinMain does (without showing it or connecting) and runs InitVars; a test may bind
// the names through a table of its own.
inline bool LoadScopePanel(const CallbackEntry *table = nullptr, int count = 0)
{
    ResetScopeState();
    InitUIRunTime(nullptr);
    if (!table)
        table = ScopeCallbackTable(&count);
    SetCallbackTable(table, count);
    SetControlNames(kCtrlNames, kCtrlClasses, kCtrlCount);
    st.panel = LoadPanel(0, kPanelFile, kPanelNumber);
    if (st.panel < 0)
        return false;
    GetProjectDir(st.proj_dir);
    InitVars();
    return true;
}

inline void DiscardScopePanel()
{
    if (PanelWidget(st.panel))
        DiscardPanel(st.panel);
}

inline QWidget *W(int control)
{
    return CtrlWidget(st.panel, control);
}

inline QString Status()
{
    char text[256];
    GetCtrlVal(st.panel, DispStatus, text);
    return QString::fromUtf8(text);
}

// The message line's news without its time stamp; a line that has none comes back marked, so it compares unequal.
inline QString Message()
{
    char text[256];
    GetCtrlVal(st.panel, MessageLine, text);
    const QString line = QString::fromUtf8(text);
    static const QRegularExpression stamped(QStringLiteral("^(.*) \u00b7 \\d\\d:\\d\\d:\\d\\d$"));
    const QRegularExpressionMatch m = stamped.match(line);
    return m.hasMatch() ? m.captured(1) : QStringLiteral("<no time stamp> ") + line;
}

inline int Val(int control)
{
    int v = -1;
    GetCtrlVal(st.panel, control, &v);
    return v;
}

inline int Attr(int control, int attribute)
{
    int v = -1;
    GetCtrlAttribute(st.panel, control, attribute, &v);
    return v;
}

inline uint16_t Cell(int column, int row)
{
    uint16_t v = 0;
    GetTableCellVal(st.panel, TeachTable, MakePoint(column, row), &v);
    return v;
}

// Polling runs until something clears poll; a fault that never does would hang a suite until CTest's limit.
// While a watchdog lives it clears poll after `seconds` and remembers that it had to.
class PollWatchdog {
public:
    explicit PollWatchdog(double seconds = 30)
    {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            fired_ = true;
            st.poll = 0;
        });
        timer_.start(static_cast<int>(seconds * 1000));
    }
    bool fired() const { return fired_; }

private:
    QTimer timer_;
    bool fired_ = false;
};

// Clicks a control as a user would. A click on GO runs the polling loop until it ends, under a watchdog.
inline void Click(int control)
{
    PollWatchdog dog;
    QTest::mouseClick(W(control), Qt::LeftButton);
    if (dog.fired())
        QFAIL(qPrintable(QStringLiteral("%1 was still running after 30 s: the watchdog stopped polling")
                             .arg(QString::fromLatin1(CtrlName(control)))));
}

// Runs the whole program (WinMain) and, once its window is on screen, `onShown` with that window from inside
// its event loop. Returns WinMain's result.
inline int RunProgram(const std::function<void(QWidget *)> &onShown, void *hInstance = nullptr)
{
    QTimer starter;
    QObject::connect(&starter, &QTimer::timeout, [&] {
        QWidget *w = PanelWidget(st.panel);
        if (!w || !w->isVisible())
            return;
        starter.stop();
        onShown(w);
    });
    starter.start(20);
    return WinMain(hInstance, nullptr, nullptr, 0);
}

// Records popups for the lifetime of the object instead of showing modal boxes.
struct PopupRecorder {
    std::vector<PopupRecord> popups;
    PopupRecorder()
    {
        InitUIRunTime(nullptr);
        SetPopupSink(&popups);
    }
    ~PopupRecorder() { SetPopupSink(nullptr); }
};

// Shows the loaded panel and connects it as start-up does, then waits out the guard interval of the
// parameter read that ends the connection. From then on popups go to the returned recorder.
inline std::unique_ptr<PopupRecorder> ShowAndConnect()
{
    PanelWidget(st.panel)->show();
    if (!QTest::qWaitForWindowExposed(PanelWidget(st.panel)))
        return nullptr;
    auto popups = std::make_unique<PopupRecorder>();
    InitRS232(st.com);
    QTest::qWait(250);
    return popups;
}

// The simulator records frames on its own thread: waits until no more arrive, then reads them.
inline std::vector<std::vector<uint8_t>> SettledFrames(const sim::SensorSim &sensor)
{
    size_t n = sensor.framesSeen();
    for (;;) {
        QThread::msleep(40);
        const size_t now = sensor.framesSeen();
        if (now == n)
            return sensor.frames();
        n = now;
    }
}

// Each transfer test's start: a fresh simulated sensor and the panel loaded, shown and connected to it, with the
// frames of the connection forgotten and popups recorded from then on.
inline void ConnectToFreshSensor(std::unique_ptr<sim::SensorSim> &sensor, std::unique_ptr<PopupRecorder> &popups)
{
    sensor = std::make_unique<sim::SensorSim>();
    QVERIFY(sensor->start());
    QVERIFY(LoadScopePanel());
    popups = ShowAndConnect();
    QVERIFY(popups && popups->popups.empty());
    SettledFrames(*sensor);
    sensor->clearFrames();
}

// And its end: polling stopped, the port closed, panel and sensor gone.
inline void DisconnectSensor(std::unique_ptr<sim::SensorSim> &sensor, std::unique_ptr<PopupRecorder> &popups)
{
    st.poll = 0;
    popups.reset();
    CloseCom(st.com);
    DiscardScopePanel();
    sensor.reset();
}

// How the terminal at `path` wakes a blocking wait: its VMIN and VTIME. Termios belong to the terminal, not to a
// descriptor, so any descriptor this process holds on it will do (an open port keeps others out); else one is
// opened for the look. {-1, -1} when there is no such terminal.
inline std::pair<int, int> TerminalWaking(const std::string &path)
{
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        if (std::filesystem::read_symlink(entry.path(), ec) != path)
            continue;
        termios t{};
        if (tcgetattr(std::stoi(entry.path().filename().string()), &t) == 0)
            return {t.c_cc[VMIN], t.c_cc[VTIME]};
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    const bool read = fd >= 0 && tcgetattr(fd, &t) == 0;
    if (fd >= 0)
        ::close(fd);
    return read ? std::pair<int, int>(t.c_cc[VMIN], t.c_cc[VTIME]) : std::pair<int, int>(-1, -1);
}

// CPU seconds (user + system) this process has used.
inline double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

// A device file nobody may read or write (mode 0), linked as comN in the port directory.
// The first group this process is not in (1 and up), for a device a user could be let into by joining it.
inline gid_t GroupNotMine()
{
    gid_t own[256];
    const int n = ::getgroups(256, own);
    gid_t other = 1;
    while (other == ::getegid() || std::find(own, own + std::max(n, 0), other) != own + std::max(n, 0))
        ++other;
    return other;
}

// A device this process may not open, whose group may: joining that group is the cure. Only root can hand a
// file to a group it is not in; `made` is false elsewhere.
struct RefusedDevice {
    QTemporaryDir dir;
    std::string path;
    std::string group; // the group that owns it
    int com;
    bool made = false;
    explicit RefusedDevice(int n) : com(n)
    {
        path = dir.filePath(QStringLiteral("ttyREFUSED")).toStdString();
        QFile f(QString::fromStdString(path));
        if (f.open(QIODevice::WriteOnly))
            f.close();
        // Another owner too, or the owner's own rights would let root in once it is held to permissions.
        made = ::geteuid() == 0 && ::chown(path.c_str(), 1, GroupNotMine()) == 0 && ::chmod(path.c_str(), 0660) == 0;
        group = QFileInfo(f).group().toStdString();
        std::filesystem::create_directories(portdir::Directory());
        std::filesystem::remove(portdir::LinkPath(com));
        std::filesystem::create_symlink(path, portdir::LinkPath(com));
    }
    ~RefusedDevice() { std::filesystem::remove(portdir::LinkPath(com)); }
};

// While it lives, this thread is held to file permissions even when running as root (as CI does): it lays down
// the capabilities that override them, so a refused device is refused as it would be to an ordinary user.
class HeldToFilePermissions {
public:
#ifdef __linux__
    HeldToFilePermissions()
    {
        syscall(SYS_capget, &header_, saved_);
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        syscall(SYS_capset, &header_, reduced);
    }
    ~HeldToFilePermissions()
    {
        syscall(SYS_capset, &header_, saved_);
    }
#else
    // Elsewhere only an ordinary user sees a refused device refused; root opens it.
    HeldToFilePermissions() = default;
#endif
    HeldToFilePermissions(const HeldToFilePermissions &) = delete;
    HeldToFilePermissions &operator=(const HeldToFilePermissions &) = delete;

#ifdef __linux__
private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
#endif
};

// AddressSanitizer holds freed memory back on purpose and pads every block: there a bound on resident memory is
// not the program's to keep (the sanitizer's leak check at exit stands in). The programs under test are built
// with the same flags as the tests.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Under a tracer (the dependency guard runs the whole suite under strace -f) every system call stops the process
// twice, and that costs more CPU than the code being measured: a bound on a CPU share then only tells a paced loop
// from a busy one, which still takes a whole core.
inline bool Traced()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = status.readAll();
    const qsizetype at = text.indexOf("TracerPid:");
    return at >= 0 && text.mid(at + 10).trimmed().split('\n').first().trimmed() != "0";
}
inline double CpuShareBound(double share)
{
    return Traced() ? std::max(share, 0.25) : share;
}

} // namespace testsupport
