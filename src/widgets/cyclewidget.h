#pragma once

#include <QWidget>

class FsWrapper;
namespace Ui {
class CycleWidget;
}

class CycleWidget : public QWidget
{
    Q_OBJECT
public:
    explicit CycleWidget(QWidget *parent = nullptr);
    ~CycleWidget() override;
    void setFsWrapper(FsWrapper *fr) { fr_ = fr; }
    FsWrapper *fsWrapper() const { return fr_; }

private:
    Ui::CycleWidget *ui;
    FsWrapper *fr_ = nullptr;
};
