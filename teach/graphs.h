// SPDX-License-Identifier: MIT
// The colour plane on the overview and zoom graphs: diagonal, tolerance circles, zoom window, z-order.
#pragma once

#include "core/ScopeState.h"

// Circle colours 0xRRGGBB, held as doubles and truncated when used; entry r colours table row r + 1.
extern const double sicolarr[16];

// Zoom window: 400 x 400 plane units around the cursor, kept inside 0..4095.
inline constexpr double kZoomHalf = 200;
inline constexpr double kZoomCentreMin = kZoomHalf;
inline constexpr double kZoomCentreMax = kFullScale - kZoomHalf;

// Deletes every plot of the graph and draws the grey diagonal X + Y = 4095 alone.
void DrawDiagonalAlone(int graph);
// Draws the colour plane with the circles of `table` and leaves exactly seven plots: the diagonal, then three
// arcs for row 1, then three for row 2. Draws only: it reads no panel, stops nothing, and changes neither the
// graph's axes, cursor nor z-order.
void DrawColourPlane(int graph, ConstTeachRows table);

// Each of these stops polling, reads the panel and draws the plane with the panel's circles.
void ApplyFromAll();   // on GraphData1
void ShowGraphData2(); // on GraphData2
void ZoomGraphData2(); // on GraphData2, then centres the 400 x 400 window on its (limited) cursor

// Commit actions of ButtonApplyFromAll (overview to the front) and ButtonZoom (zoom graph to the front,
// whole plane, cursor left where it is).
void ApplyFromAllAction();
void ZoomAction();
// Right click on the zoom graph: the overview is seen again.
void ZoomGraphBehind();
// After the program has changed the teach table (a fetch, a file load, an undo): a zoom graph in front shows the
// new circles at once, its window and cross kept. Live data go on; nothing is drawn while the overview is seen.
void RedrawZoomedCircles();
