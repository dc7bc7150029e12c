#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <functional>

#include "firmwareloader.h"

namespace Ui {
class FirmwareWidget;
}

// The firmware tab: the buttons and the log of the register's loader. The protocol itself is the
// FirmwareLoader's, shared with the command-line program; this tab shows its lines and progress.
class FirmwareWidget : public QWidget
{
    Q_OBJECT
public:
    using LoaderCommand = FirmwareLoader::LoaderCommand;
    static constexpr LoaderCommand CheckConnection = FirmwareLoader::CheckConnection;
    static constexpr LoaderCommand Reboot = FirmwareLoader::Reboot;
    static constexpr LoaderCommand VerifyFirmware = FirmwareLoader::VerifyFirmware;
    static constexpr LoaderCommand AnnounceSize = FirmwareLoader::AnnounceSize;
    static constexpr LoaderCommand SendBlock = FirmwareLoader::SendBlock;
    static constexpr LoaderCommand CheckImage = FirmwareLoader::CheckImage;
    static constexpr LoaderCommand InstallImage = FirmwareLoader::InstallImage;
    static constexpr qint32 BaudRate = FirmwareLoader::BaudRate;
    static constexpr int BlockSize = FirmwareLoader::BlockSize;
    static constexpr int PauseAfterCommandMs = FirmwareLoader::PauseAfterCommandMs;

    explicit FirmwareWidget(QWidget *parent = nullptr);
    ~FirmwareWidget() override;

    // How long the loader may take to answer each command. Tests shorten them; 0 restores the
    // default of the command.
    static quint32 defaultTimeout(quint8 code) { return FirmwareLoader::defaultTimeout(code); }
    quint32 commandTimeout(quint8 code) const { return loader_->commandTimeout(code); }
    void setCommandTimeout(quint8 code, quint32 ms) { loader_->setCommandTimeout(code, ms); }

private slots:
    void on_tbPortsReload_released();
    void on_tbOpenFile_released();
    void on_pbCheckConnection_released();
    void on_pbReboot_released();
    void on_pbVerifyFirmware_released();
    void on_pbSendFirmware_released();

private:
    QString portName() const;
    void log(const QString &line);
    // Runs one loader operation with the tab locked: meanwhile only the log can be used, and a
    // second operation cannot start on the same port.
    void runLocked(const std::function<void()> &operation);
    // Asks before an act on the device behind the loader's port; true when there is nothing to
    // ask (no port: nothing will be sent) or the operator goes on.
    bool confirmOnPort(const QString &act, const QString &outcome);
    void waitStarted(quint8 code, quint32 timeoutMs);
    void waitTick();

    Ui::FirmwareWidget *ui;
    FirmwareLoader *loader_;
    bool busy_ = false;
    // How long the loader has been thinking about the command in flight, shown once it takes a while.
    QTimer waitTimer_;
    QElapsedTimer waitClock_;
    quint8 waitCode_ = 0;
    quint32 waitLimitMs_ = 0;
};
