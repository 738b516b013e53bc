// SPDX-License-Identifier: MIT
// Time base on the monotonic clock, so that no wait is ever cut short or stretched by a clock change; the
// user's folders through Qt's standard paths.
#include "io/utility.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <chrono>
#include <cstring>
#include <thread>

#include <unistd.h>

double Timer()
{
    using clock = std::chrono::steady_clock;
    static const clock::time_point origin = clock::now();
    return std::chrono::duration<double>(clock::now() - origin).count();
}

void SleepSeconds(double seconds)
{
    if (seconds > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

int GetDocumentsDir(char directory[kPathChars])
{
    QString path = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (path.isEmpty())
        path = QDir::homePath();
    const QByteArray bytes = QFile::encodeName(QDir::toNativeSeparators(path));
    if (bytes.size() >= kPathChars)
        return -1;
    std::memcpy(directory, bytes.constData(), size_t(bytes.size()) + 1);
    return 0;
}

int MakeDir(const char *directory)
{
    return QDir().mkpath(QFile::decodeName(directory)) ? 0 : -1;
}

bool IsWritableDir(const char *directory)
{
    // access() asks with the real user's rights, which is what a dialog's files will be made with.
    return QFileInfo(QFile::decodeName(directory)).isDir() && ::access(directory, W_OK | X_OK) == 0;
}
