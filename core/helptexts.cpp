// SPDX-License-Identifier: MIT
// Help texts shown on a right click, and the time-out message; stored exactly as the user sees them.
#include "core/helptexts.h"

const char *const InfoButtonSend = " All the parameters of the PC-User-Interface are transferred to the sensor or to a "
                                   "selectable file.                           \n"
                                   " The target of the parameter transfer is determined by the select button (RAM, "
                                   "EEPROM, FILE).                           \n"
                                   " Shortcut Key: F9. ";

const char *const InfoButtonGet =
    " Sensor or file parameters are transferred to the PC-User-Interface.                          \n"
    " The source of the parameter transfer is determined by the select button (RAM, EEPROM, FILE).                     "
    "     \n"
    " Shortcut Key: F10. ";

const char *const InfoButtonGo =
    " Starts data transfer (X, Y, INT, RED, GREEN, BLUE, C-No:) from sensor to PC.                         \n"
    " The data are shown in the displays, color bars and in the graph.                        \n"
    " Shortcut Key: F11. ";

const char *const InfoButtonStop = " Stops data transfer from sensor to PC.                        \n"
                                   " Shortcut Key: F12. ";

const char *const InfoEditConnect = " Select a serial COM-PORT.";

const char *const InfoSelectMEM = " Select the source respectively the target for the parameter transfer.";

const char *const InfoSelectSource = " Select a signal to be displayed in the graph.";

const char *const InfoButtonTeachDataTo =
    " Current measured values (X, Y, INT) are assigned to the                                  \n"
    " COLOR TEACH TABLE row selected in the No.: function field.";

const char *const InfoButtonResetTable = " Reset the COLOR TEACH TABLE.                                 \n"
                                         " All cells are set to 1.";

const char *const InfoButtonUndo =
    " Restores the COLOR TEACH TABLE as it was before the last RESET TABLE, TEACH DATA TO,\n"
    " AUTO ADJUST or parameter file load. Press again for the change before that.\n"
    " Shortcut Key: Ctrl+Z. ";

const char *const InfoButtonApplyFromAll =
    " Displays the graph with all the taught colors in the COLOR TEACH TABLE                                   \n"
    " and the corresponding tolerance circles (radius = CTO).";

const char *const InfoButtonZoom =
    " Zoom the graph with the taught colors and the corresponding tolerance circle.                           \n"
    " Use the ARROW-KEYS or the MOUSE to move the cross in the graph.";

const char *const InfoButtonAutoAdjust =
    " Starts an automatic adjustment of the circle tolerances (radius = CTO).                                 \n"
    " The circles (CTO) can overlap, if an INT separation is granted.                                 \n"
    " Maximum adjusted CTO (radius) is 200.";

const char *const InfoEditNo = " Select the current channel of a row in the COLOR TEACH TABLE for TEACH DATA TO.";

const char *const InfoRadioInc = " Auto increment of Edit Field No.:";

const char *const InfoEditSigWin = " If SigWinLo < INT < SigWinHi, LED SIGNAL OK is on.";

const char *const InfoEditPower = " Select the intensity of the transmitter LED.                          \n"
                                  " 0 = no intensity,  1000 = full intensity.";

const char *const InfoEditAverage =
    " Select the number of scanning values (measurement values) over which the raw signal is averaged.";

const char *const InfoEditOutmode =
    " Select how to output the output pulses.                            \n"
    " DIRECT  : When the color is detected, output changes from LOW (0V) to HIGH (+24V).                            \n"
    " INVERSE : When the color is detected, output changes from HIGH (+24V) to LOW (0V). ";

const char *const InfoEditHold = " Select the minimum pulse length when a digital output changes.";

const char *const InfoDispX =
    " Displays the red content of the color currently arriving at the receiver.                      \n"
    " Formula for calculation: X = (R*4095)/(R+G+B).                      \n"
    " R=RED, G=GREEN, B=BLUE";

const char *const InfoDispY =
    " Displays the green content of the color currently arriving at the receiver.                      \n"
    " Formula for calculation: Y = (G*4095)/(R+G+B).                      \n"
    " R=RED, G=GREEN, B=BLUE";

const char *const InfoDispINT =
    " Displays the intensity of the color currently arriving at the receiver.                      \n"
    " Formula for calculation: INT = (R+G+B)/3.                      \n"
    " R=RED, G=GREEN, B=BLUE";

const char *const InfoDispRAW =
    " Displays the current color intensity of RED or GREEN or BLUE                        \n"
    " when EVALMODE is CONTRAST R or CONTRAST G or CONTRAST B";

const char *const InfoDispCOL =
    " Displays the currently detected channel in accordance with the row                        \n"
    " in the COLOR TEACH TABLE.";

const char *const InfoDispBars = " Displays the RAW values of RED, GREEN and BLUE.";

const char *const InfoStatus = " Displays serial interface status messages.";

const char *const InfoGraph = " Displays a signal selected with SOURCE.";

const char *const InfoTimeout = " ATTENTION! \n \n TIMEOUT \n NO SERIAL CONNECTION TO SENSOR";
