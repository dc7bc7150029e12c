#pragma once

// Another program on a serial port, as the port lock meets it: flock(1) holding the device for as
// long as the object lives (as a terminal program or a console command of ours holds it), and a
// look at whether another program could take the port now.

#include <QFile>
#include <QProcess>
#include <QString>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "portlock.h"

class PortHolder
{
public:
    explicit PortHolder(const QString &path) : path_(path)
    {
        process_.start(QStringLiteral("flock"), {QStringLiteral("-xo"), path, QStringLiteral("sleep"), QStringLiteral("60")});
    }
    ~PortHolder()
    {
        process_.kill();
        process_.waitForFinished();
    }
    PortHolder(const PortHolder &) = delete;
    PortHolder &operator=(const PortHolder &) = delete;

    // flock(1) takes the lock once it runs: true when it has.
    bool waitHeld(int timeoutMs = 5000)
    {
        return process_.waitForStarted() &&
               QTest::qWaitFor([this] { return PortLock::holder(path_) == process_.processId(); }, timeoutMs);
    }
    qint64 pid() const { return process_.processId(); }
    // The refusal the window and the console show for this port.
    QString busyText() const { return PortLock::busyText(path_, pid()); }

private:
    const QString path_;
    QProcess process_;
};

// What another program does to take the port: its own descriptor of the device, locked without
// waiting. True when it got the port (and gave it back at once).
inline bool othersCanTake(const QString &path)
{
    const QByteArray device = QFile::encodeName(path);
    const int fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const bool got = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0)
        ::close(fd);
    return got;
}
