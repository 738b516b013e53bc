// SPDX-License-Identifier: MIT
// Start-up, event loop and shutdown of the program.
#include "app/QuillexEMBV10.h"

#include "core/ScopeState.h"
#include "core/controls.h"
#include "core/portdir.h"
#include "app/callbacks.h"
#include "branding/logo.h"
#include "display/display.h"
#include "link/com232.h"
#include "link/port.h"
#include "link/reply.h"
#include "teach/teach.h"
#include "core/controls.h"
#include "ui/rs232.h"
#include "ui/userint.h"
#include "ui/utility.h"

int WinMain(void *hInstance, void *hPrevInstance, char *lpszCmdLine, int nCmdShow)
{
    (void)hPrevInstance, (void)lpszCmdLine, (void)nCmdShow;
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
    return 0;
}

void InitVars()
{
    st.anzpara = kParaWords;
    st.anzdata = kDataWords;
    st.com = 1;
    st.sync = kSync;
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
