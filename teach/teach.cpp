// SPDX-License-Identifier: MIT
// The COLOR TEACH TABLE on the panel and its mirror ctt in the state.
#include "teach/teach.h"

#include "core/ScopeState.h"
#include "core/controls.h"
#include "core/messages.h"
#include "ui/userint.h"

#include <string>

namespace {

struct ParamControl {
    int control;
    uint16_t ScopeState::*variable;
};

// Always this order, in both directions.
constexpr ParamControl kParams[] = {
    {EditSigWinHI, &ScopeState::sigwinhi}, {EditSigWinLo, &ScopeState::sigwinlo}, {SlidePower, &ScopeState::power},
    {EditAverage, &ScopeState::average},   {EditOutmode, &ScopeState::outmode},   {EditHold, &ScopeState::hold},
};

// The message line: what the last action did, time-stamped.
void Say(const std::string &text)
{
    SetCtrlVal(st.panel, MessageLine, Stamped(text).c_str());
}

} // namespace

void GetPanelValues()
{
    for (const ParamControl &p : kParams)
        GetCtrlVal(st.panel, p.control, &(st.*p.variable));
    for (int r = 1; r <= kTeachRows; ++r)
        for (int c = 1; c <= kTeachColumns; ++c)
            GetTableCellVal(st.panel, TeachTable, MakePoint(c, r), &st.ctt[r - 1][c - 1]);
}

void SetPanelValues()
{
    for (const ParamControl &p : kParams)
        SetCtrlVal(st.panel, p.control, st.*p.variable);
    for (int r = 1; r <= kTeachRows; ++r)
        for (int c = 1; c <= kTeachColumns; ++c)
            SetTableCellVal(st.panel, TeachTable, MakePoint(c, r), st.ctt[r - 1][c - 1]);
}

void TeachDataTo()
{
    uint16_t no = 0;
    GetCtrlVal(st.panel, EditNo, &no);
    const int row = no + 1; // a row the table does not have changes no cell
    SetTableCellVal(st.panel, TeachTable, MakePoint(1, row), st.dataX);
    SetTableCellVal(st.panel, TeachTable, MakePoint(2, row), st.dataY);
    SetTableCellVal(st.panel, TeachTable, MakePoint(4, row), st.dataINT);
}

void ResetTable()
{
    for (int r = 1; r <= kTeachRows; ++r)
        for (int c = 1; c <= kTeachColumns; ++c)
            SetTableCellVal(st.panel, TeachTable, MakePoint(c, r), 1);
}

void TeachDataToAction()
{
    SetCtrlAttribute(st.panel, GraphData2, ATTR_ZPLANE_POSITION, kZBehind);
    TeachDataTo();
    uint16_t no = 0;
    GetCtrlVal(st.panel, EditNo, &no);
    if (no >= kTeachRows) {
        Say("No. " + std::to_string(no) + " is not in the teach table: nothing taught");
        return;
    }
    Say("Taught X " + std::to_string(st.dataX) + ", Y " + std::to_string(st.dataY) + ", INT " +
        std::to_string(st.dataINT) + " to No. " + std::to_string(no) + " (Ctrl+Z undoes)");
}

void ResetTableAction()
{
    SetCtrlAttribute(st.panel, GraphData2, ATTR_ZPLANE_POSITION, kZBehind);
    ResetTable();
    Say("Teach table reset: every cell is 1 (Ctrl+Z undoes)");
}
