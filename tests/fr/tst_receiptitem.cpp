#include <QtTest>

#include "frrecords.h"
#include "receiptitem.h"

Q_DECLARE_METATYPE(ReceiptItem)

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

// An item with nothing but what always goes out: section 2, tax 1, price 0, quantity 1.
ReceiptItem bareItem()
{
    ReceiptItem item;
    item.section = 2;
    item.tax = 1;
    item.price = FixNumber(100);
    item.quantity = FixNumber(100000, qint64(100000));
    return item;
}

const char *const BareSection = "252c010002";
const char *const BareTax = "bf2b010001";
const char *const ZeroPrice = "472b010000";
const char *const OneQuantity = "0f2b040005a08601";

QByteArray framed(const QByteArray &members)
{
    QByteArray out = hex("332b");
    out.append(char(members.size() & 0xFF));
    out.append(char(members.size() >> 8));
    return out + members;
}

} // namespace

class TestReceiptItem : public QObject
{
    Q_OBJECT
private slots:
    void itemBytes_data();
    void itemBytes();
    void itemTextCutTo256();
    void receiptText_data();
    void receiptText();
    void taxBytes_data();
    void taxBytes();
    void taxIndexOutOfRange();
};

void TestReceiptItem::itemBytes_data()
{
    QTest::addColumn<ReceiptItem>("item");
    QTest::addColumn<QByteArray>("members");

    const QByteArray fixed = hex(BareSection) + hex(BareTax);
    QTest::newRow("empty texts, zero price as single byte 00")
        << bareItem() << fixed + hex(ZeroPrice) + hex(OneQuantity);

    ReceiptItem byNumber = bareItem();
    byNumber.discountNumber = 5;
    QTest::newRow("discount number without sum")
        << byNumber << fixed + hex(ZeroPrice) + hex("272c010005") + hex(OneQuantity);

    ReceiptItem bySum = byNumber;
    bySum.discountSum = FixNumber(100, qint64(200));
    QTest::newRow("discount sum wins over number")
        << bySum << fixed + hex(ZeroPrice) + hex("282c0100c8") + hex(OneQuantity);

    ReceiptItem full = bareItem();
    full.code = QStringLiteral("123");
    full.barcode = QStringLiteral("77");
    full.name = QStringLiteral("КАССА");
    full.unit = QStringLiteral("шт.");
    full.price = FixNumber(100, qint64(12345));
    full.quantity = FixNumber(100000, qint64(250000));
    full.textParam = QStringLiteral("ok");
    QTest::newRow("every member in order")
        << full
        << hex("9b2b0300313233") + hex("e02e02003737") + hex("162b05008a80919180") + hex("4c2f0300e8e22e") + fixed +
               hex("472b02003930") + hex("0f2b04000590d003") + hex("152b02006f6b");
}

void TestReceiptItem::itemBytes()
{
    QFETCH(ReceiptItem, item);
    QFETCH(QByteArray, members);
    const Tlv tlv = item.toTlv();
    QCOMPARE(tlv.tag(), quint16(11059));
    QCOMPARE(tlv.rawData().toHex(' '), framed(members).toHex(' '));
}

void TestReceiptItem::itemTextCutTo256()
{
    ReceiptItem item = bareItem();
    item.textParam = QString(300, QLatin1Char('x'));
    const QList<Tlv> members = item.toTlv().toList();
    QVERIFY(!members.isEmpty());
    QCOMPARE(members.last().tag(), quint16(11029));
    QCOMPARE(members.last().value(), QByteArray(256, 'x'));
}

void TestReceiptItem::receiptText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("raw");
    QTest::newRow("cyrillic") << QStringLiteral("КАССА") << hex("582f05008a80919180");
    QTest::newRow("empty") << QString() << hex("582f0000");
    QTest::newRow("300 characters cut to 256") << QString(300, QChar(0x0416)) // Ж
                                               << hex("582f0001") + QByteArray(256, char(0x86));
}

void TestReceiptItem::receiptText()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, raw);
    QCOMPARE(receiptTextTlv(text).rawData().toHex(' '), raw.toHex(' '));
}

void TestReceiptItem::taxBytes_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("rate");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("raw");

    // Н Д С = 8d 84 91 in CP866.
    QTest::newRow("18.00 % as 08 07") << 0 << 1 << 1800 << QStringLiteral("НДС 18%")
                                      << hex("31331600 2e33010001 2f3302000807 303307008d8491203138 25");
    QTest::newRow("third tax, type 2, zero rate, empty name")
        << 2 << 2 << 0 << QString() << hex("33330f00 2e33010002 2f3302000000 30330000");
    const QString thirty(30, QChar(0x0416));
    QTest::newRow("name of 30 bytes sent whole")
        << 4 << 0 << 0 << thirty << hex("35332d00 2e33010000 2f3302000000 30331e00") + QByteArray(30, char(0x86));
    QTest::newRow("name of 31 bytes sent empty")
        << 1 << 1 << 1000 << thirty + QLatin1Char('x') << hex("32330f00 2e33010001 2f330200e803 30330000");
}

void TestReceiptItem::taxBytes()
{
    QFETCH(int, index);
    QFETCH(int, type);
    QFETCH(int, rate);
    QFETCH(QString, name);
    QFETCH(QByteArray, raw);

    TaxEntry entry;
    entry.setType(quint8(type));
    entry.setRate(quint16(rate));
    entry.setName(name);
    QVERIFY(entry.isValid());
    QCOMPARE(entry.toTlv(index).rawData().toHex(' '), raw.toHex(' '));
}

void TestReceiptItem::taxIndexOutOfRange()
{
    TaxEntry entry;
    entry.setType(1);
    QVERIFY(entry.toTlv(5).rawData().isEmpty());
}

QTEST_GUILESS_MAIN(TestReceiptItem)
#include "tst_receiptitem.moc"
