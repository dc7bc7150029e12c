#pragma once

#include <QWidget>

class FsWrapper;
namespace Ui {
class PrintWidget;
}

class PrintWidget : public QWidget
{
    Q_OBJECT
public:
    explicit PrintWidget(QWidget *parent = nullptr);
    ~PrintWidget() override;
    void setFsWrapper(FsWrapper *fr) { fr_ = fr; }
    FsWrapper *fsWrapper() const { return fr_; }

private:
    Ui::PrintWidget *ui;
    FsWrapper *fr_ = nullptr;
};
