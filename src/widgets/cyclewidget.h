#pragma once

#include <QWidget>

class FsWrapper;
namespace Ui {
class CycleWidget;
}

// Opens and closes shifts and records cash deposits and payouts, each as a start and a completion.
class CycleWidget : public QWidget
{
    Q_OBJECT
public:
    explicit CycleWidget(QWidget *parent = nullptr);
    ~CycleWidget() override;
    void setFsWrapper(FsWrapper *fr) { fr_ = fr; }
    FsWrapper *fsWrapper() const { return fr_; }

private slots:
    void on_pbOpenCycleCommit_released();
    void on_pbOpenCycle_released();
    void on_pbStartIntroduction_released();
    void on_pbCompleteIntroduction_released();
    void on_pbStartPayout_released();
    void on_pbCompletePayout_released();
    void on_pbCloseCycle_released();
    void on_pbCloseCycleCommit_released();

private:
    void reportStart(int result, const QString &title, const QString &error);

    Ui::CycleWidget *ui;
    FsWrapper *fr_ = nullptr;
};
