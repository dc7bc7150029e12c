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
    limitCp866(ui->leName, ui->leName->maxLength());
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
    if (!name_.load(entry_.name(), ui->leName->text()))
        emit showLog(storedValueNote(QStringLiteral("Наименование"), entry_.name()));
    if (!number_.load(entry_.number(), ui->sbNumber->value()))
        emit showLog(storedValueNote(QStringLiteral("Номер скидки"), QString::number(entry_.number())));
    if (ui->cbType->currentIndex() < 0)
        emit showLog(unknownChoiceNote(QStringLiteral("Тип скидки"), QString::number(entry_.kind())));
    if (!value_.load(entry_.value(), shownValue()))
        emit showLog(storedValueNote(QStringLiteral("Значение"), FixNumber(Hundredths, entry_.value()).toString()));
}

qint64 EditDiscountWidget::shownValue() const
{
    return FixNumber(Hundredths, ui->dsbValue->value()).raw();
}

DiscountEntry EditDiscountWidget::entry()
{
    entry_.setName(name_.take(ui->leName->text()));
    entry_.setNumber(qint8(number_.take(ui->sbNumber->value())));
    // A kind the box has no item for stays as read; the tab refuses such a write (isComplete).
    if (ui->cbType->currentIndex() >= 0)
        entry_.setKind(qint8(ui->cbType->currentIndex()));
    entry_.setValue(value_.take(shownValue()));
    return entry_;
}

bool EditDiscountWidget::isComplete(QString *why) const
{
    if (ui->cbType->currentIndex() >= 0)
        return true;
    if (why)
        *why = QStringLiteral("Не выбран тип скидки");
    return false;
}
