// SPDX-License-Identifier: MIT
// Identifiers of the controls of MainPanel, and their object names in the panel file.
#pragma once

// Every control the program addresses. The panel loader refuses a file that lacks any of them.
enum Ctrl : int {
    EditConnect = 1,
    DispStatus,
    SelectRAM,
    SelectEEPROM,
    SelectFILE,
    ButtonSend,
    ButtonGet,
    ButtonGo,
    ButtonStop,
    EditSigWinHI,
    EditSigWinLo,
    SlidePower,
    EditAverage,
    EditOutmode,
    EditHold,
    TeachTable,
    EditNo,
    RadioInc,
    ButtonTeachDataTo,
    ButtonResetTable,
    ButtonApplyFromAll,
    ButtonZoom,
    ButtonAutoAdjust,
    GraphData1,
    GraphData2,
    SelectSource,
    DispX,
    DispY,
    DispINT,
    DispRAW,
    DispRED,
    DispGREEN,
    DispBLUE,
    LedCol1,
    LedCol2,
    DispCOL,
    CaptionX,
    CaptionY,
    CaptionINT,
    CaptionRAW,
    GraphRaw1,
    LogoBackdrop,
    LogoPicture,
    kCtrlCount // one past the last; controls made by NewCtrl are numbered from 1000
};

inline constexpr int kPanelNumber = 1;
inline constexpr int kFirstNewCtrl = 1000;

// Object name of a control in the panel file, or nullptr for an unknown identifier.
const char *CtrlName(int control);
