#pragma once

#include <QWidget>

class FsWrapper;
namespace Ui {
class PrintWidget;
}

// Drives the register's printer directly: one styled line, the cutter and raw printer commands.
class PrintWidget : public QWidget
{
    Q_OBJECT
public:
    // Style flags of a printed line.
    enum StyleFlag : quint8 {
        Bold = 0x01,
        Invert = 0x04,
        DoubleSize = 0x08,
        CutAfter = 0x10,
    };
    // Longest raw command, in hexadecimal characters.
    static constexpr int MaxCommandChars = 768;

    explicit PrintWidget(QWidget *parent = nullptr);
    ~PrintWidget() override;
    void setFsWrapper(FsWrapper *fr) { fr_ = fr; }
    FsWrapper *fsWrapper() const { return fr_; }

private slots:
    void on_pbTab_released();
    void on_pbPrintLine_released();
    void on_pbPrinterCUt_released();
    void on_pbSendPrinterCmd_released();

private:
    Ui::PrintWidget *ui;
    FsWrapper *fr_ = nullptr;
};
