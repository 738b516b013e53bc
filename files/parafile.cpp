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

static_assert(sizeof st.file_name == kMaxPathname, "file_name holds every path the dialog may return");

void Report(const char *head, const std::string &path, const std::string &reason, const char *tail)
{
    const std::string text = std::string(head) + "\n" + path + "\n\n" + reason + "\n\n" + tail;
    MessagePopup("INFO", text.c_str());
}

// True when a file was chosen. A choice the program cannot use is not dropped in silence: the user is told.
bool ChooseFile(const char *head, const char *tail)
{
    const int result =
        FileSelectPopup(st.proj_dir, kDefaultFile, kFileTypes, kDialogTitle, VAL_OK_BUTTON, 0, 1, 1, 1, st.file_name);
    if (result == kFileSelectErrPathTooLong)
        Report(head, "(the chosen path)",
               "Its path is longer than the " + std::to_string(kMaxPathname - 1) + " bytes the system takes.", tail);
    return result > 0;
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
    if (!ChooseFile(kSaveFailedHead, kSaveFailedTail))
        return;
    GetPanelValues();
    CopyVarsToPP();
    if (ArrayToFile(st.file_name, st.pp, VAL_UNSIGNED_SHORT_INTEGER, st.anzpara, 1, VAL_GROUPS_TOGETHER,
                    VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, kParaFieldWidth, VAL_ASCII, VAL_TRUNCATE) < 0)
        Report(kSaveFailedHead, st.file_name, GetFmtIOErrorText(), kSaveFailedTail);
}

void ReadParaFromFile()
{
    if (!ChooseFile(kLoadFailedHead, kLoadFailedTail))
        return;
    // FileToArray leaves pp as it was unless the file holds exactly the block, so a bad file costs no edits.
    if (FileToArray(st.file_name, st.pp, VAL_UNSIGNED_SHORT_INTEGER, st.anzpara, 1, VAL_GROUPS_TOGETHER,
                    VAL_GROUPS_AS_COLUMNS, VAL_ASCII) < 0) {
        Report(kLoadFailedHead, st.file_name, GetFmtIOErrorText(), kLoadFailedTail);
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
