// SPDX-License-Identifier: MIT
// The Qt widgets behind panel handles and control identifiers, for the executable's start-up and for tests.
#pragma once

#include <vector>

class QWidget;

QWidget *PanelWidget(int panel);
QWidget *CtrlWidget(int panel, int control);
// Controls made at run time by NewCtrl, in creation order.
std::vector<QWidget *> NewCtrlWidgets(int panel);
