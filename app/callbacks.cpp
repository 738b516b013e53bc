// SPDX-License-Identifier: MIT
// Callbacks of MainPanel's controls: each acts on its one event kind and explains itself on a right click.
#include "app/callbacks.h"

#include "core/ScopeState.h"
#include "core/helptexts.h"
#include "display/display.h"
#include "files/parafile.h"
#include "link/com232.h"
#include "panel/port.h"
#include "panel/reply.h"
#include "panel/transactions.h"
#include "teach/autoadjust.h"
#include "teach/graphs.h"
#include "teach/teach.h"
#include "teach/undo.h"
#include "core/controls.h"

namespace {

void ShowHelp(const char *text)
{
    MessagePopup("Info", text);
}

// Callbacks whose control only explains itself.
int HelpOnly(int event, const char *text)
{
    if (event == EVENT_RIGHT_CLICK)
        ShowHelp(text);
    return 0;
}

// Callbacks that start an action on one event kind.
template <typename Action>
int Act(int event, int actionEvent, const char *text, Action action)
{
    if (event == actionEvent)
        action();
    else if (event == EVENT_RIGHT_CLICK)
        ShowHelp(text);
    return 0;
}

} // namespace

#define UNUSED_CB_ARGS (void)panel, (void)control, (void)callbackData, (void)eventData1, (void)eventData2

int CBF_EditConnect(int panel, int control, int event, void *callbackData, int eventData1, int eventData2)
{
    UNUSED_CB_ARGS;
    return Act(event, EVENT_COMMIT, InfoEditConnect, ReconnectComPort);
}

int CBF_SelectRAM(int panel, int control, int event, void *callbackData, int eventData1, int eventData2)
{
    UNUSED_CB_ARGS;
    return Act(event, EVENT_VAL_CHANGED, InfoSelectMEM, [] { SelectTargetAction(SelectRAM); });
}

int CBF_SelectEEPROM(int panel, int control, int event, void *callbackData, int eventData1, int eventData2)
{
    UNUSED_CB_ARGS;
    return Act(event, EVENT_VAL_CHANGED, InfoSelectMEM, [] { SelectTargetAction(SelectEEPROM); });
}

int CBF_SelectFILE(int panel, int control, int event, void *callbackData, int eventData1, int eventData2)
{
    UNUSED_CB_ARGS;
    return Act(event, EVENT_VAL_CHANGED, InfoSelectMEM, [] { SelectTargetAction(SelectFILE); });
}

int CBF_ButtonSend(int panel, int control, int event, void *callbackData, int eventData1, int eventData2)
{
    UNUSED_CB_ARGS;
    return Act(event, EVENT_COMMIT, InfoButtonSend, ButtonSendAction);
}

int CBF_ButtonGet(int panel, int control, int event, void *callbackData, int eventData1, int eventData2)
{
    UNUSED_CB_ARGS;
    return Act(event, EVENT_COMMIT, InfoButtonGet, [] {
        // A load may replace a table the user has taught; a cancelled one leaves a step that changes nothing,
        // which the undo passes over.
        if (st.target == DATFILE)
            RememberTeachTable("the file load");
        ButtonGetAction();
    });
}

int CBF_ButtonGo(int panel, int control, int event, void *callbackData, int eventData1, int eventData2)
{
    UNUSED_CB_ARGS;
    return Act(event, EVENT_COMMIT, InfoButtonGo, ButtonGoAction);
}

int CBF_ButtonStop(int panel, int control, int event, void *callbackData, int eventData1, int eventData2)
{
    UNUSED_CB_ARGS;
    return Act(event, EVENT_COMMIT, InfoButtonStop, ButtonStopAction);
}

int CBF_SelectSource(int panel, int control, int event, void *callbackData, int eventData1, int eventData2)
{
    UNUSED_CB_ARGS;
    return Act(event, EVENT_COMMIT, InfoSelectSource, DispVis);
}

int CBF_ButtonTeachDataTo(int panel, int control, int event, void *callbackData, int eventData1, int eventData2)
{
    UNUSED_CB_ARGS;
    return Act(event, EVENT_COMMIT, InfoButtonTeachDataTo, [] {
        RememberTeachTable("TEACH DATA TO");
        TeachDataToAction();
    });
}

int CBF_ButtonResetTable(int panel, int control, int event, void *callbackData, int eventData1, int eventData2)
{
    UNUSED_CB_ARGS;
    // One click, as ever: Ctrl+Z takes it back.
    return Act(event, EVENT_COMMIT, InfoButtonResetTable, [] {
        RememberTeachTable("RESET TABLE");
        ResetTableAction();
    });
}

int CBF_ButtonUndo(int panel, int control, int event, void *callbackData, int eventData1, int eventData2)
{
    UNUSED_CB_ARGS;
    return Act(event, EVENT_COMMIT, InfoButtonUndo, UndoTeachTable);
}

int CBF_ButtonApplyFromAll(int panel, int control, int event, void *callbackData, int eventData1, int eventData2)
{
    UNUSED_CB_ARGS;
    return Act(event, EVENT_COMMIT, InfoButtonApplyFromAll, ApplyFromAllAction);
}

int CBF_ButtonZoom(int panel, int control, int event, void *callbackData, int eventData1, int eventData2)
{
    UNUSED_CB_ARGS;
    return Act(event, EVENT_COMMIT, InfoButtonZoom, ZoomAction);
}

int CBF_AutoAdjust(int panel, int control, int event, void *callbackData, int eventData1, int eventData2)
{
    UNUSED_CB_ARGS;
    return Act(event, EVENT_COMMIT, InfoButtonAutoAdjust, [] {
        RememberTeachTable("AUTO ADJUST");
        AutoAdjust();
    });
}

int CBF_GraphData2(int panel, int control, int event, void *callbackData, int eventData1, int eventData2)
{
    UNUSED_CB_ARGS;
    // The zoom graph has no help text: a right click is the way back to the overview.
    if (event == EVENT_VAL_CHANGED)
        ZoomGraphData2();
    else if (event == EVENT_RIGHT_CLICK)
        ZoomGraphBehind();
    return 0;
}

#define HELP_ONLY_CALLBACK(name, text)                                                                                 \
    int name(int panel, int control, int event, void *callbackData, int eventData1, int eventData2)                    \
    {                                                                                                                  \
        UNUSED_CB_ARGS;                                                                                                \
        return HelpOnly(event, text);                                                                                  \
    }

HELP_ONLY_CALLBACK(CBF_DispStatus, InfoStatus)
HELP_ONLY_CALLBACK(CBF_EditSigWinHI, InfoEditSigWin)
HELP_ONLY_CALLBACK(CBF_EditSigWinLo, InfoEditSigWin)
HELP_ONLY_CALLBACK(CBF_SlidePower, InfoEditPower)
HELP_ONLY_CALLBACK(CBF_EditAverage, InfoEditAverage)
HELP_ONLY_CALLBACK(CBF_EditOutmode, InfoEditOutmode)
HELP_ONLY_CALLBACK(CBF_EditHold, InfoEditHold)
HELP_ONLY_CALLBACK(CBF_EditNo, InfoEditNo)
HELP_ONLY_CALLBACK(CBF_RadioInc, InfoRadioInc)
HELP_ONLY_CALLBACK(CBF_DispX, InfoDispX)
HELP_ONLY_CALLBACK(CBF_DispY, InfoDispY)
HELP_ONLY_CALLBACK(CBF_DispINT, InfoDispINT)
HELP_ONLY_CALLBACK(CBF_DispRAW, InfoDispRAW)
HELP_ONLY_CALLBACK(CBF_DispCOL, InfoDispCOL)
HELP_ONLY_CALLBACK(CBF_DispRED, InfoDispBars)
HELP_ONLY_CALLBACK(CBF_DispGREEN, InfoDispBars)
HELP_ONLY_CALLBACK(CBF_DispBLUE, InfoDispBars)
HELP_ONLY_CALLBACK(CBF_GraphRaw1, InfoGraph)
HELP_ONLY_CALLBACK(CBF_GraphData1, InfoGraph)

int CBF_P(int panel, int event, void *callbackData, int eventData1, int eventData2)
{
    (void)panel, (void)callbackData, (void)eventData1, (void)eventData2;
    if (event == EVENT_CLOSE) {
        st.poll = 0; // a running polling loop ends at its next check
        QuitUserInterface(0);
    }
    return 0;
}

// One row per callback reads better as a grid.
// clang-format off
const CallbackEntry *ScopeCallbackTable(int *count)
{
#define CTRL_ROW(name) {#name, name, nullptr}
    static const CallbackEntry table[] = {
        {"CBF_P", nullptr, CBF_P},
        CTRL_ROW(CBF_EditConnect),     CTRL_ROW(CBF_DispStatus),       CTRL_ROW(CBF_SelectRAM),
        CTRL_ROW(CBF_SelectEEPROM),    CTRL_ROW(CBF_SelectFILE),       CTRL_ROW(CBF_ButtonSend),
        CTRL_ROW(CBF_ButtonGet),       CTRL_ROW(CBF_ButtonGo),         CTRL_ROW(CBF_ButtonStop),
        CTRL_ROW(CBF_EditSigWinHI),    CTRL_ROW(CBF_EditSigWinLo),     CTRL_ROW(CBF_SlidePower),
        CTRL_ROW(CBF_EditAverage),     CTRL_ROW(CBF_EditOutmode),      CTRL_ROW(CBF_EditHold),
        CTRL_ROW(CBF_EditNo),          CTRL_ROW(CBF_RadioInc),         CTRL_ROW(CBF_ButtonTeachDataTo),
        CTRL_ROW(CBF_ButtonResetTable), CTRL_ROW(CBF_ButtonApplyFromAll), CTRL_ROW(CBF_ButtonZoom),
        CTRL_ROW(CBF_AutoAdjust),      CTRL_ROW(CBF_GraphData1),       CTRL_ROW(CBF_GraphData2),
        CTRL_ROW(CBF_SelectSource),    CTRL_ROW(CBF_DispX),            CTRL_ROW(CBF_DispY),
        CTRL_ROW(CBF_DispINT),         CTRL_ROW(CBF_DispRAW),          CTRL_ROW(CBF_DispRED),
        CTRL_ROW(CBF_DispGREEN),       CTRL_ROW(CBF_DispBLUE),         CTRL_ROW(CBF_DispCOL),
        CTRL_ROW(CBF_GraphRaw1),       CTRL_ROW(CBF_ButtonUndo),
    };
#undef CTRL_ROW
    *count = static_cast<int>(sizeof table / sizeof table[0]);
    return table;
}
// clang-format on
