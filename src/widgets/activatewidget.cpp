#include "activatewidget.h"
#include "ui_activatewidget.h"

ActivateWidget::ActivateWidget(QWidget *parent) : QWidget(parent), ui(new Ui::ActivateWidget)
{
    ui->setupUi(this);
}

ActivateWidget::~ActivateWidget()
{
    delete ui;
}
