// The window through an operator's working day, against the substitute register: a question before
// every act that cannot be undone, the keyboard where it was after an operation, the firmware tab
// locked while the loader works, blank choices refused in the window, a catalogue entry written
// only to the number the operator says, and the log pane's share of the window.

#include <QtTest>

#include <QAbstractButton>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QSplitter>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>

#include "catalogentries.h"
#include "catalogswidget.h"
#include "confirm.h"
#include "files.h"
#include "firmwareloader.h"
#include "frpayload.h"
#include "logpane.h"
#include "windowfixture.h"
#include "windowlayout.h"

namespace {

// A page of the window, chosen as an operator does: by its tab.
QWidget *openTab(MainWidget &w, const char *page)
{
    auto *tabs = field<QTabWidget>(w, "tabWidget");
    QWidget *p = field<QWidget>(w, page);
    tabs->setCurrentIndex(tabIndexOf(tabs, p));
    return p;
}

// A receipt item with every choice made; a test then blanks the ones it means.
void fillItem(MainWidget &w, int section, int tax, double quantity)
{
    field<QSpinBox>(w, "tabReceipt/sbSection")->setValue(section);
    field<QSpinBox>(w, "tabReceipt/sbTax")->setValue(tax);
    field<QDoubleSpinBox>(w, "tabReceipt/dsbPrice")->setValue(10);
    field<QDoubleSpinBox>(w, "tabReceipt/dsbQuantity")->setValue(quantity);
}

// A signed image for the emulator's loader, in a folder that outlives the test row.
QString firmwareImage(const QTemporaryDir &dir)
{
    const QString path = dir.filePath(QStringLiteral("fw.signed.img"));
    return writeFile(path, emu::signedimage::sign(QByteArray(3000, 'f'))) ? path : QString();
}

void prepareFirmwareTab(MainWidget &w, const QString &loader, const QString &image)
{
    openTab(w, "tabFirmare");
    field<QComboBox>(w, "tabFirmare/cbPort")->setEditText(loader);
    field<QLineEdit>(w, "tabFirmare/leFirmareFile")->setText(image);
}

const QList<const char *> FirmwareControls{"cbPort",         "tbPortsReload",     "leFirmareFile",
                                           "tbOpenFile",     "pbCheckConnection", "pbReboot",
                                           "pbSendFirmware", "pbVerifyFirmware"};

} // namespace

class TestWorkingDay : public QObject
{
    Q_OBJECT

private slots:
    void init() { setConfirmationsOn(true); }

    void questionBeforeIrreversibleAct_data();
    void questionBeforeIrreversibleAct();

    void focusAndCursorAroundOperation();
    void keyboardInTabs_data();
    void keyboardInTabs();

    void firmwareTabLocksItself();

    void blankChoiceRefusedInWindow_data();
    void blankChoiceRefusedInWindow();
    void catalogueNumberAsked_data();
    void catalogueNumberAsked();

    void windowFitsItsScreen();
};

void TestWorkingDay::questionBeforeIrreversibleAct_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("act");
    QTest::addColumn<int>("code");         // register command, or loader command for the firmware tab
    QTest::addColumn<bool>("serialKnown"); // the factory number read before, so the question names it
    QTest::addColumn<QString>("answer");   // "no", "yes", or "off": the side panel's switch turned off

    const struct
    {
        const char *button;
        const char *act;
        int code;
    } acts[] = {
        {"tabActivate/pbCommit", "Завершить регистрацию", frcmd::CompleteRegistration},
        {"tabActivate/pbCloseArchive", "Закрыть архив", frcmd::CompleteArchiveClosing},
        {"tabSettings/pbWriteSerial", "Записать ЗН", frcmd::WriteSerial},
        {"tabReceipt/pbTestReceipt", "Тестовый чек", frcmd::StartReceipt},
        {"tabFirmare/pbSendFirmware", "Отправить прошивку на устройство", FirmwareLoader::AnnounceSize},
        {"tabFirmare/pbReboot", "Перезагрузить утсройство", FirmwareLoader::Reboot},
    };
    for (const auto &a : acts) {
        const bool onRegister = !QByteArray(a.button).startsWith("tabFirmare");
        QTest::addRow("%s, no", a.act) << a.button << a.act << a.code << false << "no";
        QTest::addRow("%s, yes", a.act) << a.button << a.act << a.code << onRegister << "yes";
    }
    QTest::newRow("questions off") << "tabActivate/pbCloseArchive"
                                   << "Закрыть архив" << int(frcmd::CompleteArchiveClosing) << false << "off";
}

// Answered "Отмена" nothing goes out; answered yes the act goes out once. The question names the
// act, the register (by factory number once known) or the loader's port, and defaults to "Отмена".
// Switched off in the side panel (a bench of test registers), the act goes out without one.
void TestWorkingDay::questionBeforeIrreversibleAct()
{
    QFETCH(QString, button);
    QFETCH(QString, act);
    QFETCH(int, code);
    QFETCH(bool, serialKnown);
    QFETCH(QString, answer);
    const bool yes = answer != QLatin1String("no");
    QTemporaryDir dir;
    WindowFixture t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    MainWidget &w = *t.window;
    const bool onLoader = button.startsWith(QLatin1String("tabFirmare"));
    if (onLoader)
        prepareFirmwareTab(w, t.emu.loaderPath(), firmwareImage(dir));
    else
        openTab(w, qPrintable(button.section(QLatin1Char('/'), 0, 0)));
    field<QLineEdit>(w, "tabSettings/leSerial")->setText(QStringLiteral("0000012345"));
    if (serialKnown)
        press(w, "tabStatus/pbGetSerial");
    t.emu.clearHistory();
    t.boxes.clear();

    t.boxes.setAnswer(yes ? QMessageBox::Yes : QMessageBox::Ok);
    if (answer == QLatin1String("off"))
        press(w, "frame/cbConfirm");
    press(w, qPrintable(button));
    const int sent = onLoader ? t.emu.loader().commands().count(quint8(code)) : t.sent(quint8(code));
    QCOMPARE(sent, yes ? 1 : 0);
    if (answer == QLatin1String("off")) {
        QCOMPARE(t.boxes.count(), 1);
        QVERIFY(t.boxes.last().icon != QMessageBox::Question);
        return;
    }

    QVERIFY(t.boxes.count() >= 1);
    const CaughtBox question = t.boxes.boxes().first();
    QCOMPARE(question.icon, QMessageBox::Question);
    QCOMPARE(question.title, act);
    QStringList buttons = question.buttons; // in the order of the platform's button layout
    buttons.sort();
    QStringList expected{act, QStringLiteral("Отмена")};
    expected.sort();
    QCOMPARE(buttons, expected);
    QCOMPARE(question.defaultButton, QStringLiteral("Отмена"));
    QVERIFY2(question.text.contains(QStringLiteral("«%1»").arg(act)), qPrintable(question.text));
    const QString target =
        onLoader      ? QStringLiteral("устройство на порту ") + t.emu.loaderPath()
        : serialKnown ? QStringLiteral("ККТ ЗН %1 на порту %2").arg(t.fr()->factoryNumber(), t.emu.devicePath())
                      : QStringLiteral("заводской номер не прочитан");
    QVERIFY2(question.text.contains(target), qPrintable(question.text));
    QVERIFY(!question.informativeText.isEmpty());
    if (!yes) {
        QCOMPARE(t.boxes.count(), 1);
        QVERIFY(t.emu.requests().isEmpty());
        QVERIFY(t.emu.loader().commands().isEmpty());
    }
}

// Space on a button runs it; afterwards the focus is back on it, so a second Space runs it again.
// Meanwhile the cursor says the window is busy, and the side panel counts seconds.
void TestWorkingDay::focusAndCursorAroundOperation()
{
    WindowFixture t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    MainWidget &w = *t.window;
    auto *status = field<QAbstractButton>(w, "tabStatus/pbStatus");
    auto *bar = field<QProgressBar>(w, "frame/progressBar");
    status->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), status);

    QList<int> cursorDuring;
    connect(t.fr(), &FsWrapper::exchangeStarted, &w, [&] {
        QTimer::singleShot(0, &w, [&] {
            cursorDuring << (QApplication::overrideCursor() ? int(QApplication::overrideCursor()->shape()) : -1);
        });
    });
    t.emu.addFault(EmuFault::DelayReply, 0, 300);
    for (int round = 1; round <= 2; ++round) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QTRY_COMPARE(t.sent(frcmd::GetFrStatus), round);
        QTRY_VERIFY(!QApplication::overrideCursor());
        QTRY_COMPARE(QApplication::focusWidget(), status);
    }
    QCOMPARE(cursorDuring, (QList<int>{Qt::WaitCursor, Qt::WaitCursor}));

    w.onOperationStarted();
    for (int s = 0; s < 3; ++s)
        w.progressTimeOut();
    QCOMPARE(bar->text(), QStringLiteral("3 с"));
    w.onOperationFinished();
}

void TestWorkingDay::keyboardInTabs_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<int>("code"); // the request Enter sends; -1: Tab moves on instead

    QTest::newRow("Enter: catalogue entry number reads it") << "tabCatalogs/sbNumber" << int(frcmd::ReadCatalog);
    QTest::newRow("Enter: document number prints its copy") << "tabReports/sbDocNumber" << int(frcmd::PrintDocCopy);
    QTest::newRow("Enter: the printer line prints it") << "tabPrint/leText" << int(frcmd::PrintLine);
    QTest::newRow("Enter: the item's last field adds it") << "tabReceipt/dsbDiscount" << int(frcmd::SendDocData);
    QTest::newRow("Tab leaves the receipt text") << "tabReceipt/pteReceiptParam" << -1;
    QTest::newRow("Tab leaves the item text") << "tabReceipt/pteItemTextParam" << -1;
}

void TestWorkingDay::keyboardInTabs()
{
    QFETCH(QString, input);
    QFETCH(int, code);
    WindowFixture t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    MainWidget &w = *t.window;
    openTab(w, qPrintable(input.section(QLatin1Char('/'), 0, 0)));
    field<QComboBox>(w, "tabCatalogs/cbCatalogType")->setCurrentIndex(CatalogsWidget::Cashiers);
    field<QLineEdit>(w, "tabPrint/leText")->setText(QStringLiteral("x"));
    fillItem(w, 1, 1, 1);
    auto *target = field<QWidget>(w, qPrintable(input));
    target->setFocus();
    QTRY_VERIFY(target == QApplication::focusWidget() || target->isAncestorOf(QApplication::focusWidget()));
    t.emu.clearHistory();

    if (code < 0) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QVERIFY(!target->hasFocus());
        QCOMPARE(qobject_cast<QPlainTextEdit *>(target)->toPlainText(), QString());
        return;
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(t.emu.requests().size(), 1);
    QCOMPARE(int(t.emu.lastRequest().request.code()), code);
}

// While the loader works the tab offers nothing but its log: no second upload, no reboot in the
// middle of an install. The install step shows that it waits and for how long; afterwards every
// control is back and the keyboard is where it was.
void TestWorkingDay::firmwareTabLocksItself()
{
    QTemporaryDir dir;
    EmulatorFixture::Options options;
    options.installSeconds = 2;
    WindowFixture t(options);
    QVERIFY2(t.start(), qPrintable(t.error()));
    MainWidget &w = *t.window;
    prepareFirmwareTab(w, t.emu.loaderPath(), firmwareImage(dir));
    QWidget *tab = field<QWidget>(w, "tabFirmare");
    auto *wait = field<QProgressBar>(w, "tabFirmare/progressWait");
    auto *send = field<QAbstractButton>(w, "tabFirmare/pbSendFirmware");
    send->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), send);
    t.boxes.setAnswer(QMessageBox::Yes);

    QStringList enabledDuring;
    QString waitShown;
    bool logUsable = true;
    QTimer watch;
    watch.setInterval(50);
    connect(&watch, &QTimer::timeout, &w, [&] {
        for (const char *name : FirmwareControls) {
            if (field<QWidget>(*tab, name)->isEnabled() && !enabledDuring.contains(QLatin1String(name)))
                enabledDuring << QLatin1String(name);
        }
        logUsable = logUsable && field<QWidget>(*tab, "textBrowser")->isEnabled();
        if (wait->isVisible())
            waitShown = wait->text();
        // A second upload asked for while the first one runs.
        QMetaObject::invokeMethod(tab, "on_pbSendFirmware_released");
    });
    // Watched from the first command on: before it the question is open.
    connect(tab->findChild<FirmwareLoader *>(), &FirmwareLoader::commandSent, &watch, qOverload<>(&QTimer::start));
    press(w, "tabFirmare/pbSendFirmware");
    watch.stop();

    QCOMPARE(t.emu.loader().commands().count(FirmwareLoader::AnnounceSize), 1);
    QCOMPARE(t.emu.loader().commands().count(FirmwareLoader::InstallImage), 1);
    QCOMPARE(enabledDuring, QStringList());
    QVERIFY(logUsable);
    QVERIFY2(waitShown.startsWith(QStringLiteral("Установка прошивки: ")) && waitShown.endsWith(" с из 300 с"),
             qPrintable(waitShown));
    QVERIFY(wait->isHidden());
    for (const char *name : FirmwareControls)
        QVERIFY2(field<QWidget>(*tab, name)->isEnabled(), name);
    // The window's keyboard goes to it again (the offscreen test platform does not give the
    // window back its activation after the question box).
    QCOMPARE(w.focusWidget(), send);
    QCOMPARE(t.boxes.count(), 1); // the question only; the second upload asked none
}

void TestWorkingDay::blankChoiceRefusedInWindow_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("section");
    QTest::addColumn<int>("tax");
    QTest::addColumn<double>("quantity");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("reason");

    const QString item = QStringLiteral("Добавление позиции в чек");
    QTest::newRow("report type") << "tabReports/pbPrintReport" << 1 << 1 << 1.0 << "Печать отчета"
                                 << "Не выбран тип отчета";
    QTest::newRow("catalogue, read") << "tabCatalogs/pbRead" << 1 << 1 << 1.0 << "Чтение данных из справочника"
                                     << "Не выбран справочник";
    QTest::newRow("catalogue, write") << "tabCatalogs/pbWrite" << 1 << 1 << 1.0 << "Запись данных в справочник"
                                      << "Не выбран справочник";
    QTest::newRow("department") << "tabReceipt/pbAddReceiptItem" << 0 << 1 << 1.0 << item << "Не заполнено: «Отдел»";
    QTest::newRow("tax") << "tabReceipt/pbAddReceiptItem" << 1 << 0 << 1.0 << item << "Не заполнено: «Налог»";
    QTest::newRow("quantity") << "tabReceipt/pbAddReceiptItem" << 1 << 1 << 0.0 << item << "Не заполнено: «Количество»";
    QTest::newRow("all three") << "tabReceipt/pbAddReceiptItem" << 0 << 0 << 0.0 << item
                               << "Не заполнено: «Отдел», «Налог», «Количество»";
}

// A choice left at its empty default is refused before anything is sent, with the field named in
// the box and in the log pane, instead of a refusal of the register the operator must decode.
void TestWorkingDay::blankChoiceRefusedInWindow()
{
    QFETCH(QString, button);
    QFETCH(int, section);
    QFETCH(int, tax);
    QFETCH(double, quantity);
    QFETCH(QString, title);
    QFETCH(QString, reason);
    WindowFixture t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    MainWidget &w = *t.window;
    openTab(w, qPrintable(button.section(QLatin1Char('/'), 0, 0)));
    fillItem(w, section, tax, quantity);
    t.emu.clearHistory();

    press(w, qPrintable(button));
    QVERIFY(t.emu.requests().isEmpty());
    QCOMPARE(t.boxes.count(), 1);
    QCOMPARE(t.boxes.last().icon, QMessageBox::Critical);
    QCOMPARE(t.boxes.last().title, title);
    QVERIFY(t.boxes.last().text.startsWith(QStringLiteral("Ошибка")));
    QCOMPARE(t.boxes.last().informativeText, reason);
    QCOMPARE(paneLines(field<QTextBrowser>(w, "tbLog")).last().text, reason);
}

void TestWorkingDay::catalogueNumberAsked_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("written"); // the entry number that went out; 0: none
    QTest::newRow("the editor's") << int(QMessageBox::Yes) << 3;
    QTest::newRow("the chosen «Номер элемента»") << int(QMessageBox::No) << 4;
    QTest::newRow("Отмена") << int(QMessageBox::Cancel) << 0;
}

// Department 3 read, then 4 chosen as «Номер элемента»: the write asks which one is meant and
// writes that one only; the editor then shows the number that was written.
void TestWorkingDay::catalogueNumberAsked()
{
    QFETCH(int, answer);
    QFETCH(int, written);
    WindowFixture t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    MainWidget &w = *t.window;
    SectionEntry hats;
    hats.setNumber(3);
    hats.setName(QStringLiteral("ШАПКИ"));
    QCOMPARE(t.fr()->writeCatalog(CatalogsWidget::Sections, hats.toBytes()), CoreApiConst::Success);
    openTab(w, "tabCatalogs");
    field<QComboBox>(w, "tabCatalogs/cbCatalogType")->setCurrentIndex(CatalogsWidget::Sections);
    auto *number = field<QSpinBox>(w, "tabCatalogs/sbNumber");
    number->setValue(3);
    press(w, "tabCatalogs/pbRead");
    number->setValue(4);
    t.emu.clearHistory();

    t.boxes.setAnswer(QMessageBox::StandardButton(answer));
    press(w, "tabCatalogs/pbWrite");
    const CaughtBox question = t.boxes.boxes().first();
    QCOMPARE(question.icon, QMessageBox::Question);
    QStringList buttons = question.buttons;
    buttons.sort();
    QCOMPARE(buttons, (QStringList{"Записать № 3", "Записать № 4", "Отмена"}));
    QCOMPARE(question.defaultButton, QStringLiteral("Отмена"));
    QCOMPARE(t.sent(frcmd::WriteCatalog), written ? 1 : 0);
    if (written) {
        const QByteArray entry = t.emu.lastRequest().request.data().mid(cashierBlock().size() + 1);
        QCOMPARE(int(entry.at(0)), written);
        QCOMPARE(field<QSpinBox>(w, "tabCatalogs/pageSection/sbNumber")->value(), written);
        QCOMPARE(t.boxes.last().text, QStringLiteral("Успешно!"));
    }
}

// The log pane keeps about a third of the height at every size; on a screen smaller than the
// window's minimum the window is made to fit and the pages scroll, on a larger one nothing
// changes; no label of the side panel is cut.
void TestWorkingDay::windowFitsItsScreen()
{
    QWidget plain;
    plain.setMinimumSize(1024, 600);
    plain.resize(1024, 600);
    fitToScreen(&plain, QRect(0, 0, 1920, 1080));
    QCOMPARE(plain.minimumSize(), QSize(1024, 600));
    QCOMPARE(plain.size(), QSize(1024, 600));
    fitToScreen(&plain, QRect(0, 0, 1024, 560));
    QVERIFY(plain.minimumHeight() < 560 && plain.height() < 560);
    QCOMPARE(plain.minimumWidth(), 1024);

    // The test platform's screen is smaller than the window's minimum.
    MainWidget w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QRect available = w.screen()->availableGeometry();
    QVERIFY(w.width() <= available.width() && w.height() < available.height());
    openTab(w, "tabReceipt");
    QTRY_VERIFY(field<QScrollArea>(w, "tabReceiptArea")->verticalScrollBar()->maximum() > 0);
    for (const char *label : {"wPort/label", "wPort/label_2"})
        QVERIFY2(field<QWidget>(w, label)->width() >= field<QWidget>(w, label)->sizeHint().width(), label);

    auto *splitter = field<QSplitter>(w, "splitter");
    for (const QSize size : {QSize(1024, 600), QSize(1366, 768), QSize(1920, 1080)}) {
        w.resize(size);
        QTRY_COMPARE(w.size(), size);
        const double log = splitter->sizes().at(1);
        const double share = log / (splitter->sizes().at(0) + log);
        QVERIFY2(share > 0.28 && share < 0.38, qPrintable(QStringLiteral("%1 at %2").arg(share).arg(size.width())));
    }
}

QTEST_MAIN(TestWorkingDay)
#include "tst_workingday.moc"
