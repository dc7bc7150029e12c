#pragma once

#include <QWidget>

#include "catalogentries.h"

namespace Ui {
class EditDiscountWidget;
}

// Editor page of one discount: number, kind, value and name.
class EditDiscountWidget : public QWidget
{
    Q_OBJECT
public:
    explicit EditDiscountWidget(QWidget *parent = nullptr);
    ~EditDiscountWidget() override;

    void setEntry(const DiscountEntry &entry);
    DiscountEntry entry();

private slots:
    // Fits the value's unit and range to the kind: roubles for an amount, a percent otherwise.
    void on_cbType_currentIndexChanged(int index);

private:
    Ui::EditDiscountWidget *ui;
    DiscountEntry entry_;
};
