#include "catalogswidget.h"
#include "ui_catalogswidget.h"

CatalogsWidget::CatalogsWidget(QWidget *parent) : QWidget(parent), ui(new Ui::CatalogsWidget)
{
    ui->setupUi(this);
}

CatalogsWidget::~CatalogsWidget()
{
    delete ui;
}
