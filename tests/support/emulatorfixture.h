#pragma once

#include "emudevice.h"
#include "emuserver.h"
#include "fiscalmodel.h"
#include "loadermodel.h"

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

// One substitute register per test, in-process: the model, its wire and the firmware loader run on
// threads of their own behind real pseudo-terminals, so a test talks to them through QSerialPort
// exactly as the application does, and can still look inside (execution counts, requests
// received, state, paper tape) and ask for faults.
//
//     EmulatorFixture emu;            // fresh state, preset "ready"
//     QVERIFY(emu.start());
//     emu.addFault(EmuFault::DropReply, 1);
//     ... exchange with emu.devicePath() ...
//     QCOMPARE(emu.executionCount(unique), 1);
class EmulatorFixture
{
public:
    struct Options
    {
        QString preset = QStringLiteral("ready"); // "fresh" or "ready"
        int installSeconds = 0;                   // loader's install time
        QString imagesDir;                        // loader writes received images here; empty: nowhere
        bool loader = true;                       // also serve the loader
        QString listen;                           // also serve the register over TCP, e.g. "127.0.0.1:0"
    };

    EmulatorFixture();
    explicit EmulatorFixture(const Options &options);
    ~EmulatorFixture(); // stops the emulator
    EmulatorFixture(const EmulatorFixture &) = delete;
    EmulatorFixture &operator=(const EmulatorFixture &) = delete;

    // Applies the preset and opens the pseudo-terminals; on failure the reason is in lastError().
    bool start();
    void stop();
    bool isRunning() const;
    QString lastError() const { return error_; }

    QString devicePath() const; // e.g. /dev/pts/7: hand it to QSerialPort or FsApi
    QString loaderPath() const;
    QString networkName() const; // "tcp://127.0.0.1:PORT" with Options::listen, else empty

    // Faults from now on. `nth` counts from when the fault is added (see EmuFault).
    void addFault(const EmuFault &fault);
    void addFault(EmuFault::Kind kind, int nth = 0, int value = -1);
    bool addFault(const QString &text); // command-line form, e.g. "drop-reply:1"
    void clearFaults();

    int executionCount() const;
    int executionCount(quint32 unique) const;
    int executionsOf(quint8 command) const;
    int repeatRequests() const;
    QVector<EmuRequestRecord> requests() const; // every request frame received, in order
    EmuRequestRecord lastRequest() const;       // default-constructed when none arrived
    QByteArray lastReply() const;
    void clearHistory();

    QStringList takePrinted(); // lines printed since the last call

    // The register's state, under the device's lock (safe while the front end runs).
    template <typename F> auto withModel(F &&f) -> decltype(f(std::declval<FiscalModel &>()))
    {
        return server_->device().withModel(std::forward<F>(f));
    }
    // Unlocked; use it only between exchanges.
    FiscalModel &model();
    EmuDevice &device();
    LoaderModel &loader();
    EmuServer &server();

private:
    Options options_;
    std::unique_ptr<EmuServer> server_;
    QString error_;
};

// The built virta-emulator program as a child process, for tests of the program itself.
class EmulatorProcess
{
public:
    EmulatorProcess();
    ~EmulatorProcess(); // terminates the program if it still runs
    EmulatorProcess(const EmulatorProcess &) = delete;
    EmulatorProcess &operator=(const EmulatorProcess &) = delete;

    static QString program(); // path of the built executable

    // Starts it with these arguments and waits until it has printed where it serves.
    bool start(const QStringList &arguments = QStringList(), int timeoutMs = 10000);
    // SIGTERM, then waits; true when it ended by itself with exit code 0.
    bool terminate(int timeoutMs = 5000);

    QString devicePath() const { return devicePath_; }
    QString loaderPath() const { return loaderPath_; }
    QString networkName() const { return networkName_; } // with --listen
    QString standardOutput() const { return out_; }
    QString standardError(); // everything it wrote to stderr so far
    QProcess &process() { return process_; }

private:
    void collect();

    QProcess process_;
    QString out_;
    QString err_;
    QString devicePath_;
    QString loaderPath_;
    QString networkName_;
};
