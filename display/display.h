// SPDX-License-Identifier: MIT
// Live values, the signal history and its strip chart, and the choice of the displayed signal.
#pragma once

#include "core/ScopeState.h"

#include <cstdint>

// What the displays and the strip chart show, chosen in SelectSource.
enum Source : uint16_t {
    kSourcePlane = 0, // the X/Y colour plane
    kSourceRgb = 1,   // RED, GREEN and BLUE
    kSourceRed = 2,
    kSourceGreen = 3,
    kSourceBlue = 4,
    kSourceInt = 5,   // INT with its window
    kSourceColNo = 6, // the colour number
    kSourceCount
};

// Places the strip chart shows: the whole history and the newest sample.
inline constexpr int kStripPointsPerScreen = kHistorySamples + 1;

// Status results of the array routines.
inline constexpr int32_t kArrayOk = 0;
inline constexpr int32_t kArrayCountTooSmall = -20003;
inline constexpr int32_t kArrayShiftTooLarge = -20102;

// Copies count doubles bit for bit. Bad arguments leave the output untouched.
int32_t Copy1D(const double *input, int32_t count, double *output);
// Moves count doubles by shift places (positive: towards higher indices), filling vacated places with 0.0.
// input and output may be the same array. Bad arguments leave the output untouched.
int32_t Shift(const double *input, int32_t count, int32_t shift, double *output);

// Once per successful poll, in this order. Neither allocates.
void SetPanelData(); // LEDs, bars, numbers, DispRAW; appends one sample to alldata
void ShowGraph();    // the overview cursor (source 0) or the strip chart from the whole history

// Reads SelectSource into source and shows the displays and traces that belong to it.
void DispVis();
