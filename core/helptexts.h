// SPDX-License-Identifier: MIT
// Help texts shown on a right click (title "Info"), and the time-out message (title "INFO").
#pragma once

extern const char *const InfoButtonSend;
extern const char *const InfoButtonGet;
extern const char *const InfoButtonGo;
extern const char *const InfoButtonStop;
extern const char *const InfoEditConnect;
extern const char *const InfoSelectMEM;
extern const char *const InfoSelectSource;
extern const char *const InfoButtonTeachDataTo;
extern const char *const InfoButtonResetTable;
extern const char *const InfoButtonUndo;
extern const char *const InfoButtonApplyFromAll;
extern const char *const InfoButtonZoom;
extern const char *const InfoButtonAutoAdjust;
extern const char *const InfoEditNo;
extern const char *const InfoRadioInc;
extern const char *const InfoEditSigWin;
extern const char *const InfoEditPower;
extern const char *const InfoEditAverage;
extern const char *const InfoEditOutmode;
extern const char *const InfoEditHold;
extern const char *const InfoDispX;
extern const char *const InfoDispY;
extern const char *const InfoDispINT;
extern const char *const InfoDispRAW;
extern const char *const InfoDispCOL;
extern const char *const InfoDispBars;
extern const char *const InfoStatus;
extern const char *const InfoGraph;
extern const char *const InfoTimeout;
