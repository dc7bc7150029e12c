#pragma once

#include <QWidget>

class FsWrapper;
namespace Ui {
class ReportsWidget;
}

class ReportsWidget : public QWidget
{
    Q_OBJECT
public:
    explicit ReportsWidget(QWidget *parent = nullptr);
    ~ReportsWidget() override;
    void setFsWrapper(FsWrapper *fr) { fr_ = fr; }
    FsWrapper *fsWrapper() const { return fr_; }

private:
    Ui::ReportsWidget *ui;
    FsWrapper *fr_ = nullptr;
};
