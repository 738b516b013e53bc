// SPDX-License-Identifier: MIT
// Caption styles of the branding strip.
#include "branding/gui.h"

#include "core/ScopeState.h"
#include "ui/userint.h"

namespace {

void ShowCaption(int textID, const char *text, int left, int top, int pointSize, int background, int colour)
{
    textID = NewCtrl(st.panel, CTRL_TEXT_MSG, "", top, left);
    SetCtrlAttribute(st.panel, textID, ATTR_TEXT_FONT, VAL_APP_META_FONT);
    SetCtrlAttribute(st.panel, textID, ATTR_TEXT_BGCOLOR, background);
    SetCtrlAttribute(st.panel, textID, ATTR_TEXT_COLOR, colour);
    SetCtrlAttribute(st.panel, textID, ATTR_TEXT_POINT_SIZE, pointSize);
    SetCtrlVal(st.panel, textID, text);
}

} // namespace

void ShowInfoText1(int textID, const char *text, int left, int top, int pointSize)
{
    ShowCaption(textID, text, left, top, pointSize, 0xFFFFFF, 0x808080);
}

void ShowInfoText2(int textID, const char *text, int left, int top, int pointSize)
{
    ShowCaption(textID, text, left, top, pointSize, 0xFFFFFF, 0x000000);
}

void ShowInfoText3(int textID, const char *text, int left, int top, int pointSize)
{
    ShowCaption(textID, text, left, top, pointSize, VAL_TRANSPARENT, 0xFFFFFF);
}
