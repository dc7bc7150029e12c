#include "fiscalmodel.h"

#include <QTextCodec>

#include <array>

#include "fiscalstate.h"
#include "frconst.h"
#include "frmsg.h"

using namespace fm;

// ---------------------------------------------------------------------------------------------
// Byte helpers

namespace fm {

Writer &Writer::u8(quint8 v)
{
    data.append(char(v));
    return *this;
}

Writer &Writer::u16(quint16 v)
{
    u8(quint8(v));
    return u8(quint8(v >> 8));
}

Writer &Writer::u32(quint32 v)
{
    u16(quint16(v));
    return u16(quint16(v >> 16));
}

Writer &Writer::u64(quint64 v)
{
    u32(quint32(v));
    return u32(quint32(v >> 32));
}

Writer &Writer::bytes(const QByteArray &b, int width)
{
    if (width < 0) {
        data.append(b);
    } else {
        const QByteArray cut = b.left(width);
        data.append(cut);
        data.append(QByteArray(width - cut.size(), '\0'));
    }
    return *this;
}

quint8 Reader::u8()
{
    if (!has(1))
        return 0;
    return quint8(data_.at(pos_++));
}

quint16 Reader::u16()
{
    const quint16 lo = u8();
    return quint16(lo | (quint16(u8()) << 8));
}

quint32 Reader::u32()
{
    const quint32 lo = u16();
    return lo | (quint32(u16()) << 16);
}

quint64 Reader::u64()
{
    const quint64 lo = u32();
    return lo | (quint64(u32()) << 32);
}

QByteArray Reader::bytes(int n)
{
    const int take = qBound(0, n, left());
    const QByteArray out = data_.mid(pos_, take);
    pos_ += take;
    return out;
}

static QTextCodec *cp866()
{
    static QTextCodec *codec = QTextCodec::codecForName("IBM866");
    return codec;
}

QByteArray toCp866(const QString &text)
{
    return cp866() ? cp866()->fromUnicode(text) : text.toLatin1();
}

QString fromCp866(const QByteArray &bytes)
{
    return cp866() ? cp866()->toUnicode(bytes) : QString::fromLatin1(bytes);
}

quint32 crc32(const QByteArray &data)
{
    // A table, as every read of an archived document checks its sign.
    static const auto table = [] {
        std::array<quint32, 256> t{};
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k)
                c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
            t[i] = c;
        }
        return t;
    }();
    quint32 crc = 0xFFFFFFFFu;
    for (const char ch : data)
        crc = (crc >> 8) ^ table[(crc ^ quint8(ch)) & 0xFF];
    return ~crc;
}

quint32 toDeviceTime(const QDateTime &local)
{
    const QDateTime wall(local.date(), local.time(), Qt::UTC);
    const qint64 s = wall.toSecsSinceEpoch();
    return s < 0 ? 0 : quint32(qMin<qint64>(s, 0xFFFFFFFFLL));
}

QDateTime fromDeviceTime(quint32 seconds)
{
    QDateTime dt = QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
    return QDateTime(dt.date(), dt.time(), Qt::LocalTime);
}

QString formatDeviceTime(quint32 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(QStringLiteral("dd.MM.yyyy hh:mm"));
}

QString formatMoney(qint64 kopecks)
{
    const qint64 a = kopecks < 0 ? -kopecks : kopecks;
    return QStringLiteral("%1%2.%3")
        .arg(kopecks < 0 ? QStringLiteral("-") : QString())
        .arg(a / 100)
        .arg(a % 100, 2, 10, QLatin1Char('0'));
}

} // namespace fm

// ---------------------------------------------------------------------------------------------
// State: presets

FiscalModel::State::State()
{
    reset();
}

void FiscalModel::State::reset()
{
    QDateTime (*clock)() = hostClock;
    const quint8 fault = printerFault;
    const quint32 conds = conditions;
    const int paperOut = tapePaperOut;
    const int pageLimit = tapePageLimit;
    const quint64 rev = revision;
    const QMap<quint8, quint64> counts = executed;
    *this = State(nullptr);
    hostClock = clock;
    printerFault = fault;
    conditions = conds;
    tapePaperOut = paperOut;
    tapePageLimit = pageLimit;
    revision = rev;
    executed = counts;

    modelName = QStringLiteral("ВИРТА-ЭМУЛЯТОР ФР");
    for (int i = 0; i < SectionCount; ++i) {
        sections[i] = QByteArray(SectionEntrySize, '\0');
        sections[i][0] = char(i + 1);
    }
    // Cashier 20 exists on every register: without it nobody could set up the others.
    cashiers[DefaultCashierNumber - 1].rights = AllRights;
    cashiers[DefaultCashierNumber - 1].password = DefaultCashierPassword;
    cashiers[DefaultCashierNumber - 1].name = QStringLiteral("СИСТЕМНЫЙ АДМИНИСТРАТОР");
}

FiscalModel::State::State(std::nullptr_t)
{}

void FiscalModel::State::applyFresh()
{
    reset();
    clockOffset = 0;
}

void FiscalModel::State::applyReady()
{
    reset();
    factoryNumber = QStringLiteral("0000012345");

    auto text = [](const QString &s) {
        return toCp866(s);
    };
    regParams[11018] = "7707083893";
    regParams[11037] = "0000000001012345";
    regParams[11041] = "9999078900012345";
    regParams[11048] = text(QStringLiteral("ООО \"РОМАШКА\""));
    regParams[11187] = text(QStringLiteral("ОБЩЕСТВО С ОГРАНИЧЕННОЙ ОТВЕТСТВЕННОСТЬЮ"));
    regParams[11009] = text(QStringLiteral("г. Москва, ул. Тверская, д. 1"));
    struct PresetTax
    {
        quint8 type;
        quint16 rate;
        const char *name;
    };
    const PresetTax taxes[TaxCount] = {
        {1, 2000, "НДС 20%"}, {1, 1000, "НДС 10%"}, {2, 2000, "НАЧИСЛЯЕМЫЙ 20%"}, {1, 0, "НДС 0%"}, {0, 0, "БЕЗ НДС"}};
    for (int i = 0; i < TaxCount; ++i) {
        QByteArray members;
        members += Writer().u16(13102).u16(1).u8(taxes[i].type).data;
        members += Writer().u16(13103).u16(2).u16(taxes[i].rate).data;
        const QByteArray name = text(QString::fromUtf8(taxes[i].name));
        members += Writer().u16(13104).u16(quint16(name.size())).bytes(name).data;
        regParams[quint16(13105 + i)] = members;
    }

    for (int i = 0; i < SectionCount; ++i) {
        const QByteArray name = text(QStringLiteral("ОТДЕЛ %1").arg(i + 1));
        sections[i].replace(1, name.size(), name);
    }
    discounts[0] = {1, 1000, text(QStringLiteral("СКИДКА 10%"))};
    discounts[1] = {0, 5000, text(QStringLiteral("СКИДКА 50 РУБ"))};

    // The registration is the first document of the archive, made as the register makes any document,
    // an hour before now; its paper is not part of this run's tape.
    activated = true;
    activationCount = 1;
    clockOffset = -3600;
    printer.setColumns(paperColumns());
    doc.type = DocRegistration;
    doc.cashierName = cashiers[DefaultCashierNumber - 1].name;
    QStringList body;
    body << QStringLiteral("ИНН 7707083893") << QStringLiteral("РН ККТ 0000000001012345");
    for (auto it = regParams.cbegin(); it != regParams.cend(); ++it) {
        QString line;
        if (registrationParam(it.key(), it.value(), line) == 0)
            body << printer.layout(line, TapePrinter::Style());
    }
    const ArchiveDoc &reg = finishDocument(QStringLiteral("ОТЧЕТ О РЕГИСТРАЦИИ"), body);
    regParams[11012] = Writer().u32(reg.time).data;
    clockOffset = 0;
    printer.take();
}

// ---------------------------------------------------------------------------------------------
// State: clock

quint32 FiscalModel::State::hostNow() const
{
    return toDeviceTime(hostClock ? hostClock() : QDateTime::currentDateTime());
}

quint32 FiscalModel::State::now() const
{
    const qint64 t = qint64(hostNow()) + clockOffset;
    return quint32(qBound<qint64>(0, t, 0xFFFFFFFFLL));
}

// ---------------------------------------------------------------------------------------------
// State: command dispatch

bool fm::changesState(quint8 command)
{
    switch (command) {
    case 0x02:
    case 0x04:
    case 0x06:
    case 0x07:
    case 0x08:
    case 0x09:
    case 0x11:
    case 0x12:
    case 0x13:
    case 0x14:
    case 0x15:
    case 0x16:
    case 0x18:
    case 0x19:
    case 0x3F:
    case 0x41:
    case 0xA2:
    case 0xA3:
    case 0xA4:
    case 0xA5:
    case 0xC2:
        return true;
    default:
        return false;
    }
}

namespace {

// Commands that write the register's own memory (catalogues, clock, factory number, settings).
bool writesSettings(quint8 command)
{
    return command == 0x02 || command == 0x04 || command == 0x3F || command == 0x41 || command == 0xC2;
}

} // namespace

FiscalModel::Result FiscalModel::State::execute(quint8 command, const QByteArray &payload)
{
    ++executed[command];
    archiveTrouble.clear();
    // Cancelling when nothing is open succeeds but changes nothing: nothing to save.
    const bool changes = changesState(command) && !(command == 0x06 && !doc.isOpen());
    printer.setColumns(paperColumns());
    if ((conditions & EepromError) && writesSettings(command))
        return {25, {}};
    Result r;
    // clang-format off
    switch (command) {
    case 0x01: r = readCatalog(payload); break;
    case 0x02: r = writeCatalog(payload); break;
    case 0x03: r = readClock(); break;
    case 0x04: r = writeClock(payload); break;
    case 0x06: r = cancelDocument(); break;
    case 0x07: r = documentData(payload); break;
    case 0x08: case 0x11: case 0x13: case 0x15: case 0x18: case 0xA2: case 0xA4:
        r = startDocument(command, payload);
        break;
    case 0x09: r = completeRegistration(payload, false); break;
    case 0x10: r = shiftState(); break;
    case 0x12: r = completeShiftOpening(payload); break;
    case 0x14: r = completeShiftClosing(payload); break;
    case 0x16: r = completeReceipt(payload); break;
    case 0x19: r = completeArchiveClosing(payload); break;
    case 0x20: r = completeRegistration(payload, true); break;
    case 0x30: r = status(); break;
    case 0x31: r = identity(); break;
    case 0x33: r = firmwareVersion(); break;
    case 0x36: r = counters(true); break;
    case 0x37: r = counters(false); break;
    case 0x38: r = totalCounters(); break;
    case 0x39: r = sectionCounters(); break;
    case 0x3A: r = controlTape(payload); break;
    case 0x3F: r = writeSerial(payload); break;
    case 0x40: r = readSettings(payload, false); break;
    case 0x41: r = writeSettings(payload, false); break;
    case 0x44: r = readRegParam(payload); break;
    case 0xA3: r = completeCashMove(payload, true); break;
    case 0xA5: r = completeCashMove(payload, false); break;
    case 0xB0: r = openDocData(); break;
    case 0xB1: r = report(payload); break;
    case 0xB2: r = documentCopy(payload); break;
    case 0xC1: r = readSettings(payload, true); break;
    case 0xC2: r = writeSettings(payload, true); break;
    case 0xC3: r = printLine(payload); break;
    case 0xC4: r = printerCommand(payload); break;
    case 0xC5: r = cut(); break;
    default: r.code = CoreApiConst::UnsupportedCommand; break;
    }
    // clang-format on
    // A control tape that ran out of paper still says where to go on once paper is in, and a
    // damaged document of the archive says which one it is.
    const bool withNumber = (command == 0x3A && r.code == CoreApiConst::NoPaper) || r.code == ArchiveDamaged;
    if (r.code != 0 && !withNumber)
        r.payload.clear();
    else if (r.code == 0 && changes)
        ++revision;
    return r;
}

// ---------------------------------------------------------------------------------------------
// Information replies

Result FiscalModel::State::status() const
{
    quint16 flags = 0;
    if (sdCard)
        flags |= 0x0001;
    if (activated)
        flags |= 0x0002;
    if (shift.open)
        flags |= 0x0008;
    if (sdCard && !archiveClosed)
        flags |= 0x0010;
    if (archiveClosed)
        flags |= 0x0020;
    if (printerFault == CoreApiConst::PrinterNotAnswering)
        flags |= 0x1000;
    if (printerFault == CoreApiConst::NoPaper)
        flags |= 0x4000;
    if (conditions & ForeignCard)
        flags |= 0x0004;
    if (conditions & EepromError)
        flags |= 0x0040;
    if (conditions & PaperLow)
        flags |= 0x2000;
    Writer w;
    w.bytes(factoryNumber.toLatin1(), 10)
        .u16(flags)
        .u8(quint8(activationCount))
        .u8(quint8(activationLimit))
        .i16(qint16(shift.number))
        .i32(lastDocNumber)
        .u32(lastDocTime)
        .i16(qint16(lastReceiptNumber))
        .u8(doc.type)
        .i32(docsLeft);
    return {0, w.data};
}

Result FiscalModel::State::identity() const
{
    Writer w;
    w.u16(modelCode).bytes(factoryNumber.toLatin1(), 10).bytes(toCp866(modelName), 32);
    return {0, w.data};
}

Result FiscalModel::State::firmwareVersion() const
{
    Writer w;
    w.u8(firmware[0]).u8(firmware[1]).u8(firmware[2]);
    return {0, w.data};
}

Result FiscalModel::State::shiftState() const
{
    Writer w;
    w.u8(shift.open ? 1 : 0)
        .i16(qint16(shift.number))
        .i16(qint16(shift.receipts))
        .i32(shift.firstDoc)
        .u32(shift.openTime)
        .i32(shift.lastDoc)
        .u32(shift.open ? 0 : shift.closeTime)
        .i64(cash);
    return {0, w.data};
}

// ---------------------------------------------------------------------------------------------
// FiscalModel

bool FiscalModel::isPreset(const QString &name)
{
    return name == QLatin1String("fresh") || name == QLatin1String("ready");
}

void FiscalModel::applyPreset(const QString &name)
{
    if (name == QLatin1String("ready"))
        d->applyReady();
    else
        d->applyFresh();
    ++d->revision;
}

QJsonObject FiscalModel::toJson() const
{
    return d->toJson();
}

bool FiscalModel::fromJson(const QJsonObject &json, QString *error)
{
    return d->fromJson(json, error);
}

QStringList FiscalModel::takePrinted()
{
    return d->printer.take();
}

void FiscalModel::setPrinterFault(quint8 code)
{
    d->printerFault = code;
}

void FiscalModel::setConditions(quint32 conditions)
{
    d->conditions = conditions;
}

void FiscalModel::setTapePaperOut(int documents)
{
    d->tapePaperOut = documents;
}

void FiscalModel::setHostClock(QDateTime (*now)())
{
    d->hostClock = now;
}

quint64 FiscalModel::revision() const
{
    return d->revision;
}

quint64 FiscalModel::executedCount(quint8 command) const
{
    return d->executed.value(command);
}

quint64 FiscalModel::executedTotal() const
{
    quint64 n = 0;
    for (quint64 v : d->executed)
        n += v;
    return n;
}

void FiscalModel::setControlTapePageLimit(int documents)
{
    d->tapePageLimit = qMax(1, documents);
}

QDateTime FiscalModel::registerClock() const
{
    return fromDeviceTime(d->now());
}
