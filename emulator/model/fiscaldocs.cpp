// Fiscal documents: start, document data, completion, cancel, and the open document's data.
// Long, and kept whole on purpose: every step of a document works on the one open document and
// keeps its order (start, data, completion or cancel), which reads best in one place.

#include <QSet>

#include <algorithm>
#include <limits>

#include "fiscalstate.h"
#include "frconst.h"
#include "frmsg.h"
#include "receiptitem.h"
#include "tlv.h"

using namespace fm;
using Code = CoreApiConst::ErrorCode;

namespace {

// Registration data: organisation name, its type, address, taxes 1 to 5.
constexpr quint16 TagOrganisation = 11048;
constexpr quint16 TagOrganisationType = 11187;
constexpr quint16 TagAddress = 11009;
constexpr quint16 TagInn = 11018;
constexpr quint16 TagRegNumber = 11037;
constexpr quint16 TagRegTime = 11012;
constexpr quint16 TagStorageNumber = 11041;
constexpr quint16 TagTaxFirst = 13105;
constexpr quint16 TagTaxType = 13102;
constexpr quint16 TagTaxRate = 13103;
constexpr quint16 TagTaxName = 13104;
constexpr int MaxOrganisationText = 256;
constexpr int MaxPositionText = 256;

QString receiptTypeName(int type)
{
    static const char *const names[] = {"ПРОДАЖА", "ПОКУПКА", "ВОЗВРАТ ПРОДАЖИ", "ВОЗВРАТ ПОКУПКИ"};
    return type >= 0 && type < 4 ? QString::fromUtf8(names[type]) : QString();
}

quint8 docTypeOf(quint8 command)
{
    switch (command) {
    case 0x08:
        return DocRegistration;
    case 0x11:
        return DocShiftOpen;
    case 0x13:
        return DocShiftClose;
    case 0x15:
        return DocReceipt;
    case 0x18:
        return DocArchiveClose;
    case 0xA2:
        return DocCashIn;
    case 0xA4:
        return DocCashOut;
    default:
        return DocNone;
    }
}

// A text that is neither empty nor made only of blanks.
bool hasText(const QByteArray &b)
{
    return !fromCp866(b).trimmed().isEmpty();
}

// Taxpayer number: 10 or 12 digits; registration number: 1 to 16 digits. Zero bytes pad both.
bool identifier(const QByteArray &field, QString &out, bool inn)
{
    QByteArray b = field;
    const int zero = b.indexOf('\0');
    if (zero >= 0) {
        if (b.mid(zero).count('\0') != b.size() - zero)
            return false; // something after the padding
        b.truncate(zero);
    }
    out = QString::fromLatin1(b).trimmed();
    for (const QChar c : out)
        if (!c.isDigit() || c.unicode() > 0x7F)
            return false;
    if (inn)
        return out.size() == 10 || out.size() == 12;
    return !out.isEmpty() && out.size() <= 16;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Helpers

Tax FiscalModel::State::tax(int index) const
{
    Tax t;
    const QByteArray value = regParams.value(quint16(TagTaxFirst + index));
    if (value.isEmpty())
        return t;
    bool ok = false;
    const QList<Tlv> members = Tlv(quint16(TagTaxFirst + index), value).toList(&ok);
    for (const Tlv &m : members) {
        if (m.tag() == TagTaxType)
            t.type = m.toUInt8() & 0x3;
        else if (m.tag() == TagTaxRate)
            t.rate = m.toUInt16() & 0x3FFF;
        else if (m.tag() == TagTaxName)
            t.name = m.toString();
    }
    return t;
}

qint64 FiscalModel::State::roundDiv(__int128 n, qint64 d) const
{
    if (d <= 0)
        return 0;
    const bool negative = n < 0;
    const __int128 a = negative ? -n : n;
    __int128 q = a / d;
    const __int128 r = a % d;
    // rounding 0: half up; 1: half to even (bank rounding)
    if (2 * r > d || (2 * r == d && (rounding == 0 || (q & 1))))
        ++q;
    // A price at its ceiling times a million pieces passes 64 bits: saturate, so the callers'
    // ceilings refuse it instead of a wrapped, negative sum slipping under them.
    q = qMin<__int128>(q, std::numeric_limits<qint64>::max());
    return qint64(negative ? -q : q);
}

QStringList FiscalModel::State::documentHeader() const
{
    const QMap<quint16, QByteArray> &p = doc.type == DocRegistration && !doc.params.isEmpty() ? doc.params : regParams;
    QStringList out;
    TapePrinter::Style centred;
    centred.justify = 1;
    if (hasText(p.value(TagOrganisation)))
        out << printer.layout(fromCp866(p.value(TagOrganisation)), centred);
    if (hasText(p.value(TagAddress)))
        out << printer.layout(fromCp866(p.value(TagAddress)), centred);
    out << printer.layout(printer.pairLine(QStringLiteral("ИНН ") + fromCp866(regParams.value(TagInn)),
                                           QStringLiteral("ЗН ККТ ") + factoryNumber),
                          TapePrinter::Style());
    if (regParams.contains(TagRegNumber))
        out << QStringLiteral("РН ККТ ") + fromCp866(regParams.value(TagRegNumber));
    if (!doc.cashierName.isEmpty())
        out << printer.layout(QStringLiteral("КАССИР ") + doc.cashierName, TapePrinter::Style());
    return out;
}

ArchiveDoc &FiscalModel::State::finishDocument(const QString &title, QStringList body)
{
    TapePrinter::Style centred;
    centred.justify = 1;
    ArchiveDoc a;
    a.number = lastDocNumber + 1;
    a.type = doc.type;
    a.time = qMax(now(), lastDocTime);
    a.shift = shift.number;
    a.receiptType = doc.receiptType;
    a.lines = documentHeader();
    a.lines << QString(printer.columns(), QLatin1Char('-'));
    a.lines << printer.layout(title, centred);
    a.lines << body;
    a.lines << QString(printer.columns(), QLatin1Char('-'));
    a.sign = documentSign(a, a.lines.size());
    a.lines << printer.layout(
        printer.pairLine(QStringLiteral("ФД %1").arg(a.number), QStringLiteral("ФП %1").arg(a.sign)),
        TapePrinter::Style());
    a.lines << formatDeviceTime(a.time);

    lastDocNumber = a.number;
    lastDocTime = a.time;
    --docsLeft;
    if (shift.open || a.type == DocShiftClose)
        shift.lastDoc = a.number;
    doc = OpenDocument();
    ArchiveDoc &kept = archive.append(a);
    printDocument(kept, false);
    return kept;
}

// ---------------------------------------------------------------------------------------------
// Start, cancel

Result FiscalModel::State::cancelDocument()
{
    // Cancelling when nothing is open succeeds: what the operator wants (no open document) holds.
    if (doc.isOpen()) {
        printer.center(QStringLiteral("ДОКУМЕНТ АННУЛИРОВАН"));
        printer.cut();
    }
    doc = OpenDocument();
    return {0, {}};
}

Result FiscalModel::State::startDocument(quint8 command, const QByteArray &p)
{
    const quint8 type = docTypeOf(command);
    Reader r(p);
    Reader who(p);
    if (const quint8 code = authorise(r, 0))
        return {code, {}};
    const int cashier = who.u8();

    int receiptType = 0;
    quint16 right = RightReceipts;
    if (type == DocRegistration || type == DocArchiveClose)
        right = RightActivation;
    if (type == DocReceipt) {
        if (!r.has(1))
            return {Code(19), {}};
        receiptType = r.u8();
        if (receiptType == SaleReturn || receiptType == PurchaseReturn)
            right = RightReturns;
    }
    if ((cashiers[cashier - 1].rights & right) != right)
        return {Code::AccessDenied, {}};

    if (const quint8 code = checkFiscal(type != DocRegistration))
        return {code, {}};
    if (doc.isOpen())
        return {Code::DocMustBeClosed, {}};
    const bool needsOpenShift = type == DocShiftClose || type == DocReceipt || type == DocCashIn || type == DocCashOut;
    if (needsOpenShift && !shift.open)
        return {Code::CycleMustBeOpen, {}};
    if (!needsOpenShift && shift.open)
        return {Code::CycleMustBeClosed, {}};
    if ((type == DocReceipt || type == DocCashIn || type == DocCashOut) &&
        qint64(now()) - qint64(shift.openTime) > ShiftMaxSeconds)
        return {Code::CycleOver24h, {}};
    if (type == DocRegistration && activationCount >= activationLimit)
        return {Code::ReRegLimit, {}};
    if (type == DocReceipt && receiptType > PurchaseReturn)
        return {Code::WrongReceiptType, {}};

    QString name;
    if (const quint8 code = readName(r, name))
        return {code, {}};

    doc = OpenDocument();
    doc.type = type;
    doc.receiptType = quint8(receiptType);
    doc.cashier = cashier;
    doc.cashierName = name;
    return {0, {}};
}

// ---------------------------------------------------------------------------------------------
// Document data

quint8 FiscalModel::State::receiptPosition(const QByteArray &value, qint64 runningTotal, Position &pos) const
{
    bool ok = false;
    const QList<Tlv> members = Tlv(ReceiptTags::Item, value).toList(&ok);
    if (!ok)
        return Code(14);

    QSet<quint16> seen;
    bool hasDiscountNumber = false;
    bool hasDiscountSum = false;
    quint8 discountNumber = 0;
    qint64 discountSum = 0;
    FixNumber quantity;
    for (const Tlv &m : members) {
        if (seen.contains(m.tag()))
            return Code(35);
        seen.insert(m.tag());
        const QByteArray &v = m.value();
        switch (m.tag()) {
        case ReceiptTags::Name:
            if (v.size() > ReceiptLimits::Name)
                return Code(35);
            pos.name = m.toString().trimmed();
            break;
        case ReceiptTags::Code:
        case ReceiptTags::Barcode:
        case ReceiptTags::Unit:
            if (v.size() > ReceiptLimits::Code)
                return Code(35);
            break;
        case ReceiptTags::ItemText:
            if (v.size() > MaxPositionText)
                return Code(35);
            pos.texts << m.toString();
            break;
        case ReceiptTags::Section:
            if (v.size() != 1)
                return Code(35);
            pos.section = m.toUInt8();
            if (pos.section < 1 || pos.section > SectionCount)
                return Code::WrongSection;
            break;
        case ReceiptTags::Tax:
            if (v.size() != 1)
                return Code(35);
            pos.tax = m.toUInt8();
            if (pos.tax < 1 || pos.tax > TaxCount || !tax(pos.tax - 1).isValid())
                return Code::WrongTax;
            break;
        case ReceiptTags::Price:
            if (v.isEmpty() || v.size() > 8)
                return Code(35);
            if (m.toUInt64() > quint64(MaxSum))
                return Code(49);
            pos.price = qint64(m.toUInt64());
            break;
        case ReceiptTags::DiscountNumber:
            if (v.size() != 1)
                return Code(35);
            discountNumber = m.toUInt8();
            hasDiscountNumber = true;
            if (discountNumber < 1 || discountNumber > DiscountCount || !discounts[discountNumber - 1].isDefined())
                return Code::WrongDiscount;
            break;
        case ReceiptTags::DiscountSum:
            if (v.isEmpty() || v.size() > 8 || m.toUInt64() > quint64(MaxSum))
                return Code(35);
            discountSum = qint64(m.toUInt64());
            hasDiscountSum = true;
            break;
        case ReceiptTags::Quantity:
            // The decimals byte is judged before it becomes a divisor: 10 and more would overflow it.
            if (v.size() < 2 || v.size() > 9 || qint8(v.at(0)) < 0 || qint8(v.at(0)) > 6)
                return Code(35);
            quantity = m.toFixNumber();
            if (quantity.raw() <= 0 || quantity.raw() > qint64(1000000) * qint64(quantity.divisor()))
                return Code(35);
            pos.quantityRaw = quantity.raw();
            pos.quantityDivisor = quantity.divisor();
            break;
        default:
            return Code::UnsupportedTag;
        }
    }
    for (const quint16 tag : {ReceiptTags::Section, ReceiptTags::Tax, ReceiptTags::Price, ReceiptTags::Quantity})
        if (!seen.contains(tag))
            return Code(37);
    if (hasDiscountNumber && hasDiscountSum)
        return Code(35);

    const qint64 gross = roundDiv(__int128(pos.price) * pos.quantityRaw, qint64(pos.quantityDivisor));
    if (gross > MaxSum)
        return Code(49);
    if (hasDiscountNumber) {
        const Discount &d = discounts[discountNumber - 1];
        pos.discount = d.kind == 0 ? d.value : roundDiv(__int128(gross) * d.value, 10000);
        if (pos.discount > gross)
            return Code::WrongDiscount; // an amount larger than the position cannot be given
    } else {
        pos.discount = discountSum;
        if (pos.discount > gross)
            return Code(35);
    }
    pos.sum = gross - pos.discount;
    if (runningTotal + pos.sum > MaxSum)
        return Code(49);
    return 0;
}

quint8 FiscalModel::State::registrationParam(quint16 tag, const QByteArray &value, QString &line) const
{
    switch (tag) {
    case TagOrganisation:
    case TagOrganisationType:
    case TagAddress:
        if (value.size() > MaxOrganisationText)
            return Code(35);
        line = (tag == TagOrganisation       ? QStringLiteral("ОРГАНИЗАЦИЯ: ")
                : tag == TagOrganisationType ? QStringLiteral("ТИП ОРГАНИЗАЦИИ: ")
                                             : QStringLiteral("АДРЕС: ")) +
               fromCp866(value);
        return 0;
    default:
        break;
    }
    if (tag < TagTaxFirst || tag >= TagTaxFirst + TaxCount)
        return Code::UnsupportedTag;
    bool ok = false;
    const QList<Tlv> members = Tlv(tag, value).toList(&ok);
    if (!ok)
        return Code(14);
    Tax t;
    for (const Tlv &m : members) {
        bool good = true;
        switch (m.tag()) {
        case TagTaxType:
            t.type = m.toUInt8(&good);
            good = good && t.type < 3;
            break;
        case TagTaxRate:
            t.rate = m.toUInt16(&good);
            good = good && t.rate < 10000;
            break;
        case TagTaxName:
            good = m.valueLength() <= 30;
            t.name = m.toString();
            break;
        default:
            return Code::UnsupportedTag;
        }
        if (!good)
            return Code(35);
    }
    if (!t.isValid())
        return Code(37); // a tax without its type
    line = QStringLiteral("НАЛОГ %1: %2").arg(tag - TagTaxFirst + 1).arg(t.name);
    // A tax that is not charged has no rate worth printing.
    if (t.type != 0)
        line += QStringLiteral(" %1%").arg(FixNumber(100, qint64(t.rate)).toString(QLatin1Char('.'), QChar()));
    return 0;
}

Result FiscalModel::State::documentData(const QByteArray &p)
{
    if (p.isEmpty())
        return {Code(19), {}};
    if (!doc.isOpen())
        return {Code::DocMustBeOpen, {}};
    bool ok = false;
    const QList<Tlv> records = Tlv(1, p).toList(&ok);
    if (!ok || p.size() > Tlv::MaxValueSize)
        return {Code(14), {}};

    // Every record is checked before any is applied: a refused request leaves the document as it was.
    OpenDocument next = doc;
    for (const Tlv &t : records) {
        if (t.tag() == ReceiptTags::ReceiptText) {
            if (t.valueLength() > MaxPositionText * 2)
                return {Code(35), {}};
            next.lines << printer.layout(t.toString(), TapePrinter::Style());
            continue;
        }
        if (doc.type == DocReceipt) {
            if (t.tag() != ReceiptTags::Item)
                return {Code::UnsupportedTag, {}};
            Position pos;
            if (const quint8 code = receiptPosition(t.value(), next.total, pos))
                return {code, {}};
            next.positions << pos;
            next.total += pos.sum;
            ++next.operations;
            const QString qty = FixNumber(pos.quantityDivisor, pos.quantityRaw).toTrimmedString(QLatin1Char('.'));
            next.lines << printer.layout(QStringLiteral("%1. %2")
                                             .arg(next.positions.size())
                                             .arg(pos.name.isEmpty() ? QStringLiteral("ТОВАР") : pos.name),
                                         TapePrinter::Style());
            next.lines << printer.layout(printer.pairLine(QStringLiteral("   %1 x %2").arg(formatMoney(pos.price), qty),
                                                          QStringLiteral("=") + formatMoney(pos.sum + pos.discount)),
                                         TapePrinter::Style());
            if (pos.discount > 0)
                next.lines << printer.pairLine(QStringLiteral("   СКИДКА"),
                                               QStringLiteral("-") + formatMoney(pos.discount));
            const Tax tx = tax(pos.tax - 1);
            next.lines << printer.layout(
                printer.pairLine(QStringLiteral("   ОТДЕЛ %1, %2").arg(pos.section).arg(tx.name),
                                 QStringLiteral("=") + formatMoney(pos.sum)),
                TapePrinter::Style());
            for (const QString &text : pos.texts)
                next.lines << printer.layout(QStringLiteral("   ") + text, TapePrinter::Style());
        } else if (doc.type == DocRegistration) {
            QString line;
            if (const quint8 code = registrationParam(t.tag(), t.value(), line))
                return {code, {}};
            next.params[t.tag()] = t.value();
        } else {
            return {Code::WrongDocType, {}};
        }
    }
    doc = next;
    return {0, {}};
}

// ---------------------------------------------------------------------------------------------
// Completions

namespace {

QByteArray docReply(const ArchiveDoc &a)
{
    return Writer().i32(a.number).u32(a.sign).u32(a.time).data;
}

} // namespace

Result FiscalModel::State::completeRegistration(const QByteArray &p, bool preview)
{
    if (p.size() < 28)
        return {Code(19), {}};
    if (!doc.isOpen())
        return {Code::DocMustBeOpen, {}};
    if (doc.type != DocRegistration)
        return {Code::WrongDocType, {}};
    QString inn, regNumber;
    if (!identifier(p.left(12), inn, true) || !identifier(p.mid(12, 16), regNumber, false))
        return {Code::WrongData, {}};
    bool anyTax = false;
    for (int i = 0; i < TaxCount; ++i)
        anyTax = anyTax || doc.params.contains(quint16(TagTaxFirst + i));
    if (!anyTax)
        return {Code(37), {}};
    if (!preview && activationCount >= activationLimit)
        return {Code::ReRegLimit, {}};
    if (const quint8 code = preview ? 0 : documentRoom())
        return {code, {}};
    if (const quint8 code = printerCheck())
        return {code, {}};

    QStringList body;
    body << QStringLiteral("ИНН ") + inn << QStringLiteral("РН ККТ ") + regNumber;
    for (auto it = doc.params.cbegin(); it != doc.params.cend(); ++it) {
        QString line;
        registrationParam(it.key(), it.value(), line);
        body << printer.layout(line, TapePrinter::Style());
    }
    body << doc.lines;

    if (preview) {
        TapePrinter::Style centred;
        centred.justify = 1;
        printer.print(QStringLiteral("ПРЕДВАРИТЕЛЬНАЯ ПЕЧАТЬ\nРЕГИСТРАЦИИ"), centred);
        printer.print(body);
        printer.center(QStringLiteral("НЕФИСКАЛЬНЫЙ ДОКУМЕНТ"));
        printer.cut();
        return {0, {}};
    }

    const bool reRegistration = activated;
    const quint32 t = qMax(now(), lastDocTime);
    regParams = doc.params;
    regParams[TagInn] = inn.toLatin1();
    regParams[TagRegNumber] = regNumber.toLatin1();
    regParams[TagRegTime] = Writer().u32(t).data;
    regParams[TagStorageNumber] = QStringLiteral("99990789%1").arg(factoryNumber.right(8)).toLatin1();
    activated = true;
    ++activationCount;
    fiscalCounters.clear();
    const ArchiveDoc &a = finishDocument(reRegistration ? QStringLiteral("ОТЧЕТ ОБ ИЗМЕНЕНИИ\nПАРАМЕТРОВ РЕГИСТРАЦИИ")
                                                        : QStringLiteral("ОТЧЕТ О РЕГИСТРАЦИИ"),
                                         body);
    return {0, docReply(a)};
}

Result FiscalModel::State::completeArchiveClosing(const QByteArray &)
{
    if (!doc.isOpen())
        return {Code::DocMustBeOpen, {}};
    if (doc.type != DocArchiveClose)
        return {Code::WrongDocType, {}};
    if (const quint8 code = documentRoom())
        return {code, {}};
    if (const quint8 code = printerCheck())
        return {code, {}};
    QStringList body;
    body << printer.pairLine(QStringLiteral("ВСЕГО СМЕН"), QString::number(grossCounters.shifts))
         << printer.pairLine(QStringLiteral("ВСЕГО ДОКУМЕНТОВ"), QString::number(lastDocNumber + 1));
    const ArchiveDoc &a = finishDocument(QStringLiteral("ОТЧЕТ О ЗАКРЫТИИ\nФИСКАЛЬНОГО НАКОПИТЕЛЯ"), body);
    archiveClosed = true;
    return {0, docReply(a)};
}

Result FiscalModel::State::completeShiftOpening(const QByteArray &)
{
    if (!doc.isOpen())
        return {Code::DocMustBeOpen, {}};
    if (doc.type != DocShiftOpen)
        return {Code::WrongDocType, {}};
    if (const quint8 code = documentRoom())
        return {code, {}};
    // Shift numbers and counts are 16-bit on the wire: the register is full, not wrapped.
    qint32 number = shift.number;
    CounterSet fiscal = fiscalCounters;
    CounterSet gross = grossCounters;
    if (!addTo(number, 1, MaxShortCount) || !addTo(fiscal.shifts, 1, MaxShortCount) ||
        !addTo(gross.shifts, 1, MaxShortCount))
        return {Code(6), {}};
    if (const quint8 code = printerCheck())
        return {code, {}};
    shift.open = true;
    shift.number = number;
    shift.openTime = qMax(now(), lastDocTime);
    shift.closeTime = 0;
    shift.receipts = 0;
    shift.firstDoc = lastDocNumber + 1;
    shiftCounters.clear();
    shiftCounters.shifts = shift.number;
    fiscalCounters = fiscal;
    grossCounters = gross;
    QStringList body;
    body << printer.pairLine(QStringLiteral("СМЕНА"), QString::number(shift.number));
    const ArchiveDoc &a = finishDocument(QStringLiteral("ОТЧЕТ ОБ ОТКРЫТИИ СМЕНЫ"), body);
    return {0, Writer().bytes(docReply(a)).i16(qint16(shift.number)).data};
}

Result FiscalModel::State::completeShiftClosing(const QByteArray &)
{
    if (!doc.isOpen())
        return {Code::DocMustBeOpen, {}};
    if (doc.type != DocShiftClose)
        return {Code::WrongDocType, {}};
    if (const quint8 code = documentRoom())
        return {code, {}};
    if (const quint8 code = printerCheck())
        return {code, {}};
    const QStringList body = zReportLines();
    shift.open = false;
    const ArchiveDoc &a = finishDocument(QStringLiteral("ОТЧЕТ О ЗАКРЫТИИ СМЕНЫ\n(Z-ОТЧЕТ)"), body);
    shift.closeTime = a.time;
    const QByteArray reply = Writer().bytes(docReply(a)).i16(qint16(shift.number)).data;
    shiftCounters.clear();
    shiftCounters.shifts = shift.number;
    return {0, reply};
}

Result FiscalModel::State::completeCashMove(const QByteArray &p, bool in)
{
    if (p.size() < 8)
        return {Code(19), {}};
    if (!doc.isOpen())
        return {Code::DocMustBeOpen, {}};
    if (doc.type != (in ? DocCashIn : DocCashOut))
        return {Code::WrongDocType, {}};
    const qint64 sum = Reader(p).i64();
    if (sum <= 0)
        return {Code::WrongData, {}};
    if (in && sum > MaxSum - cash)
        return {Code(41), {}};
    if (!in && sum > cash)
        return {Code::NotEnoughCash, {}};
    if (const quint8 code = documentRoom())
        return {code, {}};
    std::array<CounterSet, 3> sets = counterSets();
    for (CounterSet &c : sets) {
        if (!addTo(in ? c.cashInCount : c.cashOutCount, 1, MaxShortCount))
            return {Code(6), {}};
        if (!addTo(in ? c.cashInSum : c.cashOutSum, sum, std::numeric_limits<qint64>::max()))
            return {Code(49), {}};
    }
    if (const quint8 code = printerCheck())
        return {code, {}};

    setCounterSets(sets);
    cash += in ? sum : -sum;
    QStringList body;
    body << printer.pairLine(QStringLiteral("СУММА"), QStringLiteral("=") + formatMoney(sum))
         << printer.pairLine(QStringLiteral("НАЛИЧНЫХ В КАССЕ"), QStringLiteral("=") + formatMoney(cash));
    ArchiveDoc &a = finishDocument(in ? QStringLiteral("ВНЕСЕНИЕ") : QStringLiteral("ВЫПЛАТА"), body);
    a.total = sum;
    a.cash = sum;
    return {0, Writer().bytes(docReply(a)).i16(qint16(shift.number)).i64(cash).data};
}

Result FiscalModel::State::completeReceipt(const QByteArray &p)
{
    if (p.size() < 16)
        return {Code(19), {}};
    if (!doc.isOpen())
        return {Code::DocMustBeOpen, {}};
    if (doc.type != DocReceipt)
        return {Code::WrongDocType, {}};
    Reader r(p);
    const qint64 cashPaid = r.i64();
    const qint64 card = r.i64();
    if (cashPaid < 0 || card < 0 || cashPaid > MaxSum || card > MaxSum)
        return {Code::WrongData, {}};
    if (doc.positions.isEmpty())
        return {Code(37), {}};
    const qint64 total = doc.total;
    const qint64 paid = cashPaid + card;
    const int type = doc.receiptType;
    if (paid < total)
        return {Code::NotEnoughPayment, {}};
    if (card > total || (type != Sale && paid > total))
        return {Code::TooMuchPayment, {}};
    const qint64 change = paid - total;
    const bool cashLeaves = type == Purchase || type == SaleReturn;
    if (cashLeaves && cashPaid > cash)
        return {Code::NotEnoughCash, {}};
    if (!cashLeaves && cash + cashPaid - change > MaxSum)
        return {Code(49), {}};
    if (const quint8 code = documentRoom())
        return {code, {}};
    // The receipt number in the shift is a 16-bit field of the reply.
    if (shift.receipts >= MaxShortCount)
        return {Code(50), {}};

    // Every counter is worked out on a copy and taken only when none would pass its ceiling.
    constexpr qint64 Wide = std::numeric_limits<qint64>::max();
    constexpr qint64 Count = std::numeric_limits<qint32>::max();
    bool fits = true;
    qint64 taxSums[TaxCount] = {};
    qint64 discountsGiven = 0;
    qint64 sections[4][SectionCount];
    std::copy(&sectionSums[0][0], &sectionSums[0][0] + 4 * SectionCount, &sections[0][0]);
    for (const Position &pos : doc.positions) {
        const Tax t = tax(pos.tax - 1);
        qint64 taxSum = pos.sum;
        if (t.type == 1)
            taxSum = roundDiv(__int128(pos.sum) * t.rate, 10000 + t.rate);
        else if (t.type != 0)
            taxSum = roundDiv(__int128(pos.sum) * t.rate, 10000);
        fits = fits && addTo(taxSums[pos.tax - 1], taxSum, Wide) && addTo(discountsGiven, pos.discount, Wide) &&
               addTo(sections[type][pos.section - 1], pos.sum, Wide);
    }
    std::array<CounterSet, 3> sets = counterSets();
    bool countsFit = true;
    for (CounterSet &c : sets) {
        OperationGroup &g = c.ops[type];
        countsFit = countsFit && addTo(c.receiptCount, 1, Count) && addTo(g.count, 1, Count) &&
                    addTo(g.otherSums[2], doc.positions.size(), Wide);
        fits = fits && addTo(g.sum, total, Wide) && addTo(g.cashSum, cashPaid - change, Wide) &&
               addTo(g.cashlessSum, card, Wide) && addTo(g.otherSums[0], discountsGiven, Wide) &&
               addTo(g.otherSums[1], change, Wide);
        for (int i = 0; i < TaxCount; ++i)
            fits = fits && addTo(g.taxSums[i], taxSums[i], Wide);
    }
    if (!countsFit)
        return {Code(6), {}};
    if (!fits)
        return {Code(49), {}};
    if (const quint8 code = printerCheck())
        return {code, {}};

    setCounterSets(sets);
    std::copy(&sections[0][0], &sections[0][0] + 4 * SectionCount, &sectionSums[0][0]);
    cash += cashLeaves ? -cashPaid : cashPaid - change;
    ++shift.receipts;
    lastReceiptNumber = shift.receipts;

    QStringList body;
    body << printer.pairLine(QStringLiteral("СМЕНА %1").arg(shift.number),
                             QStringLiteral("ЧЕК %1").arg(shift.receipts));
    body << doc.lines;
    body << QString(printer.columns(), QLatin1Char('-'));
    TapePrinter::Style bold;
    bold.flags = TapePrinter::Bold;
    body << printer.layout(
        printer.pairLine(QStringLiteral("ИТОГ"), QStringLiteral("=") + formatMoney(total), printer.columns() - 2),
        bold);
    body << printer.pairLine(QStringLiteral("НАЛИЧНЫМИ"), QStringLiteral("=") + formatMoney(cashPaid));
    body << printer.pairLine(QStringLiteral("БЕЗНАЛИЧНЫМИ"), QStringLiteral("=") + formatMoney(card));
    if (change > 0)
        body << printer.pairLine(QStringLiteral("СДАЧА"), QStringLiteral("=") + formatMoney(change));
    for (int i = 0; i < TaxCount; ++i) {
        if (taxSums[i] == 0)
            continue;
        const Tax t = tax(i);
        body << printer.layout(printer.pairLine(t.type == 0 ? t.name + QStringLiteral(" (ОБОРОТ)") : t.name,
                                                QStringLiteral("=") + formatMoney(taxSums[i])),
                               TapePrinter::Style());
    }
    const int receiptNumber = shift.receipts;
    ArchiveDoc &a = finishDocument(QStringLiteral("КАССОВЫЙ ЧЕК\n") + receiptTypeName(type), body);
    a.total = total;
    a.cash = cashPaid - change;
    a.card = card;
    Writer w;
    w.bytes(docReply(a)).i16(qint16(shift.number)).i16(qint16(receiptNumber)).i64(total).i64(change);
    return {0, w.data};
}

Result FiscalModel::State::openDocData() const
{
    // Anything but an open receipt is answered with the document type alone (0: nothing open).
    if (doc.type != DocReceipt)
        return {0, Writer().u8(doc.type).data};
    Writer w;
    w.u8(doc.type).u8(doc.receiptType).i16(qint16(shift.receipts + 1)).i16(qint16(doc.operations)).i64(doc.total);
    return {0, w.data};
}
