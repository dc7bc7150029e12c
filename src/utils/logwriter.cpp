#include "loggermanager.h"

#include <QCoreApplication>
#include <QTextCodec>

#include <cerrno>
#include <cstring>

#include "logfolder.h"
#include "logsettings.h"

// One instance of LoggerManager is one writer of a day's file: it opens the file through the
// folder's checks (logfolder.h), follows the date and the file's identity before every entry, and
// says once when its file could not be used or written.

using namespace logging;

namespace {

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
