#include "cli.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTextCodec>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "frrecords.h"
#include "frwrapper.h"

namespace {

// The first failure of standard output (its errno), 0 while everything went through.
int stdoutError = 0;

void write(FILE *stream, const QString &text)
{
    if (stream == stdout && stdoutError != 0)
        return;
    const QByteArray bytes = text.toUtf8();
    const bool ok = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size()) &&
                    std::fflush(stream) == 0;
    if (!ok && stream == stdout)
        stdoutError = errno != 0 ? errno : EIO;
}

QString jsonText(const QJsonValue &value)
{
    const QJsonDocument doc = value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    return QString::fromUtf8(doc.toJson(QJsonDocument::Indented));
}

// What --json leaves on stdout: the command's document, held until the command has ended, or the
// array it writes as it goes.
QString lastNote;
QJsonValue pendingDocument;
bool arrayStarted = false;
QString commandName;

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

QStringList Cli::every(const QString &option) const
{
    QStringList all;
    for (const QStringList &values : options_.commandOptions.value(option))
        all << values.value(0);
    return all;
}

void Cli::out(const QString &text) const
{
    if (!options_.json)
        write(stdout, text + QLatin1Char('\n'));
}

void Cli::printJson(const QJsonValue &value) const
{
    if (options_.json)
        pendingDocument = value;
}

void Cli::printJsonItem(const QJsonValue &value) const
{
    if (!options_.json)
        return;
    // One element at a time, indented as the whole document would be.
    const QString whole = jsonText(QJsonArray{value});
    const int from = whole.indexOf(QLatin1Char('\n')) + 1;
    const QString element = whole.mid(from, whole.lastIndexOf(QStringLiteral("\n]")) - from);
    write(stdout, (arrayStarted ? QStringLiteral(",\n") : QStringLiteral("[\n")) + element);
    arrayStarted = true;
}

void Cli::note(const QString &text)
{
    if (!text.startsWith(QStringLiteral("подробнее:")))
        lastNote = text;
    write(stderr, QStringLiteral("virta-cli: ") + text + QLatin1Char('\n'));
}

int Cli::usage(const QString &text)
{
    note(text);
    note(commandName.isEmpty() ? QStringLiteral("подробнее: virta-cli --help")
                               : QStringLiteral("подробнее: virta-cli %1 --help").arg(commandName));
    return CliExit::Usage;
}

int Cli::failed(int code, const QString &action)
{
    note(QStringLiteral("%1: ошибка %2: %3").arg(action).arg(code).arg(errorText(quint8(code)).trimmed()));
    return code;
}

bool Cli::outputFailed()
{
    return stdoutError != 0;
}

void Cli::setCommandName(const QString &name)
{
    commandName = name;
}

int Cli::finish(int code, bool json)
{
    if (json && arrayStarted) {
        write(stdout, QStringLiteral("\n]\n"));
    } else if (json && code != CliExit::Success) {
        // Whatever the command had to say, a script reads the outcome from the same two fields.
        QJsonObject o = pendingDocument.toObject();
        o[QStringLiteral("result")] = code;
        if (!o.contains(QStringLiteral("error")))
            o[QStringLiteral("error")] = lastNote.isEmpty() ? errorText(quint8(code)).trimmed() : lastNote;
        write(stdout, jsonText(o));
    } else if (json && !pendingDocument.isUndefined()) {
        write(stdout, jsonText(pendingDocument));
    }
    if (std::fflush(stdout) != 0 && stdoutError == 0)
        stdoutError = errno != 0 ? errno : EIO;
    if (stdoutError == 0)
        return code;
    note(QStringLiteral("ошибка записи в стандартный вывод: %1")
             .arg(QString::fromLocal8Bit(std::strerror(stdoutError))));
    return code == CliExit::Success ? CliExit::IoError : code;
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

bool decimal(const QString &text, int decimals, qint64 *raw)
{
    // Fifteen whole digits keep the raw count well inside 64 bits for up to three decimals; with
    // more decimals the whole part is shorter.
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,15})(?:[.,]([0-9]+))?$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch() || m.captured(2).size() > decimals || m.captured(1).size() + decimals > 18)
        return false;
    qint64 scale = 1;
    for (int i = 0; i < decimals; ++i)
        scale *= 10;
    const QString fraction = m.captured(2).leftJustified(decimals, QLatin1Char('0'));
    const qint64 v = m.captured(1).toLongLong() * scale + (decimals > 0 ? fraction.toLongLong() : 0);
    if (v <= 0)
        return false;
    *raw = v;
    return true;
}

bool sum(const QString &text, qint64 *kopecks, bool zero)
{
    static const QRegularExpression zeros(QStringLiteral("^0+(?:[.,]0{1,2})?$"));
    if (zero && zeros.match(text).hasMatch()) {
        *kopecks = 0;
        return true;
    }
    return decimal(text, 2, kopecks);
}

bool dateTime(const QString &text, QDateTime *dt)
{
    QString typed = text;
    if (typed.size() > 10 && typed.at(10) == QLatin1Char('T'))
        typed[10] = QLatin1Char(' ');
    QDateTime parsed = QDateTime::fromString(typed, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    if (!parsed.isValid()) {
        const QDate day = QDate::fromString(typed, QStringLiteral("yyyy-MM-dd"));
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

QString cp866Refusal(const QString &text, int maxBytes)
{
    // The command layer would send a character CP866 lacks as "?" and cut a long text short:
    // the paper would say something else than what was asked for.
    for (const uint c : text.toUcs4()) {
        const QString character = QString::fromUcs4(&c, 1);
        if (!frtext::cp866()->canEncode(character))
            return QStringLiteral("символ «%1» (U+%2) не передается в ККТ (кодировка CP866)")
                .arg(character)
                .arg(c, 4, 16, QLatin1Char('0'));
    }
    const int size = frtext::toCp866(text).size();
    if (size > maxBytes)
        return QStringLiteral("длиннее %1 символов (%2)").arg(maxBytes).arg(size);
    return QString();
}

QString portPath(const QString &typed)
{
    // Qt takes a name without a leading "/", "./" or "../" for a device under /dev: "fr2" and
    // "tmp/fr2" would open /dev/fr2 and /dev/tmp/fr2. A name that is a file here means that file.
    if (typed.isEmpty())
        return typed;
    const QFileInfo here(typed);
    if (typed.contains(QLatin1Char('/')) || here.exists())
        return here.absoluteFilePath();
    return QStringLiteral("/dev/") + typed;
}

} // namespace cliparse

QString isoDates(const QString &text)
{
    static const QRegularExpression date(
        QStringLiteral("\\b([0-9]{2})\\.([0-9]{2})\\.([0-9]{4})(?: ([0-9]{2}:[0-9]{2}(?::[0-9]{2})?))?"));
    QString out;
    int from = 0;
    for (auto it = date.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        out += text.mid(from, m.capturedStart() - from);
        out += QStringLiteral("%1-%2-%3").arg(m.captured(3), m.captured(2), m.captured(1));
        if (m.capturedLength(4) > 0)
            out += QLatin1Char('T') + m.captured(4);
        from = m.capturedEnd();
    }
    return out + text.mid(from);
}

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
    for (QString &line : lines) {
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
    }
    return isoDates(lines.join(QLatin1Char('\n')));
}
