#include "cli.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTimer>

#include <csignal>
#include <cstdio>

#include "frapithread.h"
#include "frwrapper.h"
#include "portlock.h"

namespace {

void write(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// What --json leaves on stdout when a command fails before it printed its document.
QString lastNote;
bool documentPrinted = false;
// Facts of how the command ended (a stop, a cancelled document) that --json adds to its document.
QJsonObject endFacts;
// The command layer of the command, for the reason a request was not sent.
const FsWrapper *commandLayer = nullptr;
// How often a port another program holds is tried again under --wait.
constexpr int PortWaitStepMs = 100;

} // namespace

Cli::Cli(const CliOptions &options) : options_(options)
{}

Cli::~Cli()
{
    commandLayer = nullptr;
}

int Cli::takePort()
{
    QString busy;
    lock_ = PortLock::acquire(options_.port, &busy);
    if (!lock_ && options_.waitSeconds > 0) {
        note(QStringLiteral("%1; ожидание до %2 с").arg(busy).arg(options_.waitSeconds));
        QElapsedTimer waited;
        waited.start();
        while (!lock_ && waited.elapsed() < qint64(options_.waitSeconds) * 1000) {
            QEventLoop pause;
            QTimer::singleShot(PortWaitStepMs, &pause, &QEventLoop::quit);
            if (pause.exec() != 0)
                break; // the program is stopping
            lock_ = PortLock::acquire(options_.port, &busy);
        }
    }
    if (lock_)
        return CliExit::Success;
    note(busy);
    return CliExit::TempFail;
}

int Cli::connect()
{
    if (fr_)
        return CliExit::Success;
    if (options_.port.isEmpty())
        return usage(QStringLiteral("не указан порт: --port ПУТЬ или переменная VIRTA_PORT"));
    // First the lock: a program in the middle of its own command is named, not met as a port that
    // does not open (it holds the port open exclusively).
    if (const int rc = takePort())
        return rc;
    {
        // The command layer opens the port afresh for every exchange and would only report "no
        // answer"; a port that cannot be opened at all is told apart here, before anything is sent.
        QSerialPort probe(options_.port);
        if (!probe.open(QIODevice::ReadWrite)) {
            note(QStringLiteral("ошибка открытия порта %1: %2").arg(options_.port, probe.errorString()));
            return CliExit::Unavailable;
        }
    }
    fr_ = std::make_unique<FsWrapper>();
    fr_->setCashier(options_.cashier);
    fr_->setPassword(options_.password);
    if (!fr_->open(options_.port)) {
        note(QStringLiteral("ошибка открытия порта %1").arg(options_.port));
        fr_.reset();
        return CliExit::Unavailable;
    }
    commandLayer = fr_.get();
    operation_ = std::make_unique<FsOperation>(*fr_);
    return CliExit::Success;
}

bool Cli::stop(int sig)
{
    endFacts[QStringLiteral("stopped")] = sig == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM");
    if (!operation_)
        return false;
    fr_->stop();
    note(QStringLiteral("остановка: ждем ответа ККТ на уже отправленный запрос (не дольше %1 с), новые запросы "
                        "не отправляются; повторный сигнал прервет сразу")
             .arg((stopBudgetMs() + 999) / 1000));
    return true;
}

qint64 Cli::stopBudgetMs() const
{
    const qint64 cancel = FrApiThread::exchangeBudgetMs(FsTimeouts::Quick.readTimeout, FsTimeouts::Quick.writeTimeout);
    return (fr_ ? fr_->pendingBudgetMs() : 0) + cancel;
}

int Cli::finish(int code)
{
    // A command that succeeded left what it meant to leave (`raw` may open a document on purpose).
    const bool failed = code != CliExit::Success || (fr_ && fr_->isStopping());
    if (failed && operation_ && operation_->document() != FsDocument::None) {
        // A document this command opened and did not complete would stand in the way of the
        // register's next one. Said on stderr after the failure that left it; the failure stays
        // the error of --json, the cancel one of its facts.
        const int rc = operation_->cancelDocument();
        endFacts[QStringLiteral("documentCancelled")] = rc == CoreApiConst::Success;
        QString text;
        if (rc == CoreApiConst::Success)
            text = QStringLiteral("открытый документ отменен");
        else if (rc == CoreApiConst::DocMustBeOpen)
            text = QStringLiteral("открытого документа нет: он завершен или не был открыт (virta-cli status)");
        else
            text = QStringLiteral("открытый документ не отменен: ошибка %1: %2")
                       .arg(rc)
                       .arg(errorText(quint8(rc)).trimmed());
        write(stderr, QStringLiteral("virta-cli: ") + text + QLatin1Char('\n'));
    }
    operation_.reset();
    return code;
}

void Cli::out(const QString &text) const
{
    if (!options_.json)
        write(stdout, text + QLatin1Char('\n'));
}

void Cli::printJson(const QJsonValue &value) const
{
    if (!options_.json)
        return;
    documentPrinted = true;
    QJsonObject object = value.toObject();
    for (auto it = endFacts.constBegin(); it != endFacts.constEnd(); ++it)
        object.insert(it.key(), it.value());
    const QJsonDocument doc = value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(object);
    write(stdout, QString::fromUtf8(doc.toJson(QJsonDocument::Indented)));
}

void Cli::note(const QString &text)
{
    if (!text.startsWith(QStringLiteral("подробнее:")))
        lastNote = text;
    write(stderr, QStringLiteral("virta-cli: ") + text + QLatin1Char('\n'));
}

void Cli::printErrorDocument(int code)
{
    if (documentPrinted || code == CliExit::Success)
        return;
    documentPrinted = true;
    QJsonObject o = endFacts;
    o[QStringLiteral("result")] = code;
    o[QStringLiteral("error")] = lastNote;
    write(stdout, QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Indented)));
}

int Cli::usage(const QString &text)
{
    note(text);
    note(QStringLiteral("подробнее: virta-cli --help"));
    return CliExit::Usage;
}

int Cli::failed(int code, const QString &action)
{
    if (commandLayer && !commandLayer->lastRefusal().isEmpty())
        note(QStringLiteral("%1: %2").arg(action, commandLayer->lastRefusal()));
    else
        note(QStringLiteral("%1: ошибка %2: %3").arg(action).arg(code).arg(errorText(quint8(code)).trimmed()));
    return code;
}

namespace cliparse {

bool integer(const QString &text, qint64 min, qint64 max, qint64 *value)
{
    static const QRegularExpression digits(QStringLiteral("^-?[0-9]{1,18}$"));
    if (!digits.match(text).hasMatch())
        return false;
    const qint64 v = text.toLongLong();
    if (v < min || v > max)
        return false;
    *value = v;
    return true;
}

bool sum(const QString &text, qint64 *kopecks)
{
    // Fifteen digits of roubles keep the kopecks well inside 64 bits.
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,15})(?:[.,]([0-9]{1,2}))?$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return false;
    const QString fraction = m.captured(2).leftJustified(2, QLatin1Char('0'));
    const qint64 v = m.captured(1).toLongLong() * 100 + fraction.toLongLong();
    if (v <= 0)
        return false;
    *kopecks = v;
    return true;
}

bool dateTime(const QString &text, QDateTime *dt)
{
    QDateTime parsed = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    if (!parsed.isValid()) {
        const QDate day = QDate::fromString(text, QStringLiteral("yyyy-MM-dd"));
        if (day.isValid())
            parsed = QDateTime(day, QTime(0, 0));
    }
    // The register counts unsigned 32-bit seconds from 1970 of its own wall clock.
    const QDateTime first(QDate(1970, 1, 1), QTime(0, 0), Qt::UTC);
    if (!parsed.isValid())
        return false;
    const qint64 secs = first.secsTo(QDateTime(parsed.date(), parsed.time(), Qt::UTC));
    if (secs < 0 || secs > qint64(0xFFFFFFFFu))
        return false;
    *dt = parsed;
    return true;
}

bool hexBytes(const QString &text, QByteArray *bytes)
{
    QString digits = text;
    digits.remove(QRegularExpression(QStringLiteral("[\\s:]")));
    static const QRegularExpression form(QStringLiteral("^([0-9A-Fa-f]{2})*$"));
    if (!form.match(digits).hasMatch())
        return false;
    *bytes = QByteArray::fromHex(digits.toLatin1());
    return true;
}

bool takeOption(QStringList &args, const QString &name, int values, QStringList *taken)
{
    const int at = args.indexOf(name);
    if (at < 0)
        return true;
    if (at + values >= args.size())
        return false;
    *taken = args.mid(at + 1, values);
    for (int i = 0; i <= values; ++i)
        args.removeAt(at);
    return true;
}

bool takeFlag(QStringList &args, const QString &name)
{
    return args.removeAll(name) > 0;
}

} // namespace cliparse

QString plainText(const QString &html)
{
    // The renderings are <pre> blocks of lines; tags go, entities become their characters.
    QString text = html;
    text.remove(QRegularExpression(QStringLiteral("<[^>]*>")));
    text.replace(QLatin1String("&lt;"), QLatin1String("<"))
        .replace(QLatin1String("&gt;"), QLatin1String(">"))
        .replace(QLatin1String("&quot;"), QLatin1String("\""))
        .replace(QLatin1String("&nbsp;"), QLatin1String(" "))
        .replace(QLatin1String("&amp;"), QLatin1String("&"));
    QStringList lines = text.split(QLatin1Char('\n'));
    while (!lines.isEmpty() && lines.first().trimmed().isEmpty())
        lines.removeFirst();
    while (!lines.isEmpty() && lines.last().trimmed().isEmpty())
        lines.removeLast();
    return lines.join(QLatin1Char('\n'));
}
