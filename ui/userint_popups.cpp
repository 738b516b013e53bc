// SPDX-License-Identifier: MIT
// Modal boxes, and the sink that records them instead for tests.
#include "ui/uistate.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>

#include "ui/qtaccess.h"

using namespace uistate;

int MessagePopup(const char *title, const char *message)
{
    if (Ui().popupSink) {
        Ui().popupSink->push_back({title, message});
        return 0;
    }
    QPointer<QWidget> parent = ModalParent();
    // Messages may carry file paths, which are in the system's 8-bit encoding.
    QMessageBox box(QMessageBox::NoIcon, QString::fromLocal8Bit(title), QString::fromLocal8Bit(message),
                    QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
    ReturnKeyboard(parent);
    return 0;
}

void SetPopupSink(std::vector<PopupRecord> *sink)
{
    Ui().popupSink = sink;
}

QWidget *ModalParent()
{
    if (QWidget *w = QApplication::activeWindow())
        return w;
    // Right after another box has closed, the panel may not be active again yet.
    for (auto &[handle, p] : Ui().panels)
        if (p.root && p.root->isVisible())
            return p.root;
    return nullptr;
}

void ReturnKeyboard(QWidget *window)
{
    if (!window)
        return;
    QWidget *focus = window->focusWidget();
    window->activateWindow();
    if (focus)
        focus->setFocus(Qt::OtherFocusReason);
}
