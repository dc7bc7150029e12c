#include "cli.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTextCodec>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "frapithread.h"
#include "frlink.h"
#include "frrecords.h"
#include "frwrapper.h"
#include "portlock.h"

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
    const FrAddress address = FrAddress::parse(options_.port);
    if (address.kind == FrAddress::Invalid)
        return usage(address.error);
    // A network peer has no device to lock: the connection the command keeps is its own, and the
    // peer serves one client at a time.
    const bool network = address.isNetwork();
    // First the lock: a program in the middle of its own command is named, not met as a port that
    // does not open (it holds the port open exclusively).
    if (!network) {
        if (const int rc = takePort())
            return rc;
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
    // The same for the network, on the connection the command then keeps: a second connection
    // just to look would be refused by a peer that takes one client at a time.
    QString failure;
    if (network && !fr_->waitUntilOpened(&failure)) {
        note(failure);
        fr_.reset();
        return CliExit::Unavailable;
    }
    commandLayer = fr_.get();
    operation_ = std::make_unique<FsOperation>(*fr_);
    return CliExit::Success;
}

QStringList Cli::every(const QString &option) const
{
    QStringList all;
    for (const QStringList &values : options_.commandOptions.value(option))
        all << values.value(0);
    return all;
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

int Cli::endCommand(int code)
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
    if (commandLayer && !commandLayer->lastRefusal().isEmpty())
        note(QStringLiteral("%1: %2").arg(action, commandLayer->lastRefusal()));
    else if (commandLayer && !commandLayer->linkError().isEmpty())
        note(QStringLiteral("%1: ошибка %2: %3").arg(action).arg(code).arg(commandLayer->linkError()));
    else
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
    // How the command ended (a stop, a document cancelled) goes with what it had to say.
    const auto withEndFacts = [](QJsonObject o) {
        for (auto it = endFacts.constBegin(); it != endFacts.constEnd(); ++it)
            o.insert(it.key(), it.value());
        return o;
    };
    if (json && arrayStarted) {
        write(stdout, QStringLiteral("\n]\n"));
    } else if (json && code != CliExit::Success) {
        // Whatever the command had to say, a script reads the outcome from the same two fields.
        QJsonObject o = withEndFacts(pendingDocument.toObject());
        o[QStringLiteral("result")] = code;
        if (!o.contains(QStringLiteral("error")))
            o[QStringLiteral("error")] = lastNote.isEmpty() ? errorText(quint8(code)).trimmed() : lastNote;
        write(stdout, jsonText(o));
    } else if (json && pendingDocument.isObject()) {
        write(stdout, jsonText(withEndFacts(pendingDocument.toObject())));
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
    const FrAddress address = FrAddress::parse(typed);
    if (address.kind != FrAddress::Serial)
        return address.isNetwork() ? address.name : typed;
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
