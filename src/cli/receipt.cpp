// `receipt`: a whole receipt from the command line or a JSON file. Everything is checked before
// the first request, so that a receipt the register would refuse half way is refused whole
// here; what the register still refuses is cancelled, so no receipt is left open.
#include "cli.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>
#include <limits>
#include <utility>

#include "frwrapper.h"
#include "input.h"
#include "receiptitem.h"

namespace {

// Index = the receipt type the register expects.
const QStringList TypeNames{QStringLiteral("sale"), QStringLiteral("purchase"), QStringLiteral("sale-return"),
                            QStringLiteral("purchase-return")};
constexpr int Sale = 0;

// The ranges the receipt tab offers, and the catalogues' sizes.
constexpr int Sections = 20;
constexpr int Taxes = RegData::TaxCount;
constexpr int DiscountNumbers = 8;
constexpr qint64 MaxPrice = 1000000000LL * 100;    // kopecks
constexpr qint64 MaxDiscount = 100000000LL * 100;  // kopecks
constexpr int QuantityDecimals = 5;                // the divisor 100000 of ReceiptItem::quantity
constexpr qint64 MaxQuantity = 1000000LL * 100000; // raw, five decimals
constexpr qint64 ReceiptFileMax = 1024 * 1024;

struct Receipt
{
    int type = Sale;
    QString cashier;
    QVector<ReceiptItem> items;
    QStringList texts;
    bool paymentsGiven = false;
    qint64 cash = 0;
    qint64 card = 0;
};

// A refusal of what was asked for: the exit status (64 for the command line, 65 for a file) and
// the reason, said once.
class Refusal
{
public:
    // `source` names the file whose contents are refused.
    Refusal(int code, const QString &source) : code_(code), source_(source) {}
    bool operator()(const QString &why)
    {
        if (why_.isEmpty())
            why_ = source_.isEmpty() ? why : source_ + QStringLiteral(": ") + why;
        return false;
    }
    int report() const
    {
        if (code_ == CliExit::Usage)
            return Cli::usage(why_);
        Cli::note(why_);
        return code_;
    }

private:
    int code_;
    QString source_;
    QString why_;
};

QString kopecksText(qint64 kopecks)
{
    return frtext::plainMoney(kopecks);
}

// A JSON amount: a string as on the command line ("45.50"), or a number that has no more
// decimals than the amount may have (45.5, not 45.555).
bool jsonDecimal(const QJsonValue &v, int decimals, bool zero, qint64 *raw)
{
    QString text;
    if (v.isString()) {
        text = v.toString();
    } else if (v.isDouble() && std::isfinite(v.toDouble())) {
        text = QString::number(v.toDouble(), 'f', decimals);
        if (text.toDouble() != v.toDouble())
            return false;
    } else {
        return false;
    }
    if (decimals == 2)
        return cliparse::sum(text, raw, zero);
    return cliparse::decimal(text, decimals, raw);
}

bool jsonInteger(const QJsonValue &v, qint64 min, qint64 max, qint64 *n)
{
    if (v.isString())
        return cliparse::integer(v.toString(), min, max, n);
    const double d = v.toDouble(std::nan(""));
    if (!v.isDouble() || d != std::floor(d) || d < double(min) || d > double(max))
        return false;
    *n = qint64(d);
    return true;
}

bool onlyKeys(const QJsonObject &o, const QStringList &keys, const QString &where, Refusal &refuse)
{
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (!keys.contains(it.key()))
            return refuse(QStringLiteral("%1: неизвестное поле \"%2\" (есть: %3)")
                              .arg(where, it.key(), keys.join(QStringLiteral(", "))));
    }
    return true;
}

bool text(const QString &value, int maxBytes, const QString &what, Refusal &refuse)
{
    const QString refusal = cliparse::cp866Refusal(value, maxBytes);
    return refusal.isEmpty() || refuse(what + QStringLiteral(": ") + refusal);
}

// --item 'NAME;PRICE[;QUANTITY[;SECTION[;TAX]]]'
bool itemFromOption(const QString &typed, const QString &where, ReceiptItem *item, Refusal &refuse)
{
    const QStringList f = typed.split(QLatin1Char(';'));
    if (f.size() < 2 || f.size() > 5)
        return refuse(
            QStringLiteral("%1: нужно 'НАИМЕНОВАНИЕ;ЦЕНА[;КОЛИЧЕСТВО[;ОТДЕЛ[;НАЛОГ]]]': %2").arg(where, typed));
    item->name = f.at(0).trimmed();
    qint64 price = 0, quantity = 100000, section = 1, tax = 1;
    if (!cliparse::sum(f.at(1).trimmed(), &price, true))
        return refuse(QStringLiteral("%1: неверная цена: %2").arg(where, f.at(1)));
    if (f.size() > 2 && !cliparse::decimal(f.at(2).trimmed(), QuantityDecimals, &quantity))
        return refuse(QStringLiteral("%1: неверное количество: %2").arg(where, f.at(2)));
    if (f.size() > 3 && !cliparse::integer(f.at(3).trimmed(), 1, Sections, &section))
        return refuse(QStringLiteral("%1: неверный отдел: %2 (1-%3)").arg(where, f.at(3)).arg(Sections));
    if (f.size() > 4 && !cliparse::integer(f.at(4).trimmed(), 1, Taxes, &tax))
        return refuse(QStringLiteral("%1: неверный налог: %2 (1-%3)").arg(where, f.at(4)).arg(Taxes));
    item->price = FixNumber(100, price);
    item->quantity = FixNumber(100000, quantity);
    item->section = quint8(section);
    item->tax = quint8(tax);
    return true;
}

bool itemFromJson(const QJsonValue &value, const QString &where, ReceiptItem *item, Refusal &refuse)
{
    const QJsonObject o = value.toObject();
    if (!value.isObject())
        return refuse(where + QStringLiteral(": не объект"));
    static const QStringList keys{"name",    "price", "quantity", "section",        "tax", "code",
                                  "barcode", "unit",  "discount", "discountNumber", "text"};
    if (!onlyKeys(o, keys, where, refuse))
        return false;
    const auto string = [&](const char *key, QString *out) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (!v.isUndefined() && !v.isString())
            return refuse(QStringLiteral("%1: \"%2\" не строка").arg(where, QLatin1String(key)));
        *out = v.toString();
        return true;
    };
    qint64 price = 0, quantity = 100000, section = 1, tax = 1, discount = 0, discountNumber = 0;
    if (!string("name", &item->name) || !string("code", &item->code) || !string("barcode", &item->barcode) ||
        !string("unit", &item->unit) || !string("text", &item->textParam))
        return false;
    if (!o.contains(QLatin1String("price")) || !jsonDecimal(o.value(QLatin1String("price")), 2, true, &price))
        return refuse(where + QStringLiteral(": нет цены или неверная цена (\"price\": \"45.50\")"));
    if (o.contains(QLatin1String("quantity")) &&
        !jsonDecimal(o.value(QLatin1String("quantity")), QuantityDecimals, false, &quantity))
        return refuse(where + QStringLiteral(": неверное количество (больше 0, до пяти знаков после точки)"));
    if (o.contains(QLatin1String("section")) && !jsonInteger(o.value(QLatin1String("section")), 1, Sections, &section))
        return refuse(QStringLiteral("%1: неверный отдел (1-%2)").arg(where).arg(Sections));
    if (o.contains(QLatin1String("tax")) && !jsonInteger(o.value(QLatin1String("tax")), 1, Taxes, &tax))
        return refuse(QStringLiteral("%1: неверный налог (1-%2)").arg(where).arg(Taxes));
    if (o.contains(QLatin1String("discount")) && !jsonDecimal(o.value(QLatin1String("discount")), 2, true, &discount))
        return refuse(where + QStringLiteral(": неверная скидка (\"discount\": \"5.00\")"));
    if (o.contains(QLatin1String("discountNumber")) &&
        !jsonInteger(o.value(QLatin1String("discountNumber")), 1, DiscountNumbers, &discountNumber))
        return refuse(QStringLiteral("%1: неверный номер скидки (1-%2)").arg(where).arg(DiscountNumbers));
    // The register takes a discount either as a sum or from its catalogue, never both.
    if (o.contains(QLatin1String("discount")) && o.contains(QLatin1String("discountNumber")))
        return refuse(where + QStringLiteral(": \"discount\" и \"discountNumber\" вместе"));
    item->price = FixNumber(100, price);
    item->quantity = FixNumber(100000, quantity);
    item->section = quint8(section);
    item->tax = quint8(tax);
    item->discountSum = FixNumber(100, discount);
    item->discountNumber = quint8(discountNumber);
    return true;
}

bool fromJson(const QByteArray &bytes, Receipt *r, Refusal &refuse)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (doc.isNull())
        return refuse(QStringLiteral("не JSON: %1 (байт %2)").arg(error.errorString()).arg(error.offset));
    if (!doc.isObject())
        return refuse(QStringLiteral("чек должен быть объектом JSON"));
    const QJsonObject o = doc.object();
    if (!onlyKeys(o, {"type", "cashier", "items", "texts", "payments"}, QStringLiteral("чек"), refuse))
        return false;
    if (o.contains(QLatin1String("type"))) {
        r->type = TypeNames.indexOf(o.value(QLatin1String("type")).toString());
        if (r->type < 0)
            return refuse(
                QStringLiteral("неизвестный тип чека (\"type\": %1)").arg(TypeNames.join(QStringLiteral(", "))));
    }
    const QJsonValue cashier = o.value(QLatin1String("cashier"));
    if (!cashier.isUndefined() && !cashier.isString())
        return refuse(QStringLiteral("\"cashier\" не строка"));
    r->cashier = cashier.toString();
    const QJsonArray items = o.value(QLatin1String("items")).toArray();
    for (int i = 0; i < items.size(); ++i) {
        ReceiptItem item;
        if (!itemFromJson(items.at(i), QStringLiteral("позиция %1").arg(i + 1), &item, refuse))
            return false;
        r->items << item;
    }
    for (const QJsonValue &t : o.value(QLatin1String("texts")).toArray()) {
        if (!t.isString())
            return refuse(QStringLiteral("\"texts\": не строка"));
        r->texts << t.toString();
    }
    if ((o.contains(QLatin1String("texts")) && !o.value(QLatin1String("texts")).isArray()) ||
        (o.contains(QLatin1String("items")) && !o.value(QLatin1String("items")).isArray()))
        return refuse(QStringLiteral("\"items\" и \"texts\" должны быть массивами"));
    if (o.contains(QLatin1String("payments"))) {
        const QJsonObject p = o.value(QLatin1String("payments")).toObject();
        if (!onlyKeys(p, {"cash", "card"}, QStringLiteral("\"payments\""), refuse))
            return false;
        if ((p.contains(QLatin1String("cash")) && !jsonDecimal(p.value(QLatin1String("cash")), 2, true, &r->cash)) ||
            (p.contains(QLatin1String("card")) && !jsonDecimal(p.value(QLatin1String("card")), 2, true, &r->card)))
            return refuse(QStringLiteral("\"payments\": неверная сумма (\"cash\": \"100.00\")"));
        r->paymentsGiven = true;
    }
    return true;
}

bool fromOptions(const Cli &cli, Receipt *r, Refusal &refuse)
{
    const QStringList typed = cli.every(QStringLiteral("--item"));
    for (int i = 0; i < typed.size(); ++i) {
        ReceiptItem item;
        if (!itemFromOption(typed.at(i), QStringLiteral("позиция %1").arg(i + 1), &item, refuse))
            return false;
        r->items << item;
    }
    r->texts = cli.every(QStringLiteral("--text"));
    return true;
}

// The options that stand beside a file too: they win over what the file says.
int commonOptions(const Cli &cli, Receipt *r)
{
    if (cli.has(QStringLiteral("--type"))) {
        r->type = TypeNames.indexOf(cli.value(QStringLiteral("--type")));
        if (r->type < 0)
            return Cli::usage(QStringLiteral("неизвестный тип чека: %1 (%2)")
                                  .arg(cli.value(QStringLiteral("--type")), TypeNames.join(QStringLiteral(", "))));
    }
    if (cli.has(QStringLiteral("--name")))
        r->cashier = cli.value(QStringLiteral("--name"));
    const std::pair<QString, qint64 *> payments[] = {{QStringLiteral("--cash"), &r->cash},
                                                     {QStringLiteral("--card"), &r->card}};
    for (const auto &payment : payments) {
        if (!cli.has(payment.first))
            continue;
        if (!cliparse::sum(cli.value(payment.first), payment.second, true))
            return Cli::usage(QStringLiteral("неверная сумма %1: %2").arg(payment.first, cli.value(payment.first)));
        r->paymentsGiven = true;
    }
    return CliExit::Success;
}

// Everything the register would judge that can be judged here: lengths and characters of the
// texts, ranges, the discount against its position, and the payments against the total.
bool check(Receipt &r, Refusal &refuse)
{
    if (r.items.isEmpty())
        return refuse(QStringLiteral("в чеке нет позиций: --item 'НАИМЕНОВАНИЕ;ЦЕНА' или файл с \"items\""));
    if (!r.cashier.isEmpty() && !text(r.cashier, FsFieldWidths::Name, QStringLiteral("имя кассира"), refuse))
        return false;
    // Whole kopecks of each position lie between the floor and the ceiling of price x quantity;
    // which one the register takes is its rounding setting.
    __int128 low = 0, high = 0;
    for (int i = 0; i < r.items.size(); ++i) {
        const ReceiptItem &it = r.items.at(i);
        const QString where = QStringLiteral("позиция %1").arg(i + 1);
        if (it.name.trimmed().isEmpty())
            return refuse(where + QStringLiteral(": нет наименования"));
        if (!text(it.name, ReceiptLimits::Name, where + QStringLiteral(": наименование"), refuse) ||
            !text(it.code, ReceiptLimits::Code, where + QStringLiteral(": код"), refuse) ||
            !text(it.barcode, ReceiptLimits::Code, where + QStringLiteral(": штрихкод"), refuse) ||
            !text(it.unit, ReceiptLimits::Code, where + QStringLiteral(": единица"), refuse) ||
            !text(it.textParam, ReceiptTextMaxLength, where + QStringLiteral(": реквизит"), refuse))
            return false;
        if (it.price.raw() > MaxPrice)
            return refuse(QStringLiteral("%1: цена больше %2").arg(where, kopecksText(MaxPrice)));
        if (it.quantity.raw() > MaxQuantity)
            return refuse(QStringLiteral("%1: количество больше %2").arg(where).arg(MaxQuantity / 100000));
        const __int128 product = __int128(it.price.raw()) * it.quantity.raw();
        const qint64 floor = qint64(product / 100000);
        const qint64 ceil = qint64((product + 99999) / 100000);
        const qint64 discount = it.discountSum.raw();
        if (discount > MaxDiscount)
            return refuse(QStringLiteral("%1: скидка больше %2").arg(where, kopecksText(MaxDiscount)));
        if (discount > ceil)
            return refuse(QStringLiteral("%1: скидка %2 больше стоимости позиции %3")
                              .arg(where, kopecksText(discount), kopecksText(ceil)));
        // A discount from the register's catalogue is known to the register only: the position
        // may then cost anything down to nothing.
        low += it.discountNumber != 0 ? 0 : qMax<qint64>(0, floor - discount);
        high += ceil - discount;
    }
    for (int i = 0; i < r.texts.size(); ++i) {
        if (!text(r.texts.at(i), ReceiptTextMaxLength, QStringLiteral("реквизит чека %1").arg(i + 1), refuse))
            return false;
    }
    if (high > std::numeric_limits<qint64>::max() / 2)
        return refuse(QStringLiteral("итог чека слишком велик"));
    if (!r.paymentsGiven)
        return true;
    const qint64 paid = r.cash + r.card;
    const QString total =
        low == high ? kopecksText(qint64(low)) : QStringLiteral("не меньше %1").arg(kopecksText(qint64(low)));
    if (paid < low)
        return refuse(QStringLiteral("оплата %1 меньше итога чека (%2)").arg(kopecksText(paid), total));
    if (r.card > high)
        return refuse(QStringLiteral("оплата картой %1 больше итога чека (%2)").arg(kopecksText(r.card), total));
    if (r.type != Sale && paid > high)
        return refuse(QStringLiteral("оплата %1 больше итога чека (%2): сдача бывает только в чеке продажи")
                          .arg(kopecksText(paid), total));
    return true;
}

int sendReceipt(Cli &cli, Receipt &r)
{
    if (const int rc = cli.connect())
        return rc;
    if (const int rc = cashierName(cli, r.cashier))
        return rc;
    FsWrapper &fr = cli.fr();
    if (const int rc = fr.startReceipt(r.type, r.cashier))
        return Cli::failed(rc, QStringLiteral("открытие чека"));
    // From here on the receipt is open: a failure leaves it to the end of the command
    // (Cli::endCommand), which cancels it after the failed step has been told.
    for (int i = 0; i < r.items.size(); ++i) {
        if (const int rc = fr.sendDocData(r.items.at(i).toTlv().rawData()))
            return Cli::failed(rc, QStringLiteral("позиция %1").arg(i + 1));
    }
    for (int i = 0; i < r.texts.size(); ++i) {
        if (const int rc = fr.sendDocData(receiptTextTlv(r.texts.at(i)).rawData()))
            return Cli::failed(rc, QStringLiteral("реквизит чека %1").arg(i + 1));
    }
    FixNumber cash(100, r.cash);
    if (!r.paymentsGiven) {
        // The register's own total, rounded its own way, paid in cash.
        quint8 docType = 0;
        qint8 receiptType = 0;
        qint16 number = 0, operations = 0;
        if (const int rc = fr.getOpenDocData(docType, receiptType, number, operations, cash))
            return Cli::failed(rc, QStringLiteral("чтение итога чека"));
    }
    CliDocument d;
    qint16 receiptNumber = 0;
    FixNumber total(100), change(100);
    if (const int rc =
            fr.completeReceipt(cash, FixNumber(100, r.card), d.cycle, d.fd, d.fp, receiptNumber, d.dt, total, change))
        return Cli::failed(rc, QStringLiteral("закрытие чека"));
    const QString totalText = kopecksText(total.raw());
    const QString changeText = kopecksText(change.raw());
    return reportDocument(cli, d, QStringLiteral("Чек пробит"),
                          QJsonObject{{QStringLiteral("type"), TypeNames.at(r.type)},
                                      {QStringLiteral("receiptNumber"), int(quint16(receiptNumber))},
                                      {QStringLiteral("total"), totalText},
                                      {QStringLiteral("change"), changeText},
                                      {QStringLiteral("cash"), kopecksText(cash.raw())},
                                      {QStringLiteral("card"), kopecksText(r.card)}},
                          {QStringLiteral("ЧЕК В СМЕНЕ %1").arg(quint16(receiptNumber)),
                           QStringLiteral("ИТОГ ПО ЧЕКУ %1").arg(totalText),
                           QStringLiteral("СДАЧА %1").arg(changeText)});
}

} // namespace

int cmdReceipt(Cli &cli, const QStringList &args)
{
    if (args.size() > 1)
        return Cli::usage(QStringLiteral("лишние аргументы: %1").arg(args.mid(1).join(QLatin1Char(' '))));
    Receipt r;
    // A file's mistakes are data errors (65); the command line's are usage errors (64).
    const bool fromFile = !args.isEmpty();
    const QString source = fromFile ? cliinput::shownName(args.first()) : QString();
    Refusal refuse(fromFile ? CliExit::DataError : CliExit::Usage, source);
    if (fromFile) {
        if (cli.has(QStringLiteral("--item")) || cli.has(QStringLiteral("--text")))
            return Cli::usage(QStringLiteral("позиции и реквизиты либо в файле, либо в --item и --text"));
        QByteArray bytes;
        if (const int rc = cliinput::readAll(args.first(), cliinput::Accept::AnyStream, ReceiptFileMax, &bytes))
            return rc;
        if (!fromJson(bytes, &r, refuse))
            return refuse.report();
    } else if (!fromOptions(cli, &r, refuse)) {
        return refuse.report();
    }
    if (const int rc = commonOptions(cli, &r))
        return rc;
    if (!check(r, refuse))
        return refuse.report();
    return sendReceipt(cli, r);
}
