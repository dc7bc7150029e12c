#include "statuswidget.h"
#include "ui_statuswidget.h"

#include <QMessageBox>
#include <QStringList>

#include "frwrapper.h"
#include "tabsupport.h"

namespace {
const char *const CountersTitle = "Чтение счетчиков ККТ";
const char *const CountersError = "Ошибка чтения счетчиков ККТ";
} // namespace

StatusWidget::StatusWidget(QWidget *parent) : QWidget(parent), ui(new Ui::StatusWidget)
{
    ui->setupUi(this);
}

StatusWidget::~StatusWidget()
{
    delete ui;
}

// Each answer goes where the user's cursor is, so earlier answers stay in the pane.
void StatusWidget::insert(const QString &html)
{
    ui->textBrowser->insertHtml(html);
}

void StatusWidget::fail(int result, const QString &title, const QString &text)
{
    showFailure(this, fr_, title, text, result);
}

void StatusWidget::on_pbGetSerial_released()
{
    if (!mayStart(fr_))
        return;
    SerialInfo info;
    if (const int result = fr_->getSerial(info); result != CoreApiConst::Success)
        return fail(result, QStringLiteral("Чтение ЗН ККТ"), QStringLiteral("Ошибка чтения ЗН ККТ"));
    insert(toHtml(info));
}

void StatusWidget::on_pbFirmware_released()
{
    if (!mayStart(fr_))
        return;
    QString version;
    if (const int result = fr_->getFirmwareVersion(version); result != CoreApiConst::Success)
        return fail(result, QStringLiteral("Чтение версии ПО ККТ"), QStringLiteral("Ошибка чтения версии ПО ККТ"));
    insert(QStringLiteral("<p><pre>Версия ПО: %1</pre><p>").arg(version));
}

void StatusWidget::on_pbStatus_released()
{
    if (!mayStart(fr_))
        return;
    FrStatus st;
    if (const int result = fr_->getFrStatus(st); result != CoreApiConst::Success)
        return fail(result, QStringLiteral("Чтение состояния ККТ"), QStringLiteral("Ошибка чтения состояния ККТ"));
    insert(toHtml(st));
}

void StatusWidget::on_pbCycle_released()
{
    if (!mayStart(fr_))
        return;
    CycleStatus st;
    if (const int result = fr_->getCycleStatus(st); result != CoreApiConst::Success)
        return fail(result, QStringLiteral("Чтение состояния смены ККТ"),
                    QStringLiteral("Ошибка чтения состояния сменыККТ"));
    insert(toHtml(st));
}

void StatusWidget::on_pbCycleCounters_released()
{
    if (!mayStart(fr_))
        return;
    Counters c;
    if (const int result = fr_->getCycleCounters(c); result != CoreApiConst::Success)
        return fail(result, QString::fromUtf8(CountersTitle), QString::fromUtf8(CountersError));
    insert(cycleCountersHtml(c));
}

void StatusWidget::on_pbFiscCounters_released()
{
    if (!mayStart(fr_))
        return;
    Counters c;
    if (const int result = fr_->getFiscCounters(c); result != CoreApiConst::Success)
        return fail(result, QString::fromUtf8(CountersTitle), QString::fromUtf8(CountersError));
    insert(fiscCountersHtml(c));
}

void StatusWidget::on_pbTotalCounters_released()
{
    if (!mayStart(fr_))
        return;
    TotalCounters c;
    if (const int result = fr_->getTotalCounters(c); result != CoreApiConst::Success)
        return fail(result, QString::fromUtf8(CountersTitle), QString::fromUtf8(CountersError));
    insert(toHtml(c));
}

void StatusWidget::on_pbRegData_released()
{
    if (!mayStart(fr_))
        return;
    RegData data;
    int result = CoreApiConst::Success;
    {
        // Twelve requests: a click between two of them must not start another command.
        const FsOperation op(*fr_);
        if (!op)
            return;
        result = fr_->readRegData(data);
    }
    if (result != CoreApiConst::Success)
        return showRegDataFailure(this, fr_, result);
    insert(toHtml(data));
}

void StatusWidget::on_pbBySections_released()
{
    if (!mayStart(fr_))
        return;
    SectionCounters c;
    if (const int result = fr_->getSectionCounters(c); result != CoreApiConst::Success)
        return fail(result, QString::fromUtf8(CountersTitle), QString::fromUtf8(CountersError));

    insert(sectionCountersHtml(c));
}
