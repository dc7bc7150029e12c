#include "args.h"

#include <QRegularExpression>

#include <optional>

#include "input.h"

namespace {

// A password file holds one number; anything larger is not one.
constexpr qint64 PasswordFileMax = 4096;

struct GlobalOption
{
    const char *name;
    const char *shortName;
    bool takesValue;
};

const GlobalOption Globals[] = {
    {"--port", "-p", true},        {"--cashier", nullptr, true},
    {"--password", nullptr, true}, {"--password-file", nullptr, true},
    {"--json", nullptr, false},    {"--help", "-h", false},
    {"--version", "-V", false},    {"--wait", nullptr, true},
};

const GlobalOption *globalOption(const QString &name)
{
    for (const GlobalOption &o : Globals) {
        if (name == QLatin1String(o.name) || (o.shortName && name == QLatin1String(o.shortName)))
            return &o;
    }
    return nullptr;
}

// The number of values `option` takes in `command`, -1 when it has no such option.
int commandOptionArity(const CliCommand *command, const QString &option)
{
    if (!command)
        return -1;
    for (const QString &declared : QString::fromLatin1(command->options).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const int slash = declared.indexOf(QLatin1Char('/'));
        if (declared.left(slash) == option)
            return declared.mid(slash + 1).toInt();
    }
    return -1;
}

const CliCommand *findCommand(const QString &name)
{
    for (const CliCommand &c : cliCommands()) {
        if (name == QLatin1String(c.name))
            return &c;
    }
    return nullptr;
}

// "-" is standard input and "-5" a number, not options.
bool looksLikeOption(const QString &a)
{
    static const QRegularExpression number(QStringLiteral("^-[0-9]"));
    return a.size() > 1 && a.startsWith(QLatin1Char('-')) && !number.match(a).hasMatch();
}

bool password(const QString &text, int *value)
{
    qint64 n = 0;
    if (!cliparse::integer(text, -2147483648LL, 2147483647LL, &n))
        return false;
    *value = int(n);
    return true;
}

class Parser
{
public:
    explicit Parser(CliLine &line) : line_(line) {}

    void run(const QStringList &args)
    {
        bool optionsEnded = false;
        for (int i = 0; i < args.size(); ++i) {
            const QString &a = args.at(i);
            if (optionsEnded || !looksLikeOption(a)) {
                positional(a);
            } else if (a == QLatin1String("--")) {
                optionsEnded = true;
            } else {
                option(args, i);
            }
        }
    }

    // The values the options gave, with the environment behind them.
    void settle()
    {
        CliOptions &o = line_.options;
        const QString typedPort = port_ ? *port_ : qEnvironmentVariable("VIRTA_PORT");
        if (port_ && port_->isEmpty())
            return refuse(QStringLiteral("--port без пути"));
        o.port = cliparse::portPath(typedPort);
        if (cashier_) {
            qint64 n = 0;
            if (!cliparse::integer(*cashier_, 0, 255, &n))
                return refuse(QStringLiteral("неверный номер кассира: %1 (0-255)").arg(*cashier_));
            o.cashier = int(n);
        }
        if (wait_) {
            qint64 n = 0;
            if (!cliparse::integer(*wait_, 0, 86400, &n))
                return refuse(QStringLiteral("неверное время ожидания: %1 (0-86400 с)").arg(*wait_));
            o.waitSeconds = int(n);
        }
        if (password_ && passwordFile_)
            return refuse(QStringLiteral("--password и --password-file вместе"));
        if (password_) {
            if (!password(*password_, &o.password))
                return refuse(QStringLiteral("неверный пароль: %1").arg(*password_));
        } else if (passwordFile_) {
            QByteArray bytes;
            if (const int rc =
                    cliinput::readAll(*passwordFile_, cliinput::Accept::AnyStream, PasswordFileMax, &bytes)) {
                line_.refusal = rc;
                return;
            }
            const QString text = QString::fromUtf8(bytes).section(QLatin1Char('\n'), 0, 0).trimmed();
            if (!password(text, &o.password))
                return refuse(QStringLiteral("%1: в первой строке нет пароля (числа)").arg(*passwordFile_));
        } else if (!qEnvironmentVariableIsEmpty("VIRTA_PASSWORD")) {
            if (!password(qEnvironmentVariable("VIRTA_PASSWORD"), &o.password))
                return refuse(QStringLiteral("неверный пароль в VIRTA_PASSWORD"));
        }
    }

private:
    CliLine &line_;
    std::optional<QString> port_, cashier_, password_, passwordFile_, wait_;
    bool commandRefused_ = false;

public:
    // The first mistake is the one reported (the others would only repeat its hint), and only
    // once it is known that no --help asked for the usage instead.
    QString refusal;

private:
    void refuse(const QString &text)
    {
        if (refusal.isEmpty())
            refusal = text;
    }

    void positional(const QString &a)
    {
        if (line_.command) {
            line_.arguments << a;
            return;
        }
        line_.command = findCommand(a);
        if (!line_.command && !commandRefused_) {
            refuse(QStringLiteral("неизвестная команда: %1").arg(a));
            commandRefused_ = true;
        }
        Cli::setCommandName(line_.command ? a : QString());
    }

    void option(const QStringList &args, int &i)
    {
        const QString &a = args.at(i);
        const int eq = a.startsWith(QLatin1String("--")) ? a.indexOf(QLatin1Char('=')) : -1;
        const QString name = eq < 0 ? a : a.left(eq);
        const GlobalOption *global = globalOption(name);
        const int arity = global ? int(global->takesValue) : commandOptionArity(line_.command, name);
        if (arity < 0)
            return refuse(QStringLiteral("неизвестный параметр: %1").arg(name));
        QStringList values;
        if (eq >= 0) {
            if (arity != 1)
                return refuse(QStringLiteral("%1 без значения через «=»").arg(name));
            values << a.mid(eq + 1);
        } else {
            if (i + arity >= args.size())
                return refuse(arity == 1 ? QStringLiteral("%1 без значения").arg(name)
                                         : QStringLiteral("%1 требует значений: %2").arg(name).arg(arity));
            values = args.mid(i + 1, arity);
            i += arity;
        }
        if (!global) {
            line_.options.commandOptions[name] << values;
            return;
        }
        const QString value = values.value(0);
        if (name == QLatin1String("--help") || name == QLatin1String("-h"))
            line_.help = true;
        else if (name == QLatin1String("--version") || name == QLatin1String("-V"))
            line_.version = true;
        else if (name == QLatin1String("--json"))
            line_.options.json = true;
        else if (name == QLatin1String("--port") || name == QLatin1String("-p"))
            port_ = value;
        else if (name == QLatin1String("--cashier"))
            cashier_ = value;
        else if (name == QLatin1String("--password"))
            password_ = value;
        else if (name == QLatin1String("--wait"))
            wait_ = value;
        else
            passwordFile_ = value;
    }
};

} // namespace

CliLine parseCommandLine(const QStringList &args)
{
    CliLine line;
    // A refusal under --json is a document too, whatever stands before the --json.
    line.options.json = args.mid(0, args.indexOf(QStringLiteral("--"))).contains(QStringLiteral("--json"));
    Parser parser(line);
    parser.run(args);
    if (line.help || line.version)
        return line;
    if (parser.refusal.isEmpty() && !line.command)
        parser.refusal = QStringLiteral("не указана команда");
    if (parser.refusal.isEmpty())
        parser.settle();
    if (!parser.refusal.isEmpty())
        line.refusal = Cli::usage(parser.refusal);
    return line;
}
