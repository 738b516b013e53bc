// SPDX-License-Identifier: MIT
// The file-selection dialog on QFileDialog, kept non-native and modal to the program's window.
#include "ui/filepopup.h"

#include "ui/qtaccess.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>
#include <QPushButton>

#include <cstring>

namespace {

FileSelectAnswer *answerHook = nullptr;

// "*.dat" -> "dat"; empty when the list names no single extension.
QString ExtensionOf(const QString &fileTypeList)
{
    const QString first = fileTypeList.section(QLatin1Char(';'), 0, 0).trimmed();
    if (!first.startsWith(QLatin1String("*.")))
        return {};
    const QString ext = first.mid(2);
    return ext.isEmpty() || ext.contains(QLatin1Char('*')) || ext.contains(QLatin1Char('?')) ? QString() : ext;
}

int StorePath(const QString &path, char pathName[kPathChars])
{
    const QByteArray bytes = QFile::encodeName(QDir::toNativeSeparators(path));
    if (bytes.size() >= kPathChars)
        return kFileSelectErrPathTooLong;
    std::memcpy(pathName, bytes.constData(), size_t(bytes.size()) + 1);
    return 0;
}

} // namespace

int FileSelectPopup(const char *defaultDirectory, const char *defaultFileSpec, const char *fileTypeList,
                    const char *title, int buttonLabel, int restrictDirectory, int restrictExtension, int allowCancel,
                    int allowMakeDirectory, char pathName[kPathChars])
{
    (void)buttonLabel; // only VAL_OK_BUTTON is offered
    if (answerHook) {
        ++answerHook->asked;
        answerHook->directory = defaultDirectory;
        if (answerHook->result > 0 && StorePath(QString::fromStdString(answerHook->path), pathName) < 0)
            return kFileSelectErrPathTooLong;
        return answerHook->result;
    }

    const QString directory = QFile::decodeName(defaultDirectory);
    const QString extension = restrictExtension ? ExtensionOf(QString::fromLatin1(fileTypeList)) : QString();
    QPointer<QWidget> window = ModalParent();

    QFileDialog dialog(window, QString::fromLatin1(title), directory);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen); // a save-mode dialog would ask before replacing, also when loading
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(QString::fromLatin1(fileTypeList));
    dialog.setDefaultSuffix(extension);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("OK"));
    dialog.setOption(QFileDialog::ReadOnly, !allowMakeDirectory);
    dialog.selectFile(QString::fromLatin1(defaultFileSpec));
    if (!allowCancel)
        if (auto *box = dialog.findChild<QDialogButtonBox *>())
            if (QPushButton *cancel = box->button(QDialogButtonBox::Cancel))
                cancel->hide();
    if (restrictDirectory)
        QObject::connect(&dialog, &QFileDialog::directoryEntered, &dialog, [&dialog, directory](const QString &d) {
            if (QFileInfo(d) != QFileInfo(directory))
                dialog.setDirectory(directory);
        });

    const int accepted = dialog.exec();
    ReturnKeyboard(window);
    if (accepted != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return VAL_NO_FILE_SELECTED;

    QString path = dialog.selectedFiles().constFirst();
    // The dialog appends the extension only to a name without any; "x.txt" must not slip through either.
    if (!extension.isEmpty() && !path.endsWith(QLatin1Char('.') + extension, Qt::CaseInsensitive))
        path += QLatin1Char('.') + extension;
    if (StorePath(path, pathName) < 0)
        return kFileSelectErrPathTooLong;
    return QFileInfo::exists(path) ? VAL_EXISTING_FILE_SELECTED : VAL_NEW_FILE_SELECTED;
}

void SetFileSelectAnswer(FileSelectAnswer *answer)
{
    answerHook = answer;
}
