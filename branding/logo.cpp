// SPDX-License-Identifier: MIT
// The branding variants: one table row each, drawn by ShowLogo.
#include "branding/logo.h"

#include "core/ScopeState.h"
#include "branding/gui.h"
#include "core/controls.h"
#include "core/product.h"
#include "ui/userint.h"

namespace {

struct Caption {
    const char *text;
    int left, top, pointSize;
};

struct Variant {
    int backdrop;
    int logoLeft, logoTop;
    const char *bitmap; // nullptr: keep the picture the panel file gives
    int style;          // 1, 2 or 3
    Caption captions[4];
    int captionCount;
};

// Company captions of the brandings we supply; the distributors' own texts take their place in their builds.
constexpr const char *kCompany = "Quillex Sensor Systems Ltd.";
constexpr const char *kPhone = "Phone +1 555 0142";
constexpr const char *kTown = "12345 Sampleton";
constexpr const char *kStreetTown = "1 Harbour Road, 12345 Sampleton";
constexpr const char *kWeb = "www.quillex.example";

const Variant kVariants[11] = {
    {0xFFFFFF, 800, 5, nullptr, 2, {{kProductTitle, 280, 20, 22}}, 1},
    {0xFFFFFF, 646, 5, "logo1.png", 1, {{kProductTitle, 280, 20, 22}, {kCompany, 15, 13, 14}, {kPhone, 15, 32, 14}}, 3},
    {0xFFFFFF,
     705,
     5,
     "logo2.png",
     2,
     {{kProductTitle, 280, 20, 22}, {kTown, 15, 21, 14}, {kPhone, 15, 37, 14}, {kCompany, 15, 5, 14}},
     4},
    {0xFFFFFF, 572, 6, "logo3.png", 1, {{kProductTitle, 20, 16, 25}}, 1},
    {0xFFFFFF, 636, 6, "logo4.png", 1, {{kProductTitle, 20, 16, 25}}, 1},
    {0x0080FF,
     325,
     6,
     "logo5.png",
     3,
     {{kProductTitle, 323, 30, 18}, {kCompany, 15, 5, 12}, {kPhone, 15, 20, 12}, {kWeb, 15, 35, 12}},
     4},
    {0xFFFFFF,
     599,
     6,
     "logo6.png",
     2,
     {{kProductTitle, 340, 20, 18}, {kStreetTown, 15, 20, 14}, {kPhone, 15, 35, 14}, {kCompany, 15, 5, 14}},
     4},
    {0xFFFFFF, 649, 5, "logo7.png", 1, {{kProductTitle, 280, 20, 22}, {kCompany, 15, 13, 14}, {kPhone, 15, 32, 14}}, 3},
    {0xFFFFFF, 594, 5, "logo8.png", 1, {{kProductTitle, 280, 20, 20}, {kCompany, 15, 13, 14}, {kPhone, 15, 32, 14}}, 3},
    {0xFFFFFF, 7, 2, "logo9.png", 3, {{kProductTitle, 280, 20, 20}}, 1},
    {0xFFFFFF, 595, 6, "logo10.png", 1, {{kProductTitle, 20, 16, 25}}, 1},
};

} // namespace

void ShowLogo(int variant)
{
    if (variant < 0 || variant > 10)
        return;
    const Variant &v = kVariants[variant];
    SetCtrlAttribute(st.panel, LogoBackdrop, ATTR_FRAME_COLOR, v.backdrop);
    SetCtrlAttribute(st.panel, LogoPicture, ATTR_TOP, v.logoTop);
    SetCtrlAttribute(st.panel, LogoPicture, ATTR_LEFT, v.logoLeft);
    if (v.bitmap)
        DisplayImageFile(st.panel, LogoPicture, v.bitmap);
    for (int i = 0; i < v.captionCount; ++i) {
        const Caption &c = v.captions[i];
        switch (v.style) {
        case 1: ShowInfoText1(st.textIDsoft, c.text, c.left, c.top, c.pointSize); break;
        case 2: ShowInfoText2(st.textIDsoft, c.text, c.left, c.top, c.pointSize); break;
        default: ShowInfoText3(st.textIDsoft, c.text, c.left, c.top, c.pointSize); break;
        }
    }
}
