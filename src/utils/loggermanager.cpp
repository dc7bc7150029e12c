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

#include <atomic>
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>

#ifdef Q_OS_UNIX
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

QString hexByte(char byte)
{
    static const char digits[] = "0123456789abcdef";
    const auto b = static_cast<unsigned char>(byte);
    QString s(2, QLatin1Char('0'));
    s[0] = QLatin1Char(digits[b >> 4]);
    s[1] = QLatin1Char(digits[b & 0x0f]);
    return s;
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
        const QByteArray row = bytes.mid(offset, kBytesPerRow);
        QString line;
        line.reserve(kHexColumnWidth + row.size());
        for (int i = 0; i < row.size(); ++i) {
            line += hexByte(row.at(i));
            line += QLatin1Char(' ');
            if (i == 7 || i == 15)
                line += QLatin1String("   ");
        }
        line += QString(rowPadding(row.size()), QLatin1Char(' '));
        line += decoder->toUnicode(printableRow(row));
        s << line;
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
        const QByteArray row = bytes.mid(offset, kBytesPerRow);
        for (int i = 0; i < row.size(); ++i) {
            d << hexByte(row.at(i));
            if (i == 7 || i == 15)
                d << QStringLiteral("  ");
        }
        // Each piece is followed by the stream's own space, so a gap of k columns is k - 1 spaces.
        const int padding = rowPadding(row.size());
        if (padding > 0)
            d << QString(padding - 1, QLatin1Char(' '));
        d << decoder->toUnicode(printableRow(row));
    }
    return d;
}

// ---------------------------------------------------------------------------
// Logging
// ---------------------------------------------------------------------------

namespace {

const QString kMarker = QStringLiteral("no_more_logs");
const QString kDefaultCategory = QStringLiteral("default");
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
};

// Never destroyed: a message raised by a late static destructor must still find a live mutex.
Settings &settings()
{
    static Settings *s = new Settings;
    return *s;
}

std::atomic<qint64> g_todayForTests{std::numeric_limits<qint64>::min()};

QDate today()
{
    const qint64 jd = g_todayForTests.load();
    return jd == std::numeric_limits<qint64>::min() ? QDate::currentDate() : QDate::fromJulianDay(jd);
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
QString field(const QString &text, int width)
{
    return text.leftJustified(width, QLatin1Char(' '), false);
}

void writeEntryHeader(QTextStream &s, const LogEntryHeader &h)
{
    if (!h.dateInName)
        s << '[' << today().toString(QStringLiteral("yy-MM-dd")) << ']' << '\n';
    s << QTime::currentTime().toString(QStringLiteral("[hh:mm:ss.zzz] "));
    if (h.line == 0 && h.sourceFile.isEmpty()) {
        const QString label = shortLabel(h.type);
        if (!label.isEmpty())
            s << field(label, 10);
    } else {
        const QString label = longLabel(h.type);
        if (!label.isEmpty())
            s << field(label, 16);
        const auto threadId = reinterpret_cast<quintptr>(QThread::currentThreadId());
        s << field(QFileInfo(h.sourceFile).fileName(), 32) << field(QString::number(h.line), 5)
          << field(QStringLiteral("THREAD_ID:"), 14) << field(QString::number(threadId, 16), 16) << indent << h.function
          << indent;
    }
    s.setFieldWidth(0);
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
            const QString category = context.category ? QString::fromLatin1(context.category) : QString();
            // A message without a category belongs with the default ones, not in a file named "log.".
            if (!category.isEmpty() && category != kDefaultCategory)
                name += QLatin1Char('.') + category;

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
// The log folder sits in the shared temporary directory: anyone may plant a link there under
// the name of a log file. The name is opened without following links and must be a plain file.
bool openLogFile(QFile &file, const QString &name)
{
    const int fd = ::open(QFile::encodeName(name).constData(),
                          O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0664);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

void setLogFilePermissions(QFile &file)
{
    ::fchmod(file.handle(), S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP | S_IROTH);
}
#else
bool openLogFile(QFile &file, const QString &name)
{
    file.setFileName(name);
    return file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text);
}

void setLogFilePermissions(QFile &file)
{
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                        QFileDevice::WriteUser | QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                        QFileDevice::ReadOther);
}
#endif

} // namespace

LoggerManager::LoggerManager(const QString &name) : name_(name)
{
    reopen();
}

LoggerManager::~LoggerManager()
{
    closeFile();
}

// Called with the logging mutex held.
void LoggerManager::reopen()
{
    const QString folder = settings().logFolder;
    if (!folder.isEmpty() && QFileInfo(folder).isDir()) {
        const QString name = logFileName(name_);
        if (file_ && fileName_ != name)
            closeFile();
        if (!file_) {
            file_.reset(new QFile);
            fileName_ = name;
        }
        if (file_->isOpen() || openLogFile(*file_, fileName_)) {
            setLogFilePermissions(*file_);
        } else {
            file_.reset();
            fileName_.clear();
        }
    }
    stream_.reset();
    if (file_ && file_->isOpen())
        stream_.reset(new QTextStream(file_.data()));
    else
        stream_.reset(new QTextStream(stderr, QIODevice::ReadWrite));
    stream_->setCodec(QTextCodec::codecForLocale());
}

void LoggerManager::closeFile()
{
    stream_.reset();
    if (file_ && file_->isOpen())
        file_->close();
    file_.reset();
    fileName_.clear();
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
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        return;
    {
        Locker lock;
        patterns = settings().cleanupFilters;
    }
    patterns << QStringLiteral("*%1.log*").arg(QCoreApplication::applicationName());

    QDir dir(folder);
    const QDate now = today();
    const QStringList names = dir.entryList(patterns, QDir::Files, QDir::Name);
    for (const QString &name : names) {
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
    bool sweep;
    {
        Locker lock;
        sweep = settings().cleanSubfolders;
    }
    if (sweep)
        sweepFolder(folder);
}

void LoggerManager::sweepFolder(const QString &folder)
{
    QDir dir(folder);
    const QDate now = today();
    unsigned keep;
    {
        Locker lock;
        keep = settings().keepDays;
    }
    const QFileInfoList files =
        dir.entryInfoList({QStringLiteral("*"), QStringLiteral("*.*")}, QDir::Files | QDir::Hidden);
    for (const QFileInfo &info : files) {
        const QDate modified = info.lastModified().date();
        if (modified.isValid() && now >= modified.addDays(keep))
            QFile::remove(info.filePath());
    }
    // A link planted in the shared folder must not lead the sweep into somebody else's files.
    const QFileInfoList dirs = dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks);
    for (const QFileInfo &info : dirs)
        sweepFolder(info.filePath());
}

#ifdef Q_OS_WIN
extern Q_CORE_EXPORT int qt_ntfs_permission_lookup;
#endif

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
