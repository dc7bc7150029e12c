#include "logfolder.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "loggermanager.h"

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace logging {

#ifdef Q_OS_UNIX
namespace {

constexpr mode_t kLogFileMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP;
constexpr mode_t kPrivateFolderMode = S_IRWXU;

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool inOwnGroups(gid_t gid)
{
    if (gid == ::getegid())
        return true;
    std::vector<gid_t> groups(size_t(std::max(::getgroups(0, nullptr), 0)));
    groups.resize(size_t(std::max(::getgroups(int(groups.size()), groups.data()), 0)));
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

QString refusalOf(const struct stat &st)
{
    if (!S_ISDIR(st.st_mode))
        return QStringLiteral("it is not a folder");
    // The owner of a folder may rename our files in it and put its own in their place, sticky
    // bit or not: only our own folders and the administrator's are trusted.
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
        return QStringLiteral("it belongs to another user");
    if (st.st_uid != ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX))
        return QStringLiteral("others may write to it and it has no sticky bit");
    // New files would take the folder's group, and its members would read the passwords.
    if ((st.st_mode & S_ISGID) && !inOwnGroups(st.st_gid))
        return QStringLiteral("it is setgid and its group is not the user's");
    return QString();
}

} // namespace

Descriptor openFolderAt(int parent, const QByteArray &name, QString *refusal, struct stat *seen)
{
    Descriptor dir(::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat own;
    struct stat &st = seen ? *seen : own;
    if (dir.get() < 0) {
        const int error = errno;
        if (::fstatat(parent, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            refusal->clear();
        else if (S_ISLNK(st.st_mode))
            *refusal = QStringLiteral("it is a symbolic link");
        else if (!S_ISDIR(st.st_mode))
            *refusal = QStringLiteral("it is not a folder");
        else
            *refusal = errorText(error);
        return dir;
    }
    if (::fstat(dir.get(), &st) != 0)
        *refusal = errorText(errno);
    else
        *refusal = refusalOf(st);
    if (!refusal->isEmpty())
        return Descriptor();
    return dir;
}

Descriptor openLogFolder(const QString &folder, QString *refusal)
{
    struct stat st;
    Descriptor dir = openFolderAt(AT_FDCWD, QFile::encodeName(folder), refusal, &st);
    // A folder of ours from an older version may lack the sticky bit; only its owner can add it.
    if (dir.get() >= 0 && st.st_uid == ::geteuid() && !(st.st_mode & S_ISVTX))
        ::fchmod(dir.get(), (st.st_mode & 07777) | S_ISVTX);
    return dir;
}

QString privateFolderOf(const QString &folder)
{
    return QDir::cleanPath(folder) + QLatin1Char('-') + QString::number(::geteuid());
}

// Opens the private folder, made when missing; only the user's own folder, never a link, is
// used, and it is kept to the user alone.
Descriptor openPrivateFolder(const QString &folder, bool make, QString *refusal)
{
    const QByteArray name = QFile::encodeName(folder);
    const int made = make ? ::mkdir(name.constData(), kPrivateFolderMode) : 0;
    const int makeError = errno;
    struct stat st;
    Descriptor dir = openFolderAt(AT_FDCWD, name, refusal, &st);
    if (dir.get() < 0) {
        if (refusal->isEmpty() && make)
            *refusal = errorText(made != 0 ? makeError : ENOENT);
        return dir;
    }
    if (st.st_uid != ::geteuid()) {
        *refusal = QStringLiteral("it belongs to another user");
        return Descriptor();
    }
    if (make && (st.st_mode & 07777) != kPrivateFolderMode)
        ::fchmod(dir.get(), kPrivateFolderMode);
    return dir;
}

namespace {

// Opens the file `name` in the folder, or makes it: never through a link, and only a plain file
// of ours with no other name, so that our entries reach nobody else's file and never an own
// private file linked here. A new file gets 0660 as narrowed by the umask; an existing one is
// only ever narrowed (files of older versions were readable by all).
Descriptor openOwnFile(int dir, const QByteArray &name, struct stat *st, QString *refusal)
{
    constexpr int mode = O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    for (int attempt = 0; attempt < 3; ++attempt) {
        Descriptor fd(::openat(dir, name.constData(), mode));
        if (fd.get() < 0 && errno == ENOENT)
            fd = Descriptor(::openat(dir, name.constData(), mode | O_CREAT | O_EXCL, kLogFileMode));
        if (fd.get() < 0) {
            if (errno == EEXIST)
                continue; // made by someone else between the two calls: look at what it is
            *refusal = errno == ELOOP ? QStringLiteral("it is a symbolic link") : errorText(errno);
            return fd;
        }
        if (::fstat(fd.get(), st) != 0)
            *refusal = errorText(errno);
        else if (!S_ISREG(st->st_mode))
            *refusal = QStringLiteral("it is not a plain file");
        else if (st->st_uid != ::geteuid())
            *refusal = QStringLiteral("it belongs to another user");
        else if (st->st_nlink != 1)
            *refusal = QStringLiteral("it has another name (a hard link)");
        if (!refusal->isEmpty())
            return Descriptor();
        if (st->st_mode & 07777 & ~kLogFileMode)
            ::fchmod(fd.get(), st->st_mode & kLogFileMode);
        const int flags = ::fcntl(fd.get(), F_GETFL);
        if (flags != -1)
            ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
        return fd;
    }
    *refusal = QStringLiteral("it is being replaced again and again");
    return Descriptor();
}

} // namespace

LogFile openLogFile(const QString &folder, const QString &name, bool shared)
{
    LogFile f;
    QString why;
    Descriptor dir = shared ? openLogFolder(folder, &why) : openPrivateFolder(folder, true, &why);
    if (shared && dir.get() < 0 && why.isEmpty()) {
        // Removed while we run (a cleaner of the temporary directory): made again as at start.
        createDirectory(folder, QFileDevice::Permissions(0x7777));
        dir = openLogFolder(folder, &why);
        if (dir.get() < 0 && why.isEmpty())
            why = QStringLiteral("it is missing and cannot be made");
    }
    if (dir.get() < 0) {
        f.refused = QStringLiteral("Log folder \"%1\" is not used: %2").arg(folder, why);
        return f;
    }
    struct stat st;
    Descriptor fd = openOwnFile(dir.get(), QFile::encodeName(name), &st, &why);
    if (fd.get() < 0) {
        f.refused = QStringLiteral("Log file \"%1/%2\" is not used: %3").arg(folder, name, why);
        return f;
    }
    char last = '\n';
    f.endsMidLine = st.st_size > 0 && ::pread(fd.get(), &last, 1, st.st_size - 1) == 1 && last != '\n';
    // Unbuffered: what a failed write leaves behind must not be written again later.
    f.file.reset(new QFile);
    if (!f.file->open(fd.get(), QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered,
                      QFileDevice::AutoCloseHandle)) {
        f.refused = QStringLiteral("Log file \"%1/%2\" is not used: %3").arg(folder, name, f.file->errorString());
        f.file.reset();
        return f;
    }
    fd.release();
    f.device = st.st_dev;
    f.inode = st.st_ino;
    return f;
}

bool sameFileAt(const QByteArray &path, quint64 device, quint64 inode)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0 && quint64(st.st_dev) == device && quint64(st.st_ino) == inode;
}
#else
QString privateFolderOf(const QString &)
{
    return QString();
}

LogFile openLogFile(const QString &folder, const QString &name, bool shared)
{
    LogFile f;
    if (!shared || (!QFileInfo(folder).isDir() && !createDirectory(folder, QFileDevice::Permissions(0x7777)))) {
        f.refused = QStringLiteral("Log folder \"%1\" is not used: it is missing").arg(folder);
        return f;
    }
    f.file.reset(new QFile(folder + QLatin1Char('/') + name));
    if (!f.file->open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered)) {
        f.refused = QStringLiteral("Log file \"%1/%2\" is not used: %3").arg(folder, name, f.file->errorString());
        f.file.reset();
    }
    return f;
}

bool sameFileAt(const QByteArray &path, quint64, quint64)
{
    return QFileInfo::exists(QFile::decodeName(path));
}

#endif

} // namespace logging

#ifdef Q_OS_WIN
extern Q_CORE_EXPORT int qt_ntfs_permission_lookup;
#endif

#ifdef Q_OS_UNIX
namespace {

using logging::Descriptor;

mode_t modeOf(QFileDevice::Permissions p)
{
    mode_t mode = 0;
    if (p & (QFileDevice::ReadOwner | QFileDevice::ReadUser))
        mode |= S_IRUSR;
    if (p & (QFileDevice::WriteOwner | QFileDevice::WriteUser))
        mode |= S_IWUSR;
    if (p & (QFileDevice::ExeOwner | QFileDevice::ExeUser))
        mode |= S_IXUSR;
    if (p & QFileDevice::ReadGroup)
        mode |= S_IRGRP;
    if (p & QFileDevice::WriteGroup)
        mode |= S_IWGRP;
    if (p & QFileDevice::ExeGroup)
        mode |= S_IXGRP;
    if (p & QFileDevice::ReadOther)
        mode |= S_IROTH;
    if (p & QFileDevice::WriteOther)
        mode |= S_IWOTH;
    if (p & QFileDevice::ExeOther)
        mode |= S_IXOTH;
    if (mode & (S_IWGRP | S_IWOTH))
        mode |= S_ISVTX;
    return mode;
}

} // namespace

bool createDirectory(const QString &path, QFileDevice::Permissions permissions)
{
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const QByteArray encoded = QFile::encodeName(absolute);
    struct stat st;
    // Whatever stands under the name already (a link too, even a dangling one) is not ours to change.
    if (::lstat(encoded.constData(), &st) != 0) {
        QDir(QDir::rootPath()).mkpath(QFileInfo(absolute).path());
        // Made private first, then opened without following links and opened up through that
        // descriptor: if another user swaps the name for a link in between, the permissions
        // still land on the folder made here or nowhere.
        if (::mkdir(encoded.constData(), S_IRWXU) == 0) {
            const Descriptor dir(::open(encoded.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (dir.get() >= 0 && ::fstat(dir.get(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid())
                ::fchmod(dir.get(), modeOf(permissions));
        }
    }
    return QFileInfo::exists(path);
}
#else
bool createDirectory(const QString &path, QFileDevice::Permissions permissions)
{
    const QFileInfo info(path);
    if (!info.exists()) {
        const QString absolute = info.absoluteFilePath();
        QDir(QDir::rootPath()).mkpath(absolute);
#ifdef Q_OS_WIN
        ++qt_ntfs_permission_lookup;
#endif
        QFile::setPermissions(absolute, permissions);
#ifdef Q_OS_WIN
        --qt_ntfs_permission_lookup;
#endif
    }
    return QFileInfo::exists(path);
}
#endif
