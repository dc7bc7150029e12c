#pragma once

#include <QString>

#include <memory>
#include <mutex>

#include <sys/types.h>

// Keeps a serial port ours for as long as we need it, against other programs too.
//
// The transport closes and reopens the port for every exchange, and QSerialPort takes its own lock
// file and TIOCEXCL on each open and gives both up on each close: between two exchanges of one
// command another program could take the port. This lock lives across the reopen: flock(2) on a
// descriptor of the device itself, taken the same way by every program of ours (the window while
// its port is open, virta-cli for its command), and by terminal programs that use flock (picocom).
// A terminal program that only keeps the UUCP lock file (LCK..NAME in /var/lock, as minicom and cu
// do) is seen when it holds the port before we take it, not when it arrives between two of our
// exchanges: that file is QSerialPort's own during each exchange, and cannot be held across the
// reopen.
//
// One lock per device in the process, shared by everyone in it who uses that device.
class PortLock
{
public:
    ~PortLock();
    PortLock(const PortLock &) = delete;
    PortLock &operator=(const PortLock &) = delete;

    // The port at `path` for this process. Null when another program holds it: `busy` then says
    // so, naming it as the window and the console show it. A device that cannot be opened now (not
    // plugged in, a path typed wrong) does not refuse it: the lock is taken by the first exchange
    // that finds the device.
    static std::shared_ptr<PortLock> acquire(const QString &path, QString *busy);

    // Before each exchange: true when the device now at the path is ours (a device unplugged and
    // plugged in again is a new node, locked afresh), false with `busy` when another program has
    // it. A device that is not there is not refused here: the exchange finds that out by itself.
    bool hold(QString *busy);

    // «Порт занят: PATH (процесс PID)»; without the process when it cannot be told.
    static QString busyText(const QString &path, qint64 pid);
    // The process other than this one that holds the device at `path`, by flock or by the lock
    // file of the UUCP convention; 0 when none can be told.
    static qint64 holder(const QString &path);

private:
    explicit PortLock(const QString &path);
    enum class Take { Held, Busy, Absent };
    Take take(QString *busy); // with mutex_ held
    void release();           // with mutex_ held

    const QString path_;
    std::mutex mutex_;
    int fd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};
