// SPDX-License-Identifier: MIT
// Fuzz target: arbitrary text as the panel file. It loads (and is discarded) or it fails with a negative
// result; it never crashes.
#include "app/callbacks.h"
#include "core/controls.h"
#include "ui/userint.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

std::string panelPath;

void Start()
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static char name[] = "fuzz_panel";
    static char *argv[] = {name, nullptr};
    RunTimeArgs args{1, argv};
    InitUIRunTime(&args);
    int count = 0;
    const CallbackEntry *table = ScopeCallbackTable(&count);
    SetCallbackTable(table, count);
    SetControlNames(kCtrlNames, kCtrlClasses, kCtrlCount);
    static std::vector<PopupRecord> popups;
    SetPopupSink(&popups);
    char dir[] = "/tmp/quillex-fuzz-XXXXXX";
    panelPath = std::string(mkdtemp(dir)) + "/panel.uir";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (panelPath.empty())
        Start();
    FILE *f = std::fopen(panelPath.c_str(), "wb");
    if (!f)
        std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    const int panel = LoadPanel(0, panelPath.c_str(), kPanelNumber);
    if (panel >= 0)
        DiscardPanel(panel);
    return 0;
}
