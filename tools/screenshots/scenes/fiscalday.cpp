#include "scene.h"

#include "edittaxwidget.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QTest>

#include <cstdio>
#include <cstdlib>

// A working day through the fiscal tabs: the register re-registered with two taxes and read
// back, a shift opened with a deposit, a sale of two positions paid in cash, the counters and
// department totals read, the shift closed. One scene, so that no other scene runs while a
// shift of this one is open; the register is left as it was found (shift closed).
namespace {

template <typename T> T *in(QWidget *page, const char *name)
{
    auto *w = page->findChild<T *>(QLatin1String(name));
    if (!w) {
        std::fprintf(stderr, "virta-screenshots: %s has no widget named \"%s\"\n", qPrintable(page->objectName()),
                     name);
        std::exit(3);
    }
    return w;
}

// Several tabs have fields of the same name, so every field is looked up in its own page.
void press(SceneDriver &s, QWidget *page, const char *name)
{
    QTest::mouseClick(in<QAbstractButton>(page, name), Qt::LeftButton);
    s.settle(100);
}

void typeText(QWidget *page, const char *name, const QString &text)
{
    auto *edit = in<QLineEdit>(page, name);
    // As typed; key clicks of the test library know only Latin keys.
    edit->clear();
    edit->insert(text);
}

void setTax(QWidget *page, const char *editor, double rate, const QString &name)
{
    auto *tax = in<EditTaxWidget>(page, editor);
    tax->setChecked(true);
    in<QComboBox>(tax, "cbType")->setCurrentIndex(1);
    in<QDoubleSpinBox>(tax, "dsbRate")->setValue(rate);
    typeText(tax, "leName", name);
}

} // namespace

VIRTA_SCENE(fiscal_day, 20)
{
    const QString cashier = QStringLiteral("Сидорова Мария Петровна");

    s.selectTab(QStringLiteral("tabActivate"));
    QWidget *activate = s.widget(QStringLiteral("tabActivate"));
    typeText(activate, "leInn", QStringLiteral("7701234567"));
    typeText(activate, "leRnm", QStringLiteral("0000000001012345"));
    typeText(activate, "leName", QStringLiteral("ООО \"Ромашка\""));
    typeText(activate, "leType", QStringLiteral("ОСН"));
    typeText(activate, "leAddress", QStringLiteral("г. Москва, ул. Ленина, 1"));
    typeText(activate, "leCashier", cashier);
    setTax(activate, "wTax1", 20, QStringLiteral("НДС 20%"));
    setTax(activate, "wTax2", 10, QStringLiteral("НДС 10%"));
    // The factory number read first, as an engineer does: the question before the completion
    // then names the register it goes to.
    in<QAbstractButton>(s.widget(QStringLiteral("tabSettings")), "pbReadSerial")->click();
    press(s, activate, "pbStart");
    press(s, activate, "pbSendData");
    // The question before the act that cannot be undone.
    s.shotNextBox(QStringLiteral("box-confirm"));
    press(s, activate, "pbCommit");
    press(s, activate, "pbReadRegData");
    s.shot(QStringLiteral("registration-tab"));

    s.selectTab(QStringLiteral("tabCycle"));
    QWidget *cycle = s.widget(QStringLiteral("tabCycle"));
    typeText(cycle, "leCashier", cashier);
    in<QDoubleSpinBox>(cycle, "dteCash")->setValue(1000);
    for (const char *step : {"pbOpenCycle", "pbOpenCycleCommit", "pbStartIntroduction", "pbCompleteIntroduction"})
        press(s, cycle, step);

    s.selectTab(QStringLiteral("tabReceipt"));
    QWidget *receipt = s.widget(QStringLiteral("tabReceipt"));
    typeText(receipt, "leCashier", cashier);
    press(s, receipt, "pbStartReceipt");
    const QList<QPair<QString, double>> goods{{QStringLiteral("Хлеб ржаной"), 45.50},
                                              {QStringLiteral("Молоко 3,2%"), 89.90}};
    for (const auto &good : goods) {
        typeText(receipt, "leName", good.first);
        typeText(receipt, "leUnit", QStringLiteral("шт."));
        in<QSpinBox>(receipt, "sbSection")->setValue(1);
        in<QSpinBox>(receipt, "sbTax")->setValue(1);
        in<QDoubleSpinBox>(receipt, "dsbPrice")->setValue(good.second);
        in<QDoubleSpinBox>(receipt, "dsbQuantity")->setValue(1);
        press(s, receipt, "pbAddReceiptItem");
    }
    press(s, receipt, "pbGetOpenDocData");
    in<QDoubleSpinBox>(receipt, "dsbCash")->setValue(200);
    press(s, receipt, "pbCompleteReceipt");
    s.shot(QStringLiteral("receipt-tab"));

    s.selectTab(QStringLiteral("tabStatus"));
    QWidget *status = s.widget(QStringLiteral("tabStatus"));
    press(s, status, "pbCycleCounters");
    press(s, status, "pbBySections");

    s.selectTab(QStringLiteral("tabCycle"));
    for (const char *step : {"pbCloseCycle", "pbCloseCycleCommit"})
        press(s, cycle, step);
    s.shot(QStringLiteral("shift-tab"));

    s.selectTab(QStringLiteral("tabStatus"));
    press(s, status, "pbCycle");
    s.shot(QStringLiteral("status-tab"));
}
