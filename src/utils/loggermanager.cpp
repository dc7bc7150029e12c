#include "loggermanager.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSet>
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
#include <vector>

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
    // What this start of logging has said on standard error, so that each thing is said once.
    QSet<QString> said;
    QSet<QString> failingFiles; // files whose last write failed; said again only after a success
    QVector<LoggerManager::Notice> notices;
    LoggerManager::NoticeHandler noticeHandler;
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

// Anyone may make a file in a shared folder: only the user's own marker, or the administrator's,
// switches the user's logging off.
bool markerPresent(const QString &folder)
{
    const QString trimmed = folder.trimmed();
    if (trimmed.isEmpty())
        return false;
    const QString marker = QDir(trimmed).filePath(kMarker);
#ifdef Q_OS_UNIX
    struct stat st;
    return ::lstat(QFile::encodeName(marker).constData(), &st) == 0 && (st.st_uid == ::geteuid() || st.st_uid == 0);
#else
    return QFileInfo::exists(marker);
#endif
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

// Caller holds the lock. Said on standard error and handed to the window, if one listens.
void tell(const LoggerManager::Notice &notice, const QString &text)
{
    Settings &st = settings();
    writeStdErr(text);
    // Kept for a window made later; a bound, as a disk that fails again and again adds one each time.
    if (st.notices.size() < 64)
        st.notices.append(notice);
    if (st.noticeHandler)
        st.noticeHandler(notice);
}

// Caller holds the lock. Said once per start of logging, not at every entry it concerns.
// `refused` says why the file in the log folder is not used; `elsewhere` is where the entries go
// instead, and `alsoRefused` why that did not work either.
void noteMoved(const QString &file, const QString &refused, const QString &elsewhere, const QString &alsoRefused)
{
    const QString text = elsewhere.isEmpty()
                             ? QStringLiteral("%1. %2. Log entries go to standard error.").arg(refused, alsoRefused)
                             : QStringLiteral("%1. Log entries go to \"%2\".").arg(refused, elsewhere);
    Settings &st = settings();
    if (st.said.contains(text))
        return;
    st.said.insert(text);
    LoggerManager::Notice notice;
    notice.kind = LoggerManager::Notice::Moved;
    notice.file = file;
    notice.folder = elsewhere;
    notice.reason = elsewhere.isEmpty() ? refused + QStringLiteral("; ") + alsoRefused : refused;
    tell(notice, text);
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

// The header is built as one string and written with its message at once: this runs for every
// entry, and the stream's own formatting (and the indent manipulator's flush) cost more than the
// entry itself.
QString entryHeader(const LogEntryHeader &h, int messageSize)
{
    QString line;
    line.reserve(128 + h.function.size() + messageSize);
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
    return line;
}

QString entryText(const LogEntryHeader &h, const QString &message)
{
    return entryHeader(h, message.size()) + message + QLatin1Char('\n');
}

void writeBanner(const QString &function, int line, const QString &message, bool leadingRule)
{
    LoggerManager writer(effectiveLogName());
    LogEntryHeader h;
    h.dateInName = settings().dailyFiles;
    h.sourceFile = QStringLiteral(__FILE__);
    h.function = function;
    h.line = line;
    h.type = QtDebugMsg;
    const QString rule =
        leadingRule ? QStringLiteral("\n\n") + QString(80, QLatin1Char('-')) + QLatin1Char('\n') : QString();
    writer.writeEntry(rule + entryText(h, message));
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
                writer->writeEntry(entryText(h, message));
                st.writers.insert(name, writer);
            } else {
                LoggerManager(name).writeEntry(entryText(h, message));
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

#ifdef Q_OS_UNIX
// The log folder sits in the shared temporary directory: any user may have made it, or planted a
// link, a file or a hard link under the name of a log file. Everything in it is therefore reached
// through descriptors opened without following links; a folder is used only when nobody else can
// rename our files in it or give them their group, and a file only when it is a plain file of
// ours with no other name. Whatever fails that goes to a folder of the user's own beside it.

constexpr mode_t kLogFileMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP;
constexpr mode_t kPrivateFolderMode = S_IRWXU;

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
    Descriptor dir = openFolderAt(AT_FDCWD, QFile::encodeName(folder), refusal);
    struct stat st;
    // A folder of ours from an older version may lack the sticky bit; only its owner can add it.
    if (dir.get() >= 0 && ::fstat(dir.get(), &st) == 0 && st.st_uid == ::geteuid() && !(st.st_mode & S_ISVTX))
        ::fchmod(dir.get(), (st.st_mode & 07777) | S_ISVTX);
    return dir;
}

// The folder beside the log folder that only the running user may enter.
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
    Descriptor dir = openFolderAt(AT_FDCWD, name, refusal);
    struct stat st;
    if (dir.get() < 0) {
        if (refusal->isEmpty() && make)
            *refusal = errorText(made != 0 ? makeError : ENOENT);
        return dir;
    }
    if (::fstat(dir.get(), &st) != 0 || st.st_uid != ::geteuid()) {
        *refusal = QStringLiteral("it belongs to another user");
        return Descriptor();
    }
    if (make && (st.st_mode & 07777) != kPrivateFolderMode)
        ::fchmod(dir.get(), kPrivateFolderMode);
    return dir;
}

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

// The log folder (`shared`, made again when it has gone) or the private folder (made when
// missing), and the file `name` in it.
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

// The file in the log folder, or else the same name in the private folder beside it, or else
// none (standard error). Runs again for every file the writer opens, so a file renamed or
// replaced under us meets the same checks as at the start.
void LoggerManager::openFile()
{
    Settings &st = settings();
    const QString folder = st.logFolder;
    if (folder.isEmpty())
        return;
    const QString name = logFileName(name_).mid(folder.size() + 1);
    QString where = folder;
    LogFile f = openLogFile(folder, name, true);
    if (!f.file) {
        const QString elsewhere = privateFolderOf(folder);
        LogFile p = elsewhere.isEmpty() ? LogFile() : openLogFile(elsewhere, name, false);
        where = p.file ? elsewhere : QString();
        noteMoved(folder + QLatin1Char('/') + name, f.refused, where, p.refused);
        f = std::move(p);
        if (!f.file)
            return;
    }
    file_.reset(f.file.release());
    fileName_ = where + QLatin1Char('/') + name;
    encodedFileName_ = QFile::encodeName(fileName_);
    folder_ = folder;
    device_ = f.device;
    inode_ = f.inode;
    lineBreakDue_ = f.endsMidLine;
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
    lineBreakDue_ = false;
}

void LoggerManager::writeEntry(const QString &text)
{
    if (!stream_) // dropped after a failed write
        reopen();
    QTextStream &s = *stream_;
    if (lineBreakDue_)
        s << '\n';
    s << text;
    s.flush();
    if (!file_)
        return;
    Settings &st = settings();
    if (s.status() == QTextStream::Ok) {
        lineBreakDue_ = false;
        if (!st.failingFiles.isEmpty())
            st.failingFiles.remove(fileName_);
        return;
    }
    // A partly written entry sets no error on the file; the call that stopped it left errno.
    const int error = errno;
    const QString reason =
        file_->error() != QFileDevice::NoError ? file_->errorString() : QString::fromLocal8Bit(std::strerror(error));
    const QString name = fileName_;
    // The stream keeps a failed state for good and would keep buffering: both go.
    closeFile();
    if (!st.failingFiles.contains(name)) {
        st.failingFiles.insert(name);
        Notice notice;
        notice.kind = Notice::WriteFailed;
        notice.file = name;
        notice.reason = reason;
        tell(notice, QStringLiteral("Log file \"%1\" could not be written: %2. Entries that cannot be written go to "
                                    "standard error; each next entry tries the file again.")
                         .arg(name, reason));
    }
    writeStdErr(text.endsWith(QLatin1Char('\n')) ? text.chopped(1) : text);
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
    // Every start says once what is wrong with its files.
    st.said.clear();
    st.failingFiles.clear();
    st.notices.clear();
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

void LoggerManager::setNoticeHandler(const NoticeHandler &handler)
{
    Locker lock;
    Settings &st = settings();
    st.noticeHandler = handler;
    if (handler) {
        for (const Notice &notice : qAsConst(st.notices))
            handler(notice);
    }
}

void LoggerManager::setTodayForTests(const QDate &date)
{
    g_todayForTests.store(date.isValid() ? date.toJulianDay() : std::numeric_limits<qint64>::min());
}

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
