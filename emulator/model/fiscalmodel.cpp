#include "fiscalmodel.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTextCodec>

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
    quint32 crc = 0xFFFFFFFFu;
    for (const char ch : data) {
        crc ^= quint8(ch);
        for (int i = 0; i < 8; ++i)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
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
    const int pageLimit = tapePageLimit;
    const quint64 rev = revision;
    const QMap<quint8, quint64> counts = executed;
    *this = State(nullptr);
    hostClock = clock;
    printerFault = fault;
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
// State: JSON

namespace {

constexpr int StateFormat = 1;

QJsonValue money(qint64 v)
{
    return QString::number(v);
}

qint64 money(const QJsonValue &v)
{
    if (v.isString())
        return v.toString().toLongLong();
    return qint64(v.toDouble());
}

QJsonObject groupToJson(const OperationGroup &g)
{
    QJsonObject o;
    o[QStringLiteral("count")] = g.count;
    o[QStringLiteral("sum")] = money(g.sum);
    o[QStringLiteral("cash")] = money(g.cashSum);
    o[QStringLiteral("cashless")] = money(g.cashlessSum);
    QJsonArray other, tax;
    for (qint64 v : g.otherSums)
        other << money(v);
    for (qint64 v : g.taxSums)
        tax << money(v);
    o[QStringLiteral("other")] = other;
    o[QStringLiteral("taxes")] = tax;
    return o;
}

OperationGroup groupFromJson(const QJsonObject &o)
{
    OperationGroup g;
    g.count = o[QStringLiteral("count")].toInt();
    g.sum = money(o[QStringLiteral("sum")]);
    g.cashSum = money(o[QStringLiteral("cash")]);
    g.cashlessSum = money(o[QStringLiteral("cashless")]);
    const QJsonArray other = o[QStringLiteral("other")].toArray();
    for (int i = 0; i < 3 && i < other.size(); ++i)
        g.otherSums[i] = money(other.at(i));
    const QJsonArray tax = o[QStringLiteral("taxes")].toArray();
    for (int i = 0; i < TaxCount && i < tax.size(); ++i)
        g.taxSums[i] = money(tax.at(i));
    return g;
}

QJsonObject countersToJson(const CounterSet &c)
{
    QJsonObject o;
    o[QStringLiteral("shifts")] = c.shifts;
    o[QStringLiteral("cashInCount")] = c.cashInCount;
    o[QStringLiteral("cashOutCount")] = c.cashOutCount;
    o[QStringLiteral("cashInSum")] = money(c.cashInSum);
    o[QStringLiteral("cashOutSum")] = money(c.cashOutSum);
    o[QStringLiteral("receipts")] = c.receiptCount;
    QJsonArray ops;
    for (const OperationGroup &g : c.ops)
        ops << groupToJson(g);
    o[QStringLiteral("operations")] = ops;
    return o;
}

CounterSet countersFromJson(const QJsonObject &o)
{
    CounterSet c;
    c.shifts = o[QStringLiteral("shifts")].toInt();
    c.cashInCount = o[QStringLiteral("cashInCount")].toInt();
    c.cashOutCount = o[QStringLiteral("cashOutCount")].toInt();
    c.cashInSum = money(o[QStringLiteral("cashInSum")]);
    c.cashOutSum = money(o[QStringLiteral("cashOutSum")]);
    c.receiptCount = o[QStringLiteral("receipts")].toInt();
    const QJsonArray ops = o[QStringLiteral("operations")].toArray();
    for (int i = 0; i < 4 && i < ops.size(); ++i)
        c.ops[i] = groupFromJson(ops.at(i).toObject());
    return c;
}

QJsonValue hex(const QByteArray &b)
{
    return QString::fromLatin1(b.toHex());
}

QByteArray unhex(const QJsonValue &v)
{
    return QByteArray::fromHex(v.toString().toLatin1());
}

QJsonArray linesToJson(const QStringList &lines)
{
    return QJsonArray::fromStringList(lines);
}

QStringList linesFromJson(const QJsonValue &v)
{
    QStringList out;
    for (const QJsonValue &l : v.toArray())
        out << l.toString();
    return out;
}

QJsonObject positionToJson(const Position &p)
{
    QJsonObject o;
    o[QStringLiteral("name")] = p.name;
    o[QStringLiteral("section")] = p.section;
    o[QStringLiteral("tax")] = p.tax;
    o[QStringLiteral("price")] = money(p.price);
    o[QStringLiteral("quantity")] = money(p.quantityRaw);
    o[QStringLiteral("quantityDivisor")] = double(p.quantityDivisor);
    o[QStringLiteral("discount")] = money(p.discount);
    o[QStringLiteral("sum")] = money(p.sum);
    o[QStringLiteral("texts")] = linesToJson(p.texts);
    return o;
}

Position positionFromJson(const QJsonObject &o)
{
    Position p;
    p.name = o[QStringLiteral("name")].toString();
    p.section = quint8(o[QStringLiteral("section")].toInt());
    p.tax = quint8(o[QStringLiteral("tax")].toInt());
    p.price = money(o[QStringLiteral("price")]);
    p.quantityRaw = money(o[QStringLiteral("quantity")]);
    p.quantityDivisor = quint32(qMax(1.0, o[QStringLiteral("quantityDivisor")].toDouble()));
    p.discount = money(o[QStringLiteral("discount")]);
    p.sum = money(o[QStringLiteral("sum")]);
    p.texts = linesFromJson(o[QStringLiteral("texts")]);
    return p;
}

QJsonObject paramsToJson(const QMap<quint16, QByteArray> &params)
{
    QJsonObject o;
    for (auto it = params.cbegin(); it != params.cend(); ++it)
        o[QString::number(it.key())] = hex(it.value());
    return o;
}

bool paramsFromJson(const QJsonObject &o, QMap<quint16, QByteArray> &params)
{
    params.clear();
    for (auto it = o.begin(); it != o.end(); ++it) {
        bool ok = false;
        const uint tag = it.key().toUInt(&ok);
        if (!ok || tag == 0 || tag > 0xFFFF)
            return false;
        params[quint16(tag)] = unhex(it.value());
    }
    return true;
}

double u32json(quint32 v)
{
    return double(v);
}

quint32 u32json(const QJsonValue &v)
{
    return quint32(qBound(0.0, v.toDouble(), 4294967295.0));
}

} // namespace

QJsonObject FiscalModel::State::toJson() const
{
    QJsonObject o;
    o[QStringLiteral("format")] = StateFormat;

    QJsonObject model;
    model[QStringLiteral("code")] = modelCode;
    model[QStringLiteral("name")] = modelName;
    model[QStringLiteral("firmware")] = QStringLiteral("%1.%2.%3").arg(firmware[0]).arg(firmware[1]).arg(firmware[2]);
    o[QStringLiteral("model")] = model;

    o[QStringLiteral("factoryNumber")] = factoryNumber;
    o[QStringLiteral("clockOffset")] = double(clockOffset);
    o[QStringLiteral("sdCard")] = sdCard;
    o[QStringLiteral("activated")] = activated;
    o[QStringLiteral("activationCount")] = activationCount;
    o[QStringLiteral("activationLimit")] = activationLimit;
    o[QStringLiteral("archiveClosed")] = archiveClosed;
    o[QStringLiteral("docsLeft")] = docsLeft;
    o[QStringLiteral("registration")] = paramsToJson(regParams);

    QJsonObject sh;
    sh[QStringLiteral("open")] = shift.open;
    sh[QStringLiteral("number")] = shift.number;
    sh[QStringLiteral("openTime")] = u32json(shift.openTime);
    sh[QStringLiteral("closeTime")] = u32json(shift.closeTime);
    sh[QStringLiteral("receipts")] = shift.receipts;
    sh[QStringLiteral("firstDoc")] = shift.firstDoc;
    sh[QStringLiteral("lastDoc")] = shift.lastDoc;
    o[QStringLiteral("shift")] = sh;

    QJsonObject last;
    last[QStringLiteral("number")] = lastDocNumber;
    last[QStringLiteral("time")] = u32json(lastDocTime);
    last[QStringLiteral("receipt")] = lastReceiptNumber;
    o[QStringLiteral("lastDocument")] = last;

    QJsonObject od;
    od[QStringLiteral("type")] = doc.type;
    od[QStringLiteral("receiptType")] = doc.receiptType;
    od[QStringLiteral("cashier")] = doc.cashier;
    od[QStringLiteral("cashierName")] = doc.cashierName;
    QJsonArray positions;
    for (const Position &p : doc.positions)
        positions << positionToJson(p);
    od[QStringLiteral("positions")] = positions;
    od[QStringLiteral("total")] = money(doc.total);
    od[QStringLiteral("operations")] = doc.operations;
    od[QStringLiteral("lines")] = linesToJson(doc.lines);
    od[QStringLiteral("params")] = paramsToJson(doc.params);
    o[QStringLiteral("openDocument")] = od;

    o[QStringLiteral("cash")] = money(cash);

    QJsonObject counters;
    counters[QStringLiteral("shift")] = countersToJson(shiftCounters);
    counters[QStringLiteral("fiscal")] = countersToJson(fiscalCounters);
    counters[QStringLiteral("gross")] = countersToJson(grossCounters);
    QJsonArray secs;
    for (const auto &list : sectionSums) {
        QJsonArray l;
        for (qint64 v : list)
            l << money(v);
        secs << l;
    }
    counters[QStringLiteral("sections")] = secs;
    o[QStringLiteral("counters")] = counters;

    QJsonArray cs;
    for (int i = 0; i < CashierCount; ++i) {
        QJsonObject c;
        c[QStringLiteral("number")] = i + 1;
        c[QStringLiteral("rights")] = cashiers[i].rights;
        c[QStringLiteral("password")] = cashiers[i].password;
        c[QStringLiteral("name")] = cashiers[i].name;
        cs << c;
    }
    o[QStringLiteral("cashiers")] = cs;
    QJsonArray ss;
    for (const QByteArray &s : sections)
        ss << hex(s);
    o[QStringLiteral("sections")] = ss;
    QJsonArray ds;
    for (int i = 0; i < DiscountCount; ++i) {
        QJsonObject d;
        d[QStringLiteral("number")] = i + 1;
        d[QStringLiteral("kind")] = discounts[i].kind;
        d[QStringLiteral("value")] = money(discounts[i].value);
        d[QStringLiteral("name")] = fromCp866(discounts[i].name);
        ds << d;
    }
    o[QStringLiteral("discounts")] = ds;

    QJsonObject settings;
    settings[QStringLiteral("paperWidth")] = paperWidthMm;
    settings[QStringLiteral("rounding")] = rounding;
    o[QStringLiteral("settings")] = settings;

    QJsonArray arch;
    for (const ArchiveDoc &a : archive) {
        QJsonObject d;
        d[QStringLiteral("number")] = a.number;
        d[QStringLiteral("type")] = a.type;
        d[QStringLiteral("time")] = u32json(a.time);
        d[QStringLiteral("sign")] = u32json(a.sign);
        d[QStringLiteral("shift")] = a.shift;
        d[QStringLiteral("receiptType")] = a.receiptType;
        d[QStringLiteral("total")] = money(a.total);
        d[QStringLiteral("cash")] = money(a.cash);
        d[QStringLiteral("card")] = money(a.card);
        d[QStringLiteral("lines")] = linesToJson(a.lines);
        arch << d;
    }
    o[QStringLiteral("archive")] = arch;
    return o;
}

bool FiscalModel::State::fromJson(const QJsonObject &o)
{
    if (o[QStringLiteral("format")].toInt() != StateFormat)
        return false;
    const QStringList required = {QStringLiteral("shift"), QStringLiteral("counters"), QStringLiteral("cashiers"),
                                  QStringLiteral("archive")};
    for (const QString &key : required)
        if (!o.contains(key))
            return false;

    State s(nullptr);
    s.reset();
    const QJsonObject model = o[QStringLiteral("model")].toObject();
    s.modelCode = quint16(model[QStringLiteral("code")].toInt(s.modelCode));
    s.modelName = model[QStringLiteral("name")].toString(s.modelName);
    const QStringList fw = model[QStringLiteral("firmware")].toString().split(QLatin1Char('.'));
    if (fw.size() == 3)
        for (int i = 0; i < 3; ++i)
            s.firmware[i] = quint8(fw.at(i).toUInt());

    s.factoryNumber = o[QStringLiteral("factoryNumber")].toString();
    s.clockOffset = qint64(o[QStringLiteral("clockOffset")].toDouble());
    s.sdCard = o[QStringLiteral("sdCard")].toBool(true);
    s.activated = o[QStringLiteral("activated")].toBool();
    s.activationCount = o[QStringLiteral("activationCount")].toInt();
    s.activationLimit = o[QStringLiteral("activationLimit")].toInt(s.activationLimit);
    s.archiveClosed = o[QStringLiteral("archiveClosed")].toBool();
    s.docsLeft = o[QStringLiteral("docsLeft")].toInt(s.docsLeft);
    if (!paramsFromJson(o[QStringLiteral("registration")].toObject(), s.regParams))
        return false;

    const QJsonObject sh = o[QStringLiteral("shift")].toObject();
    s.shift.open = sh[QStringLiteral("open")].toBool();
    s.shift.number = sh[QStringLiteral("number")].toInt();
    s.shift.openTime = u32json(sh[QStringLiteral("openTime")]);
    s.shift.closeTime = u32json(sh[QStringLiteral("closeTime")]);
    s.shift.receipts = sh[QStringLiteral("receipts")].toInt();
    s.shift.firstDoc = sh[QStringLiteral("firstDoc")].toInt();
    s.shift.lastDoc = sh[QStringLiteral("lastDoc")].toInt();

    const QJsonObject last = o[QStringLiteral("lastDocument")].toObject();
    s.lastDocNumber = last[QStringLiteral("number")].toInt();
    s.lastDocTime = u32json(last[QStringLiteral("time")]);
    s.lastReceiptNumber = last[QStringLiteral("receipt")].toInt();

    const QJsonObject od = o[QStringLiteral("openDocument")].toObject();
    s.doc.type = quint8(od[QStringLiteral("type")].toInt());
    if (s.doc.type > DocArchiveClose)
        return false;
    s.doc.receiptType = quint8(od[QStringLiteral("receiptType")].toInt());
    s.doc.cashier = od[QStringLiteral("cashier")].toInt();
    s.doc.cashierName = od[QStringLiteral("cashierName")].toString();
    for (const QJsonValue &p : od[QStringLiteral("positions")].toArray())
        s.doc.positions << positionFromJson(p.toObject());
    s.doc.total = money(od[QStringLiteral("total")]);
    s.doc.operations = od[QStringLiteral("operations")].toInt();
    s.doc.lines = linesFromJson(od[QStringLiteral("lines")]);
    if (!paramsFromJson(od[QStringLiteral("params")].toObject(), s.doc.params))
        return false;

    s.cash = money(o[QStringLiteral("cash")]);

    const QJsonObject counters = o[QStringLiteral("counters")].toObject();
    s.shiftCounters = countersFromJson(counters[QStringLiteral("shift")].toObject());
    s.fiscalCounters = countersFromJson(counters[QStringLiteral("fiscal")].toObject());
    s.grossCounters = countersFromJson(counters[QStringLiteral("gross")].toObject());
    const QJsonArray secs = counters[QStringLiteral("sections")].toArray();
    for (int k = 0; k < 4 && k < secs.size(); ++k) {
        const QJsonArray l = secs.at(k).toArray();
        for (int i = 0; i < SectionCount && i < l.size(); ++i)
            s.sectionSums[k][i] = money(l.at(i));
    }

    const QJsonArray cs = o[QStringLiteral("cashiers")].toArray();
    if (cs.size() != CashierCount)
        return false;
    for (int i = 0; i < CashierCount; ++i) {
        const QJsonObject c = cs.at(i).toObject();
        s.cashiers[i].rights = quint16(c[QStringLiteral("rights")].toInt());
        s.cashiers[i].password = c[QStringLiteral("password")].toInt();
        s.cashiers[i].name = c[QStringLiteral("name")].toString();
    }
    const QJsonArray ss = o[QStringLiteral("sections")].toArray();
    for (int i = 0; i < SectionCount && i < ss.size(); ++i) {
        const QByteArray b = unhex(ss.at(i));
        if (b.size() == SectionEntrySize)
            s.sections[i] = b;
    }
    const QJsonArray ds = o[QStringLiteral("discounts")].toArray();
    for (int i = 0; i < DiscountCount && i < ds.size(); ++i) {
        const QJsonObject d = ds.at(i).toObject();
        s.discounts[i].kind = qint8(d[QStringLiteral("kind")].toInt(2));
        s.discounts[i].value = money(d[QStringLiteral("value")]);
        s.discounts[i].name = toCp866(d[QStringLiteral("name")].toString());
    }

    const QJsonObject settings = o[QStringLiteral("settings")].toObject();
    s.paperWidthMm = settings[QStringLiteral("paperWidth")].toInt(80) == 60 ? 60 : 80;
    s.rounding = settings[QStringLiteral("rounding")].toInt() == 1 ? 1 : 0;

    for (const QJsonValue &v : o[QStringLiteral("archive")].toArray()) {
        const QJsonObject d = v.toObject();
        ArchiveDoc a;
        a.number = d[QStringLiteral("number")].toInt();
        a.type = quint8(d[QStringLiteral("type")].toInt());
        a.time = u32json(d[QStringLiteral("time")]);
        a.sign = u32json(d[QStringLiteral("sign")]);
        a.shift = d[QStringLiteral("shift")].toInt();
        a.receiptType = quint8(d[QStringLiteral("receiptType")].toInt());
        a.total = money(d[QStringLiteral("total")]);
        a.cash = money(d[QStringLiteral("cash")]);
        a.card = money(d[QStringLiteral("card")]);
        a.lines = linesFromJson(d[QStringLiteral("lines")]);
        s.archive << a;
    }

    // Keep what belongs to this run, not to the register.
    s.hostClock = hostClock;
    s.printerFault = printerFault;
    s.tapePageLimit = tapePageLimit;
    s.revision = revision + 1;
    s.executed = executed;
    s.printer = printer;
    *this = s;
    return true;
}

// ---------------------------------------------------------------------------------------------
// State: command dispatch

namespace {

// Commands whose success may change the saved state.
bool changesState(quint8 command)
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

} // namespace

FiscalModel::Result FiscalModel::State::execute(quint8 command, const QByteArray &payload)
{
    ++executed[command];
    printer.setColumns(paperColumns());
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
    if (r.code != 0)
        r.payload.clear();
    else if (changesState(command))
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

FiscalModel::FiscalModel() : d(new State)
{}

FiscalModel::~FiscalModel()
{
    delete d;
}

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

FiscalModel::Result FiscalModel::execute(quint8 command, const QByteArray &payload)
{
    return d->execute(command, payload);
}

QJsonObject FiscalModel::toJson() const
{
    return d->toJson();
}

bool FiscalModel::fromJson(const QJsonObject &json)
{
    return d->fromJson(json);
}

bool FiscalModel::saveToFile(const QString &path, QString *error) const
{
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        if (error)
            *error = f.errorString();
        return false;
    }
    f.write(QJsonDocument(d->toJson()).toJson(QJsonDocument::Indented));
    if (!f.commit()) {
        if (error)
            *error = f.errorString();
        return false;
    }
    return true;
}

bool FiscalModel::loadFromFile(const QString &path, QString *error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = f.errorString();
        return false;
    }
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &pe);
    if (doc.isNull() || !doc.isObject()) {
        if (error)
            *error = pe.errorString();
        return false;
    }
    if (!d->fromJson(doc.object())) {
        if (error)
            *error = QStringLiteral("not a register state file");
        return false;
    }
    return true;
}

QStringList FiscalModel::takePrinted()
{
    return d->printer.take();
}

void FiscalModel::setPrinterFault(quint8 code)
{
    d->printerFault = code;
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
