#include "edittaxwidget.h"
#include "ui_edittaxwidget.h"

#include "fixnumber.h"
#include "tabsupport.h"

EditTaxWidget::EditTaxWidget(QWidget *parent) : QWidget(parent), ui(new Ui::EditTaxWidget)
{
    ui->setupUi(this);
    // The form starts on "Не взимается", which has no rate.
    on_cbType_currentIndexChanged(ui->cbType->currentIndex());
    // A longer name would be stored empty.
    limitCp866(ui->leName, TaxEntry::NameSize);
}

EditTaxWidget::~EditTaxWidget()
{
    delete ui;
}

void EditTaxWidget::setIndex(int index)
{
    index_ = index;
    ui->groupBox->setTitle(QStringLiteral("Налог %1").arg(index + 1));
}

bool EditTaxWidget::isChecked() const
{
    return ui->groupBox->isChecked();
}

void EditTaxWidget::setChecked(bool checked)
{
    ui->groupBox->setChecked(checked);
}

TaxEntry EditTaxWidget::tax()
{
    TaxEntry entry;
    entry.clear();
    entry.setName(ui->leName->text());
    entry.setType(quint8(ui->cbType->currentIndex()));
    entry.setRate(rate_.take(shownRate()));
    tax_ = entry;
    return entry;
}

void EditTaxWidget::setTax(const TaxEntry &entry)
{
    tax_ = entry;
    ui->leName->setText(entry.nameText());
    // An unset entry (type 3) has no item in the list: the list then shows no current item.
    ui->cbType->setCurrentIndex(entry.type() < ui->cbType->count() ? entry.type() : -1);
    ui->dsbRate->setValue(entry.rateNumber().toDouble());
    if (entry.type() != 0 && entry.type() < ui->cbType->count()) {
        ui->dsbRate->setEnabled(true);
    } else {
        ui->dsbRate->setValue(0);
        ui->dsbRate->setEnabled(false);
    }
    // "Не взимается" has no rate: the form shows 0.00, and zero is what goes out, whatever was
    // read with it.
    if (!rate_.load(entry.type() == 0 ? shownRate() : entry.rate(), shownRate()))
        emit showLog(
            storedValueNote(QStringLiteral("%1: ставка").arg(ui->groupBox->title()), entry.rateNumber().toString()));
}

quint16 EditTaxWidget::shownRate() const
{
    return quint16(FixNumber(100, ui->dsbRate->value()).raw());
}

bool EditTaxWidget::isComplete(QString *why) const
{
    if (ui->cbType->currentIndex() >= 0)
        return true;
    if (why)
        *why = QStringLiteral("%1: не выбран тип налога").arg(ui->groupBox->title());
    return false;
}

Tlv EditTaxWidget::toTlv()
{
    return tax().toTlv(index_);
}

void EditTaxWidget::on_cbType_currentIndexChanged(int index)
{
    if (index > 0) {
        ui->dsbRate->setEnabled(true);
    } else {
        ui->dsbRate->setValue(0);
        ui->dsbRate->setEnabled(false);
    }
}
