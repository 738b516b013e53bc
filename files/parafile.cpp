// SPDX-License-Identifier: MIT
// Saving and loading the parameter block, and the three transfer-target toggles.
#include "files/parafile.h"

#include "core/ScopeState.h"
#include "core/controls.h"
#include "core/paramblock.h"
#include "teach/teach.h"
#include "ui/filepopup.h"
#include "ui/formatio.h"
#include "ui/userint.h"

#include <string>

namespace {

// The dialog is the same for saving and loading.
constexpr const char *kDefaultFile = "init.dat";
constexpr const char *kFileTypes = "*.dat";
constexpr const char *kDialogTitle = "init";

int ChooseFile()
{
    return FileSelectPopup(st.proj_dir, kDefaultFile, kFileTypes, kDialogTitle, VAL_OK_BUTTON, 0, 1, 1, 1,
                           st.file_name);
}

void Report(const char *head, const char *tail)
{
    const std::string text = std::string(head) + "\n" + st.file_name + "\n\n" + GetFmtIOErrorText() + "\n\n" + tail;
    MessagePopup("INFO", text.c_str());
}

struct Toggle {
    int control;
    uint16_t target;
    int others[2]; // switched off in this order
};

constexpr Toggle kToggles[] = {
    {SelectRAM, RAM, {SelectEEPROM, SelectFILE}},
    {SelectEEPROM, EEPROM, {SelectRAM, SelectFILE}},
    {SelectFILE, DATFILE, {SelectEEPROM, SelectRAM}},
};

} // namespace

void SendParaToFile()
{
    if (ChooseFile() <= 0)
        return;
    GetPanelValues();
    CopyVarsToPP();
    if (ArrayToFile(st.file_name, st.pp, VAL_UNSIGNED_SHORT_INTEGER, st.anzpara, 1, VAL_GROUPS_TOGETHER,
                    VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, kParaFieldWidth, VAL_ASCII, VAL_TRUNCATE) < 0)
        Report(kSaveFailedHead, kSaveFailedTail);
}

void ReadParaFromFile()
{
    if (ChooseFile() <= 0)
        return;
    // FileToArray leaves pp as it was unless the file holds exactly the block, so a bad file costs no edits.
    if (FileToArray(st.file_name, st.pp, VAL_UNSIGNED_SHORT_INTEGER, st.anzpara, 1, VAL_GROUPS_TOGETHER,
                    VAL_GROUPS_AS_COLUMNS, VAL_ASCII) < 0) {
        Report(kLoadFailedHead, kLoadFailedTail);
        return;
    }
    CopyPPtoVars();
    SetPanelValues();
}

void SelectTargetAction(int toggle)
{
    for (const Toggle &t : kToggles) {
        if (t.control != toggle)
            continue;
        int on = 0;
        GetCtrlVal(st.panel, toggle, &on);
        if (on) {
            SetCtrlVal(st.panel, toggle, 1);
            st.target = t.target;
            for (int other : t.others)
                SetCtrlVal(st.panel, other, 0);
        } else {
            st.target = RAM;
            SetCtrlVal(st.panel, SelectRAM, 1);
        }
    }
}
