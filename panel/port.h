// SPDX-License-Identifier: MIT
// Port set-up and identification of the sensor, and changing the port from the panel.
#pragma once

// Opens COM `port` with the link's settings and identifies the sensor; failures go to DispStatus.
void InitRS232(int port);
// Asks the sensor on COM com for its identification and shows it; a missing reply is reported.
void CheckComLine();
// Commit action of EditConnect: stop polling, close the port in use, connect to the number entered.
void ReconnectComPort();

// Text shown in DispStatus for a negative port-opening result.
const char *PortErrorText(int code);
