#include "catalogentries.h"

#include <QDataStream>

#include "frrecords.h"

namespace {

// A short entry leaves the stream's values at zero for the fields that are missing.
class LeReader
{
public:
    explicit LeReader(const QByteArray &bytes) : s_(bytes) { s_.setByteOrder(QDataStream::LittleEndian); }
    template <typename T> T get()
    {
        T v = 0;
        s_ >> v;
        return v;
    }

private:
    QDataStream s_;
};

class LeWriter
{
public:
    LeWriter() : s_(&bytes_, QIODevice::WriteOnly) { s_.setByteOrder(QDataStream::LittleEndian); }
    template <typename T> LeWriter &put(T v)
    {
        s_ << v;
        return *this;
    }
    QByteArray bytes() const { return bytes_; }

private:
    QByteArray bytes_;
    QDataStream s_;
};

QByteArray withoutZeros(QByteArray bytes)
{
    bytes.replace('\0', QByteArray());
    return bytes;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// CashierEntry

void CashierEntry::setRight(quint16 mask, bool on)
{
    if (on)
        rights_ |= mask;
    else
        rights_ &= quint16(~mask);
}

void CashierEntry::setName(const QString &name)
{
    if (name == name_)
        return;
    name_ = name;
    nameArea_.clear();
}

void CashierEntry::fromBytes(const QByteArray &bytes)
{
    LeReader r(bytes.left(HeaderSize));
    number_ = r.get<qint8>();
    rights_ = r.get<quint16>();
    password_ = r.get<qint32>();
    const QByteArray area = bytes.mid(HeaderSize);
    name_ = frtext::fromCp866(withoutZeros(area)).trimmed();
    // Kept byte for byte only when it is the layout's area: an entry of another length goes back
    // as the 263 bytes of the layout, its name rebuilt.
    nameArea_ = area.size() == NameAreaSize ? area : QByteArray();
}

QByteArray CashierEntry::toBytes() const
{
    if (!nameArea_.isEmpty())
        return LeWriter().put(number_).put(rights_).put(password_).bytes() + nameArea_;
    // The last byte of the name area stays zero, so a name is cut rather than let run into it.
    QByteArray name = frtext::toCp866(name_).left(MaxNameBytes);
    name.append(QByteArray(NameAreaSize - name.size(), '\0'));
    QByteArray out = LeWriter().put(number_).put(rights_).put(password_).bytes();
    out.append(name);
    return out;
}

// ---------------------------------------------------------------------------------------------
// SectionEntry

SectionEntry::SectionEntry() : data_(Size, '\0')
{}

QString SectionEntry::name() const
{
    const QByteArray area = data_.mid(1);
    // A name that fills the whole area has no terminating zero.
    if (area.at(NameAreaSize - 1) != '\0')
        return frtext::fromCp866(area);
    return frtext::fromCp866(frtext::untilZero(area));
}

void SectionEntry::setName(const QString &name)
{
    const QByteArray bytes = frtext::toCp866(name);
    if (bytes.size() >= Size)
        return;
    data_.replace(1, NameAreaSize, QByteArray(NameAreaSize, '\0'));
    data_.replace(1, bytes.size(), bytes);
}

bool SectionEntry::fromBytes(const QByteArray &bytes)
{
    if (bytes.size() != Size)
        return false;
    data_ = bytes;
    return true;
}

// ---------------------------------------------------------------------------------------------
// DiscountEntry

void DiscountEntry::fromBytes(const QByteArray &bytes)
{
    LeReader r(bytes.left(HeaderSize));
    number_ = r.get<qint8>();
    kind_ = r.get<qint8>();
    value_ = r.get<qint64>();
    name_ = frtext::fromCp866(withoutZeros(bytes.mid(HeaderSize)));
}

QByteArray DiscountEntry::toBytes() const
{
    QByteArray name = frtext::toCp866(name_);
    if (name.size() < NameAreaSize)
        name.append(QByteArray(NameAreaSize - name.size(), '\0'));
    QByteArray out = LeWriter().put(number_).put(kind_).put(value_).bytes();
    out.append(name);
    return out;
}
