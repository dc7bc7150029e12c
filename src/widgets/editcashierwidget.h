#pragma once

#include <QWidget>

#include "catalogentries.h"
#include "tabsupport.h"

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
    // The entry as edited; rights without a check box keep the state they were read with, and
    // a value the form could not show keeps its stored value unless its field was changed.
    CashierEntry entry();

signals:
    void showLog(const QString &text);

private:
    Ui::EditCashierWidget *ui;
    CashierEntry entry_;
    ShownValue<qint64> number_;
    ShownValue<qint64> password_;
    ShownValue<QString> name_;
};
