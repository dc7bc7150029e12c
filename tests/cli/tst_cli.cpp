// virta-cli as a user or a script meets it: the built program, run through QProcess against a
// substitute register on a real pseudo-terminal.
#include <QtTest>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <algorithm>
#include <csignal>
#include <functional>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include "emulatorfixture.h"
#include "files.h"
#include "frmsg.h"
#include "loadermodel.h"
#include "portholder.h"

namespace {

struct Run
{
    int code = -1;
    QString out;
    QString err;
    QJsonDocument json() const { return QJsonDocument::fromJson(out.toUtf8()); }
};

// How a run is started besides its arguments.
struct Start
{
    QString port;
    int timeoutMs = 30000;
    QMap<QString, QString> env;
    QString workDir;
    QString stdoutFile;
    QByteArray input; // standard input, closed after it
};

void startCli(QProcess &p, const QStringList &args, const Start &how)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"VIRTA_PORT", "VIRTA_PASSWORD"})
        env.remove(QLatin1String(name));
    if (!how.port.isEmpty())
        env.insert(QStringLiteral("VIRTA_PORT"), how.port);
    for (auto it = how.env.begin(); it != how.env.end(); ++it)
        env.insert(it.key(), it.value());
    p.setProcessEnvironment(env);
    if (!how.workDir.isEmpty())
        p.setWorkingDirectory(how.workDir);
    if (!how.stdoutFile.isEmpty())
        p.setStandardOutputFile(how.stdoutFile);
    p.start(QStringLiteral(VIRTA_CLI_EXE), args);
    p.write(how.input);
    p.closeWriteChannel();
}

void startCli(QProcess &p, const QStringList &args, const QString &port = QString())
{
    Start how;
    how.port = port;
    startCli(p, args, how);
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

Run runCli(const QStringList &args, const Start &how)
{
    QProcess p;
    startCli(p, args, how);
    return finishCli(p, how.timeoutMs);
}

Run runCli(const QStringList &args, const QString &port = QString(), int timeoutMs = 30000)
{
    Start how;
    how.port = port;
    how.timeoutMs = timeoutMs;
    return runCli(args, how);
}

// The catalogues and settings of a backup, without what differs between two registers anyway.
QJsonObject setup(const QString &path)
{
    QJsonObject o = QJsonDocument::fromJson(readFile(path)).object();
    o.remove(QStringLiteral("identity"));
    o.remove(QStringLiteral("clock"));
    return o;
}

// Cashier 1 with the right to receipts only, password 5.
void cashierWithoutRights(const QString &port)
{
    QByteArray cashier = QByteArray::fromHex("01"
                                             "0100"
                                             "05000000") +
                         QByteArray("KASSIR");
    cashier.append(QByteArray(263 - cashier.size(), '\0'));
    const Run r = runCli({"raw", "02", "141e00000001" + cashier.toHex()}, port);
    QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
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
    void receipt_data();
    void receipt();
    void receiptCancelled_data();
    void receiptCancelled();
    void argumentPositions_data();
    void argumentPositions();
    void jsonErrors_data();
    void jsonErrors();
    void printing_data();
    void printing();
    void raw();
    void backupRestore();
    void backupFile();
    void restoreChecks();
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
    const QString junk = dir_.filePath("junk.json");
    writeFile(junk, "{not json");

    QTest::newRow("no command") << QStringList() << true << 64 << "не указана команда";
    QTest::newRow("unknown command") << QStringList{"fly"} << true << 64 << "неизвестная команда: fly";
    QTest::newRow("unknown option") << QStringList{"--fast", "status"} << true << 64 << "неизвестный параметр";
    QTest::newRow("cashier out of range") << QStringList{"--cashier", "300", "status"} << true << 64 << "кассира";
    QTest::newRow("no port") << QStringList{"status"} << false << 64 << "не указан порт";
    QTest::newRow("extra argument") << QStringList{"status", "now"} << true << 64 << "лишние аргументы";
    QTest::newRow("unknown counters") << QStringList{"counters", "weekly"} << true << 64 << "weekly";
    QTest::newRow("unknown report") << QStringList{"report", "zz"} << true << 64 << "неизвестный тип отчета";
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
    QTest::newRow("restore junk") << QStringList{"restore", junk} << true << 65 << "не копия настроек";
    QTest::newRow("restore fifo") << QStringList{"restore", fifo} << true << 66 << "не обычный файл";
    const QString huge = dir_.filePath("huge.json");
    writeFile(huge, QByteArray(2 * 1024 * 1024, ' ') + "{}");
    QTest::newRow("restore too large") << QStringList{"restore", huge} << true << 65 << "больше";
    QTest::newRow("decode without frames") << QStringList{"decode", junk} << false << 65 << "кадров не найдено";

    // Options stand anywhere before "--"; what the command does not know is refused, not printed.
    QTest::newRow("unknown option after command") << QStringList{"status", "--bogus"} << true << 64 << "--bogus";
    QTest::newRow("unknown option is not printed")
        << QStringList{"print", "--bogus", "ТЕКСТ"} << true << 64 << "неизвестный параметр: --bogus";
    QTest::newRow("option without its value")
        << QStringList{"status", "--cashier"} << true << 64 << "--cashier без значения";
    QTest::newRow("password twice") << QStringList{"--password", "1", "--password-file", junk, "status"} << true << 64
                                    << "вместе";
    QTest::newRow("name outside CP866") << QStringList{"shift", "open", "--name", "Иванов😀"} << true << 64 << "CP866";
    QTest::newRow("name too long") << QStringList{"shift", "open", "--name", QString(256, QChar(0x0410))} << true << 64
                                   << "длиннее 255";
    QTest::newRow("printed text outside CP866") << QStringList{"print", "€"} << true << 64 << "CP866";
    QTest::newRow("shifts reversed") << QStringList{"report", "--shifts", "5", "1"} << true << 64 << "обратном порядке";
    QTest::newRow("dates reversed") << QStringList{"report", "period", "--dates", "2024-02-01", "2024-01-01T10:00:00"}
                                    << true << 64 << "обратном порядке";

    // A receipt is checked whole before the first byte goes out.
    const QString bread = QStringLiteral("Хлеб;45.50;2");
    const QList<QPair<QStringList, QString>> receipts{
        {{}, "нет позиций"},
        {{"--item", "Хлеб"}, "НАИМЕНОВАНИЕ;ЦЕНА"},
        {{"--item", "Хлеб;1.005"}, "неверная цена"},
        {{"--item", "Хлеб;10;0"}, "неверное количество"},
        {{"--item", "Хлеб;10;1;21"}, "неверный отдел"},
        {{"--item", "Хлеб;10;1;1;6"}, "неверный налог"},
        {{"--item", QString(129, QChar(0x0425)) + ";10"}, "длиннее 128"},
        {{"--item", "Хлеб😀;10"}, "CP866"},
        {{"--item", bread, "--text", QString(257, QLatin1Char('x'))}, "длиннее 256"},
        {{"--item", bread, "--name", QString(256, QLatin1Char('x'))}, "длиннее 255"},
        {{"--item", bread, "--cash", "90"}, "меньше итога"},
        {{"--item", bread, "--cash", "50", "--card", "100"}, "картой"},
        {{"--item", bread, "--type", "sale-return", "--cash", "100"}, "сдача"},
        {{"--item", bread, "--type", "gift"}, "тип чека"},
        {{"--item", bread, "--cash", "1e3"}, "неверная сумма --cash"},
        {{junk, "--item", bread}, "либо"},
    };
    for (const auto &r : receipts)
        QTest::newRow(qPrintable("receipt: " + r.second))
            << (QStringList{"receipt"} + r.first) << true << 64 << r.second;
    const QList<QPair<QByteArray, QString>> files{
        {"[1]", "объектом"},
        {R"({"items": [{"name": "Хлеб", "price": "10"}], "payment": {}})", "неизвестное поле \"payment\""},
        {R"({"items": [{"name": "Хлеб", "price": 10.005}]})", "неверная цена"},
        {R"({"items": [{"name": "Хлеб", "price": "10", "discount": "1", "discountNumber": 1}]})", "вместе"},
        {R"({"items": [{"name": "Хлеб", "price": "10", "discount": "10.01"}]})", "больше стоимости"},
        {R"({"items": [{"name": "Хлеб", "price": "10"}, {"price": "5"}]})", "позиция 2: нет наименования"},
        {R"({"items": [{"name": "Хлеб", "price": "10", "section": 1.5}]})", "неверный отдел"},
    };
    for (int i = 0; i < files.size(); ++i) {
        const QString f = dir_.filePath(QStringLiteral("receipt%1.json").arg(i));
        writeFile(f, files.at(i).first);
        QTest::newRow(qPrintable("receipt file: " + files.at(i).second))
            << QStringList{"receipt", f} << true << 65 << files.at(i).second;
    }
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
                             "find [ПУТЬ|АДРЕС...]",
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
                             "receipt [ФАЙЛ|-]",
                             "--password-file",
                             "Exit status:",
                             "64 ",
                             "65 ",
                             "66 ",
                             "69 ",
                             "74 ",
                             "76 ",
                             "VIRTA_PORT",
                             "VIRTA_PASSWORD"})
        QVERIFY2(help.out.contains(QString::fromUtf8(word)), word);
    // Each command's own help, wherever --help stands, and whatever else the line holds.
    const QStringList commands{"find",    "status",  "counters", "regdata", "clock", "shift", "cash",
                               "receipt", "cancel",  "report",   "copy",    "tape",  "print", "cut",
                               "backup",  "restore", "firmware", "raw",     "decode"};
    for (const QString &command : commands) {
        const Run own = runCli({command, "--help"});
        QCOMPARE(own.code, 0);
        QVERIFY2(own.out.startsWith(QStringLiteral("Usage: virta-cli [ПАРАМЕТРЫ] ") + command), qPrintable(own.out));
        QVERIFY2(help.out.contains(QStringLiteral("\n  ") + command), qPrintable(command));
    }
    QVERIFY(runCli({"--help", "receipt"}).out.contains("discountNumber"));
    QCOMPARE(runCli({"restore", "none.json", "-h"}).code, 0);
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
    QTest::newRow("clock set") << QStringList{"clock", "--set", "2031-05-06 07:08:09"} << "2031-05-06T07:08:09";
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

    // The text: the cash in the drawer, each line once, dates in the console's one form.
    const Run text = runCli({"status"}, emu.devicePath());
    QVERIFY2(text.out.contains("НАЛИЧНЫХ В КАССЕ 12.50\n"), qPrintable(text.out));
    const QStringList lines = text.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(QSet<QString>(lines.begin(), lines.end()).size(), lines.size());
    QCOMPARE(text.out.count("ЗН ККТ"), 1);
    QVERIFY2(!text.out.contains(QRegularExpression("[0-9]{2}\\.[0-9]{2}\\.[0-9]{4}")), qPrintable(text.out));
    QVERIFY2(text.out.contains(QRegularExpression("ОТКРЫТИЕ СМЕНЫ [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}\n")),
             qPrintable(text.out));

    // A standard output that takes nothing is a failure, not a success nobody saw.
    Start full;
    full.port = emu.devicePath();
    full.stdoutFile = QStringLiteral("/dev/full");
    QCOMPARE(runCli({"status"}, full).code, 74);
    QCOMPARE(runCli({"--json", "status"}, full).code, 74);

    // Refused input under --json: one document with the status and the reason.
    const Run refused = runCli({"--json", "report", "zz"}, emu.devicePath());
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

    // `cancel` says whether there was anything to cancel.
    const int cancelled = emu.executionsOf(0x06);
    r = runCli({"--json", "cancel"}, port);
    QCOMPARE(r.code, 0);
    QCOMPARE(r.json().object()["cancelled"].toBool(), false);
    QCOMPARE(emu.executionsOf(0x06), cancelled);
    QCOMPARE(runCli({"shift", "open", "--name", "Петров"}, port).code, 0);
    QCOMPARE(runCli({"raw", "15", "141e000000 00 03414243"}, port).code, 0); // a receipt begun
    r = runCli({"cancel"}, port);
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.startsWith("Документ отменен"), qPrintable(r.out));
    QCOMPARE(emu.executionsOf(0x06), cancelled + 1);
    QCOMPARE(runCli({"cancel"}, port).out, QString("Открытого документа нет\n"));

    // `report z` closes the shift, as `shift close` does.
    r = runCli({"report", "z", "--name", "Петров"}, port);
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.startsWith("Смена закрыта, Z-отчет напечатан\n"), qPrintable(r.out));
    QCOMPARE(emu.executionsOf(0x14), 2);
}

// A sale from the terminal: what the paper says comes back, and nothing is left open.
void TestCli::receipt_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("input"); // the receipt on standard input, when "-" is given
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("items");
    QTest::addColumn<QString>("total");
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("printed"); // a line on the paper

    QTest::newRow("items, the register's total in cash")
        << QStringList{"--item", "Хлеб;45.50;2", "--item", "Молоко;89.90;1;2;5"} << QByteArray() << 0 << 2 << "180.90"
        << "0.00"
        << "Молоко";
    QTest::newRow("cash with change") << QStringList{"--item", "Хлеб;45.50;2", "--cash", "100"} << QByteArray() << 0
                                      << 1 << "91.00"
                                      << "9.00"
                                      << "СДАЧА";
    QTest::newRow("quantity with decimals")
        << QStringList{"--item", "Сыр;500;0.255", "--card", "127.50"} << QByteArray() << 0 << 1 << "127.50"
        << "0.00"
        << "500.00 x 0.255";
    QTest::newRow("return of sale") << QStringList{"--type", "sale-return", "--item", "Хлеб;45.50;2", "--cash", "91"}
                                    << QByteArray() << 2 << 1 << "91.00"
                                    << "0.00"
                                    << "ВОЗВРАТ ПРОДАЖИ";
    QTest::newRow("file with every field")
        << QStringList{"-"}
        << QByteArray(R"({"type": "sale", "cashier": "Иванова", "items": [{"name": "Хлеб", "price": 45.5,
            "quantity": "2", "section": 3, "tax": 1, "unit": "шт.", "code": "4601", "barcode": "4600000000017",
            "discount": "5.00", "text": "свежий"}, {"name": "Соль", "price": "10", "discountNumber": 2,
            "quantity": 10}], "texts": ["Спасибо за покупку"], "payments": {"cash": "50", "card": "86"}})")
        << 0 << 3 << "136.00"
        << "0.00"
        << "Спасибо за покупку";
}

void TestCli::receipt()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, input);
    QFETCH(int, type);
    QFETCH(int, items);
    QFETCH(QString, total);
    QFETCH(QString, change);
    QFETCH(QString, printed);
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    QCOMPARE(runCli({"shift", "open"}, emu.devicePath()).code, 0);
    QCOMPARE(runCli({"cash", "in", "500"}, emu.devicePath()).code, 0);
    emu.clearHistory();
    emu.takePrinted();

    Start how;
    how.port = emu.devicePath();
    how.input = input;
    const Run r = runCli(QStringList{"receipt", "--json"} + args, how);
    QVERIFY2(r.code == 0, qPrintable(r.err));
    const QJsonObject o = r.json().object();
    QCOMPARE(o["total"].toString(), total);
    QCOMPARE(o["change"].toString(), change);
    QCOMPARE(o["receiptNumber"].toInt(), 1);
    QCOMPARE(o["shiftNumber"].toInt(), 1);
    QVERIFY(o["fd"].toInt() > 0 && o["fp"].toDouble() > 0);
    QVERIFY(o["dateTime"].toString().contains('T'));
    const QStringList paper = emu.takePrinted();
    QVERIFY2(paper.join('\n').contains(printed), qPrintable(paper.join('\n')));

    // One start of this type, the items (and texts) as document data, one completion.
    const QVector<EmuRequestRecord> sent = emu.requests();
    QVERIFY(sent.size() >= items + 2);
    const EmuRequestRecord start = sent.at(sent.front().request.code() == 0x01 ? 1 : 0);
    QCOMPARE(int(start.request.code()), 0x15);
    QCOMPARE(int(start.request.data().at(5)), type);
    QCOMPARE(emu.executionsOf(0x07), items);
    QCOMPARE(int(sent.last().request.code()), 0x16);
    QCOMPARE(emu.executionsOf(0x06), 0);
    QCOMPARE(runCli({"--json", "status"}, emu.devicePath()).json().object()["openDocType"].toInt(), 0);
}

// Whatever step the register refuses, the receipt it opened is cancelled and its code is the
// exit status; a refused start opened nothing and cancels nothing. The failed step is the error
// (of --json too), what became of the document the line after it.
void TestCli::receiptCancelled_data()
{
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<bool>("shiftOpen");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("cancels");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("cancelNote");
    // Requests: start, one item, completion (the name and the payment are given).
    QTest::newRow("refused start") << QStringList() << false << 27 << 0 << "открытие чека: ошибка 27" << QString();
    QTest::newRow("refused item") << QStringList{"refuse=44:2"} << true << 44 << 1
                                  << "позиция 1: ошибка 44: Передан некорректный номер скидки"
                                  << "открытый документ отменен";
    QTest::newRow("refused completion") << QStringList{"refuse=53:3"} << true << 53 << 1
                                        << "закрытие чека: ошибка 53: Принтер не отвечает"
                                        << "открытый документ отменен";
    QTest::newRow("refused cancel too") << QStringList{"refuse=53:3", "refuse=30:4"} << true << 53 << 1
                                        << "закрытие чека: ошибка 53"
                                        << "открытый документ не отменен: ошибка 30";
    // The completion went through but its reply, and the reply repeated on 0x05, came back
    // damaged: the status shows nothing open, nothing is cancelled, and the program does not claim
    // it cancelled anything (the register would answer such a cancel with success).
    QTest::newRow("completion's reply damaged twice")
        << QStringList{"corrupt-crc:3", "corrupt-crc:4"} << true << 252 << 0 << "закрытие чека: ошибка 252"
        << "открытого документа нет";
}

void TestCli::receiptCancelled()
{
    QFETCH(QStringList, faults);
    QFETCH(bool, shiftOpen);
    QFETCH(int, code);
    QFETCH(int, cancels);
    QFETCH(QString, message);
    QFETCH(QString, cancelNote);
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    if (shiftOpen)
        QCOMPARE(runCli({"shift", "open"}, emu.devicePath()).code, 0);
    emu.clearHistory();
    for (const QString &fault : faults)
        QVERIFY(emu.addFault(fault));

    const Run r =
        runCli({"--json", "receipt", "--item", "Хлеб;45.50;2", "--cash", "100", "--name", "Иванова"}, emu.devicePath());
    QCOMPARE(r.code, code);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QVERIFY2(r.err.contains(cancelNote), qPrintable(r.err));
    QCOMPARE(r.json().object()["result"].toInt(), code);
    QVERIFY(r.json().object()["error"].toString().contains(message));
    const QVector<EmuRequestRecord> sent = emu.requests();
    QCOMPARE(
        std::count_if(sent.begin(), sent.end(), [](const EmuRequestRecord &q) { return q.request.code() == 0x06; }),
        cancels);
    QCOMPARE(emu.executionsOf(0x16), code == 252 ? 1 : 0);
    emu.clearFaults();
    if (faults.size() < 2)
        QCOMPARE(runCli({"--json", "status"}, emu.devicePath()).json().object()["openDocType"].toInt(), 0);
}

// Options before or after the command, "--", values after "=", relative port paths and the
// password kept out of the argument list.
void TestCli::argumentPositions_data()
{
    QTest::addColumn<QStringList>("args"); // PORT stands for the register's path
    QTest::addColumn<QString>("env");      // NAME=VALUE
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("out");         // part of stdout
    QTest::addColumn<QStringList>("printed"); // the paper, when something is printed

    const QString password = dir_.filePath("password");
    writeFile(password, "30\n");
    const QString backup = dir_.filePath("positions.json");
    QTest::newRow("json after the command")
        << QStringList{"-p", "PORT", "status", "--json"} << QString() << 0 << "\"factoryNumber\"" << QStringList();
    QTest::newRow("port after the command") << QStringList{"print", "--port", "PORT", "ТЕКСТ"} << QString() << 0
                                            << "Напечатано строк: 1" << QStringList{"ТЕКСТ"};
    QTest::newRow("double dash ends the options")
        << QStringList{"-p", "PORT", "print", "--", "--json", "-p"} << QString() << 0 << "Напечатано строк: 2"
        << QStringList{"--json", "-p"};
    QTest::newRow("values after equals") << QStringList{"--port=PORT", "clock", "--set=2031-05-06T07:08:09"}
                                         << QString() << 0 << "2031-05-06T07:08:09" << QStringList();
    QTest::newRow("option given twice: the last counts")
        << QStringList{"-p", "PORT", "clock", "--set", "2030-01-01T00:00:00", "--set", "2031-05-06T07:08:09"}
        << QString() << 0 << "2031-05-06T07:08:09" << QStringList();
    QTest::newRow("relative port") << QStringList{"-p", "fr2", "clock"} << QString() << 0 << "T" << QStringList();
    QTest::newRow("relative port with dot")
        << QStringList{"clock", "-p", "./fr2"} << QString() << 0 << "T" << QStringList();
    QTest::newRow("password from the environment")
        << QStringList{"-p", "PORT", "backup", backup} << "VIRTA_PASSWORD=1" << 18 << "" << QStringList();
    QTest::newRow("password option over the environment")
        << QStringList{"-p", "PORT", "backup", backup, "--password", "30"} << "VIRTA_PASSWORD=1" << 0
        << "Сохранено записей" << QStringList();
    QTest::newRow("password file") << QStringList{"-p", "PORT", "--password-file", password, "backup", backup}
                                   << "VIRTA_PASSWORD=1" << 0 << "Сохранено записей" << QStringList();
    QTest::newRow("bad password in the environment")
        << QStringList{"-p", "PORT", "status"} << "VIRTA_PASSWORD=тридцать" << 64 << "" << QStringList();
}

void TestCli::argumentPositions()
{
    QFETCH(QStringList, args);
    QFETCH(QString, env);
    QFETCH(int, code);
    QFETCH(QString, out);
    QFETCH(QStringList, printed);
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    QFile::remove(dir_.filePath("fr2"));
    QVERIFY(QFile::link(emu.devicePath(), dir_.filePath("fr2")));
    emu.takePrinted();
    Start how;
    how.workDir = dir_.path();
    if (!env.isEmpty())
        how.env.insert(env.section('=', 0, 0), env.section('=', 1));
    args.replaceInStrings(QRegularExpression("PORT$"), emu.devicePath());
    const Run r = runCli(args, how);
    QVERIFY2(r.code == code, qPrintable(QString::number(r.code) + r.err));
    QVERIFY2(r.out.contains(out), qPrintable(r.out));
    const QStringList paper = emu.takePrinted();
    for (const QString &line : printed)
        QVERIFY2(paper.contains(line), qPrintable(paper.join('|')));
    if (!printed.isEmpty())
        QCOMPARE(emu.executionsOf(0xC3), printed.size());
}

// Every failure under --json leaves one document with the exit status and the reason.
void TestCli::jsonErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("withPort");
    QTest::addColumn<int>("code");
    QTest::newRow("program option") << QStringList{"--cashier", "300", "--json", "status"} << true << 64;
    QTest::newRow("option without value") << QStringList{"--json", "status", "--port"} << true << 64;
    QTest::newRow("unknown command") << QStringList{"fly", "--json"} << true << 64;
    QTest::newRow("no port") << QStringList{"status", "--json"} << false << 64;
    QTest::newRow("password file missing")
        << QStringList{"--json", "--password-file", "/nonexistent", "status"} << true << 66;
    QTest::newRow("register refusal") << QStringList{"--json", "shift", "close"} << true << 27;
    QTest::newRow("cashier's name not read") << QStringList{"--json", "--password", "1", "shift", "open"} << true << 18;
    QTest::newRow("control tape cut short") << QStringList{"--json", "tape", "--out-of-paper"} << true << 54;
    QTest::newRow("no register found") << QStringList{"--json", "find", "/dev/null"} << false << 69;
    QTest::newRow("no frames") << QStringList{"--json", "decode", "/dev/null"} << false << 65;
}

void TestCli::jsonErrors()
{
    QFETCH(QStringList, args);
    QFETCH(bool, withPort);
    QFETCH(int, code);
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    if (args.removeAll("--out-of-paper"))
        emu.addFault(EmuFault::OutOfPaper);
    const Run r = runCli(args, withPort ? emu.devicePath() : QString());
    QCOMPARE(r.code, code);
    const QJsonObject o = r.json().object();
    QCOMPARE(o["result"].toInt(), code);
    const QString error = o["error"].toString();
    QVERIFY2(!error.isEmpty() && r.err.contains(error), qPrintable(r.out + r.err));
    if (code == 18)
        QVERIFY2(error.contains("--name"), qPrintable(error));
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

// The backup holds passwords: its owner's only, whatever was at its path; and a backup the
// register would not let be whole is no backup at all.
void TestCli::backupFile()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    const QString port = emu.devicePath();
    QTemporaryDir dir;
    const QString path = dir.filePath("kkt.json");

    // Replacing a file everybody may read, under a umask that lets everything through.
    QVERIFY(writeFile(path, "old"));
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther | QFile::ReadGroup));
    const mode_t umask = ::umask(0);
    Run r = runCli({"backup", path}, port);
    ::umask(umask);
    QVERIFY2(r.code == 0, qPrintable(r.err));
    QCOMPARE(modeOf(path), mode_t(0600));
    QVERIFY(setup(path).contains("cashiers"));

    // A link planted at the path is replaced, and where it pointed nothing is written.
    QVERIFY(QFile::remove(path));
    const QString elsewhere = dir.filePath("elsewhere.json");
    QVERIFY(QFile::link(elsewhere, path));
    r = runCli({"backup", path}, port);
    QVERIFY2(r.code == 0, qPrintable(r.err));
    QVERIFY(!QFileInfo(path).isSymLink());
    QVERIFY(!QFileInfo::exists(elsewhere));
    QCOMPARE(modeOf(path), mode_t(0600));
    const QByteArray good = readFile(path);

    // A FIFO is not replaced, and nothing is asked of the register.
    const QString fifo = dir.filePath("fifo.json");
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    emu.clearHistory();
    r = runCli({"backup", fifo}, port);
    QCOMPARE(r.code, 66);
    QVERIFY(QFileInfo(fifo).exists() && !QFileInfo(fifo).isFile());
    QVERIFY(emu.requests().isEmpty());

    // Reads the register refuses: a wrong password, a cashier without the right to the list of
    // cashiers. The backup fails with the register's code and the old file stays as it was.
    cashierWithoutRights(port);
    for (const auto &[who, code] : {std::pair<QStringList, int>{{"--password", "1"}, 18},
                                    std::pair<QStringList, int>{{"--cashier", "1", "--password", "5"}, 16}}) {
        r = runCli(who + QStringList{"backup", path}, port);
        QCOMPARE(r.code, code);
        QVERIFY2(r.err.contains(QStringLiteral("чтение: кассир 1: ошибка %1").arg(code)), qPrintable(r.err));
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), good);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"kkt.json"}); // no leftovers
    }
    // A dry run under a wrong password says so instead of counting differences.
    r = runCli({"--json", "--password", "1", "restore", path, "--dry-run"}, port);
    QCOMPARE(r.code, 18);
    QVERIFY(!r.json().object().contains("differences"));
}

// Everything in a backup is checked before anything is written: a bad entry anywhere is refused
// with 65, naming it, and the register hears nothing.
void TestCli::restoreChecks()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    const QString port = emu.devicePath();
    const QString saved = dir_.filePath("checks.json");
    QCOMPARE(runCli({"backup", saved}, port).code, 0);
    QFile f(saved);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QJsonObject backup = QJsonDocument::fromJson(f.readAll()).object();

    // Edits of the backup and what the refusal names.
    const auto edit = [](QJsonObject &doc, const QString &group, int at, const QString &key, const QJsonValue &v) {
        QJsonArray list = doc[group].toArray();
        QJsonObject e = list.at(at).toObject();
        e[key] = v;
        list[at] = e;
        doc[group] = list;
    };
    const auto rawEdit = [&](QJsonObject &doc, const QString &group, int at,
                             const std::function<void(QByteArray &)> &f) {
        QByteArray raw = QByteArray::fromHex(doc[group].toArray().at(at).toObject()["raw"].toString().toLatin1());
        f(raw);
        edit(doc, group, at, "raw", QString::fromLatin1(raw.toHex()));
    };
    struct Case
    {
        const char *name;
        std::function<void(QJsonObject &)> change;
        const char *message;
    };
    const QVector<Case> cases{
        {"index against the number inside", [&](QJsonObject &d) { edit(d, "cashiers", 3, "index", 5); },
         "кассир 5: внутри записи номер 4"},
        {"cashier length", [&](QJsonObject &d) { rawEdit(d, "cashiers", 0, [](QByteArray &b) { b.chop(1); }); },
         "кассир 1: 262 байт вместо 263"},
        {"department length",
         [&](QJsonObject &d) { rawEdit(d, "departments", 4, [](QByteArray &b) { b.append('\0'); }); },
         "отдел 5: 129 байт вместо 128"},
        {"discount kind", [&](QJsonObject &d) { rawEdit(d, "discounts", 1, [](QByteArray &b) { b[1] = 7; }); },
         "скидка 2: неизвестный вид скидки 7"},
        {"paper width", [&](QJsonObject &d) { edit(d, "printer", 0, "raw", "46"); }, "ширина ленты 70 мм"},
        {"rounding", [&](QJsonObject &d) { edit(d, "register", 0, "raw", "02"); }, "тип округления 2"},
        {"duplicate", [&](QJsonObject &d) { edit(d, "departments", 1, "index", 1); }, "отдел 1: записан дважды"},
        {"index out of range", [&](QJsonObject &d) { edit(d, "discounts", 0, "index", 21); }, "номер не от 1 до 20"},
        {"too many entries",
         [](QJsonObject &d) {
             QJsonArray list = d["departments"].toArray();
             list.append(list.at(0));
             d["departments"] = list;
         },
         "21 записей"},
        {"unknown part", [](QJsonObject &d) { d["cashier"] = QJsonArray(); }, "неизвестная часть копии \"cashier\""},
        {"other version", [](QJsonObject &d) { d["version"] = 2; }, "копия версии 2"},
    };
    // Department 5 differs from the register, so a restore that wrote as it went would write it.
    QJsonObject base = backup;
    rawEdit(base, "departments", 4, [](QByteArray &b) { b[1] = 'X'; });
    for (const Case &c : cases) {
        QJsonObject doc = base;
        c.change(doc);
        const QString path = dir_.filePath("bad.json");
        QVERIFY(writeFile(path, QJsonDocument(doc).toJson()));
        emu.clearHistory();
        const Run r = runCli({"restore", path}, port);
        QVERIFY2(r.code == 65, c.name);
        QVERIFY2(r.err.contains(QString::fromUtf8(c.message)), qPrintable(QString::fromUtf8(c.name) + ": " + r.err));
        QVERIFY2(emu.requests().isEmpty(), c.name);
    }

    // A discount the backup holds as not defined, which the register has defined since: it
    // cannot be written back as such, and nothing else is written either.
    QByteArray discount = QByteArray::fromHex("0300d007000000000000") + QByteArray(128, '\0');
    QCOMPARE(runCli({"raw", "02", "141e00000003" + discount.toHex()}, port).code, 0);
    const QString undefined = dir_.filePath("undefined.json");
    QVERIFY(writeFile(undefined, QJsonDocument(base).toJson()));
    emu.clearHistory();
    const Run r = runCli({"restore", undefined}, port);
    QCOMPARE(r.code, 65);
    QVERIFY2(r.err.contains("скидка 3: в копии скидка не задана"), qPrintable(r.err));
    QCOMPARE(emu.executionsOf(0x02), 0);
    // Once the backup says what the discount is, the restore goes through.
    QCOMPARE(runCli({"restore", saved}, port).code, 65);
    QJsonObject fixed = backup;
    edit(fixed, "discounts", 2, "raw", QString::fromLatin1(discount.toHex()));
    QVERIFY(writeFile(undefined, QJsonDocument(fixed).toJson()));
    QCOMPARE(runCli({"restore", undefined}, port).code, 0);
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
    const QString image = dir_.filePath("new.signed.img");
    const QByteArray signedImage = emu::signedimage::sign(QByteArray(2500, 'x'));
    QVERIFY(writeFile(image, signedImage));

    Run r = runCli({"firmware", image, "--loader", emu.loaderPath()}, QString(), 60000);
    QVERIFY2(r.code == 0, qPrintable(r.err));
    // Not a terminal: nothing per block, the outcome with the whole image.
    QCOMPARE(r.out, QStringLiteral("Прошивка загружена: передано %1 байт\n").arg(signedImage.size()));
    QVERIFY2(!r.err.contains("КОМАНДА 01") && r.err.count('\n') < 10, qPrintable(r.err));
    QCOMPARE(emu.loader().installedImage(), signedImage);
    QVERIFY(emu.loader().commands().mid(emu.loader().commands().size() - 2) == (QVector<quint8>{0x02, 0x03}));

    // A damaged image: the loader's refusal is the exit status.
    QVERIFY(writeFile(image, QByteArray(1500, 'y')));
    r = runCli({"firmware", image, "--loader", emu.loaderPath(), "--json"}, QString(), 60000);
    // The loader's own status is not a result code of the register.
    QCOMPARE(r.code, 76);
    const int status = r.json().object()["loaderStatus"].toInt();
    QVERIFY(status > 0);
    QVERIFY2(r.err.contains(QStringLiteral("ОШИБКА %1").arg(status)), qPrintable(r.err));
    QVERIFY(r.json().object()["error"].toString().contains(QStringLiteral("ошибкой %1").arg(status)));
    QCOMPARE(runCli({"firmware", image, "--loader", "/nonexistent/tty"}).code, 69);

    // A loader port another program holds is refused as a busy register port is, nothing sent.
    const int sentBefore = emu.loader().commands().size();
    PortHolder holder(emu.loaderPath());
    QVERIFY(holder.waitHeld());
    r = runCli({"firmware", image, "--loader", emu.loaderPath()});
    QCOMPARE(r.code, 75);
    QVERIFY2(r.err.contains(holder.busyText()), qPrintable(r.err));
    QCOMPARE(emu.loader().commands().size(), sentBefore);
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
    QTRY_VERIFY_WITH_TIMEOUT(emu.requests().size() == 2, 5000); // its request in flight
    ::kill(pid_t(p.processId()), SIGTERM);
    // The first stop is taken (and said) and the program goes on waiting for the reply.
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += p.readAllStandardError()).contains("остановка"), 5000);
    QCOMPARE(p.state(), QProcess::Running);
    ::kill(pid_t(p.processId()), SIGTERM);
    QVERIFY(p.waitForFinished(1500));
    QCOMPARE(p.exitStatus(), QProcess::CrashExit);

    // A read that waits for a writer that never comes: the first stop ends it.
    const QString fifo = dir_.filePath("stop.fifo");
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    p.start(QStringLiteral(VIRTA_CLI_EXE), {"decode", fifo});
    QVERIFY(p.waitForStarted());
    // It has opened the FIFO (its stop handlers are in place before that).
    const auto reading = [&] {
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(p.processId()));
        const QFileInfoList list = fds.entryInfoList(QDir::AllEntries | QDir::System);
        return std::any_of(list.begin(), list.end(), [&](const QFileInfo &fd) { return fd.symLinkTarget() == fifo; });
    };
    QTRY_VERIFY_WITH_TIMEOUT(reading(), 5000);
    ::kill(pid_t(p.processId()), SIGTERM);
    QVERIFY(p.waitForFinished(2000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 128 + SIGTERM);
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
    r = runCli({"decode", "-"}, [&] {
        Start how;
        how.input = readFile(hex.fileName());
        return how;
    }());
    QCOMPARE(r.out, lines.join('\n') + '\n');
    r = runCli({"decode", dir_.filePath("none.log")});
    QCOMPARE(r.code, 66);
    QVERIFY2(r.err.contains(QStringLiteral("none.log")), qPrintable(r.err));
    QCOMPARE(runCli({"decode", "a", "b"}).code, 64);
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
