#pragma once

// Internal to the logging files: the log folder's trust checks and the opening of a day's file.
//
// The log folder sits in the shared temporary directory: any user may have made it, or planted a
// link, a file or a hard link under the name of a log file. Everything in it is therefore reached
// through descriptors opened without following links; a folder is used only when nobody else can
// rename our files in it or give them their group, and a file only when it is a plain file of
// ours with no other name. Whatever fails that goes to a folder of the user's own beside it.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <memory>
#include <utility>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace logging {

// What a writer found when it went for its file: the file, open, or why the folder or the file is
// not used.
struct LogFile
{
    std::unique_ptr<QFile> file;
    quint64 device = 0;
    quint64 inode = 0;
    bool endsMidLine = false; // an earlier entry broke off half way (a full disk, a size limit)
    QString refused;
};

// The log folder (`shared`, made again when it has gone) or the private folder (made when
// missing), and the file `name` in it.
LogFile openLogFile(const QString &folder, const QString &name, bool shared);

// The folder beside the log folder that only the running user may enter; empty where there is none.
QString privateFolderOf(const QString &folder);

// Whether the name still leads to the file we hold open: one lstat per entry.
bool sameFileAt(const QByteArray &path, quint64 device, quint64 inode);

#ifdef Q_OS_UNIX
class Descriptor
{
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(Descriptor &&other) noexcept : fd_(other.release()) {}
    Descriptor &operator=(Descriptor &&other) noexcept
    {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// Opens a folder below parent (or a path, with AT_FDCWD) when it is fit to hold our files, and
// gives what it is in *seen. Otherwise the descriptor is invalid and refusal says why; it stays
// empty when the folder is simply missing, which is nobody's doing.
Descriptor openFolderAt(int parent, const QByteArray &name, QString *refusal, struct stat *seen = nullptr);
// The log folder, given the sticky bit when it is ours and lacks it.
Descriptor openLogFolder(const QString &folder, QString *refusal);
// The private folder, made when missing (`make`); only the user's own folder, never a link.
Descriptor openPrivateFolder(const QString &folder, bool make, QString *refusal);
#endif

} // namespace logging
