// SPDX-License-Identifier: MIT
// Fuzz target: arbitrary text as the panel file. It loads (and is discarded) or it fails with a negative
// result; it never crashes.
#include "fuzz/fuzzsupport.h"

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
    static char name[] = "fuzz_panel";
    panelPath = fuzzsupport::StartPanelRunTime(name) + "/panel.uir";
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
