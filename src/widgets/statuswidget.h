#pragma once

#include <QWidget>

class FsWrapper;
namespace Ui {
class StatusWidget;
}

class StatusWidget : public QWidget
{
    Q_OBJECT
public:
    explicit StatusWidget(QWidget *parent = nullptr);
    ~StatusWidget() override;
    void setFsWrapper(FsWrapper *fr) { fr_ = fr; }
    FsWrapper *fsWrapper() const { return fr_; }

private:
    Ui::StatusWidget *ui;
    FsWrapper *fr_ = nullptr;
};
