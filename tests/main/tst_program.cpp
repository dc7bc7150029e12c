// The built virta-service program as a user starts it: on a (virtual) display, and without one.
#include <QDate>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "files.h"
#include "otheruser.h"
#include "virtualdisplay.h"

#include <sys/resource.h>
#include <sys/stat.h>

namespace {

const QString ServiceExe = QStringLiteral(VIRTA_SERVICE_EXE);

QProcessEnvironment cleanEnvironment(const QString &tmp)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));
    // The log folder lives under the system temporary directory: a private one per test.
    env.insert(QStringLiteral("TMPDIR"), tmp);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), tmp);
    return env;
}

// Today's log file of the program in `folder`, or an empty string.
QString logFile(const QString &folder)
{
    const QStringList files = QDir(folder).entryList({QStringLiteral("*_ВИРТА СЕРВИС.log")}, QDir::Files);
    return files.isEmpty() ? QString() : QDir(folder).filePath(files.first());
}

QString readAll(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(f.readAll());
}

enum LogPlace { LogFolder, PrivateFolder, StdErr };

// What a planted file or folder is (mode, owner, links, content), to tell that nothing changed.
QString traceOf(const QString &path)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("missing");
    return QStringLiteral("%1 %2 %3 ").arg(st.st_mode, 0, 8).arg(st.st_uid).arg(st.st_nlink) +
           (S_ISREG(st.st_mode) ? readAll(path) : QString());
}

// A file with the content, or a folder for none, with the mode given, handed to `owner` if any.
bool plant(const QString &path, const QByteArray &content, mode_t mode, const OtherUser *owner = nullptr)
{
    const QByteArray name = QFile::encodeName(path);
    QFile f(path);
    const bool made = content.isEmpty() ? ::mkdir(name.constData(), 0700) == 0
                                        : f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
    return made && ::chmod(name.constData(), mode) == 0 && (!owner || owner->own(path));
}

// virta-service on the offscreen platform with its own temporary directory, started under the
// given umask.
struct ServiceRun
{
    QTemporaryDir runtime;
    QProcess program;
    QString err;
    ServiceRun(const QString &tmp, mode_t mask)
    {
        QProcessEnvironment env = cleanEnvironment(tmp);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        program.setProcessEnvironment(env);
        const mode_t saved = ::umask(mask);
        program.start(ServiceExe, QStringList());
        ::umask(saved);
    }
    QString takeErr()
    {
        err += QString::fromLocal8Bit(program.readAllStandardError());
        return err;
    }
    bool stop()
    {
        program.terminate();
        const bool done = program.waitForFinished(15000);
        takeErr();
        return done && program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0;
    }
};

} // namespace

class TestProgram : public QObject
{
    Q_OBJECT

private slots:
    void startsAndLogs_data()
    {
        QTest::addColumn<bool>("folderExists");
        QTest::newRow("first start") << false;
        QTest::newRow("log folder already there") << true;
    }
    void startsAndLogs()
    {
        QFETCH(bool, folderExists);
        VirtualDisplay display;
        if (!display.start())
            QSKIP("Xvfb is not available");

        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString folder = tmp.path() + QStringLiteral("/virta5");
        const QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::ExeOwner | QFileDevice::ReadUser |
                                                   QFileDevice::WriteUser | QFileDevice::ExeUser;
        if (folderExists) {
            QVERIFY(QDir().mkpath(folder));
            QVERIFY(QFile::setPermissions(folder, ownerOnly));
        }

        QProcessEnvironment env = cleanEnvironment(tmp.path());
        env.insert(QStringLiteral("DISPLAY"), display.display());
        QProcess program;
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(ServiceExe, QStringList());
        QVERIFY(program.waitForStarted(10000));

        QTRY_VERIFY_WITH_TIMEOUT(!logFile(folder).isEmpty(), 20000);
        const QString file = logFile(folder);
        QTRY_VERIFY_WITH_TIMEOUT(readAll(file).contains(QLatin1String("Start logging")), 10000);
        QCOMPARE(program.state(), QProcess::Running);

        // Named by the date of the day, and the folder open to every user unless it was there before.
        const QString date = QFileInfo(file).fileName().section(QLatin1Char('_'), 0, 0);
        QVERIFY2(QDate::fromString(date, QStringLiteral("yyyy-MM-dd")).isValid(), qPrintable(file));
        const QFileDevice::Permissions perms = QFileInfo(folder).permissions();
        if (folderExists)
            QCOMPARE(perms & ~ownerOnly, QFileDevice::Permissions());
        else
            QVERIFY(perms.testFlag(QFileDevice::WriteOther) && perms.testFlag(QFileDevice::ExeGroup));

        // SIGTERM ends it the ordinary way: the stop banner is written and the exit code is 0.
        program.terminate();
        QVERIFY(program.waitForFinished(15000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        const QString text = readAll(file);
        QVERIFY2(text.indexOf(QLatin1String("Stop logging")) > text.indexOf(QLatin1String("Start logging")),
                 qPrintable(text));
    }

    // The log folder as other users of the machine may leave it in the shared temporary directory:
    // entries (they carry cashiers' passwords) reach only a file of ours that nobody else can read
    // or swap, nothing planted changes, and a log moved elsewhere is said once on standard error.
    void plantedLogShapes_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<int>("goesTo");
        QTest::newRow("own folder without sticky bit, own private day's file") << "own" << int(LogFolder);
        QTest::newRow("link in place of the folder") << "link" << int(PrivateFolder);
        QTest::newRow("folder of another user") << "foreign" << int(PrivateFolder);
        QTest::newRow("sticky folder of another user, file swapped while running")
            << "foreign sticky" << int(PrivateFolder);
        QTest::newRow("setgid folder of another group") << "setgid" << int(PrivateFolder);
        QTest::newRow("day's file 0666 planted by another user") << "planted file" << int(PrivateFolder);
        QTest::newRow("hard link to a private file of ours") << "hard link" << int(PrivateFolder);
        QTest::newRow("link as the day's file") << "file link" << int(PrivateFolder);
        QTest::newRow("dangling link as the day's file") << "dangling link" << int(PrivateFolder);
        QTest::newRow("fifo as the day's file") << "fifo" << int(PrivateFolder);
        QTest::newRow("private folder taken by another user") << "private taken" << int(StdErr);
    }
    void plantedLogShapes()
    {
        QFETCH(QString, shape);
        QFETCH(int, goesTo);
        const OtherUser *them = &OtherUser::get();
        const bool needsThem = shape.startsWith(QLatin1String("foreign")) || shape == QLatin1String("setgid") ||
                               shape == QLatin1String("planted file") || shape == QLatin1String("private taken");
        if (needsThem && !them->valid())
            QSKIP("only root can plant files of another user");

        QTemporaryDir tmp;
        QCOMPARE(::chmod(QFile::encodeName(tmp.path()).constData(), 01777), 0); // like /tmp
        const QString folder = tmp.path() + QStringLiteral("/virta5");
        const QString mine = folder + QLatin1Char('-') + QString::number(::geteuid());
        const QDate date = QDate::currentDate();
        const auto dated = [&](const QString &in, int age) {
            return in + date.addDays(-age).toString(QStringLiteral("/yyyy-MM-dd")) +
                   QStringLiteral("_ВИРТА СЕРВИС.log");
        };
        const QString day = dated(folder, 0);
        const QString elsewhere = tmp.path() + QStringLiteral("/elsewhere"); // a folder or file of ours
        QStringList untouched{day};                                          // must look the same afterwards
        QString ownOld; // an old file of ours, deleted by the cleanup of a folder in use
        if (shape == QLatin1String("link")) {
            QVERIFY(plant(elsewhere, {}, 01777));
            QVERIFY(plant(dated(elsewhere, 30), "ours, old\n", 0600));
            QVERIFY(QFile::link(elsewhere, folder));
            untouched << elsewhere << dated(elsewhere, 0) << dated(elsewhere, 30);
        } else if (needsThem && shape != QLatin1String("planted file")) {
            const mode_t mode = shape == QLatin1String("setgid") ? 03777 : shape.endsWith("sticky") ? 01777 : 0777;
            QVERIFY(plant(folder, {}, mode, shape == QLatin1String("setgid") ? nullptr : them));
            if (shape == QLatin1String("setgid"))
                QCOMPARE(::lchown(QFile::encodeName(folder).constData(), uid_t(-1), them->gid()), 0);
            QVERIFY(plant(dated(folder, 30), "theirs, old\n", 0600, them));
            if (shape == QLatin1String("private taken"))
                QVERIFY(plant(mine, {}, 0700, them));
            untouched << folder << dated(folder, 30) << (shape == QLatin1String("private taken") ? mine : day);
        } else {
            // Own folders are made open to all with the sticky bit; one without it gets it.
            QVERIFY(plant(folder, {}, shape == QLatin1String("own") ? 0777 : 01777));
            ownOld = dated(folder, 30);
        }
        if (shape == QLatin1String("own")) {
            QVERIFY(plant(day, "ours\n", 0600));
            untouched.clear();
        } else if (shape == QLatin1String("planted file")) {
            QVERIFY(plant(day, "theirs\n", 0666, them));
        } else if (shape == QLatin1String("hard link")) {
            QVERIFY(plant(elsewhere, "private\n", 0600));
            QCOMPARE(::link(QFile::encodeName(elsewhere).constData(), QFile::encodeName(day).constData()), 0);
            untouched << elsewhere;
            // A private folder left open by hand is made the user's alone, and cleaned too.
            QVERIFY(plant(mine, {}, 0755));
            ownOld = dated(mine, 30);
        } else if (shape.endsWith(QLatin1String("file link")) || shape.startsWith(QLatin1String("dangling"))) {
            if (shape == QLatin1String("file link"))
                QVERIFY(plant(elsewhere, "untouched\n", 0600));
            QVERIFY(QFile::link(elsewhere, day));
            untouched << elsewhere;
        } else if (shape == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(day).constData(), 0666), 0);
        }
        if (!ownOld.isEmpty())
            QVERIFY(plant(ownOld, "ours, old\n", 0600));
        QMap<QString, QString> before;
        for (const QString &path : qAsConst(untouched))
            before[path] = traceOf(path);

        ServiceRun run(tmp.path(), shape == QLatin1String("own") ? 002 : 022);
        const QString file = dated(goesTo == LogFolder ? folder : mine, 0);
        const auto logged = [&](const char *text) {
            return (goesTo == StdErr ? run.takeErr() : readAll(file)).contains(QLatin1String(text));
        };
        QTRY_VERIFY_WITH_TIMEOUT(logged("Start logging"), 20000);
        if (shape == QLatin1String("foreign sticky")) {
            // What the folder's owner may do to any file in it: put its own under the day's name.
            QVERIFY(plant(day, "theirs\n", 0666, them));
            before[day] = traceOf(day);
        }
        QVERIFY(run.stop());
        if (QDate::currentDate() != date)
            QSKIP("the date changed while the program ran");

        QVERIFY2(logged("Stop logging"), qPrintable(run.err));
        for (auto it = before.cbegin(); it != before.cend(); ++it)
            QCOMPARE(traceOf(it.key()), it.value());
        QVERIFY(ownOld.isEmpty() || !QFileInfo::exists(ownOld));
        const int warnings = run.err.split(QLatin1Char('\n')).filter(QLatin1String(" is not used: ")).size();
        QCOMPARE(warnings, goesTo == LogFolder ? 0 : 1);
        if (goesTo == LogFolder) {
            QVERIFY(readAll(file).startsWith(QLatin1String("ours\n")));
            QCOMPARE(modeOf(file), mode_t(0600)); // never widened
            QCOMPARE(modeOf(folder), mode_t(01777));
        } else if (goesTo == PrivateFolder) {
            QVERIFY2(run.err.contains(QStringLiteral("go to \"%1\"").arg(mine)), qPrintable(run.err));
            QCOMPARE(modeOf(file), mode_t(0640)); // 0660 as the umask 022 leaves it
            QCOMPARE(modeOf(mine), mode_t(0700));
            QCOMPARE(QFileInfo(mine).ownerId(), ::geteuid());
        } else {
            QVERIFY2(run.err.contains(QLatin1String("go to standard error")), qPrintable(run.err));
        }
    }

    // Past a file size limit a write fails: the program says so and keeps running to its end.
    void survivesFileSizeLimit()
    {
        QTemporaryDir tmp;
        const QString folder = tmp.path() + QStringLiteral("/virta5");
        ServiceRun run(tmp.path(), 022);
        QTRY_VERIFY_WITH_TIMEOUT(readAll(logFile(folder)).contains(QLatin1String("Start logging")), 20000);
        const rlimit limit{rlim_t(QFileInfo(logFile(folder)).size()), RLIM_INFINITY};
        QVERIFY(::prlimit(pid_t(run.program.processId()), RLIMIT_FSIZE, &limit, nullptr) == 0);
        QVERIFY2(run.stop(), qPrintable(run.err));
        QVERIFY2(run.err.contains(QLatin1String("could not be written")), qPrintable(run.err));
        QVERIFY(run.err.contains(QLatin1String("Stop logging")));
    }

    void saysSoWithoutDisplay()
    {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        QProcess program;
        program.setProcessEnvironment(cleanEnvironment(tmp.path()));
        program.start(ServiceExe, QStringList());
        QVERIFY(program.waitForFinished(15000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QVERIFY(program.exitCode() != 0);
        const QString err = QString::fromLocal8Bit(program.readAllStandardError());
        QVERIFY2(err.contains(QLatin1String("no display")), qPrintable(err));
        QVERIFY2(!err.contains(QLatin1String("xcb")), qPrintable(err)); // not Qt's plugin failure
    }
};

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
