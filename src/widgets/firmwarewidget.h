#pragma once

#include <QByteArray>
#include <QHash>
#include <QWidget>

class QSerialPort;

namespace Ui {
class FirmwareWidget;
}

// The firmware tab. It talks to the register's loader, not to the register itself, so it keeps no
// connection and shares nothing with the command layer: every button opens its own serial port,
// runs its command or the whole upload to the end and closes the port again. Everything it does
// is written line by line into the tab's text browser.
class FirmwareWidget : public QWidget
{
    Q_OBJECT
public:
    enum LoaderCommand : quint8 {
        CheckConnection = 0xFF,
        Reboot = 0xF0,
        VerifyFirmware = 0x04,
        AnnounceSize = 0x00,
        SendBlock = 0x01,
        CheckImage = 0x02,
        InstallImage = 0x03,
    };
    static constexpr qint32 BaudRate = 921600;
    static constexpr int BlockSize = 1024;
    // The loader needs a breather after each reply before it takes the next request.
    static constexpr int PauseAfterCommandMs = 20;

    explicit FirmwareWidget(QWidget *parent = nullptr);
    ~FirmwareWidget() override;

    // How long the loader may take to answer each command. Tests shorten them; 0 restores the
    // default of the command.
    static quint32 defaultTimeout(quint8 code);
    quint32 commandTimeout(quint8 code) const;
    void setCommandTimeout(quint8 code, quint32 ms);

private slots:
    void on_tbPortsReload_released();
    void on_tbOpenFile_released();
    void on_pbCheckConnection_released();
    void on_pbReboot_released();
    void on_pbVerifyFirmware_released();
    void on_pbSendFirmware_released();

private:
    QSerialPort *openPort();
    bool sendCommand(quint8 code, const QByteArray &data, quint32 timeout, QSerialPort *port);
    // Reads one reply; true when it is complete and well formed (its status is not judged here).
    bool readReply(QSerialPort *port, quint32 timeout, QByteArray *reply);
    void runSingle(quint8 code);
    void closePort(QSerialPort *port);
    void log(const QString &line);

    Ui::FirmwareWidget *ui;
    QHash<quint8, quint32> timeouts_;
};
