#include "cli.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSerialPort>

#include <cstdio>

#include "frwrapper.h"

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

} // namespace

Cli::Cli(const CliOptions &options) : options_(options)
{}

Cli::~Cli() = default;

int Cli::connect()
{
    if (fr_)
        return CliExit::Success;
    if (options_.port.isEmpty())
        return usage(QStringLiteral("не указан порт: --port ПУТЬ или переменная VIRTA_PORT"));
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
    return CliExit::Success;
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
    const QJsonDocument doc = value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
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
    const QJsonObject o{{QStringLiteral("result"), code}, {QStringLiteral("error"), lastNote}};
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
