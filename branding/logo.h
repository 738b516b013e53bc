// SPDX-License-Identifier: MIT
// The branding strip along the top of MainPanel: backdrop colour, logo and captions of one variant.
#pragma once

// Draws variant 0..10 on MainPanel; any other value changes nothing. Each call adds its captions.
void ShowLogo(int variant);
