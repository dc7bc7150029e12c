#include "logentry.h"

#include <QThread>

#include <algorithm>

#include "hexdump.h"
#include "logsettings.h"

namespace logging {

namespace {

QString shortLabel(int type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("INFO:");
    case QtWarningMsg:
        return QStringLiteral("WARNING:");
    case QtCriticalMsg:
        return QStringLiteral("CRITICAL:");
    case QtFatalMsg:
        return QStringLiteral("FATAL:");
    default:
        return QString();
    }
}

QString longLabel(int type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("INFO IN:");
    case QtWarningMsg:
        return QStringLiteral("WARNING IN:");
    case QtCriticalMsg:
        return QStringLiteral("CRITICAL IN:");
    case QtFatalMsg:
        return QStringLiteral("FATAL IN:");
    default:
        return QString();
    }
}

// Fields grow instead of being cut: a long file name pushes the rest of the line to the right.
void appendField(QString &line, const QString &text, int width)
{
    line += text;
    if (text.size() < width)
        line.resize(line.size() + width - text.size(), QLatin1Char(' '));
}

void appendTwoDigits(QString &line, int value)
{
    line += QLatin1Char(char('0' + value / 10));
    line += QLatin1Char(char('0' + value % 10));
}

// The header is built as one string and written with its message at once: this runs for every
// entry, and the stream's own formatting (and the indent manipulator's flush) cost more than the
// entry itself.
QString entryHeader(const LogEntryHeader &h, int messageSize)
{
    QString line;
    line.reserve(128 + h.function.size() + messageSize);
    if (!h.dateInName)
        line += QLatin1Char('[') + today().toString(QStringLiteral("yy-MM-dd")) + QLatin1String("]\n");
    const QTime now = localNow().time;
    line += QLatin1Char('[');
    appendTwoDigits(line, now.hour());
    line += QLatin1Char(':');
    appendTwoDigits(line, now.minute());
    line += QLatin1Char(':');
    appendTwoDigits(line, now.second());
    line += QLatin1Char('.');
    line += QLatin1Char(char('0' + now.msec() / 100));
    appendTwoDigits(line, now.msec() % 100);
    line += QLatin1String("] ");
    if (h.line == 0 && h.sourceFile.isEmpty()) {
        const QString label = shortLabel(h.type);
        if (!label.isEmpty())
            appendField(line, label, 10);
    } else {
        const QString label = longLabel(h.type);
        if (!label.isEmpty())
            appendField(line, label, 16);
        const int slash =
            std::max(h.sourceFile.lastIndexOf(QLatin1Char('/')), h.sourceFile.lastIndexOf(QLatin1Char('\\')));
        const auto threadId = reinterpret_cast<quintptr>(QThread::currentThreadId());
        appendField(line, h.sourceFile.mid(slash + 1), 32);
        appendField(line, QString::number(h.line), 5);
        appendField(line, QStringLiteral("THREAD_ID:"), 14);
        appendField(line, QString::number(threadId, 16), 16);
        const QString continuation = QLatin1Char('\n') + QString(IndentWidth, QLatin1Char(' '));
        line += continuation + h.function + continuation;
    }
    return line;
}

} // namespace

QString entryText(const LogEntryHeader &h, const QString &message)
{
    return entryHeader(h, message.size()) + message + QLatin1Char('\n');
}

} // namespace logging
