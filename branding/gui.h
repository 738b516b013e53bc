// SPDX-License-Identifier: MIT
// Caption styles of the branding strip: grey on white, black on white, white on transparent.
#pragma once

// Each creates one text caption on MainPanel at (left, top) in the application font at pointSize.
// textID only receives the new control's identifier in the callee's own copy; the caller's variable is unchanged.
void ShowInfoText1(int textID, const char *text, int left, int top, int pointSize);
void ShowInfoText2(int textID, const char *text, int left, int top, int pointSize);
void ShowInfoText3(int textID, const char *text, int left, int top, int pointSize);
