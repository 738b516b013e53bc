// SPDX-License-Identifier: MIT
// Saving and loading the parameter block, and the three transfer-target toggles.
#include "files/parafile.h"

#include "core/ScopeState.h"
#include "core/controls.h"
#include "core/messages.h"
#include "core/paramblock.h"
#include "io/formatio.h"
#include "io/utility.h"
#include "ui/filepopup.h"
#include "ui/userint.h"

#include <cstdio>
#include <string>

namespace {

// The dialog is the same for saving and loading.
constexpr const char *kDefaultFile = "init.dat";
constexpr const char *kFileTypes = "*.dat";
constexpr const char *kDialogTitle = "init";

static_assert(kFileNameChars == kPathChars, "the state's paths hold every path the system may give");

// Where the system keeps installed programs; a package's folder there is no place for a user's files, even for
// root, who could write it.
constexpr const char *kInstalledPrefix = "/usr/";

// The dialog opens in the program's directory where files may be made there, as in a build tree. An installed
// program's directory is read-only for users, so a folder in their documents takes its place, made the first
// time it is needed; should that fail, the documents folder itself, and failing that the program's directory,
// where a save then says why it cannot be made.
const char *DialogFolder()
{
    static char folder[kPathChars];
    const std::string dir = st.proj_dir;
    if (IsWritableDir(st.proj_dir) && dir.rfind(kInstalledPrefix, 0) != 0)
        return st.proj_dir;
    if (GetDocumentsDir(folder) < 0)
        return st.proj_dir;
    const std::string own = std::string(folder) + "/" + kDocumentsSubfolder;
    if (own.size() < sizeof folder && MakeDir(own.c_str()) == 0) {
        std::snprintf(folder, sizeof folder, "%s", own.c_str());
        return folder;
    }
    return MakeDir(folder) == 0 ? folder : st.proj_dir;
}

// The message line: what the last action did, time-stamped.
void Say(const std::string &text)
{
    SetCtrlVal(st.panel, MessageLine, Stamped(text).c_str());
}

void Report(const char *head, const std::string &path, const std::string &reason, const char *tail)
{
    const std::string text = std::string(head) + "\n" + path + "\n\n" + reason + "\n\n" + tail;
    MessagePopup("INFO", text.c_str());
}

// True when a file was chosen. A choice the program cannot use is not dropped in silence: the user is told.
bool ChooseFile(const char *head, const char *tail)
{
    const int result = FileSelectPopup(DialogFolder(), kDefaultFile, kFileTypes, kDialogTitle, VAL_OK_BUTTON, 0, 1,
                                       1, 1, st.file_name);
    if (result == kFileSelectErrPathTooLong)
        Report(head, "(the chosen path)",
               "Its path is longer than the " + std::to_string(kPathChars - 1) + " bytes the system takes.", tail);
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

void SendParaToFile(const PanelValues &panel)
{
    if (!ChooseFile(kSaveFailedHead, kSaveFailedTail))
        return;
    panel.read();
    CopyVarsToPP();
    if (ArrayToFile(st.file_name, st.pp, VAL_UNSIGNED_SHORT_INTEGER, st.anzpara, 1, VAL_GROUPS_TOGETHER,
                    VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, kParaFieldWidth, VAL_ASCII, VAL_TRUNCATE) < 0) {
        Say(std::string("Not saved: ") + st.file_name);
        Report(kSaveFailedHead, st.file_name, GetFmtIOErrorText(), kSaveFailedTail);
        return;
    }
    Say(std::string("Saved ") + st.file_name);
}

void ReadParaFromFile(const PanelValues &panel)
{
    if (!ChooseFile(kLoadFailedHead, kLoadFailedTail))
        return;
    // FileToArray leaves pp as it was unless the file holds exactly the block, so a bad file costs no edits.
    if (FileToArray(st.file_name, st.pp, VAL_UNSIGNED_SHORT_INTEGER, st.anzpara, 1, VAL_GROUPS_TOGETHER,
                    VAL_GROUPS_AS_COLUMNS, VAL_ASCII) < 0) {
        Say(std::string("Not loaded: ") + st.file_name);
        Report(kLoadFailedHead, st.file_name, GetFmtIOErrorText(), kLoadFailedTail);
        return;
    }
    CopyPPtoVars();
    panel.show();
    Say(std::string("Loaded ") + st.file_name);
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
