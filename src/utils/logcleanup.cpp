#include "loggermanager.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cstring>

#include "logfolder.h"
#include "logsettings.h"

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#endif

// The sweep of old log files. It runs on the global thread pool, takes the logging mutex only to
// read a setting, and reaches each folder as the writers do: a link or another user's folder is
// left alone, and only plain files of the running user are deleted.

using namespace logging;

namespace {

#ifdef Q_OS_UNIX
// One folder of the cleanup, held open by descriptor so that it cannot be swapped for a link
// half way; it hands out and deletes only plain files of the running user.
class CleanupFolder
{
public:
    static CleanupFolder open(const QString &path)
    {
        QString refusal;
        return CleanupFolder(openLogFolder(path, &refusal));
    }
    static CleanupFolder openPrivate(const QString &path)
    {
        QString refusal;
        return CleanupFolder(openPrivateFolder(path, false, &refusal));
    }
    bool isOpen() const { return dir_.get() >= 0; }
    CleanupFolder sub(const QString &name) const
    {
        QString refusal;
        return CleanupFolder(openFolderAt(dir_.get(), QFile::encodeName(name), &refusal));
    }
    // Own plain files (with their modification dates) and sub-folders, sorted by name.
    void list(QStringList *files, QVector<QDate> *modified, QStringList *folders) const
    {
        QVector<QPair<QString, QDate>> found;
        const int fd = ::dup(dir_.get());
        DIR *d = fd >= 0 ? ::fdopendir(fd) : nullptr;
        if (!d) {
            if (fd >= 0)
                ::close(fd);
            return;
        }
        // The copy shares its position with the held descriptor, which an earlier listing moved.
        ::rewinddir(d);
        while (const dirent *e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
                continue;
            struct stat st;
            if (::fstatat(dir_.get(), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            const QString name = QFile::decodeName(e->d_name);
            if (S_ISDIR(st.st_mode) && folders)
                *folders << name;
            else if (S_ISREG(st.st_mode) && st.st_uid == ::geteuid())
                found.append({name, QDateTime::fromSecsSinceEpoch(st.st_mtime).date()});
        }
        ::closedir(d);
        std::sort(found.begin(), found.end());
        for (const auto &f : found) {
            *files << f.first;
            if (modified)
                *modified << f.second;
        }
        if (folders)
            folders->sort();
    }
    // The owner is checked again right before the deletion; in a sticky folder nobody else can
    // put another file under the name in between.
    void remove(const QString &name) const
    {
        const QByteArray n = QFile::encodeName(name);
        struct stat st;
        if (::fstatat(dir_.get(), n.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == ::geteuid())
            ::unlinkat(dir_.get(), n.constData(), 0);
    }

private:
    explicit CleanupFolder(Descriptor dir) : dir_(std::move(dir)) {}
    Descriptor dir_;
};
#else
class CleanupFolder
{
public:
    static CleanupFolder open(const QString &path) { return CleanupFolder(QFileInfo(path).isDir() ? path : QString()); }
    static CleanupFolder openPrivate(const QString &) { return CleanupFolder(QString()); }
    bool isOpen() const { return !path_.isEmpty(); }
    CleanupFolder sub(const QString &name) const { return CleanupFolder(QDir(path_).filePath(name)); }
    void list(QStringList *files, QVector<QDate> *modified, QStringList *folders) const
    {
        const QDir dir(path_);
        for (const QFileInfo &info : dir.entryInfoList(QDir::Files | QDir::Hidden, QDir::Name)) {
            *files << info.fileName();
            if (modified)
                *modified << info.lastModified().date();
        }
        if (folders)
            *folders = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks, QDir::Name);
    }
    void remove(const QString &name) const { QDir(path_).remove(name); }

private:
    explicit CleanupFolder(const QString &path) : path_(path) {}
    QString path_;
};
#endif

void sweep(const CleanupFolder &dir, unsigned keepDays, const QDate &now)
{
    QStringList files, folders;
    QVector<QDate> modified;
    dir.list(&files, &modified, &folders);
    for (int i = 0; i < files.size(); ++i) {
        if (modified.at(i).isValid() && now >= modified.at(i).addDays(keepDays))
            dir.remove(files.at(i));
    }
    // A sub-folder that is a link, or in which others could swap entries, is not entered.
    for (const QString &name : folders) {
        const CleanupFolder sub = dir.sub(name);
        if (sub.isOpen())
            sweep(sub, keepDays, now);
    }
}

// Deletes the dated files of the folder by their age alone: plain ones from two days on, packed
// ones (kept for a support request) once keepDays is reached, so that no file outlives a younger
// one of its kind. Names without a date before the first "_" stay.
void cleanDated(const CleanupFolder &dir, const QStringList &patterns, unsigned keepDays, const QDate &now)
{
    QStringList names;
    dir.list(&names, nullptr, nullptr);
    for (const QString &name : qAsConst(names)) {
        if (!QDir::match(patterns, name))
            continue;
        const QDate date = QDate::fromString(name.section(QLatin1Char('_'), 0, 0), QStringLiteral("yyyy-MM-dd"));
        if (!date.isValid())
            continue;
        const qint64 age = date.daysTo(now);
        const QString lower = name.toLower();
        const bool packed = lower.endsWith(QLatin1String(".zip")) || lower.endsWith(QLatin1String(".gz"));
        if (age >= qint64(keepDays) || (age >= 2 && !packed))
            dir.remove(name);
    }
}

} // namespace

void LoggerManager::cleanOldLogs()
{
    QString folder;
    QStringList patterns;
    unsigned keep;
    bool sweepAll;
    {
        Locker lock;
        const Settings &st = settings();
        folder = st.logFolder;
        patterns = st.cleanupFilters;
        keep = st.keepDays;
        sweepAll = st.cleanSubfolders;
    }
    if (folder.isEmpty())
        return;
    patterns << QStringLiteral("*%1.log*").arg(QCoreApplication::applicationName());
    const QDate now = today();
    // Each folder is checked as the writers check it: a link or a folder of another user is left
    // alone. The private folder holds what the log folder could not take.
    for (const bool shared : {true, false}) {
        const QString path = shared ? folder : privateFolderOf(folder);
        const CleanupFolder dir = shared ? CleanupFolder::open(path) : CleanupFolder::openPrivate(path);
        if (!dir.isOpen())
            continue;
        cleanDated(dir, patterns, keep, now);
        if (sweepAll)
            sweep(dir, keep, now);
    }
}

void LoggerManager::sweepFolder(const QString &folder)
{
    unsigned keep;
    {
        Locker lock;
        keep = settings().keepDays;
    }
    const CleanupFolder dir = CleanupFolder::open(folder);
    if (dir.isOpen())
        sweep(dir, keep, today());
}
