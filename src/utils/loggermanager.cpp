#include "loggermanager.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTextCodec>
#include <QTextDecoder>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <utility>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// ---------------------------------------------------------------------------
// Dump formatters
// ---------------------------------------------------------------------------

namespace {

constexpr int kIndentWidth = 15;
constexpr int kBytesPerRow = 16;
constexpr int kHexColumnWidth = 54;

QTextCodec *codecByName(const QString &name)
{
    if (name == QLatin1String("System"))
        return QTextCodec::codecForLocale();
    if (QTextCodec *codec = QTextCodec::codecForName(name.toLatin1()))
        return codec;
    // An unknown name must not cost the dump: the local code page still shows the text.
    return QTextCodec::codecForLocale();
}


// Control bytes would break the row apart (line feeds, tabs) or vanish; they are shown as dots.
// Everything from 0x20 up goes to the decoder as it is, so multi-byte characters survive.
QByteArray printableRow(const QByteArray &row)
{
    QByteArray out = row;
    for (char &c : out) {
        if (static_cast<unsigned char>(c) < 0x20)
            c = '.';
    }
    return out;
}

int rowPadding(int n)
{
    if (n == kBytesPerRow)
        return 0;
    return n >= 8 ? 51 - 3 * n : kHexColumnWidth - 3 * n;
}

// One row of the dump: the hex column padded to its width, then the text. Built in one string,
// as every logged frame goes through here.
QString hexRow(const QByteArray &row, QTextDecoder *decoder)
{
    static const char digits[] = "0123456789abcdef";
    QString line;
    line.reserve(kHexColumnWidth + row.size());
    for (int i = 0; i < row.size(); ++i) {
        const auto b = static_cast<unsigned char>(row.at(i));
        line += QLatin1Char(digits[b >> 4]);
        line += QLatin1Char(digits[b & 0x0f]);
        line += QLatin1Char(' ');
        if (i == 7 || i == 15)
            line += QLatin1String("   ");
    }
    line.resize(line.size() + rowPadding(row.size()), QLatin1Char(' '));
    line += decoder->toUnicode(printableRow(row));
    return line;
}

} // namespace

QTextStream &indent(QTextStream &s)
{
    s << Qt::endl << QString(kIndentWidth, QLatin1Char(' '));
    return s;
}

QDebug indent(QDebug d)
{
    // In the default spacing mode the stream adds one space after the piece, completing the 15 columns.
    QDebugStateSaver saver(d);
    const bool spaced = d.autoInsertSpaces();
    d.noquote() << QLatin1Char('\n') + QString(spaced ? kIndentWidth - 1 : kIndentWidth, QLatin1Char(' '));
    return d;
}

QTextStream &operator<<(QTextStream &s, const HexDump &dump)
{
    const QByteArray &bytes = dump.bytes();
    s << "Bytearrray size = " << bytes.size() << indent;
    if (bytes.isEmpty()) {
        s << "Byte array is empty" << '\n';
        return s;
    }
    // One decoder for the whole dump: a character split between two rows is completed in the second.
    std::unique_ptr<QTextDecoder> decoder(codecByName(dump.codecName())->makeDecoder());
    for (int offset = 0; offset < bytes.size(); offset += kBytesPerRow) {
        if (offset > 0)
            s << indent;
        s << hexRow(bytes.mid(offset, kBytesPerRow), decoder.get());
    }
    return s;
}

QDebug operator<<(QDebug d, const HexDump &dump)
{
    QDebugStateSaver saver(d);
    d.noquote();
    d.setAutoInsertSpaces(true);
    const QByteArray &bytes = dump.bytes();
    d << "Bytearrray size =" << bytes.size();
    d = indent(d);
    if (bytes.isEmpty()) {
        d << "Byte array is empty";
        return d;
    }
    std::unique_ptr<QTextDecoder> decoder(codecByName(dump.codecName())->makeDecoder());
    for (int offset = 0; offset < bytes.size(); offset += kBytesPerRow) {
        if (offset > 0)
            d = indent(d);
        // The stream adds its own space after the row, as it always has after the text.
        d << hexRow(bytes.mid(offset, kBytesPerRow), decoder.get());
    }
    return d;
}

// ---------------------------------------------------------------------------
// Logging
// ---------------------------------------------------------------------------

namespace {

const QString kMarker = QStringLiteral("no_more_logs");
constexpr int kCleanupIntervalMs = 24 * 60 * 60 * 1000;
constexpr int kInitLogLine = 110;
constexpr int kReleaseLogLine = 188;

struct Settings
{
    std::mutex mutex; // pthread based, so thread sanitizer builds see it
    QString logFolder;
    unsigned keepDays = 7;
    bool dailyFiles = false;
    bool keepFilesOpen = true;
    QtMsgType minLevel = QtDebugMsg;
    unsigned logFlags = 0;
    QString logName = QStringLiteral("log");
    QStringList cleanupFilters;
    bool cleanSubfolders = false;
    QMap<QString, LoggerManager::CategoryHandler> categoryHandlers;
    QMap<QString, QSharedPointer<LoggerManager>> writers;
    QTimer *cleanupTimer = nullptr;
    QString folderRefusal; // why the log folder was last refused; warned about once
};

// Never destroyed: a message raised by a late static destructor must still find a live mutex.
Settings &settings()
{
    static Settings *s = new Settings;
    return *s;
}

std::atomic<qint64> g_todayForTests{std::numeric_limits<qint64>::min()};

struct LocalNow
{
    QDate date;
    QTime time;
};

// The local date and time for every entry. Qt's conversion to local time looks the time zone up
// again each time (a stat of the zone file), which cost more than writing the entry; the zone
// can only take effect on a whole second, so the conversion is done once per second.
LocalNow localNow()
{
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    const qint64 second = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    thread_local qint64 cachedSecond = std::numeric_limits<qint64>::min();
    thread_local LocalNow cached;
    if (second != cachedSecond) {
        const QDateTime local = QDateTime::fromSecsSinceEpoch(second);
        cached = {local.date(), local.time()};
        cachedSecond = second;
    }
    const QTime t = cached.time;
    return {cached.date, QTime(t.hour(), t.minute(), t.second(), int(ms - second * 1000))};
}

QDate today()
{
    const qint64 jd = g_todayForTests.load();
    return jd == std::numeric_limits<qint64>::min() ? localNow().date : QDate::fromJulianDay(jd);
}

// Whether this thread holds the logging mutex. Qt may raise a message while we write (a codec, a
// file operation); the mutex is not recursive, so such a message must not try to take it again.
thread_local bool t_holdsLock = false;
// Depth of category handlers running in this thread: a handler that logs into its own category
// would otherwise call itself without end.
thread_local int t_categoryHandlerDepth = 0;
thread_local bool t_writingStdErr = false;

class Locker
{
public:
    Locker() : owns_(!t_holdsLock)
    {
        if (owns_) {
            settings().mutex.lock();
            t_holdsLock = true;
        }
    }
    ~Locker() { unlock(); }
    void unlock()
    {
        if (owns_) {
            t_holdsLock = false;
            settings().mutex.unlock();
            owns_ = false;
        }
    }
    Locker(const Locker &) = delete;
    Locker &operator=(const Locker &) = delete;

private:
    bool owns_;
};

// Last resort for messages that cannot go through a writer. UTF-8 on purpose: converting through
// the local code page could itself raise the message we are trying to get rid of.
void writeStdErr(const QString &message)
{
    if (t_writingStdErr)
        return;
    t_writingStdErr = true;
    const QByteArray bytes = message.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
    t_writingStdErr = false;
}

bool markerPresent(const QString &folder)
{
    const QString trimmed = folder.trimmed();
    return !trimmed.isEmpty() && QFileInfo::exists(QDir(trimmed).filePath(kMarker));
}

// Caller holds the lock.
QString logFileName(const QString &loggerName)
{
    const Settings &st = settings();
    const QString app = QCoreApplication::applicationName();
    if (st.dailyFiles) {
        return QStringLiteral("%1/%2_%3.%4")
            .arg(st.logFolder, today().toString(QStringLiteral("yyyy-MM-dd")), app, loggerName);
    }
    return QStringLiteral("%1/%2.%3").arg(st.logFolder, app, loggerName);
}

// Caller holds the lock. Said once per refusal, not at every entry that goes to standard error.
void noteFolderRefusal(const QString &folder, const QString &reason)
{
    QString &last = settings().folderRefusal;
    if (reason == last)
        return;
    last = reason;
    if (!reason.isEmpty()) {
        writeStdErr(QStringLiteral("Log folder \"%1\" is not used: %2. Log entries go to standard error.")
                        .arg(folder, reason));
    }
}

QString effectiveLogName()
{
    const QString &name = settings().logName;
    return name.isEmpty() ? QStringLiteral("log") : name;
}

struct LogEntryHeader
{
    bool dateInName = false;
    QString sourceFile;
    QString function;
    int line = 0;
    int type = QtDebugMsg;
};

QString shortLabel(int type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("INFO:");
    case QtWarningMsg:
        return QStringLiteral("WARNING:");
    case QtCriticalMsg:
        return QStringLiteral("CRITICAL:");
    case QtFatalMsg:
        return QStringLiteral("FATAL:");
    default:
        return QString();
    }
}

QString longLabel(int type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("INFO IN:");
    case QtWarningMsg:
        return QStringLiteral("WARNING IN:");
    case QtCriticalMsg:
        return QStringLiteral("CRITICAL IN:");
    case QtFatalMsg:
        return QStringLiteral("FATAL IN:");
    default:
        return QString();
    }
}

// Fields grow instead of being cut: a long file name pushes the rest of the line to the right.
void appendField(QString &line, const QString &text, int width)
{
    line += text;
    if (text.size() < width)
        line.resize(line.size() + width - text.size(), QLatin1Char(' '));
}

void appendTwoDigits(QString &line, int value)
{
    line += QLatin1Char(char('0' + value / 10));
    line += QLatin1Char(char('0' + value % 10));
}

// The header is built as one string and written at once: this runs for every entry, and the
// stream's own formatting (and the indent manipulator's flush) cost more than the entry itself.
// The entry is flushed as a whole by the caller.
void writeEntryHeader(QTextStream &s, const LogEntryHeader &h)
{
    QString line;
    line.reserve(128 + h.function.size());
    if (!h.dateInName)
        line += QLatin1Char('[') + today().toString(QStringLiteral("yy-MM-dd")) + QLatin1String("]\n");
    const QTime now = localNow().time;
    line += QLatin1Char('[');
    appendTwoDigits(line, now.hour());
    line += QLatin1Char(':');
    appendTwoDigits(line, now.minute());
    line += QLatin1Char(':');
    appendTwoDigits(line, now.second());
    line += QLatin1Char('.');
    line += QLatin1Char(char('0' + now.msec() / 100));
    appendTwoDigits(line, now.msec() % 100);
    line += QLatin1String("] ");
    if (h.line == 0 && h.sourceFile.isEmpty()) {
        const QString label = shortLabel(h.type);
        if (!label.isEmpty())
            appendField(line, label, 10);
    } else {
        const QString label = longLabel(h.type);
        if (!label.isEmpty())
            appendField(line, label, 16);
        const int slash = std::max(h.sourceFile.lastIndexOf(QLatin1Char('/')), h.sourceFile.lastIndexOf(QLatin1Char('\\')));
        const auto threadId = reinterpret_cast<quintptr>(QThread::currentThreadId());
        appendField(line, h.sourceFile.mid(slash + 1), 32);
        appendField(line, QString::number(h.line), 5);
        appendField(line, QStringLiteral("THREAD_ID:"), 14);
        appendField(line, QString::number(threadId, 16), 16);
        const QString continuation = QLatin1Char('\n') + QString(kIndentWidth, QLatin1Char(' '));
        line += continuation + h.function + continuation;
    }
    s << line;
}

void writeBanner(const QString &function, int line, const QString &message, bool leadingRule)
{
    LoggerManager writer(effectiveLogName());
    QTextStream &s = *writer.stream();
    if (leadingRule)
        s << '\n' << '\n' << QString(80, QLatin1Char('-')) << '\n';
    LogEntryHeader h;
    h.dateInName = settings().dailyFiles;
    h.sourceFile = QStringLiteral(__FILE__);
    h.function = function;
    h.line = line;
    h.type = QtDebugMsg;
    writeEntryHeader(s, h);
    s << message << '\n';
    s.flush();
}

// A timer may only be stopped and deleted in its own thread.
void disposeCleanupTimer()
{
    QTimer *&timer = settings().cleanupTimer;
    if (!timer)
        return;
    if (timer->thread() == QThread::currentThread())
        delete timer;
    else
        timer->deleteLater();
    timer = nullptr;
}

void discardMessage(QtMsgType, const QMessageLogContext &, const QString &)
{}

void startCleanup()
{
    QThreadPool::globalInstance()->start(std::function<void()>(&LoggerManager::cleanOldLogs));
}

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (t_holdsLock) {
        // Raised by our own writing in this thread: the mutex is ours already and the writer is
        // half way through an entry.
        writeStdErr(message);
        return;
    }
    Settings &st = settings();
    LoggerManager::CategoryHandler handler;
    {
        Locker lock;
        if (context.category && !st.categoryHandlers.isEmpty()) {
            const auto it = st.categoryHandlers.constFind(QString::fromUtf8(context.category));
            if (it != st.categoryHandlers.constEnd() && *it)
                handler = *it;
        }
        if (!handler) {
            if (st.logFlags == 0 || type < st.minLevel || (st.logFlags & 1u) == 0)
                return;
            QString name = effectiveLogName();
            // A message without a category belongs with the default ones, not in a file named "log.".
            if (context.category && *context.category && std::strcmp(context.category, "default") != 0)
                name += QLatin1Char('.') + QString::fromLatin1(context.category);

            LogEntryHeader h;
            h.dateInName = st.dailyFiles;
            h.sourceFile = QString::fromUtf8(context.file);
            h.function = QString::fromUtf8(context.function);
            h.line = context.line;
            h.type = type;

            if (st.dailyFiles && st.keepFilesOpen) {
                QSharedPointer<LoggerManager> writer = st.writers.value(name);
                if (writer)
                    writer->reopen();
                else
                    writer.reset(new LoggerManager(name));
                QTextStream &s = *writer->stream();
                writeEntryHeader(s, h);
                s << message << '\n';
                s.flush();
                st.writers.insert(name, writer);
            } else {
                LoggerManager writer(name);
                QTextStream &s = *writer.stream();
                writeEntryHeader(s, h);
                s << message << '\n';
                s.flush();
            }
            return;
        }
    }
    if (t_categoryHandlerDepth > 0) {
        writeStdErr(message);
        return;
    }
    ++t_categoryHandlerDepth;
    struct DepthGuard
    {
        ~DepthGuard() { --t_categoryHandlerDepth; }
    } guard;
    handler(type, context, message);
}

#ifdef Q_OS_UNIX
// The log folder sits in the shared temporary directory: any user may have made it, or planted a
// link under its name or under the name of a log file. Everything in it is therefore reached
// through descriptors opened without following links, and only a folder in which nobody else
// can delete or replace our entries is used.

constexpr mode_t kLogFileMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP;

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

QString refusalOf(const struct stat &st)
{
    if (!S_ISDIR(st.st_mode))
        return QStringLiteral("it is not a folder");
    // The sticky bit keeps every user to their own files; without it the owner of the folder
    // can delete or replace ours.
    if (st.st_uid != ::geteuid() && !(st.st_mode & S_ISVTX))
        return QStringLiteral("it belongs to another user and has no sticky bit");
    return QString();
}

// Opens a folder below parent (or a path, with AT_FDCWD) when it is fit to hold our files.
// Otherwise the descriptor is invalid and refusal says why; it stays empty when the folder is
// simply missing, which is nobody's doing.
Descriptor openFolderAt(int parent, const QByteArray &name, QString *refusal)
{
    Descriptor dir(::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (dir.get() < 0) {
        const int error = errno;
        if (::fstatat(parent, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            refusal->clear();
        else if (S_ISLNK(st.st_mode))
            *refusal = QStringLiteral("it is a symbolic link");
        else if (!S_ISDIR(st.st_mode))
            *refusal = QStringLiteral("it is not a folder");
        else
            *refusal = QString::fromLocal8Bit(std::strerror(error));
        return dir;
    }
    if (::fstat(dir.get(), &st) != 0)
        *refusal = QString::fromLocal8Bit(std::strerror(errno));
    else
        *refusal = refusalOf(st);
    if (!refusal->isEmpty())
        return Descriptor();
    return dir;
}

Descriptor openLogFolder(const QString &folder, QString *refusal)
{
    Descriptor dir = openFolderAt(AT_FDCWD, QFile::encodeName(folder), refusal);
    struct stat st;
    // A folder of ours from an older version may lack the sticky bit; only its owner can add it.
    if (dir.get() >= 0 && ::fstat(dir.get(), &st) == 0 && st.st_uid == ::geteuid() && !(st.st_mode & S_ISVTX))
        ::fchmod(dir.get(), (st.st_mode & 07777) | S_ISVTX);
    return dir;
}

bool openLogFile(QFile &file, const QString &folder, const QString &baseName, QString *refusal,
                 quint64 *device, quint64 *inode)
{
    const Descriptor dir = openLogFolder(folder, refusal);
    if (dir.get() < 0)
        return false;
    Descriptor fd(::openat(dir.get(), QFile::encodeName(baseName).constData(),
                           O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, kLogFileMode));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    // Request dumps carry the cashier's password: nobody outside the owner's group reads them.
    // Set once when the file is opened, which also closes files left readable by older versions.
    if ((st.st_mode & 0777) != kLogFileMode && st.st_uid == ::geteuid())
        ::fchmod(fd.get(), kLogFileMode);
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags != -1)
        ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    if (!file.open(fd.get(), QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text,
                   QFileDevice::AutoCloseHandle))
        return false;
    fd.release();
    *device = st.st_dev;
    *inode = st.st_ino;
    return true;
}

// Whether the name still leads to the file we hold open: one lstat per entry.
bool sameFileAt(const QByteArray &path, quint64 device, quint64 inode)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0 && quint64(st.st_dev) == device && quint64(st.st_ino) == inode;
}

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
bool openLogFile(QFile &file, const QString &folder, const QString &baseName, QString *refusal, quint64 *, quint64 *)
{
    refusal->clear();
    if (!QFileInfo(folder).isDir())
        return false;
    file.setFileName(folder + QLatin1Char('/') + baseName);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text))
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                        QFileDevice::WriteUser | QFileDevice::ReadGroup | QFileDevice::WriteGroup);
    return true;
}

bool sameFileAt(const QByteArray &path, quint64, quint64)
{
    return QFileInfo::exists(QFile::decodeName(path));
}

class CleanupFolder
{
public:
    static CleanupFolder open(const QString &path) { return CleanupFolder(QFileInfo(path).isDir() ? path : QString()); }
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

} // namespace

LoggerManager::LoggerManager(const QString &name) : name_(name)
{
    reopen();
}

LoggerManager::~LoggerManager()
{
    closeFile();
}

// Called with the logging mutex held, before every entry of a cached writer: the checks of the
// date and of the file's identity are all that an entry costs beyond its writing.
void LoggerManager::reopen()
{
    const Settings &st = settings();
    const qint64 day = st.dailyFiles ? today().toJulianDay() : 0;
    if (!file_ || day != day_ || folder_ != st.logFolder || !fileStillCurrent()) {
        closeFile();
        openFile();
        day_ = day;
        if (file_)
            stream_.reset(new QTextStream(file_.data()));
        else
            stream_.reset(new QTextStream(stderr, QIODevice::ReadWrite));
    }
    QTextCodec *codec = QTextCodec::codecForLocale();
    if (stream_->codec() != codec)
        stream_->setCodec(codec);
}

// A file deleted, moved or replaced (or its folder removed) while we hold it open would swallow
// every later entry: the name must still lead to the very file we write.
bool LoggerManager::fileStillCurrent() const
{
    return sameFileAt(encodedFileName_, device_, inode_);
}

void LoggerManager::openFile()
{
    Settings &st = settings();
    const QString folder = st.logFolder;
    if (folder.isEmpty())
        return;
    const QString name = logFileName(name_);
    QString refusal;
    QScopedPointer<QFile> file(new QFile);
    const bool opened = openLogFile(*file, folder, name.mid(folder.size() + 1), &refusal, &device_, &inode_);
    noteFolderRefusal(folder, refusal);
    if (!opened)
        return;
    file_.swap(file);
    fileName_ = name;
    encodedFileName_ = QFile::encodeName(name);
    folder_ = folder;
}

void LoggerManager::closeFile()
{
    stream_.reset();
    if (file_ && file_->isOpen())
        file_->close();
    file_.reset();
    fileName_.clear();
    encodedFileName_.clear();
    folder_.clear();
    day_ = 0;
    device_ = inode_ = 0;
}

QString LoggerManager::fileName() const
{
    return fileName_;
}

bool LoggerManager::initLog(const QString &folder, unsigned keepDays, bool dailyFiles, QtMsgType minLevel)
{
    if (folder.isEmpty() || keepDays == 0) {
        qInstallMessageHandler(discardMessage);
        return true;
    }
    Locker lock;
    Settings &st = settings();
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    st.dailyFiles = dailyFiles;
    st.folderRefusal.clear(); // every start says once why its folder is not used
    createDirectory(folder, QFileDevice::Permissions(0x7777));
    st.logFolder = folder;
    st.keepDays = keepDays;
    st.minLevel = minLevel;
    if (markerPresent(folder))
        st.logFlags = 0;

    writeBanner(QStringLiteral("initLog"), kInitLogLine, QCoreApplication::translate("LoggerManager", "Start logging"),
                true);

    qInstallMessageHandler(messageHandler);

    if (dailyFiles) {
        // A second start must not leave the first timer running beside the new one.
        disposeCleanupTimer();
        st.cleanupTimer = new QTimer;
        st.cleanupTimer->setInterval(kCleanupIntervalMs);
        QObject::connect(st.cleanupTimer, &QTimer::timeout, startCleanup);
        st.cleanupTimer->start();
        startCleanup();
    }
    return true;
}

bool LoggerManager::initLog(const QString &folder, unsigned keepDays, QtMsgType minLevel)
{
    return initLog(folder, keepDays, true, minLevel);
}

void LoggerManager::releaseLog()
{
    Locker lock;
    Settings &st = settings();
    disposeCleanupTimer();
    st.writers.clear();
    writeBanner(QStringLiteral("releaseLog"), kReleaseLogLine,
                QCoreApplication::translate("LoggerManager", "Stop logging"), false);
    qInstallMessageHandler(nullptr);
}

void LoggerManager::setLogFlags(unsigned flags)
{
    Locker lock;
    Settings &st = settings();
    st.logFlags = flags;
    if (markerPresent(st.logFolder))
        st.logFlags = 0;
}

unsigned LoggerManager::logFlags()
{
    Locker lock;
    return settings().logFlags;
}

void LoggerManager::setKeepFilesOpen(bool keep)
{
    Locker lock;
    settings().keepFilesOpen = keep;
}

bool LoggerManager::keepFilesOpen()
{
    Locker lock;
    return settings().keepFilesOpen;
}

void LoggerManager::setLogName(const QString &name)
{
    Locker lock;
    settings().logName = name;
}

QString LoggerManager::logName()
{
    Locker lock;
    return settings().logName;
}

void LoggerManager::setCleanupFilters(const QStringList &filters)
{
    Locker lock;
    settings().cleanupFilters = filters;
}

QStringList LoggerManager::cleanupFilters()
{
    Locker lock;
    return settings().cleanupFilters;
}

void LoggerManager::setCleanSubfolders(bool clean)
{
    Locker lock;
    settings().cleanSubfolders = clean;
}

bool LoggerManager::cleanSubfolders()
{
    Locker lock;
    return settings().cleanSubfolders;
}

QString LoggerManager::logFolder()
{
    Locker lock;
    return settings().logFolder;
}

unsigned LoggerManager::keepDays()
{
    Locker lock;
    return settings().keepDays;
}

bool LoggerManager::dailyFiles()
{
    Locker lock;
    return settings().dailyFiles;
}

void LoggerManager::addCategoryHandler(const QString &category, const CategoryHandler &handler)
{
    Locker lock;
    auto &handlers = settings().categoryHandlers;
    if (!handlers.contains(category))
        handlers.insert(category, handler);
}

void LoggerManager::removeCategoryHandler(const QString &category)
{
    Locker lock;
    settings().categoryHandlers.remove(category);
}

QMap<QString, LoggerManager::CategoryHandler> LoggerManager::categoryHandlers()
{
    Locker lock;
    return settings().categoryHandlers;
}

void LoggerManager::setCategoryHandlers(const QMap<QString, CategoryHandler> &handlers)
{
    Locker lock;
    settings().categoryHandlers = handlers;
}

void LoggerManager::muteLog()
{
    qInstallMessageHandler(discardMessage);
}

void LoggerManager::setTodayForTests(const QDate &date)
{
    g_todayForTests.store(date.isValid() ? date.toJulianDay() : std::numeric_limits<qint64>::min());
}

void LoggerManager::cleanOldLogs()
{
    QString folder;
    QStringList patterns;
    {
        Locker lock;
        folder = settings().logFolder;
    }
    if (folder.isEmpty())
        return;
    // The folder is checked as the writers check it: a link or a folder open to others is left alone.
    const CleanupFolder dir = CleanupFolder::open(folder);
    if (!dir.isOpen())
        return;
    {
        Locker lock;
        patterns = settings().cleanupFilters;
    }
    patterns << QStringLiteral("*%1.log*").arg(QCoreApplication::applicationName());

    const QDate now = today();
    QStringList names;
    dir.list(&names, nullptr, nullptr);
    for (const QString &name : qAsConst(names)) {
        if (!QDir::match(patterns, name))
            continue;
        const QDate date = QDate::fromString(name.section(QLatin1Char('_'), 0, 0), QStringLiteral("yyyy-MM-dd"));
        if (!date.isValid())
            continue;
        unsigned keep;
        {
            Locker lock;
            keep = settings().keepDays;
        }
        if (now >= date.addDays(keep)) {
            dir.remove(name);
        } else if (date.addDays(1) < now && date.addDays(5) >= now) {
            // Packed logs of the last days are kept for a support request; plain ones are not.
            const QString lower = name.toLower();
            if (!lower.endsWith(QLatin1String(".zip")) && !lower.endsWith(QLatin1String(".gz")))
                dir.remove(name);
        }
    }
    bool sweepAll;
    unsigned keep;
    {
        Locker lock;
        sweepAll = settings().cleanSubfolders;
        keep = settings().keepDays;
    }
    if (sweepAll)
        sweep(dir, keep, now);
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

#ifdef Q_OS_WIN
extern Q_CORE_EXPORT int qt_ntfs_permission_lookup;
#endif

#ifdef Q_OS_UNIX
namespace {
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
