#pragma once

#include <QByteArray>
#include <QString>

// Single entries of the register's catalogues, in the byte form the catalogue commands carry.
// The register keeps them as raw blocks; these types are where their layouts live.

// One cashier: 263 bytes (number, rights, password, a 256-byte CP866 name area).
class CashierEntry
{
public:
    enum Right : quint16 {
        Receipts = 0x0001,
        Reports = 0x0002,
        Settings = 0x0004,
        Fiscalization = 0x0008,
        ReturnReceipts = 0x0010,
        WriteSerial = 0x0020,
        Catalogs = 0x0080,
        Cashiers = 0x0100,
    };

    static constexpr int NameAreaSize = 256;
    static constexpr int MaxNameBytes = NameAreaSize - 1; // the area always ends in a zero byte
    static constexpr int HeaderSize = 7;
    static constexpr int Size = HeaderSize + NameAreaSize;

    qint8 number() const { return number_; }
    void setNumber(qint8 number) { number_ = number; }
    quint16 rights() const { return rights_; }
    void setRights(quint16 rights) { rights_ = rights; }
    qint32 password() const { return password_; }
    void setPassword(qint32 password) { password_ = password; }
    QString name() const { return name_; }
    // Another name replaces the name area as read; the same name keeps it byte for byte.
    void setName(const QString &name);

    // True when every bit of `mask` is set.
    bool hasRight(quint16 mask) const { return (rights_ & mask) == mask; }
    void setRight(quint16 mask, bool on);

    // Whatever the register sent: missing header bytes read as zero.
    void fromBytes(const QByteArray &bytes);
    QByteArray toBytes() const;

private:
    qint8 number_ = 0;
    quint16 rights_ = 0;
    qint32 password_ = 0;
    QString name_;
    // The name area as the register sent it, when it was the layout's 256 bytes: reading drops
    // zero bytes and blanks at the ends, so the area is rebuilt from the name only once the name
    // is changed.
    QByteArray nameArea_;
};

// One department: a fixed 128-byte block (number, then a 127-byte CP866 name area), kept as is so
// that bytes this program does not interpret go back to the register unchanged.
class SectionEntry
{
public:
    static constexpr int Size = 128;
    static constexpr int NameAreaSize = Size - 1;

    SectionEntry();

    quint8 number() const { return quint8(data_.at(0)); }
    void setNumber(quint8 number) { data_[0] = char(number); }
    QString name() const;
    // A name that does not fit the area (128 bytes or more in CP866) leaves the old one in place.
    void setName(const QString &name);

    // Takes the bytes only when they are exactly one block; returns whether it did.
    bool fromBytes(const QByteArray &bytes);
    QByteArray toBytes() const { return data_; }

private:
    QByteArray data_;
};

// One discount: number, kind, value in hundredths, then a CP866 name area of at least 128 bytes.
class DiscountEntry
{
public:
    enum Kind : qint8 { Amount = 0, Percent = 1, Undefined = 2 };

    static constexpr int HeaderSize = 10;
    static constexpr int NameAreaSize = 128;

    qint8 number() const { return number_; }
    void setNumber(qint8 number) { number_ = number; }
    qint8 kind() const { return kind_; }
    void setKind(qint8 kind) { kind_ = kind; }
    // Raw count of hundredths: kopecks for an amount, hundredths of a percent for a percent.
    qint64 value() const { return value_; }
    void setValue(qint64 raw) { value_ = raw; }
    QString name() const { return name_; }
    void setName(const QString &name) { name_ = name; }

    void fromBytes(const QByteArray &bytes);
    QByteArray toBytes() const;

private:
    qint8 number_ = 0;
    qint8 kind_ = Undefined;
    qint64 value_ = 0;
    QString name_;
};
