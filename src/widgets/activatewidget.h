#pragma once

#include <QWidget>

class FsWrapper;
namespace Ui {
class ActivateWidget;
}

class ActivateWidget : public QWidget
{
    Q_OBJECT
public:
    explicit ActivateWidget(QWidget *parent = nullptr);
    ~ActivateWidget() override;
    void setFsWrapper(FsWrapper *fr) { fr_ = fr; }
    FsWrapper *fsWrapper() const { return fr_; }

private:
    Ui::ActivateWidget *ui;
    FsWrapper *fr_ = nullptr;
};
