#include "fixnumber.h"

#include <QDataStream>
#include <QLocale>
#include <QRegularExpression>
#include <QStringList>

#include <cmath>
#include <cstdlib>
#include <limits>

namespace {
// A divisor of 0 counts as 1 wherever the value is scaled, as toDouble() does.
quint64 scaleOf(quint32 divisor)
{
    return divisor == 0 ? 1 : divisor;
}

// Largest decimals count whose power of ten still fits the 32-bit divisor.
constexpr int MaxDecimals = 9;

quint32 powerOfTen(int n)
{
    quint32 p = 1;
    for (int i = 0; i < n; ++i) {
        p *= 10;
    }
    return p;
}

qint64 clampToInt64(__int128 v)
{
    if (v > std::numeric_limits<qint64>::max()) {
        return std::numeric_limits<qint64>::max();
    }
    if (v < std::numeric_limits<qint64>::min()) {
        return std::numeric_limits<qint64>::min();
    }
    return qint64(v);
}

// Both raw values brought to the larger of the two divisors.
struct Common
{
    quint32 divisor;
    __int128 a;
    __int128 b;
};

Common common(const FixNumber &x, const FixNumber &y)
{
    const quint64 dx = scaleOf(x.divisor());
    const quint64 dy = scaleOf(y.divisor());
    const quint64 d = qMax(dx, dy);
    Common c;
    c.divisor = qMax(x.divisor(), y.divisor());
    c.a = __int128(x.raw()) * __int128(d / dx);
    c.b = __int128(y.raw()) * __int128(d / dy);
    return c;
}
} // namespace

FixNumber::FixNumber(quint32 divisor, double value) : divisor_(divisor)
{
    setValue(value);
}

FixNumber::FixNumber(quint32 divisor, const QString &text) : divisor_(divisor)
{
    setValue(text);
}

double FixNumber::toDouble() const
{
    if (divisor_ == 0) {
        return double(raw_);
    }
    return double(raw_) / double(divisor_);
}

QString FixNumber::toString() const
{
    return toString(QLocale().decimalPoint(), QChar());
}

QString FixNumber::toString(QChar decimalPoint, QChar groupSeparator) const
{
    if (divisor_ <= 1) {
        return QString::number(raw_);
    }
    const bool negative = raw_ < 0;
    // Magnitude as unsigned so that the most negative raw value still formats.
    const quint64 magnitude = negative ? quint64(0) - quint64(raw_) : quint64(raw_);
    quint64 intPart = magnitude / divisor_;
    const quint64 fraction = magnitude % divisor_;

    QString integer;
    if (intPart > 999) {
        QStringList groups;
        while (intPart > 999) {
            groups.prepend(QStringLiteral("%1").arg(intPart % 1000, 3, 10, QLatin1Char('0')));
            intPart /= 1000;
        }
        groups.prepend(QString::number(intPart));
        integer = groups.join(groupSeparator.isNull() ? QString() : QString(groupSeparator));
    } else {
        integer = QString::number(intPart);
    }
    return QStringLiteral("%1%2%3%4")
        .arg(negative ? QStringLiteral("-") : QString(), integer, QString(decimalPoint),
             QStringLiteral("%1").arg(fraction, decimals(), 10, QLatin1Char('0')));
}

QString FixNumber::toTrimmedString(QChar decimalPoint) const
{
    QString s = toString(decimalPoint, QChar());
    if (divisor_ <= 1) {
        return s;
    }
    const int point = s.lastIndexOf(decimalPoint);
    if (point < 0) {
        return s;
    }
    for (int i = point + 1; i < s.size(); ++i) {
        if (s.at(i) != QLatin1Char('0')) {
            return s;
        }
    }
    s.truncate(point);
    return s;
}

FixNumber FixNumber::converted(quint32 newDivisor) const
{
    if (newDivisor == divisor_) {
        return *this;
    }
    const quint64 from = scaleOf(divisor_);
    const quint64 to = scaleOf(newDivisor);
    if (to >= from) {
        return FixNumber(newDivisor, clampToInt64(__int128(raw_) * __int128(to) / __int128(from)));
    }
    // Rounded on the magnitude, so a negative amount rounds like its positive counterpart.
    const bool negative = raw_ < 0;
    const quint64 magnitude = negative ? quint64(0) - quint64(raw_) : quint64(raw_);
    const quint64 k = from / to;
    quint64 q = magnitude / k;
    const quint64 r = magnitude % k;
    const quint64 digitUnit = k / 10;
    const quint64 firstDropped = digitUnit ? r / digitUnit : 0;
    if (firstDropped > 5 || (firstDropped == 5 && (q & 1))) {
        ++q;
    }
    return FixNumber(newDivisor, negative ? -qint64(q) : qint64(q));
}

void FixNumber::setValue(double value)
{
    // Prices typed as 1.015 are stored as 1.01499999...; going through one extra decimal in
    // extended precision first is what makes them round as the user wrote them.
    const long double scaled = static_cast<long double>(scaleOf(divisor_)) * static_cast<long double>(value);
    const long double extra = std::fabs(scaled) * 10.0L;
    // Out of range (or not a number): the 64-bit raw value cannot hold it, keep the old one.
    if (!std::isfinite(extra) || extra >= 9.2e18L) {
        return;
    }
    const long long v = std::llroundl(extra);
    long long u = v / 10;
    const long long d = v - 10 * u;
    if (d > 5 || (d == 5 && (u & 1))) {
        ++u;
    }
    raw_ = scaled < 0 ? -u : u;
}

void FixNumber::setValue(const QString &text)
{
    static const QRegularExpression re(
        QRegularExpression::anchoredPattern(QStringLiteral("(\\-?[0-9]+)([\\.,\\,]?)([0-9]*)")));
    if (!re.match(text).hasMatch()) {
        return;
    }
    QString t = text;
    t.replace(QLatin1Char(','), QLatin1Char('.'));
    if (t.endsWith(QLatin1Char('.'))) {
        t.chop(1);
    }
    bool ok = false;
    const double v = t.toDouble(&ok);
    if (ok) {
        setValue(v);
    }
}

bool FixNumber::parse(const QString &text)
{
    QString t = text.trimmed();
    t.replace(QLatin1Char(','), QLatin1Char('.'));
    if (t.isEmpty()) {
        divisor_ = 1;
        raw_ = 0;
        return true;
    }
    const QStringList parts = t.split(QLatin1Char('.'));
    if (parts.size() == 1) {
        bool ok = false;
        divisor_ = 1;
        raw_ = t.toLongLong(&ok);
        return ok;
    }
    if (parts.size() > 2) {
        return false;
    }
    const QString intPart = parts.at(0).trimmed();
    const QString fracPart = parts.at(1).trimmed();
    // More decimals than the 32-bit divisor can express would silently scale the value.
    if (fracPart.size() > MaxDecimals) {
        return false;
    }
    bool ok = false;
    divisor_ = powerOfTen(fracPart.size());
    raw_ = (intPart + fracPart).toLongLong(&ok);
    return ok;
}

int FixNumber::decimals() const
{
    if (divisor_ < 2) {
        return 0;
    }
    int n = 0;
    for (quint32 d = divisor_; d >= 10; d /= 10) {
        ++n;
    }
    return n;
}

void FixNumber::setDecimals(int n)
{
    // Beyond 9 decimals the divisor would overflow to a meaningless value.
    if (n < 0 || n > MaxDecimals) {
        return;
    }
    divisor_ = powerOfTen(n);
}

QByteArray FixNumber::toBytes() const
{
    QByteArray bytes(9, '\0');
    bytes[0] = char(quint8(decimals()));
    const quint64 u = quint64(raw_);
    for (int i = 0; i < 8; ++i) {
        bytes[1 + i] = char((u >> (8 * i)) & 0xFF);
    }
    int size = 9;
    while (size > 2 && bytes.at(size - 1) == '\0') {
        --size;
    }
    bytes.truncate(size);
    return bytes;
}

FixNumber FixNumber::fromBytes(const QByteArray &bytes)
{
    QByteArray padded = bytes.left(9);
    padded.append(QByteArray(9 - padded.size(), '\0'));
    QDataStream ds(padded);
    ds.setByteOrder(QDataStream::LittleEndian);
    qint8 decimals = 0;
    qint64 raw = 0;
    ds >> decimals >> raw;
    FixNumber n(1, raw);
    n.setDecimals(decimals);
    return n;
}

bool FixNumber::operator==(const FixNumber &o) const
{
    if (divisor_ == o.divisor_ && raw_ == o.raw_) {
        return true;
    }
    const double a = toDouble();
    const double b = o.toDouble();
    return std::fabs(a - b) * 1e12 <= qMin(std::fabs(a), std::fabs(b));
}

bool FixNumber::operator<(const FixNumber &o) const
{
    const Common c = common(*this, o);
    return c.a < c.b;
}

bool FixNumber::operator>(const FixNumber &o) const
{
    const Common c = common(*this, o);
    return c.a > c.b;
}

FixNumber FixNumber::operator+(const FixNumber &o) const
{
    const Common c = common(*this, o);
    return FixNumber(c.divisor, clampToInt64(c.a + c.b));
}

FixNumber FixNumber::operator-(const FixNumber &o) const
{
    const Common c = common(*this, o);
    return FixNumber(c.divisor, clampToInt64(c.a - c.b));
}

FixNumber &FixNumber::operator+=(const FixNumber &o)
{
    *this = *this + o;
    return *this;
}

FixNumber &FixNumber::operator-=(const FixNumber &o)
{
    *this = *this - o;
    return *this;
}
