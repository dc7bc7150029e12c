#include <QtTest>

#include <QTextCodec>

#include "catalogentries.h"

namespace {

QByteArray cp866(const QString &text)
{
    return QTextCodec::codecForName("IBM866")->fromUnicode(text);
}

QByteArray zeros(int n)
{
    return QByteArray(n, '\0');
}

} // namespace

class TestCatalogEntries : public QObject
{
    Q_OBJECT
private slots:
    void cashierBytes();
    void cashierNameArea_data();
    void cashierNameArea();
    void cashierFromBytes_data();
    void cashierFromBytes();
    void cashierRights();
    void sectionName_data();
    void sectionName();
    void sectionFromBytes_data();
    void sectionFromBytes();
    void discountBytes_data();
    void discountBytes();
    void discountFromBytes();
};

void TestCatalogEntries::cashierBytes()
{
    CashierEntry c;
    c.setNumber(3);
    c.setRight(CashierEntry::Receipts | CashierEntry::Reports, true);
    c.setPassword(0x0A0B0C0D);
    c.setName(QStringLiteral("Ян"));
    const QByteArray expected = QByteArray::fromHex("03"
                                                    "0300"
                                                    "0d0c0b0a") +
                                cp866(QStringLiteral("Ян")) + zeros(254);
    QCOMPARE(c.toBytes().size(), CashierEntry::Size);
    QCOMPARE(c.toBytes().toHex(), expected.toHex());

    CashierEntry back;
    back.fromBytes(expected);
    QCOMPARE(back.number(), qint8(3));
    QCOMPARE(back.rights(), quint16(0x0003));
    QCOMPARE(back.password(), qint32(0x0A0B0C0D));
    QCOMPARE(back.name(), QStringLiteral("Ян"));
}

void TestCatalogEntries::cashierNameArea_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("stored");
    QTest::newRow("255 fills the area but its last byte") << 255 << 255;
    QTest::newRow("300 is cut, the entry stays 263 bytes") << 300 << 255;
    QTest::newRow("empty") << 0 << 0;
}

void TestCatalogEntries::cashierNameArea()
{
    QFETCH(int, length);
    QFETCH(int, stored);
    CashierEntry c;
    c.setName(QString(length, QChar(0x0416))); // Ж
    const QByteArray bytes = c.toBytes();
    QCOMPARE(bytes.size(), 263);
    QCOMPARE(bytes.mid(7, stored), QByteArray(stored, char(0x86)));
    QCOMPARE(bytes.mid(7 + stored), zeros(256 - stored));
    CashierEntry back;
    back.fromBytes(bytes);
    QCOMPARE(back.name(), QString(stored, QChar(0x0416)));
}

void TestCatalogEntries::cashierFromBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("rights");
    QTest::addColumn<int>("password");
    QTest::addColumn<QString>("name");
    QTest::newRow("nothing") << QByteArray() << 0 << 0 << 0 << QString();
    QTest::newRow("cut inside the rights") << QByteArray::fromHex("0521") << 5 << 0 << 0 << QString();
    QTest::newRow("negative number and password") << QByteArray::fromHex("ff"
                                                                         "ffff"
                                                                         "feffffff")
                                                  << -1 << 0xFFFF << -2 << QString();
    QTest::newRow("zero bytes inside, blanks around the name") << QByteArray::fromHex("01"
                                                                                      "0100"
                                                                                      "00000000"
                                                                                      "2020"
                                                                                      "8f"
                                                                                      "00"
                                                                                      "85"
                                                                                      "00"
                                                                                      "92"
                                                                                      "8f"
                                                                                      "2020"
                                                                                      "0000")
                                                               << 1 << 1 << 0 << QStringLiteral("ПЕТП");
}

void TestCatalogEntries::cashierFromBytes()
{
    QFETCH(QByteArray, bytes);
    CashierEntry c;
    c.fromBytes(bytes);
    QTEST(int(c.number()), "number");
    QTEST(int(c.rights()), "rights");
    QTEST(int(c.password()), "password");
    QTEST(c.name(), "name");
}

void TestCatalogEntries::cashierRights()
{
    CashierEntry c;
    c.setRights(0x8241); // bits without a check box: 6, 9 and 15
    QVERIFY(c.hasRight(CashierEntry::Receipts));
    QVERIFY(!c.hasRight(CashierEntry::Receipts | CashierEntry::Reports)); // all bits of the mask
    c.setRight(CashierEntry::Receipts | CashierEntry::Cashiers, true);
    QCOMPARE(c.rights(), quint16(0x8341));
    c.setRight(CashierEntry::Receipts | CashierEntry::Cashiers, false);
    QCOMPARE(c.rights(), quint16(0x8240));
    QCOMPARE(c.toBytes().mid(1, 2), QByteArray::fromHex("4082"));
}

void TestCatalogEntries::sectionName_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("stored"); // -1: the old name stays
    QTest::newRow("126") << 126 << 126;
    QTest::newRow("127 fills the area without a zero") << 127 << 127;
    QTest::newRow("128 does not fit") << 128 << -1;
    QTest::newRow("empty") << 0 << 0;
}

void TestCatalogEntries::sectionName()
{
    QFETCH(int, length);
    QFETCH(int, stored);
    SectionEntry s;
    QCOMPARE(s.toBytes(), zeros(128));
    s.setNumber(7);
    s.setName(QStringLiteral("ХЛЕБ И ВЫПЕЧКА"));
    const QString name(length, QLatin1Char('z'));
    s.setName(name);
    QCOMPARE(s.toBytes().size(), 128);
    QCOMPARE(s.number(), quint8(7));
    if (stored < 0) {
        QCOMPARE(s.name(), QStringLiteral("ХЛЕБ И ВЫПЕЧКА"));
        return;
    }
    // A shorter name clears what a longer one left behind.
    QCOMPARE(s.toBytes().mid(1), QByteArray(stored, 'z') + zeros(127 - stored));
    QCOMPARE(s.name(), name);
}

void TestCatalogEntries::sectionFromBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("taken");
    QTest::addColumn<QString>("name");
    const QByteArray block = char(4) + cp866(QStringLiteral("МОЛОКО")) + zeros(1) + "old" + zeros(117);
    QTest::newRow("128, name up to the first zero") << block << true << QStringLiteral("МОЛОКО");
    QTest::newRow("127") << block.left(127) << false << QString();
    QTest::newRow("129") << block + zeros(1) << false << QString();
}

void TestCatalogEntries::sectionFromBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, taken);
    SectionEntry s;
    QCOMPARE(s.fromBytes(bytes), taken);
    QCOMPARE(s.toBytes(), taken ? bytes : zeros(128));
    QTEST(s.name(), "name");
    // Bytes after the name go back as they came.
    QCOMPARE(s.toBytes(), taken ? bytes : zeros(128));
}

void TestCatalogEntries::discountBytes_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<qint64>("raw");
    QTest::addColumn<int>("nameLength");
    QTest::addColumn<QByteArray>("header");
    QTest::newRow("percent 12.50") << 1 << qint64(1250) << 10 << QByteArray::fromHex("0201e204000000000000");
    QTest::newRow("amount 100.00") << 0 << qint64(10000) << 127 << QByteArray::fromHex("0200102700000000000000");
    QTest::newRow("long name is not cut") << 0 << qint64(1) << 130 << QByteArray::fromHex("02000100000000000000");
}

void TestCatalogEntries::discountBytes()
{
    QFETCH(int, kind);
    QFETCH(qint64, raw);
    QFETCH(int, nameLength);
    QFETCH(QByteArray, header);
    DiscountEntry d;
    QCOMPARE(d.kind(), qint8(DiscountEntry::Undefined));
    d.setNumber(2);
    d.setKind(qint8(kind));
    d.setValue(raw);
    d.setName(QString(nameLength, QLatin1Char('n')));
    const QByteArray bytes = d.toBytes();
    QCOMPARE(bytes.left(10).toHex(), header.left(10).toHex());
    QCOMPARE(bytes.size(), 10 + qMax(128, nameLength));
    QCOMPARE(bytes.mid(10, nameLength), QByteArray(nameLength, 'n'));
    QCOMPARE(bytes.mid(10 + nameLength), zeros(qMax(0, 128 - nameLength)));
}

void TestCatalogEntries::discountFromBytes()
{
    // The kind comes from the register, so an entry shows its own kind; the name keeps its blanks.
    DiscountEntry d;
    d.fromBytes(QByteArray::fromHex("05"
                                    "01"
                                    "8813000000000000") +
                " 5%" + zeros(3) + "!" + zeros(10));
    QCOMPARE(d.number(), qint8(5));
    QCOMPARE(d.kind(), qint8(1));
    QCOMPARE(d.value(), qint64(5000));
    QCOMPARE(d.name(), QStringLiteral(" 5%!"));

    DiscountEntry shortOne;
    shortOne.fromBytes(QByteArray::fromHex("0300"));
    QCOMPARE(shortOne.kind(), qint8(0));
    QCOMPARE(shortOne.value(), qint64(0));
    QCOMPARE(shortOne.name(), QString());
}

QTEST_GUILESS_MAIN(TestCatalogEntries)
#include "tst_catalogentries.moc"
