#include "cyclewidget.h"
#include "ui_cyclewidget.h"

#include <QMessageBox>
#include <QStringList>

#include "frwrapper.h"
#include "tabsupport.h"

namespace {

// The numbers every shift document comes back with, as the user reads them off the box.
QStringList documentLines(qint32 fd, const QString &date, qint16 cycle, qint32 fp)
{
    return {QStringLiteral("ФД %1").arg(quint32(fd)), QStringLiteral("ДАТА %1").arg(date),
            QStringLiteral("СМЕНА %1").arg(quint16(cycle)), QStringLiteral("ФП %1").arg(quint32(fp))};
}

QString successText(const QStringList &lines)
{
    return QStringLiteral("Успешно!\n") + lines.join(QLatin1Char('\n'));
}

} // namespace

CycleWidget::CycleWidget(QWidget *parent) : QWidget(parent), ui(new Ui::CycleWidget)
{
    ui->setupUi(this);
    limitCp866(ui->leCashier, FsFieldWidths::Name);
}

CycleWidget::~CycleWidget()
{
    delete ui;
}

void CycleWidget::reportStart(int result, const QString &title, const QString &error)
{
    if (result == CoreApiConst::Success)
        QMessageBox::information(this, title, QStringLiteral("Успешно!"));
    else
        showFailure(this, fr_, title, error, result);
}

void CycleWidget::on_pbOpenCycle_released()
{
    if (!mayStart(fr_))
        return;
    reportStart(fr_->startCycleOpening(ui->leCashier->text()), QStringLiteral("Старт открытия смены"),
                QStringLiteral("Ошибка старта открытия смены"));
}

void CycleWidget::on_pbOpenCycleCommit_released()
{
    if (!mayStart(fr_))
        return;
    qint16 cycle = 0;
    qint32 fd = 0;
    qint32 fp = 0;
    QDateTime dt;
    if (const int result = fr_->completeCycleOpening(cycle, fd, fp, dt); result != CoreApiConst::Success) {
        showFailure(this, fr_, QStringLiteral("Завершени открытия смены"),
                    QStringLiteral("Ошибка завершения открытия смены"), result);
        return;
    }
    QMessageBox::information(this, QStringLiteral("Завершение открытия смены"),
                             successText(documentLines(fd, dt.toString(Qt::ISODate), cycle, fp)));
}

void CycleWidget::on_pbStartIntroduction_released()
{
    if (!mayStart(fr_))
        return;
    reportStart(fr_->startIntroduction(ui->leCashier->text()), QStringLiteral("Старт внесения"),
                QStringLiteral("Ошибка внесения"));
}

void CycleWidget::on_pbCompleteIntroduction_released()
{
    if (!mayStart(fr_))
        return;
    const FixNumber sum(100, ui->dteCash->value());
    qint16 cycle = 0;
    qint32 fd = 0;
    qint32 fp = 0;
    QDateTime dt;
    FixNumber cash(100);
    if (const int result = fr_->completeIntroduction(sum, cycle, fd, fp, dt, cash); result != CoreApiConst::Success) {
        showFailure(this, fr_, QStringLiteral("Завершени внесения"), QStringLiteral("Ошибка внесения"), result);
        return;
    }
    QStringList lines = documentLines(fd, dt.toString(Qt::TextDate), cycle, fp);
    lines << QStringLiteral("НАЛИЧНЫХ В КАССЕ %1").arg(cash.toString());
    QMessageBox::information(this, QStringLiteral("Завершение внесения"), successText(lines));
}

void CycleWidget::on_pbStartPayout_released()
{
    if (!mayStart(fr_))
        return;
    reportStart(fr_->startPayout(ui->leCashier->text()), QStringLiteral("Старт выплаты"),
                QStringLiteral("Ошибка выплаты"));
}

void CycleWidget::on_pbCompletePayout_released()
{
    if (!mayStart(fr_))
        return;
    const FixNumber sum(100, ui->dteCash->value());
    qint16 cycle = 0;
    qint32 fd = 0;
    qint32 fp = 0;
    QDateTime dt;
    FixNumber cash(100);
    if (const int result = fr_->completePayout(sum, cycle, fd, fp, dt, cash); result != CoreApiConst::Success) {
        showFailure(this, fr_, QStringLiteral("Завершени выплаты"), QStringLiteral("Ошибка выплаты"), result);
        return;
    }
    QStringList lines = documentLines(fd, dt.toString(Qt::ISODate), cycle, fp);
    lines << QStringLiteral("НАЛИЧНЫХ В КАССЕ %1").arg(cash.toString());
    QMessageBox::information(this, QStringLiteral("Завершение выплаты"), successText(lines));
}

void CycleWidget::on_pbCloseCycle_released()
{
    if (!mayStart(fr_))
        return;
    reportStart(fr_->startCycleClosing(ui->leCashier->text()), QStringLiteral("Старт закрытия смены"),
                QStringLiteral("Ошибка старта закрытия смены"));
}

void CycleWidget::on_pbCloseCycleCommit_released()
{
    if (!mayStart(fr_))
        return;
    qint16 cycle = 0;
    qint32 fd = 0;
    qint32 fp = 0;
    QDateTime dt;
    if (const int result = fr_->completeCycleClosing(cycle, fd, fp, dt); result != CoreApiConst::Success) {
        showFailure(this, fr_, QStringLiteral("Завершени закрытия смены"),
                    QStringLiteral("Ошибка завершения закрытия смены"), result);
        return;
    }
    QMessageBox::information(this, QStringLiteral("Завершение закрытия смены"),
                             successText(documentLines(fd, dt.toString(Qt::ISODate), cycle, fp)));
}
