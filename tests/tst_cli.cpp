// virta-cli as a user or a script meets it: the built program, run through QProcess against a
// substitute register on a real pseudo-terminal.
#include <QtTest>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <csignal>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include "emulatorfixture.h"
#include "frmsg.h"
#include "loadermodel.h"

namespace {

struct Run
{
    int code = -1;
    QString out;
    QString err;
    QJsonDocument json() const { return QJsonDocument::fromJson(out.toUtf8()); }
};

void startCli(QProcess &p, const QStringList &args, const QString &port = QString())
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("VIRTA_PORT"));
    if (!port.isEmpty())
        env.insert(QStringLiteral("VIRTA_PORT"), port);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(VIRTA_CLI_EXE), args);
}

Run finishCli(QProcess &p, int timeoutMs = 30000)
{
    Run r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        r.err = QStringLiteral("did not finish");
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

Run runCli(const QStringList &args, const QString &port = QString(), int timeoutMs = 30000)
{
    QProcess p;
    startCli(p, args, port);
    return finishCli(p, timeoutMs);
}

// The catalogues and settings of a backup, without what differs between two registers anyway.
QJsonObject setup(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QJsonObject o = QJsonDocument::fromJson(f.readAll()).object();
    o.remove(QStringLiteral("identity"));
    o.remove(QStringLiteral("clock"));
    return o;
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT
private slots:
    void refusedInput_data();
    void refusedInput();
    void helpAndVersion();
    void reads_data();
    void reads();
    void statusJson();
    void documents();
    void printing_data();
    void printing();
    void raw();
    void backupRestore();
    void find();
    void firmware();
    void stopSignal();
    void stopTellsWhatHappened_data();
    void stopTellsWhatHappened();
    void secondProgramOnOnePort();
    void decode();

private:
    QTemporaryDir dir_;
};

void TestCli::refusedInput_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("withPort");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message"); // part of the line on stderr

    const QString fifo = dir_.filePath("fifo.signed.img");
    ::mkfifo(QFile::encodeName(fifo).constData(), 0600);
    QFile junk(dir_.filePath("junk.json"));
    if (junk.open(QIODevice::WriteOnly))
        junk.write("{not json");
    junk.close();

    QTest::newRow("no command") << QStringList() << true << 64 << "не указана команда";
    QTest::newRow("unknown command") << QStringList{"fly"} << true << 64 << "неизвестная команда: fly";
    QTest::newRow("unknown option") << QStringList{"--fast", "status"} << true << 64 << "неизвестный параметр";
    QTest::newRow("cashier out of range") << QStringList{"--cashier", "300", "status"} << true << 64 << "кассира";
    QTest::newRow("no port") << QStringList{"status"} << false << 64 << "не указан порт";
    QTest::newRow("extra argument") << QStringList{"status", "now"} << true << 64 << "лишние аргументы";
    QTest::newRow("unknown counters") << QStringList{"counters", "weekly"} << true << 64 << "weekly";
    QTest::newRow("unknown report") << QStringList{"report", "z"} << true << 64 << "неизвестный тип отчета";
    QTest::newRow("shifts without range") << QStringList{"report", "shifts"} << true << 64 << "--shifts";
    QTest::newRow("bad shift range") << QStringList{"report", "--shifts", "1", "x"} << true << 64 << "смен";
    QTest::newRow("bad period") << QStringList{"report", "period", "--dates", "2024-13-01", "2024-12-31"} << true << 64
                                << "неверные даты";
    QTest::newRow("sum with letters") << QStringList{"cash", "in", "10р"} << true << 64 << "неверная сумма";
    QTest::newRow("sum with three decimals") << QStringList{"cash", "out", "1.005"} << true << 64 << "неверная сумма";
    QTest::newRow("zero sum") << QStringList{"cash", "in", "0"} << true << 64 << "неверная сумма";
    QTest::newRow("negative sum") << QStringList{"cash", "in", "-5"} << true << 64 << "неверная сумма";
    QTest::newRow("bad clock") << QStringList{"clock", "--set", "31.12.2024"} << true << 64 << "неверная дата";
    QTest::newRow("copy zero") << QStringList{"copy", "0"} << true << 64 << "copy";
    QTest::newRow("raw odd hex") << QStringList{"raw", "30", "123"} << true << 64 << "шестнадцатеричные";
    QTest::newRow("raw code too big") << QStringList{"raw", "100"} << true << 64 << "raw";
    QTest::newRow("restore missing file")
        << QStringList{"restore", dir_.filePath("none.json")} << true << 66 << "none.json";
    QTest::newRow("restore junk") << QStringList{"restore", junk.fileName()} << true << 66 << "не копия настроек";
    QTest::newRow("firmware missing") << QStringList{"firmware", dir_.filePath("no.img"), "--loader", "/dev/null"}
                                      << true << 66 << "Не найден файл прошивки";
    QTest::newRow("firmware fifo") << QStringList{"firmware", fifo, "--loader", "/dev/null"} << true << 66
                                   << "не является обычным файлом";
    QTest::newRow("firmware without loader") << QStringList{"firmware", fifo} << true << 64 << "--loader";
}

// Whatever is refused is refused before the register hears anything.
void TestCli::refusedInput()
{
    QFETCH(QStringList, args);
    QFETCH(bool, withPort);
    QFETCH(int, code);
    QFETCH(QString, message);
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));

    const Run r = runCli(args, withPort ? emu.devicePath() : QString(), 10000);
    QCOMPARE(r.code, code);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QVERIFY(r.out.isEmpty());
    QVERIFY(emu.requests().isEmpty());
    QVERIFY(emu.loader().commands().isEmpty());
}

void TestCli::helpAndVersion()
{
    const Run help = runCli({"--help"});
    QCOMPARE(help.code, 0);
    // Every command with its arguments and every exit status, for the manual page.
    for (const char *word : {"Usage: virta-cli",
                             "--port",
                             "--cashier",
                             "--password",
                             "--json",
                             "find [ПУТЬ...]",
                             "status",
                             "counters [shift|fiscal|total|departments]",
                             "regdata",
                             "clock",
                             "shift open|close",
                             "cash in|out СУММА",
                             "cancel",
                             "report ТИП",
                             "copy N",
                             "tape",
                             "print ТЕКСТ...",
                             "cut",
                             "backup ФАЙЛ",
                             "restore ФАЙЛ [--dry-run] [--force]",
                             "firmware ОБРАЗ --loader ПОРТ",
                             "raw КОД [ДАННЫЕ]",
                             "Exit status:",
                             "64",
                             "66",
                             "69",
                             "VIRTA_PORT"})
        QVERIFY2(help.out.contains(QString::fromUtf8(word)), word);
    const Run version = runCli({"--version"});
    QCOMPARE(version.code, 0);
    QVERIFY(version.out.startsWith("virta-cli 0."));
}

void TestCli::reads_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("line");
    QTest::newRow("status") << QStringList{"status"} << "ЗН ККТ: 0000012345";
    QTest::newRow("counters") << QStringList{"counters"} << "СМЕННЫЕ ИТОГИ";
    QTest::newRow("counters fiscal") << QStringList{"counters", "fiscal"} << "ИТОГИ С ПОСЛЕДНЕЙ ПЕРЕРЕГИСТРАЦИИ";
    QTest::newRow("counters total") << QStringList{"counters", "total"} << "ГРОСС ИТОГИ";
    QTest::newRow("counters departments") << QStringList{"counters", "departments"} << "  ОТДЕЛ 20: 0";
    QTest::newRow("regdata") << QStringList{"regdata"} << "ИНН: ";
    QTest::newRow("clock set") << QStringList{"clock", "--set", "2031-05-06 07:08:09"} << "2031-05-06 07:08";
}

void TestCli::reads()
{
    QFETCH(QStringList, args);
    QFETCH(QString, line);
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    const Run r = runCli(QStringList{"-p", emu.devicePath()} + args);
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.contains(line), qPrintable(r.out));
    // The renderings are text, not markup.
    QVERIFY(!r.out.contains('<'));
}

void TestCli::statusJson()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    QCOMPARE(runCli({"shift", "open"}, emu.devicePath()).code, 0);
    QCOMPARE(runCli({"cash", "in", "12.5"}, emu.devicePath()).code, 0);
    const Run r = runCli({"--json", "status"}, emu.devicePath());
    QCOMPARE(r.code, 0);
    QVERIFY(r.err.isEmpty());
    const QJsonObject o = r.json().object();
    QCOMPARE(o["factoryNumber"].toString(), QString("0000012345"));
    QVERIFY(!o["firmwareVersion"].toString().isEmpty());
    QVERIFY(o["model"].toInt() > 0);
    QVERIFY(!o["modelName"].toString().isEmpty());
    QCOMPARE(o["activated"].toBool(), true);
    QCOMPARE(o["paper"].toString(), QString("ok"));
    QCOMPARE(o["shiftOpen"].toBool(), true);
    QCOMPARE(o["shiftNumber"].toInt(), 1);
    QCOMPARE(o["cashInDrawer"].toString(), QString("12.50"));

    // Refused input under --json: one document with the status and the reason.
    const Run refused = runCli({"--json", "report", "z"}, emu.devicePath());
    QCOMPARE(refused.code, 64);
    QCOMPARE(refused.json().object()["result"].toInt(), 64);
    QVERIFY(refused.json().object()["error"].toString().startsWith("неизвестный тип отчета"));
}

void TestCli::documents()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    const QString port = emu.devicePath();

    Run r = runCli({"--json", "shift", "open", "--name", "Петров"}, port);
    QCOMPARE(r.code, 0);
    QCOMPARE(r.json().object()["shiftNumber"].toInt(), 1);
    r = runCli({"--json", "cash", "in", "1500,75"}, port);
    QCOMPARE(r.code, 0);
    QCOMPARE(r.json().object()["cashInDrawer"].toString(), QString("1500.75"));
    r = runCli({"cash", "out", "500"}, port);
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.contains("НАЛИЧНЫХ В КАССЕ 1000.75"), qPrintable(r.out));
    // More than the drawer holds: the register's own refusal is the exit status, and a script
    // reading --json still gets one document.
    r = runCli({"--json", "cash", "out", "5000"}, port);
    QVERIFY2(r.code >= 1 && r.code <= 54, qPrintable(r.err));
    QVERIFY(r.err.contains("выплата: ошибка"));
    QCOMPARE(r.json().object()["result"].toInt(), r.code);
    QVERIFY(r.json().object()["error"].toString().startsWith("выплата: ошибка"));
    QCOMPARE(runCli({"shift", "close"}, port).code, 0);
    r = runCli({"shift", "close"}, port);
    QVERIFY2(r.code >= 1 && r.code <= 54, qPrintable(r.err));
    // Nothing was left open by the refused payout.
    QCOMPARE(runCli({"--json", "status"}, port).json().object()["openDocType"].toInt(), 0);
}

void TestCli::printing_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");            // of the command the register received last
    QTest::addColumn<QString>("payloadTail"); // hex, end of that request's payload
    QTest::newRow("x report") << QStringList{"report", "x"} << 0xB1 << "01";
    QTest::newRow("shift range") << QStringList{"report", "--shifts", "1", "2"} << 0xB1 << "0601000200";
    QTest::newRow("period") << QStringList{"report", "period", "--dates", "2024-01-02", "2024-01-03 00:00:01"} << 0xB1
                            << "0500529365"
                               "81a39465";
    QTest::newRow("copy") << QStringList{"copy", "1"} << 0xB2 << "01000000";
    QTest::newRow("tape") << QStringList{"tape"} << 0x3A << "1e000000";
    QTest::newRow("tape from") << QStringList{"tape", "1"} << 0x3A << "01000000";
    QTest::newRow("print") << QStringList{"print", "ТЕСТ"} << 0xC3 << "0000000092859192";
    QTest::newRow("cut") << QStringList{"cut"} << 0xC5 << "";
}

void TestCli::printing()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, payloadTail);
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    const Run r = runCli(QStringList{"-p", emu.devicePath()} + args);
    QVERIFY2(r.code == 0, qPrintable(r.err));
    const EmuRequestRecord last = emu.lastRequest();
    QCOMPARE(int(last.request.code()), code);
    QVERIFY2(last.request.data().toHex().endsWith(payloadTail.toLatin1()), last.request.data().toHex().constData());
}

void TestCli::raw()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    Run r = runCli({"--json", "raw", "0x33"}, emu.devicePath());
    QCOMPARE(r.code, 0);
    QCOMPARE(r.json().object()["result"].toInt(), 0);
    QCOMPARE(r.json().object()["payload"].toString().size(), 6); // three version bytes
    // A command the register does not know: its code, its text, and the same exit status.
    r = runCli({"raw", "7e", "01 02"}, emu.devicePath());
    QVERIFY(r.code >= 1 && r.code <= 54);
    QVERIFY2(r.out.startsWith(QStringLiteral("КОД %1: ").arg(r.code)), qPrintable(r.out));
    QCOMPARE(int(emu.lastRequest().request.code()), 0x7E);
    QCOMPARE(emu.lastRequest().request.data(), QByteArray::fromHex("0102"));
}

void TestCli::backupRestore()
{
    EmulatorFixture first;
    QVERIFY2(first.start(), qPrintable(first.lastError()));
    EmulatorFixture::Options fresh;
    fresh.preset = QStringLiteral("fresh");
    EmulatorFixture second(fresh);
    QVERIFY2(second.start(), qPrintable(second.lastError()));

    // Set the first register apart from a fresh one: a department, a discount, the paper width.
    QByteArray department = QByteArray::fromHex("03") + QByteArray("\x8e\xa2\xae\xe9\xa8", 5);
    department.append(QByteArray(128 - department.size(), '\0'));
    const QString cashierBlock = QStringLiteral("141e000000");
    QCOMPARE(runCli({"raw", "02", cashierBlock + "02" + department.toHex()}, first.devicePath()).code, 0);
    QByteArray discount = QByteArray::fromHex("0201e803000000000000") + QByteArray(128, '\0');
    QCOMPARE(runCli({"raw", "02", cashierBlock + "03" + discount.toHex()}, first.devicePath()).code, 0);
    QCOMPARE(runCli({"raw", "c2", cashierBlock + "013c"}, first.devicePath()).code, 0);

    // Cashier 20, whom the program acts as, gets another password: a restore must still get
    // through the entries it writes after that one.
    const QString before = dir_.filePath("before.json");
    QCOMPARE(runCli({"backup", before}, first.devicePath()).code, 0);
    QByteArray cashier =
        QByteArray::fromHex(setup(before)["cashiers"].toArray().at(19).toObject()["raw"].toString().toLatin1());
    QCOMPARE(cashier.size(), 263);
    cashier.replace(3, 4, QByteArray::fromHex("1f000000"));
    QCOMPARE(runCli({"raw", "02", cashierBlock + "01" + cashier.toHex()}, first.devicePath()).code, 0);

    const QString saved = dir_.filePath("first.json");
    Run r = runCli({"--password", "31", "backup", saved}, first.devicePath());
    QVERIFY2(r.code == 0, qPrintable(r.err));
    const QJsonObject firstSetup = setup(saved);
    QCOMPARE(firstSetup["printer"].toArray().first().toObject()["decoded"].toObject()["paperWidthMm"].toInt(), 60);
    QCOMPARE(firstSetup["departments"].toArray().at(2).toObject()["decoded"].toObject()["name"].toString(),
             QString("Овощи"));

    // Another register's backup needs --force; a dry run only tells.
    second.clearHistory();
    r = runCli({"restore", saved}, second.devicePath());
    QCOMPARE(r.code, 64);
    QVERIFY(r.err.contains("--force"));
    r = runCli({"--json", "restore", saved, "--force", "--dry-run"}, second.devicePath());
    QCOMPARE(r.code, 0);
    const int differences = r.json().object()["differences"].toArray().size();
    QVERIFY(differences >= 3);
    QCOMPARE(second.executionsOf(0x02) + second.executionsOf(0xC2) + second.executionsOf(0x41), 0);

    r = runCli({"--json", "restore", saved, "--force"}, second.devicePath());
    QVERIFY2(r.code == 0, qPrintable(r.err));
    QCOMPARE(r.json().object()["written"].toInt(), differences);
    // Only what differed was written.
    QCOMPARE(second.executionsOf(0x02) + second.executionsOf(0xC2) + second.executionsOf(0x41), differences);

    const QString copy = dir_.filePath("second.json");
    QCOMPARE(runCli({"--password", "31", "backup", copy}, second.devicePath()).code, 0);
    QCOMPARE(setup(copy), firstSetup);
    r = runCli({"--password", "31", "--json", "restore", saved, "--force"}, second.devicePath());
    QCOMPARE(r.json().object()["written"].toInt(), 0);
}

void TestCli::find()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    // Pseudo-terminals with nobody answering on them.
    QStringList args{"--json", "find"};
    QVector<int> masters;
    for (int i = 0; i < 5; ++i) {
        int master = -1, slave = -1;
        char name[128] = {};
        QVERIFY(::openpty(&master, &slave, name, nullptr, nullptr) == 0);
        masters << master << slave;
        args << QString::fromLocal8Bit(name);
        if (i == 2)
            args << emu.devicePath();
    }
    const Run r = runCli(args);
    for (int fd : masters)
        ::close(fd);
    QCOMPARE(r.code, 0);
    const QJsonArray found = r.json().array();
    QCOMPARE(found.size(), 1);
    const QJsonObject o = found.first().toObject();
    QCOMPARE(o["port"].toString(), emu.devicePath());
    QCOMPARE(o["factoryNumber"].toString(), QString("0000012345"));
    QVERIFY(o["model"].toInt() > 0);
    QVERIFY(!o["modelName"].toString().isEmpty());
    QVERIFY(!o["firmwareVersion"].toString().isEmpty());

    // Nobody at all answers: a script hears it.
    QCOMPARE(runCli({"find", "/dev/null"}).code, 69);
}

void TestCli::firmware()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    QFile image(dir_.filePath("new.signed.img"));
    QVERIFY(image.open(QIODevice::WriteOnly));
    const QByteArray signedImage = emu::signedimage::sign(QByteArray(2500, 'x'));
    image.write(signedImage);
    image.close();

    Run r = runCli({"firmware", image.fileName(), "--loader", emu.loaderPath()}, QString(), 60000);
    QVERIFY2(r.code == 0, qPrintable(r.err));
    // Not a terminal: plain progress lines, ending with the whole image.
    QVERIFY2(r.out.contains(QStringLiteral("передано %1 из %1 байт (100%)").arg(image.size())), qPrintable(r.out));
    QCOMPARE(emu.loader().installedImage(), signedImage);
    QVERIFY(emu.loader().commands().mid(emu.loader().commands().size() - 2) == (QVector<quint8>{0x02, 0x03}));

    // A damaged image: the loader's refusal is the exit status.
    QVERIFY(image.open(QIODevice::WriteOnly));
    image.write(QByteArray(1500, 'y'));
    image.close();
    r = runCli({"firmware", image.fileName(), "--loader", emu.loaderPath()}, QString(), 60000);
    QVERIFY(r.code != 0 && r.code != 64 && r.code != 66 && r.code != 69);
    QVERIFY(r.err.contains("ОШИБКА"));
    QCOMPARE(runCli({"firmware", image.fileName(), "--loader", "/nonexistent/tty"}).code, 69);
}

// A stop while the register keeps silent: the request in flight gets its time-outs (and the repeat
// request), no further request leaves, and the program ends saying what happened.
void TestCli::stopSignal()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    emu.addFault(EmuFault::Silent);
    QProcess p;
    p.start(QStringLiteral(VIRTA_CLI_EXE), {"-p", emu.devicePath(), "status"});
    QVERIFY(p.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(!emu.requests().isEmpty(), 5000);
    ::kill(pid_t(p.processId()), SIGTERM);
    const Run r = finishCli(p, 15000);
    QCOMPARE(r.code, 128 + SIGTERM);
    QVERIFY2(r.err.contains(QStringLiteral("остановка")), qPrintable(r.err));
    QVERIFY2(r.err.contains(QStringLiteral("ошибка 253")), qPrintable(r.err)); // silence, not garbage
    QVERIFY2(r.err.contains(QStringLiteral("прервано")), qPrintable(r.err));
    QCOMPARE(emu.requests().size(), 1);

    // The first stop waits for the exchange in flight; a second one is the user insisting.
    p.start(QStringLiteral(VIRTA_CLI_EXE), {"-p", emu.devicePath(), "tape"});
    QVERIFY(p.waitForStarted());
    QTest::qWait(300);
    ::kill(pid_t(p.processId()), SIGTERM);
    QTest::qWait(200);
    QCOMPARE(p.state(), QProcess::Running);
    ::kill(pid_t(p.processId()), SIGTERM);
    QVERIFY(p.waitForFinished(1500));
    QCOMPARE(p.exitStatus(), QProcess::CrashExit);
}

void TestCli::stopTellsWhatHappened_data()
{
    QTest::addColumn<int>("held"); // the request whose reply is held back when the stop comes
    QTest::newRow("during the completion") << 2;
    QTest::newRow("during the start") << 1;
}

// Ctrl-C in the middle of a document: the exchange in flight runs to its end. Its completion came
// back: the document is reported, with its number, and then the stop. Only its start did: the
// completion is not sent, the open document is cancelled, and the register is left as it was.
void TestCli::stopTellsWhatHappened()
{
    QFETCH(int, held);
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    const QString port = emu.devicePath();
    emu.addFault(EmuFault::DelayReply, held, 1000);
    QProcess p;
    startCli(p, {"--json", "shift", "open", "--name", "Петров"}, port);
    QTRY_COMPARE_WITH_TIMEOUT(emu.requests().size(), held, 10000);
    ::kill(pid_t(p.processId()), SIGINT);
    const Run r = finishCli(p);
    QCOMPARE(r.code, 128 + SIGINT);
    QVERIFY2(r.err.contains(QStringLiteral("прервано")), qPrintable(r.err));
    const QJsonObject o = r.json().object();
    QCOMPARE(o["stopped"].toString(), QStringLiteral("SIGINT"));

    const QJsonObject st = runCli({"--json", "status"}, port).json().object();
    QCOMPARE(st["openDocType"].toInt(), 0);
    if (held == 2) {
        QCOMPARE(o["shiftNumber"].toInt(), 1);
        QCOMPARE(o["fd"].toInt(), st["lastDocNumber"].toInt());
        QCOMPARE(st["shiftOpen"].toBool(), true);
        QCOMPARE(emu.executionsOf(0x06), 0);
    } else {
        QCOMPARE(o["result"].toInt(), 128 + SIGINT);
        QCOMPARE(o["documentCancelled"].toBool(), true);
        QVERIFY2(r.err.contains(QStringLiteral("открытый документ отменен")), qPrintable(r.err));
        QCOMPARE(emu.executionsOf(0x12), 0);
        QCOMPARE(st["shiftOpen"].toBool(), false);
    }
}

// Two programs on one port: while the first one's command runs, the second is refused at once and
// sends nothing, naming the first; with --wait it waits and then runs.
void TestCli::secondProgramOnOnePort()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    const QString port = emu.devicePath();
    emu.addFault(EmuFault::DelayReply, 1, 1500);
    QProcess first;
    startCli(first, {"shift", "open", "--name", "Петров"}, port);
    QTRY_COMPARE_WITH_TIMEOUT(emu.requests().size(), 1, 10000);
    const Run refused = runCli({"status"}, port, 10000);
    QCOMPARE(refused.code, 75);
    QVERIFY2(refused.err.contains(QStringLiteral("Порт занят: %1 (процесс %2)").arg(port).arg(first.processId())),
             qPrintable(refused.err));
    QCOMPARE(finishCli(first).code, 0);
    QCOMPARE(emu.requests().size(), 2); // the first's start and completion, nothing of the second

    emu.addFault(EmuFault::DelayReply, 1, 1000);
    startCli(first, {"shift", "close", "--name", "Петров"}, port);
    QTRY_COMPARE_WITH_TIMEOUT(emu.requests().size(), 3, 10000);
    const Run waited = runCli({"--json", "--wait", "20", "status"}, port);
    QCOMPARE(finishCli(first).code, 0);
    QCOMPARE(waited.code, 0);
    // It ran once the first had finished: the shift closed, no document left open.
    QCOMPARE(waited.json().object()["shiftOpen"].toBool(), false);
    QCOMPARE(waited.json().object()["openDocType"].toInt(), 0);
}

void TestCli::decode()
{
    // Hex text as an engineer pastes it, a request and its reply; and the refusals.
    const QByteArray request = FsReq(0x30).rawData();
    QTemporaryFile hex;
    QVERIFY(hex.open());
    hex.write("> " + request.toHex(' ') + "\n< 04 05 00 00 01 00 00 00 00 00\n");
    hex.close();
    Run r = runCli({"decode", hex.fileName()});
    QCOMPARE(r.code, 0);
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines.at(0).startsWith(QStringLiteral("→ 0x30 Состояние ККТ")), qPrintable(lines.at(0)));
    QVERIFY2(lines.at(1).startsWith(QStringLiteral("←")), qPrintable(lines.at(1)));
    r = runCli({"--json", "decode", hex.fileName()});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.json().array().size(), 2);
    r = runCli({"decode", dir_.filePath("none.log")});
    QCOMPARE(r.code, 66);
    QVERIFY2(r.err.contains(QStringLiteral("none.log")), qPrintable(r.err));
    QCOMPARE(runCli({"decode", "a", "b"}).code, 64);
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
