// The log pane's line in words above each frame: its place, its colour, and the side panel's
// switch, which lasts as long as its window.

#include <QCheckBox>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>

#include "emulatorfixture.h"
#include "frwrapper.h"
#include "logpane.h"
#include "mainwidget.h"

class TestLogSummary : public QObject
{
    Q_OBJECT

    QTemporaryDir settingsDir_;
    EmulatorFixture emu_;

    static QTextBrowser *log(MainWidget &w) { return w.findChild<QTextBrowser *>(QStringLiteral("tbLog")); }
    static QCheckBox *box(MainWidget &w) { return w.findChild<QCheckBox *>(QStringLiteral("cbSummaries")); }

    void status(MainWidget &w)
    {
        FsWrapper *fr = w.findChild<FsWrapper *>();
        if (!fr->isOpen())
            QVERIFY(fr->open(emu_.devicePath()));
        FrStatus st;
        QCOMPARE(fr->getFrStatus(st), CoreApiConst::Success);
        // The pane's lines travel behind the reply through the event queue.
        QTRY_VERIFY(paneLines(log(w)).size() >= 1);
        QCoreApplication::processEvents();
    }

private slots:
    void initTestCase()
    {
        registerFsMetaTypes();
        QVERIFY(settingsDir_.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir_.path());
        QVERIFY2(emu_.start(), qPrintable(emu_.lastError()));
    }

    void summaryAboveEachDump()
    {
        MainWidget w;
        QVERIFY(box(w)->isChecked());
        status(w);
        const QList<PaneLine> lines = paneLines(log(w));
        // Summary, dump (size line and one or more rows), for the request and for the reply.
        int sent = -1, received = -1;
        for (int i = 0; i < lines.size(); ++i) {
            if (lines.at(i).text.startsWith(QStringLiteral("→ 0x30 Состояние ККТ")))
                sent = i;
            if (lines.at(i).text.startsWith(QStringLiteral("← 0x00 Успешный ответ")))
                received = i;
        }
        QVERIFY2(sent >= 0 && received > sent, qPrintable(lines.value(0).text));
        QCOMPARE(lines.at(sent).colour, QColor(QStringLiteral("gray")));
        QCOMPARE(lines.at(received).colour, QColor(QStringLiteral("gray")));
        QVERIFY(lines.at(sent + 1).text.contains(QStringLiteral("Bytearrray size = 10")));
        QCOMPARE(lines.at(sent + 1).colour, QColor(Qt::blue));
        QVERIFY(lines.at(received + 1).text.contains(QStringLiteral("Bytearrray size = 41")));
        QCOMPARE(lines.at(received + 1).colour, QColor(Qt::red));
        QVERIFY2(lines.at(received).text.contains(QRegularExpression(QStringLiteral("31 байт  \\d+\\.\\d мс"))),
                 qPrintable(lines.at(received).text));
    }

    // A plain switch for this window: the next start has the lines again, and nothing is written
    // where a configuration file would go.
    void switchLeavesDumpsAndIsNotKept()
    {
        {
            MainWidget w;
            box(w)->click();
            QVERIFY(!box(w)->isChecked());
            status(w);
            for (const PaneLine &l : paneLines(log(w)))
                QVERIFY2(!l.text.startsWith(QStringLiteral("→")) && !l.text.startsWith(QStringLiteral("←")),
                         qPrintable(l.text));
            QCOMPARE(paneLines(log(w)).first().colour, QColor(Qt::blue));
        }
        MainWidget again;
        QVERIFY(box(again)->isChecked());
        status(again);
        QVERIFY(paneLines(log(again)).first().text.startsWith(QStringLiteral("→ 0x30")));
        QCOMPARE(QDir(settingsDir_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());
    }
};

QTEST_MAIN(TestLogSummary)
#include "tst_logsummary.moc"
