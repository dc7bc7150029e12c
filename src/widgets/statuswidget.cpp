#include "statuswidget.h"
#include "ui_statuswidget.h"

#include <QMessageBox>
#include <QStringList>

#include "frwrapper.h"

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

void StatusWidget::fail(const QString &title, const QString &text)
{
    QMessageBox::critical(this, title, text);
}

void StatusWidget::on_pbGetSerial_released()
{
    if (!fr_)
        return;
    SerialInfo info;
    if (fr_->getSerial(info) != CoreApiConst::Success)
        return fail(QStringLiteral("Чтение ЗН ККТ"), QStringLiteral("Ошибка чтения ЗН ККТ"));
    insert(toHtml(info));
}

void StatusWidget::on_pbFirmware_released()
{
    if (!fr_)
        return;
    QString version;
    if (fr_->getFirmwareVersion(version) != CoreApiConst::Success)
        return fail(QStringLiteral("Чтение версии ПО ККТ"), QStringLiteral("Ошибка чтения версии ПО ККТ"));
    insert(QStringLiteral("<p><pre>Версия ПО: %1</pre><p>").arg(version));
}

void StatusWidget::on_pbStatus_released()
{
    if (!fr_)
        return;
    FrStatus st;
    if (fr_->getFrStatus(st) != CoreApiConst::Success)
        return fail(QStringLiteral("Чтение состояния ККТ"), QStringLiteral("Ошибка чтения состояния ККТ"));
    insert(toHtml(st));
}

void StatusWidget::on_pbCycle_released()
{
    if (!fr_)
        return;
    CycleStatus st;
    if (fr_->getCycleStatus(st) != CoreApiConst::Success)
        return fail(QStringLiteral("Чтение состояния смены ККТ"), QStringLiteral("Ошибка чтения состояния сменыККТ"));
    insert(toHtml(st));
}

void StatusWidget::on_pbCycleCounters_released()
{
    if (!fr_)
        return;
    Counters c;
    if (fr_->getCycleCounters(c) != CoreApiConst::Success)
        return fail(QString::fromUtf8(CountersTitle), QString::fromUtf8(CountersError));
    insert(cycleCountersHtml(c));
}

void StatusWidget::on_pbFiscCounters_released()
{
    if (!fr_)
        return;
    Counters c;
    if (fr_->getFiscCounters(c) != CoreApiConst::Success)
        return fail(QString::fromUtf8(CountersTitle), QString::fromUtf8(CountersError));
    insert(fiscCountersHtml(c));
}

void StatusWidget::on_pbTotalCounters_released()
{
    if (!fr_)
        return;
    TotalCounters c;
    if (fr_->getTotalCounters(c) != CoreApiConst::Success)
        return fail(QString::fromUtf8(CountersTitle), QString::fromUtf8(CountersError));
    insert(toHtml(c));
}

void StatusWidget::on_pbRegData_released()
{
    if (!fr_)
        return;
    RegData data;
    if (fr_->readRegData(data) != CoreApiConst::Success)
        return fail(QStringLiteral("Запрос параметров регистрации/перерегистрации ККТ"),
                    QStringLiteral("ККТ не активирована"));
    insert(toHtml(data));
}

void StatusWidget::on_pbBySections_released()
{
    if (!fr_)
        return;
    SectionCounters c;
    if (fr_->getSectionCounters(c) != CoreApiConst::Success)
        return fail(QString::fromUtf8(CountersTitle), QString::fromUtf8(CountersError));

    insert(sectionCountersHtml(c));
}
