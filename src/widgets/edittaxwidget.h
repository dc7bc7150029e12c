#pragma once

#include <QWidget>

#include "frrecords.h"
#include "tabsupport.h"
#include "tlv.h"

namespace Ui {
class EditTaxWidget;
}

// Editor of one tax of the registration; a checked box means the tax is sent with it.
class EditTaxWidget : public QWidget
{
    Q_OBJECT
public:
    explicit EditTaxWidget(QWidget *parent = nullptr);
    ~EditTaxWidget() override;

    int index() const { return index_; }
    void setIndex(int index);
    bool isChecked() const;
    void setChecked(bool checked);

    // Built from the fields; also becomes the stored entry.
    TaxEntry tax();
    void setTax(const TaxEntry &entry);
    // The entry from the fields as the structured record of this editor's index.
    Tlv toTlv();
    // False, with the reason, while the type is left blank (a tax read as unset).
    bool isComplete(QString *why) const;

signals:
    void showLog(const QString &text);

private slots:
    void on_cbType_currentIndexChanged(int index);

private:
    quint16 shownRate() const;

    Ui::EditTaxWidget *ui;
    TaxEntry tax_;
    // A rate the form cannot show (one above 99.99) goes back as read; "Не взимается" sends zero.
    ShownValue<quint16> rate_;
    int index_ = 0;
};
