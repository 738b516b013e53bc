// SPDX-License-Identifier: MIT
// The manual pages and READMEs against the programs themselves: the same options, only pages that are installed.
#include "io/portdir.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

namespace {

QString Source(const QString &path)
{
    return QStringLiteral(SCOPE_SOURCE_DIR "/") + path;
}

QString Read(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// What a program prints for these arguments on standard output; empty when it fails.
QString Run(const QString &program, const QStringList &arguments)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.start(QStringLiteral(SCOPE_BIN_DIR "/") + program, arguments);
    if (!p.waitForFinished(20000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return {};
    return QString::fromUtf8(p.readAllStandardOutput());
}

QSet<QString> LongOptions(const QString &text)
{
    QSet<QString> out;
    static const QRegularExpression option(QStringLiteral("(?<![\\w-])--([a-z][a-z-]*)"));
    for (const QRegularExpressionMatch &m : option.globalMatch(text))
        out << m.captured(1);
    return out;
}

// A manual page's section, from its .SH line to the next.
QString Section(const QString &page, const QString &name)
{
    const int at = page.indexOf(QStringLiteral(".SH ") + name);
    if (at < 0)
        return {};
    const int end = page.indexOf(QStringLiteral("\n.SH "), at + 1);
    return page.mid(at, end < 0 ? -1 : end - at);
}

// Options a manual page documents: those heading the entries of its OPTIONS section (roff writes - as \-).
QSet<QString> ManualOptions(const QString &page)
{
    QString headings;
    const QStringList lines = Section(page, QStringLiteral("OPTIONS")).split(QLatin1Char('\n'));
    for (int i = 0; i + 1 < lines.size(); ++i)
        if (lines[i] == QLatin1String(".TP"))
            headings += lines[i + 1] + QLatin1Char('\n');
    return LongOptions(QString(headings).remove(QLatin1Char('\\')));
}

QString Manual(const QString &name)
{
    return Read(Source(QStringLiteral("packaging/%1.1").arg(name)));
}

} // namespace

class TstDocs : public QObject {
    Q_OBJECT

private slots:
    void eachManualDocumentsTheOptionsItsProgramTakes_data()
    {
        QTest::addColumn<QString>("page");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("helpCalls"); // each call's arguments, separated by ' '
        QTest::newRow("quillex-scope") << "quillex-scope"
                                       << "QuillexEMBV10" << QStringList{QStringLiteral("--help")};
        QTest::newRow("quillex-scope-cli")
            << "quillex-scope-cli"
            << "quillex-scope-cli"
            << QStringList{QStringLiteral("--help"),   QStringLiteral("help ports"), QStringLiteral("help ident"),
                           QStringLiteral("help get"), QStringLiteral("help send"),  QStringLiteral("help watch")};
        QTest::newRow("quillex-sensor-sim") << "quillex-sensor-sim"
                                            << "quillex-sensor-sim" << QStringList{QStringLiteral("--help")};
    }

    void eachManualDocumentsTheOptionsItsProgramTakes()
    {
        QFETCH(QString, page);
        QFETCH(QString, program);
        QFETCH(QStringList, helpCalls);
        QSet<QString> told;
        for (const QString &call : helpCalls) {
            const QString help = Run(program, call.split(QLatin1Char(' ')));
            QVERIFY2(!help.isEmpty(), qPrintable(program + QLatin1Char(' ') + call));
            told += LongOptions(help);
        }
        const QString manual = Manual(page);
        QVERIFY(!manual.isEmpty());
        QCOMPARE(ManualOptions(manual), told);
        // The synopsis names the options too, so "takes no options" cannot creep back.
        if (page == QLatin1String("quillex-scope"))
            QVERIFY(LongOptions(Section(manual, QStringLiteral("SYNOPSIS")).remove(QLatin1Char('\\')))
                        .contains(QStringLiteral("record")));
    }

    void theSimulatorsFaultsAreTheSameEverywhere()
    {
        const QString help = Run(QStringLiteral("quillex-sensor-sim"), {QStringLiteral("--help")});
        static const QRegularExpression list(QStringLiteral("--fault KIND\\s+([a-z|]+)"));
        const QRegularExpressionMatch m = list.match(help);
        QVERIFY(m.hasMatch());
        const QStringList kinds = m.captured(1).split(QLatin1Char('|'));
        QVERIFY(kinds.size() > 3);
        const QString manual = Section(Manual(QStringLiteral("quillex-sensor-sim")), QStringLiteral("OPTIONS"));
        const QString fault = manual.mid(manual.indexOf(QStringLiteral("\\-\\-fault")));
        const QString readme = Read(Source(QStringLiteral("sim/README.md")));
        for (const QString &kind : kinds) {
            QVERIFY2(fault.contains(QStringLiteral(".B ") + kind + QLatin1Char('\n')), qPrintable(kind));
            QVERIFY2(readme.contains(QLatin1Char('`') + kind + QLatin1Char('`')), qPrintable(kind));
        }
        // And the README's option table lists what --help lists.
        QSet<QString> table;
        for (const QString &line : readme.split(QLatin1Char('\n')))
            if (line.startsWith(QLatin1String("| `--")))
                table += LongOptions(line.section(QLatin1Char('|'), 1, 1));
        QCOMPARE(table, LongOptions(help));
    }

    void everyHereDocumentInTheReadmeEndsWhenPastedAsShown()
    {
        const QStringList lines = Read(Source(QStringLiteral("README.md"))).split(QLatin1Char('\n'));
        static const QRegularExpression opens(QStringLiteral("<<\\s*'?([A-Za-z_]+)'?"));
        int found = 0;
        for (int i = 0; i < lines.size(); ++i) {
            const QRegularExpressionMatch m = opens.match(lines[i]);
            if (!m.hasMatch() || lines[i].contains(QLatin1String("<<-")))
                continue;
            ++found;
            // The shell ends it only at a line that is the word alone, from the first column on.
            bool ended = false;
            for (int j = i + 1; j < lines.size() && !lines[j].trimmed().startsWith(QLatin1String("```")); ++j)
                ended = ended || lines[j] == m.captured(1);
            QVERIFY2(ended, qPrintable(QStringLiteral("README.md:%1: %2").arg(i + 1).arg(lines[i])));
        }
        QVERIFY(found > 0);
    }

    void theReadmesPortFolderIsTheOneTheProgramsUse_data()
    {
        QTest::addColumn<QString>("runtime"); // XDG_RUNTIME_DIR, "" for unset
        QTest::newRow("with XDG_RUNTIME_DIR") << "/run/user/1000";
        QTest::newRow("without") << "";
    }

    void theReadmesPortFolderIsTheOneTheProgramsUse()
    {
        QFETCH(QString, runtime);
        if (runtime.isEmpty())
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
        const QString folder = QString::fromStdString(portdir::Directory());
        QStringList snippets;
        for (const QString &line : Read(Source(QStringLiteral("README.md"))).split(QLatin1Char('\n')))
            if (line.trimmed().startsWith(QLatin1String("d=")))
                snippets << line.trimmed().section(QLatin1String("; mkdir"), 0, 0); // the folder, not made here
        QVERIFY(!snippets.isEmpty());
        for (const QString &snippet : snippets) {
            QProcess sh;
            sh.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), snippet + QStringLiteral("; printf %s \"$d\"")});
            QVERIFY(sh.waitForFinished(10000));
            QCOMPARE(QString::fromUtf8(sh.readAllStandardOutput()), folder);
        }
    }

    void manualsPointOnlyToPagesThatAreInstalled_data()
    {
        QTest::addColumn<QString>("page");
        for (const char *page : {"quillex-scope", "quillex-scope-cli", "quillex-sensor-sim"})
            QTest::newRow(page) << QString::fromLatin1(page);
    }

    void manualsPointOnlyToPagesThatAreInstalled()
    {
        QFETCH(QString, page);
        const QString packaging = Read(Source(QStringLiteral("packaging/CMakeLists.txt")));
        static const QRegularExpression listed(QStringLiteral("set\\(SCOPE_MAN_PAGES ([^)]*)\\)"));
        const QStringList installed = listed.match(packaging).captured(1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        QVERIFY(installed.contains(page));
        static const QRegularExpression reference(QStringLiteral("\\.BR ([\\w-]+) \\(1\\)"));
        QStringList named;
        for (const QRegularExpressionMatch &m : reference.globalMatch(Manual(page)))
            named << m.captured(1);
        QVERIFY(!named.isEmpty());
        for (const QString &other : named)
            QVERIFY2(installed.contains(other), qPrintable(other));
        // Every page leads to the other programs of the package.
        for (const QString &other : installed)
            QVERIFY2(other == page || named.contains(other), qPrintable(page + QStringLiteral(" -> ") + other));
    }
};

QTEST_MAIN(TstDocs)
#include "tst_docs.moc"
