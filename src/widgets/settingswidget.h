#pragma once

#include <QWidget>

class FsWrapper;
namespace Ui {
class SettingsWidget;
}

// The register's clock, factory number, paper width and rounding type.
class SettingsWidget : public QWidget
{
    Q_OBJECT
public:
    explicit SettingsWidget(QWidget *parent = nullptr);
    ~SettingsWidget() override;
    void setFsWrapper(FsWrapper *fr) { fr_ = fr; }
    FsWrapper *fsWrapper() const { return fr_; }

private slots:
    void on_pbFromHost_released();
    void on_pbFromCashbox_released();
    void on_pbToCashbox_released();
    void on_pbReadSerial_released();
    void on_pbWriteSerial_released();
    void on_pbReadPrinterSettings_released();
    void on_pbWritePrinterSettings_released();
    void on_pbReadFrSettings_released();
    void on_pbWriteFrSettings_released();

private:
    void showWriteResult(int result, const QString &title, const QString &error);

    Ui::SettingsWidget *ui;
    FsWrapper *fr_ = nullptr;
    // A paper width other than 60 or 80 mm, as read; written back while the box is left alone.
    int paperWidthRead_ = -1;
    int paperIndexShown_ = -1;
};
