#include "editsectionwidget.h"
#include "ui_editsectionwidget.h"

EditSectionWidget::EditSectionWidget(QWidget *parent) : QWidget(parent), ui(new Ui::EditSectionWidget)
{
    ui->setupUi(this);
}

EditSectionWidget::~EditSectionWidget()
{
    delete ui;
}

void EditSectionWidget::setEntry(const SectionEntry &entry)
{
    entry_ = entry;
    ui->leName->setText(entry_.name());
    ui->sbNumber->setValue(entry_.number());
}

SectionEntry EditSectionWidget::entry()
{
    entry_.setName(ui->leName->text());
    entry_.setNumber(quint8(ui->sbNumber->value()));
    return entry_;
}
