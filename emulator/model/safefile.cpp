#include "safefile.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace safefile {

QString systemError(const QString &what)
{
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
}

bool resolve(const QString &path, QString *resolved, QString *error)
{
    // Walked one component at a time, as the kernel would, so that every link met on the way is
    // judged by its owner before it is followed.
    QStringList todo =
        QDir::cleanPath(QDir::current().absoluteFilePath(path)).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString done;
    for (int links = 0; !todo.isEmpty();) {
        const QString part = todo.takeFirst();
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            done = done.left(qMax(0, done.lastIndexOf(QLatin1Char('/'))));
            continue;
        }
        const QString next = done + QLatin1Char('/') + part;
        const QByteArray local = QFile::encodeName(next);
        struct stat st;
        if (::lstat(local.constData(), &st) != 0) {
            if (errno == ENOENT && todo.isEmpty()) {
                done = next;
                break;
            }
            *error = systemError(next);
            return false;
        }
        if (!S_ISLNK(st.st_mode)) {
            done = next;
            continue;
        }
        if (st.st_uid != ::geteuid() && st.st_uid != 0) {
            *error =
                QStringLiteral("%1 is a symbolic link of another user (uid %2): not followed").arg(next).arg(st.st_uid);
            return false;
        }
        if (++links > 40) {
            errno = ELOOP;
            *error = systemError(path);
            return false;
        }
        QByteArray target(4096, '\0');
        const ssize_t n = ::readlink(local.constData(), target.data(), size_t(target.size()));
        if (n <= 0 || n >= target.size()) {
            *error = systemError(next);
            return false;
        }
        const QString to = QFile::decodeName(target.left(int(n)));
        todo = to.split(QLatin1Char('/'), Qt::SkipEmptyParts) + todo;
        if (to.startsWith(QLatin1Char('/')))
            done.clear();
    }
    *resolved = done.isEmpty() ? QStringLiteral("/") : done;
    return true;
}

int openFolder(const QString &resolved, QString *name, QString *error)
{
    const int slash = resolved.lastIndexOf(QLatin1Char('/'));
    *name = resolved.mid(slash + 1);
    const QString folder = slash > 0 ? resolved.left(slash) : QStringLiteral("/");
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        *error = systemError(folder);
    return fd;
}

int openRegularAt(int dirFd, const QString &name, int flags, QString *error, struct stat *st)
{
    // A file this call makes (O_EXCL) is a new regular one: no FIFO to wait on, nothing to look at.
    const bool made = (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
    const QByteArray local = QFile::encodeName(name);
    const int fd = ::openat(dirFd, local.constData(), flags | O_NOFOLLOW | O_CLOEXEC | (made ? 0 : O_NONBLOCK), 0600);
    if (fd < 0) {
        *error = systemError(name);
        return -1;
    }
    if (made && !st)
        return fd;
    struct stat own;
    struct stat &is = st ? *st : own;
    if (::fstat(fd, &is) != 0) {
        *error = systemError(name);
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(is.st_mode)) {
        *error = S_ISFIFO(is.st_mode) ? QStringLiteral("%1 is a FIFO, not a regular file").arg(name)
                                      : QStringLiteral("%1 is not a regular file").arg(name);
        ::close(fd);
        return -1;
    }
    if (!made)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool writeAll(int fd, const QByteArray &data, qint64 offset, QString *error)
{
    qint64 done = 0;
    while (done < data.size()) {
        const char *from = data.constData() + done;
        const size_t left = size_t(data.size() - done);
        const ssize_t n = offset < 0 ? ::write(fd, from, left) : ::pwrite(fd, from, left, offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            *error = systemError(QStringLiteral("%1 of %2 bytes written").arg(done).arg(data.size()));
            return false;
        }
        done += n;
    }
    return true;
}

bool lockWhole(int fd)
{
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    return ::fcntl(fd, F_SETLK, &whole) == 0;
}

} // namespace safefile
