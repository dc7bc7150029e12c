#pragma once

#include <QWidget>

namespace Ui {
class FirmwareWidget;
}

class FirmwareWidget : public QWidget
{
    Q_OBJECT
public:
    explicit FirmwareWidget(QWidget *parent = nullptr);
    ~FirmwareWidget() override;

private:
    Ui::FirmwareWidget *ui;

};
