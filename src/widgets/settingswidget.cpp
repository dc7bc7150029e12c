#include "settingswidget.h"
#include "ui_settingswidget.h"

#include <QDateTime>
#include <QMessageBox>

#include <limits>

#include "frwrapper.h"

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
        QMessageBox::critical(this, title, error, QMessageBox::Ok);
}

void SettingsWidget::on_pbFromHost_released()
{
    ui->dateTimeEdit->setDateTime(QDateTime::currentDateTime());
}

void SettingsWidget::on_pbFromCashbox_released()
{
    if (!fr_)
        return;
    QDateTime dt;
    if (fr_->readDt(dt) != CoreApiConst::Success) {
        QMessageBox::critical(this, tr("Чтение даты из ККТ"), tr("Ошибка чтения даты"), QMessageBox::Ok);
        return;
    }
    ui->dateTimeEdit->setDateTime(dt);
}

void SettingsWidget::on_pbToCashbox_released()
{
    if (!fr_)
        return;
    showWriteResult(fr_->writeDt(ui->dateTimeEdit->dateTime()), tr("Запись даты в ККТ"), tr("Ошибка записи даты"));
}

void SettingsWidget::on_pbReadSerial_released()
{
    if (!fr_)
        return;
    SerialInfo info;
    if (fr_->getSerial(info) != CoreApiConst::Success) {
        QMessageBox::critical(this, tr("Чтение ЗН ККТ"), tr("Ошибка чтения ЗН ККТ"), QMessageBox::Ok);
        return;
    }
    ui->leSerial->setText(info.factoryNumber);
}

void SettingsWidget::on_pbWriteSerial_released()
{
    if (!fr_)
        return;
    // The command layer refuses an empty or zero number without asking the register.
    showWriteResult(fr_->writeSerial(ui->leSerial->text()), tr("Запись ЗН ККТ"), tr("Ошибка записи ЗН ККТ"));
}

void SettingsWidget::on_pbReadPrinterSettings_released()
{
    if (!fr_)
        return;
    QByteArray data;
    if (fr_->readPrinterSettings(SettingsBlock, data) != CoreApiConst::Success || data.isEmpty()) {
        QMessageBox::critical(this, tr("Чтение настроек печати из ККТ"), tr("Ошибка чтения настроек печати"),
                              QMessageBox::Ok);
        return;
    }
    ui->cbPaperWidth->setCurrentIndex(quint8(data.at(0)) > NarrowPaperMm ? 1 : 0);
}

void SettingsWidget::on_pbWritePrinterSettings_released()
{
    if (!fr_)
        return;
    const QByteArray data(1, char(ui->cbPaperWidth->currentIndex() != 0 ? WidePaperMm : NarrowPaperMm));
    showWriteResult(fr_->writePrinterSettings(SettingsBlock, data), tr("Запись настроек печати в ККТ"),
                    tr("Ошибка записи настроек печати"));
}

void SettingsWidget::on_pbReadFrSettings_released()
{
    if (!fr_)
        return;
    QByteArray data;
    if (fr_->readFrSettings(SettingsBlock, data) != CoreApiConst::Success || data.isEmpty()) {
        QMessageBox::critical(this, tr("Чтение настроек ФР"), tr("Ошибка чтения настроек ФР"), QMessageBox::Ok);
        return;
    }
    // A rounding type this program does not know leaves the box without a selection.
    ui->cbRoundType->setCurrentIndex(quint8(data.at(0)));
}

void SettingsWidget::on_pbWriteFrSettings_released()
{
    if (!fr_)
        return;
    const QString title = tr("Запись настроек ФР");
    const QString error = tr("Ошибка записи настроек ФР");
    // With no rounding type chosen (after reading one this program does not know) there is
    // nothing sound to send: the index -1 would go out as the byte 0xFF.
    const int roundType = ui->cbRoundType->currentIndex();
    if (roundType < 0) {
        QMessageBox::critical(this, title, error, QMessageBox::Ok);
        return;
    }
    showWriteResult(fr_->writeFrSettings(SettingsBlock, QByteArray(1, char(roundType))), title, error);
}
