#pragma once

#include <QWidget>

#include "catalogentries.h"

namespace Ui {
class EditSectionWidget;
}

// Editor page of one department: number and name.
class EditSectionWidget : public QWidget
{
    Q_OBJECT
public:
    explicit EditSectionWidget(QWidget *parent = nullptr);
    ~EditSectionWidget() override;

    void setEntry(const SectionEntry &entry);
    SectionEntry entry();

private:
    Ui::EditSectionWidget *ui;
    SectionEntry entry_;
};
