// SPDX-License-Identifier: MIT
// Callbacks of MainPanel's controls, and the table that binds their names in the panel file.
#pragma once

#include "ui/userint.h"

#define SCOPE_CTRL_CALLBACK(name)                                                                                      \
    int name(int panel, int control, int event, void *callbackData, int eventData1, int eventData2)

SCOPE_CTRL_CALLBACK(CBF_EditConnect);
SCOPE_CTRL_CALLBACK(CBF_DispStatus);
SCOPE_CTRL_CALLBACK(CBF_SelectRAM);
SCOPE_CTRL_CALLBACK(CBF_SelectEEPROM);
SCOPE_CTRL_CALLBACK(CBF_SelectFILE);
SCOPE_CTRL_CALLBACK(CBF_ButtonSend);
SCOPE_CTRL_CALLBACK(CBF_ButtonGet);
SCOPE_CTRL_CALLBACK(CBF_ButtonGo);
SCOPE_CTRL_CALLBACK(CBF_ButtonStop);
SCOPE_CTRL_CALLBACK(CBF_EditSigWinHI);
SCOPE_CTRL_CALLBACK(CBF_EditSigWinLo);
SCOPE_CTRL_CALLBACK(CBF_SlidePower);
SCOPE_CTRL_CALLBACK(CBF_EditAverage);
SCOPE_CTRL_CALLBACK(CBF_EditOutmode);
SCOPE_CTRL_CALLBACK(CBF_EditHold);
SCOPE_CTRL_CALLBACK(CBF_EditNo);
SCOPE_CTRL_CALLBACK(CBF_RadioInc);
SCOPE_CTRL_CALLBACK(CBF_ButtonTeachDataTo);
SCOPE_CTRL_CALLBACK(CBF_ButtonResetTable);
SCOPE_CTRL_CALLBACK(CBF_ButtonUndo);
SCOPE_CTRL_CALLBACK(CBF_ButtonApplyFromAll);
SCOPE_CTRL_CALLBACK(CBF_ButtonZoom);
SCOPE_CTRL_CALLBACK(CBF_AutoAdjust);
SCOPE_CTRL_CALLBACK(CBF_GraphData1);
SCOPE_CTRL_CALLBACK(CBF_GraphData2);
SCOPE_CTRL_CALLBACK(CBF_SelectSource);
SCOPE_CTRL_CALLBACK(CBF_DispX);
SCOPE_CTRL_CALLBACK(CBF_DispY);
SCOPE_CTRL_CALLBACK(CBF_DispINT);
SCOPE_CTRL_CALLBACK(CBF_DispRAW);
SCOPE_CTRL_CALLBACK(CBF_DispRED);
SCOPE_CTRL_CALLBACK(CBF_DispGREEN);
SCOPE_CTRL_CALLBACK(CBF_DispBLUE);
SCOPE_CTRL_CALLBACK(CBF_DispCOL);
SCOPE_CTRL_CALLBACK(CBF_GraphRaw1);

// The panel's own callback.
int CBF_P(int panel, int event, void *callbackData, int eventData1, int eventData2);

// Every callback name the panel file may use. *count receives the number of rows.
const CallbackEntry *ScopeCallbackTable(int *count);
