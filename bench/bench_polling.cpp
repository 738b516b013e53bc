// SPDX-License-Identifier: MIT
// Measures the polling loop: the real panel (offscreen), the real loop, the simulated sensor in its own process.
#include "bench/benchsupport.h"
#include "app/QuillexEMBV10.h"
#include "core/ScopeState.h"
#include "core/portdir.h"
#include "app/callbacks.h"
#include "display/display.h"
#include "link/com232.h"
#include "link/port.h"
#include "link/reply.h"
#include "link/transactions.h"
#include "core/controls.h"
#include "ui/rs232.h"
#include "ui/userint.h"
#include "ui/utility.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

long PeakRssKiB()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

struct Run {
    long passes = 0;
    double wall = 0;
    double cpu = 0;
};

Run Poll(double seconds)
{
    const double cpu0 = CpuSeconds();
    const double t0 = Timer();
    const unsigned long passes0 = st.goodPasses;
    QTimer::singleShot(int(seconds * 1000), [] { st.poll = 0; });
    ButtonGoAction();
    Run r;
    r.wall = Timer() - t0;
    r.cpu = CpuSeconds() - cpu0;
    r.passes = long(st.goodPasses - passes0);
    return r;
}

void Connect()
{
    InitRS232(1);
    SleepSeconds(0.25); // out of the guard of the parameter read that follows the identification
}

void SelectSourceNow(int source)
{
    SetCtrlVal(st.panel, SelectSource, source);
    DispVis();
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir portDir;
    benchsupport::PrepareEnvironment(portDir.path());
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;

    QApplication app(argc, argv);
    if (!benchsupport::ShowScopePanel())
        return 1;

    std::printf("Polling benchmark: %.1f s per run, real panel (offscreen), sensor simulator in its own process\n",
                seconds);

    // One SetPanelData + ShowGraph, alone and with the redraw that the loop's event processing does.
    for (int source : {0, 1}) {
        SelectSourceNow(source);
        const int n = 3000;
        double t0 = Timer();
        for (int i = 0; i < n; ++i) {
            st.dataR = uint16_t(i % 4096);
            SetPanelData();
            ShowGraph();
        }
        const double calls = (Timer() - t0) / n;
        t0 = Timer();
        for (int i = 0; i < n / 3; ++i) {
            st.dataR = uint16_t(i % 4096);
            SetPanelData();
            ShowGraph();
            ProcessSystemEvents();
        }
        const double withRedraw = (Timer() - t0) / (n / 3);
        std::printf("source %d: SetPanelData + ShowGraph %.1f us; with the redraw in event processing %.1f us\n",
                    source, calls * 1e6, withRedraw * 1e6);
    }

    // A second argument "paced" runs only the 19200-baud part (handy under a profiler).
    const bool pacedOnly = argc > 2 && std::strcmp(argv[2], "paced") == 0;
    for (int baud : {0, 19200}) {
        if (pacedOnly && baud == 0)
            continue;
        QProcess sensor;
        if (!benchsupport::StartSensor(sensor, baud)) {
            std::fprintf(stderr, "bench: the sensor simulator did not start\n");
            return 1;
        }
        Connect();
        for (int source : {0, 1}) {
            SelectSourceNow(source);
            const Run r = Poll(seconds);
            const double rate = r.passes / r.wall;
            if (baud == 0) {
                std::printf("unpaced, source %d: %ld passes in %.2f s = %.0f passes/s, CPU %.1f us per pass\n", source,
                            r.passes, r.wall, rate, r.cpu / r.passes * 1e6);
            } else {
                const double limit = 1.0 / ((54 + 14) * 10.0 / baud);
                std::printf("19200 baud, source %d: %.2f passes/s = %.1f %% of the link limit (%.1f/s), "
                            "front-end CPU %.2f %% of one core\n",
                            source, rate, 100.0 * rate / limit, limit, 100.0 * r.cpu / r.wall);
            }
        }
        CloseCom(1);
        sensor.terminate();
        sensor.waitForFinished(3000);
    }
    std::printf("time-out reports during the runs: %zu\n", benchsupport::popups.size());
    std::printf("peak resident memory: %.1f MiB\n", PeakRssKiB() / 1024.0);
    DiscardPanel(st.panel);
    return 0;
}
