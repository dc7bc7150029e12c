// Reads of the register's state, its catalogues, clock, factory number and settings.

#include <algorithm>
#include <limits>

#include "fiscalstate.h"
#include "frconst.h"
#include "frmsg.h"
#include "tlv.h"

using namespace fm;
using Code = CoreApiConst::ErrorCode;

namespace {

// The firmware refuses clocks set before it was built.
const quint32 FirmwareBuildTime = 1704067200; // 2024-01-01 00:00

void writeCounters(Writer &w, const CounterSet &c, qint64 cash)
{
    w.i16(qint16(c.shifts))
        .i16(qint16(c.cashInCount))
        .i16(qint16(c.cashOutCount))
        .i64(c.cashInSum)
        .i64(c.cashOutSum)
        .i32(c.receiptCount)
        .i64(cash);
    for (int k = 0; k < 4; ++k) {
        const OperationGroup &g = c.ops[k];
        w.u8(quint8(k)).i32(g.count).i64(g.sum).i64(g.cashSum).i64(g.cashlessSum);
        for (qint64 v : g.otherSums)
            w.i64(v);
        for (qint64 v : g.taxSums)
            w.i64(v);
    }
}

QString nameFromBytes(const QByteArray &bytes)
{
    QByteArray b = bytes;
    b.replace('\0', QByteArray());
    return fromCp866(b);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Shared checks

quint8 FiscalModel::State::authorise(Reader &r, quint16 right)
{
    if (!r.has(5))
        return Code(19);
    const int number = r.u8();
    const qint32 password = r.i32();
    if (number < 1 || number > CashierCount)
        return Code::AuthError;
    const Cashier &c = cashiers[number - 1];
    if (c.isEmpty() || c.password != password)
        return Code::AuthError;
    if ((c.rights & right) != right)
        return Code::AccessDenied;
    return 0;
}

quint8 FiscalModel::State::checkFiscal(bool needActivation) const
{
    if (factoryNumber.isEmpty())
        return Code::NoSerial;
    if (!sdCard)
        return Code(15);
    if (conditions & ForeignCard)
        return 32;
    if (needActivation && !activated)
        return Code::NotActivated;
    if (archiveClosed)
        return Code::ArchiveClosed;
    return documentRoom();
}

quint8 FiscalModel::State::readName(Reader &r, QString &name) const
{
    if (!r.has(1))
        return Code(19);
    const int len = r.u8();
    if (!r.has(len))
        return Code(19);
    name = fromCp866(r.bytes(len)).trimmed();
    if (name.isEmpty() || name.size() > MaxCashierName)
        return Code::WrongCashierName;
    return 0;
}

quint8 FiscalModel::State::printerCheck() const
{
    return printerFault;
}

quint8 FiscalModel::State::documentRoom() const
{
    // A state file may bring a document open on a register whose numbers are used up.
    if (docsLeft <= 0 || lastDocNumber >= std::numeric_limits<qint32>::max())
        return Code(6);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Registration parameters and counters

Result FiscalModel::State::readRegParam(const QByteArray &p) const
{
    Reader r(p);
    if (!r.has(2))
        return {Code(19), {}};
    const quint16 tag = r.u16();
    if (!activated)
        return {Code::NotActivated, {}};
    if (!regParams.contains(tag))
        return {Code::NoData, {}};
    return {0, Tlv(tag, regParams.value(tag)).rawData()};
}

Result FiscalModel::State::counters(bool shiftSet) const
{
    Writer w;
    writeCounters(w, shiftSet ? shiftCounters : fiscalCounters, cash);
    return {0, w.data};
}

Result FiscalModel::State::totalCounters() const
{
    const CounterSet &c = grossCounters;
    Writer w;
    w.i16(qint16(c.shifts))
        .i16(qint16(c.cashInCount))
        .i16(qint16(c.cashOutCount))
        .i64(c.cashInSum)
        .i64(c.cashOutSum)
        .i32(c.receiptCount);
    for (int k = 0; k < 4; ++k) {
        const OperationGroup &g = c.ops[k];
        w.u8(quint8(k)).i32(g.count).i64(g.sum).i64(g.cashSum).i64(g.cashlessSum);
        for (qint64 v : g.otherSums)
            w.i64(v);
    }
    return {0, w.data};
}

Result FiscalModel::State::sectionCounters() const
{
    Writer w;
    for (const auto &list : sectionSums)
        for (qint64 v : list)
            w.i64(v);
    return {0, w.data};
}

// ---------------------------------------------------------------------------------------------
// Catalogues

QByteArray FiscalModel::State::cashierBytes(int index) const
{
    const Cashier &c = cashiers[index];
    Writer w;
    w.u8(quint8(index + 1))
        .u16(c.rights)
        .i32(c.password)
        .bytes(toCp866(c.name).left(CashierNameSize - 1), CashierNameSize);
    return w.data;
}

QByteArray FiscalModel::State::discountBytes(int index) const
{
    const Discount &d = discounts[index];
    Writer w;
    w.u8(quint8(index + 1)).u8(quint8(d.kind)).i64(d.value);
    w.bytes(d.name, qMax(DiscountNameSize, int(d.name.size())));
    return w.data;
}

namespace {

int catalogSize(int type)
{
    return type == 3 ? DiscountCount : (type == 1 ? CashierCount : SectionCount);
}

quint16 catalogRight(int type)
{
    return type == 1 ? RightCashiers : RightCatalogs;
}

} // namespace

Result FiscalModel::State::readCatalog(const QByteArray &p)
{
    Reader r(p);
    if (const quint8 code = authorise(r, 0))
        return {code, {}};
    if (!r.has(2))
        return {Code(19), {}};
    const int type = r.u8();
    const int index = r.u8();
    if (type < 1 || type > 3)
        return {Code::UnsupportedCatalog, {}};
    // Reading sections and discounts is open to every cashier; the cashier list holds passwords.
    if (type == 1) {
        Reader again(p);
        if (const quint8 code = authorise(again, RightCashiers))
            return {code, {}};
    }
    if (index < 1 || index > catalogSize(type))
        return {Code::WrongData, {}};
    switch (type) {
    case 1:
        return {0, cashierBytes(index - 1)};
    case 2:
        return {0, sections[index - 1]};
    default:
        return {0, discountBytes(index - 1)};
    }
}

Result FiscalModel::State::writeCatalog(const QByteArray &p)
{
    Reader r(p);
    if (const quint8 code = authorise(r, 0))
        return {code, {}};
    if (!r.has(1))
        return {Code(19), {}};
    const int type = r.u8();
    const QByteArray data = r.rest();
    if (type < 1 || type > 3)
        return {Code::UnsupportedCatalog, {}};
    {
        Reader again(p);
        if (const quint8 code = authorise(again, catalogRight(type)))
            return {code, {}};
    }
    const int number = data.isEmpty() ? 0 : quint8(data.at(0));
    if (number < 1 || number > catalogSize(type))
        return {Code::WrongData, {}};

    if (type == 1) {
        if (data.size() < 7 || data.size() > 7 + CashierNameSize)
            return {Code::WrongData, {}};
        Reader e(data);
        e.u8();
        Cashier c;
        c.rights = e.u16();
        c.password = e.i32();
        QByteArray nameBytes = e.rest();
        nameBytes.replace('\0', QByteArray());
        if (nameBytes.size() > CashierNameSize - 1)
            return {Code::WrongData, {}};
        c.name = fromCp866(nameBytes).trimmed();
        // Nobody may be left able to manage cashiers: the register could never be set up again.
        bool manager = c.rights & RightCashiers;
        for (int i = 0; i < CashierCount && !manager; ++i)
            manager = i != number - 1 && (cashiers[i].rights & RightCashiers);
        if (!manager)
            return {Code(21), {}};
        cashiers[number - 1] = c;
    } else if (type == 2) {
        if (data.size() != SectionEntrySize)
            return {Code::WrongData, {}};
        sections[number - 1] = data;
    } else {
        if (data.size() < 10 || data.size() > 10 + 255)
            return {Code::WrongData, {}};
        Reader e(data);
        e.u8();
        Discount d;
        d.kind = qint8(e.u8());
        d.value = e.i64();
        if ((d.kind != 0 && d.kind != 1) || d.value < 0 || d.value > MaxSum || (d.kind == 1 && d.value > 10000))
            return {Code::WrongData, {}};
        d.name = e.rest();
        d.name.replace('\0', QByteArray());
        discounts[number - 1] = d;
    }
    return {0, {}};
}

// ---------------------------------------------------------------------------------------------
// Clock, factory number, settings

Result FiscalModel::State::readClock() const
{
    return {0, Writer().u32(now()).data};
}

Result FiscalModel::State::writeClock(const QByteArray &p)
{
    Reader r(p);
    if (const quint8 code = authorise(r, RightSettings))
        return {code, {}};
    if (!r.has(4))
        return {Code(19), {}};
    const quint32 t = r.u32();
    if (t < lastDocTime || t < FirmwareBuildTime)
        return {Code::WrongDate, {}};
    clockOffset = qint64(t) - qint64(hostNow());
    return {0, {}};
}

Result FiscalModel::State::writeSerial(const QByteArray &p)
{
    Reader r(p);
    if (const quint8 code = authorise(r, RightWriteSerial))
        return {code, {}};
    if (!factoryNumber.isEmpty())
        return {Code::SerialAlreadySet, {}};
    const QString digits = QString::fromLatin1(r.rest());
    if (!validFactoryNumber(digits))
        return {Code::WrongData, {}};
    factoryNumber = digits;
    return {0, {}};
}

Result FiscalModel::State::readSettings(const QByteArray &p, bool printerBlock)
{
    Reader r(p);
    if (const quint8 code = authorise(r, 0))
        return {code, {}};
    if (!r.has(1))
        return {Code(19), {}};
    if (r.u8() != 1)
        return {Code::WrongData, {}};
    return {0, Writer().u8(quint8(printerBlock ? paperWidthMm : rounding)).data};
}

Result FiscalModel::State::writeSettings(const QByteArray &p, bool printerBlock)
{
    Reader r(p);
    if (const quint8 code = authorise(r, RightSettings))
        return {code, {}};
    if (!r.has(1))
        return {Code(19), {}};
    const int block = r.u8();
    const QByteArray data = r.rest();
    if (block != 1 || data.size() != 1)
        return {Code::WrongData, {}};
    const int v = quint8(data.at(0));
    if (printerBlock ? (v != 60 && v != 80) : (v != 0 && v != 1))
        return {Code::WrongData, {}};
    // A document in progress keeps the width and rounding it was begun with.
    if (doc.isOpen())
        return {Code::DocMustBeClosed, {}};
    if (printerBlock)
        paperWidthMm = v;
    else
        rounding = v;
    return {0, {}};
}

bool fm::validFactoryNumber(const QString &digits)
{
    if (digits.size() != 10 || digits == QString(10, QLatin1Char('0')))
        return false;
    for (const QChar c : digits)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    return true;
}

QString fm::sectionName(const QByteArray &entry)
{
    return nameFromBytes(entry.mid(1));
}
