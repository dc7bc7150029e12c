#include "activatewidget.h"
#include "ui_activatewidget.h"

#include <QCoreApplication>
#include <QList>
#include <QMessageBox>
#include <QStringList>
#include <QThread>

#include "confirm.h"
#include "edittaxwidget.h"
#include "frwrapper.h"
#include "tabsupport.h"

namespace {

namespace RegTags {
constexpr quint16 Organisation = 11048;
constexpr quint16 OrganisationType = 11187;
constexpr quint16 Address = 11009;
} // namespace RegTags

// The register needs a moment between registration records.
constexpr unsigned long PauseBetweenRecordsMs = 100;

QString documentText(qint32 fd, const QDateTime &dt, qint32 fp)
{
    const QStringList lines{QStringLiteral("ФД %1").arg(quint32(fd)),
                            QStringLiteral("ДАТА %1").arg(dt.toString(Qt::ISODate)),
                            QStringLiteral("ФП %1").arg(quint32(fp))};
    return QStringLiteral("Успешно!\n") + lines.join(QLatin1Char('\n'));
}

} // namespace

ActivateWidget::ActivateWidget(QWidget *parent) : QWidget(parent), ui(new Ui::ActivateWidget)
{
    ui->setupUi(this);
    const QList<EditTaxWidget *> editors{ui->wTax1, ui->wTax2, ui->wTax3, ui->wTax4, ui->wTax5};
    for (int i = 0; i < editors.size(); ++i) {
        editors[i]->setIndex(i);
        connect(editors[i], &EditTaxWidget::showLog, this, [this](const QString &text) { writeToLog(fr_, text); });
    }

    // The command layer cuts these to fit the request; the fields refuse what would not arrive whole.
    limitDigits(ui->leInn, FsFieldWidths::Inn);
    limitDigits(ui->leRnm, FsFieldWidths::RegNumber);
    limitCp866(ui->leCashier, FsFieldWidths::Name);
    // Stored in fields of this width; a longer text would read back empty.
    limitCp866(ui->leName, int(sizeof RegData::organisation));
    limitCp866(ui->leType, int(sizeof RegData::organisationType));
    limitCp866(ui->leAddress, int(sizeof RegData::address));
}

ActivateWidget::~ActivateWidget()
{
    delete ui;
}

void ActivateWidget::on_pbStart_released()
{
    if (!mayStart(fr_))
        return;
    const QString title = QStringLiteral("Старт регистрации/перерегистрации ККТ");
    const int result = fr_->startRegistration(ui->leCashier->text());
    if (result == CoreApiConst::Success)
        QMessageBox::information(this, title, QStringLiteral("Успешно!"));
    else
        showFailure(this, fr_, title, QStringLiteral("Ошибка старта регистрации/перерегистрации ККТ"), result);
}

void ActivateWidget::on_pbSendData_released()
{
    if (!mayStart(fr_))
        return;
    const QString title = QStringLiteral("Отправка данных документа регистрации/перерегистрации ККТ");
    const QString error = QStringLiteral("Ошибка отправки данных документа регистрации/перерегистрации ККТ");
    QList<Tlv> records{Tlv(RegTags::Organisation, ui->leName->text()),
                       Tlv(RegTags::OrganisationType, ui->leType->text()),
                       Tlv(RegTags::Address, ui->leAddress->text())};
    for (EditTaxWidget *editor : {ui->wTax1, ui->wTax2, ui->wTax3, ui->wTax4, ui->wTax5}) {
        if (!editor->isChecked())
            continue;
        QString why;
        if (!editor->isComplete(&why)) {
            refuse(this, fr_, title, error, why);
            return;
        }
        records << editor->toTlv();
    }

    // Events are processed between the records, so a press of "Завершить регистрацию" (or any
    // other step) would otherwise run in the middle of the sequence and complete a registration
    // that lacks the remaining records: one operation from the first record to the last.
    int result = CoreApiConst::Success;
    {
        FsOperation op(*fr_);
        if (!op)
            return;
        for (const Tlv &record : qAsConst(records)) {
            result = fr_->sendDocData(record.rawData());
            if (result != CoreApiConst::Success)
                break;
            QThread::msleep(PauseBetweenRecordsMs);
            op.processEvents();
        }
    }
    if (result == CoreApiConst::Success)
        QMessageBox::information(this, title, QStringLiteral("Успешно!"));
    else
        showFailure(this, fr_, title, error, result);
}

void ActivateWidget::on_pbPreprint_released()
{
    if (!mayStart(fr_))
        return;
    const QString title = QStringLiteral("Предварительная печать регистрации/перерегистрации ККТ");
    const int result = fr_->preprintRegistration(ui->leInn->text(), ui->leRnm->text());
    if (result == CoreApiConst::Success)
        QMessageBox::information(this, title, QStringLiteral("Успешно!\n"));
    else
        showFailure(this, fr_, title, QStringLiteral("Ошибка предварительной печати регистрации/перерегистрации ККТ"),
                    result);
}

void ActivateWidget::on_pbCommit_released()
{
    if (!mayStart(fr_))
        return;
    const QString outcome = QStringLiteral("ККТ сформирует и напечатает отчет о регистрации (перерегистрации) "
                                           "с ИНН %1 и РН ККТ %2. Число перерегистраций ограничено.")
                                .arg(ui->leInn->text(), ui->leRnm->text());
    if (!confirmAct(this, ui->pbCommit->text(), registerTarget(fr_), outcome))
        return;
    qint32 fd = 0;
    qint32 fp = 0;
    QDateTime dt;
    const int result = fr_->completeRegistration(ui->leInn->text(), ui->leRnm->text(), fd, fp, dt);
    if (result != CoreApiConst::Success) {
        showFailure(this, fr_, QStringLiteral("Завершени регистрации/перерегистрации ККТ"),
                    QStringLiteral("Ошибка завершения регистрации/перерегистрации ККТ"), result);
        return;
    }
    QMessageBox::information(this, QStringLiteral("Завершение регистрации/перерегистрации ККТ"),
                             documentText(fd, dt, fp));
}

void ActivateWidget::on_pbReadRegData_released()
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
    if (result != CoreApiConst::Success) {
        showRegDataFailure(this, fr_, result);
        return;
    }
    ui->leAddress->setText(data.addressText());
    ui->leInn->setText(data.innText());
    ui->leName->setText(data.organisationText());
    ui->leRnm->setText(data.fiscalNumberText());
    ui->leType->setText(data.organisationTypeText());
    const QList<EditTaxWidget *> editors{ui->wTax1, ui->wTax2, ui->wTax3, ui->wTax4, ui->wTax5};
    for (int i = 0; i < RegData::TaxCount; ++i) {
        editors[i]->setTax(data.taxes[i]);
        editors[i]->setChecked(data.taxes[i].isValid());
    }
}

void ActivateWidget::on_pbStartArchiveClosing_released()
{
    if (!mayStart(fr_))
        return;
    const QString title = QStringLiteral("Старт закрытия архива ККТ");
    const int result = fr_->startArchiveClosing(ui->leCashier->text());
    if (result == CoreApiConst::Success)
        QMessageBox::information(this, title, QStringLiteral("Успешно!"));
    else
        showFailure(this, fr_, title, QStringLiteral("Ошибка старта закрытия архива ККТ"), result);
}

void ActivateWidget::on_pbCloseArchive_released()
{
    if (!mayStart(fr_))
        return;
    const QString outcome = QStringLiteral("Фискальный архив будет закрыт навсегда: после этого ККТ не сформирует "
                                           "ни одного фискального документа.");
    if (!confirmAct(this, ui->pbCloseArchive->text(), registerTarget(fr_), outcome))
        return;
    qint32 fd = 0;
    qint32 fp = 0;
    QDateTime dt;
    const int result = fr_->completeArchiveClosing(fd, fp, dt);
    if (result != CoreApiConst::Success) {
        showFailure(this, fr_, QStringLiteral("Завершени закрытия архива ККТ"),
                    QStringLiteral("Ошибка завершения закрытия архива ККТ"), result);
        return;
    }
    QMessageBox::information(this, QStringLiteral("Завершение закрытия архива ККТ"), documentText(fd, dt, fp));
}
