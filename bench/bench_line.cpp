// SPDX-License-Identifier: MIT
// Measures against the line itself: a bare client, the panel's polling loop and the CLI's watch on one paced sensor.
#include "bench/benchsupport.h"
#include "app/QuillexEMBV10.h"
#include "app/callbacks.h"
#include "core/ScopeState.h"
#include "core/controls.h"
#include "io/portdir.h"
#include "panel/port.h"
#include "panel/transactions.h"
#include "ui/qtaccess.h"
#include "io/rs232.h"
#include "ui/userint.h"
#include "io/utility.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using benchsupport::BareClient;
using benchsupport::Figure;

double Cpu(int who)
{
    return benchsupport::CpuSeconds(who);
}

QString Bin(const char *name)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(name);
}

void StopSensor(QProcess &sensor)
{
    sensor.terminate();
    sensor.waitForFinished(3000);
}

// The rate from the first to the last good pass, as watch's is from its first and last timestamps: the GO
// button's start (connect, the colour plane's first drawing) and the pass the stop cuts short are the loop's
// edges, not its pace, and at 28 passes/s each would cost the ratio up to 0.7 % in a 5-second run. The whole
// run's figure (start to stop) is kept beside it.
Figure PanelLoop(double seconds, double *wholeRunRate)
{
    InitRS232(1);
    SleepSeconds(0.25);
    const unsigned long passes0 = st.goodPasses;
    // Looked at whenever the event loop wakes: in the loop's event processing, right after the pass's reply was
    // decoded, and in the reply waits (a timer of 0 ms would fire there again and again).
    unsigned long seen = passes0, first = 0, last = 0;
    double tFirst = 0, tLast = 0;
    const QMetaObject::Connection watcher =
        QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, [&] {
            if (st.goodPasses == seen)
                return;
            seen = st.goodPasses;
            if (!first) {
                first = seen;
                tFirst = Timer();
            }
            last = seen;
            tLast = Timer();
        });
    const double cpu0 = Cpu(RUSAGE_SELF), t0 = Timer();
    QTimer::singleShot(int(seconds * 1000), [] { st.poll = 0; });
    ButtonGoAction();
    const double wall = Timer() - t0;
    QObject::disconnect(watcher);
    Figure f;
    f.rate = last > first && tLast > tFirst ? double(last - first) / (tLast - tFirst) : 0;
    f.cpu = (Cpu(RUSAGE_SELF) - cpu0) / wall;
    *wholeRunRate = double(st.goodPasses - passes0) / wall;
    CloseCom(1);
    return f;
}

// The CLI in a process of its own; its rate from the first and last timestamps it wrote.
Figure Watch(double seconds, const QString &csv)
{
    QFile::remove(csv);
    const double cpu0 = Cpu(RUSAGE_CHILDREN), t0 = Timer();
    QProcess p;
    p.start(Bin("quillex-scope-cli"), {"watch", "--seconds", QString::number(seconds), "--csv", csv});
    p.waitForFinished(int(seconds * 1000) + 30000);
    const double wall = Timer() - t0;
    Figure f;
    f.cpu = (Cpu(RUSAGE_CHILDREN) - cpu0) / wall;
    QFile file(csv);
    file.open(QIODevice::ReadOnly);
    QDateTime first, last;
    long lines = 0;
    for (const QByteArray &l : file.readAll().split('\n')) {
        if (l.startsWith("# ") && l.contains("no valid reply"))
            ++f.timeouts;
        if (l.isEmpty() || l[0] < '0' || l[0] > '9')
            continue;
        const QDateTime at = QDateTime::fromString(QString::fromLatin1(l.left(l.indexOf(','))), Qt::ISODateWithMs);
        if (!first.isValid())
            first = at;
        last = at;
        ++lines;
    }
    if (lines > 1)
        f.rate = (lines - 1) / (first.msecsTo(last) / 1000.0);
    return f;
}

// From the call of WinMain to the window showing the identification, with the application object already up.
double StartToIdentified()
{
    ResetScopeState();
    const double t0 = Timer();
    double shown = -1;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        QWidget *w = PanelWidget(st.panel);
        if (!w || !w->isVisible())
            return;
        char text[256] = {};
        GetCtrlVal(st.panel, DispStatus, text);
        if (std::strncmp(text, "QUILLEX", 7) != 0)
            return;
        shown = Timer() - t0;
        probe.stop();
        w->close();
    });
    probe.start(1);
    WinMain(nullptr, nullptr, nullptr, 0);
    return shown;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir work;
    benchsupport::PrepareEnvironment(work.path());
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;

    QApplication app(argc, argv);
    if (!benchsupport::ShowScopePanel())
        return 1;

    std::printf("Line benchmark: %.1f s per run, one simulated sensor paced at 19200 baud in its own process\n",
                seconds);
    QProcess sensor;
    if (!benchsupport::StartSensor(sensor, 19200))
        return std::fprintf(stderr, "bench: the sensor simulator did not start\n"), 1;
    const Figure bare = BareClient(seconds);
    double panelWholeRun = 0;
    const Figure panel = PanelLoop(seconds, &panelWholeRun);
    const Figure watch = Watch(seconds, work.filePath("paced.csv"));
    StopSensor(sensor);
    std::printf("bare client : %6.2f /s             CPU %5.2f %% of one core, %ld time-outs\n", bare.rate,
                100 * bare.cpu, bare.timeouts);
    for (const auto &[name, f] : {std::pair{"panel loop  ", panel}, std::pair{"watch       ", watch}})
        std::printf("%s: %6.2f /s = %6.2f %% of bare, CPU %5.2f %% of one core, %ld time-outs\n", name, f.rate,
                    100 * f.rate / bare.rate, 100 * f.cpu, f.timeouts);
    std::printf(
        "panel loop, start to stop (GO's start and the cut-off last pass included): %6.2f /s = %6.2f %% of bare\n",
        panelWholeRun, 100 * panelWholeRun / bare.rate);
    std::printf("time-out reports in the panel: %zu\n", benchsupport::popups.size());

    if (!benchsupport::StartSensor(sensor, 0))
        return std::fprintf(stderr, "bench: the sensor simulator did not start\n"), 1;
    // The simulator's own turn-around bounds every client here; the bare client shows where.
    const Figure bareFast = BareClient(seconds);
    const Figure fast = Watch(seconds, work.filePath("unpaced.csv"));
    StopSensor(sensor);
    std::printf("unpaced bare client: %.0f /s; watch with CSV to a file: %.0f measurements/s = %.1f %% of bare, "
                "CPU %.0f %% of one core, %ld time-outs\n",
                bareFast.rate, fast.rate, 100 * fast.rate / bareFast.rate, 100 * fast.cpu, fast.timeouts);

    DiscardPanel(st.panel);
    if (!benchsupport::StartSensor(sensor, 19200))
        return 1;
    std::vector<double> starts;
    for (int i = 0; i < 5; ++i)
        starts.push_back(StartToIdentified());
    StopSensor(sensor);
    std::sort(starts.begin(), starts.end());
    std::printf("panel start to identified sensor shown: median %.0f ms (of 5: %.0f .. %.0f ms)\n", 1000 * starts[2],
                1000 * starts[0], 1000 * starts[4]);
    return 0;
}
