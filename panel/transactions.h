// SPDX-License-Identifier: MIT
// Parameter and data transactions with the sensor, and the button actions that start them.
#pragma once

// Waits until waitdel seconds have passed since transbeg, handling no events.
void GuardInterval();

void SendPara(); // panel parameters -> sensor RAM (target RAM) or EEPROM
void GetPara();  // sensor EEPROM (target EEPROM) or RAM (otherwise) -> panel
void GetData();  // polls measurements until poll is cleared or a reply fails; each good one goes to st.record

// Commit actions of the transfer buttons.
void ButtonSendAction();
void ButtonGetAction();
void ButtonGoAction();
void ButtonStopAction();
