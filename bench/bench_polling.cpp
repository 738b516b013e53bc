// SPDX-License-Identifier: MIT
// Measures the polling loop: the real panel (offscreen), the real loop, the simulated sensor in its own process.
#include "bench/benchsupport.h"
#include "app/QuillexEMBV10.h"
#include "core/ScopeState.h"
#include "app/callbacks.h"
#include "display/display.h"
#include "panel/port.h"
#include "panel/transactions.h"
#include "core/controls.h"
#include "teach/graphs.h"
#include "ui/qtaccess.h"
#include "io/rs232.h"
#include "ui/userint.h"
#include "io/utility.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QStyleHints>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kLineBaud = 19200;
constexpr int kUnpaced = 0;
// Passes a fixed-count run polls before the counted ones: the first frames fill caches and buffers once.
constexpr long kWarmUpPasses = 20;
constexpr double kConnectGuardSeconds = 0.25;

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
    double system = 0; // the part of cpu spent in the kernel
    double worstWindow =
        0; // the highest share of one core over any kWindowSeconds of the run (the whole run if shorter)
};

// A budget holds in every window of this length, not only on average.
constexpr double kWindowSeconds = 10.0;
// The CPU is read this often while polling, when the event loop wakes anyway: windows slide in these steps.
constexpr double kSampleSeconds = 1.0;

struct Sample {
    double wall, cpu;
};

// The worst share of one core over any kWindowSeconds between the samples (over all of them when the run is shorter).
double WorstWindow(const std::vector<Sample> &s)
{
    const Sample &first = s.front(), &last = s.back();
    if (last.wall - first.wall <= kWindowSeconds)
        return last.wall > first.wall ? (last.cpu - first.cpu) / (last.wall - first.wall) : 0.0;
    double worst = 0;
    size_t a = 0;
    for (size_t b = 1; b < s.size(); ++b) {
        if (s[b].wall - first.wall < kWindowSeconds)
            continue;
        while (s[b].wall - s[a + 1].wall >= kWindowSeconds)
            ++a;
        worst = std::max(worst, (s[b].cpu - s[a].cpu) / (s[b].wall - s[a].wall));
    }
    return worst;
}

Run Poll(double seconds)
{
    const double cpu0 = benchsupport::CpuSeconds(), sys0 = benchsupport::SystemCpuSeconds();
    const double t0 = Timer();
    const unsigned long passes0 = st.goodPasses;
    std::vector<Sample> samples{{t0, cpu0}};
    // Read when the loop wakes anyway (at least once a pass), so the sampling adds no wake-up of its own.
    const auto sampling =
        QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, [&samples] {
            if (const double now = Timer(); now - samples.back().wall >= kSampleSeconds)
                samples.push_back({now, benchsupport::CpuSeconds()});
        });
    QTimer::singleShot(int(seconds * 1000), [] { st.poll = 0; });
    ButtonGoAction();
    QObject::disconnect(sampling);
    Run r;
    r.wall = Timer() - t0;
    r.cpu = benchsupport::CpuSeconds() - cpu0;
    r.system = benchsupport::SystemCpuSeconds() - sys0;
    r.passes = long(st.goodPasses - passes0);
    samples.push_back({t0 + r.wall, cpu0 + r.cpu});
    r.worstWindow = WorstWindow(samples);
    return r;
}

// Stops polling once `passes` more good passes have been made. The check runs whenever the event loop wakes, which
// is at least once per pass (the loop's event processing, right after the pass) and adds no wake-up of its own: a
// timer of 0 ms would also fire, again and again, inside the reply wait, which serves timers.
void StopAfter(long passes, QMetaObject::Connection &check)
{
    const unsigned long until = st.goodPasses + static_cast<unsigned long>(passes);
    QObject::disconnect(check);
    check = QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, [until] {
        if (st.goodPasses >= until)
            st.poll = 0;
    });
}

} // namespace

// The counted passes of a fixed-count run, alone in a function of their own so that a profiler can collect
// exactly them (valgrind --tool=callgrind --collect-atstart=no --toggle-collect='MeasuredPasses*').
__attribute__((noinline)) void MeasuredPasses()
{
    GetData();
}

namespace {

void Connect()
{
    InitRS232(1);
    SleepSeconds(kConnectGuardSeconds); // out of the guard of the parameter read that follows the identification
}

void SelectSourceNow(int source)
{
    SetCtrlVal(st.panel, SelectSource, source);
    DispVis();
}

// One SetPanelData + ShowGraph, alone and with the redraw that the loop's event processing does.
void DisplayCalls()
{
    constexpr int kCalls = 3000;
    constexpr int kWithEvents = kCalls / 3;
    for (int source : {0, 1}) {
        SelectSourceNow(source);
        double t0 = Timer();
        for (int i = 0; i < kCalls; ++i) {
            st.dataR = uint16_t(i % 4096);
            SetPanelData();
            ShowGraph();
        }
        const double calls = (Timer() - t0) / kCalls;
        t0 = Timer();
        for (int i = 0; i < kWithEvents; ++i) {
            st.dataR = uint16_t(i % 4096);
            SetPanelData();
            ShowGraph();
            ProcessSystemEvents();
        }
        const double withRedraw = (Timer() - t0) / kWithEvents;
        std::printf("source %d: SetPanelData + ShowGraph %.1f us; with the redraw in event processing %.1f us\n",
                    source, calls * 1e6, withRedraw * 1e6);
    }
}

// `passes` counted passes of one source after a warm-up; prints what a profiler needs to divide by.
int FixedPasses(int source, long passes, int baud)
{
    QProcess sensor;
    if (!benchsupport::StartSensor(sensor, baud)) {
        std::fprintf(stderr, "bench: the sensor simulator did not start\n");
        return 1;
    }
    Connect();
    SelectSourceNow(source);
    QMetaObject::Connection check;
    StopAfter(kWarmUpPasses, check);
    ButtonGoAction();
    StopAfter(passes, check);
    const unsigned long before = st.goodPasses;
    const double cpu0 = benchsupport::CpuSeconds(), t0 = Timer();
    MeasuredPasses();
    const double cpu = benchsupport::CpuSeconds() - cpu0, wall = Timer() - t0;
    const unsigned long counted = st.goodPasses - before;
    QObject::disconnect(check);
    CloseCom(1);
    sensor.terminate();
    sensor.waitForFinished(3000);
    std::printf("counted passes: %lu (source %d, %s), CPU %.1f us per pass, %.1f passes/s\n", counted, source,
                baud ? "paced" : "unpaced", counted ? cpu / double(counted) * 1e6 : 0.0,
                wall > 0 ? double(counted) / wall : 0.0);
    std::printf("time-out reports: %zu\n", benchsupport::popups.size());
    return counted == static_cast<unsigned long>(passes) && benchsupport::popups.empty() ? 0 : 1;
}

// Every source at one pace, against the bare client at the same pace.
void EverySource(int baud, double seconds)
{
    QProcess sensor;
    if (!benchsupport::StartSensor(sensor, baud)) {
        std::fprintf(stderr, "bench: the sensor simulator did not start\n");
        return;
    }
    const benchsupport::Figure bare = benchsupport::BareClient(seconds);
    std::printf("%s: bare client %.2f /s at %.2f %% of one core (%.1f us per pass)\n", baud ? "19200 baud" : "unpaced",
                bare.rate, 100 * bare.cpu, bare.rate > 0 ? bare.cpu / bare.rate * 1e6 : 0.0);
    if (baud) {
        const double limit = 1.0 / ((54 + 14) * 10.0 / baud);
        std::printf("  (link limit %.1f /s)\n", limit);
    }
    std::printf("  source  passes/s  of bare   CPU/pass (kernel)   CPU of one core  worst %.0f-s window\n",
                kWindowSeconds);
    Connect();
    for (int source = kSourcePlane; source < kSourceCount; ++source) {
        SelectSourceNow(source);
        const Run r = Poll(seconds);
        const double rate = r.passes / r.wall;
        std::printf("  %6d  %8.2f  %6.2f %%  %6.1f us (%5.1f us)  %6.2f %%          %6.2f %%\n", source, rate,
                    bare.rate > 0 ? 100.0 * rate / bare.rate : 0.0, r.passes ? r.cpu / r.passes * 1e6 : 0.0,
                    r.passes ? r.system / r.passes * 1e6 : 0.0, 100.0 * r.cpu / r.wall, 100.0 * r.worstWindow);
    }
    CloseCom(1);
    sensor.terminate();
    sensor.waitForFinished(3000);
}

// Handles events, and so paints, for a while.
void Settle(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, ms);
}

// Where the zoom shot puts the zoom graph's cross: fractional, so the readout shows decimals.
constexpr double kZoomShotX = 2000.5;
constexpr double kZoomShotY = 1000.25;

// The zoom graph in front, panned to a fixed cross, as the user leaves it after ZOOM and the arrow keys.
void ZoomInFront()
{
    ZoomAction();
    SetGraphCursor(st.panel, GraphData2, 1, kZoomShotX, kZoomShotY);
    ZoomGraphData2();
    SetCtrlVal(st.panel, MessageLine, ""); // its time stamp would differ from shot to shot
}

// The window as the screen shows it after a fixed run of measurements, each painted at the frame pace, as in
// polling: the same picture from any build that paints the same.
int Screenshot(int source, bool zoom, const char *file)
{
    constexpr int kSamples = 120;
    constexpr int kFrameWaitMs = 20;
    constexpr int kSettleMs = 300;
    QGuiApplication::styleHints()->setCursorFlashTime(0); // a blinking text cursor would differ from shot to shot
    SelectSourceNow(source);
    ApplyFromAll(); // the diagonal and both tolerance circles under the cursor
    if (zoom)
        ZoomInFront();
    Settle(kSettleMs);
    for (int k = 0; k < kSamples; ++k) {
        st.dataR = uint16_t(1000 + 17 * k);
        st.dataG = uint16_t(3000 - 11 * k);
        st.dataB = uint16_t(500 + (k * 37) % 900);
        st.dataX = uint16_t(600 + 13 * k);
        st.dataY = uint16_t(2500 - 9 * k);
        st.dataINT = uint16_t((st.dataR + st.dataG + st.dataB) / 3);
        st.dataCOL = uint16_t(k % 4);
        SetPanelData();
        ShowGraph();
        ProcessSystemEvents();
        Settle(kFrameWaitMs);
    }
    Settle(kSettleMs);
    QWidget *window = PanelWidget(st.panel);
    const QPixmap shot = window->screen()->grabWindow(window->winId());
    if (!shot.save(QString::fromLocal8Bit(file))) {
        std::fprintf(stderr, "bench: cannot write %s\n", file);
        return 1;
    }
    std::printf("source %d%s: %dx%d written to %s\n", source, zoom ? " with the zoom graph in front" : "", shot.width(),
                shot.height(), file);
    return 0;
}

void Usage()
{
    std::fprintf(stderr, "usage: bench_polling [SECONDS [paced|unpaced]]\n"
                         "       bench_polling --passes N --source S [--unpaced]\n"
                         "       bench_polling --shot FILE.png --source S [--zoom]\n");
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir portDir;
    benchsupport::PrepareEnvironment(portDir.path());

    double seconds = 5.0;
    bool paced = true, unpaced = true;
    long fixedPasses = 0;
    int fixedSource = 0;
    const char *shotFile = nullptr;
    bool zoom = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--passes" && i + 1 < argc) {
            fixedPasses = std::atol(argv[++i]);
        } else if (a == "--source" && i + 1 < argc) {
            fixedSource = std::atoi(argv[++i]);
        } else if (a == "--shot" && i + 1 < argc) {
            shotFile = argv[++i];
        } else if (a == "--zoom") {
            zoom = true;
        } else if (a == "--unpaced") {
            paced = false;
        } else if (a == "paced") {
            unpaced = false;
        } else if (a == "unpaced") {
            paced = false;
        } else if (std::atof(a.c_str()) > 0) {
            seconds = std::atof(a.c_str());
        } else {
            Usage();
            return 2;
        }
    }
    if (fixedSource < kSourcePlane || fixedSource >= kSourceCount || fixedPasses < 0) {
        Usage();
        return 2;
    }

    QApplication app(argc, argv);
    if (!benchsupport::ShowScopePanel())
        return 1;

    if (shotFile) {
        const int result = Screenshot(fixedSource, zoom, shotFile);
        DiscardPanel(st.panel);
        return result;
    }
    if (fixedPasses > 0) {
        const int result = FixedPasses(fixedSource, fixedPasses, paced ? kLineBaud : kUnpaced);
        std::printf("peak resident memory: %.1f MiB\n", PeakRssKiB() / 1024.0);
        DiscardPanel(st.panel);
        return result;
    }

    std::printf("Polling benchmark: %.1f s per run, real panel (offscreen), sensor simulator in its own process\n",
                seconds);
    DisplayCalls();
    if (unpaced)
        EverySource(kUnpaced, seconds);
    if (paced)
        EverySource(kLineBaud, seconds);
    std::printf("time-out reports during the runs: %zu\n", benchsupport::popups.size());
    std::printf("peak resident memory: %.1f MiB\n", PeakRssKiB() / 1024.0);
    DiscardPanel(st.panel);
    return 0;
}
