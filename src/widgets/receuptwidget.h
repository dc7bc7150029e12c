#pragma once

#include <QWidget>

class FsWrapper;
namespace Ui {
class ReceuptWidget;
}

class ReceuptWidget : public QWidget
{
    Q_OBJECT
public:
    explicit ReceuptWidget(QWidget *parent = nullptr);
    ~ReceuptWidget() override;
    void setFsWrapper(FsWrapper *fr) { fr_ = fr; }
    FsWrapper *fsWrapper() const { return fr_; }

private:
    Ui::ReceuptWidget *ui;
    FsWrapper *fr_ = nullptr;
};
