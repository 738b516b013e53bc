// SPDX-License-Identifier: MIT
// Start-up, event loop and shutdown of the program.
#include "app/QuillexEMBV10.h"

#include "app/ScopeState.h"
#include "app/callbacks.h"
#include "branding/logo.h"
#include "display/display.h"
#include "link/com232.h"
#include "teach/teach.h"
#include "ui/controls.h"
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
    st.anzpara = 25;
    st.anzdata = 7;
    st.com = 1;
    st.sync = 85;
    st.order = 1;
    st.target = RAM;
    st.poll = 0;
    st.transbeg = Timer();
    st.waitdel = 0.1;
    for (int i = 0; i < kRampPoints; ++i) {
        st.xramp[i] = static_cast<uint16_t>(i);
        st.yramp[i] = static_cast<uint16_t>(kRampPoints - 1 - i);
    }
    SetCtrlVal(st.panel, DispStatus, "InitVars");
    SetCtrlAttribute(st.panel, GraphData2, ATTR_ZPLANE_POSITION, 100);
    DispVis();
    ShowLogo(10);
    GetPanelValues();
}
