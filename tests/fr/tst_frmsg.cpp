#include <QtTest>

#include <QMetaType>
#include <QSet>
#include <QThread>

#include <memory>
#include <vector>

#include "frmsg.h"

namespace {
QStringList capturedWarnings;

void captureHandler(QtMsgType, const QMessageLogContext &, const QString &msg)
{
    capturedWarnings << msg;
}

QByteArray frame(quint8 code, quint32 unique, const QByteArray &payload)
{
    FsReq req(code, payload);
    req.setUnique(unique);
    return req.rawData();
}

QByteArray withBadCrc(QByteArray raw)
{
    raw[raw.size() - 1] = char(raw.at(raw.size() - 1) ^ 0x01);
    return raw;
}
} // namespace

class TestFrMsg : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void exampleFrame();
    void crc_data();
    void crc();
    void parse_data();
    void parse();
    void wrongCrcKeepsFields();
    void roundTrip_data();
    void roundTrip();
    void oversizedPayloadIsNotFramed();
    void signedCode_data();
    void signedCode();
    void defaults();
    void errorText_data();
    void errorText();
    void docResult_data();
    void docResult();
    void newUniqueNeverZeroNorRepeated();
    void newUniqueAcrossThreads();
    void deviceTime_data();
    void deviceTime();
    void metaTypes();
};

void TestFrMsg::initTestCase()
{
    // Parsing logs every frame as a hex dump; keep the output readable and let tests inspect it.
    qInstallMessageHandler(captureHandler);
}

void TestFrMsg::exampleFrame()
{
    FsReq req(0x33);
    req.setUnique(1);
    QCOMPARE(req.rawData(), QByteArray::fromHex("0405003301000000e11c"));

    FsRep rep;
    QCOMPARE(rep.setRawData(QByteArray::fromHex("0405003301000000e11c")), fs::Ok);
    QCOMPARE(rep.code(), quint8(0x33));
    QCOMPARE(rep.unique(), 1u);
    QVERIFY(!rep.hasData());
    QVERIFY(rep.isValid());
}

void TestFrMsg::crc_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("expected"); // -1: only compare the two forms

    QTest::newRow("check value") << QByteArray("123456789") << 0x29B1;
    QTest::newRow("empty") << QByteArray() << 0xFFFF;
    QTest::newRow("example frame body") << QByteArray::fromHex("05003301000000") << 0x1CE1;
    QByteArray all;
    for (int i = 0; i < 512; ++i)
        all.append(char(i * 7 + 3));
    QTest::newRow("all byte values") << all << -1;
}

void TestFrMsg::crc()
{
    QFETCH(QByteArray, data);
    QFETCH(int, expected);
    const Crc16 crc;
    const quint16 table = crc.calc(data, true);
    const quint16 bitwise = crc.calc(data, false);
    QCOMPARE(table, bitwise);
    if (expected >= 0)
        QCOMPARE(int(table), expected);
}

void TestFrMsg::parse_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("code");
    QTest::addColumn<uint>("unique");
    QTest::addColumn<QByteArray>("payload");

    // The reply starts with code 0x11 and unique 0x77 so that untouched fields show.
    QTest::newRow("empty payload") << frame(0x00, 0x12345678, QByteArray()) << int(fs::Ok) << 0 << 0x12345678u
                                   << QByteArray();
    QTest::newRow("with payload") << frame(0x05, 0xFFFFFFFF, "abc") << int(fs::Ok) << 5 << 0xFFFFFFFFu
                                  << QByteArray("abc");
    QTest::newRow("nine bytes") << frame(0x01, 2, QByteArray()).left(9) << int(fs::TooShort) << 0x11 << 0x77u
                                << QByteArray();
    QTest::newRow("nothing") << QByteArray() << int(fs::TooShort) << 0x11 << 0x77u << QByteArray();
    QByteArray wrongStart = frame(0x01, 2, QByteArray());
    wrongStart[0] = 0x05;
    QTest::newRow("start byte 05") << wrongStart << int(fs::WrongStartByte) << 0x11 << 0x77u << QByteArray();
    QByteArray len256 = QByteArray::fromHex("040001") + QByteArray(297, 'x');
    QTest::newRow("L=0x0100, 300 bytes") << len256 << int(fs::WrongLength) << 0x11 << 0x77u << QByteArray();
    QTest::newRow("one byte extra") << frame(0x01, 2, "z") + 'x' << int(fs::WrongLength) << 0x11 << 0x77u
                                    << QByteArray();
    const QByteArray big(0x8000 - 5, '\xA5');
    const QByteArray len8000 = frame(0x02, 3, big);
    QCOMPARE(len8000.size(), 32773);
    QTest::newRow("L=0x8000 read unsigned") << len8000 << int(fs::Ok) << 2 << 3u << big;
    QTest::newRow("L=0x8000 one short") << len8000.left(32772) << int(fs::WrongLength) << 0x11 << 0x77u << QByteArray();
}

void TestFrMsg::parse()
{
    QFETCH(QByteArray, raw);
    QFETCH(int, result);
    QFETCH(int, code);
    QFETCH(uint, unique);
    QFETCH(QByteArray, payload);

    FsRep rep;
    rep.setCode(0x11);
    rep.setUnique(0x77);
    rep.setData("stale");
    QCOMPARE(int(rep.setRawData(raw)), result);
    QCOMPARE(int(rep.parsingResult()), result);
    QCOMPARE(int(rep.code()), code);
    QCOMPARE(rep.unique(), unique);
    QCOMPARE(rep.data(), payload);
    QCOMPARE(rep.isValid(), result == fs::Ok);
}

void TestFrMsg::wrongCrcKeepsFields()
{
    const QByteArray raw = withBadCrc(frame(0x1B, 0xCAFE, "pay"));
    capturedWarnings.clear();
    FsRep rep;
    QCOMPARE(rep.setRawData(raw), fs::WrongCrc);
    QCOMPARE(rep.code(), quint8(0x1B));
    QCOMPARE(rep.unique(), 0xCAFEu);
    QCOMPARE(rep.data(), QByteArray("pay"));
    QVERIFY(!rep.isValid());
    QVERIFY(capturedWarnings.filter("CRC: ").size() == 1);
}

void TestFrMsg::roundTrip_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<uint>("unique");
    QTest::addColumn<int>("size");

    QTest::newRow("empty") << 0x10 << 1u << 0;
    QTest::newRow("one byte") << 0x00 << 0u << 1;
    QTest::newRow("1024") << 0x7F << 0x80000000u << 1024;
    QTest::newRow("code FD") << 0xFD << 0xFFFFFFFFu << 17;
    QTest::newRow("largest") << 0xFF << 42u << int(FsMsg::MaxPayloadSize);
}

void TestFrMsg::roundTrip()
{
    QFETCH(int, code);
    QFETCH(uint, unique);
    QFETCH(int, size);

    QByteArray payload(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        payload[i] = char((i * 31 + 7) & 0xFF);
    FsReq req(quint8(code), payload);
    req.setUnique(unique);
    const QByteArray raw = req.rawData();
    QCOMPARE(raw.size(), size + 10);

    FsRep rep;
    QCOMPARE(rep.setRawData(raw), fs::Ok);
    QCOMPARE(int(rep.code()), code);
    QCOMPARE(rep.unique(), unique);
    QCOMPARE(rep.data(), payload);
    QCOMPARE(rep.hasData(), size > 0);
}

void TestFrMsg::oversizedPayloadIsNotFramed()
{
    // A wrapped length field would frame something else entirely.
    FsReq req(0x01, QByteArray(FsMsg::MaxPayloadSize + 1, 'x'));
    QVERIFY(req.rawData().isEmpty());
}

void TestFrMsg::signedCode_data()
{
    QTest::addColumn<int>("signedCode");
    QTest::addColumn<int>("unsignedCode");
    QTest::addColumn<QString>("text");

    QTest::newRow("-3") << -3 << 0xFD << QStringLiteral("ФР не отвечает");
    QTest::newRow("-4") << -4 << 0xFC << QStringLiteral("Ошибка разбора ответа от ФР");
    QTest::newRow("-1") << -1 << 0xFF << QStringLiteral("Неадекватная ошибка ФР");
    QTest::newRow("-2") << -2 << 0xFE << QString();
}

void TestFrMsg::signedCode()
{
    QFETCH(int, signedCode);
    QFETCH(int, unsignedCode);
    QFETCH(QString, text);

    FsRep rep;
    QCOMPARE(rep.setRawData(frame(quint8(qint8(signedCode)), 9, QByteArray())), fs::Ok);
    QCOMPARE(int(rep.code()), unsignedCode);
    QCOMPARE(rep.errorText(), text);
    QCOMPARE(::errorText(quint8(qint8(signedCode))), text);
    QCOMPARE(rep.isValid(), unsignedCode != CoreApiConst::NoAnswer);
}

void TestFrMsg::defaults()
{
    FsRep rep;
    QCOMPARE(rep.parsingResult(), fs::NotParsed);
    QCOMPARE(rep.code(), quint8(0x7F));
    QVERIFY(!rep.isValid());
    FsReq req;
    QCOMPARE(req.code(), quint8(0x7F));
    QVERIFY(req.isValid());
    QVERIFY(!req.hasData());

    // A reply preset with "no answer" keeps it through copies.
    rep.setCode(CoreApiConst::NoAnswer);
    const FsRep copy = rep;
    QCOMPARE(copy.code(), quint8(0xFD));
    QCOMPARE(copy.parsingResult(), fs::NotParsed);
}

void TestFrMsg::errorText_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");

    const QStringList texts = {
        "Успешный ответ",
        "Не передан UNIQUE (передан 0)",
        "Не передана команда (передан 0)",
        "Ошибка формирования документа/некорректный документ",
        "Ошибка формирования хранимой структуры документа",
        "Ошибка записи/чтения хранилища",
        "Хранилище заполнено",
        "Документ слишком большой",
        "Ошибка обработки команды ядром ФР",
        "CRC переданной команды не совпадает с расчетным значением",
        "Команда не поддерживается",
        "Некорректная длина команды",
        "Ошибка обмена (передан нечитаемый мусор)",
        "Не установлен ЗН ФР",
        "Передан неподдерживаемый реквизит или переданный реквизит имеет некорректную структуру",
        "В ФР не установлена SD карта",
        "Доступ запрещен (у кассира нет соответствующих прав)",
        "Нет запрашиваемых данных",
        "Ошибка авторизации (нет такого кассира или пароль не совпадает)",
        "Некорректный формат переданной команды",
        "Передан неподдерживаемый тип справочника",
        "Ошибка записи объекта в справочник или настроек",
        "Переданы некорректные данные в команде",
        "В ФР установлена некорректная дата или некорректная дата передана в команде установки даты. Дата в ФР "
        "не должна быть меньше даты сборки ПО и даты последнего документа.",
        "Заводской номер уже установлен. Для записи другого ЗН необходимо тех. обнуление.",
        "Ошибка доступа к EEPROM памяти",
        "Команда может быть выполнена только при закрытой смене",
        "Команда может быть выполнена только в открытой смене",
        "Команда может быть выполнена только в отсутствии открытого документа",
        "Команда может быть выполнена только при наличии открытого документа",
        "Команда может быть выполнена только для открытого документа другого типа или передан неподдерживаемый "
        "тип отчета в команде печати отчетов",
        "Архив закрыт. Формирование документов более не доступно.",
        "В ФР установлена SD карта, активированная в составе другого ФР.",
        "Исчерпан лимит перерегистраций ФН",
        "В документ передан неподдерживаемый реквизит",
        "В документ передан реквизит с невалидным значением",
        "Ошибка формирование подписи документа",
        "В документе отсутствует обязательный реквизит",
        "ФР не активирован",
        "Некорректное ФИО кассира",
        "Недостаточно наличных средств в кассе для выполнения расходной операции",
        "Превышен лимит внесения",
        "Передан некорректный тип чека",
        "Передан некорректный номер отдела",
        "Передан некорректный номер скидки",
        "Передан некорректный номер налога",
        "Передана некорректная позиция чека",
        "Недостаточно средств для закрытия чека (общая сумма средств, переданная в команде закрытия чека, "
        "меньше итога чека)",
        "Общая сумма средств, переданная в команде закрытия чека, больше суммы по чеку (актуально для оплат "
        "безналом и для чеков покупок и возвратов; при оплате чеков продаж наличными рассчитывается сдача)",
        "Превышен придел суммы по чеку",
        "Превышен лимит чеков внутри смены",
        "Смена превысила 24 часа",
        "Необходимо оформить изъятие наличных",
        "Принтер не отвечает",
        "Закончилась бумага в принтере",
    };
    QCOMPARE(texts.size(), 55);
    for (int code = 0; code < texts.size(); ++code)
        QTest::newRow(qPrintable(QString::number(code))) << code << texts.at(code);
    QTest::newRow("55") << 55 << QString();
    QTest::newRow("100") << 100 << QString();
    QTest::newRow("251") << 251 << QString();
    QTest::newRow("252") << 252 << QStringLiteral("Ошибка разбора ответа от ФР");
    QTest::newRow("253") << 253 << QStringLiteral("ФР не отвечает");
    QTest::newRow("254") << 254 << QString();
    QTest::newRow("255") << 255 << QStringLiteral("Неадекватная ошибка ФР");
}

void TestFrMsg::errorText()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QCOMPARE(::errorText(quint8(code)), text);
    FsRep rep;
    rep.setCode(quint8(code));
    QCOMPARE(rep.errorText(), text);
}

void TestFrMsg::docResult_data()
{
    QTest::addColumn<QByteArray>("raw"); // empty: never parsed
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("fd");
    QTest::addColumn<uint>("fp");

    QTest::newRow("not parsed") << QByteArray() << int(fs::NotParsed) << 0 << 0u;
    QTest::newRow("bad crc") << withBadCrc(frame(0, 1, QByteArray(8, '\1'))) << int(fs::WrongCrc) << 0 << 0u;
    QTest::newRow("7 bytes") << frame(0, 1, QByteArray(7, '\1')) << int(fs::WrongLength) << 0 << 0u;
    QTest::newRow("signed fd") << frame(0, 1, QByteArray::fromHex("ffffffffefbeadde")) << int(fs::Ok) << -1
                               << 0xDEADBEEFu;
    QTest::newRow("longer payload") << frame(0, 1, QByteArray::fromHex("2a00000001000000ffff")) << int(fs::Ok) << 42
                                    << 1u;
}

void TestFrMsg::docResult()
{
    QFETCH(QByteArray, raw);
    QFETCH(int, result);
    QFETCH(int, fd);
    QFETCH(uint, fp);

    FsRep rep;
    if (!raw.isEmpty())
        rep.setRawData(raw);
    qint32 outFd = 77;
    quint32 outFp = 77;
    QCOMPARE(int(rep.getDocResult(outFd, outFp)), result);
    QCOMPARE(outFd, fd);
    QCOMPARE(outFp, fp);
}

void TestFrMsg::newUniqueNeverZeroNorRepeated()
{
    // Far more requests than milliseconds pass: the clock alone would repeat itself.
    const int count = 200000;
    QSet<quint32> seen;
    seen.reserve(count);
    FsReq req;
    FsRep other;
    quint32 previous = 0;
    for (int i = 0; i < count; ++i) {
        const quint32 u = (i % 2) ? req.newUnique() : other.newUnique();
        QVERIFY(u != 0);
        QVERIFY(u != previous);
        previous = u;
        seen.insert(u);
    }
    QCOMPARE(seen.size(), count);
    QCOMPARE(req.unique() == previous || other.unique() == previous, true);
}

void TestFrMsg::newUniqueAcrossThreads()
{
    const int perThread = 50000;
    std::vector<std::vector<quint32>> results(2);
    std::vector<std::unique_ptr<QThread>> threads;
    for (auto &out : results) {
        threads.emplace_back(QThread::create([&out] {
            FsReq req;
            out.reserve(perThread);
            for (int i = 0; i < perThread; ++i)
                out.push_back(req.newUnique());
        }));
    }
    for (auto &t : threads)
        t->start();
    for (auto &t : threads)
        QVERIFY(t->wait(60000));
    QSet<quint32> all;
    for (const auto &out : results)
        for (quint32 u : out) {
            QVERIFY(u != 0);
            all.insert(u);
        }
    QCOMPARE(all.size(), 2 * perThread);
}

void TestFrMsg::deviceTime_data()
{
    QTest::addColumn<uint>("seconds");
    QTest::addColumn<QDate>("date");
    QTest::addColumn<QTime>("time");

    QTest::newRow("epoch") << 0u << QDate(1970, 1, 1) << QTime(0, 0);
    QTest::newRow("2024 noon") << 1718366400u << QDate(2024, 6, 14) << QTime(12, 0);
    QTest::newRow("leap day") << 951825661u << QDate(2000, 2, 29) << QTime(12, 1, 1);
    QTest::newRow("late 2105") << 4291790400u << QDate(2106, 1, 1) << QTime(12, 0);
}

void TestFrMsg::deviceTime()
{
    QFETCH(uint, seconds);
    QFETCH(QDate, date);
    QFETCH(QTime, time);

    const QDateTime dt = timeToDateTime(seconds);
    QCOMPARE(dt.timeSpec(), Qt::LocalTime);
    QCOMPARE(dt.date(), date);
    QCOMPARE(dt.time(), time);
    QCOMPARE(dateTimeToTime(QDateTime(date, time, Qt::LocalTime)), seconds);
}

void TestFrMsg::metaTypes()
{
    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back(QThread::create(registerFsMetaTypes));
    for (auto &t : threads)
        t->start();
    for (auto &t : threads)
        QVERIFY(t->wait(10000));
    registerFsMetaTypes();

    const int reqType = QMetaType::type("FsReq");
    const int repType = QMetaType::type("FsRep");
    QVERIFY(reqType != QMetaType::UnknownType);
    QVERIFY(repType != QMetaType::UnknownType);
    QCOMPARE(reqType, qMetaTypeId<FsReq>());

    FsRep rep;
    rep.setRawData(frame(0x16, 5, "x"));
    const QVariant v = QVariant::fromValue(rep);
    const FsRep back = v.value<FsRep>();
    QCOMPARE(back.code(), quint8(0x16));
    QCOMPARE(back.data(), QByteArray("x"));
    QCOMPARE(back.parsingResult(), fs::Ok);
}

QTEST_GUILESS_MAIN(TestFrMsg)
#include "tst_frmsg.moc"
