// SPDX-License-Identifier: MIT
// Parameter files and the transfer-target toggles, with the simulated sensor receiving what follows a load.
#include "testsupport.h"

#include "core/paramblock.h"
#include "files/parafile.h"
#include "link/com232.h"
#include "panel/port.h"
#include "teach/teach.h"
#include "ui/filepopup.h"
#include "io/rs232.h"
#include "io/utility.h"

#include "sensor_sim.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QSpinBox>
#include <QThread>
#include <QTimer>

#include <cstring>
#include <functional>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

using namespace testsupport;

namespace {

QByteArray Lines(const sim::Block &b)
{
    QByteArray text;
    for (uint16_t v : b)
        text += QByteArray::number(v).rightJustified(5, ' ') + '\n';
    return text;
}

// What the panel can show of a block: words 6-14 have no control.
sim::Block Shown(sim::Block b)
{
    std::fill(b.begin() + 6, b.begin() + 15, 0);
    return b;
}

QByteArray ReadAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void Write(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

sim::Block PanelBlock()
{
    sim::Block b{};
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = uint16_t(2000 + 11 * i);
    b[sim::Power] = 640; // within the slide's range
    b[sim::OutMode] = 1; // a code the selector knows
    b[sim::Hold] = 7;    // the narrowest number in its 5-character field
    b[9] = 65535;        // the widest
    return b;
}

// While alive, file-system permissions apply to this process even when it runs as root (the real user id
// changes too, because access() asks about that one). Root stays the saved id, to come back to.
struct Unprivileged {
    const bool wasRoot = geteuid() == 0;
    Unprivileged()
    {
        if (wasRoot)
            QVERIFY(setresuid(65534, 65534, 0) == 0);
    }
    ~Unprivileged()
    {
        if (wasRoot && setresuid(0, 0, 0) != 0)
            qFatal("could not regain root");
    }
};

// Runs fn on the file dialog once it is up, from inside its modal loop.
void OnDialog(std::function<void(QFileDialog *)> fn)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, fn] {
        if (auto *d = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            QTimer::singleShot(15000, d, [d] { d->reject(); }); // a dialog left open fails the test, never hangs it
            fn(d);
        }
    });
    poll->start(20);
}

} // namespace

class TstFiles : public QObject {
    Q_OBJECT

    std::unique_ptr<sim::SensorSim> sensor;
    std::unique_ptr<PopupRecorder> popups;
    std::unique_ptr<QTemporaryDir> dir;
    FileSelectAnswer answer;

    std::vector<std::vector<uint8_t>> settledFrames() const { return SettledFrames(*sensor); }

    QString path(const char *name) const { return dir->filePath(QString::fromLatin1(name)); }

    void choose(const QString &file)
    {
        answer.result = QFileInfo::exists(file) ? VAL_EXISTING_FILE_SELECTED : VAL_NEW_FILE_SELECTED;
        answer.path = file.toStdString();
    }

    void showOnPanel(const sim::Block &b)
    {
        std::copy(b.begin(), b.end(), st.pp);
        CopyPPtoVars();
        SetPanelValues();
    }

    sim::Block panelBlock() const
    {
        sim::Block b{};
        const int controls[] = {EditSigWinHI, EditSigWinLo, SlidePower, EditAverage, EditOutmode, EditHold};
        for (int i = 0; i < 6; ++i)
            b[size_t(i)] = uint16_t(Val(controls[i]));
        for (int r = 1; r <= 2; ++r)
            for (int c = 1; c <= 5; ++c)
                b[size_t(15 + 5 * (r - 1) + (c - 1))] = Cell(c, r);
        return b;
    }

    sim::Block pp() const
    {
        sim::Block b{};
        std::copy(st.pp, st.pp + 25, b.begin());
        return b;
    }

    // Everything a file operation must leave alone when it fails or is cancelled.
    struct Snapshot {
        sim::Block pp, panel;
        uint16_t sigwinhi, ctt12, poll, order;
        double transbeg, waitdel;
        QString status;
        bool operator==(const Snapshot &) const = default;
    };
    Snapshot snapshot() const
    {
        return {pp(), panelBlock(), st.sigwinhi, st.ctt[1][2], st.poll, st.order, st.transbeg, st.waitdel, Status()};
    }

private slots:
    void initTestCase() { PrivatePortDir(); }

    void init()
    {
        ConnectToFreshSensor(sensor, popups);
        dir = std::make_unique<QTemporaryDir>();
        answer = {};
        SetFileSelectAnswer(&answer);
    }

    void cleanup()
    {
        SetFileSelectAnswer(nullptr);
        DisconnectSensor(sensor, popups);
        dir.reset();
    }

    void togglesKeepExactlyOneLit_data()
    {
        QTest::addColumn<QList<int>>("clicks");
        QTest::addColumn<int>("target");
        QTest::newRow("FILE on") << QList<int>{SelectFILE} << int(DATFILE);
        QTest::newRow("FILE off selects RAM") << QList<int>{SelectFILE, SelectFILE} << int(RAM);
        QTest::newRow("RAM off while selected stays on") << QList<int>{SelectRAM} << int(RAM);
        QTest::newRow("EEPROM on while FILE is on") << QList<int>{SelectFILE, SelectEEPROM} << int(EEPROM);
        QTest::newRow("EEPROM off selects RAM") << QList<int>{SelectEEPROM, SelectEEPROM} << int(RAM);
        QTest::newRow("RAM on while EEPROM is on") << QList<int>{SelectEEPROM, SelectRAM} << int(RAM);
        QTest::newRow("FILE on while EEPROM is on") << QList<int>{SelectEEPROM, SelectFILE} << int(DATFILE);
    }

    void togglesKeepExactlyOneLit()
    {
        QFETCH(QList<int>, clicks);
        QFETCH(int, target);
        for (int toggle : clicks)
            Click(toggle);
        QCOMPARE(int(st.target), target);
        QCOMPARE(Val(SelectRAM), int(target == RAM));
        QCOMPARE(Val(SelectEEPROM), int(target == EEPROM));
        QCOMPARE(Val(SelectFILE), int(target == DATFILE));
    }

    void saveThenLoadRestoresTheBlock()
    {
        const sim::Block saved = PanelBlock();
        showOnPanel(saved);
        const QString file = path("init.dat");
        choose(file);
        Click(SelectFILE);
        const Snapshot before = snapshot();
        Click(ButtonSend);
        QCOMPARE(ReadAll(file), Lines(saved));
        QCOMPARE(Message(), QStringLiteral("Saved ") + file);
        QCOMPARE(ReadAll(file).count('\n'), 25);
        QVERIFY(ReadAll(file).startsWith(QByteArray::number(saved[0]).rightJustified(5) + '\n'));
        QCOMPARE(ReadAll(file).split('\n')[5], QByteArray("    7"));

        sim::Block other = saved;
        for (uint16_t &v : other)
            v = uint16_t(v / 2);
        other[sim::OutMode] = 0;
        showOnPanel(other);
        Click(ButtonGet);
        QCOMPARE(panelBlock(), Shown(saved));
        QCOMPARE(Message(), QStringLiteral("Loaded ") + file);
        QCOMPARE(pp(), saved);
        QCOMPARE(st.ctt[1][4], saved[24]);
        QCOMPARE(st.hold, uint16_t(7));

        QCOMPARE(answer.asked, 2);
        QVERIFY(popups->popups.empty());
        QVERIFY(settledFrames().empty());
        QCOMPARE(st.poll, before.poll);
        QCOMPARE(st.order, before.order);
        QCOMPARE(st.transbeg, before.transbeg);
        QCOMPARE(st.waitdel, before.waitdel);
        QCOMPARE(Status(), before.status);
        QCOMPARE(QString::fromLocal8Bit(st.file_name), file);
    }

    void aLoadedBlockTravelsInTheNextSend_data()
    {
        QTest::addColumn<int>("toggle");
        QTest::addColumn<int>("order");
        QTest::newRow("to RAM") << int(SelectRAM) << 1;
        QTest::newRow("to EEPROM") << int(SelectEEPROM) << 2;
    }

    void aLoadedBlockTravelsInTheNextSend()
    {
        QFETCH(int, toggle);
        QFETCH(int, order);
        sim::Block block = PanelBlock();
        for (size_t i = 6; i <= 14; ++i)
            block[i] = uint16_t(40000 + i);
        const QString file = path("words.dat");
        Write(file, Lines(block));
        choose(file);
        Click(SelectFILE);
        Click(ButtonGet);
        Click(toggle);
        Click(ButtonSend);
        const auto frames = settledFrames();
        QCOMPARE(frames.size(), size_t(1));
        QCOMPARE(frames[0], sim::RequestFrame(uint16_t(order), block));
        QCOMPARE(order == 1 ? sensor->ram() : sensor->eeprom(), block);
    }

    void aLoadedPowerAboveTheSlideSurvivesToTheNextSend()
    {
        sim::Block block = PanelBlock();
        block[sim::Power] = 1500;
        const QString file = path("power.dat");
        Write(file, Lines(block));
        choose(file);
        Click(SelectFILE);
        Click(ButtonGet);
        Click(SelectRAM);
        Click(ButtonSend);
        const auto frames = settledFrames();
        QCOMPARE(frames.size(), size_t(1));
        QCOMPARE(frames[0], sim::RequestFrame(1, block));
    }

    void withTheFileTargetTheButtonsAskForAFileAfterTheGuard_data()
    {
        QTest::addColumn<int>("button");
        QTest::newRow("SEND") << int(ButtonSend);
        QTest::newRow("GET") << int(ButtonGet);
    }

    void withTheFileTargetTheButtonsAskForAFileAfterTheGuard()
    {
        QFETCH(int, button);
        Click(SelectEEPROM);
        Click(ButtonSend); // an EEPROM write: the next transfer waits 0.3 s
        const double sendBegan = st.transbeg;
        QCOMPARE(settledFrames().size(), size_t(1));
        sensor->clearFrames();
        Click(SelectFILE);
        SetCtrlVal(st.panel, EditSigWinHI, 1234); // an edit not yet sent anywhere
        const Snapshot before = snapshot();
        std::strcpy(st.file_name, "unchanged");

        Click(button); // the dialog is cancelled
        QVERIFY(Timer() - sendBegan >= 0.3);
        QCOMPARE(answer.asked, 1);
        QVERIFY(snapshot() == before);
        QCOMPARE(QByteArray(st.file_name), QByteArray("unchanged"));
        QVERIFY(settledFrames().empty());
        QVERIFY(popups->popups.empty());
    }

    void looseButSoundFilesLoad_data()
    {
        const sim::Block b = PanelBlock();
        QTest::addColumn<QByteArray>("content");
        QByteArray crlf = Lines(b);
        crlf.replace("\n", "\r\n");
        QByteArray plain, padded;
        for (uint16_t v : b) {
            plain += QByteArray::number(v) + '\n';
            padded += "\t  " + QByteArray::number(v) + "  \n";
        }
        QTest::newRow("CR LF line ends") << crlf;
        QTest::newRow("no padding") << plain;
        QTest::newRow("blanks around numbers") << padded;
        QTest::newRow("blank lines after the last") << Lines(b) + "\n  \r\n\n";
        QTest::newRow("no final line feed") << Lines(b).chopped(1);
    }

    void looseButSoundFilesLoad()
    {
        QFETCH(QByteArray, content);
        const QString file = path("loose.dat");
        Write(file, content);
        choose(file);
        Click(SelectFILE);
        Click(ButtonGet);
        QVERIFY(popups->popups.empty());
        QCOMPARE(pp(), PanelBlock());
        QCOMPARE(panelBlock(), Shown(PanelBlock()));
    }

    void aBadFileChangesNothingAndSaysWhy_data()
    {
        QTest::addColumn<QByteArray>("content"); // "<missing>" and "<folder>" stand for no file and a folder
        QTest::addColumn<QString>("reason");
        const QByteArray good = Lines(PanelBlock());
        const QList<QByteArray> lines = good.split('\n');
        auto with = [&](int line, const QByteArray &text) {
            QList<QByteArray> l = lines;
            l[line - 1] = text;
            return l.join('\n');
        };
        const QString notNumber = QStringLiteral("Line %1 is not a whole number from 0 to 65535.");
        QTest::newRow("missing") << QByteArray("<missing>")
                                 << QStringLiteral("It cannot be opened: No such file or directory.");
        QTest::newRow("a folder") << QByteArray("<folder>") << QStringLiteral("It is a folder, not a file.");
        QTest::newRow("empty") << QByteArray() << QStringLiteral("Line 1 is missing: the file holds no values.");
        QTest::newRow("24 values") << good.left(good.lastIndexOf('\n', -2) + 1)
                                   << QStringLiteral("Line 25 is missing: the file holds 24 values instead of 25.");
        QTest::newRow("26 values") << good + "    1\n"
                                   << QStringLiteral("Line 26 is one value too many: the file must hold exactly 25.");
        QTest::newRow("not a number") << with(7, "  abc") << notNumber.arg(7);
        QTest::newRow("a fraction") << with(8, "  2.5") << notNumber.arg(8);
        QTest::newRow("65536") << with(3, "65536") << notNumber.arg(3);
        QTest::newRow("-1") << with(2, "   -1") << notNumber.arg(2);
        QTest::newRow("two numbers on a line") << with(4, " 1 2") << notNumber.arg(4);
        QTest::newRow("a blank line between") << with(10, "") << QStringLiteral("Line 10 is empty.");
        QTest::newRow("binary") << QByteArray("\x7f"
                                              "ELF\x02\x01\x01\0\0\0\n\xff\xfe",
                                              14)
                                << notNumber.arg(1);
    }

    void aBadFileChangesNothingAndSaysWhy()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        const QString file = path("bad.dat");
        if (content == "<folder>")
            QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("bad.dat")));
        else if (content != "<missing>")
            Write(file, content);
        choose(file);
        Click(SelectFILE);
        showOnPanel(PanelBlock());
        SetCtrlVal(st.panel, EditSigWinHI, 1234); // edits not yet sent anywhere
        SetTableCellVal(st.panel, TeachTable, MakePoint(3, 2), 99);
        const Snapshot before = snapshot();

        Click(ButtonGet);
        QVERIFY(snapshot() == before);
        QCOMPARE(Message(), QStringLiteral("Not loaded: ") + file);
        QCOMPARE(popups->popups.size(), size_t(1));
        QCOMPARE(popups->popups[0].title, std::string("INFO"));
        const QString expected = QStringLiteral("%1\n%2\n\n%3\n\n%4")
                                     .arg(QLatin1String(kLoadFailedHead), file, reason, QLatin1String(kLoadFailedTail));
        QCOMPARE(QString::fromStdString(popups->popups[0].text), expected);
    }

    void aFailedSaveSaysWhyAndKeepsTheOldFile_data()
    {
        QTest::addColumn<bool>("folderWritable");
        QTest::addColumn<QString>("reason");
        QTest::newRow("read-only folder")
            << false
            << QStringLiteral("It cannot be written: the folder %f does not let you create files in it "
                              "(Permission denied).");
        QTest::newRow("read-only file") << true
                                        << QStringLiteral("It cannot be written: Existing file %1 is not writable.");
    }

    void aFailedSaveSaysWhyAndKeepsTheOldFile()
    {
        QFETCH(bool, folderWritable);
        QFETCH(QString, reason);
        const QString folder = path("locked");
        QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("locked")));
        const QString file = folder + QStringLiteral("/init.dat");
        const QByteArray old = "old contents\n";
        Write(file, old);
        const auto all = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther | QFile::ExeOwner | QFile::ExeGroup |
                         QFile::ExeOther;
        QFile::setPermissions(dir->path(), all | QFile::WriteOwner);
        // Either the folder or the file refuses the user, never both.
        const auto readable = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
        QFile::setPermissions(
            file, folderWritable ? readable : readable | QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther);
        QFile::setPermissions(folder,
                              folderWritable ? all | QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther : all);
        choose(file);
        Click(SelectFILE);
        showOnPanel(PanelBlock());
        {
            Unprivileged asUser;
            Click(ButtonSend);
        }
        QCOMPARE(ReadAll(file), old);
        QCOMPARE(Message(), QStringLiteral("Not saved: ") + file);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("init.dat")});
        QCOMPARE(popups->popups.size(), size_t(1));
        QCOMPARE(popups->popups[0].title, std::string("INFO"));
        const QString expected =
            QStringLiteral("%1\n%2\n\n%3\n\n%4")
                .arg(QLatin1String(kSaveFailedHead), file,
                     QString(reason).replace(QLatin1String("%1"), file).replace(QLatin1String("%f"), folder),
                     QLatin1String(kSaveFailedTail));
        QCOMPARE(QString::fromStdString(popups->popups[0].text), expected);
        QFile::setPermissions(folder, all | QFile::WriteOwner);
    }

    void aFullDiskKeepsTheOldFileAndSaysWhy()
    {
        const QString file = path("old.dat");
        const QByteArray old = Lines(sim::DefaultBlock());
        Write(file, old);
        choose(file);
        Click(SelectFILE);
        showOnPanel(PanelBlock());
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        {
            // Files may grow to 64 bytes and no further, as on a disk that is full; the write past it fails.
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit full{64, saved.rlim_max};
            ::setrlimit(RLIMIT_FSIZE, &full);
            Click(ButtonSend);
            ::setrlimit(RLIMIT_FSIZE, &saved);
            ::signal(SIGXFSZ, SIG_DFL);
        }
        QCOMPARE(ReadAll(file), old);
        QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("old.dat")});
        QCOMPARE(popups->popups.size(), size_t(1));
        QCOMPARE(QString::fromStdString(popups->popups[0].text),
                 QStringLiteral("%1\n%2\n\nIt cannot be written: File too large.\n\n%3")
                     .arg(QLatin1String(kSaveFailedHead), file, QLatin1String(kSaveFailedTail)));
    }

    void whatThePanelShowsIsWhatGetsSaved()
    {
        showOnPanel(PanelBlock());
        // Edits on the panel alone, not yet read into any variable.
        QSpinBox *hold = qobject_cast<QSpinBox *>(W(EditHold));
        QVERIFY(hold);
        hold->setFocus();
        hold->selectAll();
        QTest::keyClicks(hold, QStringLiteral("321"));
        SetTableCellVal(st.panel, TeachTable, MakePoint(4, 2), 2468);
        QCOMPARE(st.hold, uint16_t(7));
        const QString file = path("edited.dat");
        choose(file);
        Click(SelectFILE);
        Click(ButtonSend);
        const QList<QByteArray> lines = ReadAll(file).split('\n');
        QCOMPARE(lines.value(sim::Hold), QByteArray("  321"));
        QCOMPARE(lines.value(sim::Row2X + 3), QByteArray(" 2468"));
        QVERIFY(popups->popups.empty());
    }

    void anyPathTheSystemTakesIsUsedAndOneItCannotIsReported_data()
    {
        QTest::addColumn<int>("length"); // bytes of the chosen path
        QTest::addColumn<bool>("usable");
        QTest::newRow("300 bytes") << 300 << true;
        QTest::newRow("4000 bytes") << 4000 << true;
        QTest::newRow("longer than the system takes") << 5000 << false;
    }

    void anyPathTheSystemTakesIsUsedAndOneItCannotIsReported()
    {
        QFETCH(int, length);
        QFETCH(bool, usable);
        // Folders of 200-byte names (a name may have 255) down to the length asked for.
        QString folder = dir->path();
        const QString name = QStringLiteral("init.dat");
        while (folder.size() + 1 + 200 + 1 + name.size() <= length) {
            folder += u'/' + QString(200, u'f');
            if (usable)
                QVERIFY(QDir().mkpath(folder));
        }
        const QString file = folder + u'/' + QString(length - folder.size() - 1 - name.size(), u'n') + name;
        QCOMPARE(file.size(), length);
        choose(file);
        Click(SelectFILE);
        showOnPanel(PanelBlock());
        Click(ButtonSend);
        if (!usable) {
            QCOMPARE(popups->popups.size(), size_t(1));
            QCOMPARE(QString::fromStdString(popups->popups[0].text),
                     QStringLiteral("%1\n(the chosen path)\n\nIts path is longer than the 4095 bytes the system "
                                    "takes.\n\n%2")
                         .arg(QLatin1String(kSaveFailedHead), QLatin1String(kSaveFailedTail)));
            return;
        }
        QVERIFY(popups->popups.empty());
        QCOMPARE(ReadAll(file), Lines(PanelBlock()));
        showOnPanel(sim::DefaultBlock());
        Click(ButtonGet);
        QCOMPARE(panelBlock(), Shown(PanelBlock()));
        QCOMPARE(QString::fromLocal8Bit(st.file_name), file);
    }

    void theDialogOpensWhereTheUserMayMakeFiles_data()
    {
        QTest::addColumn<QString>("program"); // "<temp>": a folder of the test's; "<temp, read-only>" likewise
        QTest::addColumn<bool>("homeWritable");
        QTest::addColumn<bool>("asUser");   // else as whoever runs the test: root in CI, who may write anywhere
        QTest::addColumn<QString>("opens"); // "<program>" or a path below the home folder
        QTest::newRow("a build tree: the program's own") << "<temp>" << true << true << "<program>";
        QTest::newRow("installed under /usr, even for root: the documents' folder, made")
            << "/usr/lib" << true << false << "Documents/Quillex-EMB-Scope";
        QTest::newRow("a read-only program folder: the documents' folder, made")
            << "<temp, read-only>" << true << true << "Documents/Quillex-EMB-Scope";
        QTest::newRow("no documents can be made: the program's own")
            << "<temp, read-only>" << false << true << "<program>";
    }

    void theDialogOpensWhereTheUserMayMakeFiles()
    {
        QFETCH(QString, program);
        QFETCH(bool, homeWritable);
        QFETCH(bool, asUser);
        QFETCH(QString, opens);
        QTemporaryDir home, programDir;
        const QByteArray oldHome = qgetenv("HOME"), oldConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("HOME", home.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toLocal8Bit());
        const auto rx = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther | QFile::ExeOwner | QFile::ExeGroup |
                        QFile::ExeOther;
        const auto w = QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther;
        QFile::setPermissions(home.path(), homeWritable ? rx | w : rx);
        QString programPath = program == QLatin1String("/usr/lib") ? program : programDir.path();
        QFile::setPermissions(programDir.path(), program == QLatin1String("<temp, read-only>") ? rx : rx | w);
        std::snprintf(st.proj_dir, sizeof st.proj_dir, "%s", programPath.toLocal8Bit().constData());
        Click(SelectFILE);
        if (asUser) {
            Unprivileged user;
            Click(ButtonGet); // cancelled: the folder it would have opened in is all that counts
        } else {
            Click(ButtonGet);
        }
        qputenv("HOME", oldHome);
        qputenv("XDG_CONFIG_HOME", oldConfig);
        QFile::setPermissions(programDir.path(), rx | w);
        QFile::setPermissions(home.path(), rx | w);
        QCOMPARE(answer.asked, 1);
        const QString expected = opens == QLatin1String("<program>") ? programPath : home.filePath(opens);
        QCOMPARE(QString::fromStdString(answer.directory), expected);
        QCOMPARE(QFileInfo(expected).isDir(), true);
        QVERIFY(popups->popups.empty());
    }

    void aLoadIsUndoneInTheTeachTableAlone()
    {
        const sim::Block fromFile = PanelBlock();
        const QString file = path("taught.dat");
        Write(file, Lines(fromFile));
        showOnPanel(sim::DefaultBlock());
        const uint16_t rowOneX = Cell(1, 1);
        Click(SelectFILE);
        answer.result = VAL_NO_FILE_SELECTED; // a load that is cancelled leaves nothing to take back
        Click(ButtonGet);
        choose(file);
        Click(ButtonGet);
        QCOMPARE(Cell(1, 1), fromFile[15]);

        Click(ButtonUndo);
        QCOMPARE(Message(), QStringLiteral("Undid the file load: teach table restored"));
        QCOMPARE(Cell(1, 1), rowOneX);
        QCOMPARE(Val(EditSigWinHI), int(fromFile[0])); // the parameters stay as loaded
        Click(ButtonUndo);
        QCOMPARE(Message(), QStringLiteral("Nothing to undo in the teach table"));
        QCOMPARE(Cell(1, 1), rowOneX);
    }

    void theRealDialogSavesAndLoadsWhatTheUserTypes()
    {
        SetFileSelectAnswer(nullptr);
        const QString typed = path("typed"); // no extension: the dialog keeps to ".dat"
        const QString file = typed + QStringLiteral(".dat");
        bool argumentsSeen = false;
        auto typeAndAccept = [&](QFileDialog *d) {
            argumentsSeen = d->windowTitle() == QLatin1String("init") &&
                            QFileInfo(d->directory().path()) == QFileInfo(QString::fromLocal8Bit(st.proj_dir)) &&
                            d->nameFilters() == QStringList{QStringLiteral("*.dat")} &&
                            d->testOption(QFileDialog::DontUseNativeDialog) && !d->testOption(QFileDialog::ReadOnly);
            auto *edit = d->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            QVERIFY(edit);
            QCOMPARE(edit->text(), QStringLiteral("init.dat"));
            // The dialog follows a typed folder on a thread of its own; going there first keeps the typing
            // to the name and the test independent of how fast that thread is.
            d->setDirectory(QFileInfo(typed).path());
            edit->selectAll();
            edit->setCompleter(nullptr); // its popup, which opens when it likes, would take the Return
            QTest::keyClicks(edit, QFileInfo(typed).fileName());
            QTest::keyClick(edit, Qt::Key_Return);
        };
        const sim::Block saved = PanelBlock();
        showOnPanel(saved);
        Click(SelectFILE);
        OnDialog(typeAndAccept);
        Click(ButtonSend);
        QVERIFY(argumentsSeen);
        QTRY_COMPARE(QApplication::activeWindow(), PanelWidget(st.panel)); // F9-F12 work again
        QCOMPARE(ReadAll(file), Lines(saved));

        showOnPanel(sim::DefaultBlock());
        OnDialog(typeAndAccept);
        Click(ButtonGet);
        QCOMPARE(panelBlock(), Shown(saved));

        OnDialog([](QFileDialog *d) { QTest::keyClick(d, Qt::Key_Escape); });
        showOnPanel(sim::DefaultBlock());
        Click(ButtonGet);
        QCOMPARE(panelBlock(), Shown(sim::DefaultBlock()));
        QVERIFY(popups->popups.empty());
    }
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    TstFiles t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_files.moc"
