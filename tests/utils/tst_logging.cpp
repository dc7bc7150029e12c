#include "loggermanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QTextCodec>
#include <QThread>
#include <QThreadPool>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "files.h"
#include "otheruser.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kApp = QStringLiteral("ВИРТА СЕРВИС");
const QDate kToday(2026, 12, 7);
const QString kIndent = QStringLiteral("\n") + QString(15, QLatin1Char(' '));
const QRegularExpression kTimeStamp(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\\] "));

QtMessageHandler g_testHandler = nullptr;

QString readText(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QTextCodec::codecForLocale()->toUnicode(f.readAll());
}

QString dailyName(const QDate &date, const QString &logger = QStringLiteral("log"))
{
    return date.toString(QStringLiteral("yyyy-MM-dd")) + QLatin1Char('_') + kApp + QLatin1Char('.') + logger;
}

void emitMessage(QtMsgType type, const char *file, int line, const char *function, const char *category,
                 const QString &text)
{
    const QMessageLogContext context(file, line, function, category);
    qt_message_output(type, context, text);
}

// Qt 5.15 sends a message raised inside a message handler to standard error by itself; older
// versions call the handler again. Calling the installed handler directly is what those do.
void deliverDirectly(QtMsgType type, const char *category, const QString &text)
{
    const QtMessageHandler installed = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(installed);
    const QMessageLogContext context(nullptr, 0, nullptr, category);
    installed(type, context, text);
}

QString threadIdText()
{
    return QString::number(reinterpret_cast<quintptr>(QThread::currentThreadId()), 16);
}

// The part of a log file written after the start banner.
QString afterBanner(const QString &content)
{
    const QString start = QStringLiteral("Start logging\n");
    const int at = content.indexOf(start);
    return at < 0 ? QString() : content.mid(at + start.size());
}

// Strips the time stamp in front of an entry, failing when it is not there.
bool stripTimeStamp(QString &entry)
{
    const QRegularExpressionMatch m = kTimeStamp.match(entry);
    if (!m.hasMatch())
        return false;
    entry.remove(0, m.capturedLength());
    return true;
}

// Redirects file descriptor 2 into a temporary file for as long as it lives.
class StdErrCapture
{
public:
    StdErrCapture()
    {
        file_.open();
        std::fflush(stderr);
        saved_ = ::dup(2);
        ::dup2(file_.handle(), 2);
    }
    ~StdErrCapture() { restore(); }
    QString take()
    {
        restore();
        file_.seek(0);
        return QString::fromUtf8(file_.readAll());
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }
    QTemporaryFile file_;
    int saved_ = -1;
};

// Logging into a folder "virta5" of a temporary folder, where the private folder beside it goes
// away with the rest.
struct LogSession
{
    QTemporaryDir base;
    const QString folder = base.path() + QStringLiteral("/virta5");
    explicit LogSession(bool daily = true, unsigned keepDays = 5, QtMsgType minLevel = QtDebugMsg)
    {
        LoggerManager::initLog(folder, keepDays, daily, minLevel);
    }
    ~LogSession() { stop(); }
    void stop()
    {
        if (stopped)
            return;
        stopped = true;
        LoggerManager::releaseLog();
        QThreadPool::globalInstance()->waitForDone();
    }
    QString path(const QString &name) const { return folder + QLatin1Char('/') + name; }
    QString mainFile() const { return path(dailyName(kToday)); }
    QString privateFile() const
    {
        return QStringLiteral("%1-%2/%3").arg(folder).arg(::geteuid()).arg(dailyName(kToday));
    }
    bool stopped = false;
};

int openDescriptorsTo(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    int count = 0;
    const QFileInfoList fds = QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::Files);
    for (const QFileInfo &fd : fds) {
        if (!target.isEmpty() && fd.symLinkTarget() == target)
            ++count;
    }
    return count;
}

// A local code page that complains through Qt's logging whenever it converts: the complaint is
// raised inside the log writer while it holds the logging mutex.
std::atomic<bool> g_codecArmed{false};
class ComplainingCodec : public QTextCodec
{
public:
    QByteArray name() const override { return "x-complaining-utf8"; }
    int mibEnum() const override { return -4711; }

protected:
    QString convertToUnicode(const char *in, int length, ConverterState *) const override
    {
        return QString::fromUtf8(in, length);
    }
    QByteArray convertFromUnicode(const QChar *in, int length, ConverterState *) const override
    {
        if (g_codecArmed.load() && !inside_) {
            inside_ = true;
            deliverDirectly(QtWarningMsg, "default", QStringLiteral("codec complaint"));
            inside_ = false;
        }
        return QString(in, length).toUtf8();
    }

private:
    static thread_local bool inside_;
};
thread_local bool ComplainingCodec::inside_ = false;

} // namespace

class TestLogging : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();

    void entryLayout_data();
    void entryLayout();
    void banners();
    void fileNames_data();
    void fileNames();
    void levelsAndFlags_data();
    void levelsAndFlags();
    void markerStopsMessages_data();
    void markerStopsMessages();
    void mutedModes_data();
    void mutedModes();
    void categoryHandlers();
    void cleanupAges_data();
    void cleanupAges();
    void sweepSubfolders();
    void writerCacheFollowsDate();
    void uncachedWriterClosesFile();
    void threadsNeverInterleave();
    void messageWhileWritingDoesNotDeadlock();
    void writerFollowsItsFile_data();
    void writerFollowsItsFile();
    void failedWriteIsSaidAndRecovers();
    void createDirectoryLevels();
};

void TestLogging::initTestCase()
{
    QCoreApplication::setApplicationName(kApp);
    g_testHandler = qInstallMessageHandler(nullptr);
    cleanup();
}

void TestLogging::cleanup()
{
    QThreadPool::globalInstance()->waitForDone();
    qInstallMessageHandler(g_testHandler);
    LoggerManager::setTodayForTests(QDate());
    LoggerManager::setLogFlags(3);
    LoggerManager::setKeepFilesOpen(true);
    LoggerManager::setLogName(QStringLiteral("log"));
    LoggerManager::setCleanupFilters({});
    LoggerManager::setCleanSubfolders(false);
    LoggerManager::setCategoryHandlers({});
}

void TestLogging::entryLayout_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("line");
    QTest::addColumn<QByteArray>("function");
    QTest::addColumn<QString>("expected"); // after the time stamp; %T is the padded thread id

    const QByteArray src("/home/dev/virta/src/fr/frapi.cpp");
    const QByteArray fn("void FsApi::exec(FsReq, int, int)");
    const QString body = kIndent + "void FsApi::exec(FsReq, int, int)" + kIndent + "No reply\n";
    QTest::newRow("warning, long") << int(QtWarningMsg) << src << 42 << fn
                                   << "WARNING IN:     frapi.cpp                       42   THREAD_ID:    %T" + body;
    QTest::newRow("critical, long") << int(QtCriticalMsg) << src << 7 << fn
                                    << "CRITICAL IN:    frapi.cpp                       7    THREAD_ID:    %T" + body;
    QTest::newRow("debug, long") << int(QtDebugMsg) << src << 12345 << fn
                                 << "INFO IN:        frapi.cpp                       12345THREAD_ID:    %T" + body;
    QTest::newRow("info, long, no label")
        << int(QtInfoMsg) << src << 1 << fn << "frapi.cpp                       1    THREAD_ID:    %T" + body;
    QTest::newRow("long file name and line push right")
        << int(QtWarningMsg) << QByteArray("a_really_long_source_file_name_here.cpp") << 123456 << fn
        << "WARNING IN:     a_really_long_source_file_name_here.cpp123456THREAD_ID:    %T" + body;
    QTest::newRow("file only") << int(QtWarningMsg) << src << 0 << QByteArray()
                               << "WARNING IN:     frapi.cpp                       0    THREAD_ID:    %T" + kIndent +
                                      kIndent + "No reply\n";
    QTest::newRow("warning, short") << int(QtWarningMsg) << QByteArray() << 0 << QByteArray()
                                    << QString("WARNING:  No reply\n");
    QTest::newRow("critical, short") << int(QtCriticalMsg) << QByteArray() << 0 << QByteArray()
                                     << QString("CRITICAL: No reply\n");
    QTest::newRow("debug, short") << int(QtDebugMsg) << QByteArray() << 0 << QByteArray()
                                  << QString("INFO:     No reply\n");
    QTest::newRow("info, short, no label")
        << int(QtInfoMsg) << QByteArray() << 0 << QByteArray() << QString("No reply\n");
    QTest::newRow("line without file is long")
        << int(QtWarningMsg) << QByteArray() << 9 << fn
        << "WARNING IN:     " + QString(32, QLatin1Char(' ')) + "9    THREAD_ID:    %T" + body;
}

void TestLogging::entryLayout()
{
    QFETCH(int, type);
    QFETCH(QByteArray, file);
    QFETCH(int, line);
    QFETCH(QByteArray, function);
    QFETCH(QString, expected);

    LoggerManager::setTodayForTests(kToday);
    LogSession log;
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=true"));
    emitMessage(QtMsgType(type), file.isEmpty() ? nullptr : file.constData(), line,
                function.isEmpty() ? nullptr : function.constData(), "default", QStringLiteral("No reply"));
    log.stop();

    QString entry = afterBanner(readText(log.mainFile()));
    entry = entry.left(entry.indexOf(QStringLiteral("No reply\n")) + 9);
    QVERIFY2(stripTimeStamp(entry), qPrintable(entry));
    QCOMPARE(entry, QString(expected).replace(QStringLiteral("%T"), threadIdText().leftJustified(16)));
}

void TestLogging::banners()
{
    LoggerManager::setTodayForTests(kToday);
    LogSession log;
    log.stop();
    const QString header = QStringLiteral("INFO IN:        loggermanager.cpp               %1  THREAD_ID:    ") +
                           threadIdText().leftJustified(16) + kIndent + QStringLiteral("%2") + kIndent +
                           QStringLiteral("%3\n");

    QString content = readText(log.mainFile());
    const QString rule = QStringLiteral("\n\n") + QString(80, QLatin1Char('-')) + QLatin1Char('\n');
    QVERIFY(content.startsWith(rule));
    content.remove(0, rule.size());
    QVERIFY(stripTimeStamp(content));
    const QString start = header.arg(110).arg(QStringLiteral("initLog"), QStringLiteral("Start logging"));
    QVERIFY2(content.startsWith(start), qPrintable(content));
    content.remove(0, start.size());
    QVERIFY(stripTimeStamp(content));
    QCOMPARE(content, header.arg(188).arg(QStringLiteral("releaseLog"), QStringLiteral("Stop logging")));
}

void TestLogging::fileNames_data()
{
    QTest::addColumn<bool>("daily");
    QTest::addColumn<QString>("logName");
    QTest::addColumn<QByteArray>("category");
    QTest::addColumn<QString>("file");

    QTest::newRow("daily, default") << true << "log" << QByteArray("default") << "2026-12-07_ВИРТА СЕРВИС.log";
    QTest::newRow("daily, category") << true << "log" << QByteArray("qt.network")
                                     << "2026-12-07_ВИРТА СЕРВИС.log.qt.network";
    QTest::newRow("daily, own name") << true << "fr" << QByteArray("default") << "2026-12-07_ВИРТА СЕРВИС.fr";
    QTest::newRow("empty name means log")
        << true << "" << QByteArray("fr.frames") << "2026-12-07_ВИРТА СЕРВИС.log.fr.frames";
    QTest::newRow("no category goes with default") << true << "log" << QByteArray() << "2026-12-07_ВИРТА СЕРВИС.log";
    QTest::newRow("not daily") << false << "log" << QByteArray("default") << "ВИРТА СЕРВИС.log";
    QTest::newRow("not daily, category") << false << "log" << QByteArray("qt.network") << "ВИРТА СЕРВИС.log.qt.network";
}

void TestLogging::fileNames()
{
    QFETCH(bool, daily);
    QFETCH(QString, logName);
    QFETCH(QByteArray, category);
    QFETCH(QString, file);

    LoggerManager::setTodayForTests(kToday);
    LoggerManager::setLogName(logName);
    LogSession log(daily);
    emitMessage(QtWarningMsg, nullptr, 0, nullptr, category.isEmpty() ? nullptr : category.constData(),
                QStringLiteral("routed here"));
    log.stop();

    const QString content = readText(log.path(file));
    QCOMPARE(content.count(QStringLiteral("routed here")), 1);
    // Without the date in the name every entry carries a date line of its own.
    const QString dated = QStringLiteral("[26-12-07]\n");
    const int at = content.indexOf(QStringLiteral("routed here"));
    QVERIFY(at > 0);
    const int lineStart = content.lastIndexOf(QLatin1Char('\n'), at - 1) + 1;
    QCOMPARE(content.mid(lineStart - dated.size(), dated.size()) == dated, !daily);
    for (const QString &other : QDir(log.folder).entryList(QDir::Files)) {
        if (other != file)
            QVERIFY2(!readText(log.path(other)).contains(QStringLiteral("routed here")), qPrintable(other));
    }
}

void TestLogging::levelsAndFlags_data()
{
    QTest::addColumn<int>("minLevel");
    QTest::addColumn<unsigned>("flags");
    QTest::addColumn<QString>("written"); // one letter per type: d w c i

    QTest::newRow("everything") << int(QtDebugMsg) << 3u << "dwci";
    QTest::newRow("from warning up, info passes") << int(QtWarningMsg) << 3u << "wci";
    QTest::newRow("from critical up") << int(QtCriticalMsg) << 1u << "ci";
    QTest::newRow("bit 0 clear") << int(QtDebugMsg) << 2u << "";
    QTest::newRow("flags off") << int(QtDebugMsg) << 0u << "";
}

void TestLogging::levelsAndFlags()
{
    QFETCH(int, minLevel);
    QFETCH(unsigned, flags);
    QFETCH(QString, written);

    LoggerManager::setTodayForTests(kToday);
    LoggerManager::setLogFlags(flags);
    QCOMPARE(LoggerManager::logFlags(), flags);
    LogSession log(true, 5, QtMsgType(minLevel));
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=true"));
    const QPair<QtMsgType, QString> messages[] = {
        {QtDebugMsg, "d"}, {QtWarningMsg, "w"}, {QtCriticalMsg, "c"}, {QtInfoMsg, "i"}};
    for (const auto &m : messages)
        emitMessage(m.first, "x.cpp", 1, "f()", "default", QStringLiteral("message-") + m.second);
    log.stop();

    const QString content = readText(log.mainFile());
    QString found;
    for (const auto &m : messages) {
        if (content.contains(QStringLiteral("message-") + m.second))
            found += m.second;
    }
    QCOMPARE(found, written);
    QVERIFY(content.contains(QStringLiteral("Start logging")));
}

void TestLogging::markerStopsMessages_data()
{
    QTest::addColumn<bool>("own");
    QTest::newRow("own marker") << true;
    // Anyone may make a file in the shared folder; that must not stop everybody's logging.
    QTest::newRow("another user's marker") << false;
}

void TestLogging::markerStopsMessages()
{
    QFETCH(bool, own);
    LoggerManager::setTodayForTests(kToday);
    QTemporaryDir dir;
    const QString marker = dir.filePath(QStringLiteral("no_more_logs"));
    QVERIFY(writeFile(marker, QByteArray()));
    if (!own && !OtherUser::get().own(marker))
        QSKIP("only root can hand a file to another user");

    LoggerManager::setLogFlags(3);
    LoggerManager::initLog(dir.path(), 5, true, QtDebugMsg);
    QCOMPARE(LoggerManager::logFlags(), own ? 0u : 3u);
    qWarning("message one");
    LoggerManager::setLogFlags(3);
    QCOMPARE(LoggerManager::logFlags(), own ? 0u : 3u);
    qWarning("message two");
    LoggerManager::releaseLog();

    const QString content = readText(dir.filePath(dailyName(kToday)));
    QVERIFY(content.contains(QStringLiteral("Start logging")));
    QVERIFY(content.contains(QStringLiteral("Stop logging")));
    QCOMPARE(content.count(QStringLiteral("message ")), own ? 0 : 2);
}

void TestLogging::mutedModes_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("keep days 0") << "keep0";
    QTest::newRow("empty folder") << "nofolder";
    QTest::newRow("muteLog") << "mute";
}

void TestLogging::mutedModes()
{
    QFETCH(QString, how);
    QTemporaryDir dir;
    StdErrCapture err;
    if (how == QLatin1String("keep0"))
        QVERIFY(LoggerManager::initLog(dir.path(), 0, true, QtDebugMsg));
    else if (how == QLatin1String("nofolder"))
        QVERIFY(LoggerManager::initLog(QString(), 5, true, QtDebugMsg));
    else
        LoggerManager::muteLog();
    qWarning("muted warning");
    qCritical("muted critical");
    qInstallMessageHandler(g_testHandler);
    QCOMPARE(err.take(), QString());
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

void TestLogging::categoryHandlers()
{
    LoggerManager::setTodayForTests(kToday);
    QStringList first, second;
    LoggerManager::addCategoryHandler(QStringLiteral("fr.frames"),
                                      [&](QtMsgType, const QMessageLogContext &, const QString &m) { first << m; });
    // A second registration for the same category does not replace the first.
    LoggerManager::addCategoryHandler(QStringLiteral("fr.frames"),
                                      [&](QtMsgType, const QMessageLogContext &, const QString &m) { second << m; });
    // A handler may log itself: into another category normally, into its own without recursion.
    LoggerManager::addCategoryHandler(QStringLiteral("loud"),
                                      [](QtMsgType, const QMessageLogContext &, const QString &m) {
                                          deliverDirectly(QtWarningMsg, "default", QStringLiteral("forwarded ") + m);
                                          deliverDirectly(QtWarningMsg, "loud", QStringLiteral("echo ") + m);
                                      });
    QCOMPARE(QStringList(LoggerManager::categoryHandlers().keys()), (QStringList{"fr.frames", "loud"}));

    LogSession log;
    StdErrCapture err;
    emitMessage(QtWarningMsg, "a.cpp", 1, "f()", "fr.frames", QStringLiteral("frame one"));
    emitMessage(QtWarningMsg, "a.cpp", 1, "f()", "loud", QStringLiteral("shout"));
    LoggerManager::removeCategoryHandler(QStringLiteral("fr.frames"));
    emitMessage(QtWarningMsg, "a.cpp", 1, "f()", "fr.frames", QStringLiteral("frame two"));
    const QString errText = err.take();
    log.stop();

    QCOMPARE(first, QStringList{QStringLiteral("frame one")});
    QCOMPARE(second, QStringList());
    QVERIFY(errText.contains(QStringLiteral("echo shout")));
    const QString main = readText(log.mainFile());
    QVERIFY(main.contains(QStringLiteral("forwarded shout")));
    QVERIFY(!main.contains(QStringLiteral("frame")));
    const QString frames = readText(log.path(dailyName(kToday, QStringLiteral("log.fr.frames"))));
    QVERIFY(!frames.contains(QStringLiteral("frame one")));
    QVERIFY(frames.contains(QStringLiteral("frame two")));
    QVERIFY(!QFileInfo::exists(log.path(dailyName(kToday, QStringLiteral("log.loud")))));
}

void TestLogging::cleanupAges_data()
{
    QTest::addColumn<unsigned>("keepDays");
    QTest::addColumn<QString>("name"); // %D is the date the given number of days before today
    QTest::addColumn<int>("age");
    QTest::addColumn<bool>("kept");

    const QString plain = QStringLiteral("%D_ВИРТА СЕРВИС.log");
    QTest::newRow("5: today") << 5u << plain << 0 << true;
    QTest::newRow("5: yesterday") << 5u << plain << 1 << true;
    QTest::newRow("5: 2 days") << 5u << plain << 2 << false;
    QTest::newRow("5: 4 days, category file") << 5u << plain + ".qt.network" << 4 << false;
    QTest::newRow("5: 2 days zip") << 5u << plain + ".zip" << 2 << true;
    QTest::newRow("5: 4 days GZ") << 5u << plain + ".GZ" << 4 << true;
    QTest::newRow("5: 5 days") << 5u << plain << 5 << false;
    QTest::newRow("5: 5 days zip") << 5u << plain + ".zip" << 5 << false;
    QTest::newRow("5: 40 days") << 5u << plain << 40 << false;
    QTest::newRow("5: future") << 5u << plain << -3 << true;
    QTest::newRow("5: no date") << 5u << QStringLiteral("notes_ВИРТА СЕРВИС.log") << 0 << true;
    QTest::newRow("5: not a date before _") << 5u << QStringLiteral("2026-13-01_ВИРТА СЕРВИС.log") << 0 << true;
    QTest::newRow("5: other application") << 5u << QStringLiteral("%D_other.log") << 40 << true;
    // By age alone: a plain file older than one that was deleted is deleted too.
    QTest::newRow("7: 6 days") << 7u << plain << 6 << false;
    QTest::newRow("7: 6 days zip") << 7u << plain + ".zip" << 6 << true;
    QTest::newRow("7: 5 days") << 7u << plain << 5 << false;
    QTest::newRow("7: 5 days zip") << 7u << plain + ".zip" << 5 << true;
    QTest::newRow("7: 7 days") << 7u << plain << 7 << false;
    QTest::newRow("7: 7 days gz") << 7u << plain + ".gz" << 7 << false;
}

void TestLogging::cleanupAges()
{
    QFETCH(unsigned, keepDays);
    QFETCH(QString, name);
    QFETCH(int, age);
    QFETCH(bool, kept);

    LoggerManager::setTodayForTests(kToday);
    QTemporaryDir dir;
    const QString fileName =
        QString(name).replace(QStringLiteral("%D"), kToday.addDays(-age).toString(QStringLiteral("yyyy-MM-dd")));
    QVERIFY(writeFile(dir.filePath(fileName), QByteArray()));
    QDir(dir.path()).mkdir(QStringLiteral("2020-01-01_ВИРТА СЕРВИС.log.d")); // folders are never deleted

    // The start of logging runs the cleanup on the thread pool.
    LoggerManager::initLog(dir.path(), keepDays, true, QtDebugMsg);
    QThreadPool::globalInstance()->waitForDone();
    LoggerManager::releaseLog();
    QCOMPARE(QFileInfo::exists(dir.filePath(fileName)), kept);
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("2020-01-01_ВИРТА СЕРВИС.log.d"))).isDir());

    // Extra patterns widen what the cleanup looks at.
    const QString extra = kToday.addDays(-30).toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral("_dump.txt");
    QVERIFY(writeFile(dir.filePath(extra), QByteArray()));
    LoggerManager::initLog(dir.path(), keepDays, true, QtDebugMsg);
    QThreadPool::globalInstance()->waitForDone();
    QVERIFY(QFileInfo::exists(dir.filePath(extra)));
    LoggerManager::setCleanupFilters({QStringLiteral("*.txt")});
    LoggerManager::cleanOldLogs();
    LoggerManager::releaseLog();
    QVERIFY(!QFileInfo::exists(dir.filePath(extra)));
}

void TestLogging::sweepSubfolders()
{
    LoggerManager::setTodayForTests(kToday);
    QTemporaryDir dir, outside;
    const auto makeFile = [](const QString &path, int age) {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return false;
        return f.setFileTime(QDateTime(kToday.addDays(-age), QTime(12, 0)), QFileDevice::FileModificationTime);
    };
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("sub/deeper")));
    QVERIFY(makeFile(dir.filePath(QStringLiteral("sub/old.txt")), 5));
    QVERIFY(makeFile(dir.filePath(QStringLiteral("sub/deeper/old")), 9));
    QVERIFY(makeFile(dir.filePath(QStringLiteral("sub/recent.txt")), 4));
    QVERIFY(makeFile(dir.filePath(QStringLiteral("undated notes")), 6));
    QVERIFY(makeFile(outside.filePath(QStringLiteral("precious.txt")), 100));
    QVERIFY(QFile::link(outside.path(), dir.filePath(QStringLiteral("planted"))));

    LoggerManager::setCleanSubfolders(true);
    LoggerManager::initLog(dir.path(), 5, true, QtDebugMsg);
    QThreadPool::globalInstance()->waitForDone();
    LoggerManager::releaseLog();

    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("sub/old.txt"))));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("sub/deeper/old"))));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("undated notes"))));
    QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("sub/recent.txt"))));
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("sub/deeper"))).isDir());
    QVERIFY(QFileInfo::exists(dir.filePath(dailyName(kToday))));
    // The sweep stays inside the log folder: a planted link does not lead it elsewhere.
    QVERIFY(QFileInfo::exists(outside.filePath(QStringLiteral("precious.txt"))));
}

void TestLogging::writerCacheFollowsDate()
{
    const QDate tomorrow = kToday.addDays(1);
    LoggerManager::setTodayForTests(kToday);
    LogSession log;
    qWarning("first day");
    const QString firstFile = log.path(dailyName(kToday));
    QCOMPARE(openDescriptorsTo(firstFile), 1); // kept open between messages

    LoggerManager::setTodayForTests(tomorrow);
    qWarning("second day");
    const QString secondFile = log.path(dailyName(tomorrow));
    QCOMPARE(openDescriptorsTo(firstFile), 0);
    QCOMPARE(openDescriptorsTo(secondFile), 1);
    qWarning("second day again");
    log.stop();
    QCOMPARE(openDescriptorsTo(secondFile), 0);

    const QString first = readText(firstFile);
    const QString second = readText(secondFile);
    QVERIFY(first.contains(QStringLiteral("first day")));
    QVERIFY(!first.contains(QStringLiteral("second day")));
    QCOMPARE(second.count(QStringLiteral("second day")), 2);
    QVERIFY(second.contains(QStringLiteral("Stop logging")));
}

void TestLogging::uncachedWriterClosesFile()
{
    LoggerManager::setTodayForTests(kToday);
    LoggerManager::setKeepFilesOpen(false);
    LogSession log;
    qWarning("one");
    QCOMPARE(openDescriptorsTo(log.mainFile()), 0);
    qWarning("two");
    log.stop();
    const QString content = readText(log.mainFile());
    QVERIFY(content.indexOf(QStringLiteral("one")) < content.indexOf(QStringLiteral("two")));
}

void TestLogging::threadsNeverInterleave()
{
    LoggerManager::setTodayForTests(kToday);
    LogSession log;
    constexpr int perThread = 300;
    QVector<QThread *> threads;
    for (int t = 0; t < 2; ++t) {
        threads << QThread::create([t] {
            for (int i = 0; i < perThread; ++i)
                qWarning("thread %d message %d\ncontinued %d/%d", t, i, t, i);
        });
        threads.last()->start();
    }
    for (QThread *thread : threads) {
        QVERIFY(thread->wait(60000));
        delete thread;
    }
    log.stop();

    const QStringList lines = afterBanner(readText(log.mainFile())).split(QLatin1Char('\n'));
    int entries = 0;
    int i = 0;
    const QRegularExpression message(QStringLiteral("^ {15}thread (\\d) message (\\d+)$"));
    while (i + 3 < lines.size() && !lines.at(i).contains(QStringLiteral("Stop logging")) &&
           !lines.at(i + 1).contains(QStringLiteral("releaseLog"))) {
        QString head = lines.at(i);
        QVERIFY2(stripTimeStamp(head) && head.startsWith(QStringLiteral("WARNING IN:")), qPrintable(head));
        QVERIFY2(lines.at(i + 1).startsWith(QString(15, QLatin1Char(' ')) + "TestLogging::"),
                 qPrintable(lines.at(i + 1)));
        const QRegularExpressionMatch m = message.match(lines.at(i + 2));
        QVERIFY2(m.hasMatch(), qPrintable(lines.at(i + 2)));
        QCOMPARE(lines.at(i + 3), QStringLiteral("continued %1/%2").arg(m.captured(1), m.captured(2)));
        ++entries;
        i += 4;
    }
    QCOMPARE(entries, 2 * perThread);
}

void TestLogging::messageWhileWritingDoesNotDeadlock()
{
    LoggerManager::setTodayForTests(kToday);
    QTextCodec *previous = QTextCodec::codecForLocale();
    auto *codec = new ComplainingCodec; // codecs are owned by Qt once constructed
    LogSession log;
    StdErrCapture err;
    QTextCodec::setCodecForLocale(codec);
    g_codecArmed = true;
    QThread *thread = QThread::create([] { qWarning("written while the codec complains"); });
    thread->start();
    const bool finished = thread->wait(20000);
    g_codecArmed = false;
    QTextCodec::setCodecForLocale(previous);
    const QString errText = err.take();
    if (!finished) {
        // The writer thread holds the logging mutex for good: nothing else can log, so stop here.
        std::fprintf(stderr, "FAIL: the logging mutex was taken twice by one thread\n");
        std::_Exit(1);
    }
    delete thread;
    log.stop();

    QVERIFY(errText.contains(QStringLiteral("codec complaint")));
    QVERIFY(readText(log.mainFile()).contains(QStringLiteral("written while the codec complains")));
}

void TestLogging::writerFollowsItsFile_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("folder removed") << "folder gone";
    QTest::newRow("folder removed and made again") << "folder";
    QTest::newRow("file deleted") << "delete";
    QTest::newRow("file moved away") << "move";
    QTest::newRow("file replaced") << "replace";
    // Opened again, the name meets the same checks as at the start.
    QTest::newRow("file replaced by another user's") << "foreign";
}

void TestLogging::writerFollowsItsFile()
{
    QFETCH(QString, change);
    LoggerManager::setTodayForTests(kToday);
    LogSession log;
    qWarning("before the change");
    const QString file = log.mainFile();
    const QString moved = log.path(QStringLiteral("moved away.txt"));
    if (change.startsWith(QLatin1String("folder"))) {
        // Removed by a cleaner of the temporary directory: the next entry makes it again.
        QVERIFY(QDir(log.folder).removeRecursively());
        if (change == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(log.folder));
    } else if (change == QLatin1String("delete")) {
        QVERIFY(QFile::remove(file));
    } else if (change == QLatin1String("move")) {
        QVERIFY(QFile::rename(file, moved));
    } else {
        const QString replacement = log.path(QStringLiteral("replacement"));
        QVERIFY(writeFile(replacement, "replacement\n"));
        QVERIFY(QFile::setPermissions(replacement, QFileDevice::Permissions(change == "foreign" ? 0x6666 : 0x6644)));
        if (change == QLatin1String("foreign") && !OtherUser::get().own(replacement))
            QSKIP("only root can hand a file to another user");
        QCOMPARE(::rename(QFile::encodeName(replacement).constData(), QFile::encodeName(file).constData()), 0);
    }
    qWarning("first after the change");
    qWarning("second after the change");
    log.stop();

    if (change == QLatin1String("foreign")) {
        QCOMPARE(readText(file), QStringLiteral("replacement\n"));
        QCOMPARE(modeOf(file), mode_t(0666));
        QVERIFY(readText(log.privateFile()).contains(QStringLiteral("second after the change")));
        return;
    }
    const QString content = readText(file);
    QVERIFY2(content.contains(QStringLiteral("first after the change")), qPrintable(content));
    QVERIFY(content.contains(QStringLiteral("second after the change")));
    QVERIFY(content.contains(QStringLiteral("Stop logging")));
    if (change == QLatin1String("move")) {
        const QString old = readText(moved);
        QVERIFY(old.contains(QStringLiteral("before the change")));
        QVERIFY(!old.contains(QStringLiteral("after the change")));
    }
    if (change == QLatin1String("replace")) {
        QVERIFY(content.startsWith(QStringLiteral("replacement\n")));
        // A file of ours found at the name loses what others could read, and gains nothing.
        QCOMPARE(modeOf(file), mode_t(0640));
    }
}

// A full disk or a file size limit: the failure is said once (on standard error and to a window),
// the entries that fail go to standard error, and as soon as the file takes entries again they
// reach it, each whole on its own lines.
void TestLogging::failedWriteIsSaidAndRecovers()
{
    LoggerManager::setTodayForTests(kToday);
    QList<LoggerManager::Notice> notices;
    LogSession log;
    LoggerManager::setNoticeHandler([&](const LoggerManager::Notice &n) { notices << n; });
    // Room for standard error's capture file below the limit set for the log file.
    qWarning("%s", QByteArray(8192, 'x').constData());
    const qint64 size = QFileInfo(log.mainFile()).size();

    struct sigaction ignore = {}, saved = {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &saved);
    rlimit limit;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit lifted = limit;
    limit.rlim_cur = rlim_t(size + 100); // the first entry breaks off half way
    StdErrCapture err;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    for (int i = 1; i <= 3; ++i)
        qWarning("refused entry %d", i);
    ::setrlimit(RLIMIT_FSIZE, &lifted);
    ::sigaction(SIGXFSZ, &saved, nullptr);
    for (int i = 1; i <= 5; ++i)
        qWarning("later entry %d", i);
    const QString errText = err.take();
    LoggerManager::setNoticeHandler({});
    log.stop();

    QCOMPARE(errText.count(QStringLiteral("could not be written")), 1);
    for (int i = 1; i <= 3; ++i)
        QVERIFY2(errText.contains(QStringLiteral("refused entry %1").arg(i)), qPrintable(errText));
    QCOMPARE(notices.size(), 1);
    QCOMPARE(notices.at(0).kind, LoggerManager::Notice::WriteFailed);
    QCOMPARE(notices.at(0).file, log.mainFile());
    const QStringList lines = readText(log.mainFile()).mid(int(size)).split(QLatin1Char('\n'));
    for (int i = 1; i <= 5; ++i) {
        const int at = lines.indexOf(QString(15, QLatin1Char(' ')) + QStringLiteral("later entry %1").arg(i));
        QVERIFY2(at >= 2, qPrintable(lines.join(QLatin1Char('\n'))));
        QString head = lines.at(at - 2);
        QVERIFY2(stripTimeStamp(head) && head.startsWith(QStringLiteral("WARNING IN:")), qPrintable(head));
    }
}

void TestLogging::createDirectoryLevels()
{
    QTemporaryDir dir;
    const QString nested = dir.filePath(QStringLiteral("a/b/virta5"));
    QVERIFY(createDirectory(nested, QFileDevice::Permissions(0x7777)));
    QVERIFY(QFileInfo(nested).isDir());
    // Open to every user, and the sticky bit keeps each of them to their own files.
    QCOMPARE(modeOf(nested), mode_t(01777));

    // A name taken by a link, even one leading nowhere, is left alone.
    const QString dangling = dir.filePath(QStringLiteral("dangling"));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("nowhere")), dangling));
    QVERIFY(!createDirectory(dangling, QFileDevice::Permissions(0x7777)));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("nowhere"))));

    // An existing folder keeps its permissions.
    const QString existing = dir.filePath(QStringLiteral("existing"));
    QVERIFY(QDir().mkdir(existing));
    QVERIFY(QFile::setPermissions(existing, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    QVERIFY(createDirectory(existing, QFileDevice::Permissions(0x7777)));
    QCOMPARE(QFileInfo(existing).permissions() & 0x0777, QFileDevice::Permissions(0x0700));

    // Below a plain file nothing can be made.
    QVERIFY(writeFile(dir.filePath(QStringLiteral("plain")), QByteArray()));
    QVERIFY(!createDirectory(dir.filePath(QStringLiteral("plain/sub")), QFileDevice::Permissions(0x7777)));
}

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
