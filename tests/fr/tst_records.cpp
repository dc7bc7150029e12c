#include <QtTest>

#include <QDataStream>
#include <QLocale>

#include "frrecords.h"
#include "tlv.h"

namespace {

// Writes a little-endian value at a fixed offset, growing the buffer as needed, so that the
// payloads below follow the register's layout tables rather than the reading order of a parser.
template <typename T> void putAt(QByteArray &b, int offset, T v)
{
    if (b.size() < offset + int(sizeof(T)))
        b.append(QByteArray(offset + int(sizeof(T)) - b.size(), '\0'));
    for (int i = 0; i < int(sizeof(T)); ++i)
        b[offset + i] = char((quint64(v) >> (8 * i)) & 0xFF);
}

void putBytesAt(QByteArray &b, int offset, const QByteArray &bytes)
{
    if (b.size() < offset + bytes.size())
        b.append(QByteArray(offset + bytes.size() - b.size(), '\0'));
    b.replace(offset, bytes.size(), bytes);
}

// QByteArray::resize leaves new bytes undefined; replies are zero-padded explicitly.
QByteArray padded(const QByteArray &b, int size)
{
    return size <= b.size() ? b.left(size) : b + QByteArray(size - b.size(), '\0');
}

quint32 deviceSeconds(int y, int mo, int d, int h, int mi, int s)
{
    return quint32(QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC).toSecsSinceEpoch());
}

QString html(const QStringList &lines)
{
    return QStringLiteral("<p><pre>\n") + lines.join(QLatin1Char('\n')).toHtmlEscaped() +
           QStringLiteral("\n\n\n</pre></p>");
}

// The console's form of the same lines: dates in ISO 8601 and nothing after a line's last character.
QString text(QStringList lines)
{
    static const QRegularExpression date(QStringLiteral("([0-9]{2})\\.([0-9]{2})\\.([0-9]{4}) "));
    for (QString &line : lines) {
        line.replace(date, QStringLiteral("\\3-\\2-\\1T"));
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
    }
    return lines.join(QLatin1Char('\n'));
}

QByteArray statusPayload(quint16 flags, qint8 count = 1, qint8 limit = 3, quint8 openDoc = 0)
{
    QByteArray b(FrStatus::Size, '\0');
    putBytesAt(b, 0, "0000012345");
    putAt(b, 10, flags);
    putAt(b, 12, count);
    putAt(b, 13, limit);
    putAt(b, 14, qint16(12));
    putAt(b, 16, qint32(345));
    putAt(b, 20, deviceSeconds(2024, 3, 5, 14, 7, 9));
    putAt(b, 24, qint16(17));
    putAt(b, 26, openDoc);
    putAt(b, 27, qint32(99000));
    return b;
}

QString lineStartingWith(const QString &text, const QString &prefix)
{
    for (const QString &line : text.split(QLatin1Char('\n')))
        if (line.startsWith(prefix))
            return line;
    return QString();
}

// Wire form of one Counters operation group (93 bytes) at the given offset.
void putGroup(QByteArray &b, int offset, quint8 kind, qint32 count, qint64 sum, qint64 cash, qint64 cashless,
              qint64 taxBase = 0)
{
    putAt(b, offset, kind);
    putAt(b, offset + 1, count);
    putAt(b, offset + 5, sum);
    putAt(b, offset + 13, cash);
    putAt(b, offset + 21, cashless);
    for (int n = 0; n < 5; ++n)
        putAt(b, offset + 53 + 8 * n, qint64(taxBase + n));
}

QByteArray countersHead(qint32 receipts)
{
    QByteArray b;
    putAt(b, 0, qint16(7));
    putAt(b, 2, qint16(2));
    putAt(b, 4, qint16(1));
    putAt(b, 6, qint64(150000));
    putAt(b, 14, qint64(2500));
    putAt(b, 22, receipts);
    putAt(b, 26, qint64(147500));
    return b;
}

} // namespace

class TestRecords : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void frStatusSize_data();
    void frStatusSize();
    void frStatusFlags_data();
    void frStatusFlags();
    void frStatusActivations_data();
    void frStatusActivations();
    void frStatusWhole();

    void serialInfo();

    void cycleStatus_data();
    void cycleStatus();

    void taxEntryName_data();
    void taxEntryName();
    void taxEntryTlv();

    void regDataTexts_data();
    void regDataTexts();
    void regDataTaxes_data();
    void regDataTaxes();
    void regDataHtml();

    void countersParseSize_data();
    void countersParseSize();
    void countersHtml_data();
    void countersHtml();
    void countersKinds_data();
    void countersKinds();
    void totalCounters();
    void sectionCounters();
};

void TestRecords::initTestCase()
{
    // Sums are shown with the locale's decimal point; pin it so the expected texts are stable.
    QLocale::setDefault(QLocale::c());
}

void TestRecords::frStatusSize_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("ok");
    QTest::newRow("30") << 30 << false;
    QTest::newRow("31") << 31 << true;
    QTest::newRow("32") << 32 << false;
    QTest::newRow("empty") << 0 << false;
}

void TestRecords::frStatusSize()
{
    QFETCH(int, size);
    QFETCH(bool, ok);
    QByteArray payload = statusPayload(0x0001);
    payload = padded(payload, size);
    FrStatus st;
    st.cycleNumber = 555;
    QCOMPARE(st.parse(payload), ok);
    if (ok) {
        QCOMPARE(st.factoryNumber, QStringLiteral("0000012345"));
        QCOMPARE(st.cycleNumber, qint16(12));
        QCOMPARE(st.lastDocNumber, 345);
        QCOMPARE(st.lastReceiptNumber, qint16(17));
        QCOMPARE(st.docsLeft, 99000);
        QCOMPARE(st.lastDocDate().toString(QStringLiteral("dd.MM.yyyy hh:mm:ss")),
                 QStringLiteral("05.03.2024 14:07:09"));
        QCOMPARE(st.lastDocDate().timeSpec(), Qt::LocalTime);
    } else {
        QCOMPARE(st.cycleNumber, qint16(555)); // a refused payload changes nothing
    }
}

void TestRecords::frStatusFlags_data()
{
    QTest::addColumn<quint16>("flags");
    QTest::addColumn<QStringList>("lines");
    const QStringList allClear{
        "ЕСТЬ SD КАРТА: НЕТ",   "АКТИВИРОВАНА: НЕТ",         "ЧУЖАЯ SD КАРТА: НЕТ", "СМЕНА ОТКРЫТА: НЕТ",
        "АРХИВ В ПОРЯДКЕ: НЕТ", "АРХИВ ЗАКРЫТ: НЕТ",         "ОШИБКА EEPROM: НЕТ",  "ПРИНТЕР НА СВЯЗИ: ДА",
        "БУМАГА ЕСТЬ: ДА",      "БУМАГА ЗАКАНЧИВАЕТСЯ: НЕТ",
    };
    QTest::newRow("none") << quint16(0) << allClear;
    const struct
    {
        const char *name;
        quint16 bit;
        int line;
        const char *text;
    } bits[] = {
        {"sd", 0x0001, 0, "ЕСТЬ SD КАРТА: ДА"},           {"activated", 0x0002, 1, "АКТИВИРОВАНА: ДА"},
        {"foreign sd", 0x0004, 2, "ЧУЖАЯ SD КАРТА: ДА"},  {"shift", 0x0008, 3, "СМЕНА ОТКРЫТА: ДА"},
        {"archive ok", 0x0010, 4, "АРХИВ В ПОРЯДКЕ: ДА"}, {"archive closed", 0x0020, 5, "АРХИВ ЗАКРЫТ: ДА"},
        {"eeprom", 0x0040, 6, "ОШИБКА EEPROM: ДА"},       {"printer silent", 0x1000, 7, "ПРИНТЕР НА СВЯЗИ: НЕТ"},
        {"no paper", 0x4000, 8, "БУМАГА ЕСТЬ: НЕТ"},      {"paper low", 0x2000, 9, "БУМАГА ЗАКАНЧИВАЕТСЯ: ДА"},
    };
    for (const auto &b : bits) {
        QStringList lines = allClear;
        lines[b.line] = QString::fromUtf8(b.text);
        QTest::newRow(b.name) << b.bit << lines;
    }
    QStringList sdAndPrinter = allClear;
    sdAndPrinter[0] = "ЕСТЬ SD КАРТА: ДА";
    sdAndPrinter[7] = "ПРИНТЕР НА СВЯЗИ: НЕТ";
    QTest::newRow("bits 0 and 12") << quint16(0x1001) << sdAndPrinter;
    // Unused bits must not leak into any line.
    QTest::newRow("unused bits") << quint16(0x8F80) << allClear;
}

void TestRecords::frStatusFlags()
{
    QFETCH(quint16, flags);
    QFETCH(QStringList, lines);
    FrStatus st;
    QVERIFY(st.parse(statusPayload(flags)));
    const QStringList rendered = toHtml(st).split(QLatin1Char('\n'));
    QCOMPARE(rendered.mid(2, 10), lines);
}

void TestRecords::frStatusActivations_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QString>("line");
    QTest::newRow("left 2") << 1 << 3 << "АКТИВАЦИЙ 1 / 3 (ДОСТУПНО 2)";
    QTest::newRow("none left") << 4 << 4 << "АКТИВАЦИЙ 4 / 4 (ДОСТУПНО 0)";
    QTest::newRow("over limit wraps") << 3 << 2 << "АКТИВАЦИЙ 3 / 2 (ДОСТУПНО 255)";
}

void TestRecords::frStatusActivations()
{
    QFETCH(int, count);
    QFETCH(int, limit);
    QFETCH(QString, line);
    FrStatus st;
    QVERIFY(st.parse(statusPayload(0, qint8(count), qint8(limit))));
    QCOMPARE(lineStartingWith(toHtml(st), QStringLiteral("АКТИВАЦИЙ")), line);
}

void TestRecords::frStatusWhole()
{
    FrStatus st;
    QVERIFY(st.parse(statusPayload(0x001B)));
    const QStringList head{
        "ЗН ККТ: 0000012345",
        "ЕСТЬ SD КАРТА: ДА",
        "АКТИВИРОВАНА: ДА",
        "ЧУЖАЯ SD КАРТА: НЕТ",
        "СМЕНА ОТКРЫТА: ДА",
        "АРХИВ В ПОРЯДКЕ: ДА",
        "АРХИВ ЗАКРЫТ: НЕТ",
        "ОШИБКА EEPROM: НЕТ",
        "ПРИНТЕР НА СВЯЗИ: ДА",
        "БУМАГА ЕСТЬ: ДА",
        "БУМАГА ЗАКАНЧИВАЕТСЯ: НЕТ",
        "АКТИВАЦИЙ 1 / 3 (ДОСТУПНО 2)",
        "СМЕНА: 12",
        "НОМЕР ПОСЛЕДНЕГО ДОКУМЕНТА 345",
        "ДАТА ПОСЛЕДНЕГО ДОКУМЕНТА 05.03.2024 14:07:09",
        "НОМЕР ПОСЛЕДНЕГО ЧЕКА 17",
        "ДОСТУПНО ЕЩЕ ДОКУМЕНТОВ: 99000",
    };
    QCOMPARE(toHtml(st), html(head));
    QCOMPARE(toText(st), text(head));
    QVERIFY(toText(st).contains(QStringLiteral("\nДАТА ПОСЛЕДНЕГО ДОКУМЕНТА 2024-03-05T14:07:09\n")));

    QVERIFY(st.parse(statusPayload(0x001B, 1, 3, 3)));
    QCOMPARE(toHtml(st), html(QStringList(head) << "ОТКРЫТ ДОКУМЕНТ: 3"));
    QCOMPARE(toText(st), text(QStringList(head) << "ОТКРЫТ ДОКУМЕНТ: 3"));
}

void TestRecords::serialInfo()
{
    QByteArray payload;
    putAt(payload, 0, quint16(0x00A1));
    putBytesAt(payload, 2, QByteArray("00000042\0\0", 10));
    // The model name arrives padded with zeros and blanks, zeros even in the middle.
    putBytesAt(payload, 12, QByteArray("  \x82\x88\x90\0\x92\x80 ", 10)); // "  ВИР" 0 "ТА "
    payload = padded(payload, 44);

    SerialInfo info;
    QVERIFY(info.parse(payload));
    QCOMPARE(info.modelCode, quint16(0x00A1));
    QCOMPARE(info.factoryNumber, QStringLiteral("00000042"));
    QCOMPARE(info.modelName, QStringLiteral("ВИРТА"));
    QCOMPARE(toHtml(info), html({"Модель: 00a1H / ВИРТА", "ЗН ККТ: 00000042 "}));
    QCOMPARE(toText(info), QStringLiteral("Модель: 00a1H / ВИРТА\nЗН ККТ: 00000042"));

    // A short reply is read as far as it goes.
    QVERIFY(info.parse(payload.left(5)));
    QCOMPARE(info.modelCode, quint16(0x00A1));
    QCOMPARE(info.factoryNumber, QStringLiteral("000"));
    QCOMPARE(info.modelName, QString());
}

void TestRecords::cycleStatus_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QStringList>("lines");

    const quint32 opened = deviceSeconds(2024, 3, 5, 8, 0, 1);
    const quint32 closed = deviceSeconds(2024, 3, 5, 20, 30, 0);
    QByteArray closedShift;
    putAt(closedShift, 0, qint8(0));
    putAt(closedShift, 1, qint16(4));
    putAt(closedShift, 3, qint16(12));
    putAt(closedShift, 5, qint32(100));
    putAt(closedShift, 9, opened);
    putAt(closedShift, 13, qint32(115));
    putAt(closedShift, 17, closed);
    putAt(closedShift, 21, qint64(123456));
    QTest::newRow("closed shift") << closedShift
                                  << QStringList{"ОТКРЫТА: НЕТ",
                                                 "НОМЕР СМЕНЫ: 4",
                                                 "ЧЕКОВ 12",
                                                 "ОТКРЫТА 05.03.2024 08:00:01",
                                                 "ЗАКРЫТА 05.03.2024 20:30:00",
                                                 "НОМЕР ПЕРВОГО ДОКУМЕНТА 100",
                                                 "НОМЕР ПОСЛЕДНЕГО ДОКУМЕНТА 115",
                                                 "НАЛИЧНОСТЬ В КАССЕ 1234.56"};

    QByteArray openShift = closedShift;
    putAt(openShift, 0, qint8(1));
    QTest::newRow("open shift") << openShift
                                << QStringList{"ОТКРЫТА: ДА",
                                               "НОМЕР СМЕНЫ: 4",
                                               "ЧЕКОВ 12",
                                               "ОТКРЫТА 05.03.2024 08:00:01",
                                               "НОМЕР ПЕРВОГО ДОКУМЕНТА 100",
                                               "НОМЕР ПОСЛЕДНЕГО ДОКУМЕНТА 115",
                                               "НАЛИЧНОСТЬ В КАССЕ 1234.56"};

    QTest::newRow("never a shift") << QByteArray(29, '\0') << QStringList{"ОТКРЫТА: НЕТ", "НОМЕР СМЕНЫ: 0", "ЧЕКОВ 0"};
    // Missing bytes read as zero: only the flag and the number arrived.
    QTest::newRow("short reply") << openShift.left(3)
                                 << QStringList{"ОТКРЫТА: ДА",
                                                "НОМЕР СМЕНЫ: 4",
                                                "ЧЕКОВ 0",
                                                "ОТКРЫТА 01.01.1970 00:00:00",
                                                "НОМЕР ПЕРВОГО ДОКУМЕНТА 0",
                                                "НОМЕР ПОСЛЕДНЕГО ДОКУМЕНТА 0",
                                                "НАЛИЧНОСТЬ В КАССЕ 0.00"};
}

void TestRecords::cycleStatus()
{
    QFETCH(QByteArray, payload);
    QFETCH(QStringList, lines);
    CycleStatus st;
    QVERIFY(st.parse(payload));
    QCOMPARE(toHtml(st), html(lines));
    QCOMPARE(toText(st), text(lines));
}

void TestRecords::taxEntryName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("stored");
    QTest::newRow("short") << "НДС"
                           << "НДС";
    QTest::newRow("30 bytes") << QString(30, QChar(0x0416)) << QString(30, QChar(0x0416));
    QTest::newRow("31 bytes") << QString(31, 'x') << QString();
    QTest::newRow("empty") << QString() << QString();
}

void TestRecords::taxEntryName()
{
    QFETCH(QString, name);
    QFETCH(QString, stored);
    TaxEntry tax;
    tax.setName(QStringLiteral("old"));
    tax.setName(name);
    QCOMPARE(tax.nameText(), stored);
    const QList<Tlv> members = tax.toTlv(0).toList();
    QCOMPARE(members.size(), 3);
    QCOMPARE(members.at(2).tag(), quint16(13104));
    QCOMPARE(members.at(2).toString(), stored);
}

void TestRecords::taxEntryTlv()
{
    TaxEntry tax;
    QVERIFY(!tax.isValid()); // a new entry is the empty one
    QCOMPARE(tax.type(), quint8(3));
    tax.setType(1);
    tax.setRate(1800);
    tax.setName(QStringLiteral("НДС"));
    QVERIFY(tax.isValid());

    // 13107 with 18 bytes: type 1, rate 1800 (08 07), name НДС in CP866.
    QCOMPARE(tax.toTlv(2).rawData(), QByteArray::fromHex("33331200"
                                                         "2e33010001"
                                                         "2f3302000807"
                                                         "303303008d8491"));
    QVERIFY(!tax.toTlv(5).isValid());
    QVERIFY(tax.toTlv(5).rawData().isEmpty());
    QVERIFY(!tax.toTlv(-1).isValid());

    tax.clear();
    QCOMPARE(tax.type(), quint8(3));
    QCOMPARE(tax.rate(), quint16(0));
    QVERIFY(tax.nameText().isEmpty());
}

void TestRecords::regDataTexts_data()
{
    QTest::addColumn<quint16>("tag");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("stored");

    const struct
    {
        const char *name;
        quint16 tag;
        int width;
    } fields[] = {{"fiscal number", 11037, 16},
                  {"inn", 11018, 12},
                  {"organisation", 11048, 256},
                  {"organisation type", 11187, 256},
                  {"address", 11009, 256}};
    for (const auto &f : fields) {
        QTest::addRow("%s short", f.name) << f.tag << 5 << true;
        QTest::addRow("%s exact width", f.name) << f.tag << f.width << true;
        QTest::addRow("%s too long", f.name) << f.tag << f.width + 1 << false;
    }
}

void TestRecords::regDataTexts()
{
    QFETCH(quint16, tag);
    QFETCH(int, length);
    QFETCH(bool, stored);

    const auto text = [&](const RegData &d) {
        switch (tag) {
        case 11037:
            return d.fiscalNumberText();
        case 11018:
            return d.innText();
        case 11048:
            return d.organisationText();
        case 11187:
            return d.organisationTypeText();
        default:
            return d.addressText();
        }
    };

    RegData data;
    data.store(Tlv(tag, QStringLiteral("ПРЕЖНЕЕ")));
    QCOMPARE(text(data), QStringLiteral("ПРЕЖНЕЕ"));

    // Cyrillic letters are one CP866 byte each, so the length counts bytes on the wire.
    QString value;
    for (int i = 0; i < length; ++i)
        value += QChar(i % 2 ? 0x0410 + i % 32 : '0' + i % 10);
    data.store(Tlv(tag, value));
    QCOMPARE(text(data), stored ? value : QStringLiteral("ПРЕЖНЕЕ"));

    // A shorter text after a longer one leaves no tail of the old one.
    data.store(Tlv(tag, QStringLiteral("А")));
    QCOMPARE(text(data), QStringLiteral("А"));
}

void TestRecords::regDataTaxes_data()
{
    QTest::addColumn<QByteArray>("members"); // serialised records
    QTest::addColumn<bool>("replaces");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("rate");
    QTest::addColumn<QString>("name");

    const Tlv type1(quint16(13102), quint8(1));
    const Tlv rate20(quint16(13103), quint16(2000));
    const Tlv name(quint16(13104), QStringLiteral("НДС 20%"));
    QTest::newRow("complete") << tlvListToBytes({type1, rate20, name}) << true << 1 << 2000 << "НДС 20%";
    QTest::newRow("any order") << tlvListToBytes({name, rate20, type1}) << true << 1 << 2000 << "НДС 20%";
    QTest::newRow("type missing") << tlvListToBytes({rate20, name}) << true << 3 << 2000 << "НДС 20%";
    QTest::newRow("type masked to two bits")
        << tlvListToBytes({Tlv(quint16(13102), quint8(6)), rate20}) << true << 2 << 2000 << "";
    QTest::newRow("rate masked to 14 bits")
        << tlvListToBytes({type1, Tlv(quint16(13103), quint16(0xC3E8))}) << true << 1 << 1000 << "";
    QTest::newRow("name too long") << tlvListToBytes({type1, Tlv(quint16(13104), QString(31, 'n'))}) << true << 1 << 0
                                   << "";
    QTest::newRow("unknown member") << tlvListToBytes({type1, rate20, Tlv(quint16(1000), quint8(1))}) << false << 0 << 0
                                    << "";
}

void TestRecords::regDataTaxes()
{
    QFETCH(QByteArray, members);
    QFETCH(bool, replaces);
    QFETCH(int, type);
    QFETCH(int, rate);
    QFETCH(QString, name);

    RegData data;
    data.store(Tlv(quint16(13106), QList<Tlv>{Tlv(quint16(13102), quint8(0)), Tlv(quint16(13103), quint16(500)),
                                              Tlv(quint16(13104), QStringLiteral("ПРЕЖНИЙ"))}));
    const TaxEntry before = data.taxes[1];
    data.store(Tlv(quint16(13106), members));
    const TaxEntry &tax = data.taxes[1];
    if (!replaces) {
        QCOMPARE(tax.rateWord, before.rateWord);
        QCOMPARE(tax.nameText(), before.nameText());
    } else {
        QCOMPARE(int(tax.type()), type);
        QCOMPARE(int(tax.rate()), rate);
        QCOMPARE(tax.nameText(), name);
    }
    for (int n : {0, 2, 3, 4})
        QVERIFY(!data.taxes[n].isValid());
}

void TestRecords::regDataHtml()
{
    RegData data;
    const QStringList empty{"РЕГИСТРАЦИОННЫЕ ДАННЫЕ",
                            "ИНН: ",
                            "ФН (ФИСКАЛЬНЫЙ НОМЕР): ",
                            "ОРГАНИЗАЦИЯ: ",
                            "ТИП ОРГАНИЗАЦИИ: ",
                            "АДРЕС ",
                            "ДАТА РЕГИСТРАЦИИ 1970-01-01T00:00:00"};
    QCOMPARE(toHtml(data), html(empty));
    QCOMPARE(toText(data), text(empty));

    data.store(Tlv(quint16(11018), QStringLiteral("7701234567")));
    data.store(Tlv(quint16(11037), QStringLiteral("9999078900001234")));
    data.store(Tlv(quint16(11048), QStringLiteral("ООО \"РОМАШКА\"")));
    data.store(Tlv(quint16(11187), QStringLiteral("ОСН")));
    data.store(Tlv(quint16(11009), QStringLiteral("г. Москва, ул. Ленина, 1")));
    data.store(Tlv(quint16(11041), QStringLiteral("ignored")));
    data.store(Tlv(quint16(11012), deviceSeconds(2024, 1, 31, 9, 15, 0)));
    TaxEntry t1;
    t1.setType(1);
    t1.setRate(2000);
    t1.setName(QStringLiteral("НДС %1"));
    TaxEntry t4;
    t4.setType(0);
    t4.setRate(0);
    t4.setName(QStringLiteral("БЕЗ НДС"));
    TaxEntry badRate;
    badRate.setType(2);
    badRate.setRate(10000);
    data.store(t1.toTlv(0));
    data.store(badRate.toTlv(2));
    data.store(t4.toTlv(3));

    const QStringList full{"РЕГИСТРАЦИОННЫЕ ДАННЫЕ",
                           "ИНН: 7701234567",
                           "ФН (ФИСКАЛЬНЫЙ НОМЕР): 9999078900001234",
                           "ОРГАНИЗАЦИЯ: ООО \"РОМАШКА\"",
                           "ТИП ОРГАНИЗАЦИИ: ОСН",
                           "АДРЕС г. Москва, ул. Ленина, 1",
                           "ДАТА РЕГИСТРАЦИИ 2024-01-31T09:15:00",
                           "НАЛОГ 1 [НДС %1]: ПРОЦЕНТНАЯ СТАВКА 20.00%",
                           "НАЛОГ 4 [БЕЗ НДС]: ПРОЦЕНТНАЯ СТАВКА 0.00%"};
    QCOMPARE(toHtml(data), html(full));
    QCOMPARE(toText(data), text(full));

    // The console shows a name as the register keeps it: what looks like markup or a date stays.
    data.store(Tlv(quint16(11048), QStringLiteral("<b>ООО</b> &amp; Ко 01.02.2024 ")));
    QVERIFY2(toText(data).contains(QStringLiteral("\nОРГАНИЗАЦИЯ: <b>ООО</b> &amp; Ко 01.02.2024\n")),
             qPrintable(toText(data)));
    // The status pane shows it as it is too: the name is text, never markup.
    QVERIFY2(toHtml(data).contains(QStringLiteral("\nОРГАНИЗАЦИЯ: &lt;b&gt;ООО&lt;/b&gt; &amp;amp; Ко 01.02.2024 \n")),
             qPrintable(toHtml(data)));

    data.reset();
    QCOMPARE(data.innText(), QString());
    for (const TaxEntry &t : data.taxes)
        QCOMPARE(t.type(), quint8(3));
}

void TestRecords::countersParseSize_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("ok");
    QTest::newRow("empty") << 0 << true;
    QTest::newRow("300") << 300 << true;
    QTest::newRow("406") << 406 << true;
    QTest::newRow("424") << 424 << true;
    QTest::newRow("425") << 425 << false;
}

void TestRecords::countersParseSize()
{
    QFETCH(int, size);
    QFETCH(bool, ok);
    QByteArray payload = countersHead(4);
    putGroup(payload, 34, 0, 1, 100, 100, 0);
    putGroup(payload, 34 + 93, 1, 2, 200, 0, 200);
    putGroup(payload, 34 + 2 * 93, 2, 3, 300, 300, 0);
    putGroup(payload, 34 + 3 * 93, 3, 4, 400, 0, 400);
    QCOMPARE(payload.size(), Counters::WireSize);
    payload = padded(payload, size); // zero-filled past the layout

    Counters c;
    c.cycleNumber = 99;
    QCOMPARE(c.parse(payload), ok);
    if (!ok) {
        QCOMPARE(c.cycleNumber, qint16(99));
        return;
    }
    // A field that did not arrive whole reads as zero.
    const auto arrived = [size](int offset, int width) {
        return offset + width <= size;
    };
    for (int g = 0; g < 4; ++g) {
        const int at = 34 + g * 93;
        QCOMPARE(int(c.operations[g].kind), arrived(at, 1) ? g : 0);
        QCOMPARE(c.operations[g].count, arrived(at + 1, 4) ? g + 1 : 0);
        QCOMPARE(c.operations[g].sum, arrived(at + 5, 8) ? qint64(100 * (g + 1)) : 0);
        QCOMPARE(c.operations[g].taxSums[4], arrived(at + 85, 8) ? qint64(4) : 0);
    }
    QCOMPARE(c.cycleNumber, size ? qint16(7) : qint16(0));
    QCOMPARE(c.cashInDrawer, size ? qint64(147500) : 0);
}

void TestRecords::countersHtml_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QStringList>("cycleLines");

    const QStringList head{"ВНЕСЕНИЙ 2 НА СУММУ 1500.00", "ВЫПЛАТ 1 НА СУММУ 25.00", "НАЛИЧНОСТЬ В КАССЕ 1475.00"};

    QByteArray none = countersHead(0);
    // Sums without receipts are not shown: the count decides.
    putGroup(none, 34, 0, 0, 999, 999, 0);
    none = padded(none, Counters::WireSize);
    QTest::newRow("no receipts") << none << (QStringList(head) << "ЧЕКОВ 0");

    QByteArray two = countersHead(3);
    putGroup(two, 34, 0, 2, 30000, 10000, 20000, 100);
    putGroup(two, 34 + 93, 1, 0, 555, 555, 0); // count 0: skipped whatever its sums
    putGroup(two, 34 + 2 * 93, 2, 1, 5000, 5000, 0, 200);
    two = padded(two, Counters::WireSize);
    QStringList lines = QStringList(head) << "ЧЕКОВ 3"
                                          << "В ТОМ ЧИСЛЕ"
                                          << "ПРОДАЖ 2 НА СУММУ 300.00"
                                          << "    НАЛИЧНЫМИ 100.00"
                                          << "    БЕЗНАЛИЧНЫМИ 200.00";
    for (int n = 1; n <= 5; ++n)
        lines << QStringLiteral("НАЛОГ %1: СУММА НАЛОГА ИЛИ СУММА, С КОТОРОЙ НАЛОГ НЕ ВЗИМАЛСЯ, %2")
                     .arg(n)
                     .arg(FixNumber(100, qint64(100 + n - 1)).toString());
    lines << "ВОЗВРАТОВ ПРОДАЖ 1 НА СУММУ 50.00"
          << "    НАЛИЧНЫМИ 50.00"
          << "    БЕЗНАЛИЧНЫМИ 0.00";
    for (int n = 1; n <= 5; ++n)
        lines << QStringLiteral("НАЛОГ %1: СУММА НАЛОГА ИЛИ СУММА, С КОТОРОЙ НАЛОГ НЕ ВЗИМАЛСЯ, %2")
                     .arg(n)
                     .arg(FixNumber(100, qint64(200 + n - 1)).toString());
    QTest::newRow("sales and a return") << two << lines;
}

void TestRecords::countersHtml()
{
    QFETCH(QByteArray, payload);
    QFETCH(QStringList, cycleLines);
    Counters c;
    QVERIFY(c.parse(payload));
    const QStringList shift = QStringList{"СМЕННЫЕ ИТОГИ", "ЗА СМЕНУ 7"} + cycleLines;
    const QStringList fiscal = QStringList{"ИТОГИ С ПОСЛЕДНЕЙ ПЕРЕРЕГИСТРАЦИИ", "ВСЕГО СМЕН 7"} + cycleLines;
    QCOMPARE(cycleCountersHtml(c), html(shift));
    QCOMPARE(cycleCountersText(c), text(shift));
    QCOMPARE(fiscCountersHtml(c), html(fiscal));
    QCOMPARE(fiscCountersText(c), text(fiscal));
}

void TestRecords::countersKinds_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("line");
    QTest::newRow("sale") << 0 << "ПРОДАЖ 1 НА СУММУ 1.23";
    QTest::newRow("purchase") << 1 << "ПОКУПОК 1 НА СУММУ 1.23";
    QTest::newRow("sale return") << 2 << "ВОЗВРАТОВ ПРОДАЖ 1 НА СУММУ 1.23";
    QTest::newRow("purchase return") << 3 << "ВОЗВРАТОВ ПОКУПОК 1 НА СУММУ 1.23";
    QTest::newRow("unknown kind") << 9 << QString();
}

void TestRecords::countersKinds()
{
    QFETCH(int, kind);
    QFETCH(QString, line);
    // The kind byte decides the wording, not the group's position.
    QByteArray payload = countersHead(1);
    putGroup(payload, 34 + 3 * 93, quint8(kind), 1, 123, 123, 0);
    Counters c;
    QVERIFY(c.parse(payload));
    QStringList lines = cycleCountersHtml(c).split(QLatin1Char('\n'));
    const int at = lines.indexOf(QStringLiteral("В ТОМ ЧИСЛЕ"));
    QVERIFY(at > 0);
    lines = lines.mid(at + 1, line.isEmpty() ? 2 : 3);
    QStringList expected;
    if (!line.isEmpty())
        expected << line;
    expected << "    НАЛИЧНЫМИ 1.23"
             << "    БЕЗНАЛИЧНЫМИ 0.00";
    QCOMPARE(lines, expected);

    TotalCounters t;
    QByteArray total;
    putAt(total, 22, qint32(1));
    putAt(total, 26 + 3 * 53, quint8(kind));
    putAt(total, 26 + 3 * 53 + 1, qint32(1));
    putAt(total, 26 + 3 * 53 + 5, qint64(123));
    putAt(total, 26 + 3 * 53 + 13, qint64(123));
    total = padded(total, TotalCounters::WireSize);
    QVERIFY(t.parse(total));
    QCOMPARE(toHtml(t).split(QLatin1Char('\n')).mid(7, expected.size()), expected);
}

void TestRecords::totalCounters()
{
    QByteArray payload;
    putAt(payload, 0, qint16(40));
    putAt(payload, 2, qint16(5));
    putAt(payload, 4, qint16(6));
    putAt(payload, 6, qint64(700));
    putAt(payload, 14, qint64(800));
    putAt(payload, 22, qint32(9));
    for (int g = 0; g < 4; ++g) {
        const int at = 26 + g * 53;
        putAt(payload, at, quint8(g));
        putAt(payload, at + 1, qint32(g == 1 ? 0 : g + 1));
        putAt(payload, at + 5, qint64(1000 * (g + 1)));
        putAt(payload, at + 13, qint64(100 * (g + 1)));
        putAt(payload, at + 21, qint64(10 * (g + 1)));
        putAt(payload, at + 29, qint64(-1)); // unshown sums must not shift what follows
        putAt(payload, at + 37, qint64(-1));
        putAt(payload, at + 45, qint64(-1));
    }
    QCOMPARE(payload.size(), TotalCounters::WireSize);

    TotalCounters t;
    QVERIFY(t.parse(payload));
    const QStringList lines{"ГРОСС ИТОГИ",
                            "ВСЕГО СМЕН 40",
                            "ВНЕСЕНИЙ 5 НА СУММУ 7.00",
                            "ВЫПЛАТ 6 НА СУММУ 8.00",
                            "ЧЕКОВ 9",
                            "В ТОМ ЧИСЛЕ",
                            "ПРОДАЖ 1 НА СУММУ 10.00",
                            "    НАЛИЧНЫМИ 1.00",
                            "    БЕЗНАЛИЧНЫМИ 0.10",
                            "ВОЗВРАТОВ ПРОДАЖ 3 НА СУММУ 30.00",
                            "    НАЛИЧНЫМИ 3.00",
                            "    БЕЗНАЛИЧНЫМИ 0.30",
                            "ВОЗВРАТОВ ПОКУПОК 4 НА СУММУ 40.00",
                            "    НАЛИЧНЫМИ 4.00",
                            "    БЕЗНАЛИЧНЫМИ 0.40"};
    QCOMPARE(toHtml(t), html(lines));
    QCOMPARE(toText(t), text(lines));

    QVERIFY(t.parse(payload + QByteArray(18, '\0'))); // 256 bytes still parse
    TotalCounters untouched;
    untouched.cycleNumber = 3;
    QVERIFY(!untouched.parse(payload + QByteArray(19, '\0')));
    QCOMPARE(untouched.cycleNumber, qint16(3));
}

// Every department of every kind is listed, in the register's order, also where the reply's list
// ran short.
void TestRecords::sectionCounters()
{
    const SectionCounters c{
        {FixNumber(100, qint64(12345)), FixNumber(100, qint64(-50))}, {}, {FixNumber(100, qint64(7))}};
    const QString text = sectionCountersText(c);
    const QStringList lines = text.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 84);
    const QList<QPair<int, QString>> expected{
        {0, "ПРОДАЖИ"},           {1, "  ОТДЕЛ 1: 123.45"}, {2, "  ОТДЕЛ 2: -0.50"},  {3, "  ОТДЕЛ 3: 0.00"},
        {20, "  ОТДЕЛ 20: 0.00"}, {21, "ПОКУПКИ"},          {22, "  ОТДЕЛ 1: 0.00"},  {42, "ВОЗВРАТЫ ПРОДАЖ"},
        {43, "  ОТДЕЛ 1: 0.07"},  {63, "ВОЗВРАТЫ ПОКУПОК"}, {83, "  ОТДЕЛ 20: 0.00"},
    };
    for (const auto &line : expected)
        QCOMPARE(lines.at(line.first), line.second);
    QCOMPARE(sectionCountersHtml(c), QStringLiteral("<p><pre>\n") + text + QStringLiteral("\n</pre></p>"));
}

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
