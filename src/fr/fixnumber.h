#pragma once

#include <QByteArray>
#include <QChar>
#include <QString>

// Exact decimal: raw / divisor, divisor a power of ten. Money always has divisor 100.
class FixNumber
{
public:
    FixNumber() = default;
    explicit FixNumber(quint32 divisor) : divisor_(divisor) {}
    FixNumber(quint32 divisor, qint64 raw) : divisor_(divisor), raw_(raw) {}
    FixNumber(quint32 divisor, double value);
    FixNumber(quint32 divisor, const QString &text);
    FixNumber(const FixNumber &) = default;
    FixNumber &operator=(const FixNumber &) = default;

    virtual ~FixNumber() = default;
    virtual double toDouble() const;
    virtual QString toString() const;
    virtual QString toString(QChar decimalPoint, QChar groupSeparator) const;
    virtual QString toTrimmedString(QChar decimalPoint) const;
    virtual FixNumber converted(quint32 newDivisor) const;
    virtual void setValue(double value);
    virtual void setValue(const QString &text);
    virtual bool parse(const QString &text);
    virtual int decimals() const;
    virtual void setDecimals(int n);

    quint32 divisor() const { return divisor_; }
    qint64 raw() const { return raw_; }
    void setRaw(qint64 raw) { raw_ = raw; }

    // Byte form inside TLV values: decimals byte, then the raw value little-endian
    // with trailing zero bytes dropped (at least one byte kept).
    QByteArray toBytes() const;
    static FixNumber fromBytes(const QByteArray &bytes);

    bool operator==(const FixNumber &o) const;
    bool operator!=(const FixNumber &o) const { return !(*this == o); }
    bool operator<(const FixNumber &o) const;
    bool operator>(const FixNumber &o) const;
    bool operator<=(const FixNumber &o) const { return *this == o || *this < o; }
    bool operator>=(const FixNumber &o) const { return *this == o || *this > o; }
    FixNumber operator+(const FixNumber &o) const;
    FixNumber operator-(const FixNumber &o) const;
    FixNumber &operator+=(const FixNumber &o);
    FixNumber &operator-=(const FixNumber &o);

private:
    quint32 divisor_ = 100;
    qint64 raw_ = 0;
};
