// SPDX-License-Identifier: MIT
// Start-up, event loop and shutdown of the program.
#include "app/QuillexEMBV10.h"

#include "app/callbacks.h"
#include "core/ScopeState.h"
#include "core/controls.h"
#include "core/portdir.h"
#include "branding/logo.h"
#include "display/display.h"
#include "link/com232.h"
#include "link/port.h"
#include "link/reply.h"
#include "teach/teach.h"
#include "ui/fileio.h"
#include "ui/rs232.h"
#include "ui/userint.h"
#include "ui/utility.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// "--record FILE.csv" or "--record=FILE.csv" among the arguments; other arguments belong to the toolkit.
// Returns false (with a message on stderr) for a --record without a file or a file that cannot be opened.
bool OpenRecording(void *hInstance, LineLog *recorder)
{
    const auto *args = static_cast<const RunTimeArgs *>(hInstance);
    std::string path;
    bool asked = false;
    for (int i = 1; args && i < args->argc; ++i) {
        const char *arg = args->argv[i];
        if (std::strcmp(arg, "--record") == 0) {
            asked = true;
            path = i + 1 < args->argc ? args->argv[++i] : "";
        } else if (std::strncmp(arg, "--record=", 9) == 0) {
            asked = true;
            path = arg + 9;
        }
    }
    if (!asked)
        return true;
    if (path.empty()) {
        std::fprintf(stderr, "QuillexEMBV10: --record needs a file name (--record FILE.csv)\n");
        return false;
    }
    bool isNew = false;
    std::string why;
    if (!recorder->Open(path, &isNew, &why)) {
        std::fprintf(stderr, "QuillexEMBV10: cannot record to %s: %s\n", path.c_str(), why.c_str());
        return false;
    }
    // The panel's pass costs far more than a write: every line goes out as it is made.
    recorder->SetMaxAge(0);
    st.record = recorder;
    st.recordHeaderDue = isNew;
    return true;
}

// The COM number start-up opens.
constexpr int kStartCom = 1;

// "--device DEVICE" or "--device=DEVICE" among the arguments binds COM 1, where the program starts, to a device
// path or a network address (rfc2217://HOST:PORT, tcp://HOST:PORT); the other numbers keep their devices.
// Returns false (with a message on stderr) for a --device without a value.
bool BindStartDevice(void *hInstance)
{
    constexpr const char *kOption = "--device";
    constexpr const char *kOptionWithValue = "--device=";
    const std::size_t prefix = std::strlen(kOptionWithValue);
    const auto *args = static_cast<const RunTimeArgs *>(hInstance);
    BindComDevice(kStartCom, nullptr); // a run before this one in the same process may have bound it
    for (int i = 1; args && i < args->argc; ++i) {
        const char *arg = args->argv[i];
        const char *device = nullptr;
        if (std::strcmp(arg, kOption) == 0)
            device = i + 1 < args->argc ? args->argv[++i] : "";
        else if (std::strncmp(arg, kOptionWithValue, prefix) == 0)
            device = arg + prefix;
        if (device && !*device) {
            std::fprintf(stderr,
                         "QuillexEMBV10: --device needs a device or an address (--device rfc2217://HOST:PORT)\n");
            return false;
        }
        if (device)
            BindComDevice(kStartCom, device);
    }
    return true;
}

} // namespace

int WinMain(void *hInstance, void *hPrevInstance, char *lpszCmdLine, int nCmdShow)
{
    (void)hPrevInstance, (void)lpszCmdLine, (void)nCmdShow;
    LineLog recorder;
    if (!OpenRecording(hInstance, &recorder) || !BindStartDevice(hInstance))
        return -1;
    if (InitUIRunTime(hInstance) == 0)
        return -1;
    int count = 0;
    const CallbackEntry *table = ScopeCallbackTable(&count);
    SetCallbackTable(table, count);
    SetControlNames(kCtrlNames, kCtrlClasses, kCtrlCount);
    SetComPortDirectory(portdir::Directory().c_str());
    if ((st.panel = LoadPanel(0, kPanelFile, kPanelNumber)) < 0)
        return -1;
    GetProjectDir(st.proj_dir);
    InitVars();
    InitRS232(st.com);
    DisplayPanel(st.panel);
    RunUserInterface();
    CloseCom(st.com);
    DiscardPanel(st.panel);
    st.record = nullptr;
    return 0;
}

void InitVars()
{
    SetProtocolDefaults(); // anzpara, anzdata, sync
    st.com = 1;
    st.order = 1;
    st.target = RAM;
    st.poll = 0;
    st.transbeg = Timer();
    st.waitdel = kGuardStart;
    for (int i = 0; i < kRampPoints; ++i) {
        st.xramp[i] = static_cast<uint16_t>(i);
        st.yramp[i] = static_cast<uint16_t>(kFullScale - i);
    }
    SetCtrlVal(st.panel, DispStatus, "InitVars");
    SetCtrlAttribute(st.panel, GraphData2, ATTR_ZPLANE_POSITION, kZBehind);
    DispVis();
    ShowLogo(10);
    GetPanelValues();
}
