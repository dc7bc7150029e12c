#pragma once

#include <QWidget>

class FsWrapper;
namespace Ui {
class ReceuptWidget;
}

// Builds a receipt on the register step by step; the register itself holds the open receipt.
class ReceuptWidget : public QWidget
{
    Q_OBJECT
public:
    explicit ReceuptWidget(QWidget *parent = nullptr);
    ~ReceuptWidget() override;
    void setFsWrapper(FsWrapper *fr) { fr_ = fr; }
    FsWrapper *fsWrapper() const { return fr_; }

private slots:
    void on_pbStartReceipt_released();
    void on_pbCompleteReceipt_released();
    void on_pbAddReceiptItem_released();
    void on_pbGetOpenDocData_released();
    void on_pbAddTextParam_released();
    void on_pbTestReceipt_released();

private:
    void setFixedPitchFont();
    void reportAdd(int result);

    Ui::ReceuptWidget *ui;
    FsWrapper *fr_ = nullptr;
};
