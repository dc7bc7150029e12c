#pragma once

#include <QByteArray>
#include <QDate>
#include <QFile>
#include <QMap>
#include <QScopedPointer>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <functional>

// The dump formatters live beside the logging and are used with it.
#include "hexdump.h"

// Process-wide logging into dated files; one instance of the class is one log writer.
// All settings share one mutex. A Qt message raised in a thread while that thread is inside the
// logging code (a codec or file operation, a category handler logging into its own category) does
// not wait for the mutex again: it goes straight to standard error.
class LoggerManager
{
public:
    using CategoryHandler = std::function<void(QtMsgType, const QMessageLogContext &, const QString &)>;

    explicit LoggerManager(const QString &name);
    virtual ~LoggerManager();

    static bool initLog(const QString &folder, unsigned keepDays, bool dailyFiles, QtMsgType minLevel);
    static bool initLog(const QString &folder, unsigned keepDays, QtMsgType minLevel);
    static void releaseLog();

    static void setLogFlags(unsigned flags);
    static unsigned logFlags();
    static void setKeepFilesOpen(bool keep);
    static bool keepFilesOpen();
    static void setLogName(const QString &name);
    static QString logName();
    static void setCleanupFilters(const QStringList &filters);
    static QStringList cleanupFilters();
    static void setCleanSubfolders(bool clean);
    static bool cleanSubfolders();
    static QString logFolder();
    static unsigned keepDays();
    static bool dailyFiles();

    static void addCategoryHandler(const QString &category, const CategoryHandler &handler);
    static void removeCategoryHandler(const QString &category);
    static QMap<QString, CategoryHandler> categoryHandlers();
    static void setCategoryHandlers(const QMap<QString, CategoryHandler> &handlers);

    static void muteLog();

    // What the operator of a window should learn about the log files: that the entries go to
    // another folder than the log folder (or to standard error), or that a file could not be
    // written. Each is also said once on standard error.
    struct Notice
    {
        enum Kind { Moved, WriteFailed };
        Kind kind = Moved;
        QString file;   // the file that was not used, or that failed
        QString folder; // Moved: where the entries go instead; empty means standard error
        QString reason;
    };
    using NoticeHandler = std::function<void(const Notice &)>;
    // The handler first hears the notices since the last initLog, then each new one as it comes.
    // It is called from any thread with the logging mutex held, so it must only pass the notice
    // on (a queued call); whatever it logs goes to standard error. An empty handler removes it,
    // and no call is under way once that returns.
    static void setNoticeHandler(const NoticeHandler &handler);

    // Deletes old dated files of the log folder and of the private folder beside it; runs on the
    // global thread pool.
    static void cleanOldLogs();
    static void sweepFolder(const QString &folder);

    // Tests fix "today" here; an invalid date means the real local date.
    static void setTodayForTests(const QDate &today);

    // Writers are made and reopened with the logging mutex held (inside the message handler,
    // initLog and releaseLog); reopen switches to the file of the current date.
    void reopen();
    void closeFile();
    QString fileName() const;
    // Writes one whole entry and checks that it reached the file. A failed write is said once,
    // the entry goes to standard error, and the file is dropped: the next entry opens it afresh.
    void writeEntry(const QString &text);

private:
    bool fileStillCurrent() const;
    void openFile();

    QString name_;
    QScopedPointer<QFile> file_;
    QScopedPointer<QTextStream> stream_;
    QString fileName_; // the file is opened by descriptor, so QFile does not know its name
    // What the open file was opened for, and which file it is: every entry checks these before
    // writing, so that a file deleted, moved or replaced under us is noticed and opened anew.
    QString folder_;
    qint64 day_ = 0;
    QByteArray encodedFileName_;
    quint64 device_ = 0;
    quint64 inode_ = 0;
    bool lineBreakDue_ = false; // the file ends inside an entry that failed half way
};

// Creates every missing level of the folder and sets its permissions; an existing
// folder is left as it is. A folder made open to others for writing also gets the sticky bit,
// so that nobody can delete or replace another user's files in it. Returns whether the folder
// exists afterwards.
bool createDirectory(const QString &path, QFileDevice::Permissions permissions);
