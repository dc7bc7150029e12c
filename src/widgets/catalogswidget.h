#pragma once

#include <QWidget>

class FsWrapper;
namespace Ui {
class CatalogsWidget;
}

class CatalogsWidget : public QWidget
{
    Q_OBJECT
public:
    explicit CatalogsWidget(QWidget *parent = nullptr);
    ~CatalogsWidget() override;
    void setFsWrapper(FsWrapper *fr) { fr_ = fr; }
    FsWrapper *fsWrapper() const { return fr_; }

private:
    Ui::CatalogsWidget *ui;
    FsWrapper *fr_ = nullptr;
};
