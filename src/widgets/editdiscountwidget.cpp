#include "editdiscountwidget.h"
#include "ui_editdiscountwidget.h"

#include "fixnumber.h"

namespace {

constexpr quint32 Hundredths = 100;
constexpr double MaxAmount = 9999999999.99;
constexpr double MaxPercent = 99.99;

} // namespace

EditDiscountWidget::EditDiscountWidget(QWidget *parent) : QWidget(parent), ui(new Ui::EditDiscountWidget)
{
    ui->setupUi(this);
    // The combo box starts on "Суммовая" without a change signal, so the amount unit is set here.
    on_cbType_currentIndexChanged(0);
}

EditDiscountWidget::~EditDiscountWidget()
{
    delete ui;
}

void EditDiscountWidget::on_cbType_currentIndexChanged(int index)
{
    if (index == DiscountEntry::Amount) {
        ui->dsbValue->setSuffix(QStringLiteral(" руб."));
        ui->dsbValue->setMaximum(MaxAmount);
    } else {
        ui->dsbValue->setSuffix(QStringLiteral(" %"));
        ui->dsbValue->setMaximum(MaxPercent);
    }
}

void EditDiscountWidget::setEntry(const DiscountEntry &entry)
{
    entry_ = entry;
    ui->leName->setText(entry_.name());
    ui->sbNumber->setValue(entry_.number());
    // The range must fit the kind before the value arrives, or an amount would be cut to 99.99.
    ui->cbType->setCurrentIndex(entry_.kind());
    ui->dsbValue->setValue(FixNumber(Hundredths, entry_.value()).toDouble());
    on_cbType_currentIndexChanged(ui->cbType->currentIndex());
}

DiscountEntry EditDiscountWidget::entry()
{
    entry_.setName(ui->leName->text());
    entry_.setNumber(qint8(ui->sbNumber->value()));
    // A kind the box has no item for (read from the register) shows no selection; writing the entry
    // back must keep that kind, not store the empty selection's -1.
    if (ui->cbType->currentIndex() >= 0)
        entry_.setKind(qint8(ui->cbType->currentIndex()));
    entry_.setValue(FixNumber(Hundredths, ui->dsbValue->value()).raw());
    return entry_;
}
