#pragma once

#include <QWidget>

#include "catalogentries.h"
#include "tabsupport.h"

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
    // The entry as edited; a value the form could not show keeps its stored value unless its
    // field was changed.
    DiscountEntry entry();
    // False, with the reason, while a choice the register needs is left blank.
    bool isComplete(QString *why) const;

signals:
    void showLog(const QString &text);

private slots:
    // Fits the value's unit and range to the kind: roubles for an amount, a percent otherwise.
    void on_cbType_currentIndexChanged(int index);

private:
    qint64 shownValue() const;

    Ui::EditDiscountWidget *ui;
    DiscountEntry entry_;
    ShownValue<qint64> number_;
    ShownValue<qint64> value_;
    ShownValue<QString> name_;
};
