// The faults by name: the table of names, and the text form --fault takes and the request log
// shows. What a fault does on the wire is the device's (emudevice.cpp).
#include "emufault.h"

#include <QRegularExpression>

namespace {

const struct
{
    EmuFault::Kind kind;
    const char *name;
    bool takesValue;
} FaultNames[] = {
    {EmuFault::DropReply, "drop-reply", false},        {EmuFault::IgnoreRequest, "ignore-request", false},
    {EmuFault::StaleRepeat, "stale-repeat", false},    {EmuFault::SplitReply, "split-reply", true},
    {EmuFault::DelayReply, "delay-reply", true},       {EmuFault::CorruptCrc, "corrupt-crc", false},
    {EmuFault::StrayPrefix, "stray-prefix", true},     {EmuFault::Silent, "silent", false},
    {EmuFault::TruncateReply, "truncate-reply", true}, {EmuFault::PrinterNotAnswering, "printer-not-answering", false},
    {EmuFault::OutOfPaper, "out-of-paper", false},     {EmuFault::TapeOutOfPaper, "tape-out-of-paper", true},
    {EmuFault::ForeignCard, "foreign-card", false},    {EmuFault::EepromError, "eeprom-error", false},
    {EmuFault::PaperLow, "paper-low", false},          {EmuFault::Refuse, "refuse", true},
};

} // namespace

QString EmuFault::name(Kind kind)
{
    for (const auto &n : FaultNames)
        if (n.kind == kind)
            return QString::fromLatin1(n.name);
    return QString();
}

QStringList EmuFault::names()
{
    QStringList list;
    for (const auto &n : FaultNames)
        list << QString::fromLatin1(n.name);
    return list;
}

bool EmuFault::parse(const QString &text, EmuFault *fault, QString *error)
{
    static const QRegularExpression re(QStringLiteral("^([a-z-]+)(?::(\\d{1,9}))?(?:=(\\d{1,9}))?(?::(\\d{1,9}))?$"));
    const auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    const QRegularExpressionMatch m = re.match(text.trimmed());
    if (!m.hasMatch())
        return fail(QStringLiteral("fault \"%1\" is not NAME[:N][=VALUE]").arg(text));
    if (!m.captured(2).isEmpty() && !m.captured(4).isEmpty())
        return fail(QStringLiteral("fault \"%1\" gives N twice").arg(text));
    for (const auto &n : FaultNames) {
        if (m.captured(1) != QLatin1String(n.name))
            continue;
        EmuFault f(n.kind);
        const QString nth = m.captured(2).isEmpty() ? m.captured(4) : m.captured(2);
        f.nth = nth.isEmpty() ? 0 : nth.toInt();
        if (!m.captured(3).isEmpty()) {
            if (!n.takesValue)
                return fail(QStringLiteral("fault %1 takes no value").arg(m.captured(1)));
            f.value = m.captured(3).toInt();
            if (f.value > 600000)
                return fail(QStringLiteral("fault %1: value %2 is too large").arg(m.captured(1)).arg(f.value));
        }
        if (f.kind == EmuFault::Refuse && (f.value < 1 || f.value > 255))
            return fail(QStringLiteral("fault refuse needs the result code to answer with: refuse=CODE (1 to 255)"));
        if (fault)
            *fault = f;
        return true;
    }
    return fail(
        QStringLiteral("unknown fault \"%1\"; known: %2").arg(m.captured(1), names().join(QLatin1String(", "))));
}

QString EmuFault::toString() const
{
    QString s = name(kind);
    if (nth > 0)
        s += QStringLiteral(":%1").arg(nth);
    if (value >= 0)
        s += QStringLiteral("=%1").arg(value);
    return s;
}
