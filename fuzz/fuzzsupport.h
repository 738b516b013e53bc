// SPDX-License-Identifier: MIT
// Shared set-up of the fuzz targets that need the panel's run time: offscreen, every name bound, popups
// recorded instead of shown, and a scratch folder of their own.
#pragma once

#include "app/callbacks.h"
#include "core/controls.h"
#include "ui/userint.h"

#include <stdlib.h>

#include <string>
#include <vector>

namespace fuzzsupport {

inline std::vector<PopupRecord> popups;

// Returns the scratch folder.
inline std::string StartPanelRunTime(char *programName)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static char *argv[] = {programName, nullptr};
    RunTimeArgs args{1, argv};
    InitUIRunTime(&args);
    int count = 0;
    const CallbackEntry *table = ScopeCallbackTable(&count);
    SetCallbackTable(table, count);
    SetControlNames(kCtrlNames, kCtrlClasses, kCtrlCount);
    SetPopupSink(&popups);
    char dir[] = "/tmp/quillex-fuzz-XXXXXX";
    return mkdtemp(dir);
}

} // namespace fuzzsupport
