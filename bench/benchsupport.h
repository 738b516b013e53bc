// SPDX-License-Identifier: MIT
// Shared set-up of the benchmarks: the real panel (offscreen unless a display is asked for) in a private port
// directory, and the simulated sensor as a process of its own.
#pragma once

#include "app/QuillexEMBV10.h"
#include "app/callbacks.h"
#include "core/ScopeState.h"
#include "core/controls.h"
#include "core/portdir.h"
#include "ui/rs232.h"
#include "ui/userint.h"

#include <QCoreApplication>
#include <QProcess>
#include <QThread>

#include <cstdio>
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

} // namespace benchsupport
