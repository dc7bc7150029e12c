#include "loggermanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <cstring>

#include "logentry.h"
#include "logsettings.h"

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

// The logging facade: Qt's message handler, the start and stop of logging, and the settings. The
// writer of a day's file is in logwriter.cpp, the folder's checks in logfolder.cpp, the sweep of
// old files in logcleanup.cpp, the layout of an entry in logentry.cpp.

using namespace logging;

namespace {

const QString kMarker = QStringLiteral("no_more_logs");
constexpr int kCleanupIntervalMs = 24 * 60 * 60 * 1000;
constexpr int kInitLogLine = 110;
constexpr int kReleaseLogLine = 188;

// Depth of category handlers running in this thread: a handler that logs into its own category
// would otherwise call itself without end.
thread_local int t_categoryHandlerDepth = 0;

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

QString effectiveLogName()
{
    const QString &name = settings().logName;
    return name.isEmpty() ? QStringLiteral("log") : name;
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
    if (holdsLock()) {
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

} // namespace

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
    setToday(date);
}
