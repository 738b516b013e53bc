// SPDX-License-Identifier: MIT
// The one file writer every program uses, where others could interfere: links other users made, folders that
// take no files, a disk that fails at the flush.
#include "io/fileio.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <functional>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uid_t kOther = 65534; // nobody: a user that is not us
constexpr uid_t kThird = 65533; // and one more
constexpr int kWritten = 0, kRefused = 1, kChildFailed = 2;

bool Write(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray ReadAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// Runs `job` as user `uid` (with its own group, no others) in a forked child, as another user on the machine
// would; the child's exit code, or kChildFailed when it could not become that user.
int AsUser(uid_t uid, const std::function<int()> &job)
{
    if (uid == ::geteuid())
        return job();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)
            ::_exit(kChildFailed);
        ::_exit(job());
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return kChildFailed;
    return WEXITSTATUS(status);
}

} // namespace

class TstFileIo : public QObject {
    Q_OBJECT

private slots:
    void aLinkIsFollowedOnlyWhereNoOtherUserCouldHavePlacedIt_data()
    {
        QTest::addColumn<uint>("folderOwner");
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<uint>("linkOwner");
        QTest::addColumn<bool>("onTheWay"); // the link stands for a folder on the path, not for the file
        QTest::addColumn<uint>("writer");
        QTest::addColumn<bool>("written");
        const uint root = 0;
        QTest::newRow("another user's link in /tmp") << root << 01777 << uint(kOther) << false << root << false;
        QTest::newRow("another user's link to a folder in /tmp")
            << root << 01777 << uint(kOther) << true << root << false;
        QTest::newRow("another user's link, written by a third")
            << root << 01777 << uint(kThird) << false << uint(kOther) << false;
        QTest::newRow("our own link in /tmp") << root << 01777 << root << false << root << true;
        QTest::newRow("the folder owner's link in a shared folder")
            << uint(kOther) << 01777 << uint(kOther) << false << root << true;
        QTest::newRow("root's link in /tmp, written by a user")
            << root << 01777 << root << false << uint(kOther) << true;
        QTest::newRow("another user's link where nothing is sticky")
            << root << 0777 << uint(kOther) << false << root << true;
    }

    // The panel's save (SendParaToFile through ArrayToFile) and the command line's get write through ReplaceFile.
    void aLinkIsFollowedOnlyWhereNoOtherUserCouldHavePlacedIt()
    {
        QFETCH(uint, folderOwner);
        QFETCH(int, folderMode);
        QFETCH(uint, linkOwner);
        QFETCH(bool, onTheWay);
        QFETCH(uint, writer);
        QFETCH(bool, written);
        if (::geteuid() != 0)
            QSKIP("placing another user's link takes root, to become that user in a forked child");
        QTemporaryDir dir;
        // The file the link leads to, where any of the users could write it (so only the link rule decides).
        const QString target = dir.filePath(QStringLiteral("precious"));
        QVERIFY(Write(target, "precious\n"));
        QVERIFY(::chmod(dir.path().toLocal8Bit().constData(), 0777) == 0);
        QVERIFY(::chmod(target.toLocal8Bit().constData(), 0666) == 0);
        const QString shared = dir.filePath(QStringLiteral("shared"));
        const QByteArray s = shared.toLocal8Bit();
        QVERIFY(QDir().mkdir(shared));
        QVERIFY(::chown(s.constData(), folderOwner, folderOwner) == 0);
        QVERIFY(::chmod(s.constData(), mode_t(folderMode)) == 0);
        const QString link = shared + (onTheWay ? QStringLiteral("/drop") : QStringLiteral("/params.dat"));
        const QByteArray linkTo = (onTheWay ? dir.path() : target).toLocal8Bit();
        QCOMPARE(AsUser(linkOwner, [&] { return ::symlink(linkTo.constData(), link.toLocal8Bit().constData()); }), 0);
        const std::string path = (onTheWay ? link + QStringLiteral("/precious") : link).toStdString();

        std::string why;
        const int got = AsUser(writer, [&] { return ReplaceFile(path, "new\n", &why) ? kWritten : kRefused; });
        QCOMPARE(got, written ? kWritten : kRefused);
        QCOMPARE(ReadAll(target), written ? QByteArray("new\n") : QByteArray("precious\n"));
        QCOMPARE(QFileInfo(link).isSymLink(), true); // the link itself stays either way
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("precious")});
        if (written || writer != ::geteuid())
            return;
        const QString says = QStringLiteral("It is a link that another user (uid %1) made in %2, a folder where "
                                            "anyone may create files; it is not followed, and nothing was written.")
                                 .arg(linkOwner)
                                 .arg(shared);
        QCOMPARE(QString::fromStdString(why), says);
        // The command line refuses before it asks any sensor (no port is opened: the device does not exist).
        QProcess cli;
        cli.start(QStringLiteral(SCOPE_BIN_DIR "/quillex-scope-cli"),
                  {"get", "ram", QString::fromStdString(path), "--device", "/nonexistent/tty"});
        QVERIFY(cli.waitForFinished(20000));
        QCOMPARE(cli.exitCode(), 5);
        const QString err = QString::fromUtf8(cli.readAllStandardError());
        QVERIFY2(err.contains(QStringLiteral("Parameters not saved to %1: it is a link that another user (uid %2)")
                                  .arg(QString::fromStdString(path))
                                  .arg(linkOwner)),
                 qPrintable(err));
        QCOMPARE(ReadAll(target), QByteArray("precious\n"));
    }

    void aFlushTheDiskRefusesKeepsTheOldFileAndSaysSo()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("init.dat"));
        QVERIFY(Write(file, "old\n"));
        SetFlushToDisk([](int) {
            errno = EIO; // what a failing disk answers only once it is asked to flush
            return -1;
        });
        std::string why;
        const bool ok = ReplaceFile(file.toStdString(), "new\n", &why);
        SetFlushToDisk(nullptr);
        QVERIFY(!ok);
        QCOMPARE(QString::fromStdString(why), QStringLiteral("It cannot be written: Input/output error."));
        QCOMPARE(ReadAll(file), QByteArray("old\n"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("init.dat")});
    }

    void aFolderThatTakesNoFilesIsNotCalledMissing_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("log"); // appended to as a line log rather than replaced
        QTest::addColumn<QString>("says");
        const QString proc = QStringLiteral("the folder /proc does not take new files (No such file or directory)");
        QTest::newRow("a parameter file in /proc")
            << "/proc/init.dat" << false << QStringLiteral("It cannot be written: %1.").arg(proc);
        QTest::newRow("a log in /proc") << "/proc/line.csv" << true << proc;
        QTest::newRow("a folder that is not there")
            << "/nonexistent/init.dat" << false << "It cannot be written: the folder /nonexistent does not exist.";
    }

    void aFolderThatTakesNoFilesIsNotCalledMissing()
    {
        QFETCH(QString, path);
        QFETCH(bool, log);
        QFETCH(QString, says);
        std::string why;
        if (log) {
            LineLog l;
            bool isNew = false;
            QVERIFY(!l.Open(path.toStdString(), &isNew, &why));
        } else {
            QVERIFY(!ReplaceFile(path.toStdString(), "1\n", &why));
        }
        QCOMPARE(QString::fromStdString(why), says);
    }
};

QTEST_GUILESS_MAIN(TstFileIo)
#include "tst_fileio.moc"
