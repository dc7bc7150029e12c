#include "receuptwidget.h"
#include "ui_receuptwidget.h"

ReceuptWidget::ReceuptWidget(QWidget *parent) : QWidget(parent), ui(new Ui::ReceuptWidget)
{
    ui->setupUi(this);
}

ReceuptWidget::~ReceuptWidget()
{
    delete ui;
}
