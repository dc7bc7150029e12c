#pragma once

#include "emudevice.h"
#include "fiscalmodel.h"
#include "loadermodel.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include <sys/types.h>

// A line the emulator serves: where bytes are read and written, and what else is watched.
class EmuLine
{
public:
    virtual ~EmuLine() = default;
    // Read and written; -1 while nobody is on the line (a network line without a client).
    virtual int fd() const = 0;
    // Watched beside it; -1 when there is nothing to watch.
    virtual int watchFd() const = 0;
    // Something happened on watchFd(); true when the line has a new peer now.
    virtual bool handleWatch() = 0;
    // fd() read its end or failed. True when the line let its peer go (and waits for the next),
    // false when the line stays and is tried again after a pause.
    virtual bool hangUp() { return false; }
    virtual ssize_t send(const char *data, size_t size);
};

// One serial endpoint of the emulator: the master side of a pseudo-terminal pair (raw mode, with a
// slave descriptor of our own kept open so the application may close and reopen its side between
// exchanges), or a real serial device at 115200 8N1.
class EmuPort : public EmuLine
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
    int fd() const override { return fd_; }
    QString path() const { return path_; }
    QString link() const { return link_; }

    // Readable when someone closed the pseudo-terminal's slave (-1 for a serial device). A client
    // killed while it held the line exclusive (TIOCEXCL, as a serial port library sets it) never
    // clears that, and our own slave descriptor keeps the line from being freed as a real port is
    // at its last close: so once no other process holds the slave, the emulator clears it
    // (TIOCNXCL). Locks a client holds on its own descriptor (flock) are not touched.
    int watchFd() const override { return watchFd_; }
    bool handleWatch() override;

private:
    bool othersHoldSlave() const;

    int fd_ = -1;
    int slaveFd_ = -1;
    int watchFd_ = -1;
    QString path_;
    QString link_;
};

// The register on the network: a TCP listener that serves one client at a time, as a register's
// own network port does. A second client is accepted and closed at once (the line says so), so it
// learns at once that the register is taken rather than waiting for an answer that never comes.
class EmuListener : public EmuLine
{
public:
    EmuListener() = default;
    ~EmuListener() override;
    EmuListener(const EmuListener &) = delete;
    EmuListener &operator=(const EmuListener &) = delete;

    // HOST may be a name, an IPv4 address or an IPv6 one; port 0 takes any free port.
    bool listen(const QString &host, quint16 port, QString *error);
    void close();
    bool isListening() const { return listener_ >= 0; }
    // "tcp://HOST:PORT" with the port it listens on: what to type into the port box.
    QString name() const { return name_; }
    // Connections and refusals, one line each (from the serving thread).
    void setLog(std::function<void(const QString &)> log) { log_ = std::move(log); }

    int fd() const override { return client_; }
    int watchFd() const override { return listener_; }
    bool handleWatch() override;
    bool hangUp() override;
    ssize_t send(const char *data, size_t size) override;

private:
    void say(const QString &line) const;

    int listener_ = -1;
    int client_ = -1;
    QString name_;
    QString peer_;
    std::function<void(const QString &)> log_;
};

// Serves a responder on a line from a thread of its own: reads what arrives, hands it to the
// responder and writes back its chunks with their pauses. `lineId` keeps the input of lines served
// at once apart.
class EmuPortServer
{
public:
    EmuPortServer(EmuResponder *responder, EmuLine *port, int lineId = 0);
    ~EmuPortServer();
    bool start(QString *error);
    void stop();
    bool isRunning() const { return thread_.joinable(); }

private:
    void loop();
    bool pause(int ms); // false when asked to stop meanwhile
    bool writeAll(const QByteArray &bytes);

    EmuResponder *responder_;
    EmuLine *port_;
    int lineId_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// The whole substitute register: the fiscal model, its wire, the loader and its lines (the serial
// one, the network one, or both, and the loader's).
class EmuServer
{
public:
    struct Config
    {
        QString device;     // empty: a new pseudo-terminal
        QString link;       // symbolic link to the register's device; empty: none
        QString loaderLink; // symbolic link to the loader's pseudo-terminal; empty: none
        bool loader = true; // serve the loader on a second pseudo-terminal
        QString listen;     // HOST:PORT to serve the register on over TCP too; empty: not
        bool serial = true; // serve the register on a pseudo-terminal or `device`
    };
    // The line of network events (a client connected, gone, refused); before start().
    void setNetworkLog(std::function<void(const QString &)> log) { listener_.setLog(std::move(log)); }

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
    QString networkName() const { return listener_.name(); } // empty when not on the network

private:
    // The register's lines, whose input is kept apart.
    enum Line { SerialLine = 0, NetworkLine = 1 };

    FiscalModel model_;
    EmuDevice device_;
    LoaderModel loader_;
    EmuPort port_;
    EmuPort loaderPort_;
    EmuListener listener_;
    std::unique_ptr<EmuPortServer> server_;
    std::unique_ptr<EmuPortServer> networkServer_;
    std::unique_ptr<EmuPortServer> loaderServer_;
};
