// SPDX-License-Identifier: MIT
// Storage of the program-wide state record.
#include "core/ScopeState.h"

ScopeState st;

void ResetScopeState()
{
    st = ScopeState{};
}
