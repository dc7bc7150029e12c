#include "settingswidget.h"
#include "ui_settingswidget.h"

#include <QDateTime>
#include <QMessageBox>

#include <limits>

#include "confirm.h"
#include "frwrapper.h"
#include "tabsupport.h"

namespace {

// Both settings live in block 1 of their kind, one byte each.
constexpr int SettingsBlock = 1;
constexpr quint8 NarrowPaperMm = 60;
constexpr quint8 WidePaperMm = 80;

} // namespace

SettingsWidget::SettingsWidget(QWidget *parent) : QWidget(parent), ui(new Ui::SettingsWidget)
{
    ui->setupUi(this);
    // The register's clock is an unsigned 32-bit second count; a date outside it cannot be sent.
    const QDateTime last = QDateTime::fromSecsSinceEpoch(std::numeric_limits<quint32>::max(), Qt::UTC);
    ui->dateTimeEdit->setDateTimeRange(QDateTime(QDate(1970, 1, 1), QTime(0, 0)), QDateTime(last.date(), last.time()));
    // A write before any read sends the host's time, not the form's placeholder date.
    ui->dateTimeEdit->setDateTime(QDateTime::currentDateTime());
}

SettingsWidget::~SettingsWidget()
{
    delete ui;
}

void SettingsWidget::showWriteResult(int result, const QString &title, const QString &error)
{
    if (result == CoreApiConst::Success)
        QMessageBox::information(this, title, tr("Успешно!"), QMessageBox::Ok);
    else
        showFailure(this, fr_, title, error, result);
}

void SettingsWidget::on_pbFromHost_released()
{
    ui->dateTimeEdit->setDateTime(QDateTime::currentDateTime());
}

void SettingsWidget::on_pbFromCashbox_released()
{
    if (!mayStart(fr_))
        return;
    QDateTime dt;
    const int result = fr_->readDt(dt);
    if (result != CoreApiConst::Success) {
        showFailure(this, fr_, tr("Чтение даты из ККТ"), tr("Ошибка чтения даты"), result);
        return;
    }
    ui->dateTimeEdit->setDateTime(dt);
}

void SettingsWidget::on_pbToCashbox_released()
{
    if (!mayStart(fr_))
        return;
    showWriteResult(fr_->writeDt(ui->dateTimeEdit->dateTime()), tr("Запись даты в ККТ"), tr("Ошибка записи даты"));
}

void SettingsWidget::on_pbReadSerial_released()
{
    if (!mayStart(fr_))
        return;
    SerialInfo info;
    const int result = fr_->getSerial(info);
    if (result != CoreApiConst::Success) {
        showFailure(this, fr_, tr("Чтение ЗН ККТ"), tr("Ошибка чтения ЗН ККТ"), result);
        return;
    }
    ui->leSerial->setText(info.factoryNumber);
}

void SettingsWidget::on_pbWriteSerial_released()
{
    if (!mayStart(fr_))
        return;
    // The command layer refuses an empty or zero number without asking the register; there is
    // nothing to ask the operator about either.
    const QString serial = ui->leSerial->text().trimmed();
    if (serial.toULongLong() != 0) {
        const QString outcome = QStringLiteral("В ККТ будет записан заводской номер %1. Он записывается один раз: "
                                               "другой можно записать только после технологического обнуления.")
                                    .arg(serial);
        if (!confirmAct(this, QStringLiteral("Записать ЗН"), registerTarget(fr_), outcome))
            return;
    }
    showWriteResult(fr_->writeSerial(ui->leSerial->text()), tr("Запись ЗН ККТ"), tr("Ошибка записи ЗН ККТ"));
}

void SettingsWidget::on_pbReadPrinterSettings_released()
{
    if (!mayStart(fr_))
        return;
    QByteArray data;
    const int result = fr_->readPrinterSettings(SettingsBlock, data);
    if (result != CoreApiConst::Success || data.isEmpty()) {
        showFailure(this, fr_, tr("Чтение настроек печати из ККТ"), tr("Ошибка чтения настроек печати"),
                    result != CoreApiConst::Success ? result : int(CoreApiConst::ParseError));
        return;
    }
    const int width = quint8(data.at(0));
    ui->cbPaperWidth->setCurrentIndex(width > NarrowPaperMm ? 1 : 0);
    paperIndexShown_ = ui->cbPaperWidth->currentIndex();
    paperWidthRead_ = -1;
    if (width != NarrowPaperMm && width != WidePaperMm) {
        paperWidthRead_ = width;
        writeToLog(fr_, storedValueNote(tr("Ширина ленты"), tr("%1 мм").arg(width)));
    }
}

void SettingsWidget::on_pbWritePrinterSettings_released()
{
    if (!mayStart(fr_))
        return;
    const int index = ui->cbPaperWidth->currentIndex();
    const bool keepRead = paperWidthRead_ >= 0 && index == paperIndexShown_;
    const QByteArray data(1, char(keepRead ? paperWidthRead_ : index != 0 ? WidePaperMm : NarrowPaperMm));
    const int result = fr_->writePrinterSettings(SettingsBlock, data);
    if (result == CoreApiConst::Success && !keepRead)
        paperWidthRead_ = -1; // the register now holds what the box shows
    showWriteResult(result, tr("Запись настроек печати в ККТ"), tr("Ошибка записи настроек печати"));
}

void SettingsWidget::on_pbReadFrSettings_released()
{
    if (!mayStart(fr_))
        return;
    QByteArray data;
    const int result = fr_->readFrSettings(SettingsBlock, data);
    if (result != CoreApiConst::Success || data.isEmpty()) {
        showFailure(this, fr_, tr("Чтение настроек ФР"), tr("Ошибка чтения настроек ФР"),
                    result != CoreApiConst::Success ? result : int(CoreApiConst::ParseError));
        return;
    }
    // A rounding type this program does not know leaves the box without a selection.
    ui->cbRoundType->setCurrentIndex(quint8(data.at(0)));
    if (ui->cbRoundType->currentIndex() < 0)
        writeToLog(fr_, unknownChoiceNote(tr("Тип округления"), QString::number(quint8(data.at(0)))));
}

void SettingsWidget::on_pbWriteFrSettings_released()
{
    if (!mayStart(fr_))
        return;
    const QString title = tr("Запись настроек ФР");
    const QString error = tr("Ошибка записи настроек ФР");
    // With no rounding type chosen (after reading one this program does not know) there is
    // nothing sound to send: the index -1 would go out as the byte 0xFF.
    const int roundType = ui->cbRoundType->currentIndex();
    if (roundType < 0) {
        const QString why = tr("Не выбран тип округления");
        refuse(this, fr_, title, error, why);
        return;
    }
    showWriteResult(fr_->writeFrSettings(SettingsBlock, QByteArray(1, char(roundType))), title, error);
}
