#pragma once

#include "emudevice.h"
#include "fiscalmodel.h"
#include "loadermodel.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

// One serial endpoint of the emulator: the master side of a pseudo-terminal pair (raw mode, with a
// slave descriptor of our own kept open so the application may close and reopen its side between
// exchanges), or a real serial device at 115200 8N1.
class EmuPort
{
public:
    EmuPort() = default;
    ~EmuPort();
    EmuPort(const EmuPort &) = delete;
    EmuPort &operator=(const EmuPort &) = delete;

    bool openPty(QString *error);
    bool openDevice(const QString &path, QString *error);
    // A symbolic link to the device at a stable path; an existing link there is replaced, any other
    // file is left alone and reported.
    bool makeLink(const QString &link, QString *error);
    void close(); // removes the link

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    QString path() const { return path_; }
    QString link() const { return link_; }

    // Readable when someone closed the pseudo-terminal's slave (-1 for a serial device). A client
    // killed while it held the line exclusive (TIOCEXCL, as a serial port library sets it) never
    // clears that, and our own slave descriptor keeps the line from being freed as a real port is
    // at its last close: so once no other process holds the slave, the emulator clears it
    // (TIOCNXCL). Locks a client holds on its own descriptor (flock) are not touched.
    int watchFd() const { return watchFd_; }
    void handleWatch();

private:
    bool othersHoldSlave() const;

    int fd_ = -1;
    int slaveFd_ = -1;
    int watchFd_ = -1;
    QString path_;
    QString link_;
};

// Serves a responder on a port from a thread of its own: reads what arrives, hands it to the
// responder and writes back its chunks with their pauses.
class EmuPortServer
{
public:
    EmuPortServer(EmuResponder *responder, EmuPort *port);
    ~EmuPortServer();
    bool start(QString *error);
    void stop();
    bool isRunning() const { return thread_.joinable(); }

private:
    void loop();
    bool pause(int ms); // false when asked to stop meanwhile
    bool writeAll(const QByteArray &bytes);

    EmuResponder *responder_;
    EmuPort *port_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// The whole substitute register: the fiscal model, its wire, the loader and the two ports.
class EmuServer
{
public:
    struct Config
    {
        QString device;     // empty: a new pseudo-terminal
        QString link;       // symbolic link to the register's device; empty: none
        QString loaderLink; // symbolic link to the loader's pseudo-terminal; empty: none
        bool loader = true; // serve the loader on a second pseudo-terminal
    };

    EmuServer();
    ~EmuServer();

    FiscalModel &model() { return model_; }
    EmuDevice &device() { return device_; }
    LoaderModel &loader() { return loader_; }

    bool start(const Config &config, QString *error);
    void stop(); // ends the threads, closes the ports, removes the links
    bool isRunning() const;

    QString devicePath() const { return port_.path(); }
    QString loaderPath() const { return loaderPort_.path(); }

private:
    FiscalModel model_;
    EmuDevice device_;
    LoaderModel loader_;
    EmuPort port_;
    EmuPort loaderPort_;
    std::unique_ptr<EmuPortServer> server_;
    std::unique_ptr<EmuPortServer> loaderServer_;
};
