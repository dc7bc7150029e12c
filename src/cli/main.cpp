#include "args.h"
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

// The usage line of one command: its name and arguments.
QString usageLine(const CliCommand &c)
{
    return QStringLiteral("%1 %2").arg(QLatin1String(c.name), QString::fromUtf8(c.arguments)).trimmed();
}

QString helpText()
{
    QString t;
    t += QStringLiteral("Usage: virta-cli [ПАРАМЕТРЫ] КОМАНДА [АРГУМЕНТЫ]\n"
                        "\n"
                        "Работа с ККТ ВИРТА из терминала и из сценариев: поиск ККТ, состояние, счетчики,\n"
                        "смены, чеки, отчеты, резервная копия настроек, загрузка прошивки. Параметры\n"
                        "программы и команды можно писать до и после имени команды; \"--\" заканчивает\n"
                        "параметры (print -- -5 печатает \"-5\").\n"
                        "\n"
                        "Options:\n"
                        "  -p, --port ПУТЬ     последовательный порт ККТ (/dev/ttyUSB0, ttyUSB0 или путь\n"
                        "                      к файлу, в том числе относительный: fr2, ./fr2) или ее\n"
                        "                      адрес в сети: tcp://УЗЕЛ:ПОРТ (tcp://[::1]:4001 для\n"
                        "                      IPv6; УЗЕЛ:ПОРТ, если такого файла нет); по умолчанию\n"
                        "                      значение переменной окружения VIRTA_PORT\n"
                        "  --cashier N         номер кассира в командах (0-255, по умолчанию %1)\n"
                        "  --password N        пароль кассира (по умолчанию %2; виден в списке процессов,\n"
                        "                      лучше --password-file или VIRTA_PASSWORD)\n"
                        "  --password-file ФАЙЛ  пароль кассира из первой строки файла\n"
                        "  --json              результат одним документом JSON на стандартном выводе; при\n"
                        "                      ошибке {\"result\": код завершения, \"error\": текст};\n"
                        "                      сообщения об ошибках и ходе работы идут в стандартный\n"
                        "                      поток ошибок\n"
                        "  --wait СЕКУНДЫ      если порт занят другой программой, ждать его до СЕКУНД\n"
                        "                      (без него: сразу завершиться с кодом 75); только для\n"
                        "                      последовательного порта\n"
                        "  -h, --help          эта справка; КОМАНДА --help: справка по команде\n"
                        "  -V, --version       версия программы\n"
                        "\n"
                        "Commands:\n")
             .arg(DefaultCashierNumber)
             .arg(DefaultCashierPassword);
    for (const CliCommand &c : cliCommands()) {
        t += QStringLiteral("  ") + usageLine(c) + QLatin1Char('\n');
        for (const QString &line : QString::fromUtf8(c.summary).split(QLatin1Char('\n')))
            t += QStringLiteral("      ") + line + QLatin1Char('\n');
    }
    // Two blanks between a status and its text, and a comment line above each example: the
    // manual page (help2man) makes each of them a paragraph of its own.
    t += QStringLiteral(
        "\n"
        "Exit status:\n"
        "  0         успешно\n"
        "  1-54      ККТ отказала: код результата ККТ\n"
        "  252       ответ ККТ не разобран или не того размера\n"
        "  253       ККТ не ответила\n"
        "  64        ошибка в командной строке: неизвестная команда, параметр или тип отчета,\n"
        "            неверная сумма, дата, число или имя, неверный адрес порта, копия настроек\n"
        "            другой ККТ без --force, прошивка по сетевому адресу\n"
        "  65        неверные данные в файле: копия настроек, чек, файл без кадров (decode)\n"
        "  66        файл не читается (нет файла, не обычный файл) или не записывается\n"
        "  69        порт не открывается или соединение не установлено; find: ни одна ККТ\n"
        "            не ответила\n"
        "  74        ошибка записи в стандартный вывод\n"
        "  75        порт занят другой программой («Порт занят: ПУТЬ (процесс PID)»)\n"
        "  76        firmware: загрузчик ККТ ответил ошибкой (ее номер в сообщении и в JSON)\n"
        "  130, 143  прервано сигналом SIGINT или SIGTERM: отправленный запрос дожидается\n"
        "            ответа, новые не отправляются, начатый командой документ отменяется;\n"
        "            если ответ на завершение документа пришел, документ выводится, как при\n"
        "            успехе\n"
        "На отвергнутые данные в ККТ ничего не отправляется.\n"
        "\n"
        "Environment:\n"
        "  VIRTA_PORT      порт или сетевой адрес ККТ, если не указан --port\n"
        "  VIRTA_PASSWORD  пароль кассира, если не указаны --password и --password-file\n"
        "  VIRTA_DEBUG     если задана, диагностика библиотеки обмена идет в стандартный поток ошибок\n"
        "\n"
        "Examples:\n"
        "  Найти ККТ на портах системы:\n"
        "    virta-cli find\n"
        "  Состояние ККТ:\n"
        "    virta-cli -p /dev/ttyUSB0 status\n"
        "  Состояние ККТ в сети магазина (сервер порта ser2net или свой порт ККТ):\n"
        "    virta-cli -p tcp://192.168.1.50:4001 status\n"
        "  Найти ККТ на портах 4001-4016 одного узла:\n"
        "    virta-cli find 192.168.1.50:4001-4016\n"
        "  Сменные счетчики для сценария:\n"
        "    VIRTA_PORT=/dev/ttyUSB0 virta-cli counters shift --json\n"
        "  Внесение наличных:\n"
        "    virta-cli -p /dev/ttyUSB0 cash in 1500.50\n"
        "  Чек продажи двух позиций с оплатой наличными:\n"
        "    virta-cli -p /dev/ttyUSB0 receipt --item 'Хлеб;45.50;2' --item 'Молоко;89.90' --cash 200\n"
        "  Отчет по сменам с 1 по 10:\n"
        "    virta-cli -p /dev/ttyUSB0 report shifts --shifts 1 10\n"
        "  Настройки одной ККТ на другую:\n"
        "    virta-cli -p /dev/ttyUSB0 backup kkt.json && virta-cli -p /dev/ttyUSB1 restore kkt.json --force\n"
        "  Загрузка прошивки:\n"
        "    virta-cli firmware new.signed.img --loader /dev/ttyUSB1\n");
    return t;
}

QString commandHelp(const CliCommand &c)
{
    QString t = QStringLiteral("Usage: virta-cli [ПАРАМЕТРЫ] %1\n\n").arg(usageLine(c));
    t += QString::fromUtf8(c.summary) + QLatin1Char('\n');
    if (*c.details)
        t += QLatin1Char('\n') + QString::fromUtf8(c.details) + QLatin1Char('\n');
    t += QStringLiteral("\nПараметры программы (--port, --cashier, --password, --json ...): virta-cli --help\n");
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

    CliLine line = parseCommandLine(QCoreApplication::arguments().mid(1));
    if (line.help) {
        print(stdout, line.command ? commandHelp(*line.command) : helpText());
        return Cli::finish(CliExit::Success, false);
    }
    if (line.version) {
        print(stdout, QStringLiteral("virta-cli %1\n").arg(QStringLiteral(VIRTA_VERSION)));
        return Cli::finish(CliExit::Success, false);
    }
    const CliOptions &options = line.options;
    const auto finish = [&options](int code) {
        return Cli::finish(code, options.json);
    };
    if (line.refusal)
        return finish(line.refusal);
    const CliCommand *command = line.command;

    Cli cli(options);
    running = &cli;
    const QStringList &rest = line.arguments;
    int code = CliExit::Success;
    // Inside the event loop, so that a stop signal reaches the waits of the command layer.
    QTimer::singleShot(0, &app, [&] {
        code = cli.endCommand(command->run(cli, rest));
        QCoreApplication::exit(code);
    });
    QCoreApplication::exec();
    running = nullptr;
    // A read of a file or a pipe hears of a stop before the event loop does.
    if (const int sig = stopSignal.load() ? stopSignal.load() : pendingTerminateSignal()) {
        Cli::note(QStringLiteral("прервано"));
        return finish(128 + sig);
    }
    return finish(code);
}
