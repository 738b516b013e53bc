// SPDX-License-Identifier: MIT
// Shared set-up of the benchmarks: the real panel (offscreen unless a display is asked for) in a private port
// directory, and the simulated sensor as a process of its own.
#pragma once

#include "app/QuillexEMBV10.h"
#include "app/callbacks.h"
#include "core/ScopeState.h"
#include "core/controls.h"
#include "io/portdir.h"
#include "link/com232.h"
#include "panel/port.h"
#include "io/rs232.h"
#include "ui/userint.h"
#include "io/utility.h"

#include <QCoreApplication>
#include <QProcess>
#include <QThread>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace benchsupport {

// Every popup the panel raised (time-out reports), recorded instead of shown.
inline std::vector<PopupRecord> popups;

// Before the application object: no window on screen, and COM links that belong to this run alone.
inline void PrepareEnvironment(const QString &portDirectory)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("XDG_RUNTIME_DIR", portDirectory.toLocal8Bit());
    PrepareUIRunTime(); // the event loop the program runs
}

// Loads and shows MainPanel as start-up does (without connecting); popups are recorded, never shown.
// Shown, so every redraw is painted as on a screen.
inline bool ShowScopePanel()
{
    InitUIRunTime(nullptr);
    SetComPortDirectory(portdir::Directory().c_str());
    SetPopupSink(&popups);
    int count = 0;
    const CallbackEntry *table = ScopeCallbackTable(&count);
    SetCallbackTable(table, count);
    SetControlNames(kCtrlNames, kCtrlClasses, kCtrlCount);
    st.panel = LoadPanel(0, kPanelFile, kPanelNumber);
    if (st.panel < 0) {
        std::fprintf(stderr, "bench: cannot load the panel\n");
        return false;
    }
    InitVars();
    DisplayPanel(st.panel);
    return true;
}

// The simulated sensor on COM 1, paced at `baud` (0 = unpaced), ready once it has printed its device.
inline bool StartSensor(QProcess &sensor, int baud)
{
    sensor.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/quillex-sensor-sim"));
    sensor.setArguments(
        {QStringLiteral("--com"), QStringLiteral("1"), QStringLiteral("--pace"), QString::number(baud)});
    sensor.start();
    if (!sensor.waitForReadyRead(5000))
        return false;
    QThread::msleep(100);
    return true;
}

// CPU seconds (user + system) of this process (RUSAGE_SELF) or of its finished children (RUSAGE_CHILDREN).
inline double CpuSeconds(int who = RUSAGE_SELF)
{
    rusage u{};
    getrusage(who, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

// CPU seconds of this process spent in the kernel (system calls, wake-ups) alone.
inline double SystemCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

struct Figure {
    double rate = 0;   // measurements per second
    double cpu = 0;    // share of one core
    long timeouts = 0; // missing replies
};

// The reference every client is held against: write the request to COM 1, block until the reply's 14 bytes
// are in, nothing else.
inline Figure BareClient(double seconds)
{
    constexpr int kRequestBytes = FrameBytes(kParaWords);
    constexpr int kReplyBytes = ReplyBytes(kDataWords);
    constexpr int kReplyWaitMs = static_cast<int>(kReplyTimeout * 1000);
    int error = 0;
    const std::string device = ComDeviceFor(1, &error);
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
    Figure f;
    if (fd < 0)
        return f;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B19200);
    tcsetattr(fd, TCSANOW, &t);
    // A read of the data carries an empty block, as the bare minimum a client can send.
    const uint16_t noWords[kParaWords] = {};
    unsigned char frame[kRequestBytes] = {};
    FillTxBufTo(frame, kSync, kOrderReadData, noWords, kParaWords);
    unsigned char reply[64];
    long passes = 0;
    const double cpu0 = CpuSeconds(), t0 = Timer();
    while (Timer() - t0 < seconds) {
        if (write(fd, frame, sizeof frame) != ssize_t(sizeof frame))
            break;
        int got = 0;
        while (got < kReplyBytes) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, kReplyWaitMs) <= 0)
                break;
            const ssize_t n = read(fd, reply + got, sizeof reply - size_t(got));
            if (n <= 0)
                break;
            got += int(n);
        }
        if (got == kReplyBytes)
            ++passes;
        else
            ++f.timeouts;
    }
    const double wall = Timer() - t0;
    f.rate = passes / wall;
    f.cpu = (CpuSeconds() - cpu0) / wall;
    close(fd);
    return f;
}

} // namespace benchsupport
