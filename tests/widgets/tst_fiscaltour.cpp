#include <QtTest>

#include <QAbstractButton>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

#include "confirm.h"
#include <QSpinBox>
#include <QTabWidget>
#include <QTextBrowser>

#include "activatewidget.h"
#include "cyclewidget.h"
#include "edittaxwidget.h"
#include "emulatorfixture.h"
#include "frconst.h"
#include "frwrapper.h"
#include "messageboxcatcher.h"
#include "receuptwidget.h"
#include "statuswidget.h"

// A newcomer's first day with a fresh register, through the four fiscal tabs on one register:
// register it, open a shift, sell, look at the counters, close the shift.
namespace {

void press(QWidget &tab, const char *name)
{
    auto *button = tab.findChild<QAbstractButton *>(QLatin1String(name));
    QVERIFY2(button, name);
    button->click();
}

template <typename T> T *field(QWidget &w, const char *name)
{
    return w.findChild<T *>(QLatin1String(name));
}

QString lineValue(const QString &text, const QString &label)
{
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (line.startsWith(label + QLatin1Char(' ')))
            return line.mid(label.size() + 1);
    }
    return QString();
}

} // namespace

class TestFiscalTour : public QObject
{
    Q_OBJECT
private slots:
    // As on a bench of test registers: no question before an act (tst_workingday asks them).
    void initTestCase() { setConfirmationsOn(false); }
    void firstDay();
};

void TestFiscalTour::firstDay()
{
    EmulatorFixture::Options options;
    options.preset = QStringLiteral("fresh");
    EmulatorFixture emu(options);
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    FsWrapper fr;
    QVERIFY(fr.open(emu.devicePath()));
    fr.setCashier(DefaultCashierNumber);
    fr.setPassword(DefaultCashierPassword);
    // The factory number belongs to the settings tab; a fresh register needs it before registering.
    QCOMPARE(fr.writeSerial(QStringLiteral("1000123")), CoreApiConst::Success);

    QTabWidget window;
    auto *status = new StatusWidget;
    auto *activate = new ActivateWidget;
    auto *cycle = new CycleWidget;
    auto *receipt = new ReceuptWidget;
    window.addTab(status, QStringLiteral("Состояние"));
    window.addTab(activate, QStringLiteral("Регистрация"));
    window.addTab(cycle, QStringLiteral("Смена"));
    window.addTab(receipt, QStringLiteral("Чек"));
    status->setFsWrapper(&fr);
    activate->setFsWrapper(&fr);
    cycle->setFsWrapper(&fr);
    receipt->setFsWrapper(&fr);
    window.resize(960, 640);
    window.show();
    MessageBoxCatcher boxes;
    const QString cashier = QStringLiteral("Сидорова Мария Петровна");

    // Registration with two taxes, then read back.
    window.setCurrentWidget(activate);
    field<QLineEdit>(*activate, "leInn")->setText(QStringLiteral("7701234567"));
    field<QLineEdit>(*activate, "leRnm")->setText(QStringLiteral("0000000001012345"));
    field<QLineEdit>(*activate, "leName")->setText(QStringLiteral("ООО \"Ромашка\""));
    field<QLineEdit>(*activate, "leType")->setText(QStringLiteral("ОСН"));
    field<QLineEdit>(*activate, "leAddress")->setText(QStringLiteral("г. Москва, ул. Ленина, 1"));
    field<QLineEdit>(*activate, "leCashier")->setText(cashier);
    const QList<EditTaxWidget *> taxes{activate->findChild<EditTaxWidget *>(QStringLiteral("wTax1")),
                                       activate->findChild<EditTaxWidget *>(QStringLiteral("wTax2"))};
    const QList<double> rates{20, 10};
    for (int i = 0; i < taxes.size(); ++i) {
        taxes[i]->setChecked(true);
        field<QComboBox>(*taxes[i], "cbType")->setCurrentIndex(1);
        field<QDoubleSpinBox>(*taxes[i], "dsbRate")->setValue(rates[i]);
        field<QLineEdit>(*taxes[i], "leName")->setText(QStringLiteral("НДС %1%").arg(rates[i]));
    }
    for (const char *step : {"pbStart", "pbSendData", "pbCommit"}) {
        press(*activate, step);
        QCOMPARE(boxes.count(), 1);
        QVERIFY2(boxes.last().icon == QMessageBox::Information, qPrintable(boxes.last().text));
        boxes.clear();
    }
    press(*activate, "pbReadRegData");
    QCOMPARE(boxes.count(), 0);
    QVERIFY(taxes[0]->isChecked() && taxes[1]->isChecked());

    // Shift opening and a deposit.
    window.setCurrentWidget(cycle);
    field<QLineEdit>(*cycle, "leCashier")->setText(cashier);
    field<QDoubleSpinBox>(*cycle, "dteCash")->setValue(1000);
    for (const char *step : {"pbOpenCycle", "pbOpenCycleCommit", "pbStartIntroduction", "pbCompleteIntroduction"}) {
        press(*cycle, step);
        QCOMPARE(boxes.count(), 1);
        QVERIFY2(boxes.last().icon == QMessageBox::Information, qPrintable(boxes.last().text));
        boxes.clear();
    }

    // A sale of two positions in department 1, paid in cash with change.
    window.setCurrentWidget(receipt);
    field<QLineEdit>(*receipt, "leCashier")->setText(cashier);
    press(*receipt, "pbStartReceipt");
    const QList<QPair<QString, double>> goods{{QStringLiteral("Хлеб ржаной"), 45.50},
                                              {QStringLiteral("Молоко 3,2%"), 89.90}};
    for (const auto &good : goods) {
        field<QLineEdit>(*receipt, "leName")->setText(good.first);
        field<QLineEdit>(*receipt, "leUnit")->setText(QStringLiteral("шт."));
        field<QSpinBox>(*receipt, "sbSection")->setValue(1);
        field<QSpinBox>(*receipt, "sbTax")->setValue(1);
        field<QDoubleSpinBox>(*receipt, "dsbPrice")->setValue(good.second);
        field<QDoubleSpinBox>(*receipt, "dsbQuantity")->setValue(1);
        press(*receipt, "pbAddReceiptItem");
    }
    QCOMPARE(boxes.count(), 3);
    for (const CaughtBox &box : boxes.boxes())
        QVERIFY2(box.icon == QMessageBox::Information, qPrintable(box.text));
    boxes.clear();
    press(*receipt, "pbGetOpenDocData");
    QCOMPARE(boxes.count(), 0);
    QVERIFY(field<QLabel>(*receipt, "lAmount")->text().contains(QStringLiteral("НА СУММУ 135")));
    field<QDoubleSpinBox>(*receipt, "dsbCash")->setValue(200);
    press(*receipt, "pbCompleteReceipt");
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(lineValue(boxes.last().text, QStringLiteral("ИТОГ ПО ЧЕКУ")), FixNumber(100, qint64(13540)).toString());
    QCOMPARE(lineValue(boxes.last().text, QStringLiteral("СДАЧА")), FixNumber(100, qint64(6460)).toString());
    boxes.clear();

    // The counters show the sale, department 1 included.
    window.setCurrentWidget(status);
    press(*status, "pbCycleCounters");
    press(*status, "pbBySections");
    QCOMPARE(boxes.count(), 0);
    const QString pane = field<QTextBrowser>(*status, "textBrowser")->toPlainText();
    QVERIFY2(pane.contains(QStringLiteral("  ОТДЕЛ 1: %1").arg(FixNumber(100, qint64(13540)).toString())),
             qPrintable(pane));

    // Shift closing.
    window.setCurrentWidget(cycle);
    for (const char *step : {"pbCloseCycle", "pbCloseCycleCommit"}) {
        press(*cycle, step);
        QCOMPARE(boxes.count(), 1);
        QVERIFY2(boxes.last().icon == QMessageBox::Information, qPrintable(boxes.last().text));
        boxes.clear();
    }
    window.setCurrentWidget(status);
    press(*status, "pbCycle");
    QVERIFY(field<QTextBrowser>(*status, "textBrowser")->toPlainText().contains(QStringLiteral("ЗАКРЫТА ")));
}

QTEST_MAIN(TestFiscalTour)
#include "tst_fiscaltour.moc"
