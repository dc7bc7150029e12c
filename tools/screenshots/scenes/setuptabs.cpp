#include "scene.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QTest>

#include <cstdio>
#include <cstdlib>

// The printer and set-up tabs, each after the reads a service engineer starts with: cashier 20 in
// the catalogue editor, the clock and the settings blocks read from the register, a shift report
// printed, a styled line printed and a raw command typed.
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

// The tabs share names (pbRead, label ...), so every field is looked up in its own page.
void press(SceneDriver &s, QWidget *page, const char *name)
{
    QTest::mouseClick(in<QAbstractButton>(page, name), Qt::LeftButton);
    s.settle(100);
}

} // namespace

VIRTA_SCENE(setup_tabs, 30)
{
    s.selectTab(QStringLiteral("tabCatalogs"));
    QWidget *catalogs = s.widget(QStringLiteral("tabCatalogs"));
    in<QComboBox>(catalogs, "cbCatalogType")->setCurrentIndex(1);
    in<QSpinBox>(catalogs, "sbNumber")->setValue(20);
    press(s, catalogs, "pbRead");
    s.shot(QStringLiteral("catalogs-tab"));

    s.selectTab(QStringLiteral("tabSettings"));
    QWidget *settings = s.widget(QStringLiteral("tabSettings"));
    for (const char *read : {"pbFromCashbox", "pbReadSerial", "pbReadPrinterSettings", "pbReadFrSettings"})
        press(s, settings, read);
    s.shot(QStringLiteral("settings-tab"));

    s.selectTab(QStringLiteral("tabReports"));
    QWidget *reports = s.widget(QStringLiteral("tabReports"));
    in<QComboBox>(reports, "cbReportType")->setCurrentIndex(6);
    in<QSpinBox>(reports, "sbCycleFrom")->setValue(1);
    in<QSpinBox>(reports, "sbCycleTo")->setValue(1);
    press(s, reports, "pbPrintReport");
    s.shot(QStringLiteral("reports-tab"));

    s.selectTab(QStringLiteral("tabPrint"));
    QWidget *print = s.widget(QStringLiteral("tabPrint"));
    in<QComboBox>(print, "cbJustify")->setCurrentIndex(1);
    in<QCheckBox>(print, "cbBold")->setChecked(true);
    in<QLineEdit>(print, "leText")->setText(QStringLiteral("СПАСИБО ЗА ПОКУПКУ!"));
    press(s, print, "pbPrintLine");
    in<QLineEdit>(print, "leCmd")->setText(QStringLiteral("1b 40"));
    s.shot(QStringLiteral("print-tab"));
}
