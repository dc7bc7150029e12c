#include "instancelock.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

InstanceLock::~InstanceLock()
{
    if (fd_ >= 0)
        ::close(fd_); // releases the lock
}

QString InstanceLock::lockPath(const QString &path)
{
    return path + QStringLiteral(".lock");
}

bool InstanceLock::acquire(const QString &path, QString *error)
{
    const QString lock = lockPath(path);
    const int fd =
        ::open(QFile::encodeName(lock).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = fd < 0 ? QStringLiteral("cannot make the lock file %1: %2")
                              .arg(lock, QString::fromLocal8Bit(std::strerror(errno)))
                        : QStringLiteral("the lock file %1 is not a regular file").arg(lock);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        char pid[32] = {};
        const ssize_t n = ::pread(fd, pid, sizeof pid - 1, 0);
        ::close(fd);
        if (why != EWOULDBLOCK) {
            *error = QStringLiteral("cannot lock %1: %2").arg(lock, QString::fromLocal8Bit(std::strerror(why)));
            return false;
        }
        // Anyone who can write the file chooses what it says: only a process number is repeated.
        const QByteArray text = QByteArray(pid, int(qMax<ssize_t>(0, n))).trimmed();
        bool number = !text.isEmpty() && text.size() <= 10;
        for (const char c : text)
            number = number && c >= '0' && c <= '9';
        const QString owner = number ? QStringLiteral(" (process %1)").arg(QString::fromLatin1(text)) : QString();
        *error = QStringLiteral("%1 is in use by another virta-emulator%2; stop that one first, or choose another path")
                     .arg(path, owner);
        return false;
    }
    const QByteArray self = QByteArray::number(qint64(::getpid())) + '\n';
    // The number is only for the message to a second instance; the lock holds without it.
    const bool noted = ::ftruncate(fd, 0) == 0 && ::pwrite(fd, self.constData(), size_t(self.size()), 0) == self.size();
    Q_UNUSED(noted)
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
    return true;
}
