#include "reportswidget.h"
#include "ui_reportswidget.h"

#include <QDataStream>
#include <QDateTime>
#include <QMessageBox>

#include <limits>

#include "frwrapper.h"
#include "tabsupport.h"

namespace {

// Report types whose number in the list is also the type byte the register expects.
constexpr int PeriodReport = 5;
constexpr int CycleRangeReport = 6;

const QString SuccessText = QStringLiteral("Успешно");
const QString DocCopyError = QStringLiteral("Ошибка печати копии документа");

void showResult(QWidget *parent, const FsWrapper *fr, int result, const QString &title, const QString &error)
{
    if (result == CoreApiConst::Success)
        QMessageBox::information(parent, title, SuccessText);
    else
        showFailure(parent, fr, title, error, result);
}

} // namespace

ReportsWidget::ReportsWidget(QWidget *parent) : QWidget(parent), ui(new Ui::ReportsWidget)
{
    ui->setupUi(this);
    // Dates travel as unsigned 32-bit second counts; a date outside that span has no byte form.
    const QDateTime first(QDate(1970, 1, 1), QTime(0, 0));
    const QDateTime last = QDateTime::fromSecsSinceEpoch(std::numeric_limits<quint32>::max(), Qt::UTC);
    const QDateTime lastWallClock(last.date(), last.time());
    for (QDateTimeEdit *edit : {ui->dteFrom, ui->dteTo})
        edit->setDateTimeRange(first, lastWallClock);
    const QDateTime now = QDateTime::currentDateTime();
    ui->dteFrom->setDateTime(now.addDays(-1));
    ui->dteTo->setDateTime(now);
    // Enter after the last field of a group prints what the group is for.
    pressOnEnter(ui->sbCycleTo, ui->pbPrintReport);
    pressOnEnter(ui->dteTo, ui->pbPrintReport);
    pressOnEnter(ui->sbDocNumber, ui->pbPrintDocCopy);
    pressOnEnter(ui->sbDocNumber_2, ui->pbContinueControlTape);
}

ReportsWidget::~ReportsWidget()
{
    delete ui;
}

QByteArray ReportsWidget::reportParams() const
{
    QByteArray params;
    QDataStream s(&params, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    switch (ui->cbReportType->currentIndex()) {
    case PeriodReport:
        // The register counts its own wall-clock time, so the edited time is sent as it reads.
        s << dateTimeToTime(ui->dteFrom->dateTime()) << dateTimeToTime(ui->dteTo->dateTime());
        break;
    case CycleRangeReport:
        s << qint16(ui->sbCycleFrom->value()) << qint16(ui->sbCycleTo->value());
        break;
    default:
        break;
    }
    return params;
}

void ReportsWidget::on_pbPrintReport_released()
{
    if (!mayStart(fr_))
        return;
    const QString title = QStringLiteral("Печать отчета");
    const QString error = QStringLiteral("Ошибка печати отчета");
    // The first item, "ТИП ОТЧЕТА", names the list rather than a report.
    if (ui->cbReportType->currentIndex() <= 0) {
        refuse(this, fr_, title, error, QStringLiteral("Не выбран тип отчета"));
        return;
    }
    showResult(this, fr_, fr_->printReport(ui->cbReportType->currentIndex(), reportParams()), title, error);
}

void ReportsWidget::on_pbPrintDocCopy_released()
{
    if (!mayStart(fr_))
        return;
    showResult(this, fr_, fr_->printDocCopy(ui->sbDocNumber->value()), QStringLiteral("Печать копии документа"),
               DocCopyError);
}

void ReportsWidget::printControlTape(int fromDoc)
{
    int next = 0;
    // The next document number is in the field before anything else can run ("Продолжить" must
    // not start from the old one): no event is processed between the reply and this.
    const int result = fr_->printControlTape(fromDoc, next);
    if (next != 0)
        ui->sbDocNumber_2->setValue(next);
    // A tape cut short (out of paper, say) still says where to go on from (set above).
    showResult(this, fr_, result, QStringLiteral("Печать контрольной ленты"),
               QStringLiteral("Ошибка печати контрольной ленты"));
}

void ReportsWidget::on_pbPrintControlTape_released()
{
    if (!mayStart(fr_))
        return;
    printControlTape(0);
}

void ReportsWidget::on_pbContinueControlTape_released()
{
    if (!mayStart(fr_))
        return;
    printControlTape(ui->sbDocNumber_2->value());
}

void ReportsWidget::on_pbPrintLastZReport_released()
{
    if (!mayStart(fr_))
        return;
    const QString title = QStringLiteral("Печать копии Z отчета");
    CycleStatus st;
    int statusResult = CoreApiConst::Success;
    int copyResult = CoreApiConst::Success;
    {
        // Status, then copy: one operation, so that a click between the two starts nothing.
        const FsOperation op(*fr_);
        if (!op)
            return;
        statusResult = fr_->getCycleStatus(st);
        // While a shift is open its closing report does not exist yet.
        if (statusResult == CoreApiConst::Success && !st.isOpen)
            copyResult = fr_->printDocCopy(st.lastDocNumber);
    }
    if (statusResult != CoreApiConst::Success)
        showFailure(this, fr_, title, QStringLiteral("Ошибка получения статуса ФР"), statusResult);
    else if (st.isOpen)
        QMessageBox::critical(this, title, QStringLiteral("Текущая смена открыта"));
    else
        showResult(this, fr_, copyResult, title, DocCopyError);
}
