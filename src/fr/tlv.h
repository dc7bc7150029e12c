#pragma once

#include <QByteArray>
#include <QDataStream>
#include <QDate>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>

#include "fixnumber.h"

// One tag-length-value record: tag (16 bit), length (16 bit), value, all little-endian.
class Tlv
{
public:
    static constexpr int MaxValueSize = 65534;

    Tlv() = default;
    Tlv(quint16 tag, const QByteArray &value) : tag_(tag), value_(value) {}
    Tlv(quint16 tag, quint8 v) : tag_(tag) { setUInt8(v); }
    Tlv(quint16 tag, qint8 v) : tag_(tag) { setUInt8(quint8(v)); }
    Tlv(quint16 tag, quint16 v) : tag_(tag) { setUInt16(v); }
    Tlv(quint16 tag, quint32 v) : tag_(tag) { setUInt32(v); }
    Tlv(quint16 tag, quint64 v) : tag_(tag) { setUInt64(v); }
    Tlv(quint16 tag, const FixNumber &v) : tag_(tag) { setFixNumber(v); }
    Tlv(quint16 tag, const QString &v) : tag_(tag) { setString(v); }
    Tlv(quint16 tag, const QDateTime &v) : tag_(tag) { setDateTime(v); }
    Tlv(quint16 tag, const QDate &v) : tag_(tag) { setDate(v); }
    Tlv(quint16 tag, const QList<Tlv> &v) : tag_(tag) { setList(v); }

    void setValue(const QByteArray &value) { value_ = value; }
    void setUInt8(quint8 v);
    void setUInt16(quint16 v);
    void setUInt32(quint32 v);
    void setUInt64(quint64 v); // variable length
    void setFixNumber(const FixNumber &v);
    void setString(const QString &v); // CP866
    void setDateTime(const QDateTime &v);
    void setDate(const QDate &v);
    void setList(const QList<Tlv> &v);

    quint16 tag() const { return tag_; }
    void setTag(quint16 tag) { tag_ = tag; }
    const QByteArray &value() const { return value_; }
    int valueLength() const { return value_.size(); }
    int encodedSize() const { return value_.size() + 4; }
    bool isValid() const { return tag_ != 0 && value_.size() <= MaxValueSize; }
    void clear()
    {
        tag_ = 0;
        value_.clear();
    }

    QByteArray rawData() const;
    bool setRawData(const QByteArray &raw);

    quint8 toUInt8(bool *ok = nullptr) const;
    quint16 toUInt16(bool *ok = nullptr) const;
    quint32 toUInt32(bool *ok = nullptr) const;
    quint64 toUInt64(bool *ok = nullptr) const;
    bool toBool(bool *ok = nullptr) const;
    FixNumber toFixNumber(bool *ok = nullptr) const;
    QDateTime toDateTime(bool *ok = nullptr) const;
    QDate toDate(bool *ok = nullptr) const;
    QList<Tlv> toList(bool *ok = nullptr) const;
    QMap<quint16, Tlv> toMap(bool *ok = nullptr) const;
    QString toString() const;

    bool operator==(const Tlv &o) const { return tag_ == o.tag_ && value_ == o.value_; }
    bool operator!=(const Tlv &o) const { return !(*this == o); }

private:
    quint16 tag_ = 0;
    QByteArray value_;
};

// Serialise a list of records as the plain concatenation of the valid ones.
QByteArray tlvListToBytes(const QList<Tlv> &list);

// The low `size` bytes of `v`, least significant first: how every integer of a payload is laid out.
QByteArray littleEndian(quint64 v, int size);

// Both operators expect a stream set to little-endian byte order.
QDataStream &operator<<(QDataStream &s, const Tlv &tlv);
// A stream that ends inside a record yields an invalid record (tag 0).
QDataStream &operator>>(QDataStream &s, Tlv &tlv);
