#pragma once

#include <QWidget>

#include "frrecords.h"
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

private slots:
    void on_cbType_currentIndexChanged(int index);

private:
    Ui::EditTaxWidget *ui;
    TaxEntry tax_;
    int index_ = 0;
};
