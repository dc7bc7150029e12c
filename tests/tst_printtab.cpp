#include <QtTest>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QTextCodec>

#include "emulatorfixture.h"
#include "frconst.h"
#include "frwrapper.h"
#include "messageboxcatcher.h"
#include "printwidget.h"
#include "tapeprinter.h"

namespace {

template <typename T> T *child(QWidget &tab, const char *name)
{
    return tab.findChild<T *>(QLatin1String(name));
}

void press(QWidget &tab, const char *name)
{
    auto *button = child<QAbstractButton>(tab, name);
    QVERIFY2(button, name);
    button->click();
}

class Connected
{
public:
    Connected()
    {
        started = emu.start();
        if (started && fr.open(emu.devicePath())) {
            fr.setCashier(DefaultCashierNumber);
            fr.setPassword(DefaultCashierPassword);
            tab.setFsWrapper(&fr);
        }
    }
    EmulatorFixture emu;
    FsWrapper fr;
    PrintWidget tab;
    bool started = false;
};

} // namespace

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
    void typedCommand();
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
    Connected c;
    QVERIFY2(c.started, qPrintable(c.emu.lastError()));
    MessageBoxCatcher caught;
    for (const QString &box : qAsConst(boxes))
        child<QCheckBox>(c.tab, qPrintable(box))->setChecked(true);
    QFETCH(int, justify);
    QFETCH(int, spacing);
    QFETCH(int, font);
    child<QComboBox>(c.tab, "cbJustify")->setCurrentIndex(justify);
    child<QSpinBox>(c.tab, "sbLineSpace")->setValue(spacing);
    child<QSpinBox>(c.tab, "sbFont")->setValue(font);
    child<QLineEdit>(c.tab, "leText")->setText(text);
    c.emu.takePrinted();

    press(c.tab, "pbPrintLine");
    QCOMPARE(caught.count(), 0);
    const FsReq req = c.emu.lastRequest().request;
    QCOMPARE(req.code(), quint8(0xC3));
    QCOMPARE(req.data().toHex(), (attributes + QTextCodec::codecForName("IBM866")->fromUnicode(text)).toHex());
    if (!tape.isEmpty())
        QCOMPARE(c.emu.takePrinted(), tape);
}

void TestPrintTab::tabKey()
{
    PrintWidget tab;
    auto *text = child<QLineEdit>(tab, "leText");
    text->setText(QStringLiteral("ab"));
    press(tab, "pbTab");
    press(tab, "pbTab");
    QCOMPARE(text->text(), QStringLiteral("ab\t\t"));
}

void TestPrintTab::rawCommand_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("pasted with a blank") << "1b 40" << QByteArray("\x1b\x40");
    QTest::newRow("upper case") << "1B40" << QByteArray("\x1b\x40");
    QTest::newRow("odd count: the first digit alone") << "abc" << QByteArray("\x0a\xbc");
    QTest::newRow("runs of white space") << "  1d\t56  00 " << QByteArray("\x1d\x56\x00", 3);
    QTest::newRow("empty") << "" << QByteArray();
}

void TestPrintTab::rawCommand()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, sent);
    Connected c;
    QVERIFY2(c.started, qPrintable(c.emu.lastError()));
    MessageBoxCatcher caught;
    child<QLineEdit>(c.tab, "leCmd")->setText(text);
    press(c.tab, "pbSendPrinterCmd");
    QCOMPARE(caught.count(), 0);
    QCOMPARE(c.emu.lastRequest().request.code(), quint8(0xC4));
    QCOMPARE(c.emu.lastRequest().request.data().toHex(), sent.toHex());
}

void TestPrintTab::commandLength()
{
    PrintWidget tab;
    auto *cmd = child<QLineEdit>(tab, "leCmd");
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

// Typing a command key by key must give the command typed.
void TestPrintTab::typedCommand()
{
    PrintWidget tab;
    auto *cmd = child<QLineEdit>(tab, "leCmd");
    cmd->setFocus();
    QTest::keyClicks(cmd, QStringLiteral("1b40"));
    QCOMPARE(cmd->text(), QStringLiteral("1b40"));
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
    Connected c;
    QVERIFY2(c.started, qPrintable(c.emu.lastError()));
    MessageBoxCatcher caught;
    child<QLineEdit>(c.tab, "leText")->setText(QStringLiteral("строка"));
    child<QLineEdit>(c.tab, "leCmd")->setText(QStringLiteral("1b40"));
    c.emu.addFault(EmuFault::Kind(fault), 1);

    press(c.tab, qPrintable(button));
    QCOMPARE(caught.count(), 1);
    QCOMPARE(caught.last(), CaughtBox(QMessageBox::Critical, title, text));
    QCOMPARE(caught.last().buttons.size(), 1);
    QCOMPARE(child<QLineEdit>(c.tab, "leText")->text(), QStringLiteral("строка"));
    QCOMPARE(child<QLineEdit>(c.tab, "leCmd")->text(), QStringLiteral("1b40"));

    press(c.tab, qPrintable(button));
    QCOMPARE(caught.count(), 1);
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
