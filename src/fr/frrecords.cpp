#include "frrecords.h"

#include <QDataStream>
#include <QStringList>

#include <cstring>

#include "frmsg.h"

namespace {

// How a rendering writes the register's date and time: as the status pane shows it, or in ISO 8601.
using DateText = QString (*)(quint32 seconds);

QString yesNo(bool b)
{
    return b ? QStringLiteral("ДА") : QStringLiteral("НЕТ");
}

QString money(qint64 kopecks)
{
    return FixNumber(100, kopecks).toString();
}

// What the register keeps (an organisation's name, an address) goes into a rich-text pane: shown as
// it is, never taken for markup.
QString escaped(const QStringList &lines)
{
    QStringList out;
    out.reserve(lines.size());
    for (const QString &line : lines)
        out << line.toHtmlEscaped();
    return out.join(QLatin1Char('\n'));
}

// Every rendering is one preformatted paragraph of its own, so that the status pane can insert
// renderings one after another without separators.
QString framed(const QStringList &lines)
{
    return QStringLiteral("<p><pre>\n") + escaped(lines) + QStringLiteral("\n\n\n</pre></p>");
}

// The same lines for a terminal: nothing after a line's last character.
QString plain(QStringList lines)
{
    for (QString &line : lines) {
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
    }
    return lines.join(QLatin1Char('\n'));
}

QDataStream &littleEndian(QDataStream &s)
{
    s.setByteOrder(QDataStream::LittleEndian);
    return s;
}

// Fixed-width text field of a reply; the stream's position moves by the whole width.
QByteArray readField(QDataStream &s, int width)
{
    QByteArray bytes(width, '\0');
    const int got = s.readRawData(bytes.data(), width);
    bytes.truncate(qMax(got, 0));
    return bytes;
}

// Copies text into a fixed field: a text that does not fit leaves the field as it was.
void storeText(char *field, int width, const QString &text)
{
    const QByteArray bytes = frtext::toCp866(text);
    if (bytes.size() > width)
        return;
    std::memset(field, 0, size_t(width));
    std::memcpy(field, bytes.constData(), size_t(bytes.size()));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// FrStatus, SerialInfo, CycleStatus

bool FrStatus::parse(const QByteArray &payload)
{
    if (payload.size() != Size)
        return false;
    QDataStream s(payload);
    littleEndian(s);
    FrStatus st;
    st.factoryNumber = QString::fromLatin1(frtext::untilZero(readField(s, 10)));
    s >> st.flags >> st.activationCount >> st.activationLimit >> st.cycleNumber >> st.lastDocNumber >>
        st.lastDocDateTime >> st.lastReceiptNumber >> st.openDocType >> st.docsLeft;
    *this = st;
    return true;
}

QDateTime FrStatus::lastDocDate() const
{
    return timeToDateTime(lastDocDateTime);
}

bool SerialInfo::parse(const QByteArray &payload)
{
    QDataStream s(payload);
    littleEndian(s);
    SerialInfo info;
    s >> info.modelCode;
    info.factoryNumber = QString::fromLatin1(frtext::untilZero(readField(s, 10)));
    QByteArray name = readField(s, 32);
    name.replace('\0', QByteArray());
    info.modelName = frtext::fromCp866(name).trimmed();
    *this = info;
    return true;
}

bool CycleStatus::parse(const QByteArray &payload)
{
    QDataStream s(payload);
    littleEndian(s);
    CycleStatus st;
    s >> st.isOpen >> st.cycleNumber >> st.receiptCount >> st.firstDocNumber >> st.openDateTime >> st.lastDocNumber >>
        st.closeDateTime >> st.cashRaw;
    *this = st;
    return true;
}

QDateTime CycleStatus::openDate() const
{
    return timeToDateTime(openDateTime);
}

QDateTime CycleStatus::closeDate() const
{
    return timeToDateTime(closeDateTime);
}

namespace {

QStringList statusLines(const FrStatus &st, DateText dateText)
{
    const auto bit = [&st](quint16 flag) {
        return (st.flags & flag) != 0;
    };
    QStringList lines{
        QStringLiteral("ЗН ККТ: %1").arg(st.factoryNumber),
        QStringLiteral("ЕСТЬ SD КАРТА: %1").arg(yesNo(bit(FrStatus::SdCard))),
        QStringLiteral("АКТИВИРОВАНА: %1").arg(yesNo(bit(FrStatus::Activated))),
        QStringLiteral("ЧУЖАЯ SD КАРТА: %1").arg(yesNo(bit(FrStatus::ForeignSdCard))),
        QStringLiteral("СМЕНА ОТКРЫТА: %1").arg(yesNo(bit(FrStatus::CycleOpen))),
        QStringLiteral("АРХИВ В ПОРЯДКЕ: %1").arg(yesNo(bit(FrStatus::ArchiveOk))),
        QStringLiteral("АРХИВ ЗАКРЫТ: %1").arg(yesNo(bit(FrStatus::ArchiveClosed))),
        QStringLiteral("ОШИБКА EEPROM: %1").arg(yesNo(bit(FrStatus::EepromError))),
        QStringLiteral("ПРИНТЕР НА СВЯЗИ: %1").arg(yesNo(!bit(FrStatus::PrinterNotAnswering))),
        QStringLiteral("БУМАГА ЕСТЬ: %1").arg(yesNo(!bit(FrStatus::NoPaper))),
        QStringLiteral("БУМАГА ЗАКАНЧИВАЕТСЯ: %1").arg(yesNo(bit(FrStatus::PaperLow))),
        // The register counts activations in one byte; what is left wraps the same way.
        QStringLiteral("АКТИВАЦИЙ %1 / %2 (ДОСТУПНО %3)")
            .arg(int(st.activationCount))
            .arg(int(st.activationLimit))
            .arg(int(quint8(st.activationLimit - st.activationCount))),
        QStringLiteral("СМЕНА: %1").arg(int(st.cycleNumber)),
        QStringLiteral("НОМЕР ПОСЛЕДНЕГО ДОКУМЕНТА %1").arg(st.lastDocNumber),
        QStringLiteral("ДАТА ПОСЛЕДНЕГО ДОКУМЕНТА %1").arg(dateText(st.lastDocDateTime)),
        QStringLiteral("НОМЕР ПОСЛЕДНЕГО ЧЕКА %1").arg(int(st.lastReceiptNumber)),
        QStringLiteral("ДОСТУПНО ЕЩЕ ДОКУМЕНТОВ: %1").arg(st.docsLeft),
    };
    if (st.openDocType != 0)
        lines << QStringLiteral("ОТКРЫТ ДОКУМЕНТ: %1").arg(int(st.openDocType));
    return lines;
}

QStringList serialLines(const SerialInfo &info)
{
    return {
        QStringLiteral("Модель: %1H / %2")
            .arg(QStringLiteral("%1").arg(uint(info.modelCode), 4, 16, QLatin1Char('0')), info.modelName),
        QStringLiteral("ЗН ККТ: %1 ").arg(info.factoryNumber),
    };
}

QStringList cycleLines(const CycleStatus &st, DateText dateText)
{
    QStringList lines{
        QStringLiteral("ОТКРЫТА: %1").arg(yesNo(st.isOpen != 0)),
        QStringLiteral("НОМЕР СМЕНЫ: %1").arg(int(st.cycleNumber)),
        QStringLiteral("ЧЕКОВ %1").arg(int(st.receiptCount)),
    };
    if (st.cycleNumber != 0) {
        lines << QStringLiteral("ОТКРЫТА %1").arg(dateText(st.openDateTime));
        if (st.isOpen == 0)
            lines << QStringLiteral("ЗАКРЫТА %1").arg(dateText(st.closeDateTime));
        lines << QStringLiteral("НОМЕР ПЕРВОГО ДОКУМЕНТА %1").arg(st.firstDocNumber)
              << QStringLiteral("НОМЕР ПОСЛЕДНЕГО ДОКУМЕНТА %1").arg(st.lastDocNumber)
              << QStringLiteral("НАЛИЧНОСТЬ В КАССЕ %1").arg(st.cash().toString());
    }
    return lines;
}

} // namespace

QString toHtml(const FrStatus &st)
{
    return framed(statusLines(st, frtext::dateText));
}

QString toText(const FrStatus &st)
{
    return plain(statusLines(st, frtext::isoDateText));
}

QString toHtml(const SerialInfo &info)
{
    return framed(serialLines(info));
}

QString toText(const SerialInfo &info)
{
    return plain(serialLines(info));
}

QString toHtml(const CycleStatus &st)
{
    return framed(cycleLines(st, frtext::dateText));
}

QString toText(const CycleStatus &st)
{
    return plain(cycleLines(st, frtext::isoDateText));
}

// ---------------------------------------------------------------------------------------------
// TaxEntry, RegData

void TaxEntry::setName(const QString &text)
{
    std::memset(name, 0, sizeof name);
    const QByteArray bytes = frtext::toCp866(text);
    if (bytes.size() <= NameSize)
        std::memcpy(name, bytes.constData(), size_t(bytes.size()));
}

QString TaxEntry::nameText() const
{
    return frtext::fromCp866(frtext::untilZero(name, NameSize));
}

void TaxEntry::clear()
{
    rateWord = quint16(EmptyType) << 14;
    std::memset(name, 0, sizeof name);
}

Tlv TaxEntry::toTlv(int index) const
{
    if (index < 0 || index >= RegData::TaxCount)
        return Tlv();
    const QList<Tlv> members{
        Tlv(quint16(13102), quint8(type())),
        Tlv(quint16(13103), quint16(rate())),
        Tlv(quint16(13104), QByteArray(frtext::untilZero(name, NameSize))),
    };
    return Tlv(quint16(13105 + index), members);
}

void RegData::reset()
{
    *this = RegData();
}

void RegData::store(const Tlv &tlv)
{
    switch (tlv.tag()) {
    case 11037:
        storeText(fiscalNumber, sizeof fiscalNumber, tlv.toString());
        break;
    case 11018:
        storeText(inn, sizeof inn, tlv.toString());
        break;
    case 11048:
        storeText(organisation, sizeof organisation, tlv.toString());
        break;
    case 11187:
        storeText(organisationType, sizeof organisationType, tlv.toString());
        break;
    case 11009:
        storeText(address, sizeof address, tlv.toString());
        break;
    case 11012:
        regDateTime = tlv.toUInt32();
        break;
    case 13105:
    case 13106:
    case 13107:
    case 13108:
    case 13109: {
        TaxEntry entry;
        entry.clear();
        const QList<Tlv> members = tlv.toList();
        for (const Tlv &m : members) {
            switch (m.tag()) {
            case 13102:
                entry.setType(m.toUInt8());
                break;
            case 13103:
                entry.setRate(m.toUInt16());
                break;
            case 13104:
                entry.setName(m.toString());
                break;
            default:
                return; // a member we do not know spoils the whole tax
            }
        }
        taxes[tlv.tag() - 13105] = entry;
        break;
    }
    default:
        break; // 11041 and anything else is asked for but not kept
    }
}

QString RegData::fiscalNumberText() const
{
    return frtext::fromCp866(frtext::untilZero(fiscalNumber, sizeof fiscalNumber));
}

QString RegData::innText() const
{
    return frtext::fromCp866(frtext::untilZero(inn, sizeof inn));
}

QString RegData::organisationText() const
{
    return frtext::fromCp866(frtext::untilZero(organisation, sizeof organisation));
}

QString RegData::organisationTypeText() const
{
    return frtext::fromCp866(frtext::untilZero(organisationType, sizeof organisationType));
}

QString RegData::addressText() const
{
    return frtext::fromCp866(frtext::untilZero(address, sizeof address));
}

QDateTime RegData::regDate() const
{
    return timeToDateTime(regDateTime);
}

namespace {

QStringList regDataLines(const RegData &data)
{
    QStringList lines{
        QStringLiteral("РЕГИСТРАЦИОННЫЕ ДАННЫЕ"),
        QStringLiteral("ИНН: %1").arg(data.innText()),
        QStringLiteral("ФН (ФИСКАЛЬНЫЙ НОМЕР): %1").arg(data.fiscalNumberText()),
        QStringLiteral("ОРГАНИЗАЦИЯ: %1").arg(data.organisationText()),
        QStringLiteral("ТИП ОРГАНИЗАЦИИ: %1").arg(data.organisationTypeText()),
        QStringLiteral("АДРЕС %1").arg(data.addressText()),
        QStringLiteral("ДАТА РЕГИСТРАЦИИ %1").arg(data.regDate().toString(Qt::ISODate)),
    };
    for (int n = 0; n < RegData::TaxCount; ++n) {
        const TaxEntry &tax = data.taxes[n];
        if (!tax.isValid())
            continue;
        // One multi-argument arg(): a '%' inside the tax name must not be taken for a marker.
        lines << QStringLiteral("НАЛОГ %1 [%2]: ПРОЦЕНТНАЯ СТАВКА %3%")
                     .arg(QString::number(n + 1), tax.nameText(), tax.rateNumber().toString());
    }
    return lines;
}

} // namespace

QString toHtml(const RegData &data)
{
    return framed(regDataLines(data));
}

QString toText(const RegData &data)
{
    return plain(regDataLines(data));
}

// ---------------------------------------------------------------------------------------------
// Counters

namespace {

void readGroup(QDataStream &s, OperationCounters &op, bool withTaxes)
{
    s >> op.kind >> op.count >> op.sum >> op.cashSum >> op.cashlessSum;
    for (qint64 &v : op.otherSums)
        s >> v;
    if (withTaxes) {
        for (qint64 &v : op.taxSums)
            s >> v;
    }
}

void operationLines(QStringList &lines, const OperationCounters (&ops)[4], qint32 receiptCount, bool withTaxes)
{
    if (receiptCount == 0)
        return;
    lines << QStringLiteral("В ТОМ ЧИСЛЕ");
    for (const OperationCounters &op : ops) {
        if (op.count == 0)
            continue;
        const QString count = QString::number(op.count);
        const QString sum = money(op.sum);
        switch (op.kind) {
        case 0:
            lines << QStringLiteral("ПРОДАЖ %1 НА СУММУ %2").arg(count, sum);
            break;
        case 1:
            lines << QStringLiteral("ПОКУПОК %1 НА СУММУ %2").arg(count, sum);
            break;
        case 2:
            lines << QStringLiteral("ВОЗВРАТОВ ПРОДАЖ %1 НА СУММУ %2").arg(count, sum);
            break;
        case 3:
            lines << QStringLiteral("ВОЗВРАТОВ ПОКУПОК %1 НА СУММУ %2").arg(count, sum);
            break;
        default:
            break;
        }
        lines << QStringLiteral("    НАЛИЧНЫМИ %1").arg(money(op.cashSum))
              << QStringLiteral("    БЕЗНАЛИЧНЫМИ %1").arg(money(op.cashlessSum));
        if (withTaxes) {
            for (int n = 0; n < 5; ++n)
                lines << QStringLiteral("НАЛОГ %1: СУММА НАЛОГА ИЛИ СУММА, С КОТОРОЙ НАЛОГ НЕ ВЗИМАЛСЯ, %2")
                             .arg(QString::number(n + 1), money(op.taxSums[n]));
        }
    }
}

QStringList countersLines(const QString &heading, const QString &cycles, const Counters &c)
{
    QStringList lines{
        heading,
        cycles.arg(int(c.cycleNumber)),
        QStringLiteral("ВНЕСЕНИЙ %1 НА СУММУ %2").arg(QString::number(c.cashInCount), money(c.cashInSum)),
        QStringLiteral("ВЫПЛАТ %1 НА СУММУ %2").arg(QString::number(c.cashOutCount), money(c.cashOutSum)),
        QStringLiteral("НАЛИЧНОСТЬ В КАССЕ %1").arg(money(c.cashInDrawer)),
        QStringLiteral("ЧЕКОВ %1").arg(c.receiptCount),
    };
    operationLines(lines, c.operations, c.receiptCount, true);
    return lines;
}

QStringList cycleCountersLines(const Counters &c)
{
    return countersLines(QStringLiteral("СМЕННЫЕ ИТОГИ"), QStringLiteral("ЗА СМЕНУ %1"), c);
}

QStringList fiscCountersLines(const Counters &c)
{
    return countersLines(QStringLiteral("ИТОГИ С ПОСЛЕДНЕЙ ПЕРЕРЕГИСТРАЦИИ"), QStringLiteral("ВСЕГО СМЕН %1"), c);
}

QStringList totalLines(const TotalCounters &c)
{
    QStringList lines{
        QStringLiteral("ГРОСС ИТОГИ"),
        QStringLiteral("ВСЕГО СМЕН %1").arg(int(c.cycleNumber)),
        QStringLiteral("ВНЕСЕНИЙ %1 НА СУММУ %2").arg(QString::number(c.cashInCount), money(c.cashInSum)),
        QStringLiteral("ВЫПЛАТ %1 НА СУММУ %2").arg(QString::number(c.cashOutCount), money(c.cashOutSum)),
        QStringLiteral("ЧЕКОВ %1").arg(c.receiptCount),
    };
    operationLines(lines, c.operations, c.receiptCount, false);
    return lines;
}

QStringList sectionLines(const SectionCounters &c)
{
    static const char *const headings[] = {"ПРОДАЖИ", "ПОКУПКИ", "ВОЗВРАТЫ ПРОДАЖ", "ВОЗВРАТЫ ПОКУПОК"};
    QStringList lines;
    for (int kind = 0; kind < 4; ++kind) {
        lines << QString::fromUtf8(headings[kind]);
        // Every department is listed, also those with nothing sold; a short list reads as zeros.
        const QList<FixNumber> sums = c.value(kind);
        for (int section = 0; section < 20; ++section)
            lines << QStringLiteral("  ОТДЕЛ %1: %2")
                         .arg(QString::number(section + 1), sums.value(section, FixNumber(100)).toString());
    }
    return lines;
}

} // namespace

bool Counters::parse(const QByteArray &payload)
{
    if (payload.size() > MaxSize)
        return false;
    QDataStream s(payload);
    littleEndian(s);
    Counters c;
    s >> c.cycleNumber >> c.cashInCount >> c.cashOutCount >> c.cashInSum >> c.cashOutSum >> c.receiptCount >>
        c.cashInDrawer;
    for (OperationCounters &op : c.operations)
        readGroup(s, op, true);
    *this = c;
    return true;
}

bool TotalCounters::parse(const QByteArray &payload)
{
    if (payload.size() > MaxSize)
        return false;
    QDataStream s(payload);
    littleEndian(s);
    TotalCounters c;
    s >> c.cycleNumber >> c.cashInCount >> c.cashOutCount >> c.cashInSum >> c.cashOutSum >> c.receiptCount;
    for (OperationCounters &op : c.operations)
        readGroup(s, op, false);
    *this = c;
    return true;
}

QString cycleCountersHtml(const Counters &c)
{
    return framed(cycleCountersLines(c));
}

QString cycleCountersText(const Counters &c)
{
    return plain(cycleCountersLines(c));
}

QString fiscCountersHtml(const Counters &c)
{
    return framed(fiscCountersLines(c));
}

QString fiscCountersText(const Counters &c)
{
    return plain(fiscCountersLines(c));
}

QString toHtml(const TotalCounters &c)
{
    return framed(totalLines(c));
}

QString toText(const TotalCounters &c)
{
    return plain(totalLines(c));
}

// Not framed like the others: one paragraph with no blank lines after the table.
QString sectionCountersHtml(const SectionCounters &c)
{
    return QStringLiteral("<p><pre>\n") + escaped(sectionLines(c)) + QStringLiteral("\n</pre></p>");
}

QString sectionCountersText(const SectionCounters &c)
{
    return plain(sectionLines(c));
}
