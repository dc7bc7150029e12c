#pragma once

#include <QWidget>

#include "catalogentries.h"

namespace Ui {
class EditCashierWidget;
}

// Editor page of one cashier: number, password, full name and rights.
class EditCashierWidget : public QWidget
{
    Q_OBJECT
public:
    explicit EditCashierWidget(QWidget *parent = nullptr);
    ~EditCashierWidget() override;

    void setEntry(const CashierEntry &entry);
    // The entry as edited; rights without a check box keep the state they were read with.
    CashierEntry entry();

private:
    Ui::EditCashierWidget *ui;
    CashierEntry entry_;
};
