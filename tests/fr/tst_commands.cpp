#include <QtTest>

#include <QTextCodec>

#include <functional>
#include <vector>
#include <mutex>

#include "emulatorfixture.h"
#include "emuserver.h"
#include "frconst.h"
#include "frwrapper.h"
#include "receiptitem.h"

using CoreApiConst::ErrorCode;

namespace {

constexpr int Cashier = 3;
constexpr qint32 Password = 0x01020304;
const QByteArray CashierBlock = QByteArray::fromHex("0304030201");

QByteArray cp866(const QString &text)
{
    return QTextCodec::codecForName("IBM866")->fromUnicode(text);
}

template <typename T> QByteArray le(T v)
{
    QByteArray b;
    for (int i = 0; i < int(sizeof(T)); ++i)
        b.append(char((quint64(v) >> (8 * i)) & 0xFF));
    return b;
}

quint32 deviceSeconds(const QDate &d, const QTime &t)
{
    return quint32(QDateTime(d, t, Qt::UTC).toSecsSinceEpoch());
}

// A register that answers what the test scripts, for replies the real one never gives: short,
// long, refused, corrupted or missing. It records what it received.
class ScriptedPeer : public EmuResponder
{
public:
    struct Answer
    {
        quint8 code = 0;
        QByteArray payload;
        bool corrupt = false; // wrong checksum
        bool silent = false;  // no reply at all
    };
    using Script = std::function<Answer(const FsReq &)>;

    explicit ScriptedPeer(Script script) : script_(std::move(script)) {}

    bool start()
    {
        QString error;
        if (!port_.openPty(&error) || !(server_ = std::make_unique<EmuPortServer>(this, &port_))->start(&error)) {
            qWarning() << "scripted peer:" << error;
            return false;
        }
        return true;
    }
    ~ScriptedPeer() override
    {
        if (server_)
            server_->stop();
    }
    QString path() const { return port_.path(); }
    QVector<FsReq> received() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

    QVector<EmuChunk> receive(const QByteArray &bytes, qint64) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        buffer_ += bytes;
        QVector<EmuChunk> out;
        for (;;) {
            const emu::RequestScan scan = emu::scanRequest(buffer_, FsMsg::MaxPayloadSize);
            buffer_.remove(0, scan.consumed);
            if (scan.kind == emu::RequestScan::NeedMore)
                break;
            if (scan.kind == emu::RequestScan::Repeat) {
                if (!last_.isEmpty())
                    out << EmuChunk{0, last_};
                continue;
            }
            FsReq req(scan.code, scan.payload);
            req.setUnique(scan.unique);
            received_ << req;
            const Answer a =
                scan.kind == emu::RequestScan::Request ? script_(req) : Answer{scan.error, {}, false, false};
            if (a.silent) {
                last_.clear();
                continue;
            }
            last_ = emu::replyFrame(a.code, scan.unique, a.payload);
            if (a.corrupt)
                last_[last_.size() - 1] = char(last_.at(last_.size() - 1) ^ 0x5A);
            out << EmuChunk{0, last_};
        }
        return out;
    }

private:
    Script script_;
    // A standard mutex, which ThreadSanitizer sees; QMutex orders inside the uninstrumented Qt library.
    mutable std::mutex mutex_;
    QByteArray buffer_;
    QByteArray last_;
    QVector<FsReq> received_;
    EmuPort port_;
    std::unique_ptr<EmuPortServer> server_;
};

// One command operation, with what it must put on the wire.
struct PayloadCase
{
    const char *name;
    std::function<int(FsWrapper &)> call;
    quint8 code;
    QByteArray payload;
    quint32 readTimeout;
};

std::vector<PayloadCase> payloadCases()
{
    const QByteArray tlv = QByteArray::fromHex("fd03050041424344");
    const QByteArray ivan = cp866(QStringLiteral("Иван"));
    const QString longName(300, QChar(0x0416));
    const QByteArray inn10 = QByteArray("7701234567") + QByteArray(2, '\0');
    const QByteArray reg16 = QByteArray("0000000001002345");
    const QDateTime clock(QDate(2024, 3, 5), QTime(14, 7, 9), Qt::LocalTime);

    auto docOut = [](auto f) {
        return [f](FsWrapper &fr) {
            qint16 cycle = 0, number = 0;
            qint32 fd = 0, fp = 0;
            QDateTime dt;
            FixNumber drawer, total, change;
            return f(fr, cycle, fd, fp, dt, drawer, number, total, change);
        };
    };

    return {
        {"cancelDoc", [](FsWrapper &fr) { return int(fr.cancelDoc()); }, 0x06, {}, 2000},
        {"sendDocData", [tlv](FsWrapper &fr) { return int(fr.sendDocData(tlv)); }, 0x07, tlv, 5000},
        {"startRegistration", [](FsWrapper &fr) { return int(fr.startRegistration(QStringLiteral("Иван"))); }, 0x08,
         CashierBlock + "\x04" + ivan, 5000},
        {"completeRegistration 10-digit inn",
         docOut([](FsWrapper &fr, qint16 &, qint32 &fd, qint32 &fp, QDateTime &dt, FixNumber &, qint16 &, FixNumber &,
                   FixNumber &) {
             return int(
                 fr.completeRegistration(QStringLiteral("7701234567"), QStringLiteral("0000000001002345"), fd, fp, dt));
         }),
         0x09, inn10 + reg16, 5000},
        {"completeRegistration fields cut",
         docOut([](FsWrapper &fr, qint16 &, qint32 &fd, qint32 &fp, QDateTime &dt, FixNumber &, qint16 &, FixNumber &,
                   FixNumber &) {
             return int(fr.completeRegistration(QStringLiteral("1234567890123"), QStringLiteral("ABCDEFGHIJKLMNOPQRST"),
                                                fd, fp, dt));
         }),
         0x09, QByteArray("123456789012ABCDEFGHIJKLMNOP"), 5000},
        {"preprintRegistration",
         [](FsWrapper &fr) {
             return int(fr.preprintRegistration(QStringLiteral("7701234567"), QStringLiteral("0000000001002345")));
         },
         0x20, inn10 + reg16, 5000},
        {"preprintRegistration empty", [](FsWrapper &fr) { return int(fr.preprintRegistration({}, {})); }, 0x20,
         QByteArray(28, '\0'), 5000},
        {"startArchiveClosing empty name", [](FsWrapper &fr) { return int(fr.startArchiveClosing({})); }, 0x18,
         CashierBlock + QByteArray(1, '\0'), 5000},
        {"completeArchiveClosing",
         docOut([](FsWrapper &fr, qint16 &, qint32 &fd, qint32 &fp, QDateTime &dt, FixNumber &, qint16 &, FixNumber &,
                   FixNumber &) { return int(fr.completeArchiveClosing(fd, fp, dt)); }),
         0x19,
         {},
         5000},
        {"startCycleOpening four letters",
         [](FsWrapper &fr) { return int(fr.startCycleOpening(QStringLiteral("Иван"))); }, 0x11,
         QByteArray::fromHex("03040302010488a2a0ad"), 5000},
        {"completeCycleOpening",
         docOut([](FsWrapper &fr, qint16 &c, qint32 &fd, qint32 &fp, QDateTime &dt, FixNumber &, qint16 &, FixNumber &,
                   FixNumber &) { return int(fr.completeCycleOpening(c, fd, fp, dt)); }),
         0x12,
         {},
         5000},
        {"startCycleClosing 300-byte name", [longName](FsWrapper &fr) { return int(fr.startCycleClosing(longName)); },
         0x13, CashierBlock + "\xff" + QByteArray(255, '\x86'), 5000},
        {"completeCycleClosing",
         docOut([](FsWrapper &fr, qint16 &c, qint32 &fd, qint32 &fp, QDateTime &dt, FixNumber &, qint16 &, FixNumber &,
                   FixNumber &) { return int(fr.completeCycleClosing(c, fd, fp, dt)); }),
         0x14,
         {},
         5000},
        {"startIntroduction", [](FsWrapper &fr) { return int(fr.startIntroduction(QStringLiteral("Иван"))); }, 0xA2,
         CashierBlock + "\x04" + ivan, 5000},
        {"completeIntroduction",
         docOut([](FsWrapper &fr, qint16 &c, qint32 &fd, qint32 &fp, QDateTime &dt, FixNumber &d, qint16 &, FixNumber &,
                   FixNumber &) {
             return int(fr.completeIntroduction(FixNumber(100, qint64(150000)), c, fd, fp, dt, d));
         }),
         0xA3, le(qint64(150000)), 5000},
        {"completeIntroduction three decimals",
         docOut([](FsWrapper &fr, qint16 &c, qint32 &fd, qint32 &fp, QDateTime &dt, FixNumber &d, qint16 &, FixNumber &,
                   FixNumber &) {
             return int(fr.completeIntroduction(FixNumber(1000, qint64(1500000)), c, fd, fp, dt, d));
         }),
         0xA3, le(qint64(150000)), 5000},
        {"startPayout", [](FsWrapper &fr) { return int(fr.startPayout(QStringLiteral("Иван"))); }, 0xA4,
         CashierBlock + "\x04" + ivan, 5000},
        {"completePayout",
         docOut([](FsWrapper &fr, qint16 &c, qint32 &fd, qint32 &fp, QDateTime &dt, FixNumber &d, qint16 &, FixNumber &,
                   FixNumber &) { return int(fr.completePayout(FixNumber(100, qint64(2500)), c, fd, fp, dt, d)); }),
         0xA5, le(qint64(2500)), 5000},
        {"startReceipt", [](FsWrapper &fr) { return int(fr.startReceipt(2, QStringLiteral("Иван"))); }, 0x15,
         CashierBlock + "\x02\x04" + ivan, 5000},
        {"completeReceipt",
         docOut([](FsWrapper &fr, qint16 &c, qint32 &fd, qint32 &fp, QDateTime &dt, FixNumber &, qint16 &n,
                   FixNumber &t, FixNumber &ch) {
             return int(fr.completeReceipt(FixNumber(100, qint64(10000)), FixNumber(100, qint64(-1)), c, fd, fp, n, dt,
                                           t, ch));
         }),
         0x16, le(qint64(10000)) + le(qint64(-1)), 5000},
        {"getOpenDocData",
         [](FsWrapper &fr) {
             quint8 t = 0;
             qint8 rt = 0;
             qint16 n = 0, ops = 0;
             FixNumber sum;
             return int(fr.getOpenDocData(t, rt, n, ops, sum));
         },
         0xB0,
         {},
         5000},
        {"getFrStatus",
         [](FsWrapper &fr) {
             FrStatus st;
             return int(fr.getFrStatus(st));
         },
         0x30,
         {},
         2000},
        {"getSerial",
         [](FsWrapper &fr) {
             SerialInfo i;
             return int(fr.getSerial(i));
         },
         0x31,
         {},
         2000},
        {"getFirmwareVersion",
         [](FsWrapper &fr) {
             QString v;
             return int(fr.getFirmwareVersion(v));
         },
         0x33,
         {},
         2000},
        {"writeSerial blanks around 42", [](FsWrapper &fr) { return int(fr.writeSerial(QStringLiteral(" 42 "))); },
         0x3F, CashierBlock + "0000000042", 2000},
        {"writeSerial ten digits", [](FsWrapper &fr) { return int(fr.writeSerial(QStringLiteral("9876543210"))); },
         0x3F, CashierBlock + "9876543210", 2000},
        {"getCycleStatus",
         [](FsWrapper &fr) {
             CycleStatus st;
             return int(fr.getCycleStatus(st));
         },
         0x10,
         {},
         2000},
        {"readRegParam",
         [](FsWrapper &fr) {
             Tlv t;
             return int(fr.readRegParam(11018, t));
         },
         0x44, QByteArray::fromHex("0a2b"), 5000},
        {"getCycleCounters",
         [](FsWrapper &fr) {
             Counters c;
             return int(fr.getCycleCounters(c));
         },
         0x36,
         {},
         5000},
        {"getFiscCounters",
         [](FsWrapper &fr) {
             Counters c;
             return int(fr.getFiscCounters(c));
         },
         0x37,
         {},
         5000},
        {"getTotalCounters",
         [](FsWrapper &fr) {
             TotalCounters c;
             return int(fr.getTotalCounters(c));
         },
         0x38,
         {},
         5000},
        {"getSectionCounters",
         [](FsWrapper &fr) {
             SectionCounters c;
             return int(fr.getSectionCounters(c));
         },
         0x39,
         {},
         5000},
        {"readCatalog",
         [](FsWrapper &fr) {
             QByteArray d;
             return int(fr.readCatalog(1, 5, d));
         },
         0x01, CashierBlock + "\x01\x05", 5000},
        {"writeCatalog", [tlv](FsWrapper &fr) { return int(fr.writeCatalog(2, tlv)); }, 0x02,
         CashierBlock + "\x02" + tlv, 5000},
        {"readDt",
         [](FsWrapper &fr) {
             QDateTime dt;
             return int(fr.readDt(dt));
         },
         0x03,
         {},
         5000},
        {"writeDt", [clock](FsWrapper &fr) { return int(fr.writeDt(clock)); }, 0x04,
         CashierBlock + le(deviceSeconds(clock.date(), clock.time())), 5000},
        {"readPrinterSettings",
         [](FsWrapper &fr) {
             QByteArray d;
             return int(fr.readPrinterSettings(1, d));
         },
         0xC1, CashierBlock + "\x01", 5000},
        {"writePrinterSettings", [tlv](FsWrapper &fr) { return int(fr.writePrinterSettings(2, tlv)); }, 0xC2,
         CashierBlock + "\x02" + tlv, 5000},
        {"readFrSettings",
         [](FsWrapper &fr) {
             QByteArray d;
             return int(fr.readFrSettings(3, d));
         },
         0x40, CashierBlock + "\x03", 5000},
        {"writeFrSettings", [tlv](FsWrapper &fr) { return int(fr.writeFrSettings(4, tlv)); }, 0x41,
         CashierBlock + "\x04" + tlv, 5000},
        {"printLine attributes cut to a byte",
         [](FsWrapper &fr) { return int(fr.printLine(1, 2, 3, 0x1FF, QStringLiteral("ТЕСТ"))); }, 0xC3,
         QByteArray::fromHex("010203ff") + cp866(QStringLiteral("ТЕСТ")), 5000},
        {"sendPrinterCmd", [](FsWrapper &fr) { return int(fr.sendPrinterCmd(QByteArray::fromHex("1b40"))); }, 0xC4,
         QByteArray::fromHex("1b40"), 5000},
        {"printerCut", [](FsWrapper &fr) { return int(fr.printerCut()); }, 0xC5, {}, 5000},
        {"printReport", [](FsWrapper &fr) { return int(fr.printReport(1, QByteArray::fromHex("0102"))); }, 0xB1,
         CashierBlock + QByteArray::fromHex("010102"), 5000},
        {"printDocCopy", [](FsWrapper &fr) { return int(fr.printDocCopy(57)); }, 0xB2, CashierBlock + le(qint32(57)),
         5000},
        {"printControlTape from the start",
         [](FsWrapper &fr) {
             int next = 0;
             return int(fr.printControlTape(0, next));
         },
         0x3A, CashierBlock, 60000},
        {"printControlTape from 57",
         [](FsWrapper &fr) {
             int next = 0;
             return int(fr.printControlTape(57, next));
         },
         0x3A, CashierBlock + le(qint32(57)), 60000},
    };
}

// Runs one operation against a scripted peer and describes what it handed back.
struct Outcome
{
    int rc = -1;
    QString outputs;
};

Outcome callAndDescribe(FsWrapper &fr, quint8 command)
{
    Outcome o;
    switch (command) {
    case 0x33: {
        QString v = QStringLiteral("unset");
        o.rc = fr.getFirmwareVersion(v);
        o.outputs = v;
        break;
    }
    case 0x39: {
        SectionCounters c{{FixNumber()}};
        o.rc = fr.getSectionCounters(c);
        QStringList parts;
        for (const QList<FixNumber> &list : c)
            parts << QStringLiteral("%1:%2..%3")
                         .arg(list.size())
                         .arg(list.value(0).toString(), list.value(list.size() - 1).toString());
        o.outputs = parts.join(QLatin1Char(' '));
        break;
    }
    case 0x30: {
        FrStatus st;
        st.factoryNumber = QStringLiteral("unset");
        o.rc = fr.getFrStatus(st);
        o.outputs = st.factoryNumber;
        break;
    }
    case 0x31: {
        SerialInfo info;
        info.factoryNumber = QStringLiteral("unset");
        o.rc = fr.getSerial(info);
        o.outputs = QStringLiteral("%1 %2 %3").arg(info.modelCode).arg(info.factoryNumber, info.modelName);
        break;
    }
    case 0x10: {
        CycleStatus st;
        st.cycleNumber = -1;
        o.rc = fr.getCycleStatus(st);
        o.outputs = QStringLiteral("%1 %2 %3").arg(int(st.isOpen)).arg(st.cycleNumber).arg(st.cash().toString());
        break;
    }
    case 0x36:
    case 0x37: {
        Counters c;
        c.cycleNumber = 99;
        o.rc = command == 0x36 ? fr.getCycleCounters(c) : fr.getFiscCounters(c);
        o.outputs = QStringLiteral("%1 %2").arg(c.cycleNumber).arg(c.operations[3].taxSums[4]);
        break;
    }
    case 0x38: {
        TotalCounters c;
        c.cycleNumber = 99;
        o.rc = fr.getTotalCounters(c);
        o.outputs = QString::number(c.cycleNumber);
        break;
    }
    case 0xB0: {
        quint8 t = 99;
        qint8 rt = 99;
        qint16 n = 99, ops = 99;
        FixNumber sum(100, qint64(99));
        o.rc = fr.getOpenDocData(t, rt, n, ops, sum);
        o.outputs = QStringLiteral("%1 %2 %3 %4 %5").arg(t).arg(rt).arg(n).arg(ops).arg(sum.toString());
        break;
    }
    case 0x12: {
        qint16 cycle = 99;
        qint32 fd = 99, fp = 99;
        QDateTime dt;
        o.rc = fr.completeCycleOpening(cycle, fd, fp, dt);
        o.outputs = QStringLiteral("%1 %2 %3 %4").arg(cycle).arg(fd).arg(fp).arg(dt.toString(Qt::ISODate));
        break;
    }
    case 0x16: {
        qint16 cycle = 99, number = 99;
        qint32 fd = 99, fp = 99;
        QDateTime dt;
        FixNumber total(100, qint64(99)), change(100, qint64(99));
        o.rc = fr.completeReceipt(FixNumber(100, qint64(100)), FixNumber(), cycle, fd, fp, number, dt, total, change);
        o.outputs = QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
                        .arg(cycle)
                        .arg(fd)
                        .arg(fp)
                        .arg(dt.toString(Qt::ISODate))
                        .arg(number)
                        .arg(total.toString(), change.toString());
        break;
    }
    case 0xA5: {
        qint16 cycle = 99;
        qint32 fd = 99, fp = 99;
        QDateTime dt;
        FixNumber drawer(100, qint64(99));
        o.rc = fr.completePayout(FixNumber(100, qint64(100)), cycle, fd, fp, dt, drawer);
        o.outputs = QStringLiteral("%1 %2 %3 %4 %5")
                        .arg(cycle)
                        .arg(fd)
                        .arg(fp)
                        .arg(dt.toString(Qt::ISODate), drawer.toString());
        break;
    }
    case 0x3A: {
        int next = 99;
        o.rc = fr.printControlTape(0, next);
        o.outputs = QString::number(next);
        break;
    }
    case 0x03: {
        QDateTime dt;
        o.rc = fr.readDt(dt);
        o.outputs = dt.toString(Qt::ISODate);
        break;
    }
    case 0x01: {
        QByteArray d("unset");
        o.rc = fr.readCatalog(1, 1, d);
        o.outputs = QString::fromLatin1(d.toHex());
        break;
    }
    case 0x44: {
        Tlv t(quint16(1), QByteArray("unset"));
        o.rc = fr.readRegParam(11048, t);
        o.outputs = QStringLiteral("%1 %2").arg(t.tag()).arg(QString::fromLatin1(t.value().toHex()));
        break;
    }
    default:
        qFatal("no description for command %02x", command);
    }
    return o;
}

QByteArray sectionPayload(int size)
{
    QByteArray b;
    for (int i = 0; i < 80; ++i)
        b += le(qint64(i + 1));
    return size <= b.size() ? b.left(size) : b + QByteArray(size - b.size(), '\0');
}

QByteArray zeros(int n)
{
    return QByteArray(n, '\0');
}

// Registration parameters as the register keeps them, keyed by tag.
QMap<quint16, Tlv> registration()
{
    TaxEntry vat;
    vat.setType(1);
    vat.setRate(2000);
    vat.setName(QStringLiteral("НДС 20%"));
    TaxEntry none;
    none.setType(0);
    none.setRate(0);
    none.setName(QStringLiteral("БЕЗ НДС"));
    QMap<quint16, Tlv> m;
    for (const Tlv &t :
         {Tlv(quint16(11018), QStringLiteral("7701234567")), Tlv(quint16(11037), QStringLiteral("9999078900001234")),
          Tlv(quint16(11048), QStringLiteral("ООО РОМАШКА")), Tlv(quint16(11187), QStringLiteral("ОСН")),
          Tlv(quint16(11009), QStringLiteral("Москва")), Tlv(quint16(11041), quint8(1)),
          Tlv(quint16(11012), deviceSeconds(QDate(2024, 1, 31), QTime(9, 15))), vat.toTlv(0), none.toTlv(4)})
        m.insert(t.tag(), t);
    return m;
}

} // namespace

class TestCommands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void payloads_data();
    void payloads();
    void writeSerialRefused_data();
    void writeSerialRefused();

    void replies_data();
    void replies();
    void readRegDataStops_data();
    void readRegDataStops();

    void endToEnd();
};

void TestCommands::initTestCase()
{
    registerFsMetaTypes();
    QLocale::setDefault(QLocale::c());
}

void TestCommands::payloads_data()
{
    QTest::addColumn<int>("index");
    const std::vector<PayloadCase> cases = payloadCases();
    for (int i = 0; i < int(cases.size()); ++i)
        QTest::newRow(cases[size_t(i)].name) << i;
}

void TestCommands::payloads()
{
    QFETCH(int, index);
    const PayloadCase c = payloadCases()[size_t(index)];

    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    FsWrapper fr;
    QVERIFY(fr.open(emu.devicePath()));
    fr.setCashier(Cashier);
    fr.setPassword(Password);
    QSignalSpy sent(&fr, &FsWrapper::sedReq);

    QSignalSpy texts(&fr, qOverload<QString>(&FsWrapper::showLog));
    const int rc = c.call(fr);
    QVERIFY2(rc != CoreApiConst::NoAnswer && rc != CoreApiConst::ParseError,
             qPrintable(QStringLiteral("result %1, %2 frames received, log: %3")
                            .arg(rc)
                            .arg(emu.requests().size())
                            .arg(texts.isEmpty() ? QString() : texts.last().at(0).toString())));

    const QVector<EmuRequestRecord> received = emu.requests();
    QCOMPARE(received.size(), 1);
    QCOMPARE(received.first().request.code(), c.code);
    QCOMPARE(received.first().request.data().toHex(), c.payload.toHex());

    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.first().at(1).value<quint32>(), c.readTimeout);
    QCOMPARE(sent.first().at(2).value<quint32>(), quint32(1000));
}

void TestCommands::writeSerialRefused_data()
{
    QTest::addColumn<QString>("serial");
    QTest::newRow("zero") << "0";
    QTest::newRow("zeros") << "0000000000";
    QTest::newRow("letters") << "12AB";
    QTest::newRow("eleven digits") << "12345678901";
    QTest::newRow("eleven with leading zero") << "01234567890";
    QTest::newRow("empty") << "";
    QTest::newRow("blanks") << "   ";
    QTest::newRow("negative") << "-42";
}

void TestCommands::writeSerialRefused()
{
    QFETCH(QString, serial);
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    FsWrapper fr;
    QVERIFY(fr.open(emu.devicePath()));
    QSignalSpy sent(&fr, &FsWrapper::sedReq);
    QCOMPARE(int(fr.writeSerial(serial)), int(CoreApiConst::WrongData));
    QCOMPARE(sent.size(), 0);
    QVERIFY(emu.requests().isEmpty());
}

void TestCommands::replies_data()
{
    QTest::addColumn<quint8>("command");
    QTest::addColumn<quint8>("replyCode");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("corrupt");
    QTest::addColumn<int>("rc");
    QTest::addColumn<QString>("outputs");

    const QByteArray fd7fp9 = le(qint32(7)) + le(qint32(9));
    const QByteArray when = le(deviceSeconds(QDate(2024, 3, 5), QTime(8, 0, 1)));

    QTest::newRow("version 3 bytes") << quint8(0x33) << quint8(0) << QByteArray::fromHex("0102c8") << false << 0
                                     << "1.2.200";
    QTest::newRow("version 2 bytes") << quint8(0x33) << quint8(0) << QByteArray::fromHex("0102") << false << 252 << "";
    QTest::newRow("version 4 bytes") << quint8(0x33) << quint8(0) << QByteArray::fromHex("01020304") << false << 252
                                     << "";
    QTest::newRow("version refused") << quint8(0x33) << quint8(10) << QByteArray::fromHex("010203") << false << 10
                                     << "";
    QTest::newRow("sections 640") << quint8(0x39) << quint8(0) << sectionPayload(640) << false << 0
                                  << "20:0.01..0.20 20:0.21..0.40 20:0.41..0.60 20:0.61..0.80";
    QTest::newRow("sections 639") << quint8(0x39) << quint8(0) << sectionPayload(639) << false << 252 << "";
    QTest::newRow("sections 641") << quint8(0x39) << quint8(0) << sectionPayload(641) << false << 252 << "";
    QTest::newRow("status 31") << quint8(0x30) << quint8(0) << QByteArray("0000000042") + zeros(21) << false << 0
                               << "0000000042";
    QTest::newRow("status 30") << quint8(0x30) << quint8(0) << QByteArray("0000000042") + zeros(20) << false << 252
                               << "unset";
    QTest::newRow("status 32") << quint8(0x30) << quint8(0) << QByteArray("0000000042") + zeros(22) << false << 252
                               << "unset";
    QTest::newRow("status unreadable") << quint8(0x30) << quint8(0) << QByteArray("0000000042") + zeros(21) << true
                                       << 252 << "unset";
    QTest::newRow("serial short") << quint8(0x31) << quint8(0) << QByteArray::fromHex("a1003432") << false << 0
                                  << "161 42 ";
    QTest::newRow("serial refused resets") << quint8(0x31) << quint8(13) << QByteArray() << false << 13 << "0  ";
    QTest::newRow("shift short") << quint8(0x10) << quint8(0) << QByteArray::fromHex("010500") << false << 0
                                 << "1 5 0.00";
    QTest::newRow("shift refused") << quint8(0x10) << quint8(8) << QByteArray::fromHex("010500") << false << 8
                                   << "0 -1 0.00";
    QTest::newRow("counters 406") << quint8(0x36) << quint8(0) << le(qint16(4)) + zeros(396) + le(qint64(5)) << false
                                  << 0 << "4 5";
    QTest::newRow("counters 300") << quint8(0x37) << quint8(0) << le(qint16(4)) + zeros(298) << false << 0 << "4 0";
    QTest::newRow("counters 425") << quint8(0x36) << quint8(0) << le(qint16(4)) + zeros(423) << false << 252 << "0 0";
    QTest::newRow("totals 256") << quint8(0x38) << quint8(0) << le(qint16(4)) + zeros(254) << false << 0 << "4";
    QTest::newRow("totals 257") << quint8(0x38) << quint8(0) << le(qint16(4)) + zeros(255) << false << 252 << "0";

    const QByteArray openDoc =
        QByteArray::fromHex("01") + le(qint8(2)) + le(qint16(5)) + le(qint16(3)) + le(qint64(12345));
    QTest::newRow("open doc 14 bytes, type 1")
        << quint8(0xB0) << quint8(0) << openDoc << false << 0 << "1 2 5 3 123.45";
    QTest::newRow("open receipt 14 bytes")
        << quint8(0xB0) << quint8(0) << "\x03" + openDoc.mid(1) << false << 0 << "3 2 5 3 123.45";
    // The fields are filled from what arrived, and the result still tells that it was too short.
    QTest::newRow("open receipt 6 bytes")
        << quint8(0xB0) << quint8(0) << "\x03" + openDoc.mid(1, 5) << false << 252 << "3 2 5 3 0.00";
    QTest::newRow("other doc 2 bytes") << quint8(0xB0) << quint8(0) << QByteArray::fromHex("0502") << false << 0
                                       << "5 2 0 0 0.00";
    QTest::newRow("open doc empty") << quint8(0xB0) << quint8(0) << QByteArray() << false << 252 << "99 99 99 99 0.99";
    QTest::newRow("open doc refused") << quint8(0xB0) << quint8(29) << openDoc << false << 29 << "99 99 99 99 0.99";

    QTest::newRow("shift opened, full reply")
        << quint8(0x12) << quint8(0) << fd7fp9 + when + le(qint16(4)) << false << 0 << "4 7 9 2024-03-05T08:00:01";
    QTest::newRow("shift opened, only FD and FP")
        << quint8(0x12) << quint8(0) << fd7fp9 << false << 0 << "0 7 9 1970-01-01T00:00:00";
    QTest::newRow("shift opening refused") << quint8(0x12) << quint8(26) << fd7fp9 << false << 26 << "99 99 99 ";
    QTest::newRow("receipt closed") << quint8(0x16) << quint8(0)
                                    << fd7fp9 + when + le(qint16(4)) + le(qint16(12)) + le(qint64(15050)) +
                                           le(qint64(-50))
                                    << false << 0 << "4 7 9 2024-03-05T08:00:01 12 150.50 -0.50";
    QTest::newRow("receipt refused") << quint8(0x16) << quint8(47) << fd7fp9 << false << 47 << "99 99 99  99 0.99 0.99";
    QTest::newRow("payout") << quint8(0xA5) << quint8(0) << fd7fp9 + when + le(qint16(4)) + le(qint64(100000)) << false
                            << 0 << "4 7 9 2024-03-05T08:00:01 1000.00";
    QTest::newRow("payout, not enough cash")
        << quint8(0xA5) << quint8(40) << QByteArray() << false << 40 << "99 99 99  0.99";

    // The register says where it stopped also when it could not finish.
    QTest::newRow("tape done") << quint8(0x3A) << quint8(0) << QByteArray() << false << 0 << "0";
    QTest::newRow("tape stopped, out of paper") << quint8(0x3A) << quint8(54) << le(qint32(58)) << false << 54 << "58";
    QTest::newRow("tape next, 3 bytes") << quint8(0x3A) << quint8(0) << QByteArray::fromHex("3a0000") << false << 0
                                        << "0";
    QTest::newRow("tape reply unreadable") << quint8(0x3A) << quint8(0) << le(qint32(58)) << true << 252 << "0";

    QTest::newRow("clock") << quint8(0x03) << quint8(0) << when << false << 0 << "2024-03-05T08:00:01";
    QTest::newRow("catalogue entry") << quint8(0x01) << quint8(0) << QByteArray::fromHex("00112233") << false << 0
                                     << "00112233";
    QTest::newRow("catalogue refused") << quint8(0x01) << quint8(20) << QByteArray::fromHex("00112233") << false << 20
                                       << "";
    QTest::newRow("reg param") << quint8(0x44) << quint8(0) << Tlv(quint16(11048), QByteArray("AB")).rawData() << false
                               << 0 << "11048 4142";
    // A malformed record is still an answer; it just carries nothing.
    QTest::newRow("reg param malformed") << quint8(0x44) << quint8(0) << QByteArray::fromHex("282b0500414243") << false
                                         << 0 << "0 ";
    QTest::newRow("reg param refused") << quint8(0x44) << quint8(17) << QByteArray() << false << 17 << "1 756e736574";
}

void TestCommands::replies()
{
    QFETCH(quint8, command);
    QFETCH(quint8, replyCode);
    QFETCH(QByteArray, reply);
    QFETCH(bool, corrupt);
    QFETCH(int, rc);
    QFETCH(QString, outputs);

    ScriptedPeer peer([&](const FsReq &) { return ScriptedPeer::Answer{replyCode, reply, corrupt, false}; });
    QVERIFY(peer.start());
    FsWrapper fr;
    QVERIFY(fr.open(peer.path()));
    const Outcome o = callAndDescribe(fr, command);
    QCOMPARE(o.rc, rc);
    QCOMPARE(o.outputs, outputs);
    QCOMPARE(peer.received().size(), 1);
    QCOMPARE(peer.received().first().code(), command);
}

void TestCommands::readRegDataStops_data()
{
    QTest::addColumn<quint16>("failingTag");
    QTest::addColumn<int>("failure"); // a result code, or -1 for a reply that cannot be read, -2 for none
    QTest::addColumn<int>("rc");
    QTest::addColumn<int>("asked");
    QTest::addColumn<bool>("taxesRead");

    QTest::newRow("all answered") << quint16(0) << 0 << 0 << 12 << true;
    QTest::newRow("not activated") << quint16(11018) << 38 << 38 << 1 << false;
    QTest::newRow("no answer code") << quint16(11048) << 253 << 253 << 3 << false;
    QTest::newRow("one parameter refused") << quint16(11048) << 17 << 0 << 12 << true;
    QTest::newRow("a tax refused") << quint16(13105) << 14 << 0 << 12 << true;
    QTest::newRow("unreadable reply") << quint16(11187) << -1 << 252 << 4 << false;
    QTest::newRow("register falls silent") << quint16(11009) << -2 << 253 << 5 << false;
}

void TestCommands::readRegDataStops()
{
    QFETCH(quint16, failingTag);
    QFETCH(int, failure);
    QFETCH(int, rc);
    QFETCH(int, asked);
    QFETCH(bool, taxesRead);

    const QMap<quint16, Tlv> params = registration();
    ScriptedPeer peer([&](const FsReq &req) {
        const QByteArray d = req.data() + QByteArray(2, '\0');
        const quint16 tag = quint16(quint8(d.at(0)) | quint8(d.at(1)) << 8);
        ScriptedPeer::Answer a;
        if (tag == failingTag && failure != 0) {
            a.code = failure > 0 ? quint8(failure) : 0;
            a.corrupt = failure == -1;
            a.silent = failure == -2;
        }
        if (a.code == 0)
            a.payload = params.value(tag, Tlv(tag, QByteArray())).rawData();
        return a;
    });
    QVERIFY(peer.start());
    FsWrapper fr;
    QVERIFY(fr.open(peer.path()));

    RegData data;
    data.store(Tlv(quint16(11018), QStringLiteral("stale")));
    QCOMPARE(int(fr.readRegData(data)), rc);

    const QVector<FsReq> received = peer.received();
    QCOMPARE(received.size(), asked);
    for (const FsReq &req : received) {
        QCOMPARE(req.code(), quint8(0x44));
        QCOMPARE(req.data().size(), 2);
    }
    QCOMPARE(received.first().data(), QByteArray::fromHex("0a2b")); // 11018 first
    if (asked == 12)
        QCOMPARE(received.last().data(), le(quint16(13109)));

    // What was read before a stop is kept; nothing stale survives.
    QCOMPARE(data.innText(), failingTag == 11018 && failure ? QString() : QStringLiteral("7701234567"));
    QCOMPARE(data.organisationText(),
             asked > 2 && !(failingTag == 11048 && failure) ? QStringLiteral("ООО РОМАШКА") : QString());
    QCOMPARE(data.taxes[0].isValid(), taxesRead && failingTag != 13105);
    QCOMPARE(data.taxes[4].isValid(), taxesRead);
    QCOMPARE(data.taxes[4].nameText(), taxesRead ? QStringLiteral("БЕЗ НДС") : QString());
    if (taxesRead)
        QCOMPARE(data.regDate().toString(Qt::ISODate), QStringLiteral("2024-01-31T09:15:00"));
}

namespace {

QDateTime fixedHostClock()
{
    return QDateTime(QDate(2024, 6, 3), QTime(9, 30), Qt::LocalTime);
}

ReceiptItem item(const char *name, qint64 price, qint64 quantityMilli, quint8 section, quint8 tax)
{
    ReceiptItem it;
    it.name = QString::fromUtf8(name);
    it.price = FixNumber(100, price);
    it.quantity = FixNumber(1000, quantityMilli);
    it.section = section;
    it.tax = tax;
    return it;
}

struct Sold
{
    qint16 number;
    FixNumber total;
    FixNumber change;
    qint32 fd;
};

} // namespace

#define OK(call) QCOMPARE(int(call), 0)

void TestCommands::endToEnd()
{
    EmulatorFixture::Options options;
    options.preset = QStringLiteral("fresh");
    options.loader = false;
    EmulatorFixture emu(options);
    emu.withModel([](FiscalModel &m) {
        m.setHostClock(&fixedHostClock);
        m.setControlTapePageLimit(3);
    });
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    FsWrapper fr;
    QVERIFY(fr.open(emu.devicePath()));
    fr.setCashier(DefaultCashierNumber);
    fr.setPassword(DefaultCashierPassword);
    const QString cashier = QStringLiteral("Иванов И.И.");

    // A fresh register: no factory number, not activated, nothing to read back.
    RegData reg;
    QCOMPARE(int(fr.readRegData(reg)), int(CoreApiConst::NotActivated));
    QCOMPARE(emu.executionsOf(0x44), 1); // stopped at the first tag
    QVERIFY(toHtml(reg).contains(QStringLiteral("ИНН: \n")));
    QCOMPARE(int(fr.startCycleOpening(cashier)), int(CoreApiConst::NoSerial));

    OK(fr.writeSerial(QStringLiteral(" 12345 ")));
    QCOMPARE(int(fr.writeSerial(QStringLiteral("54321"))), int(CoreApiConst::SerialAlreadySet));
    SerialInfo serial;
    OK(fr.getSerial(serial));
    QCOMPARE(serial.factoryNumber, QStringLiteral("0000012345"));
    QVERIFY(toHtml(serial).contains(QStringLiteral("ЗН ККТ: 0000012345 ")));
    QString version;
    OK(fr.getFirmwareVersion(version));
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+$")).match(version).hasMatch(), qPrintable(version));

    // The clock, as the register will stamp the registration.
    const QDateTime clock(QDate(2024, 6, 3), QTime(12, 0, 5), Qt::LocalTime);
    OK(fr.writeDt(clock));
    QDateTime readBack;
    OK(fr.readDt(readBack));
    QCOMPARE(readBack, clock);

    // Registration with two taxes.
    TaxEntry vat;
    vat.setType(1);
    vat.setRate(2000);
    vat.setName(QStringLiteral("НДС 20%"));
    TaxEntry noVat;
    noVat.setType(0);
    noVat.setRate(0);
    noVat.setName(QStringLiteral("БЕЗ НДС"));
    OK(fr.startRegistration(cashier));
    for (const Tlv &t :
         {Tlv(quint16(11048), QStringLiteral("ООО \"ВЕКТОР\"")), Tlv(quint16(11187), QStringLiteral("ООО")),
          Tlv(quint16(11009), QStringLiteral("г. Тула, ул. Мира, 7")), vat.toTlv(0), noVat.toTlv(4)})
        OK(fr.sendDocData(t.rawData()));
    OK(fr.preprintRegistration(QStringLiteral("7701234567"), QStringLiteral("0000000001002345")));
    qint32 fd = 0, fp = 0;
    QDateTime dt;
    OK(fr.completeRegistration(QStringLiteral("7701234567"), QStringLiteral("0000000001002345"), fd, fp, dt));
    QCOMPARE(fd, 1);
    QCOMPARE(dt, clock);
    qint32 lastFd = fd;

    OK(fr.readRegData(reg));
    QCOMPARE(reg.innText(), QStringLiteral("7701234567"));
    QCOMPARE(reg.organisationText(), QStringLiteral("ООО \"ВЕКТОР\""));
    QCOMPARE(reg.organisationTypeText(), QStringLiteral("ООО"));
    QCOMPARE(reg.addressText(), QStringLiteral("г. Тула, ул. Мира, 7"));
    QCOMPARE(reg.regDate(), clock);
    QCOMPARE(reg.taxes[0].rateWord, vat.rateWord);
    QCOMPARE(reg.taxes[0].nameText(), QStringLiteral("НДС 20%"));
    QCOMPARE(reg.taxes[4].rateWord, noVat.rateWord);
    for (int n : {1, 2, 3})
        QVERIFY(!reg.taxes[n].isValid());
    const QString regHtml = toHtml(reg);
    QVERIFY(regHtml.contains(QStringLiteral("НАЛОГ 1 [НДС 20%]: ПРОЦЕНТНАЯ СТАВКА 20.00%")));
    QVERIFY(regHtml.contains(QStringLiteral("НАЛОГ 5 [БЕЗ НДС]: ПРОЦЕНТНАЯ СТАВКА 0.00%")));
    QVERIFY(regHtml.contains(QStringLiteral("ДАТА РЕГИСТРАЦИИ 2024-06-03T12:00:05")));

    FrStatus status;
    OK(fr.getFrStatus(status));
    QVERIFY(status.flags & FrStatus::Activated);
    QVERIFY(!(status.flags & FrStatus::CycleOpen));
    QCOMPARE(status.lastDocNumber, lastFd);

    // Shift, a deposit and three receipts.
    qint16 cycle = 0;
    OK(fr.startCycleOpening(cashier));
    OK(fr.completeCycleOpening(cycle, fd, fp, dt));
    QCOMPARE(cycle, qint16(1));
    QCOMPARE(fd, ++lastFd);
    const qint32 shiftFirstDoc = fd;

    FixNumber drawer;
    OK(fr.startIntroduction(cashier));
    OK(fr.completeIntroduction(FixNumber(100, qint64(100000)), cycle, fd, fp, dt, drawer));
    QCOMPARE(drawer, FixNumber(100, qint64(100000)));
    QCOMPARE(fd, ++lastFd);

    struct Receipt
    {
        int type;
        QList<ReceiptItem> items;
        qint64 cash;
        qint64 card;
    };
    const QList<Receipt> receipts{
        {0, {item("Хлеб", 4550, 2000, 1, 1), item("Молоко", 8999, 1500, 2, 1)}, 30000, 0},
        {0, {item("Газета", 9999, 1000, 2, 5)}, 0, 9999},
        {2, {item("Хлеб", 4550, 1000, 1, 1)}, 4550, 0},
    };
    QList<Sold> sold;
    for (const Receipt &r : receipts) {
        OK(fr.startReceipt(r.type, cashier));
        for (const ReceiptItem &it : r.items)
            OK(fr.sendDocData(it.toTlv().rawData()));
        quint8 docType = 0;
        qint8 receiptType = -1;
        qint16 number = 0, operations = 0;
        FixNumber openSum;
        OK(fr.getOpenDocData(docType, receiptType, number, operations, openSum));
        QCOMPARE(int(docType), 3);
        QCOMPARE(int(receiptType), r.type);
        QCOMPARE(int(operations), r.items.size());
        Sold s{};
        OK(fr.completeReceipt(FixNumber(100, r.cash), FixNumber(100, r.card), cycle, s.fd, fp, s.number, dt, s.total,
                              s.change));
        QCOMPARE(s.total, openSum);
        QCOMPARE(s.fd, ++lastFd);
        QCOMPARE(int(s.number), sold.size() + 1);
        sold << s;
    }
    // 45.50 x 2 + 89.99 x 1.5 = 91.00 + 134.99 (134.985 rounded by the register)
    QCOMPARE(sold[0].total.raw() + sold[0].change.raw(), qint64(30000));
    QCOMPARE(sold[1].total, FixNumber(100, qint64(9999)));
    QCOMPARE(sold[2].total, FixNumber(100, qint64(4550)));
    const qint64 sales = sold[0].total.raw() + sold[1].total.raw();
    const qint64 cashInDrawer = 100000 + sold[0].total.raw() - 4550;

    Counters shift;
    OK(fr.getCycleCounters(shift));
    QCOMPARE(int(shift.cycleNumber), 1);
    QCOMPARE(int(shift.cashInCount), 1);
    QCOMPARE(shift.cashInSum, qint64(100000));
    QCOMPARE(shift.receiptCount, 3);
    QCOMPARE(shift.cashInDrawer, cashInDrawer);
    QCOMPARE(int(shift.operations[0].kind), 0);
    QCOMPARE(shift.operations[0].count, 2);
    QCOMPARE(shift.operations[0].sum, sales);
    QCOMPARE(shift.operations[0].cashSum, sold[0].total.raw());
    QCOMPARE(shift.operations[0].cashlessSum, qint64(9999));
    QCOMPARE(shift.operations[0].taxSums[4], qint64(9999)); // turnover without tax
    QCOMPARE(int(shift.operations[2].kind), 2);
    QCOMPARE(shift.operations[2].count, 1);
    QCOMPARE(shift.operations[2].sum, qint64(4550));
    QCOMPARE(shift.operations[1].count + shift.operations[3].count, 0);
    const QString shiftHtml = cycleCountersHtml(shift);
    QVERIFY(shiftHtml.contains(QStringLiteral("ПРОДАЖ 2 НА СУММУ %1").arg(FixNumber(100, sales).toString())));
    QVERIFY(shiftHtml.contains(QStringLiteral("ВОЗВРАТОВ ПРОДАЖ 1 НА СУММУ 45.50")));
    QVERIFY(!shiftHtml.contains(QStringLiteral("ПОКУПОК")));

    Counters fiscal;
    OK(fr.getFiscCounters(fiscal));
    QCOMPARE(int(fiscal.cycleNumber), 1); // shifts since the registration
    QCOMPARE(fiscal.receiptCount, 3);
    QCOMPARE(fiscal.operations[0].sum, sales);
    TotalCounters total;
    OK(fr.getTotalCounters(total));
    QCOMPARE(total.receiptCount, 3);
    QCOMPARE(total.operations[2].sum, qint64(4550));
    SectionCounters sections;
    OK(fr.getSectionCounters(sections));
    QCOMPARE(sections.size(), 4);
    QCOMPARE(sections[0][0].raw(), qint64(9100));
    QCOMPARE(sections[0][1].raw(), sales - 9100);
    QCOMPARE(sections[2][0].raw(), qint64(4550));
    QCOMPARE(sections[1][0].raw() + sections[3][0].raw(), qint64(0));

    CycleStatus state;
    OK(fr.getCycleStatus(state));
    QVERIFY(state.isOpen);
    QCOMPARE(int(state.receiptCount), 3);
    QCOMPARE(state.cash(), FixNumber(100, cashInDrawer));
    QCOMPARE(state.firstDocNumber, shiftFirstDoc);

    // Shift closed, then the control tape in pages of three documents.
    OK(fr.startCycleClosing(cashier));
    OK(fr.completeCycleClosing(cycle, fd, fp, dt));
    QCOMPARE(cycle, qint16(1));
    QCOMPARE(fd, ++lastFd);
    OK(fr.getCycleStatus(state));
    QVERIFY(!state.isOpen);
    QVERIFY(toHtml(state).contains(QStringLiteral("ЗАКРЫТА 03.06.2024 12:00:05")));
    OK(fr.getFrStatus(status));
    QVERIFY(!(status.flags & FrStatus::CycleOpen));
    QCOMPARE(status.lastDocNumber, lastFd);

    emu.takePrinted();
    int next = -1;
    OK(fr.printControlTape(0, next));
    QCOMPARE(next, shiftFirstDoc + 3);
    OK(fr.printControlTape(next, next));
    QCOMPARE(next, 0); // the rest of the shift fits the second page
    const QString paper = emu.takePrinted().join(QLatin1Char('\n'));
    QVERIFY(paper.contains(QStringLiteral("ПРОДОЛЖЕНИЕ С ДОКУМЕНТА %1").arg(shiftFirstDoc + 3)));
    QCOMPARE(int(fr.cancelDoc()), 0);
}

QTEST_GUILESS_MAIN(TestCommands)
#include "tst_commands.moc"
