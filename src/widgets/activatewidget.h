#pragma once

#include <QWidget>

class FsWrapper;
namespace Ui {
class ActivateWidget;
}

// Registers or re-registers the register with its organisation data and taxes, reads the
// registration back and closes the fiscal archive.
class ActivateWidget : public QWidget
{
    Q_OBJECT
public:
    explicit ActivateWidget(QWidget *parent = nullptr);
    ~ActivateWidget() override;
    void setFsWrapper(FsWrapper *fr) { fr_ = fr; }
    FsWrapper *fsWrapper() const { return fr_; }

private slots:
    void on_pbStart_released();
    void on_pbSendData_released();
    void on_pbCommit_released();
    void on_pbReadRegData_released();
    void on_pbStartArchiveClosing_released();
    void on_pbCloseArchive_released();
    void on_pbPreprint_released();

private:
    Ui::ActivateWidget *ui;
    FsWrapper *fr_ = nullptr;
};
