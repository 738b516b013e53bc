// SPDX-License-Identifier: MIT
// Modal boxes, and the sink that records them instead for tests.
#include "ui/uistate.h"

#include <QApplication>
#include <QMessageBox>

using namespace uistate;

int MessagePopup(const char *title, const char *message)
{
    if (Ui().popupSink) {
        Ui().popupSink->push_back({title, message});
        return 0;
    }
    QWidget *parent = QApplication::activeWindow();
    QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(title), QString::fromLatin1(message), QMessageBox::Ok,
                    parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
    return 0;
}

void SetPopupSink(std::vector<PopupRecord> *sink)
{
    Ui().popupSink = sink;
}
