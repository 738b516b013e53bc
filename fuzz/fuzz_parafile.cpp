// SPDX-License-Identifier: MIT
// Fuzz target: arbitrary contents as a parameter file, loaded as the panel loads it. Either exactly the 25
// values are taken, or the load is refused and pp, the variables and the panel are unchanged; a file that
// was taken, saved again, loads to the same block.
#include "fuzz/fuzzsupport.h"

#include "app/QuillexEMBV10.h"
#include "app/callbacks.h"
#include "core/ScopeState.h"
#include "core/controls.h"
#include "files/parafile.h"
#include "teach/teach.h"
#include "ui/filepopup.h"
#include "ui/userint.h"

#include <stdlib.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string dir;
std::vector<PopupRecord> &popups = fuzzsupport::popups;
FileSelectAnswer answer;

void Start()
{
    static char name[] = "fuzz_parafile";
    const std::string scratch = fuzzsupport::StartPanelRunTime(name);
    SetFileSelectAnswer(&answer);
    st.panel = LoadPanel(0, SCOPE_BIN_DIR "/QuillexEMBV10.uir", kPanelNumber);
    if (st.panel < 0)
        std::abort();
    InitVars();
    dir = scratch;
}

// Everything a load may change: the block, its mirrors and what the panel shows.
std::vector<int> Snapshot()
{
    std::vector<int> s(st.pp, st.pp + kParaWords);
    for (uint16_t v : {st.sigwinhi, st.sigwinlo, st.power, st.average, st.outmode, st.hold})
        s.push_back(v);
    for (auto &row : st.ctt)
        s.insert(s.end(), row, row + kTeachColumns);
    for (int c : {EditSigWinHI, EditSigWinLo, SlidePower, EditAverage, EditOutmode, EditHold}) {
        int v = 0;
        GetCtrlVal(st.panel, c, &v);
        s.push_back(v);
    }
    for (int r = 1; r <= kTeachRows; ++r)
        for (int c = 1; c <= kTeachColumns; ++c) {
            unsigned short v = 0;
            GetTableCellVal(st.panel, TeachTable, MakePoint(c, r), &v);
            s.push_back(v);
        }
    return s;
}

void Load(const std::string &path)
{
    answer.result = VAL_EXISTING_FILE_SELECTED;
    answer.path = path;
    ReadParaFromFile({GetPanelValues, SetPanelValues});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (dir.empty())
        Start();
    const std::string path = dir + "/fuzz.dat";
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    popups.clear();
    const std::vector<int> before = Snapshot();
    Load(path);
    if (!popups.empty()) {
        if (Snapshot() != before)
            std::abort(); // a refused file changed something
        return 0;
    }
    // Taken: save it again and load that; the block must come back the same.
    std::array<uint16_t, kParaWords> loaded;
    std::memcpy(loaded.data(), st.pp, sizeof st.pp);
    answer.result = VAL_NEW_FILE_SELECTED;
    answer.path = dir + "/again.dat";
    SendParaToFile({GetPanelValues, SetPanelValues});
    std::memset(st.pp, 0, sizeof st.pp);
    Load(answer.path);
    if (!popups.empty() || std::memcmp(loaded.data(), st.pp, sizeof st.pp) != 0)
        std::abort();
    return 0;
}
