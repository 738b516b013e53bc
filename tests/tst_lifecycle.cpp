// SPDX-License-Identifier: MIT
// Start-up and shutdown of the whole program: closing the window, a stop signal, a missing or damaged panel file.
#include "testsupport.h"

#include <QProcess>
#include <QTimer>

#include <csignal>

using namespace testsupport;

class TstLifecycle : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { PrivatePortDir(); }

    void closingTheWindowEndsTheProgram()
    {
        PopupRecorder rec; // no sensor is attached: the connection report must not block the test
        ResetScopeState();
        bool closed = false;
        // Timers also run while the program waits for the sensor that is not there: close once the window shows.
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [&] {
            for (QWidget *w : QApplication::topLevelWidgets())
                if (w->objectName() == QLatin1String("MainPanel") && w->isVisible() && !closed) {
                    st.poll = 1;
                    closed = true;
                    w->close();
                }
        });
        closer.start(50);
        const int code = WinMain(nullptr, nullptr, nullptr, 0);
        QVERIFY(closed);
        QCOMPARE(code, 0);
        QCOMPARE(st.poll, uint16_t(0));
        for (QWidget *w : QApplication::topLevelWidgets())
            QVERIFY(w->objectName() != QLatin1String("MainPanel"));
    }

    void aStopSignalEndsTheProgramAsClosingTheWindowDoes_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }

    void aStopSignalEndsTheProgramAsClosingTheWindowDoes()
    {
        QFETCH(int, signal);
        sim::SensorSim sensor;
        QVERIFY(sensor.start());
        // Qt Serial Port locks a device with a file named after it in the system's lock folder.
        QString lock = QString::fromStdString(sensor.devicePath()).mid(int(std::strlen("/dev/")));
        lock = QStringLiteral("LCK..") + lock.replace(QLatin1Char('/'), QLatin1Char('_'));
        const auto locked = [&lock] {
            for (const char *folder : {"/var/lock", "/run/lock", "/tmp", "/var/tmp"})
                if (QFileInfo::exists(QLatin1String(folder) + QLatin1Char('/') + lock))
                    return true;
            return false;
        };
        QProcess program;
        program.start(QStringLiteral(SCOPE_BIN_DIR "/QuillexEMBV10"), {});
        QVERIFY(program.waitForStarted());
        // Connected: identified, and its parameters read.
        QTRY_VERIFY_WITH_TIMEOUT(sensor.framesSeen() >= 2 && locked(), 15000);
        ::kill(pid_t(program.processId()), signal);
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QVERIFY2(!locked(), qPrintable(lock));
    }

    void aMissingOrDamagedPanelFileEndsWithMinusOneAndNoWindow_data()
    {
        QTest::addColumn<QByteArray>("panelFile");
        QTest::newRow("missing") << QByteArray();
        QTest::newRow("damaged") << QByteArray("<?xml version=\"1.0\"?><ui version=\"4.0\"><widget class=");
        // The real panel with one widget class nobody registered: the loader must not quietly substitute it.
        QFile real(QStringLiteral(SCOPE_BIN_DIR "/QuillexEMBV10.uir"));
        QVERIFY(real.open(QIODevice::ReadOnly));
        QByteArray unknown = real.readAll();
        QVERIFY(unknown.contains("class=\"Led\""));
        unknown.replace("class=\"Led\"", "class=\"NoSuchLed\"");
        QTest::newRow("unknown widget class") << unknown;
        real.seek(0);
        QByteArray badCallback = real.readAll();
        badCallback.replace("CBF_ButtonGo", "CBF_ButtonGone");
        QTest::newRow("unknown callback name") << badCallback;
        // Each from the good file, damaged in one way.
        real.seek(0);
        const QByteArray good = real.readAll();
        auto variant = [&good](const char *from, const char *to) -> QByteArray {
            QByteArray v = good;
            if (!v.contains(from))
                qFatal("the panel file no longer holds %s", from);
            return v.replace(from, to);
        };
        QTest::newRow("status line as a button") << variant("<widget class=\"QLabel\" name=\"DispStatus\">",
                                                            "<widget class=\"QPushButton\" name=\"DispStatus\">");
        QTest::newRow("teach table as a label") << variant("<widget class=\"QTableWidget\" name=\"TeachTable\">",
                                                           "<widget class=\"QLabel\" name=\"TeachTable\">");
        QTest::newRow("a control missing") << variant("name=\"TeachTable\"", "name=\"TeachTableGone\"");
        QTest::newRow("another panel number") << variant("\"panelNumber\" stdset=\"0\"><number>1</number>",
                                                         "\"panelNumber\" stdset=\"0\"><number>2</number>");
        QTest::newRow("empty") << QByteArray(" ");
        QTest::newRow("truncated") << good.left(good.size() / 2);
    }

    void aMissingOrDamagedPanelFileEndsWithMinusOneAndNoWindow()
    {
        QFETCH(QByteArray, panelFile);
        QTemporaryDir dir;
        const QString exe = dir.filePath(QStringLiteral("QuillexEMBV10"));
        QVERIFY(QFile::copy(QStringLiteral(SCOPE_BIN_DIR "/QuillexEMBV10"), exe));
        if (!panelFile.isEmpty()) {
            QFile f(dir.filePath(QStringLiteral("QuillexEMBV10.uir")));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(panelFile);
        }
        QProcess p;
        p.setProgram(exe);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        p.setProcessEnvironment(env);
        p.start();
        QVERIFY(p.waitForFinished(15000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(static_cast<signed char>(p.exitCode()), static_cast<signed char>(-1));
        QVERIFY(p.readAllStandardOutput().isEmpty());
    }

    void loadPanelRefusesAFileWithoutTheInventory()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("partial.uir"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("<?xml version=\"1.0\"?><ui version=\"4.0\"><widget class=\"QWidget\" name=\"MainPanel\">"
                "<widget class=\"QPushButton\" name=\"ButtonGo\"/></widget></ui>");
        f.close();
        const int before = QApplication::topLevelWidgets().size();
        QVERIFY(LoadPanel(0, path.toLocal8Bit().constData(), kPanelNumber) < 0);
        QCOMPARE(QApplication::topLevelWidgets().size(), before);
    }
};

QTEST_MAIN(TstLifecycle)
#include "tst_lifecycle.moc"
