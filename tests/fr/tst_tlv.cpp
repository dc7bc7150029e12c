#include <QtTest>

#include "tlv.h"

Q_DECLARE_METATYPE(Tlv)

namespace {
QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

void quietHandler(QtMsgType, const QMessageLogContext &, const QString &)
{}
} // namespace

class TestTlv : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void encode_data();
    void encode();
    void setRawData_data();
    void setRawData();
    void integers_data();
    void integers();
    void textAndNumbers();
    void dateTime_data();
    void dateTime();
    void nested_data();
    void nested();
    void mapLaterWins();
    void streamOut();
    void streamIn_data();
    void streamIn();
};

void TestTlv::initTestCase()
{
    // Length mismatches and the six-byte tag log a hex dump each; nothing to read here.
    qInstallMessageHandler(quietHandler);
}

void TestTlv::encode_data()
{
    QTest::addColumn<Tlv>("tlv");
    QTest::addColumn<QByteArray>("encoded");

    QTest::newRow("text КАССА") << Tlv(1021, QStringLiteral("КАССА")) << hex("fd0305008a80919180");
    QTest::newRow("u64 0") << Tlv(1, quint64(0)) << hex("0100010000");
    QTest::newRow("u64 256") << Tlv(1, quint64(256)) << hex("010002000001");
    QTest::newRow("u64 inner zeros kept") << Tlv(1, quint64(0x01000001))
                                          << hex("01000400"
                                                 "01000001");
    QTest::newRow("u64 top byte") << Tlv(1, quint64(0x0100000000000000ULL)) << hex("010008000000000000000001");
    QTest::newRow("u8") << Tlv(1055, quint8(0xFE)) << hex("1f040100fe");
    QTest::newRow("from signed 8") << Tlv(1055, qint8(-1)) << hex("1f040100ff");
    QTest::newRow("u16") << Tlv(2, quint16(0x1234)) << hex("020002003412");
    QTest::newRow("u32") << Tlv(3, quint32(0x12345678)) << hex("0300040078563412");
    QTest::newRow("fix 12.50") << Tlv(1079, FixNumber(100, qint64(1250))) << hex("3704030002e204");
    QTest::newRow("fix 0.00") << Tlv(1079, FixNumber(100, qint64(0))) << hex("370402000200");
    QTest::newRow("date-time") << Tlv(1012, QDateTime(QDate(2024, 6, 14), QTime(12, 0), Qt::LocalTime))
                               << hex("f4030400c0306c66");
    QTest::newRow("date") << Tlv(1012, QDate(2024, 6, 14)) << hex("f403040000886b66");
    QTest::newRow("empty text") << Tlv(1048, QString()) << hex("18040000");
    QTest::newRow("nested, invalid member dropped")
        << Tlv(1059, QList<Tlv>{Tlv(1030, QStringLiteral("A")), Tlv(0, quint8(1)), Tlv(1023, quint8(2))})
        << hex("23040a000604010041ff03010002");
    QTest::newRow("tag 0") << Tlv(0, quint8(1)) << QByteArray();
    QTest::newRow("65535-byte value") << Tlv(7, QByteArray(65535, 'x')) << QByteArray();
    QTest::newRow("65534-byte value") << Tlv(7, QByteArray(65534, 'x')) << hex("0700feff") + QByteArray(65534, 'x');
}

void TestTlv::encode()
{
    QFETCH(Tlv, tlv);
    QFETCH(QByteArray, encoded);

    QCOMPARE(tlv.rawData(), encoded);
    QCOMPARE(tlvListToBytes({tlv, Tlv(), tlv}), encoded + encoded);
    if (!encoded.isEmpty()) {
        QVERIFY(tlv.isValid());
        QCOMPARE(tlv.encodedSize(), encoded.size());
        Tlv back;
        QVERIFY(back.setRawData(encoded));
        QCOMPARE(back, tlv);
    } else {
        QVERIFY(!tlv.isValid());
    }
}

void TestTlv::setRawData_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("tag");
    QTest::addColumn<QByteArray>("value");

    QTest::newRow("empty value") << hex("fd030000") << true << 1021 << QByteArray();
    QTest::newRow("missing value byte") << hex("fd030100") << false << 0 << QByteArray();
    QTest::newRow("one value byte") << hex("fd03010007") << true << 1021 << hex("07");
    QTest::newRow("trailing byte") << hex("fd0301000708") << false << 0 << QByteArray();
    QTest::newRow("three bytes") << hex("fd0300") << false << 0 << QByteArray();
    QTest::newRow("nothing") << QByteArray() << false << 0 << QByteArray();
    QTest::newRow("length read unsigned")
        << hex("01000080") + QByteArray(0x8000, 'v') << true << 1 << QByteArray(0x8000, 'v');
}

void TestTlv::setRawData()
{
    QFETCH(QByteArray, raw);
    QFETCH(bool, ok);
    QFETCH(int, tag);
    QFETCH(QByteArray, value);

    Tlv t(99, quint32(5)); // stale content must not survive
    QCOMPARE(t.setRawData(raw), ok);
    QCOMPARE(int(t.tag()), tag);
    QCOMPARE(t.value(), value);
}

void TestTlv::integers_data()
{
    QTest::addColumn<int>("tag");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("type");
    QTest::addColumn<qulonglong>("expected");
    QTest::addColumn<bool>("ok");

    QTest::newRow("u8") << 1 << hex("fe") << "u8" << 0xFEULL << true;
    QTest::newRow("u8 of 2 bytes") << 1 << hex("0102") << "u8" << 0ULL << false;
    QTest::newRow("u8 of nothing") << 1 << QByteArray() << "u8" << 0ULL << false;
    QTest::newRow("u16") << 1 << hex("3412") << "u16" << 0x1234ULL << true;
    QTest::newRow("u16 of 1 byte") << 1 << hex("05") << "u16" << 0ULL << false;
    QTest::newRow("u32") << 1 << hex("78563412") << "u32" << 0x12345678ULL << true;
    QTest::newRow("u32 of 3 bytes") << 1 << hex("785634") << "u32" << 0ULL << false;
    QTest::newRow("u32 of 6 bytes, tag 11077") << 11077 << hex("000001020000") << "u32" << 513ULL << true;
    QTest::newRow("u32 of 6 bytes, other tag") << 11076 << hex("000001020000") << "u32" << 0ULL << false;
    QTest::newRow("u32 of 5 bytes, tag 11077") << 11077 << hex("0000010200") << "u32" << 0ULL << false;
    QTest::newRow("u64 of 1 byte") << 1 << hex("05") << "u64" << 5ULL << true;
    QTest::newRow("u64 of nothing") << 1 << QByteArray() << "u64" << 0ULL << true;
    QTest::newRow("u64 full") << 1 << hex("0102030405060708") << "u64" << 0x0807060504030201ULL << true;
    QTest::newRow("u64 of 9 bytes") << 1 << hex("010000000000000099") << "u64" << 1ULL << true;
    QTest::newRow("bool 1") << 1 << hex("01") << "bool" << 1ULL << true;
    QTest::newRow("bool 2") << 1 << hex("02") << "bool" << 0ULL << true;
    QTest::newRow("bool of 2 bytes") << 1 << hex("0100") << "bool" << 0ULL << false;
}

void TestTlv::integers()
{
    QFETCH(int, tag);
    QFETCH(QByteArray, value);
    QFETCH(QString, type);
    QFETCH(qulonglong, expected);
    QFETCH(bool, ok);

    const Tlv t(quint16(tag), value);
    bool good = !ok;
    qulonglong got = 0;
    if (type == "u8")
        got = t.toUInt8(&good);
    else if (type == "u16")
        got = t.toUInt16(&good);
    else if (type == "u32")
        got = t.toUInt32(&good);
    else if (type == "u64")
        got = t.toUInt64(&good);
    else
        got = t.toBool(&good) ? 1 : 0;
    QCOMPARE(got, expected);
    QCOMPARE(good, ok);
}

void TestTlv::textAndNumbers()
{
    const QString text = QStringLiteral("Иванов И.И. №5");
    Tlv t(1021, text);
    QCOMPARE(t.toString(), text);
    QCOMPARE(Tlv(1021, QByteArray()).toString(), QString());

    // Shorter than nine bytes reads as if padded with zeros.
    bool ok = false;
    FixNumber n = Tlv(1079, hex("02e204")).toFixNumber(&ok);
    QVERIFY(ok);
    QCOMPARE(n.divisor(), 100u);
    QCOMPARE(n.raw(), qint64(1250));
    n = Tlv(1079, hex("03")).toFixNumber(&ok);
    QVERIFY(ok);
    QCOMPARE(n.divisor(), 1000u);
    QCOMPARE(n.raw(), qint64(0));

    t.setUInt16(7);
    QCOMPARE(t.tag(), quint16(1021));
    QCOMPARE(t.valueLength(), 2);
    t.clear();
    QVERIFY(!t.isValid());
    QCOMPARE(t.valueLength(), 0);
}

void TestTlv::dateTime_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QDateTime>("dateTime");

    QTest::newRow("noon") << hex("c0306c66") << true << QDateTime(QDate(2024, 6, 14), QTime(12, 0), Qt::LocalTime);
    QTest::newRow("epoch") << hex("00000000") << true << QDateTime(QDate(1970, 1, 1), QTime(0, 0), Qt::LocalTime);
    QTest::newRow("3 bytes") << hex("c0316c") << false << QDateTime();
    QTest::newRow("nothing") << QByteArray() << false << QDateTime();
}

void TestTlv::dateTime()
{
    QFETCH(QByteArray, value);
    QFETCH(bool, ok);
    QFETCH(QDateTime, dateTime);

    const Tlv t(1012, value);
    bool good = !ok;
    const QDateTime dt = t.toDateTime(&good);
    QCOMPARE(good, ok);
    QCOMPARE(dt.isValid(), ok);
    if (ok) {
        // Wall-clock value kept, labelled local: compare fields, not instants.
        QCOMPARE(dt.timeSpec(), Qt::LocalTime);
        QCOMPARE(dt.date(), dateTime.date());
        QCOMPARE(dt.time(), dateTime.time());
    }
    good = !ok;
    const QDate d = t.toDate(&good);
    QCOMPARE(good, ok);
    QCOMPARE(d, ok ? dateTime.date() : QDate());
}

void TestTlv::nested_data()
{
    QTest::addColumn<Tlv>("outer");
    QTest::addColumn<QList<Tlv>>("list");

    const Tlv a(1030, QStringLiteral("Товар"));
    const Tlv b(1079, FixNumber(100, qint64(1250)));
    QTest::newRow("two records in order") << Tlv(1059, QList<Tlv>{a, b}) << QList<Tlv>{a, b};
    QTest::newRow("empty value records") << Tlv(1059, hex("0100000002000000"))
                                         << QList<Tlv>{Tlv(1, QByteArray()), Tlv(2, QByteArray())};
    QTest::newRow("second has tag 0") << Tlv(1059, a.rawData() + hex("00000100ff")) << QList<Tlv>();
    QTest::newRow("second cut short") << Tlv(1059, a.rawData() + hex("0100050001")) << QList<Tlv>();
    QTest::newRow("trailing odd byte") << Tlv(1059, a.rawData() + hex("01")) << QList<Tlv>();
    QTest::newRow("empty value") << Tlv(1059, QByteArray()) << QList<Tlv>();
    QTest::newRow("outer tag 0") << Tlv(0, a.rawData()) << QList<Tlv>();
}

void TestTlv::nested()
{
    QFETCH(Tlv, outer);
    QFETCH(QList<Tlv>, list);

    bool ok = list.isEmpty();
    QCOMPARE(outer.toList(&ok), list);
    QCOMPARE(ok, !list.isEmpty());

    ok = list.isEmpty();
    const QMap<quint16, Tlv> map = outer.toMap(&ok);
    QCOMPARE(ok, !list.isEmpty());
    QCOMPARE(map.size(), list.size());
    for (const Tlv &t : list)
        QCOMPARE(map.value(t.tag()), t);
}

void TestTlv::mapLaterWins()
{
    const Tlv outer(1059, QList<Tlv>{Tlv(1, quint8(1)), Tlv(2, quint8(2)), Tlv(1, quint8(3))});
    bool ok = false;
    const QMap<quint16, Tlv> map = outer.toMap(&ok);
    QVERIFY(ok);
    QCOMPARE(map.size(), 2);
    QCOMPARE(map.value(1).toUInt8(), quint8(3));
    QCOMPARE(map.value(2).toUInt8(), quint8(2));
}

void TestTlv::streamOut()
{
    QByteArray bytes;
    QDataStream ds(&bytes, QIODevice::WriteOnly);
    ds.setByteOrder(QDataStream::LittleEndian);
    ds << Tlv(1021, QStringLiteral("КАССА")) << Tlv() << Tlv(5, QByteArray(65535, 'x')) << Tlv(2, quint16(1));
    QCOMPARE(bytes, hex("fd0305008a80919180"
                        "020002000100"));
}

void TestTlv::streamIn_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("tag");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("streamOk");

    QTest::newRow("whole record") << hex("fd030200abcd") << 1021 << hex("abcd") << true;
    QTest::newRow("record then more") << hex("fd030100ab0100") << 1021 << hex("ab") << true;
    QTest::newRow("empty value") << hex("fd030000") << 1021 << QByteArray() << true;
    // Cut short anywhere: never a record that looks whole.
    QTest::newRow("ends after the header") << hex("fd030300") << 0 << QByteArray() << false;
    QTest::newRow("ends inside the value") << hex("fd030300abcd") << 0 << QByteArray() << false;
    QTest::newRow("ends inside the length") << hex("fd0303") << 0 << QByteArray() << false;
    QTest::newRow("ends inside the tag") << hex("fd") << 0 << QByteArray() << false;
    QTest::newRow("nothing") << QByteArray() << 0 << QByteArray() << false;
}

void TestTlv::streamIn()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, tag);
    QFETCH(QByteArray, value);
    QFETCH(bool, streamOk);

    QDataStream ds(bytes);
    ds.setByteOrder(QDataStream::LittleEndian);
    Tlv t(77, quint32(1));
    ds >> t;
    QCOMPARE(int(t.tag()), tag);
    QCOMPARE(t.value(), value);
    QCOMPARE(t.isValid(), tag != 0);
    QCOMPARE(ds.status() == QDataStream::Ok, streamOk);
}

QTEST_GUILESS_MAIN(TestTlv)
#include "tst_tlv.moc"
