// SPDX-License-Identifier: MIT
// Storage of the program-wide state record.
#include "app/ScopeState.h"

ScopeState st;

void ResetScopeState()
{
    st = ScopeState{};
}
