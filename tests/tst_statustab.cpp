#include <QtTest>

#include <QAbstractButton>
#include <QLocale>
#include <QTextBrowser>

#include "emulatorfixture.h"
#include "frconst.h"
#include "frwrapper.h"
#include "messageboxcatcher.h"
#include "statuswidget.h"

namespace {

// No device node: every exchange ends as "no answer" without waiting for a time-out.
const char *const NoRegister = "/dev/virta-no-such-register";

void press(QWidget &tab, const char *name)
{
    auto *button = tab.findChild<QAbstractButton *>(QLatin1String(name));
    QVERIFY2(button, name);
    button->click();
}

void connectTab(StatusWidget &tab, FsWrapper &fr, const QString &port)
{
    QVERIFY(fr.open(port));
    fr.setCashier(DefaultCashierNumber);
    fr.setPassword(DefaultCashierPassword);
    tab.setFsWrapper(&fr);
}

} // namespace

class TestStatusTab : public QObject
{
    Q_OBJECT
private slots:
    void readOfEveryKind_data();
    void readOfEveryKind();
    void firmwareLineAndInsertionAtCursor();
    void departmentTableHasEveryLine();
    void cleanSendsNothing();
    void failureBoxes_data();
    void failureBoxes();
    void silentRegister();
    void nullWrapperDoesNothing();
};

void TestStatusTab::readOfEveryKind_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("shown");

    QTest::newRow("serial") << "pbGetSerial" << 0x31 << "ЗН ККТ: ";
    QTest::newRow("firmware") << "pbFirmware" << 0x33 << "Версия ПО: ";
    QTest::newRow("status") << "pbStatus" << 0x30 << "АКТИВИРОВАНА: ДА";
    QTest::newRow("shift") << "pbCycle" << 0x10 << "НОМЕР СМЕНЫ: ";
    QTest::newRow("shift counters") << "pbCycleCounters" << 0x36 << "СМЕННЫЕ ИТОГИ";
    QTest::newRow("since registration") << "pbFiscCounters" << 0x37 << "ИТОГИ С ПОСЛЕДНЕЙ ПЕРЕРЕГИСТРАЦИИ";
    QTest::newRow("gross") << "pbTotalCounters" << 0x38 << "ГРОСС ИТОГИ";
    QTest::newRow("registration") << "pbRegData" << 0x44 << "РЕГИСТРАЦИОННЫЕ ДАННЫЕ";
    QTest::newRow("departments") << "pbBySections" << 0x39 << "ВОЗВРАТЫ ПОКУПОК";
}

void TestStatusTab::readOfEveryKind()
{
    QFETCH(QString, button);
    QFETCH(int, command);
    QFETCH(QString, shown);

    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    FsWrapper fr;
    StatusWidget tab;
    connectTab(tab, fr, emu.devicePath());
    auto *pane = tab.findChild<QTextBrowser *>(QStringLiteral("textBrowser"));
    QVERIFY(pane);
    MessageBoxCatcher boxes;

    press(tab, qPrintable(button));
    QCOMPARE(boxes.count(), 0);
    QVERIFY2(pane->toPlainText().contains(shown), qPrintable(pane->toPlainText()));
    QVERIFY(emu.executionsOf(quint8(command)) >= 1);
    const QVector<EmuRequestRecord> requests = emu.requests();
    for (const EmuRequestRecord &r : requests)
        QCOMPARE(int(r.request.code()), command); // a read sends nothing else
}

void TestStatusTab::firmwareLineAndInsertionAtCursor()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    FsWrapper fr;
    StatusWidget tab;
    connectTab(tab, fr, emu.devicePath());
    auto *pane = tab.findChild<QTextBrowser *>(QStringLiteral("textBrowser"));
    QString version;
    QCOMPARE(fr.getFirmwareVersion(version), CoreApiConst::Success);
    const QString line = QStringLiteral("Версия ПО: ") + version;

    // The user clicked between two earlier answers: the new one goes there, nothing is removed.
    pane->setPlainText(QStringLiteral("FIRST\nLAST"));
    QTextCursor cursor = pane->textCursor();
    cursor.setPosition(QStringLiteral("FIRST\n").size());
    pane->setTextCursor(cursor);
    press(tab, "pbFirmware");
    press(tab, "pbFirmware");

    const QString text = pane->toPlainText();
    QCOMPARE(text.count(line), 2);
    QVERIFY(text.startsWith(QStringLiteral("FIRST")));
    QVERIFY(text.indexOf(line) < text.indexOf(QStringLiteral("LAST")));
    QVERIFY(text.lastIndexOf(line) < text.indexOf(QStringLiteral("LAST")));
}

void TestStatusTab::departmentTableHasEveryLine()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    FsWrapper fr;
    StatusWidget tab;
    connectTab(tab, fr, emu.devicePath());
    auto *pane = tab.findChild<QTextBrowser *>(QStringLiteral("textBrowser"));
    SectionCounters expected;
    QCOMPARE(fr.getSectionCounters(expected), CoreApiConst::Success);

    press(tab, "pbBySections");
    const QStringList lines = pane->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QStringList headings{QStringLiteral("ПРОДАЖИ"), QStringLiteral("ПОКУПКИ"), QStringLiteral("ВОЗВРАТЫ ПРОДАЖ"),
                               QStringLiteral("ВОЗВРАТЫ ПОКУПОК")};
    QCOMPARE(lines.size(), 4 * 21);
    for (int kind = 0; kind < 4; ++kind) {
        QCOMPARE(lines.at(kind * 21), headings.at(kind));
        for (int section = 1; section <= 20; ++section) {
            const QString sum = expected.at(kind).at(section - 1).toString();
            QCOMPARE(lines.at(kind * 21 + section), QStringLiteral("  ОТДЕЛ %1: %2").arg(section).arg(sum));
        }
    }
    // Zero sums still show their two decimals.
    QVERIFY(pane->toPlainText().contains(QStringLiteral("0") + QLocale().decimalPoint() + QStringLiteral("00")));
}

void TestStatusTab::cleanSendsNothing()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    FsWrapper fr;
    StatusWidget tab;
    connectTab(tab, fr, emu.devicePath());
    auto *pane = tab.findChild<QTextBrowser *>(QStringLiteral("textBrowser"));
    press(tab, "pbStatus");
    QVERIFY(!pane->toPlainText().isEmpty());
    const int before = emu.requests().size();

    press(tab, "pbClean");
    QVERIFY(pane->toPlainText().isEmpty());
    QCOMPARE(emu.requests().size(), before);
}

void TestStatusTab::failureBoxes_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");

    const QString counters = QStringLiteral("Чтение счетчиков ККТ");
    const QString countersError = QStringLiteral("Ошибка чтения счетчиков ККТ");
    QTest::newRow("serial") << "pbGetSerial"
                            << "Чтение ЗН ККТ"
                            << "Ошибка чтения ЗН ККТ";
    QTest::newRow("firmware") << "pbFirmware"
                              << "Чтение версии ПО ККТ"
                              << "Ошибка чтения версии ПО ККТ";
    QTest::newRow("status") << "pbStatus"
                            << "Чтение состояния ККТ"
                            << "Ошибка чтения состояния ККТ";
    QTest::newRow("shift") << "pbCycle"
                           << "Чтение состояния смены ККТ"
                           << "Ошибка чтения состояния сменыККТ";
    QTest::newRow("shift counters") << "pbCycleCounters" << counters << countersError;
    QTest::newRow("since registration") << "pbFiscCounters" << counters << countersError;
    QTest::newRow("gross") << "pbTotalCounters" << counters << countersError;
    // No register is not an unregistered one.
    QTest::newRow("registration") << "pbRegData"
                                  << "Запрос параметров регистрации/перерегистрации ККТ"
                                  << "ККТ не ответила, или её ответ не удалось прочитать";
    QTest::newRow("departments") << "pbBySections" << counters << countersError;
}

void TestStatusTab::failureBoxes()
{
    QFETCH(QString, button);
    QFETCH(QString, title);
    QFETCH(QString, text);

    FsWrapper fr;
    StatusWidget tab;
    connectTab(tab, fr, QString::fromLatin1(NoRegister));
    auto *pane = tab.findChild<QTextBrowser *>(QStringLiteral("textBrowser"));
    pane->setPlainText(QStringLiteral("earlier"));
    MessageBoxCatcher boxes;

    press(tab, qPrintable(button));
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last(), CaughtBox(QMessageBox::Critical, title, text));
    QCOMPARE(boxes.last().buttons.size(), 1);
    QCOMPARE(pane->toPlainText(), QStringLiteral("earlier"));
}

// A register that stays silent is reported like a missing one, after the read time-out.
void TestStatusTab::silentRegister()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    emu.addFault(EmuFault::Silent);
    FsWrapper fr;
    StatusWidget tab;
    connectTab(tab, fr, emu.devicePath());
    MessageBoxCatcher boxes;

    press(tab, "pbCycle");
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last(), CaughtBox(QMessageBox::Critical, QStringLiteral("Чтение состояния смены ККТ"),
                                     QStringLiteral("Ошибка чтения состояния сменыККТ")));
}

void TestStatusTab::nullWrapperDoesNothing()
{
    StatusWidget tab;
    MessageBoxCatcher boxes;
    for (const char *name : {"pbGetSerial", "pbFirmware", "pbStatus", "pbCycle", "pbCycleCounters", "pbFiscCounters",
                             "pbTotalCounters", "pbRegData", "pbBySections"})
        press(tab, name);
    QCOMPARE(boxes.count(), 0);
    QVERIFY(tab.findChild<QTextBrowser *>(QStringLiteral("textBrowser"))->toPlainText().isEmpty());
}

QTEST_MAIN(TestStatusTab)
#include "tst_statustab.moc"
