#pragma once

// Internal to the logging files: the process-wide settings with their one mutex, the clock the
// entries are stamped with, and standard error as the last resort.

#include <QDate>
#include <QMap>
#include <QSet>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QTime>
#include <QVector>

#include <mutex>

#include "loggermanager.h"

class QTimer;

namespace logging {

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
Settings &settings();

// Whether this thread holds the logging mutex. Qt may raise a message while we write (a codec, a
// file operation); the mutex is not recursive, so such a message must not try to take it again.
bool holdsLock();

// Takes the logging mutex unless this thread holds it already.
class Locker
{
public:
    Locker();
    ~Locker() { unlock(); }
    void unlock();
    Locker(const Locker &) = delete;
    Locker &operator=(const Locker &) = delete;

private:
    bool owns_;
};

struct LocalNow
{
    QDate date;
    QTime time;
};

// The local date and time for every entry (see logsettings.cpp for why it is cached).
LocalNow localNow();
// Today, or the day a test fixed (LoggerManager::setTodayForTests).
QDate today();
void setToday(const QDate &date);

// Last resort for messages that cannot go through a writer.
void writeStdErr(const QString &message);

} // namespace logging
