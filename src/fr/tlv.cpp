#include "tlv.h"

#include <QDebug>

#include "frmsg.h"
#include "frtext.h"
#include "hexdump.h"

namespace {
// Registration reply field that some firmware sends as 6 bytes: two leading bytes, then the number.
constexpr quint16 SixByteUInt32Tag = 11077;

quint64 fromLittleEndian(const char *data, int size)
{
    quint64 v = 0;
    for (int i = size - 1; i >= 0; --i) {
        v = (v << 8) | quint8(data[i]);
    }
    return v;
}

} // namespace

void Tlv::setUInt8(quint8 v)
{
    value_ = QByteArray(1, char(v));
}

void Tlv::setUInt16(quint16 v)
{
    value_ = littleEndian(v, 2);
}

void Tlv::setUInt32(quint32 v)
{
    value_ = littleEndian(v, 4);
}

void Tlv::setUInt64(quint64 v)
{
    QByteArray bytes = littleEndian(v, 8);
    int size = 8;
    while (size > 1 && bytes.at(size - 1) == '\0') {
        --size;
    }
    bytes.truncate(size);
    value_ = bytes;
}

void Tlv::setFixNumber(const FixNumber &v)
{
    value_ = v.toBytes();
}

void Tlv::setString(const QString &v)
{
    value_ = frtext::toCp866(v);
}

void Tlv::setDateTime(const QDateTime &v)
{
    setUInt32(dateTimeToTime(v));
}

void Tlv::setDate(const QDate &v)
{
    // Labelled UTC from the start: a local midnight can fall into a daylight-saving gap.
    setDateTime(QDateTime(v, QTime(0, 0), Qt::UTC));
}

void Tlv::setList(const QList<Tlv> &v)
{
    value_ = tlvListToBytes(v);
}

QByteArray Tlv::rawData() const
{
    if (!isValid()) {
        return QByteArray();
    }
    QByteArray raw;
    raw.reserve(encodedSize());
    raw.append(littleEndian(tag_, 2));
    raw.append(littleEndian(quint16(value_.size()), 2));
    raw.append(value_);
    return raw;
}

bool Tlv::setRawData(const QByteArray &raw)
{
    clear();
    if (raw.size() <= 3) {
        return false;
    }
    const quint16 tag = quint16(fromLittleEndian(raw.constData(), 2));
    const quint16 len = quint16(fromLittleEndian(raw.constData() + 2, 2));
    if (int(len) + 4 != raw.size()) {
        qWarning() << "TLV length mismatch: tag" << tag << "length" << len << "received" << raw.size()
                   << HexDump(raw, "UTF-8");
        return false;
    }
    tag_ = tag;
    value_ = raw.mid(4, len);
    return true;
}

quint8 Tlv::toUInt8(bool *ok) const
{
    const bool good = value_.size() == 1;
    if (ok) {
        *ok = good;
    }
    return good ? quint8(value_.at(0)) : 0;
}

quint16 Tlv::toUInt16(bool *ok) const
{
    const bool good = value_.size() == 2;
    if (ok) {
        *ok = good;
    }
    return good ? quint16(fromLittleEndian(value_.constData(), 2)) : 0;
}

quint32 Tlv::toUInt32(bool *ok) const
{
    if (value_.size() == 4) {
        if (ok) {
            *ok = true;
        }
        return quint32(fromLittleEndian(value_.constData(), 4));
    }
    if (tag_ == SixByteUInt32Tag && value_.size() == 6) {
        qWarning() << "Six-byte value of tag" << tag_ << HexDump(value_, "UTF-8");
        if (ok) {
            *ok = true;
        }
        return quint32(fromLittleEndian(value_.constData() + 2, 4));
    }
    if (ok) {
        *ok = false;
    }
    return 0;
}

quint64 Tlv::toUInt64(bool *ok) const
{
    if (ok) {
        *ok = true;
    }
    const QByteArray bytes = value_.left(8);
    return fromLittleEndian(bytes.constData(), bytes.size());
}

bool Tlv::toBool(bool *ok) const
{
    const bool good = value_.size() == 1;
    if (ok) {
        *ok = good;
    }
    return good && value_.at(0) == 1;
}

FixNumber Tlv::toFixNumber(bool *ok) const
{
    if (ok) {
        *ok = true;
    }
    return FixNumber::fromBytes(value_);
}

QDateTime Tlv::toDateTime(bool *ok) const
{
    if (value_.size() < 4) {
        if (ok) {
            *ok = false;
        }
        return QDateTime();
    }
    const QDateTime dt = timeToDateTime(quint32(fromLittleEndian(value_.constData(), 4)));
    if (ok) {
        *ok = dt.isValid();
    }
    return dt;
}

QDate Tlv::toDate(bool *ok) const
{
    bool good = false;
    const QDateTime dt = toDateTime(&good);
    good = good && dt.date().isValid();
    if (ok) {
        *ok = good;
    }
    return good ? dt.date() : QDate();
}

QList<Tlv> Tlv::toList(bool *ok) const
{
    QList<Tlv> list;
    if (isValid()) {
        QDataStream ds(value_);
        ds.setByteOrder(QDataStream::LittleEndian);
        while (!ds.atEnd()) {
            Tlv t;
            ds >> t;
            if (t.tag() == 0 || !t.isValid()) {
                list.clear();
                break;
            }
            list << t;
        }
    }
    if (ok) {
        *ok = !list.isEmpty();
    }
    return list;
}

QMap<quint16, Tlv> Tlv::toMap(bool *ok) const
{
    QMap<quint16, Tlv> map;
    const QList<Tlv> list = toList(ok);
    for (const Tlv &t : list) {
        map.insert(t.tag(), t);
    }
    return map;
}

QString Tlv::toString() const
{
    if (value_.isEmpty()) {
        return QString();
    }
    return frtext::fromCp866(value_);
}

QByteArray tlvListToBytes(const QList<Tlv> &list)
{
    QByteArray bytes;
    for (const Tlv &t : list) {
        bytes.append(t.rawData());
    }
    return bytes;
}

QDataStream &operator<<(QDataStream &s, const Tlv &tlv)
{
    if (tlv.isValid()) {
        s << tlv.tag() << quint16(tlv.valueLength());
        if (tlv.valueLength() > 0) {
            s.writeRawData(tlv.value().constData(), tlv.valueLength());
        }
    }
    return s;
}

QDataStream &operator>>(QDataStream &s, Tlv &tlv)
{
    tlv.clear();
    quint16 tag = 0;
    quint16 len = 0;
    s >> tag >> len;
    if (s.status() != QDataStream::Ok) {
        return s;
    }
    if (len == 0) {
        tlv.setTag(tag);
        return s;
    }
    // A record cut short by the end of the stream stays invalid rather than half-read.
    QByteArray value(len, Qt::Uninitialized);
    const int read = s.readRawData(value.data(), len);
    if (read != int(len)) {
        s.setStatus(QDataStream::ReadPastEnd);
        return s;
    }
    tlv.setTag(tag);
    tlv.setValue(value);
    return s;
}

QByteArray littleEndian(quint64 v, int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) {
        bytes[i] = char((v >> (8 * i)) & 0xFF);
    }
    return bytes;
}
