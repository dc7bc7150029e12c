#include "portlock.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

std::mutex registryMutex;
QHash<QString, std::weak_ptr<PortLock>> &registry()
{
    static QHash<QString, std::weak_ptr<PortLock>> locks;
    return locks;
}

// One key per device, whatever link or spelling leads to it.
QString deviceKey(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

bool alive(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// The process named by the first token of a small file, never its text as such: the file may be
// anybody's, and only a number is taken from it.
qint64 leadingNumber(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> tokens = f.read(64).simplified().split(' ');
    bool ok = false;
    const qint64 n = tokens.value(0).toLongLong(&ok);
    return ok && n > 0 ? n : 0;
}

// The flock on this device node held by another process, from the kernel's table of locks
// ("1: FLOCK  ADVISORY  WRITE 1234 00:19:7 0 EOF": major and minor in hex, inode in decimal).
qint64 flockHolder(const struct stat &st)
{
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray node = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(quint64(st.st_ino));
    // Read whole: a file of /proc has no size, and QFile takes it for ended before the first line.
    const QList<QByteArray> lines = locks.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() < 6 || f.at(1) != "FLOCK" || f.at(5) != node)
            continue; // a waiter ("->"), another kind of lock, or another file
        const qint64 pid = f.at(4).toLongLong();
        if (pid > 0 && pid != ::getpid())
            return pid;
    }
    return 0;
}

// A live process other than this one named by a lock file of the UUCP convention: "LCK.." and the
// device's name, as terminal programs write it (the base name) and as QSerialPort does (the path
// below /dev with '/' made '_'), in the usual lock folders.
qint64 lockFileHolder(const QString &device)
{
    QStringList names{QFileInfo(device).fileName()};
    if (device.startsWith(QLatin1String("/dev/")))
        names << device.mid(5).replace(QLatin1Char('/'), QLatin1Char('_'));
    QStringList folders;
    for (const QString &folder : {QStringLiteral("/run/lock"), QStringLiteral("/var/lock")}) {
        const QString canonical = QFileInfo(folder).canonicalFilePath();
        if (!canonical.isEmpty() && !folders.contains(canonical))
            folders << canonical;
    }
    for (const QString &folder : qAsConst(folders)) {
        for (const QString &name : qAsConst(names)) {
            const qint64 pid = leadingNumber(folder + QStringLiteral("/LCK..") + name);
            if (pid != ::getpid() && alive(pid))
                return pid;
        }
    }
    return 0;
}

} // namespace

PortLock::PortLock(const QString &path) : path_(path)
{}

PortLock::~PortLock()
{
    std::lock_guard<std::mutex> lock(mutex_);
    release();
}

std::shared_ptr<PortLock> PortLock::acquire(const QString &path, QString *busy)
{
    std::lock_guard<std::mutex> guard(registryMutex);
    for (auto it = registry().begin(); it != registry().end();)
        it = it.value().expired() ? registry().erase(it) : std::next(it);
    const QString key = deviceKey(path);
    if (std::shared_ptr<PortLock> held = registry().value(key).lock())
        return held;
    std::shared_ptr<PortLock> lock(new PortLock(path));
    {
        std::lock_guard<std::mutex> own(lock->mutex_);
        if (lock->take(busy) == Take::Busy)
            return nullptr;
    }
    registry().insert(key, lock);
    return lock;
}

bool PortLock::hold(QString *busy)
{
    std::lock_guard<std::mutex> lock(mutex_);
    struct stat st;
    if (::stat(QFile::encodeName(path_).constData(), &st) != 0)
        return true; // not there: the exchange fails to open it and says so
    if (fd_ >= 0 && st.st_dev == dev_ && st.st_ino == ino_)
        return true;
    release();
    return take(busy) != Take::Busy;
}

PortLock::Take PortLock::take(QString *busy)
{
    const QString device = deviceKey(path_);
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // EBUSY: another program has it open exclusively (TIOCEXCL), which ours do only while
        // they hold the lock as well.
        if (errno != EBUSY)
            return Take::Absent;
        if (busy)
            *busy = busyText(path_, holder(path_));
        return Take::Busy;
    }
    qint64 other = 0;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            // A file system without locks: the port is used as it was before there was a lock.
            qWarning().noquote() << "Cannot lock port" << path_ << ":" << qt_error_string(errno);
            ::close(fd);
            return Take::Absent;
        }
        struct stat st;
        other = ::fstat(fd, &st) == 0 ? flockHolder(st) : 0;
        ::close(fd);
        if (busy)
            *busy = busyText(path_, other);
        return Take::Busy;
    }
    other = lockFileHolder(device);
    struct stat st;
    if (other != 0 || ::fstat(fd, &st) != 0) {
        ::close(fd);
        if (other == 0)
            return Take::Absent;
        if (busy)
            *busy = busyText(path_, other);
        return Take::Busy;
    }
    fd_ = fd;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    return Take::Held;
}

void PortLock::release()
{
    if (fd_ >= 0)
        ::close(fd_); // the flock goes with the descriptor
    fd_ = -1;
}

QString PortLock::busyText(const QString &path, qint64 pid)
{
    return pid > 0 ? QStringLiteral("Порт занят: %1 (процесс %2)").arg(path).arg(pid)
                   : QStringLiteral("Порт занят: %1").arg(path);
}

qint64 PortLock::holder(const QString &path)
{
    const QString device = deviceKey(path);
    struct stat st;
    if (::stat(QFile::encodeName(device).constData(), &st) == 0) {
        if (const qint64 pid = flockHolder(st))
            return pid;
    }
    return lockFileHolder(device);
}
