#pragma once

#include <QWidget>

class FsWrapper;
namespace Ui {
class StatusWidget;
}

// Reads the register's identity, state and counters; changes nothing in the register.
class StatusWidget : public QWidget
{
    Q_OBJECT
public:
    explicit StatusWidget(QWidget *parent = nullptr);
    ~StatusWidget() override;
    void setFsWrapper(FsWrapper *fr) { fr_ = fr; }
    FsWrapper *fsWrapper() const { return fr_; }

private slots:
    void on_pbGetSerial_released();
    void on_pbFirmware_released();
    void on_pbStatus_released();
    void on_pbCycle_released();
    void on_pbCycleCounters_released();
    void on_pbFiscCounters_released();
    void on_pbTotalCounters_released();
    void on_pbRegData_released();
    void on_pbBySections_released();

private:
    void insert(const QString &html);
    void fail(int result, const QString &title, const QString &text);

    Ui::StatusWidget *ui;
    FsWrapper *fr_ = nullptr;
};
