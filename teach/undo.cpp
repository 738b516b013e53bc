// SPDX-License-Identifier: MIT
// The teach table's undo steps, kept in the state record so that every start begins with none.
#include "teach/undo.h"

#include "core/ScopeState.h"
#include "core/controls.h"
#include "core/messages.h"
#include "teach/graphs.h"
#include "ui/userint.h"

#include <algorithm>
#include <string>

namespace {

using Table = uint16_t[kTeachRows][kTeachColumns];

void ReadTable(Table &t)
{
    for (int r = 1; r <= kTeachRows; ++r)
        for (int c = 1; c <= kTeachColumns; ++c)
            GetTableCellVal(st.panel, TeachTable, MakePoint(c, r), &t[r - 1][c - 1]);
}

bool Same(const Table &a, const Table &b)
{
    return std::equal(&a[0][0], &a[0][0] + kTeachRows * kTeachColumns, &b[0][0]);
}

} // namespace

void RememberTeachTable(const char *what)
{
    if (st.undoCount == kUndoSteps) {
        std::copy(&st.undoTable[1][0][0], &st.undoTable[0][0][0] + kUndoSteps * kTeachRows * kTeachColumns,
                  &st.undoTable[0][0][0]);
        std::copy(st.undoWhat + 1, st.undoWhat + kUndoSteps, st.undoWhat);
        --st.undoCount;
    }
    ReadTable(st.undoTable[st.undoCount]);
    st.undoWhat[st.undoCount] = what;
    ++st.undoCount;
}

void UndoTeachTable()
{
    Table now;
    ReadTable(now);
    // A step whose table equals the panel's changed nothing (a cancelled load): taking it back would look like
    // a key that does nothing.
    while (st.undoCount > 0 && Same(st.undoTable[st.undoCount - 1], now))
        --st.undoCount;
    if (st.undoCount == 0) {
        SetCtrlVal(st.panel, MessageLine, Stamped("Nothing to undo in the teach table").c_str());
        return;
    }
    --st.undoCount;
    const Table &back = st.undoTable[st.undoCount];
    for (int r = 1; r <= kTeachRows; ++r)
        for (int c = 1; c <= kTeachColumns; ++c)
            SetTableCellVal(st.panel, TeachTable, MakePoint(c, r), back[r - 1][c - 1]);
    RedrawZoomedCircles();
    SetCtrlVal(st.panel, MessageLine,
               Stamped(std::string("Undid ") + st.undoWhat[st.undoCount] + ": teach table restored").c_str());
}
