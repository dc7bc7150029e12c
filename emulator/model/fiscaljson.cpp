// The state as JSON (the --state file) and back. The README invites editing the file by hand, so
// the reader trusts nothing in it: every field is checked for its type, its range and its agreement
// with the rest before any of it is taken, and a refusal names the field that failed.
//
// Long, and kept whole on purpose: the writing and the reading of each field stand in one file, so
// that a field added to the one is not missed in the other.

#include <QJsonArray>
#include <QJsonDocument>

#include <QSet>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "fiscalstate.h"
#include "frconst.h"
#include "tlv.h"

using namespace fm;

namespace {

// 1: one file, archive inside; 2: the archive in a journal beside the file.
constexpr int StateFormat = 1;
constexpr int JournalFormat = 2;
// An offset of more than a century is a typing error, and would leave the 32-bit device clock.
constexpr qint64 MaxClockOffset = 100LL * 36525 * 864; // 100 years of 365.25 days, in seconds
// Integers a JSON number (a double) carries exactly.
constexpr qint64 MaxJsonInteger = 1LL << 53;
constexpr qint64 Int32Max = std::numeric_limits<qint32>::max();
constexpr qint64 Int64Max = std::numeric_limits<qint64>::max();
constexpr qint64 UInt32Max = 0xFFFFFFFFLL;
constexpr int MaxNameBytes = 255;

QString key(const QString &path, const char *name)
{
    return path.isEmpty() ? QString::fromLatin1(name) : path + QLatin1Char('.') + QLatin1String(name);
}

QString index(const QString &path, int i)
{
    return QStringLiteral("%1[%2]").arg(path).arg(i);
}

// Reads typed values out of the JSON tree and keeps the first failure as "path: what is wrong".
// An absent value takes its default (files of older versions lack some fields); a present value
// of the wrong type or out of range is a failure. After a failure every read returns its default,
// so the caller may read on and look at ok() once.
class Check
{
public:
    bool ok() const { return error_.isEmpty(); }
    QString error() const { return error_; }

    bool fail(const QString &path, const QString &what)
    {
        if (error_.isEmpty())
            error_ = path + QStringLiteral(": ") + what;
        return false;
    }

    QJsonObject object(const QJsonValue &v, const QString &path, bool required = false)
    {
        if (v.isObject())
            return v.toObject();
        if (!v.isUndefined() || required)
            fail(path, v.isUndefined() ? QStringLiteral("missing") : QStringLiteral("not an object"));
        return QJsonObject();
    }

    // size -1: any length.
    QJsonArray array(const QJsonValue &v, const QString &path, int size = -1, bool required = false)
    {
        if (v.isUndefined() && !required)
            return QJsonArray();
        if (!v.isArray()) {
            fail(path, v.isUndefined() ? QStringLiteral("missing") : QStringLiteral("not a list"));
            return QJsonArray();
        }
        const QJsonArray a = v.toArray();
        if (size >= 0 && a.size() != size) {
            fail(path, QStringLiteral("a list of %1 entries expected, %2 found").arg(size).arg(a.size()));
            return QJsonArray();
        }
        return a;
    }

    qint64 integer(const QJsonValue &v, const QString &path, qint64 min, qint64 max, qint64 fallback = 0)
    {
        if (v.isUndefined())
            return fallback;
        const double d = v.toDouble();
        if (!v.isDouble() || !std::isfinite(d) || d != std::floor(d)) {
            fail(path, QStringLiteral("not a whole number"));
            return fallback;
        }
        if (std::fabs(d) > double(MaxJsonInteger)) {
            fail(path, QStringLiteral("%1 is out of range (%2 to %3)").arg(d).arg(min).arg(max));
            return fallback;
        }
        return inRange(qint64(d), path, min, max, fallback);
    }

    // Money and other 64-bit values travel as decimal strings, which keep every digit: an optional
    // minus and the digits, nothing else (no blanks, no plus). Plain numbers are accepted while a
    // double holds them exactly.
    qint64 wide(const QJsonValue &v, const QString &path, qint64 min, qint64 max)
    {
        if (v.isString()) {
            const QString text = v.toString();
            const int digitsFrom = text.startsWith(QLatin1Char('-')) ? 1 : 0;
            bool good = text.size() > digitsFrom;
            for (int i = digitsFrom; good && i < text.size(); ++i)
                good = text.at(i) >= QLatin1Char('0') && text.at(i) <= QLatin1Char('9');
            const qint64 n = good ? text.toLongLong(&good, 10) : 0;
            if (!good) {
                fail(path, QStringLiteral("\"%1\" is not a whole number of 64 bits").arg(v.toString()));
                return 0;
            }
            return inRange(n, path, min, max, 0);
        }
        return integer(v, path, min, max, 0);
    }

    bool boolean(const QJsonValue &v, const QString &path, bool fallback)
    {
        if (v.isUndefined())
            return fallback;
        if (!v.isBool())
            fail(path, QStringLiteral("not true or false"));
        return v.toBool(fallback);
    }

    // maxBytes: the longest CP866 form the register keeps; -1: any.
    QString string(const QJsonValue &v, const QString &path, int maxBytes = -1, const QString &fallback = QString())
    {
        if (v.isUndefined())
            return fallback;
        if (!v.isString()) {
            fail(path, QStringLiteral("not a text"));
            return fallback;
        }
        const QString s = v.toString();
        if (maxBytes >= 0 && toCp866(s).size() > maxBytes)
            fail(path, QStringLiteral("longer than %1 bytes").arg(maxBytes));
        return s;
    }

    QStringList lines(const QJsonValue &v, const QString &path)
    {
        QStringList out;
        const QJsonArray a = array(v, path);
        for (int i = 0; i < a.size(); ++i) {
            if (!a.at(i).isString()) {
                fail(index(path, i), QStringLiteral("not a text"));
                return QStringList();
            }
            out << a.at(i).toString();
        }
        return out;
    }

    // size -1: any length up to maxSize.
    QByteArray hex(const QJsonValue &v, const QString &path, int size = -1, int maxSize = 0xFFFF)
    {
        if (!v.isString()) {
            fail(path, QStringLiteral("not a text of hexadecimal digits"));
            return QByteArray();
        }
        const QByteArray text = v.toString().toLatin1();
        for (const char c : text) {
            if (!isxdigit(static_cast<unsigned char>(c)) || v.toString().size() != text.size()) {
                fail(path, QStringLiteral("not a text of hexadecimal digits"));
                return QByteArray();
            }
        }
        if (text.size() % 2 != 0) {
            fail(path, QStringLiteral("an odd number of hexadecimal digits"));
            return QByteArray();
        }
        const QByteArray bytes = QByteArray::fromHex(text);
        if ((size >= 0 && bytes.size() != size) || bytes.size() > maxSize) {
            fail(path, size >= 0 ? QStringLiteral("%1 bytes expected, %2 found").arg(size).arg(bytes.size())
                                 : QStringLiteral("longer than %1 bytes").arg(maxSize));
            return QByteArray();
        }
        return bytes;
    }

private:
    qint64 inRange(qint64 n, const QString &path, qint64 min, qint64 max, qint64 fallback)
    {
        if (n < min || n > max) {
            fail(path, QStringLiteral("%1 is out of range (%2 to %3)").arg(n).arg(min).arg(max));
            return fallback;
        }
        return n;
    }

    QString error_;
};

QJsonValue money(qint64 v)
{
    return QString::number(v);
}

QJsonValue hexValue(const QByteArray &b)
{
    return QString::fromLatin1(b.toHex());
}

double u32json(quint32 v)
{
    return double(v);
}

// ---------------------------------------------------------------------------------------------
// Writing

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
    o[QStringLiteral("texts")] = QJsonArray::fromStringList(p.texts);
    return o;
}

QJsonObject paramsToJson(const QMap<quint16, QByteArray> &params)
{
    QJsonObject o;
    for (auto it = params.cbegin(); it != params.cend(); ++it)
        o[QString::number(it.key())] = hexValue(it.value());
    return o;
}

// ---------------------------------------------------------------------------------------------
// Reading

OperationGroup groupFromJson(Check &c, const QJsonValue &v, const QString &path)
{
    OperationGroup g;
    const QJsonObject o = c.object(v, path, true);
    g.count = qint32(c.integer(o[QStringLiteral("count")], key(path, "count"), 0, Int32Max));
    g.sum = c.wide(o[QStringLiteral("sum")], key(path, "sum"), 0, Int64Max);
    g.cashSum = c.wide(o[QStringLiteral("cash")], key(path, "cash"), 0, Int64Max);
    g.cashlessSum = c.wide(o[QStringLiteral("cashless")], key(path, "cashless"), 0, Int64Max);
    const QJsonArray other = c.array(o[QStringLiteral("other")], key(path, "other"), 3);
    for (int i = 0; i < other.size(); ++i)
        g.otherSums[i] = c.wide(other.at(i), index(key(path, "other"), i), 0, Int64Max);
    const QJsonArray tax = c.array(o[QStringLiteral("taxes")], key(path, "taxes"), TaxCount);
    for (int i = 0; i < tax.size(); ++i)
        g.taxSums[i] = c.wide(tax.at(i), index(key(path, "taxes"), i), 0, Int64Max);
    return g;
}

CounterSet countersFromJson(Check &c, const QJsonValue &v, const QString &path)
{
    CounterSet s;
    const QJsonObject o = c.object(v, path, true);
    s.shifts = qint32(c.integer(o[QStringLiteral("shifts")], key(path, "shifts"), 0, MaxShortCount));
    s.cashInCount = qint32(c.integer(o[QStringLiteral("cashInCount")], key(path, "cashInCount"), 0, MaxShortCount));
    s.cashOutCount = qint32(c.integer(o[QStringLiteral("cashOutCount")], key(path, "cashOutCount"), 0, MaxShortCount));
    s.cashInSum = c.wide(o[QStringLiteral("cashInSum")], key(path, "cashInSum"), 0, Int64Max);
    s.cashOutSum = c.wide(o[QStringLiteral("cashOutSum")], key(path, "cashOutSum"), 0, Int64Max);
    s.receiptCount = qint32(c.integer(o[QStringLiteral("receipts")], key(path, "receipts"), 0, Int32Max));
    const QJsonArray ops = c.array(o[QStringLiteral("operations")], key(path, "operations"), 4, true);
    for (int i = 0; i < ops.size(); ++i)
        s.ops[i] = groupFromJson(c, ops.at(i), index(key(path, "operations"), i));
    return s;
}

void paramsFromJson(Check &c, const QJsonValue &v, const QString &path, QMap<quint16, QByteArray> &params)
{
    params.clear();
    const QJsonObject o = c.object(v, path);
    for (auto it = o.begin(); it != o.end(); ++it) {
        bool good = false;
        const uint tag = it.key().toUInt(&good);
        const QString at = path + QLatin1Char('.') + it.key();
        if (!good || tag == 0 || tag > 0xFFFF) {
            c.fail(at, QStringLiteral("not a tag number (1 to 65535)"));
            return;
        }
        params[quint16(tag)] = c.hex(it.value(), at, -1, Tlv::MaxValueSize);
    }
}

bool isPowerOfTen(qint64 v, int maxExponent)
{
    qint64 p = 1;
    for (int i = 0; i <= maxExponent; ++i, p *= 10)
        if (v == p)
            return true;
    return false;
}

ArchiveDoc archiveDocFrom(Check &c, const QJsonValue &v, const QString &path)
{
    ArchiveDoc a;
    const QJsonObject d = c.object(v, path, true);
    a.number = qint32(c.integer(d[QStringLiteral("number")], key(path, "number"), 1, Int32Max));
    a.type = quint8(c.integer(d[QStringLiteral("type")], key(path, "type"), DocRegistration, DocArchiveClose));
    a.time = quint32(c.integer(d[QStringLiteral("time")], key(path, "time"), 0, UInt32Max));
    a.sign = quint32(c.integer(d[QStringLiteral("sign")], key(path, "sign"), 0, UInt32Max));
    a.shift = qint32(c.integer(d[QStringLiteral("shift")], key(path, "shift"), 0, MaxShortCount));
    a.receiptType = quint8(c.integer(d[QStringLiteral("receiptType")], key(path, "receiptType"), 0, 3));
    a.total = c.wide(d[QStringLiteral("total")], key(path, "total"), 0, MaxSum);
    a.cash = c.wide(d[QStringLiteral("cash")], key(path, "cash"), 0, MaxSum);
    a.card = c.wide(d[QStringLiteral("card")], key(path, "card"), 0, MaxSum);
    a.lines = c.lines(d[QStringLiteral("lines")], key(path, "lines"));
    return a;
}

} // namespace

namespace {

// The text of a JSON string whose opening quote is at text[i]; i ends on its closing quote.
QString jsonString(const QByteArray &text, int &i)
{
    QByteArray utf8;
    QString out;
    for (++i; i < text.size() && text.at(i) != '"'; ++i) {
        if (text.at(i) != '\\') {
            utf8 += text.at(i);
            continue;
        }
        out += QString::fromUtf8(utf8);
        utf8.clear();
        const char e = i + 1 < text.size() ? text.at(++i) : '\0';
        if (e == 'u' && i + 4 < text.size()) {
            out += QChar(ushort(text.mid(i + 1, 4).toUShort(nullptr, 16)));
            i += 4;
        } else {
            static const char from[] = "bfnrt", to[] = "\b\f\n\r\t";
            const char *at = std::strchr(from, e);
            out += QLatin1Char(at && e ? to[at - from] : e);
        }
    }
    return out + QString::fromUtf8(utf8);
}

// The first key that an object of a well-formed JSON text holds twice. Qt keeps one of the two
// silently, so a file edited by hand could say one thing to a reader and another to the register.
bool repeatedKey(const QByteArray &text, QString *key, int *offset)
{
    struct Level
    {
        bool object;
        bool expectKey;
        QSet<QString> keys;
    };
    std::vector<Level> stack;
    for (int i = 0; i < text.size(); ++i) {
        switch (text.at(i)) {
        case '{':
        case '[':
            stack.push_back({text.at(i) == '{', text.at(i) == '{', {}});
            break;
        case '}':
        case ']':
            if (!stack.empty())
                stack.pop_back();
            break;
        case ',':
            if (!stack.empty() && stack.back().object)
                stack.back().expectKey = true;
            break;
        case '"': {
            const int at = i;
            const QString s = jsonString(text, i);
            if (stack.empty() || !stack.back().object || !stack.back().expectKey)
                break;
            stack.back().expectKey = false;
            if (stack.back().keys.contains(s)) {
                *key = s;
                *offset = at;
                return true;
            }
            stack.back().keys.insert(s);
            break;
        }
        default:
            break;
        }
    }
    return false;
}

} // namespace

namespace fm {

bool parseJsonObject(const QByteArray &text, QJsonObject &object, QString *error)
{
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &pe);
    QString key;
    int at = 0;
    if (doc.isNull())
        *error = QStringLiteral("not JSON: %1 at byte %2").arg(pe.errorString()).arg(pe.offset);
    else if (!doc.isObject())
        *error = QStringLiteral("not a JSON object");
    else if (repeatedKey(text, &key, &at))
        *error = QStringLiteral("the key \"%1\" given twice (at byte %2)").arg(key).arg(at);
    else {
        object = doc.object();
        return true;
    }
    return false;
}

QJsonObject archiveDocToJson(const ArchiveDoc &a)
{
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
    d[QStringLiteral("lines")] = QJsonArray::fromStringList(a.lines);
    return d;
}

bool archiveDocFromJson(const QJsonValue &v, const QString &path, ArchiveDoc &a, QString *error)
{
    Check c;
    a = archiveDocFrom(c, v, path);
    if (!c.ok() && error)
        *error = c.error();
    return c.ok();
}

} // namespace fm

QJsonObject FiscalModel::State::toJson(bool withArchive) const
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
    od[QStringLiteral("lines")] = QJsonArray::fromStringList(doc.lines);
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
        ss << hexValue(s);
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

    if (withArchive) {
        QJsonArray arch;
        Archive::Damage damage;
        ArchiveDoc a;
        for (qint64 pos = 0; pos < archive.end() && archive.read(pos, a, damage) == Archive::Found;)
            arch << archiveDocToJson(a);
        o[QStringLiteral("archive")] = arch;
    }
    return o;
}

bool FiscalModel::State::fromJson(const QJsonObject &o, QString *error, const Archive *journal)
{
    Check c;
    State s(nullptr);
    s.reset();
    const auto done = [&]() {
        if (error)
            *error = c.error();
        return false;
    };

    const int format = journal ? JournalFormat : StateFormat;
    if (!o[QStringLiteral("format")].isDouble() || o[QStringLiteral("format")].toDouble() != format) {
        c.fail(QStringLiteral("format"), QStringLiteral("not a register state file of format %1").arg(format));
        return done();
    }

    const QJsonObject model = c.object(o[QStringLiteral("model")], QStringLiteral("model"));
    s.modelCode =
        quint16(c.integer(model[QStringLiteral("code")], QStringLiteral("model.code"), 0, 0xFFFF, s.modelCode));
    s.modelName = c.string(model[QStringLiteral("name")], QStringLiteral("model.name"), 32, s.modelName);
    if (model.contains(QStringLiteral("firmware"))) {
        const QString text = c.string(model[QStringLiteral("firmware")], QStringLiteral("model.firmware"));
        const QStringList fw = text.split(QLatin1Char('.'));
        bool good = fw.size() == 3;
        for (int i = 0; good && i < 3; ++i) {
            const uint part = fw.at(i).toUInt(&good);
            good = good && part <= 255;
            s.firmware[i] = quint8(part);
        }
        if (!good)
            c.fail(QStringLiteral("model.firmware"), QStringLiteral("not three numbers 0 to 255 like 2.4.17"));
    }

    s.factoryNumber = c.string(o[QStringLiteral("factoryNumber")], QStringLiteral("factoryNumber"));
    if (!s.factoryNumber.isEmpty() && !validFactoryNumber(s.factoryNumber))
        c.fail(QStringLiteral("factoryNumber"), QStringLiteral("not empty nor ten digits other than all zeros"));
    s.clockOffset =
        c.integer(o[QStringLiteral("clockOffset")], QStringLiteral("clockOffset"), -MaxClockOffset, MaxClockOffset);
    s.sdCard = c.boolean(o[QStringLiteral("sdCard")], QStringLiteral("sdCard"), true);
    s.activated = c.boolean(o[QStringLiteral("activated")], QStringLiteral("activated"), false);
    s.activationCount = int(c.integer(o[QStringLiteral("activationCount")], QStringLiteral("activationCount"), 0, 127));
    s.activationLimit = int(
        c.integer(o[QStringLiteral("activationLimit")], QStringLiteral("activationLimit"), 0, 127, s.activationLimit));
    s.archiveClosed = c.boolean(o[QStringLiteral("archiveClosed")], QStringLiteral("archiveClosed"), false);
    s.docsLeft = qint32(c.integer(o[QStringLiteral("docsLeft")], QStringLiteral("docsLeft"), 0, Int32Max, s.docsLeft));
    paramsFromJson(c, o[QStringLiteral("registration")], QStringLiteral("registration"), s.regParams);

    const QJsonObject sh = c.object(o[QStringLiteral("shift")], QStringLiteral("shift"), true);
    s.shift.open = c.boolean(sh[QStringLiteral("open")], QStringLiteral("shift.open"), false);
    s.shift.number = qint32(c.integer(sh[QStringLiteral("number")], QStringLiteral("shift.number"), 0, MaxShortCount));
    s.shift.openTime =
        quint32(c.integer(sh[QStringLiteral("openTime")], QStringLiteral("shift.openTime"), 0, UInt32Max));
    s.shift.closeTime =
        quint32(c.integer(sh[QStringLiteral("closeTime")], QStringLiteral("shift.closeTime"), 0, UInt32Max));
    s.shift.receipts =
        qint32(c.integer(sh[QStringLiteral("receipts")], QStringLiteral("shift.receipts"), 0, MaxShortCount));
    s.shift.firstDoc = qint32(c.integer(sh[QStringLiteral("firstDoc")], QStringLiteral("shift.firstDoc"), 0, Int32Max));
    s.shift.lastDoc = qint32(c.integer(sh[QStringLiteral("lastDoc")], QStringLiteral("shift.lastDoc"), 0, Int32Max));

    const QJsonObject last = c.object(o[QStringLiteral("lastDocument")], QStringLiteral("lastDocument"));
    s.lastDocNumber =
        qint32(c.integer(last[QStringLiteral("number")], QStringLiteral("lastDocument.number"), 0, Int32Max));
    s.lastDocTime = quint32(c.integer(last[QStringLiteral("time")], QStringLiteral("lastDocument.time"), 0, UInt32Max));
    s.lastReceiptNumber =
        qint32(c.integer(last[QStringLiteral("receipt")], QStringLiteral("lastDocument.receipt"), 0, MaxShortCount));

    if (s.shift.open && s.shift.number < 1)
        c.fail(QStringLiteral("shift.number"), QStringLiteral("0 for an open shift"));
    if (s.shift.number > 0 && (s.shift.firstDoc < 1 || s.shift.firstDoc > s.lastDocNumber))
        c.fail(QStringLiteral("shift.firstDoc"),
               QStringLiteral("%1 is not a document of the register (1 to lastDocument.number %2)")
                   .arg(s.shift.firstDoc)
                   .arg(s.lastDocNumber));
    if (s.shift.lastDoc > s.lastDocNumber || (s.shift.lastDoc > 0 && s.shift.lastDoc < s.shift.firstDoc))
        c.fail(QStringLiteral("shift.lastDoc"),
               QStringLiteral("%1 is not between shift.firstDoc and lastDocument.number").arg(s.shift.lastDoc));

    // The open document: every index it holds is used as an array index at its completion.
    const QString odPath = QStringLiteral("openDocument");
    const QJsonObject od = c.object(o[QStringLiteral("openDocument")], odPath);
    s.doc.type = quint8(c.integer(od[QStringLiteral("type")], key(odPath, "type"), DocNone, DocArchiveClose));
    s.doc.receiptType = quint8(c.integer(od[QStringLiteral("receiptType")], key(odPath, "receiptType"), 0, 3));
    s.doc.cashier = int(c.integer(od[QStringLiteral("cashier")], key(odPath, "cashier"), 0, CashierCount));
    s.doc.cashierName = c.string(od[QStringLiteral("cashierName")], key(odPath, "cashierName"), MaxNameBytes);
    const QJsonArray positions = c.array(od[QStringLiteral("positions")], key(odPath, "positions"));
    if (!positions.isEmpty() && s.doc.type != DocReceipt)
        c.fail(key(odPath, "positions"), QStringLiteral("positions in a document that is not a receipt"));
    qint64 total = 0;
    for (int i = 0; i < positions.size() && c.ok(); ++i) {
        const QString at = index(key(odPath, "positions"), i);
        const QJsonObject po = c.object(positions.at(i), at, true);
        Position p;
        p.name = c.string(po[QStringLiteral("name")], key(at, "name"));
        p.section = quint8(c.integer(po[QStringLiteral("section")], key(at, "section"), 1, SectionCount));
        p.tax = quint8(c.integer(po[QStringLiteral("tax")], key(at, "tax"), 1, TaxCount));
        if (c.ok() && !s.tax(p.tax - 1).isValid())
            c.fail(key(at, "tax"), QStringLiteral("tax %1 is not registered").arg(p.tax));
        p.price = c.wide(po[QStringLiteral("price")], key(at, "price"), 0, MaxSum);
        p.quantityDivisor =
            quint32(c.integer(po[QStringLiteral("quantityDivisor")], key(at, "quantityDivisor"), 1, 1000000, 1));
        if (!isPowerOfTen(p.quantityDivisor, 6))
            c.fail(key(at, "quantityDivisor"), QStringLiteral("not 1, 10, 100 ... 1000000"));
        p.quantityRaw = c.wide(po[QStringLiteral("quantity")], key(at, "quantity"), 1, 1000000LL * p.quantityDivisor);
        p.discount = c.wide(po[QStringLiteral("discount")], key(at, "discount"), 0, MaxSum);
        p.sum = c.wide(po[QStringLiteral("sum")], key(at, "sum"), 0, MaxSum);
        p.texts = c.lines(po[QStringLiteral("texts")], key(at, "texts"));
        total += p.sum;
        s.doc.positions << p;
    }
    s.doc.total = c.wide(od[QStringLiteral("total")], key(odPath, "total"), 0, MaxSum);
    if (c.ok() && s.doc.total != total)
        c.fail(key(odPath, "total"),
               QStringLiteral("%1 is not the sum of the positions (%2)").arg(s.doc.total).arg(total));
    s.doc.operations = int(c.integer(od[QStringLiteral("operations")], key(odPath, "operations"), 0, Int32Max));
    s.doc.lines = c.lines(od[QStringLiteral("lines")], key(odPath, "lines"));
    paramsFromJson(c, od[QStringLiteral("params")], key(odPath, "params"), s.doc.params);

    // The drawer can hold no more than a cash-in lets in, and never less than nothing.
    s.cash = c.wide(o[QStringLiteral("cash")], QStringLiteral("cash"), 0, MaxSum);

    const QJsonObject counters = c.object(o[QStringLiteral("counters")], QStringLiteral("counters"), true);
    s.shiftCounters = countersFromJson(c, counters[QStringLiteral("shift")], QStringLiteral("counters.shift"));
    s.fiscalCounters = countersFromJson(c, counters[QStringLiteral("fiscal")], QStringLiteral("counters.fiscal"));
    s.grossCounters = countersFromJson(c, counters[QStringLiteral("gross")], QStringLiteral("counters.gross"));
    const QJsonArray secs = c.array(counters[QStringLiteral("sections")], QStringLiteral("counters.sections"), 4);
    for (int k = 0; k < secs.size(); ++k) {
        const QString at = index(QStringLiteral("counters.sections"), k);
        const QJsonArray l = c.array(secs.at(k), at, SectionCount, true);
        for (int i = 0; i < l.size(); ++i)
            s.sectionSums[k][i] = c.wide(l.at(i), index(at, i), 0, Int64Max);
    }

    const QJsonArray cs = c.array(o[QStringLiteral("cashiers")], QStringLiteral("cashiers"), CashierCount, true);
    bool anyoneManagesCashiers = false;
    for (int i = 0; i < cs.size(); ++i) {
        const QString at = index(QStringLiteral("cashiers"), i);
        const QJsonObject co = c.object(cs.at(i), at, true);
        c.integer(co[QStringLiteral("number")], key(at, "number"), i + 1, i + 1, i + 1);
        s.cashiers[i].rights = quint16(c.integer(co[QStringLiteral("rights")], key(at, "rights"), 0, 0xFFFF));
        s.cashiers[i].password = qint32(c.integer(co[QStringLiteral("password")], key(at, "password"),
                                                  std::numeric_limits<qint32>::min(), Int32Max));
        s.cashiers[i].name = c.string(co[QStringLiteral("name")], key(at, "name"), MaxNameBytes);
        anyoneManagesCashiers = anyoneManagesCashiers || (s.cashiers[i].rights & RightCashiers);
    }
    if (c.ok() && !anyoneManagesCashiers)
        c.fail(QStringLiteral("cashiers"), QStringLiteral("nobody has the right 0x0100 to manage the cashiers"));
    const QJsonArray ss = c.array(o[QStringLiteral("sections")], QStringLiteral("sections"), SectionCount);
    for (int i = 0; i < ss.size(); ++i)
        s.sections[i] = c.hex(ss.at(i), index(QStringLiteral("sections"), i), SectionEntrySize);
    const QJsonArray ds = c.array(o[QStringLiteral("discounts")], QStringLiteral("discounts"), DiscountCount);
    for (int i = 0; i < ds.size(); ++i) {
        const QString at = index(QStringLiteral("discounts"), i);
        const QJsonObject d = c.object(ds.at(i), at, true);
        Discount &disc = s.discounts[i];
        disc.kind = qint8(c.integer(d[QStringLiteral("kind")], key(at, "kind"), 0, 2, 2));
        disc.value = c.wide(d[QStringLiteral("value")], key(at, "value"), 0, disc.kind == 1 ? 10000 : MaxSum);
        disc.name = toCp866(c.string(d[QStringLiteral("name")], key(at, "name"), MaxNameBytes));
    }

    const QJsonObject settings = c.object(o[QStringLiteral("settings")], QStringLiteral("settings"));
    s.paperWidthMm =
        int(c.integer(settings[QStringLiteral("paperWidth")], QStringLiteral("settings.paperWidth"), 60, 80, 80));
    if (s.paperWidthMm != 60 && s.paperWidthMm != 80)
        c.fail(QStringLiteral("settings.paperWidth"), QStringLiteral("%1 is not 60 or 80").arg(s.paperWidthMm));
    s.rounding = int(c.integer(settings[QStringLiteral("rounding")], QStringLiteral("settings.rounding"), 0, 1));

    // What a command would have left together: the open receipt as its positions add up, and the
    // registration as the activation left it.
    const auto mustHold = [&c](bool holds, const QString &path, const QString &what) {
        if (c.ok() && !holds)
            c.fail(path, what);
    };
    for (int i = 0; i < s.doc.positions.size() && c.ok(); ++i) {
        const Position &p = s.doc.positions.at(i);
        const QString at = index(key(odPath, "positions"), i);
        const qint64 gross = s.roundDiv(__int128(p.price) * p.quantityRaw, qint64(p.quantityDivisor));
        mustHold(p.discount <= gross, key(at, "discount"),
                 QStringLiteral("%1 is more than price x quantity (%2)").arg(p.discount).arg(gross));
        mustHold(
            p.sum == gross - p.discount, key(at, "sum"),
            QStringLiteral("%1 is not price x quantity less the discount (%2)").arg(p.sum).arg(gross - p.discount));
    }
    mustHold(
        s.doc.operations == (s.doc.type == DocReceipt ? s.doc.positions.size() : 0), key(odPath, "operations"),
        QStringLiteral("%1 is not the number of positions (%2)").arg(s.doc.operations).arg(s.doc.positions.size()));
    mustHold(s.activationCount <= s.activationLimit, QStringLiteral("activationCount"),
             QStringLiteral("%1 is above activationLimit %2").arg(s.activationCount).arg(s.activationLimit));
    mustHold(s.activated == (s.activationCount > 0), QStringLiteral("activated"),
             QStringLiteral("%1 with activationCount %2")
                 .arg(s.activated ? QStringLiteral("true") : QStringLiteral("false"))
                 .arg(s.activationCount));
    bool anyTax = false;
    for (int i = 0; i < TaxCount; ++i)
        anyTax = anyTax || s.tax(i).isValid();
    for (const quint16 tag : {quint16(11018), quint16(11037), quint16(11012), quint16(11041)})
        mustHold(!s.activated || s.regParams.contains(tag), QStringLiteral("registration"),
                 QStringLiteral("the register is activated, but tag %1 of its registration is missing").arg(tag));
    mustHold(!s.activated || anyTax, QStringLiteral("registration"),
             QStringLiteral("the register is activated, but no tax of its registration holds"));
    mustHold(s.activated || s.regParams.isEmpty(), QStringLiteral("registration"),
             QStringLiteral("a registration on a register never activated"));
    mustHold(s.activated || !s.archiveClosed, QStringLiteral("archiveClosed"),
             QStringLiteral("true on a register never activated"));
    mustHold(s.activated || !s.shift.open, QStringLiteral("shift.open"),
             QStringLiteral("true on a register never activated"));
    mustHold(s.activated || s.doc.type == DocNone || s.doc.type == DocRegistration, key(odPath, "type"),
             QStringLiteral("%1 on a register never activated").arg(s.doc.type));

    if (journal) {
        s.archive = *journal;
    } else {
        // Readers find documents by their numbers, times and shifts, so all three must rise.
        const QJsonArray arch = c.array(o[QStringLiteral("archive")], QStringLiteral("archive"), -1, true);
        ArchiveDoc previous;
        for (int i = 0; i < arch.size() && c.ok(); ++i) {
            const QString at = index(QStringLiteral("archive"), i);
            const ArchiveDoc a = archiveDocFrom(c, arch.at(i), at);
            if (c.ok() && i > 0 && a.number <= previous.number)
                c.fail(at + QStringLiteral(".number"),
                       QStringLiteral("%1 does not follow %2").arg(a.number).arg(previous.number));
            if (c.ok() && i > 0 && a.time < previous.time)
                c.fail(at + QStringLiteral(".time"), QStringLiteral("%1 is before the document before it").arg(a.time));
            if (c.ok() && i > 0 && a.shift < previous.shift)
                c.fail(at + QStringLiteral(".shift"),
                       QStringLiteral("%1 is below the document before it").arg(a.shift));
            s.archive.append(a);
            previous = a;
        }
    }
    // The newest document is the last one the register reports, and no more documents than numbers.
    if (c.ok() && !s.archive.isEmpty() && s.archive.lastNumber() != s.lastDocNumber)
        c.fail(QStringLiteral("lastDocument.number"), QStringLiteral("%1, but the archive ends with document %2")
                                                          .arg(s.lastDocNumber)
                                                          .arg(s.archive.lastNumber()));
    if (c.ok() && s.archive.size() > s.lastDocNumber)
        c.fail(QStringLiteral("lastDocument.number"),
               QStringLiteral("%1, but the archive holds %2 documents").arg(s.lastDocNumber).arg(s.archive.size()));

    if (!c.ok())
        return done();

    // Keep what belongs to this run, not to the register.
    s.hostClock = hostClock;
    s.printerFault = printerFault;
    s.conditions = conditions;
    s.tapePaperOut = tapePaperOut;
    s.tapePageLimit = tapePageLimit;
    s.revision = revision + 1;
    s.executed = executed;
    s.printer = printer;
    *this = std::move(s);
    return true;
}
