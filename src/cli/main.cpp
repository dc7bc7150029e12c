#include "cli.h"

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>

#include "frmsg.h"
#include "quitonsignals.h"

namespace {

// After a stop was asked for, the command in progress has this long (beyond what its exchange in
// flight may take) to come back through the event loop; a wait that does not give way is not
// allowed to hold the terminal.
constexpr qint64 StopGraceMs = 3000;

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

QString helpText()
{
    QString t;
    t += QStringLiteral("Usage: virta-cli [-p|--port ПУТЬ] [--cashier N] [--password N] [--json] [--wait СЕКУНДЫ]\n"
                        "                 КОМАНДА [АРГУМЕНТЫ]\n"
                        "\n"
                        "Работа с фискальным регистратором ВИРТА из терминала и из сценариев: поиск ККТ,\n"
                        "состояние, счетчики, смены, отчеты, резервная копия настроек, загрузка прошивки.\n"
                        "\n"
                        "Options:\n"
                        "  -p, --port ПУТЬ     последовательный порт ККТ (например /dev/ttyUSB0);\n"
                        "                      по умолчанию значение переменной окружения VIRTA_PORT\n"
                        "  --cashier N         номер кассира в командах (0-255, по умолчанию %1)\n"
                        "  --password N        пароль кассира (по умолчанию %2)\n"
                        "  --json              результат одним документом JSON на стандартном выводе (при ошибке:\n"
                        "                      {\"result\": код завершения, \"error\": текст}); сообщения об ошибках\n"
                        "                      и ходе работы идут в стандартный поток ошибок\n"
                        "  --wait СЕКУНДЫ      если порт занят другой программой, ждать его до СЕКУНД (без него:\n"
                        "                      сразу завершиться с кодом 75)\n"
                        "  -h, --help          эта справка\n"
                        "  -V, --version       версия программы\n"
                        "\n"
                        "Commands:\n")
             .arg(DefaultCashierNumber)
             .arg(DefaultCashierPassword);
    for (const CliCommand &c : cliCommands()) {
        t += QStringLiteral("  %1 %2\n")
                 .arg(QLatin1String(c.name), QString::fromUtf8(c.arguments))
                 .replace(QLatin1String(" \n"), QLatin1String("\n"));
        for (const QString &line : QString::fromUtf8(c.summary).split(QLatin1Char('\n')))
            t += QStringLiteral("      ") + line + QLatin1Char('\n');
    }
    t += QStringLiteral(
        "\n"
        "Exit status:\n"
        "  0        успешно\n"
        "  1-54     ККТ отказала: код результата ККТ\n"
        "  252      ответ ККТ не разобран или не того размера\n"
        "  253      ККТ не ответила\n"
        "  64       ошибка в командной строке: неизвестная команда или тип отчета, неверная\n"
        "           сумма, дата или число, копия настроек другой ККТ без --force\n"
        "  66       файл не читается (нет файла, не обычный файл, поврежденная копия)\n"
        "           или не записывается\n"
        "  69       порт не открывается; find: ни одна ККТ не ответила\n"
        "  75       порт занят другой программой («Порт занят: ПУТЬ (процесс PID)»)\n"
        "  130, 143 прервано сигналом SIGINT или SIGTERM: отправленный запрос дожидается ответа,\n"
        "           новые не отправляются, начатый командой документ отменяется; если ответ на\n"
        "           завершение документа пришел, документ выводится, как при успехе\n"
        "На отвергнутые данные в ККТ ничего не отправляется.\n"
        "\n"
        "Environment:\n"
        "  VIRTA_PORT   порт ККТ, если не указан --port\n"
        "  VIRTA_DEBUG  если задана, диагностика библиотеки обмена идет в стандартный поток ошибок\n"
        "\n"
        "Examples:\n"
        "  virta-cli find\n"
        "  virta-cli -p /dev/ttyUSB0 status\n"
        "  VIRTA_PORT=/dev/ttyUSB0 virta-cli --json counters shift\n"
        "  virta-cli -p /dev/ttyUSB0 cash in 1500.50\n"
        "  virta-cli -p /dev/ttyUSB0 report shifts --shifts 1 10\n"
        "  virta-cli -p /dev/ttyUSB0 backup kkt.json && virta-cli -p /dev/ttyUSB1 restore kkt.json --force\n"
        "  virta-cli firmware new.signed.img --loader /dev/ttyUSB1\n");
    return t;
}

// The command layer's diagnostics go to the window's log files there; here they would only bury
// the results, so they are shown when asked for.
void quietMessages(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    static const bool debug = qEnvironmentVariableIsSet("VIRTA_DEBUG");
    if (!debug && type != QtCriticalMsg && type != QtFatalMsg)
        return;
    Q_UNUSED(context)
    print(stderr, text + QLatin1Char('\n'));
}

bool takeValue(const QStringList &args, int &i, const QString &longName, const QString &shortName, QString *value,
               bool *error)
{
    const QString &a = args.at(i);
    if (a.startsWith(longName + QLatin1Char('='))) {
        *value = a.mid(longName.size() + 1);
        return true;
    }
    if (a != longName && (shortName.isEmpty() || a != shortName))
        return false;
    if (i + 1 >= args.size()) {
        *error = true;
        return true;
    }
    *value = args.at(++i);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    registerFsMetaTypes();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("virta-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VIRTA_VERSION));
    qInstallMessageHandler(quietMessages);

    static std::atomic<int> stopSignal{0};
    static Cli *running = nullptr;
    onTerminateSignals([](int sig) {
        stopSignal = sig;
        // With an exchange in flight the command finishes it and says what the register did; the
        // program then ends by itself. Otherwise there is nothing to wait for.
        const bool finishing = running && running->stop(sig);
        const qint64 graceMs = StopGraceMs + (finishing ? running->stopBudgetMs() : 0);
        std::thread([sig, graceMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(graceMs));
            Cli::note(QStringLiteral("прервано"));
            ::_exit(128 + sig);
        }).detach();
        if (!finishing)
            QCoreApplication::quit();
    });

    CliOptions options;
    options.port = qEnvironmentVariable("VIRTA_PORT");
    const QStringList args = QCoreApplication::arguments();
    int i = 1;
    for (; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (!a.startsWith(QLatin1Char('-')))
            break;
        QString value;
        bool missing = false;
        if (a == QLatin1String("-h") || a == QLatin1String("--help")) {
            print(stdout, helpText());
            return CliExit::Success;
        }
        if (a == QLatin1String("-V") || a == QLatin1String("--version")) {
            print(stdout, QStringLiteral("virta-cli %1\n").arg(QStringLiteral(VIRTA_VERSION)));
            return CliExit::Success;
        }
        if (a == QLatin1String("--json")) {
            options.json = true;
        } else if (takeValue(args, i, QStringLiteral("--port"), QStringLiteral("-p"), &value, &missing)) {
            if (missing || value.isEmpty())
                return Cli::usage(QStringLiteral("--port без пути"));
            options.port = value;
        } else if (takeValue(args, i, QStringLiteral("--cashier"), QString(), &value, &missing)) {
            qint64 n = 0;
            if (missing || !cliparse::integer(value, 0, 255, &n))
                return Cli::usage(QStringLiteral("неверный номер кассира: %1 (0-255)").arg(value));
            options.cashier = int(n);
        } else if (takeValue(args, i, QStringLiteral("--wait"), QString(), &value, &missing)) {
            qint64 n = 0;
            if (missing || !cliparse::integer(value, 0, 86400, &n))
                return Cli::usage(QStringLiteral("неверное время ожидания: %1 (0-86400 с)").arg(value));
            options.waitSeconds = int(n);
        } else if (takeValue(args, i, QStringLiteral("--password"), QString(), &value, &missing)) {
            qint64 n = 0;
            if (missing || !cliparse::integer(value, -2147483648LL, 2147483647LL, &n))
                return Cli::usage(QStringLiteral("неверный пароль: %1").arg(value));
            options.password = int(n);
        } else {
            return Cli::usage(QStringLiteral("неизвестный параметр: %1").arg(a));
        }
    }
    const auto finish = [&options](int code) {
        if (options.json)
            Cli::printErrorDocument(code);
        return code;
    };
    if (i >= args.size())
        return finish(Cli::usage(QStringLiteral("не указана команда")));
    const QString name = args.at(i);
    const CliCommand *command = nullptr;
    for (const CliCommand &c : cliCommands()) {
        if (name == QLatin1String(c.name))
            command = &c;
    }
    if (!command)
        return finish(Cli::usage(QStringLiteral("неизвестная команда: %1").arg(name)));

    Cli cli(options);
    running = &cli;
    const QStringList rest = args.mid(i + 1);
    int code = CliExit::Success;
    // Inside the event loop, so that a stop signal reaches the waits of the command layer.
    QTimer::singleShot(0, &app, [&] {
        code = cli.finish(command->run(cli, rest));
        QCoreApplication::exit(code);
    });
    QCoreApplication::exec();
    running = nullptr;
    if (const int sig = stopSignal.load()) {
        Cli::note(QStringLiteral("прервано"));
        return finish(128 + sig);
    }
    return finish(code);
}
