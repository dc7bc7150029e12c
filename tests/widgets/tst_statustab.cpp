#include <QtTest>

#include <QAbstractButton>
#include <QLocale>
#include <QJsonArray>
#include <QJsonObject>
#include <QTextBrowser>

#include "tabfixture.h"
#include "statuswidget.h"

class TestStatusTab : public QObject
{
    Q_OBJECT
private slots:
    void readOfEveryKind_data();
    void readOfEveryKind();
    void firmwareLineAndInsertionAtCursor();
    void departmentTable();
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

    TabFixture<StatusWidget> t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;
    auto *pane = tab.findChild<QTextBrowser *>(QStringLiteral("textBrowser"));
    QVERIFY(pane);

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
    TabFixture<StatusWidget> t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;
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

// Every kind and department holds its own sum, so a kind or department shown in another's place
// cannot pass.
void TestStatusTab::departmentTable()
{
    TabFixture<StatusWidget> t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;
    // Sales department 1 is empty: a zero sum still shows its two decimals.
    const auto kopecks = [](int kind, int section) { return qint64(kind) * 100000 + (section - 1) * 101; };
    QVERIFY(emu.withModel([&](FiscalModel &m) {
        QJsonObject state = m.toJson();
        QJsonObject counters = state.value(QStringLiteral("counters")).toObject();
        QJsonArray kinds;
        for (int kind = 0; kind < 4; ++kind) {
            QJsonArray sums;
            for (int section = 1; section <= 20; ++section)
                sums << QString::number(kopecks(kind, section));
            kinds << sums;
        }
        counters[QStringLiteral("sections")] = kinds;
        state[QStringLiteral("counters")] = counters;
        return m.fromJson(state);
    }));
    auto *pane = tab.findChild<QTextBrowser *>(QStringLiteral("textBrowser"));

    press(tab, "pbBySections");
    QCOMPARE(boxes.count(), 0);
    const QStringList lines = pane->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QStringList headings{QStringLiteral("ПРОДАЖИ"), QStringLiteral("ПОКУПКИ"), QStringLiteral("ВОЗВРАТЫ ПРОДАЖ"),
                               QStringLiteral("ВОЗВРАТЫ ПОКУПОК")};
    QCOMPARE(lines.size(), 4 * 21);
    for (int kind = 0; kind < 4; ++kind) {
        QCOMPARE(lines.at(kind * 21), headings.at(kind));
        for (int section = 1; section <= 20; ++section) {
            const QString sum = FixNumber(100, kopecks(kind, section)).toString();
            QCOMPARE(lines.at(kind * 21 + section), QStringLiteral("  ОТДЕЛ %1: %2").arg(section).arg(sum));
        }
    }
    QCOMPARE(lines.at(1), QStringLiteral("  ОТДЕЛ 1: 0") + QLocale().decimalPoint() + QStringLiteral("00"));
}

void TestStatusTab::cleanSendsNothing()
{
    TabFixture<StatusWidget> t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;
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

    TabFixture<StatusWidget> t;
    QVERIFY(t.startWithoutRegister());
    auto &[emu, fr, tab, boxes] = t;
    auto *pane = tab.findChild<QTextBrowser *>(QStringLiteral("textBrowser"));
    pane->setPlainText(QStringLiteral("earlier"));

    press(tab, qPrintable(button));
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last(), CaughtBox(QMessageBox::Critical, title, text));
    QCOMPARE(boxes.last().buttons.size(), 1);
    QCOMPARE(pane->toPlainText(), QStringLiteral("earlier"));
}

// A register that stays silent is reported like a missing one, after the read time-out.
void TestStatusTab::silentRegister()
{
    TabFixture<StatusWidget> t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;
    emu.addFault(EmuFault::Silent);

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
