// The built virta-service program as a user starts it: on a (virtual) display, and without one.
#include <QDate>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString ServiceExe = QStringLiteral(VIRTA_SERVICE_EXE);

// A private X server; Xvfb chooses a free display number and reports it.
class VirtualDisplay
{
public:
    ~VirtualDisplay()
    {
        if (xvfb_.state() != QProcess::NotRunning) {
            xvfb_.terminate();
            if (!xvfb_.waitForFinished(5000))
                xvfb_.kill();
            xvfb_.waitForFinished(2000);
        }
    }
    bool start()
    {
        const QString exe = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (exe.isEmpty())
            return false;
        xvfb_.start(exe, {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
        if (!xvfb_.waitForStarted(5000))
            return false;
        QDeadlineTimer deadline(15000);
        while (!xvfb_.canReadLine() && !deadline.hasExpired() && xvfb_.state() == QProcess::Running)
            xvfb_.waitForReadyRead(200);
        bool ok = false;
        number_ = QString::fromLatin1(xvfb_.readLine()).trimmed().toInt(&ok);
        return ok;
    }
    QString display() const { return QStringLiteral(":%1").arg(number_); }

private:
    QProcess xvfb_;
    int number_ = -1;
};

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
