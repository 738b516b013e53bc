// SPDX-License-Identifier: MIT
// Automatic tolerance adjustment: grows both taught colours' circles until colours of like intensity touch.
#pragma once

#include "core/ScopeState.h"

// Sets column 3 (CTO) of every row of ctt: all start at 1 and grow together in steps 2..200, row 1 before
// row 2; a row stops when its circle touches or overlaps another row's circle and their INT windows
// intersect. A row handled earlier in a step counts with its new radius. Other columns are not touched.
void AdjustCto(TeachRows ctt);

// Stops polling, reads the panel, shows the whole plane on the zoom graph in front with both circles at the
// starting radius, adjusts CTO, writes the panel back (only column 3 of the table changes) and draws the result.
// The commit action of ButtonAutoAdjust.
void AutoAdjust();
