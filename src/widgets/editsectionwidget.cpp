#include "editsectionwidget.h"
#include "ui_editsectionwidget.h"

EditSectionWidget::EditSectionWidget(QWidget *parent) : QWidget(parent), ui(new Ui::EditSectionWidget)
{
    ui->setupUi(this);
    limitCp866(ui->leName, ui->leName->maxLength());
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
    if (!name_.load(entry_.name(), ui->leName->text()))
        emit showLog(storedValueNote(QStringLiteral("Наименование"), entry_.name()));
    if (!number_.load(entry_.number(), ui->sbNumber->value()))
        emit showLog(storedValueNote(QStringLiteral("Номер"), QString::number(entry_.number())));
}

SectionEntry EditSectionWidget::entry()
{
    // Renaming rewrites the whole name area; an unchanged name leaves the block as it was read.
    const QString name = name_.take(ui->leName->text());
    if (name != entry_.name())
        entry_.setName(name);
    entry_.setNumber(quint8(number_.take(ui->sbNumber->value())));
    return entry_;
}
