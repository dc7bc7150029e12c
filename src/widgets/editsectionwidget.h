#pragma once

#include <QWidget>

#include "catalogentries.h"
#include "tabsupport.h"

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
    // The entry as edited; a value the form could not show keeps its stored value unless its
    // field was changed.
    SectionEntry entry();

signals:
    void showLog(const QString &text);

private:
    Ui::EditSectionWidget *ui;
    SectionEntry entry_;
    ShownValue<qint64> number_;
    ShownValue<QString> name_;
};
