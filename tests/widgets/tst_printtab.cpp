#include <QtTest>

#include <QAbstractButton>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QTextCodec>

#include "tabfixture.h"
#include "printwidget.h"
#include "tapeprinter.h"

class TestPrintTab : public QObject
{
    Q_OBJECT
private slots:
    void printLine_data();
    void printLine();
    void tabKey();
    void rawCommand_data();
    void rawCommand();
    void commandLength();
    void printerFaults_data();
    void printerFaults();
    void withoutRegister();
};

void TestPrintTab::printLine_data()
{
    QTest::addColumn<QStringList>("boxes"); // check boxes to tick
    QTest::addColumn<int>("justify");
    QTest::addColumn<int>("spacing");
    QTest::addColumn<int>("font");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("attributes");
    QTest::addColumn<QStringList>("tape");
    const QString cut = TapePrinter::CutMark + QString(47, QLatin1Char('-'));
    QTest::newRow("bold and cut") << QStringList{"cbBold", "cbCut"} << 0 << 0 << 12 << "ПРОВЕРКА"
                                  << QByteArray::fromHex("00000c11") << QStringList{"*ПРОВЕРКА*", cut};
    QTest::newRow("right, spaced, leading blanks kept")
        << QStringList() << 2 << 1 << 0 << "  итог" << QByteArray::fromHex("01020000")
        << QStringList{QString(42, QLatin1Char(' ')) + "  итог", QString()};
    QTest::newRow("inverted and double") << QStringList{"cbInvert", "cbDouble"} << 1 << 0 << 99 << "x"
                                         << QByteArray::fromHex("0001630c") << QStringList();
}

void TestPrintTab::printLine()
{
    QFETCH(QStringList, boxes);
    QFETCH(QByteArray, attributes);
    QFETCH(QString, text);
    QFETCH(QStringList, tape);
    TabFixture<PrintWidget> c;
    QVERIFY2(c.start(), qPrintable(c.error()));
    for (const QString &box : qAsConst(boxes))
        field<QCheckBox>(c.tab, qPrintable(box))->setChecked(true);
    QFETCH(int, justify);
    QFETCH(int, spacing);
    QFETCH(int, font);
    field<QComboBox>(c.tab, "cbJustify")->setCurrentIndex(justify);
    field<QSpinBox>(c.tab, "sbLineSpace")->setValue(spacing);
    field<QSpinBox>(c.tab, "sbFont")->setValue(font);
    field<QLineEdit>(c.tab, "leText")->setText(text);
    c.emu.takePrinted();

    press(c.tab, "pbPrintLine");
    QCOMPARE(c.boxes.count(), 0);
    const FsReq req = c.emu.lastRequest().request;
    QCOMPARE(req.code(), quint8(0xC3));
    QCOMPARE(req.data().toHex(), (attributes + QTextCodec::codecForName("IBM866")->fromUnicode(text)).toHex());
    if (!tape.isEmpty())
        QCOMPARE(c.emu.takePrinted(), tape);
}

void TestPrintTab::tabKey()
{
    PrintWidget tab;
    auto *text = field<QLineEdit>(tab, "leText");
    text->setText(QStringLiteral("ab"));
    press(tab, "pbTab");
    press(tab, "pbTab");
    QCOMPARE(text->text(), QStringLiteral("ab\t\t"));
}

void TestPrintTab::rawCommand_data()
{
    QTest::addColumn<QString>("typed");  // key by key, through the validator
    QTest::addColumn<QString>("pasted"); // then pasted at the end, through the validator as a whole
    QTest::addColumn<QString>("shown");  // what the field holds
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("typed") << "1b40" << "" << "1b40" << QByteArray("\x1b\x40");
    QTest::newRow("typed upper case") << "1B40" << "" << "1B40" << QByteArray("\x1b\x40");
    QTest::newRow("typed blank refused") << "1b 40" << "" << "1b40" << QByteArray("\x1b\x40");
    QTest::newRow("odd count: the first digit alone") << "abc" << "" << "abc" << QByteArray("\x0a\xbc");
    QTest::newRow("pasted with blanks") << "" << "1b 40" << "1b 40" << QByteArray("\x1b\x40");
    QTest::newRow("pasted with runs of white space")
        << "" << "  1d\t56  00" << "  1d\t56  00" << QByteArray("\x1d\x56\x00", 3);
    QTest::newRow("pasted words refused") << "1b" << "печать" << "1b" << QByteArray("\x1b");
    QTest::newRow("pasted text with a trailing blank refused") << "" << "1b 40 " << "" << QByteArray();
    QTest::newRow("empty") << "" << "" << "" << QByteArray();
}

void TestPrintTab::rawCommand()
{
    QFETCH(QString, typed);
    QFETCH(QString, pasted);
    QFETCH(QString, shown);
    QFETCH(QByteArray, sent);
    TabFixture<PrintWidget> c;
    QVERIFY2(c.start(), qPrintable(c.error()));
    auto *cmd = field<QLineEdit>(c.tab, "leCmd");
    cmd->setFocus();
    QTest::keyClicks(cmd, typed);
    if (!pasted.isEmpty()) {
        QGuiApplication::clipboard()->setText(pasted);
        cmd->end(false);
        cmd->paste();
    }
    QCOMPARE(cmd->text(), shown);

    press(c.tab, "pbSendPrinterCmd");
    QCOMPARE(c.boxes.count(), 0);
    QCOMPARE(c.emu.lastRequest().request.code(), quint8(0xC4));
    QCOMPARE(c.emu.lastRequest().request.data().toHex(), sent.toHex());
}

void TestPrintTab::commandLength()
{
    PrintWidget tab;
    auto *cmd = field<QLineEdit>(tab, "leCmd");
    QCOMPARE(cmd->maxLength(), 1024);
    cmd->setFocus();
    cmd->setText(QString(767, QLatin1Char('a')));
    QTest::keyClick(cmd, Qt::Key_B);
    QCOMPARE(cmd->text().size(), 768);
    QTest::keyClick(cmd, Qt::Key_C);
    QCOMPARE(cmd->text().size(), 768);
    cmd->setText(QStringLiteral("1"));
    cmd->end(false);
    QTest::keyClick(cmd, Qt::Key_G);
    QCOMPARE(cmd->text(), QStringLiteral("1"));
}

void TestPrintTab::printerFaults_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    const int paper = EmuFault::OutOfPaper;
    const int printer = EmuFault::PrinterNotAnswering;
    QTest::newRow("line") << paper << "pbPrintLine"
                          << "Печать строки"
                          << " ОШибка печати строки";
    QTest::newRow("cut") << printer << "pbPrinterCUt"
                         << "Обрезать ленту"
                         << " ОШибка обрезки";
    QTest::newRow("command") << paper << "pbSendPrinterCmd"
                             << "Команда принтеру"
                             << " Ошибка отправки команды принеру";
}

// A refusal keeps the fields, so the same line or command can go again once the printer is back.
void TestPrintTab::printerFaults()
{
    QFETCH(int, fault);
    QFETCH(QString, button);
    QFETCH(QString, title);
    QFETCH(QString, text);
    TabFixture<PrintWidget> c;
    QVERIFY2(c.start(), qPrintable(c.error()));
    field<QLineEdit>(c.tab, "leText")->setText(QStringLiteral("строка"));
    field<QLineEdit>(c.tab, "leCmd")->setText(QStringLiteral("1b40"));
    c.emu.addFault(EmuFault::Kind(fault), 1);

    press(c.tab, qPrintable(button));
    QCOMPARE(c.boxes.count(), 1);
    QCOMPARE(c.boxes.last(), CaughtBox(QMessageBox::Critical, title, text));
    QCOMPARE(c.boxes.last().buttons.size(), 1);
    QCOMPARE(field<QLineEdit>(c.tab, "leText")->text(), QStringLiteral("строка"));
    QCOMPARE(field<QLineEdit>(c.tab, "leCmd")->text(), QStringLiteral("1b40"));

    press(c.tab, qPrintable(button));
    QCOMPARE(c.boxes.count(), 1);
    QCOMPARE(c.emu.lastRequest().result, quint8(0));
}

void TestPrintTab::withoutRegister()
{
    PrintWidget tab;
    MessageBoxCatcher caught;
    for (const char *button : {"pbPrintLine", "pbPrinterCUt", "pbSendPrinterCmd"})
        press(tab, button);
    QCOMPARE(caught.count(), 0);
}

QTEST_MAIN(TestPrintTab)
#include "tst_printtab.moc"
