#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include "files.h"
#include "fiscalmodel.h"
#include "frconst.h"
#include "frrecords.h"
#include "receiptitem.h"
#include "tlv.h"
#include "wire.h"

namespace {

QDateTime g_now;

QDateTime hostNow()
{
    return g_now;
}

// Wall-clock seconds as the register counts them.
quint32 deviceSeconds(const QDateTime &dt)
{
    return quint32(QDateTime(dt.date(), dt.time(), Qt::UTC).toSecsSinceEpoch());
}

qint64 readLe(const QByteArray &b, int offset, int bytes)
{
    quint64 v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | quint8(b.at(offset + i));
    if (bytes < 8 && (v >> (8 * bytes - 1)) & 1)
        v |= ~quint64(0) << (8 * bytes);
    return qint64(v);
}

QByteArray cashier(int number = DefaultCashierNumber, qint32 password = DefaultCashierPassword)
{
    return le(number, 1) + le(password, 4);
}

QByteArray nameField(const QString &name)
{
    const QByteArray b = QTextCodec::codecForName("IBM866")->fromUnicode(name);
    return le(b.size(), 1) + b;
}

QByteArray start(const QString &name = QStringLiteral("Иванова И.И."), const QByteArray &who = cashier())
{
    return who + nameField(name);
}

QByteArray receiptStart(int type, const QByteArray &who = cashier())
{
    return who + le(type, 1) + nameField(QStringLiteral("Иванова И.И."));
}

QByteArray item(int section, int tax, qint64 price, qint64 quantity, int discountNumber = 0, qint64 discount = 0)
{
    ReceiptItem it;
    it.name = QStringLiteral("Товар");
    it.section = quint8(section);
    it.tax = quint8(tax);
    it.price = FixNumber(100, price);
    it.quantity = FixNumber(100000, quantity);
    it.discountNumber = quint8(discountNumber);
    it.discountSum = FixNumber(100, discount);
    return it.toTlv().rawData();
}

QByteArray pay(qint64 cash, qint64 card)
{
    return le(cash, 8) + le(card, 8);
}

QByteArray ids(const QByteArray &inn, const QByteArray &regNumber)
{
    return inn.left(12).leftJustified(12, '\0') + regNumber.left(16).leftJustified(16, '\0');
}

QByteArray cashierEntry(int number, quint16 rights, qint32 password, const QString &name)
{
    const QByteArray n = QTextCodec::codecForName("IBM866")->fromUnicode(name);
    return le(number, 1) + le(rights, 2) + le(password, 4) + n.leftJustified(256, '\0');
}

using Step = QPair<int, QByteArray>;
using Steps = QList<Step>;

// Every line of the paper that starts a document's number line, as numbers.
QList<int> documentNumbers(const QStringList &paper)
{
    QList<int> out;
    static const QRegularExpression re(QStringLiteral("^ФД (\\d+)\\s"));
    for (const QString &l : paper) {
        const QRegularExpressionMatch m = re.match(l);
        if (m.hasMatch())
            out << m.captured(1).toInt();
    }
    return out;
}

// Sets the value at a path such as "openDocument.positions[0].section" or "counters.sections[0][1]".
QJsonValue setAt(const QJsonValue &node, QVariantList steps, const QJsonValue &value)
{
    if (steps.isEmpty())
        return value;
    const QVariant step = steps.takeFirst();
    if (step.type() == QVariant::Int) {
        QJsonArray a = node.toArray();
        a[step.toInt()] = setAt(a.at(step.toInt()), steps, value);
        return a;
    }
    QJsonObject o = node.toObject();
    o[step.toString()] = setAt(o[step.toString()], steps, value);
    return o;
}

QJsonObject patched(const QJsonObject &state, const QString &path, const QJsonValue &value)
{
    QVariantList steps;
    static const QRegularExpression re(QStringLiteral("([^.\\[\\]]+)|\\[(\\d+)\\]"));
    for (auto it = re.globalMatch(path); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        steps << (m.captured(2).isEmpty() ? QVariant(m.captured(1)) : QVariant(m.captured(2).toInt()));
    }
    return setAt(state, steps, value).toObject();
}

using Patch = QList<QPair<QString, QJsonValue>>;

QJsonObject patched(QJsonObject state, const Patch &patch)
{
    for (const auto &p : patch)
        state = patched(state, p.first, p.second);
    return state;
}

} // namespace

Q_DECLARE_METATYPE(Steps)
Q_DECLARE_METATYPE(Patch)

class TstFiscalModel : public QObject
{
    Q_OBJECT

    FiscalModel *m = nullptr;
    FiscalModel::Result last;

    quint8 run(int command, const QByteArray &payload = QByteArray())
    {
        last = m->execute(quint8(command), payload);
        return last.code;
    }

private slots:
    void init();
    void cleanup();

    void statusLayout_data();
    void statusLayout();
    void freshToRegistered();
    void fullShift();
    void refusals_data();
    void refusals();
    void controlTapeContinues();
    void persistenceRoundTrip();
    void printedLine_data();
    void printedLine();
    void reports_data();
    void reports();
    void catalogueEntries();
    void clockAndRevision();
    void refusedStates_data();
    void refusedStates();
    void wrapAroundRefused_data();
    void wrapAroundRefused();
    void archiveWithGaps();
    void journalCarriedOverAndAppended();
    void journalFindsEveryDocument();
    void keyGivenTwice_data();
    void keyGivenTwice();
    void editedDocumentRefused_data();
    void editedDocumentRefused();
    void failedSaveIsAFailure();
};

void TstFiscalModel::init()
{
    g_now = QDateTime(QDate(2026, 3, 2), QTime(9, 0), Qt::LocalTime);
    m = new FiscalModel;
    m->setHostClock(hostNow);
}

void TstFiscalModel::cleanup()
{
    delete m;
    m = nullptr;
}

void TstFiscalModel::statusLayout_data()
{
    QTest::addColumn<QString>("preset");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<int>("flags");
    QTest::addColumn<int>("lastDoc");
    QTest::newRow("fresh") << "fresh" << QString() << 0x0011 << 0;
    QTest::newRow("ready") << "ready"
                           << "0000012345" << 0x0013 << 1;
}

void TstFiscalModel::statusLayout()
{
    QFETCH(QString, preset);
    QFETCH(QString, serial);
    QFETCH(int, flags);
    QFETCH(int, lastDoc);
    m->applyPreset(preset);
    QCOMPARE(run(0x30), quint8(0));
    QCOMPARE(last.payload.size(), 31);
    FrStatus st;
    QVERIFY(st.parse(last.payload));
    QCOMPARE(st.factoryNumber, serial);
    QCOMPARE(int(st.flags), flags);
    QCOMPARE(st.lastDocNumber, lastDoc);
    QCOMPARE(st.openDocType, quint8(0));

    QCOMPARE(run(0x33), quint8(0));
    QCOMPARE(last.payload.size(), 3);
    QCOMPARE(run(0x31), quint8(0));
    SerialInfo info;
    QVERIFY(info.parse(last.payload));
    QCOMPARE(info.factoryNumber, serial);
    QVERIFY(!info.modelName.isEmpty());
}

void TstFiscalModel::freshToRegistered()
{
    m->applyPreset(QStringLiteral("fresh"));
    QCOMPARE(run(0x3F, cashier() + "0000000042"), quint8(0));
    QCOMPARE(run(0x08, start()), quint8(0));
    QCOMPARE(run(0x07, Tlv(11048, QStringLiteral("ООО \"ТЕСТ\"")).rawData()), quint8(0));
    QCOMPARE(run(0x07, Tlv(11187, QStringLiteral("ООО")).rawData()), quint8(0));
    QCOMPARE(run(0x07, Tlv(11009, QStringLiteral("г. Тула")).rawData()), quint8(0));
    TaxEntry vat;
    vat.setType(1);
    vat.setRate(2000);
    vat.setName(QStringLiteral("НДС 20%"));
    TaxEntry none;
    none.setType(0);
    none.setRate(0);
    none.setName(QStringLiteral("БЕЗ НДС"));
    QCOMPARE(run(0x07, vat.toTlv(0).rawData()), quint8(0));
    QCOMPARE(run(0x07, none.toTlv(3).rawData()), quint8(0));
    QCOMPARE(run(0xB0), quint8(0));
    QCOMPARE(last.payload, QByteArray(1, char(1))); // an open registration, not a receipt

    m->takePrinted();
    QCOMPARE(run(0x20, ids("7707083893", "0000000001012345")), quint8(0));
    QVERIFY(m->takePrinted().join('\n').contains(QStringLiteral("ПРЕДВАРИТЕЛЬНАЯ")));
    QCOMPARE(run(0x09, ids("7707083893", "0000000001012345")), quint8(0));
    QCOMPARE(last.payload.size(), 12);
    QCOMPARE(readLe(last.payload, 0, 4), qint64(1));
    QCOMPARE(quint32(readLe(last.payload, 8, 4)), deviceSeconds(g_now));
    QVERIFY(m->takePrinted().join('\n').contains(QStringLiteral("ОТЧЕТ О РЕГИСТРАЦИИ")));

    RegData data;
    data.reset();
    const quint16 tags[] = {11018, 11037, 11048, 11187, 11009, 11041, 11012, 13105, 13106, 13107, 13108, 13109};
    int held = 0;
    for (const quint16 tag : tags) {
        const quint8 code = run(0x44, le(tag, 2));
        QVERIFY(code == 0 || code == 17);
        if (code != 0)
            continue;
        ++held;
        Tlv t;
        QVERIFY(t.setRawData(last.payload));
        QCOMPARE(t.tag(), tag);
        data.store(t);
    }
    QCOMPARE(held, 9); // taxes 2, 3 and 5 were not sent
    QCOMPARE(data.innText(), QStringLiteral("7707083893"));
    QCOMPARE(data.fiscalNumberText(), QStringLiteral("0000000001012345"));
    QCOMPARE(data.organisationText(), QStringLiteral("ООО \"ТЕСТ\""));
    QCOMPARE(data.addressText(), QStringLiteral("г. Тула"));
    QCOMPARE(data.regDateTime, deviceSeconds(g_now));
    QCOMPARE(data.taxes[0].rate(), quint16(2000));
    QCOMPARE(data.taxes[0].nameText(), QStringLiteral("НДС 20%"));
    QCOMPARE(data.taxes[3].type(), quint8(0));
    QVERIFY(!data.taxes[1].isValid());

    QCOMPARE(run(0x30), quint8(0));
    FrStatus st;
    QVERIFY(st.parse(last.payload));
    QVERIFY(st.flags & FrStatus::Activated);
    QCOMPARE(int(st.activationCount), 1);
    QCOMPARE(st.lastDocNumber, 1);

    // Re-registration keeps the archive and goes on numbering.
    QCOMPARE(run(0x08, start()), quint8(0));
    QCOMPARE(run(0x07, vat.toTlv(1).rawData()), quint8(0));
    QCOMPARE(run(0x09, ids("770708389312", "77")), quint8(0));
    QCOMPARE(readLe(last.payload, 0, 4), qint64(2));
    QCOMPARE(run(0xB2, cashier() + le(1, 4)), quint8(0));
    QCOMPARE(run(0x44, le(13105, 2)), quint8(17));
    QCOMPARE(run(0x44, le(13106, 2)), quint8(0));
}

void TstFiscalModel::fullShift()
{
    m->applyPreset(QStringLiteral("ready"));
    QCOMPARE(run(0x11, start()), quint8(0));
    QCOMPARE(run(0x12), quint8(0));
    QCOMPARE(readLe(last.payload, 0, 4), qint64(2));
    QCOMPARE(readLe(last.payload, 12, 2), qint64(1));

    QCOMPARE(run(0xA2, start()), quint8(0));
    QCOMPARE(run(0xA3, le(100000, 8)), quint8(0));
    QCOMPARE(readLe(last.payload, 14, 8), qint64(100000));

    // Sale: 2 x 123.45 less 1.34, and 1.5 x 100.00 less catalogue discount 1 (10 %); change from 400.00.
    QCOMPARE(run(0xB0), quint8(0));
    QCOMPARE(last.payload, QByteArray(1, '\0'));
    QCOMPARE(run(0x15, receiptStart(0)), quint8(0));
    QCOMPARE(run(0x07, receiptTextTlv(QStringLiteral("Спасибо за покупку")).rawData()), quint8(0));
    QCOMPARE(run(0x07, item(1, 1, 12345, 200000, 0, 134)), quint8(0));
    QCOMPARE(run(0x07, item(2, 2, 10000, 150000, 1)), quint8(0));
    QCOMPARE(run(0xB0), quint8(0));
    QCOMPARE(last.payload.size(), 14);
    QCOMPARE(int(last.payload.at(0)), 3);
    QCOMPARE(readLe(last.payload, 2, 2), qint64(1));
    QCOMPARE(readLe(last.payload, 4, 2), qint64(2));
    QCOMPARE(readLe(last.payload, 6, 8), qint64(38056));
    QCOMPARE(run(0x16, pay(40000, 0)), quint8(0));
    QCOMPARE(last.payload.size(), 32);
    QCOMPARE(readLe(last.payload, 0, 4), qint64(4));
    QCOMPARE(readLe(last.payload, 14, 2), qint64(1));
    QCOMPARE(readLe(last.payload, 16, 8), qint64(38056));
    QCOMPARE(readLe(last.payload, 24, 8), qint64(1944));

    // Purchase return of 80.00 less catalogue discount 2 (50.00), paid by card.
    QCOMPARE(run(0x15, receiptStart(3)), quint8(0));
    QCOMPARE(run(0x07, item(3, 5, 8000, 100000, 2)), quint8(0));
    QCOMPARE(run(0x16, pay(0, 3000)), quint8(0));
    QCOMPARE(readLe(last.payload, 16, 8), qint64(3000));

    // Sale return of 3 x 10.00 in cash, under the charged tax 3.
    QCOMPARE(run(0x15, receiptStart(2)), quint8(0));
    QCOMPARE(run(0x07, item(1, 3, 1000, 300000)), quint8(0));
    QCOMPARE(run(0x16, pay(3000, 0)), quint8(0));
    QCOMPARE(readLe(last.payload, 14, 2), qint64(3));

    QCOMPARE(run(0xA4, start()), quint8(0));
    QCOMPARE(run(0xA5, le(10000, 8)), quint8(0));
    const qint64 drawer = 100000 + 38056 - 3000 - 10000;
    QCOMPARE(readLe(last.payload, 14, 8), drawer);

    for (const int command : {0x36, 0x37}) {
        QCOMPARE(run(command), quint8(0));
        QCOMPARE(last.payload.size(), Counters::WireSize);
        Counters c;
        QVERIFY(c.parse(last.payload));
        QCOMPARE(int(c.cycleNumber), 1);
        QCOMPARE(int(c.cashInCount), 1);
        QCOMPARE(c.cashInSum, qint64(100000));
        QCOMPARE(int(c.cashOutCount), 1);
        QCOMPARE(c.cashOutSum, qint64(10000));
        QCOMPARE(c.receiptCount, 3);
        QCOMPARE(c.cashInDrawer, drawer);
        const OperationCounters &sale = c.operations[0];
        QCOMPARE(sale.count, 1);
        QCOMPARE(sale.sum, qint64(38056));
        QCOMPARE(sale.cashSum, qint64(38056));
        QCOMPARE(sale.cashlessSum, qint64(0));
        QCOMPARE(sale.taxSums[0], qint64(4093)); // 245.56 * 20/120
        QCOMPARE(sale.taxSums[1], qint64(1227)); // 135.00 * 10/110
        QCOMPARE(c.operations[1].count, 0);
        QCOMPARE(c.operations[2].sum, qint64(3000));
        QCOMPARE(c.operations[2].taxSums[2], qint64(600)); // charged on top: 30.00 * 20 %
        QCOMPARE(c.operations[3].cashlessSum, qint64(3000));
        QCOMPARE(c.operations[3].taxSums[4], qint64(3000)); // turnover without tax
    }
    QCOMPARE(run(0x38), quint8(0));
    QCOMPARE(last.payload.size(), TotalCounters::WireSize);
    TotalCounters total;
    QVERIFY(total.parse(last.payload));
    QCOMPARE(total.receiptCount, 3);
    QCOMPARE(total.operations[0].sum, qint64(38056));
    QCOMPARE(run(0x39), quint8(0));
    QCOMPARE(last.payload.size(), 640);
    QCOMPARE(readLe(last.payload, 0, 8), qint64(24556));           // sales, department 1
    QCOMPARE(readLe(last.payload, 8, 8), qint64(13500));           // sales, department 2
    QCOMPARE(readLe(last.payload, 2 * 160, 8), qint64(3000));      // sale returns, department 1
    QCOMPARE(readLe(last.payload, 3 * 160 + 16, 8), qint64(3000)); // purchase returns, department 3

    m->takePrinted();
    QCOMPARE(run(0x13, start()), quint8(0));
    QCOMPARE(run(0x14), quint8(0));
    QCOMPARE(readLe(last.payload, 0, 4), qint64(8));
    const QString z = m->takePrinted().join('\n');
    QVERIFY(z.contains(QStringLiteral("Z-ОТЧЕТ")));
    QVERIFY(z.contains(QStringLiteral("=380.56")));

    QCOMPARE(run(0x36), quint8(0));
    Counters after;
    QVERIFY(after.parse(last.payload));
    QCOMPARE(after.receiptCount, 0);
    QCOMPARE(after.cashInSum, qint64(0));
    QCOMPARE(after.cashInDrawer, drawer);
    QCOMPARE(run(0x10), quint8(0));
    CycleStatus cs;
    QVERIFY(cs.parse(last.payload));
    QCOMPARE(int(cs.isOpen), 0);
    QCOMPARE(int(cs.receiptCount), 3);
    QCOMPARE(cs.firstDocNumber, 2);
    QCOMPARE(cs.lastDocNumber, 8);
    QCOMPARE(cs.cashRaw, drawer);
}

void TstFiscalModel::refusals_data()
{
    QTest::addColumn<QString>("preset");
    QTest::addColumn<QJsonObject>("patch");
    QTest::addColumn<Steps>("steps");
    QTest::addColumn<int>("hoursLater");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("code");

    const QString fresh = QStringLiteral("fresh");
    const QString ready = QStringLiteral("ready");
    const Steps none;
    const Steps shift = {{0x11, start()}, {0x12, {}}};
    const Steps receipt = shift + Steps{{0x15, receiptStart(0)}};
    const Steps registration = {{0x08, start()}, {0x07, Tlv(13105, QList<Tlv>{Tlv(13102, quint8(0))}).rawData()}};
    const Steps clerk = {{0x02, cashier() + le(1, 1) + cashierEntry(1, 0x0001, 7, QStringLiteral("Кассир"))}};
    const QByteArray clerkBlock = cashier(1, 7);
    const QJsonObject noPatch;
    const quint32 regTime = deviceSeconds(g_now.isValid() ? g_now : QDateTime(QDate(2026, 3, 2), QTime(9, 0))) - 3600;
    auto row = [&](const char *name, const QString &preset, const Steps &steps, int command, const QByteArray &p,
                   int code, int hours = 0, int fault = 0, const QJsonObject &patch = QJsonObject()) {
        QTest::newRow(name) << preset << patch << steps << hours << fault << command << p << code;
    };

    row("6 storage full", ready, none, 0x11, start(), 6, 0, 0, {{QStringLiteral("docsLeft"), 0}});
    row("10 unknown command", fresh, none, 0x7E, {}, 10);
    row("13 no factory number", fresh, none, 0x11, start(), 13);
    row("16 report without the right", ready, clerk, 0xB1, clerkBlock + le(1, 1), 16);
    row("16 return without the right", ready, clerk + shift, 0x15, receiptStart(2, clerkBlock), 16);
    row("17 parameter not held", ready, none, 0x44, le(1234, 2), 17);
    row("17 copy of an unknown document", ready, none, 0xB2, cashier() + le(99, 4), 17);
    row("18 wrong password", ready, none, 0x11, start(QStringLiteral("Иванова"), cashier(20, 31)), 18);
    row("18 unknown cashier", ready, none, 0x11, start(QStringLiteral("Иванова"), cashier(5, 0)), 18);
    row("20 catalogue type 0", ready, none, 0x01, cashier() + le(0, 1) + le(1, 1), 20);
    row("20 catalogue type 4", ready, none, 0x02, cashier() + le(4, 1) + le(1, 1), 20);
    row("21 nobody left to manage cashiers", ready, none, 0x02,
        cashier() + le(1, 1) + cashierEntry(20, 0x0001, 30, QStringLiteral("А")), 21);
    row("22 catalogue index 21", ready, none, 0x01, cashier() + le(2, 1) + le(21, 1), 22);
    row("22 paper width 70", ready, none, 0xC2, cashier() + le(1, 1) + le(70, 1), 22);
    row("22 rounding 2", ready, none, 0x41, cashier() + le(1, 1) + le(2, 1), 22);
    row("22 taxpayer number of 11 digits", ready, registration, 0x09, ids("77070838931", "1"), 22);
    row("22 no registration number", ready, registration, 0x09, ids("7707083893", ""), 22);
    row("22 factory number with letters", fresh, none, 0x3F, cashier() + "00000000AB", 22);
    row("23 clock before the last document", ready, none, 0x04, cashier() + le(regTime - 1, 4), 23);
    row("24 factory number already set", ready, none, 0x3F, cashier() + "0000000042", 24);
    row("26 registration in an open shift", ready, shift, 0x08, start(), 26);
    row("26 second shift", ready, shift, 0x11, start(), 26);
    row("27 receipt in a closed shift", ready, none, 0x15, receiptStart(0), 27);
    row("28 start with a document open", ready, receipt, 0xA2, start(), 28);
    row("29 completion without a document", ready, shift, 0x16, pay(0, 0), 29);
    row("29 data without a document", ready, none, 0x07, receiptTextTlv(QStringLiteral("x")).rawData(), 29);
    row("30 completion of another kind", ready, {{0x11, start()}}, 0x16, pay(0, 0), 30);
    row("30 report type 0", ready, none, 0xB1, cashier() + le(0, 1), 30);
    row("31 archive closed", ready, {{0x18, start()}, {0x19, {}}}, 0x11, start(), 31);
    row("33 registrations used up", ready, none, 0x08, start(), 33, 0, 0, {{QStringLiteral("activationLimit"), 1}});
    row("34 unsupported member", ready, receipt, 0x07,
        Tlv(11059, QList<Tlv>{Tlv(11301, quint8(1)), Tlv(1008, QStringLiteral("x"))}).rawData(), 34);
    row("34 unsupported record", ready, receipt, 0x07, Tlv(1008, QStringLiteral("x")).rawData(), 34);
    row("35 department of two bytes", ready, receipt, 0x07, Tlv(11059, QList<Tlv>{Tlv(11301, quint16(1))}).rawData(),
        35);
    row("35 quantity with 12 decimals", ready, receipt, 0x07,
        Tlv(11059, QList<Tlv>{Tlv(11301, quint8(1)), Tlv(11199, quint8(1)), Tlv(11079, quint64(100)),
                              Tlv(11023, QByteArray::fromHex("0c01"))})
            .rawData(),
        35);
    row("37 position without a price", ready, receipt, 0x07,
        Tlv(11059, QList<Tlv>{Tlv(11301, quint8(1)), Tlv(11199, quint8(1)), Tlv(11023, FixNumber(1000, qint64(1)))})
            .rawData(),
        37);
    row("37 receipt without positions", ready, receipt, 0x16, pay(0, 0), 37);
    row("38 not activated", fresh, {{0x3F, cashier() + "0000000042"}}, 0x11, start(), 38);
    row("38 parameters before activation", fresh, none, 0x44, le(11018, 2), 38);
    row("39 empty cashier name", ready, none, 0x11, start(QStringLiteral("  ")), 39);
    row("39 over-long cashier name", ready, none, 0x11, start(QString(65, QLatin1Char('A'))), 39);
    row("40 payout above the cash", ready, shift + Steps{{0xA4, start()}}, 0xA5, le(100, 8), 40);
    row("40 cash return without cash", ready, shift + Steps{{0x15, receiptStart(2)}, {0x07, item(1, 1, 10000, 100000)}},
        0x16, pay(10000, 0), 40);
    row("42 receipt type 4", ready, shift, 0x15, receiptStart(4), 42);
    row("43 department 21", ready, receipt, 0x07, item(21, 1, 100, 100000), 43);
    row("44 discount not in the catalogue", ready, receipt, 0x07, item(1, 1, 100, 100000, 5), 44);
    row("45 tax not registered", ready, receipt, 0x07, item(1, 6, 100, 100000), 45);
    row("47 payment below the total", ready, receipt + Steps{{0x07, item(1, 1, 10000, 100000)}}, 0x16, pay(5000, 4999),
        47);
    row("48 card above the total", ready, receipt + Steps{{0x07, item(1, 1, 10000, 100000)}}, 0x16, pay(0, 10001), 48);
    row("48 purchase return overpaid", ready, shift + Steps{{0x15, receiptStart(3)}, {0x07, item(1, 1, 10000, 100000)}},
        0x16, pay(10001, 0), 48);
    row("49 position above the ceiling", ready, receipt, 0x07, item(1, 1, 100000000000LL, 100000000), 49);
    row("49 price at its ceiling times a million", ready, receipt, 0x07, item(1, 1, 10000000000000LL, 100000000000LL),
        49);
    row("51 shift older than 24 hours", ready, shift, 0x15, receiptStart(0), 51, 25);
    row("53 printer not answering", ready, none, 0xC3, QByteArray(4, '\0') + "x", 53, 0, 53);
    row("54 out of paper", ready, shift + Steps{{0x13, start()}}, 0x14, {}, 54, 0, 54);
}

void TstFiscalModel::refusals()
{
    QFETCH(QString, preset);
    QFETCH(QJsonObject, patch);
    QFETCH(Steps, steps);
    QFETCH(int, hoursLater);
    QFETCH(int, fault);
    QFETCH(int, command);
    QFETCH(QByteArray, payload);
    QFETCH(int, code);

    m->applyPreset(preset);
    if (!patch.isEmpty()) {
        QJsonObject state = m->toJson();
        for (auto it = patch.begin(); it != patch.end(); ++it)
            state[it.key()] = it.value();
        QVERIFY(m->fromJson(state));
    }
    for (const Step &s : steps)
        QCOMPARE(int(run(s.first, s.second)), 0);
    g_now = g_now.addSecs(hoursLater * 3600);
    m->setPrinterFault(quint8(fault));
    const QJsonObject before = m->toJson();
    const quint64 revision = m->revision();
    QCOMPARE(int(run(command, payload)), code);
    QVERIFY(last.payload.isEmpty());
    // A refusal leaves the register exactly as it was.
    QCOMPARE(m->toJson(), before);
    QCOMPARE(m->revision(), revision);
}

void TstFiscalModel::controlTapeContinues()
{
    m->applyPreset(QStringLiteral("ready"));
    QCOMPARE(run(0x11, start()), quint8(0));
    QCOMPARE(run(0x12), quint8(0));
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(run(0xA2, start()), quint8(0));
        QCOMPARE(run(0xA3, le(100 + i, 8)), quint8(0));
    }
    m->setControlTapePageLimit(3);
    m->takePrinted();

    QList<int> printed;
    QList<int> answers;
    int from = 1;
    for (int guard = 0; guard < 10; ++guard) {
        QCOMPARE(run(0x3A, cashier() + le(from, 4)), quint8(0));
        printed += documentNumbers(m->takePrinted());
        if (last.payload.isEmpty())
            break;
        QCOMPARE(last.payload.size(), 4);
        from = int(readLe(last.payload, 0, 4));
        answers << from;
    }
    QCOMPARE(answers, (QList<int>{4, 7}));
    QCOMPARE(printed, (QList<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    QCOMPARE(run(0x3A, cashier() + le(9, 4)), quint8(17));

    // Without a number the tape starts at the current shift's first document.
    QCOMPARE(run(0x3A, cashier()), quint8(0));
    QCOMPARE(documentNumbers(m->takePrinted()).first(), 2);
}

void TstFiscalModel::persistenceRoundTrip()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("state.json"));
    m->applyPreset(QStringLiteral("ready"));
    QCOMPARE(run(0x11, start()), quint8(0));
    QCOMPARE(run(0x12), quint8(0));
    QCOMPARE(run(0xA2, start()), quint8(0));
    QCOMPARE(run(0xA3, le(50000, 8)), quint8(0));
    QCOMPARE(run(0x15, receiptStart(0)), quint8(0));
    QCOMPARE(run(0x07, item(4, 1, 9999, 100000)), quint8(0));
    QVERIFY(m->saveToFile(path));

    // A second register started on the same file carries on the open receipt.
    FiscalModel b;
    b.setHostClock(hostNow);
    QVERIFY(b.loadFromFile(path));
    QCOMPARE(b.toJson(), m->toJson());
    FiscalModel::Result r = b.execute(0xB0, {});
    QCOMPARE(r.payload.size(), 14);
    QCOMPARE(readLe(r.payload, 6, 8), qint64(9999));
    r = b.execute(0x16, pay(10000, 0));
    QCOMPARE(r.code, quint8(0));
    r = b.execute(0x36, {});
    Counters c;
    QVERIFY(c.parse(r.payload));
    QCOMPARE(c.cashInSum, qint64(50000));
    QCOMPARE(c.operations[0].sum, qint64(9999));
    QCOMPARE(c.cashInDrawer, qint64(59999));

    QVERIFY(!b.fromJson(QJsonObject{{QStringLiteral("format"), 99}}));
    const QString broken = dir.filePath(QStringLiteral("broken.json"));
    QVERIFY(writeFile(broken, "{ not json"));
    QString error;
    QVERIFY(!b.loadFromFile(broken, &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(b.execute(0x36, {}).payload, r.payload); // a bad file leaves the state alone
}

void TstFiscalModel::printedLine_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<QByteArray>("attributes");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("lines");

    const QString block(QChar(0x2588));
    QTest::newRow("left") << 80 << QByteArray::fromHex("00000000") << "ABC" << QStringList{"ABC"};
    QTest::newRow("centre 48") << 80 << QByteArray::fromHex("00010000") << "ABC"
                               << QStringList{QString(22, ' ') + "ABC"};
    QTest::newRow("centre 32") << 60 << QByteArray::fromHex("00010000") << "ABC"
                               << QStringList{QString(14, ' ') + "ABC"};
    QTest::newRow("right") << 60 << QByteArray::fromHex("00020000") << "ABC" << QStringList{QString(29, ' ') + "ABC"};
    QTest::newRow("bold") << 80 << QByteArray::fromHex("00000001") << "ABC" << QStringList{"*ABC*"};
    QTest::newRow("double") << 80 << QByteArray::fromHex("00000008") << "ABC" << QStringList{"A B C"};
    QTest::newRow("inverted") << 60 << QByteArray::fromHex("00000004") << "ABC"
                              << QStringList{" ABC " + block.repeated(27)};
    QTest::newRow("spacing and cut") << 60 << QByteArray::fromHex("01000010") << "ABC"
                                     << QStringList{"ABC", "", QChar(0x2702) + QString(31, '-')};
    QTest::newRow("wrapped") << 60 << QByteArray::fromHex("00000000") << QString(40, 'x')
                             << QStringList{QString(32, 'x'), QString(8, 'x')};
    QTest::newRow("tab") << 60 << QByteArray::fromHex("00000000") << "a\tb" << QStringList{"a       b"};
}

void TstFiscalModel::printedLine()
{
    QFETCH(int, width);
    QFETCH(QByteArray, attributes);
    QFETCH(QString, text);
    QFETCH(QStringList, lines);
    m->applyPreset(QStringLiteral("ready"));
    QCOMPARE(run(0xC2, cashier() + le(1, 1) + le(width, 1)), quint8(0));
    QCOMPARE(run(0xC1, cashier() + le(1, 1)), quint8(0));
    QCOMPARE(last.payload, le(width, 1));
    m->takePrinted();
    QCOMPARE(run(0xC3, attributes + QTextCodec::codecForName("IBM866")->fromUnicode(text)), quint8(0));
    QCOMPARE(m->takePrinted(), lines);
}

void TstFiscalModel::reports_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("params");
    QTest::addColumn<QString>("expected");
    const quint32 t = deviceSeconds(QDateTime(QDate(2026, 3, 2), QTime(9, 0)));
    QTest::newRow("X") << 1 << QByteArray() << "X-ОТЧЕТ";
    QTest::newRow("since registration") << 2 << QByteArray() << "ПЕРЕРЕГИСТРАЦИИ";
    QTest::newRow("gross") << 3 << QByteArray() << "ГРОСС ИТОГИ";
    QTest::newRow("departments") << 4 << QByteArray() << "ОТДЕЛ 7 ОТДЕЛ 7";
    QTest::newRow("period") << 5 << QByteArray(le(t - 60, 4) + le(t + 60, 4)) << "ПРОДАЖ 1";
    QTest::newRow("shifts") << 6 << QByteArray(le(1, 2) + le(1, 2)) << "ПРОДАЖ 1";
}

void TstFiscalModel::reports()
{
    QFETCH(int, type);
    QFETCH(QByteArray, params);
    QFETCH(QString, expected);
    m->applyPreset(QStringLiteral("ready"));
    QCOMPARE(run(0x11, start()), quint8(0));
    QCOMPARE(run(0x12), quint8(0));
    QCOMPARE(run(0x15, receiptStart(0)), quint8(0));
    QCOMPARE(run(0x07, item(7, 5, 1234, 100000)), quint8(0));
    QCOMPARE(run(0x16, pay(0, 1234)), quint8(0));
    m->takePrinted();
    QCOMPARE(run(0xB1, cashier() + le(type, 1) + params), quint8(0));
    const QStringList paper = m->takePrinted();
    QVERIFY2(paper.join('\n').contains(expected), qPrintable(paper.join('\n')));
    QVERIFY(paper.last().startsWith(QChar(0x2702)));
}

void TstFiscalModel::catalogueEntries()
{
    m->applyPreset(QStringLiteral("ready"));
    const QByteArray entry = cashierEntry(3, 0x0043, 1234, QStringLiteral("Петров"));
    QCOMPARE(run(0x02, cashier() + le(1, 1) + entry), quint8(0));
    QCOMPARE(run(0x01, cashier() + le(1, 1) + le(3, 1)), quint8(0));
    QCOMPARE(last.payload, entry);
    // The new cashier works with its own password and rights.
    QCOMPARE(run(0x11, start(QStringLiteral("Петров"), cashier(3, 1234))), quint8(0));

    QByteArray section(128, '\0');
    section[0] = 5;
    section.replace(1, 4, "ABCD");
    QCOMPARE(run(0x02, cashier() + le(2, 1) + section), quint8(0));
    QCOMPARE(run(0x01, cashier() + le(2, 1) + le(5, 1)), quint8(0));
    QCOMPARE(last.payload, section);

    const QByteArray discount = le(8, 1) + le(1, 1) + le(1250, 8) + QByteArray("PROMO").leftJustified(128, '\0');
    QCOMPARE(run(0x02, cashier() + le(3, 1) + discount), quint8(0));
    QCOMPARE(run(0x01, cashier() + le(3, 1) + le(8, 1)), quint8(0));
    QCOMPARE(last.payload, discount);
    QCOMPARE(run(0x02, cashier() + le(3, 1) + le(8, 1) + le(1, 1) + le(10001, 8)), quint8(22));
}

void TstFiscalModel::clockAndRevision()
{
    m->applyPreset(QStringLiteral("ready"));
    const quint64 start = m->revision();
    QCOMPARE(run(0x03), quint8(0));
    QCOMPARE(quint32(readLe(last.payload, 0, 4)), deviceSeconds(g_now));
    QCOMPARE(run(0x30), quint8(0));
    QCOMPARE(m->revision(), start); // reads change nothing

    const quint32 set = deviceSeconds(g_now) + 86400;
    QCOMPARE(run(0x04, cashier() + le(set, 4)), quint8(0));
    QVERIFY(m->revision() > start);
    g_now = g_now.addSecs(3600);
    QCOMPARE(run(0x03), quint8(0));
    QCOMPARE(quint32(readLe(last.payload, 0, 4)), set + 3600);
    QCOMPARE(m->registerClock().date(), QDate(2026, 3, 3));
    QCOMPARE(m->executedCount(0x03), quint64(2));
}

void TstFiscalModel::refusedStates_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<QString>("field"); // named in the message

    const auto row = [](const char *name, const QString &path, const QJsonValue &value, QString field = QString()) {
        QTest::newRow(name) << path << value << (field.isEmpty() ? path : field);
    };
    // The base state has an open receipt with one position, documents 1 and 2 and shift 1 open.
    row("department past 20", "openDocument.positions[0].section", 21);
    row("tax 0", "openDocument.positions[0].tax", 0);
    row("receipt type 7", "openDocument.receiptType", 7);
    row("total not the positions' sum", "openDocument.total", "1");
    row("positions in a shift document", "openDocument.type", 2, "openDocument.positions");
    row("cashier not an object", "cashiers[3]", "x");
    row("nobody manages cashiers", "cashiers[19].rights", 1, "cashiers");
    row("clock offset 1e300", "clockOffset", 1e300);
    row("clock offset of two centuries", "clockOffset", 6.4e9);
    row("document number past 32 bits", "lastDocument.number", 2147483648.0);
    row("last document not the archive's last", "lastDocument.number", 5);
    row("drawer near the top of 64 bits", "cash", "9223372036854775800");
    row("drawer negative", "cash", "-1");
    row("money not a number", "counters.gross.cashInSum", "12x");
    row("money as a fraction", "counters.fiscal.operations[0].sum", 1.5);
    row("archive numbers falling", "archive[1].number", 1);
    row("archive entry not an object", "archive[0]", 5);
    row("archive receipt type 9", "archive[1].receiptType", 9);
    row("19 departments", "sections", QJsonArray{});
    row("department entry short", "sections[2]", "0102");
    row("four tax sums", "counters.shift.operations[0].taxes", QJsonArray{"0", "0", "0", "0"});
    row("department sums of 19", "counters.sections[1]", QJsonArray{});
    row("discount kind 5", "discounts[0].kind", 5);
    row("percent above 100", "discounts[0].value", "10001");
    row("paper 70 mm", "settings.paperWidth", 70);
    row("registration value not hex", "registration.13105", "zz");
    row("shift number past 16 bits", "shift.number", 40000);
    row("shift's first document unknown", "shift.firstDoc", 9);
    row("factory number of 5 digits", "factoryNumber", "12345");
    row("format 99", "format", 99);
    row("sd card not a boolean", "sdCard", "yes");
    row("money with blanks", "cash", " 0 ");
    row("money with a plus", "counters.gross.cashInSum", "+5");
    row("position not price x quantity", "openDocument.positions[0].price", "1", "openDocument.positions[0].sum");
    row("operations not the positions", "openDocument.operations", 5);
    // Tax 1 alone, as the open receipt uses it: no taxpayer, registration or storage number.
    row("activated without its registration", "registration",
        QJsonObject{{"13105", "2e330100012f330200d007303307008d849120323025"}}, "registration");
    row("activations above the limit", "activationCount", 13);
    row("archive time going back", "archive[1].time", 0);
}

void TstFiscalModel::refusedStates()
{
    QFETCH(QString, path);
    QFETCH(QJsonValue, value);
    QFETCH(QString, field);
    m->applyPreset(QStringLiteral("ready"));
    QCOMPARE(run(0x11, start()), quint8(0));
    QCOMPARE(run(0x12), quint8(0));
    QCOMPARE(run(0x15, receiptStart(0)), quint8(0));
    QCOMPARE(run(0x07, item(2, 1, 1000, 100000)), quint8(0));
    const QJsonObject good = m->toJson();
    FiscalModel b;
    QVERIFY(b.fromJson(good));

    const QJsonObject bad = patched(good, path, value);
    QVERIFY(bad != good);
    QString error;
    QVERIFY(!b.fromJson(bad, &error));
    // The message names the field as the user finds it in the file.
    QVERIFY2(error.startsWith(field + QLatin1String(": ")), qPrintable(error));
    QCOMPARE(b.toJson(), good); // nothing taken from a refused state

    // Every refused file is also refused as a file, and left as it was.
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("state.json"));
    QVERIFY(writeFile(file, QJsonDocument(bad).toJson()));
    const QByteArray bytes = readFile(file);
    QVERIFY(!b.loadFromFile(file, &error));
    QCOMPARE(readFile(file), bytes);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("state.json")});
}

void TstFiscalModel::wrapAroundRefused_data()
{
    QTest::addColumn<Steps>("before");
    QTest::addColumn<Patch>("patch");
    QTest::addColumn<Steps>("after"); // all succeed but the last
    QTest::addColumn<int>("code");

    const Steps shift = {{0x11, start()}, {0x12, {}}};
    const Steps receipt = shift + Steps{{0x15, receiptStart(0)}, {0x07, item(1, 1, 1000, 100000)}};
    const QString max64 = QStringLiteral("9223372036854775807");
    const QString top = QStringLiteral("9223372036854775000");
    QTest::newRow("document numbers used up")
        << Steps() << Patch{{"lastDocument.number", 2147483647.0}, {"archive[0].number", 2147483647.0}}
        << Steps{{0x11, start()}} << 6;
    QTest::newRow("shift number 32767") << Steps()
                                        << Patch{{"shift.number", 32767}, {"shift.firstDoc", 1}, {"shift.lastDoc", 1}}
                                        << Steps{{0x11, start()}, {0x12, {}}} << 6;
    QTest::newRow("32767 receipts in the shift")
        << receipt << Patch{{"shift.receipts", 32767}} << Steps{{0x16, pay(1000, 0)}} << 50;
    QTest::newRow("sales total at the 64-bit ceiling")
        << receipt << Patch{{"counters.gross.operations[0].sum", top}} << Steps{{0x16, pay(1000, 0)}} << 49;
    QTest::newRow("tax sum at the ceiling")
        << receipt << Patch{{"counters.fiscal.operations[0].taxes[0]", max64}} << Steps{{0x16, pay(1000, 0)}} << 49;
    QTest::newRow("department sum at the ceiling")
        << receipt << Patch{{"counters.sections[0][0]", max64}} << Steps{{0x16, pay(1000, 0)}} << 49;
    QTest::newRow("cash-in sum at the ceiling")
        << shift << Patch{{"counters.fiscal.cashInSum", top}} << Steps{{0xA2, start()}, {0xA3, le(100000, 8)}} << 49;
    QTest::newRow("cash-in count 32767") << shift << Patch{{"counters.shift.cashInCount", 32767}}
                                         << Steps{{0xA2, start()}, {0xA3, le(100, 8)}} << 6;
}

void TstFiscalModel::wrapAroundRefused()
{
    QFETCH(Steps, before);
    QFETCH(Patch, patch);
    QFETCH(Steps, after);
    QFETCH(int, code);
    m->applyPreset(QStringLiteral("ready"));
    for (const Step &s : before)
        QCOMPARE(int(run(s.first, s.second)), 0);
    QString error;
    QVERIFY2(m->fromJson(patched(m->toJson(), patch), &error), qPrintable(error));
    for (int i = 0; i + 1 < after.size(); ++i)
        QCOMPARE(int(run(after.at(i).first, after.at(i).second)), 0);
    const QJsonObject state = m->toJson();
    m->takePrinted();
    QCOMPARE(int(run(after.last().first, after.last().second)), code);
    QCOMPARE(m->toJson(), state);
    QVERIFY(m->takePrinted().isEmpty());
}

void TstFiscalModel::archiveWithGaps()
{
    // Documents 3 and 4 taken out of the archive by hand: every reader still finds its way.
    m->applyPreset(QStringLiteral("ready"));
    QCOMPARE(run(0x11, start()), quint8(0));
    QCOMPARE(run(0x12), quint8(0));
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(run(0xA2, start()), quint8(0));
        QCOMPARE(run(0xA3, le(100 + i, 8)), quint8(0));
    }
    QJsonObject state = m->toJson();
    QJsonArray archive = state[QStringLiteral("archive")].toArray();
    archive.removeAt(2);
    archive.removeAt(2);
    state[QStringLiteral("archive")] = archive;
    QString error;
    QVERIFY2(m->fromJson(state, &error), qPrintable(error));
    m->setControlTapePageLimit(2);
    m->takePrinted();

    const auto tape = [this](const QByteArray &from) {
        const quint8 code = run(0x3A, cashier() + from);
        return qMakePair(int(code), documentNumbers(m->takePrinted()));
    };
    QCOMPARE(tape(le(3, 4)), qMakePair(0, QList<int>{5, 6}));
    QVERIFY(last.payload.isEmpty());
    QCOMPARE(tape(le(1, 4)), qMakePair(0, QList<int>{1, 2}));
    QCOMPARE(readLe(last.payload, 0, 4), qint64(5));
    QCOMPARE(tape(QByteArray()), qMakePair(0, QList<int>{2, 5})); // the shift's first document
    QCOMPARE(tape(le(7, 4)).first, 17);
    QCOMPARE(run(0xB2, cashier() + le(4, 4)), quint8(17));
    QCOMPARE(run(0xB2, cashier() + le(5, 4)), quint8(0));
    QCOMPARE(documentNumbers(m->takePrinted()), QList<int>{5});
    QCOMPARE(run(0xB1, cashier() + le(6, 1) + le(0, 2) + le(5, 2)), quint8(0));
}

void TstFiscalModel::journalCarriedOverAndAppended()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("state.json"));
    const QString journal = FiscalModel::journalPath(path);
    m->applyPreset(QStringLiteral("ready"));
    QCOMPARE(run(0x11, start()), quint8(0));
    QCOMPARE(run(0x12), quint8(0));
    // The single file of earlier versions, archive inside.
    QVERIFY(writeFile(path, QJsonDocument(m->toJson()).toJson()));
    FiscalModel b;
    b.setHostClock(hostNow);
    QVERIFY(b.loadFromFile(path));
    QCOMPARE(b.toJson(), m->toJson());
    b.keepStateIn(path);

    // Reads write nothing.
    const QByteArray single = readFile(path);
    QCOMPARE(b.execute(0x30, {}).code, quint8(0));
    QCOMPARE(b.execute(0x3A, cashier()).code, quint8(0));
    QCOMPARE(readFile(path), single);
    QVERIFY(!QFile::exists(journal));

    // The first change carries the archive over into the journal, one document a line.
    QCOMPARE(b.execute(0xA2, start()).code, quint8(0));
    QCOMPARE(readFile(journal).count('\n'), 2);
    QVERIFY(!QJsonDocument::fromJson(readFile(path)).object().contains(QStringLiteral("archive")));
    const QByteArray carried = readFile(journal);
    QCOMPARE(b.execute(0xA3, le(5000, 8)).code, quint8(0));
    QVERIFY(readFile(journal).startsWith(carried));
    QCOMPARE(readFile(journal).count('\n'), 3);

    // A document appended just before a crash, the state file not yet replaced, is not taken.
    {
        QFile f(journal);
        QVERIFY(f.open(QIODevice::Append));
        f.write("{\"number\": 4, \"ty");
    }
    FiscalModel c;
    c.setHostClock(hostNow);
    QVERIFY(c.loadFromFile(path));
    QCOMPARE(c.toJson(), b.toJson());
    c.keepStateIn(path);
    QCOMPARE(c.execute(0xA4, start()).code, quint8(0));
    QCOMPARE(c.execute(0xA5, le(100, 8)).code, quint8(0));
    // The newest document is found where the save put it, without a reload.
    QCOMPARE(c.execute(0xB2, cashier() + le(4, 4)).code, quint8(0));
    FiscalModel d;
    d.setHostClock(hostNow);
    QString error;
    QVERIFY2(d.loadFromFile(path, &error), qPrintable(error));
    QCOMPARE(d.toJson(), c.toJson());
    QCOMPARE(readFile(journal).count('\n'), 4);

    // A journal that lost documents is refused, not taken short.
    QFile::resize(journal, carried.size());
    QVERIFY(!d.loadFromFile(path, &error));
    QVERIFY2(error.contains(QLatin1String("journal")), qPrintable(error));
}

void TstFiscalModel::failedSaveIsAFailure()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("state.json"));
    const QString journal = FiscalModel::journalPath(path);
    m->applyPreset(QStringLiteral("ready"));
    QVERIFY(m->saveToFile(path));
    m->keepStateIn(path);
    QCOMPARE(run(0x11, start()), quint8(0));
    m->takePrinted();

    // The journal cannot take the new document: the command fails and leaves no trace.
    QVERIFY(QFile::remove(journal));
    QVERIFY(QDir().mkdir(journal));
    const QJsonObject before = m->toJson();
    const QByteArray file = readFile(path);
    QCOMPARE(run(0x12), quint8(5));
    QVERIFY(last.payload.isEmpty());
    QCOMPARE(m->toJson(), before);
    QVERIFY(m->takePrinted().isEmpty());
    QCOMPARE(readFile(path), file);
    QVERIFY(!m->lastStoreError().isEmpty());

    // Once the disk takes it again, so does the register, and the file holds all of it.
    QVERIFY(QDir().rmdir(journal));
    QCOMPARE(run(0x12), quint8(0));
    QVERIFY(m->lastStoreError().isEmpty());
    FiscalModel b;
    QVERIFY(b.loadFromFile(path));
    QCOMPARE(b.toJson(), m->toJson());

    // The state file itself cannot be replaced: a settings write fails the same way.
    const QString moved = dir.filePath(QStringLiteral("moved.json"));
    QVERIFY(QFile::rename(path, moved));
    QVERIFY(QDir().mkdir(path));
    const QJsonObject open = m->toJson();
    QCOMPARE(run(0xC2, cashier() + le(1, 1) + le(60, 1)), quint8(5));
    QCOMPARE(m->toJson(), open);
}

// The journal is searched, not read: every document is found by its number among lines of
// different lengths, across shifts and gaps, and every number not there is not found.
void TstFiscalModel::journalFindsEveryDocument()
{
    m->applyPreset(QStringLiteral("ready"));
    for (int shift = 0; shift < 3; ++shift) {
        QCOMPARE(run(0x11, start()), quint8(0));
        QCOMPARE(run(0x12), quint8(0));
        for (int i = 0; i < 40; ++i) {
            if (i % 3 == 0) {
                QCOMPARE(run(0xA2, start()), quint8(0));
                QCOMPARE(run(0xA3, le(100 + i, 8)), quint8(0));
                continue;
            }
            QCOMPARE(run(0x15, receiptStart(0)), quint8(0));
            for (int k = 0; k < i % 7 + 1; ++k)
                QCOMPARE(run(0x07, item(k + 1, 1, 1000 + i, 100000)), quint8(0));
            QCOMPARE(run(0x16, pay(100000, 0)), quint8(0));
        }
        QCOMPARE(run(0x13, start()), quint8(0));
        QCOMPARE(run(0x14), quint8(0));
    }
    // Gaps, as a hand-edited file of earlier versions may have had: carried over into the journal.
    QJsonObject state = m->toJson();
    QJsonArray archive = state[QStringLiteral("archive")].toArray();
    QSet<int> kept;
    for (int i = archive.size() - 2; i > 0; --i)
        if (i % 5 == 2 || i % 11 == 0)
            archive.removeAt(i);
    for (const QJsonValue &v : archive)
        kept.insert(v.toObject()[QStringLiteral("number")].toInt());
    state[QStringLiteral("archive")] = archive;
    QString error;
    QVERIFY2(m->fromJson(state, &error), qPrintable(error));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("state.json"));
    QVERIFY(m->saveToFile(path));
    FiscalModel b;
    QVERIFY(b.loadFromFile(path));
    const int last = archive.last().toObject()[QStringLiteral("number")].toInt();
    for (int n = 0; n <= last + 1; ++n) {
        const FiscalModel::Result copy = b.execute(0xB2, cashier() + le(n, 4));
        const QList<int> printed = documentNumbers(b.takePrinted());
        QCOMPARE(int(copy.code), kept.contains(n) ? 0 : 17);
        QCOMPARE(printed, kept.contains(n) ? QList<int>{n} : QList<int>());
        // A control tape from any number starts at the first document there from it on.
        const FiscalModel::Result tape = b.execute(0x3A, cashier() + le(qMax(n, 1), 4));
        const QList<int> page = documentNumbers(b.takePrinted());
        if (n > last) {
            QCOMPARE(int(tape.code), 17);
            continue;
        }
        QCOMPARE(int(tape.code), 0);
        QVERIFY(!page.isEmpty() && kept.contains(page.first()) && page.first() >= n);
        for (int k = qMax(n, 1); k < page.first(); ++k)
            QVERIFY(!kept.contains(k));
    }
}

// Qt keeps one of two equal keys silently; the state file may not say two things at once.
void TstFiscalModel::keyGivenTwice_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("twice");
    QTest::newRow("at the top") << QByteArray("\"docsLeft\": ") << QByteArray("\"docsLeft\": 1, \"docsLeft\": ");
    QTest::newRow("in a counter") << QByteArray("\"cashInCount\": ")
                                  << QByteArray("\"cashInCount\": 1, \"cashInCount\": ");
    QTest::newRow("written with an escape")
        << QByteArray("\"docsLeft\": ") << QByteArray("\"docs\\u004ceft\": 1, \"docsLeft\": ");
}

void TstFiscalModel::keyGivenTwice()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, twice);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("state.json"));
    m->applyPreset(QStringLiteral("ready"));
    QVERIFY(m->saveToFile(path));
    QByteArray text = readFile(path);
    QVERIFY(text.contains(key));
    QVERIFY(writeFile(path, text.replace(key, twice)));
    FiscalModel b;
    QString error;
    QVERIFY(!b.loadFromFile(path, &error));
    QVERIFY2(error.contains(QLatin1String("twice")), qPrintable(error));
}

// A document is what was signed, whatever part of it was edited: a copy of it is refused with
// code 4 and its number, and nothing is printed; the documents beside it are still copied.
void TstFiscalModel::editedDocumentRefused_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QJsonValue>("value");
    QTest::newRow("its type") << "archive[2].type" << QJsonValue(6);
    QTest::newRow("its time") << "archive[2].time"
                              << QJsonValue(double(deviceSeconds(QDateTime(QDate(2026, 3, 2), QTime(9, 30)))));
    QTest::newRow("its sign") << "archive[2].sign" << QJsonValue(12345);
    QTest::newRow("a printed line") << "archive[2].lines[7]" << QJsonValue("СУММА =9.00");
    QTest::newRow("the printed sign") << "archive[2].lines[10]" << QJsonValue("ФД 3   ФП 1");
}

void TstFiscalModel::editedDocumentRefused()
{
    QFETCH(QString, path);
    QFETCH(QJsonValue, value);
    m->applyPreset(QStringLiteral("ready"));
    QCOMPARE(run(0x11, start()), quint8(0));
    QCOMPARE(run(0x12), quint8(0));
    QCOMPARE(run(0xA2, start()), quint8(0));
    QCOMPARE(run(0xA3, le(100, 8)), quint8(0));
    const QJsonObject good = m->toJson();
    QVERIFY(good["archive"].toArray().at(2).toObject()["lines"].toArray().at(10).toString().startsWith("ФД 3 "));
    QString error;
    QVERIFY2(m->fromJson(patched(good, path, value), &error), qPrintable(error));
    m->takePrinted();
    QCOMPARE(run(0xB2, cashier() + le(3, 4)), quint8(4));
    QCOMPARE(last.payload, le(3, 4));
    QVERIFY(m->lastStoreError().contains(QLatin1String("document 3")));
    QCOMPARE(run(0x3A, cashier() + le(1, 4)), quint8(4));
    QVERIFY(m->takePrinted().isEmpty());
    QCOMPARE(run(0xB2, cashier() + le(2, 4)), quint8(0));
    QCOMPARE(documentNumbers(m->takePrinted()), QList<int>{2});
}

QTEST_GUILESS_MAIN(TstFiscalModel)
#include "tst_fiscalmodel.moc"
