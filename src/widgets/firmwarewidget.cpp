#include "firmwarewidget.h"
#include "ui_firmwarewidget.h"

FirmwareWidget::FirmwareWidget(QWidget *parent) : QWidget(parent), ui(new Ui::FirmwareWidget)
{
    ui->setupUi(this);
}

FirmwareWidget::~FirmwareWidget()
{
    delete ui;
}
