#include <QtTest>

#include <QLocale>

#include <limits>

#include "fixnumber.h"

Q_DECLARE_METATYPE(FixNumber)

class TestFixNumber : public QObject
{
    Q_OBJECT

private slots:
    void setValueDouble_data();
    void setValueDouble();
    void lenientText_data();
    void lenientText();
    void parse_data();
    void parse();
    void format_data();
    void format();
    void trimmed_data();
    void trimmed();
    void localeDecimalPoint();
    void converted_data();
    void converted();
    void decimals_data();
    void decimals();
    void compare_data();
    void compare();
    void arithmetic_data();
    void arithmetic();
    void bytes_data();
    void bytes();
    void fromShortBytes_data();
    void fromShortBytes();
};

void TestFixNumber::setValueDouble_data()
{
    QTest::addColumn<uint>("divisor");
    QTest::addColumn<double>("value");
    QTest::addColumn<qlonglong>("raw");

    QTest::newRow("1.005") << 100u << 1.005 << 100LL;
    QTest::newRow("1.015") << 100u << 1.015 << 102LL;
    QTest::newRow("1.025") << 100u << 1.025 << 102LL;
    QTest::newRow("1.2349") << 100u << 1.2349 << 124LL;
    QTest::newRow("1.2339") << 100u << 1.2339 << 123LL;
    QTest::newRow("0.1 + 0.2") << 100u << 0.1 + 0.2 << 30LL;
    QTest::newRow("zero") << 100u << 0.0 << 0LL;
    QTest::newRow("integer half even") << 1u << 2.5 << 2LL;
    QTest::newRow("integer half odd") << 1u << 3.5 << 4LL;
    QTest::newRow("quantity") << 1000u << 0.3335 << 334LL;
    QTest::newRow("large money") << 100u << 12345678.9 << 1234567890LL;
    QTest::newRow("negative mirrors positive") << 100u << -1.015 << -102LL;
}

void TestFixNumber::setValueDouble()
{
    QFETCH(uint, divisor);
    QFETCH(double, value);
    QFETCH(qlonglong, raw);

    FixNumber n(divisor, value);
    QCOMPARE(n.divisor(), quint32(divisor));
    QCOMPARE(n.raw(), qint64(raw));
}

void TestFixNumber::lenientText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qlonglong>("raw"); // the number starts at raw 777

    QTest::newRow("12") << "12" << 1200LL;
    QTest::newRow("12,") << "12," << 1200LL;
    QTest::newRow("12.") << "12." << 1200LL;
    QTest::newRow("12,5") << "12,5" << 1250LL;
    QTest::newRow("-0,5") << "-0,5" << -50LL;
    QTest::newRow("1.015") << "1.015" << 102LL;
    QTest::newRow(",5") << ",5" << 777LL;
    QTest::newRow("1 000") << "1 000" << 777LL;
    QTest::newRow("1.2.3") << "1.2.3" << 777LL;
    QTest::newRow("empty") << "" << 777LL;
    QTest::newRow("leading blank") << " 12" << 777LL;
    QTest::newRow("plus") << "+12" << 777LL;
    QTest::newRow("letters") << "12a" << 777LL;
    QTest::newRow("too large") << "99999999999999999999999" << 777LL;
}

void TestFixNumber::lenientText()
{
    QFETCH(QString, text);
    QFETCH(qlonglong, raw);

    FixNumber n(100, qint64(777));
    n.setValue(text);
    QCOMPARE(n.raw(), qint64(raw));
    QCOMPARE(n.divisor(), 100u);

    if (raw != 777) {
        QCOMPARE(FixNumber(100, text).raw(), qint64(raw));
    } else {
        QCOMPARE(FixNumber(100, text).raw(), qint64(0));
    }
}

void TestFixNumber::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<uint>("divisor");
    QTest::addColumn<qlonglong>("raw");

    QTest::newRow("empty") << "" << true << 1u << 0LL;
    QTest::newRow("blanks") << "   " << true << 1u << 0LL;
    QTest::newRow("integer") << "12" << true << 1u << 12LL;
    QTest::newRow("comma") << "12,50" << true << 100u << 1250LL;
    QTest::newRow("trimmed") << " 12.5 " << true << 10u << 125LL;
    QTest::newRow("blank around point") << "12 . 5" << true << 10u << 125LL;
    QTest::newRow("negative") << "-0.5" << true << 10u << -5LL;
    QTest::newRow("trailing point") << "12." << true << 1u << 12LL;
    QTest::newRow("leading point") << ".05" << true << 100u << 5LL;
    QTest::newRow("nine decimals") << "1.000000001" << true << 1000000000u << 1000000001LL;
    QTest::newRow("int64 max") << "9223372036854775807" << true << 1u << 9223372036854775807LL;
    QTest::newRow("int64 overflow") << "9223372036854775808" << false << 1u << 0LL;
    QTest::newRow("letters") << "1a" << false << 1u << 0LL;
    QTest::newRow("inner blank") << "1 000" << false << 1u << 0LL;
    // Neither can be expressed; the number keeps its previous value (divisor 100, raw 777).
    QTest::newRow("two points") << "1.2.3" << false << 100u << 777LL;
    QTest::newRow("ten decimals") << "0.1234567891" << false << 100u << 777LL;
}

void TestFixNumber::parse()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(uint, divisor);
    QFETCH(qlonglong, raw);

    FixNumber n(100, qint64(777));
    QCOMPARE(n.parse(text), ok);
    QCOMPARE(n.divisor(), quint32(divisor));
    QCOMPARE(n.raw(), qint64(raw));
}

void TestFixNumber::format_data()
{
    QTest::addColumn<uint>("divisor");
    QTest::addColumn<qlonglong>("raw");
    QTest::addColumn<QChar>("separator");
    QTest::addColumn<QString>("text");

    const QChar none;
    const QChar blank(' ');
    QTest::newRow("zero") << 100u << 0LL << none << "0.00";
    QTest::newRow("minus kopecks") << 100u << -5LL << none << "-0.05";
    QTest::newRow("groups") << 100u << 123456789LL << blank << "1 234 567.89";
    QTest::newRow("groups, no separator") << 100u << 123456789LL << none << "1234567.89";
    QTest::newRow("padded group") << 100u << 100000LL << blank << "1 000.00";
    QTest::newRow("below a thousand") << 100u << 99999LL << blank << "999.99";
    QTest::newRow("negative groups") << 1000u << -1002003004LL << QChar('\'') << "-1'002'003.004";
    QTest::newRow("divisor 1") << 1u << 1234567LL << blank << "1234567";
    QTest::newRow("divisor 0") << 0u << -42LL << blank << "-42";
    QTest::newRow("one decimal") << 10u << 7LL << none << "0.7";
    QTest::newRow("int64 min") << 100u << std::numeric_limits<qint64>::min() << none << "-92233720368547758.08";
}

void TestFixNumber::format()
{
    QFETCH(uint, divisor);
    QFETCH(qlonglong, raw);
    QFETCH(QChar, separator);
    QFETCH(QString, text);

    QCOMPARE(FixNumber(divisor, qint64(raw)).toString(QChar('.'), separator), text);
}

void TestFixNumber::trimmed_data()
{
    QTest::addColumn<uint>("divisor");
    QTest::addColumn<qlonglong>("raw");
    QTest::addColumn<QString>("text");

    QTest::newRow("12.00") << 100u << 1200LL << "12";
    QTest::newRow("0.00") << 100u << 0LL << "0";
    QTest::newRow("12.50") << 100u << 1250LL << "12.50";
    QTest::newRow("10.05") << 100u << 1005LL << "10.05";
    QTest::newRow("-5.000") << 1000u << -5000LL << "-5";
    QTest::newRow("divisor 1") << 1u << 1200LL << "1200";
    QTest::newRow("thousands") << 100u << 123400LL << "1234";
}

void TestFixNumber::trimmed()
{
    QFETCH(uint, divisor);
    QFETCH(qlonglong, raw);
    QFETCH(QString, text);

    QCOMPARE(FixNumber(divisor, qint64(raw)).toTrimmedString(QChar('.')), text);
}

void TestFixNumber::localeDecimalPoint()
{
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
    const QString ru = FixNumber(100, qint64(123456)).toString();
    QLocale::setDefault(QLocale::c());
    const QString c = FixNumber(100, qint64(123456)).toString();
    QLocale::setDefault(saved);
    QCOMPARE(ru, QStringLiteral("1234,56"));
    QCOMPARE(c, QStringLiteral("1234.56"));
}

void TestFixNumber::converted_data()
{
    QTest::addColumn<uint>("from");
    QTest::addColumn<qlonglong>("raw");
    QTest::addColumn<uint>("to");
    QTest::addColumn<qlonglong>("result");

    QTest::newRow("only first dropped digit") << 10000u << 12451LL << 100u << 124LL;
    QTest::newRow("half, even kept") << 10000u << 12450LL << 100u << 124LL;
    QTest::newRow("half, odd rounds up") << 10000u << 12550LL << 100u << 126LL;
    QTest::newRow("above half") << 10000u << 12460LL << 100u << 125LL;
    QTest::newRow("carry") << 1000u << 1995LL << 10u << 20LL;
    QTest::newRow("to integer") << 100u << 250LL << 1u << 2LL;
    QTest::newRow("larger divisor") << 100u << 125LL << 1000u << 1250LL;
    QTest::newRow("same divisor") << 100u << 125LL << 100u << 125LL;
    QTest::newRow("negative mirrors positive") << 10000u << -12550LL << 100u << -126LL;
}

void TestFixNumber::converted()
{
    QFETCH(uint, from);
    QFETCH(qlonglong, raw);
    QFETCH(uint, to);
    QFETCH(qlonglong, result);

    const FixNumber n = FixNumber(from, qint64(raw)).converted(to);
    QCOMPARE(n.divisor(), quint32(to));
    QCOMPARE(n.raw(), qint64(result));
}

void TestFixNumber::decimals_data()
{
    QTest::addColumn<uint>("divisor");
    QTest::addColumn<int>("setTo"); // -1: no change
    QTest::addColumn<int>("decimals");
    QTest::addColumn<uint>("newDivisor");

    QTest::newRow("divisor 0") << 0u << -1 << 0 << 0u;
    QTest::newRow("divisor 1") << 1u << -1 << 0 << 1u;
    QTest::newRow("divisor 100") << 100u << -1 << 2 << 100u;
    QTest::newRow("largest") << 1000000000u << -1 << 9 << 1000000000u;
    QTest::newRow("set 3, raw kept") << 100u << 3 << 3 << 1000u;
    QTest::newRow("set 0") << 100u << 0 << 0 << 1u;
    QTest::newRow("set 9") << 100u << 9 << 9 << 1000000000u;
    QTest::newRow("set 10 would overflow") << 100u << 10 << 2 << 100u;
}

void TestFixNumber::decimals()
{
    QFETCH(uint, divisor);
    QFETCH(int, setTo);
    QFETCH(int, decimals);
    QFETCH(uint, newDivisor);

    FixNumber n(divisor, qint64(1250));
    if (setTo >= 0)
        n.setDecimals(setTo);
    n.setDecimals(-1); // always ignored
    QCOMPARE(n.decimals(), decimals);
    QCOMPARE(n.divisor(), quint32(newDivisor));
    QCOMPARE(n.raw(), qint64(1250));
}

void TestFixNumber::compare_data()
{
    QTest::addColumn<FixNumber>("a");
    QTest::addColumn<FixNumber>("b");
    QTest::addColumn<int>("order"); // -1 a < b, 0 equal, 1 a > b

    QTest::newRow("1.5 vs 1.50") << FixNumber(10, qint64(15)) << FixNumber(100, qint64(150)) << 0;
    QTest::newRow("same") << FixNumber(100, qint64(1)) << FixNumber(100, qint64(1)) << 0;
    QTest::newRow("zeros") << FixNumber(1, qint64(0)) << FixNumber(1000, qint64(0)) << 0;
    QTest::newRow("1.49 vs 1.5") << FixNumber(100, qint64(149)) << FixNumber(10, qint64(15)) << -1;
    QTest::newRow("kopeck apart") << FixNumber(100, qint64(100000001)) << FixNumber(100, qint64(100000000)) << 1;
    QTest::newRow("negative") << FixNumber(100, qint64(-1)) << FixNumber(1, qint64(0)) << -1;
    QTest::newRow("huge, scaled") << FixNumber(1, qint64(9000000000000000000LL))
                                  << FixNumber(100, qint64(9000000000000000000LL)) << 1;
}

void TestFixNumber::compare()
{
    QFETCH(FixNumber, a);
    QFETCH(FixNumber, b);
    QFETCH(int, order);

    QCOMPARE(a == b, order == 0);
    QCOMPARE(a != b, order != 0);
    QCOMPARE(a < b, order < 0);
    QCOMPARE(a > b, order > 0);
    QCOMPARE(a <= b, order <= 0);
    QCOMPARE(a >= b, order >= 0);
}

void TestFixNumber::arithmetic_data()
{
    QTest::addColumn<FixNumber>("a");
    QTest::addColumn<FixNumber>("b");
    QTest::addColumn<uint>("divisor");
    QTest::addColumn<qlonglong>("sum");
    QTest::addColumn<qlonglong>("difference");

    QTest::newRow("1.5 and 0.25") << FixNumber(10, qint64(15)) << FixNumber(100, qint64(25)) << 100u << 175LL << 125LL;
    QTest::newRow("1 and 0.001") << FixNumber(1, qint64(1)) << FixNumber(1000, qint64(1)) << 1000u << 1001LL << 999LL;
    QTest::newRow("same divisor") << FixNumber(100, qint64(-50)) << FixNumber(100, qint64(70)) << 100u << 20LL
                                  << -120LL;
}

void TestFixNumber::arithmetic()
{
    QFETCH(FixNumber, a);
    QFETCH(FixNumber, b);
    QFETCH(uint, divisor);
    QFETCH(qlonglong, sum);
    QFETCH(qlonglong, difference);

    const FixNumber s = a + b;
    const FixNumber d = a - b;
    QCOMPARE(s.divisor(), quint32(divisor));
    QCOMPARE(s.raw(), qint64(sum));
    QCOMPARE(d.divisor(), quint32(divisor));
    QCOMPARE(d.raw(), qint64(difference));

    FixNumber acc = a;
    acc += b;
    QCOMPARE(acc.divisor(), quint32(divisor));
    QCOMPARE(acc.raw(), qint64(sum));
    acc = a;
    acc -= b;
    QCOMPARE(acc.raw(), qint64(difference));
}

void TestFixNumber::bytes_data()
{
    QTest::addColumn<FixNumber>("number");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("12.50") << FixNumber(100, qint64(1250)) << QByteArray::fromHex("02e204");
    QTest::newRow("zero") << FixNumber(100, qint64(0)) << QByteArray::fromHex("0200");
    QTest::newRow("256 thousandths") << FixNumber(1000, qint64(256)) << QByteArray::fromHex("030001");
    QTest::newRow("inner zero kept") << FixNumber(1, qint64(0x010000)) << QByteArray::fromHex("00000001");
    QTest::newRow("negative, all bytes") << FixNumber(100, qint64(-1)) << QByteArray::fromHex("02ffffffffffffffff");
    QTest::newRow("int64 max") << FixNumber(1, std::numeric_limits<qint64>::max())
                               << QByteArray::fromHex("00ffffffffffffff7f");
}

void TestFixNumber::bytes()
{
    QFETCH(FixNumber, number);
    QFETCH(QByteArray, bytes);

    QCOMPARE(number.toBytes(), bytes);
    const FixNumber back = FixNumber::fromBytes(bytes);
    QCOMPARE(back.divisor(), number.divisor());
    QCOMPARE(back.raw(), number.raw());
}

void TestFixNumber::fromShortBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<uint>("divisor");
    QTest::addColumn<qlonglong>("raw");

    QTest::newRow("empty") << QByteArray() << 1u << 0LL;
    QTest::newRow("decimals only") << QByteArray::fromHex("03") << 1000u << 0LL;
    QTest::newRow("longer than 9") << QByteArray::fromHex("0201000000000000000077") << 100u << 1LL;
    QTest::newRow("negative decimals") << QByteArray::fromHex("ff05") << 1u << 5LL;
}

void TestFixNumber::fromShortBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(uint, divisor);
    QFETCH(qlonglong, raw);

    const FixNumber n = FixNumber::fromBytes(bytes);
    QCOMPARE(n.divisor(), quint32(divisor));
    QCOMPARE(n.raw(), qint64(raw));
}

QTEST_GUILESS_MAIN(TestFixNumber)
#include "tst_fixnumber.moc"
