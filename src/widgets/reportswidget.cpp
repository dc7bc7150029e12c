#include "reportswidget.h"
#include "ui_reportswidget.h"

ReportsWidget::ReportsWidget(QWidget *parent) : QWidget(parent), ui(new Ui::ReportsWidget)
{
    ui->setupUi(this);
}

ReportsWidget::~ReportsWidget()
{
    delete ui;
}
