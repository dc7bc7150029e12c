#pragma once

#include <QByteArray>
#include <QWidget>

class FsWrapper;
namespace Ui {
class ReportsWidget;
}

// Has the register print its reports, copies of fiscal documents and the control tape.
class ReportsWidget : public QWidget
{
    Q_OBJECT
public:
    explicit ReportsWidget(QWidget *parent = nullptr);
    ~ReportsWidget() override;
    void setFsWrapper(FsWrapper *fr) { fr_ = fr; }
    FsWrapper *fsWrapper() const { return fr_; }

private slots:
    void on_pbPrintReport_released();
    void on_pbPrintDocCopy_released();
    void on_pbPrintControlTape_released();
    void on_pbContinueControlTape_released();
    void on_pbPrintLastZReport_released();

private:
    // Parameter bytes of the report chosen in the list (empty for reports without parameters).
    QByteArray reportParams() const;
    void printControlTape(int fromDoc);

    Ui::ReportsWidget *ui;
    FsWrapper *fr_ = nullptr;
};
