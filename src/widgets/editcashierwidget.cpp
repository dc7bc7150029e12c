#include "editcashierwidget.h"
#include "ui_editcashierwidget.h"

#include <QCheckBox>
#include <utility>
#include <vector>

namespace {

std::vector<std::pair<quint16, QCheckBox *>> rightBoxes(Ui::EditCashierWidget *ui)
{
    return {{CashierEntry::Receipts, ui->cbReceipts},
            {CashierEntry::Reports, ui->cbReports},
            {CashierEntry::Settings, ui->cbSettings},
            {CashierEntry::Fiscalization, ui->cbFiscalization},
            {CashierEntry::ReturnReceipts, ui->cbReturnReceipts},
            {CashierEntry::WriteSerial, ui->cbWriteSerial},
            {CashierEntry::Catalogs, ui->cbCatalogs},
            {CashierEntry::Cashiers, ui->cbCashiers}};
}

} // namespace

EditCashierWidget::EditCashierWidget(QWidget *parent) : QWidget(parent), ui(new Ui::EditCashierWidget)
{
    ui->setupUi(this);
    limitCp866(ui->leName, CashierEntry::MaxNameBytes);
}

EditCashierWidget::~EditCashierWidget()
{
    delete ui;
}

void EditCashierWidget::setEntry(const CashierEntry &entry)
{
    entry_ = entry;
    ui->leName->setText(entry_.name());
    ui->sbNumber->setValue(entry_.number());
    ui->sbPassword->setValue(entry_.password());
    if (!name_.load(entry_.name(), ui->leName->text()))
        emit showLog(storedValueNote(QStringLiteral("ФИО"), entry_.name()));
    if (!number_.load(entry_.number(), ui->sbNumber->value()))
        emit showLog(storedValueNote(QStringLiteral("Номер"), QString::number(entry_.number())));
    if (!password_.load(entry_.password(), ui->sbPassword->value()))
        emit showLog(storedValueNote(QStringLiteral("Пароль"), QString::number(entry_.password())));
    for (const auto &right : rightBoxes(ui))
        right.second->setChecked(entry_.hasRight(right.first));
}

CashierEntry EditCashierWidget::entry()
{
    entry_.setName(name_.take(ui->leName->text()));
    entry_.setNumber(qint8(number_.take(ui->sbNumber->value())));
    entry_.setPassword(qint32(password_.take(ui->sbPassword->value())));
    for (const auto &right : rightBoxes(ui))
        entry_.setRight(right.first, right.second->isChecked());
    return entry_;
}
