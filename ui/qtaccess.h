// SPDX-License-Identifier: MIT
// The Qt widgets behind panel handles and control identifiers, for the executable's start-up and for tests.
#pragma once

#include <vector>

class QWidget;

QWidget *PanelWidget(int panel);
QWidget *CtrlWidget(int panel, int control);
// Controls made at run time by NewCtrl, in creation order.
std::vector<QWidget *> NewCtrlWidgets(int panel);

// The window modal boxes belong to: the active one, else the panel on screen. Once a box has closed,
// ReturnKeyboard activates that window again and focuses its last focused control: without a window
// manager nothing else does, and F9-F12 would stay dead.
QWidget *ModalParent();
void ReturnKeyboard(QWidget *window);
