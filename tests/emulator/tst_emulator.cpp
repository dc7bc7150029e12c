// The substitute register's promises on the wire and its faults, proved against a real
// pseudo-terminal with QSerialPort on the other side; the loader and the image format.
#include <QElapsedTimer>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include "emulatorfixture.h"
#include "frrecords.h"
#include "quietlog.h"
#include "wire.h"

Q_DECLARE_METATYPE(EmuFault::Kind)

namespace {

constexpr quint8 StatusCmd = 0x30;
constexpr quint8 IdentityCmd = 0x31;
constexpr quint8 VersionCmd = 0x33;
constexpr quint8 ShiftCmd = 0x10;
constexpr quint8 PrintLineCmd = 0xC3;
constexpr quint8 UnknownCmd = 0xEE;

// A frame with whatever length field and body, and a correct checksum.
QByteArray rawFrame(quint16 length, const QByteArray &body)
{
    QByteArray inner;
    inner.append(char(length & 0xFF));
    inner.append(char(length >> 8));
    inner.append(body);
    const quint16 crc = Crc16().calc(inner);
    return QByteArray(1, 0x04) + inner + char(crc & 0xFF) + char(crc >> 8);
}

FsRep parse(const QByteArray &frame)
{
    FsRep rep;
    rep.setRawData(frame);
    return rep;
}

// The application's side of the line.
class Line
{
public:
    explicit Line(const QString &path, qint32 baud = QSerialPort::Baud115200)
    {
        port_.setPortName(path);
        port_.setBaudRate(baud);
        port_.setDataBits(QSerialPort::Data8);
        port_.setParity(QSerialPort::NoParity);
        port_.setStopBits(QSerialPort::OneStop);
        port_.setFlowControl(QSerialPort::NoFlowControl);
    }
    bool open()
    {
        if (!port_.open(QIODevice::ReadWrite))
            return false;
        port_.clear();
        return true;
    }
    void close() { port_.close(); }
    void send(const QByteArray &bytes)
    {
        port_.write(bytes);
        port_.waitForBytesWritten(1000);
    }
    // Everything that arrives until nothing more comes for quietMs; waits firstMs for the first byte.
    QByteArray receive(int firstMs = 2000, int quietMs = 150)
    {
        QByteArray got = port_.readAll();
        if (got.isEmpty() && !port_.waitForReadyRead(firstMs))
            return port_.readAll();
        got += port_.readAll();
        while (port_.waitForReadyRead(quietMs))
            got += port_.readAll();
        return got + port_.readAll();
    }
    // One reply frame, complete by its length field; empty when it does not arrive in time.
    QByteArray frame(int timeoutMs = 3000)
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            buffer_ += port_.readAll();
            const int start = buffer_.indexOf(char(0x04));
            if (start > 0)
                buffer_.remove(0, start);
            if (start >= 0 && buffer_.size() >= 3) {
                const int total = (quint8(buffer_[1]) | (quint8(buffer_[2]) << 8)) + 5;
                if (buffer_.size() >= total) {
                    const QByteArray f = buffer_.left(total);
                    buffer_.remove(0, total);
                    return f;
                }
            }
            const qint64 left = timeoutMs - timer.elapsed();
            if (left <= 0)
                return QByteArray();
            port_.waitForReadyRead(int(left));
        }
    }
    FsRep exchange(quint8 code, quint32 unique, const QByteArray &payload = QByteArray())
    {
        send(request(code, unique, payload));
        return parse(frame());
    }
    // Nothing arrives for this long.
    bool silentFor(int ms) { return port_.bytesAvailable() == 0 && !port_.waitForReadyRead(ms); }
    QSerialPort &port() { return port_; }

private:
    QSerialPort port_;
    QByteArray buffer_;
};

struct Step
{
    quint8 code;
    QByteArray data;
    quint8 status;
};

QByteArray sizeData(qint32 size)
{
    return le32(quint32(size));
}

} // namespace

Q_DECLARE_METATYPE(QVector<Step>)

class TstEmulator : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void scanRequest_data();
    void scanRequest();
    void wireRules_data();
    void wireRules();
    void repeatAfterReopen();
    void closeAndReopenForEveryExchange();
    void sameFrameTwiceRunsOnce();
    void repeatBeforeAnyReply();
    void partialFrameForgottenAfterSilence();
    void twoFramesInOneWrite();
    void stallAndHistoryWithoutLine();

    void faultParse_data();
    void faultParse();
    void dropReplyRecoveredByRepeat();
    void faultHitsOnlyTheNthReply();
    void ignoreRequest();
    void staleRepeat();
    void splitReply();
    void delayReply();
    void corruptCrc();
    void strayPrefix();
    void truncateReply_data();
    void truncateReply();
    void silent();
    void conditionsOnDemand_data();
    void conditionsOnDemand();
    void controlTapeRunsOutOfPaper();
    void faultOnEveryReply();
    void printerFaults_data();
    void printerFaults();

    void signedImage_data();
    void signedImage();
    void loaderCommands_data();
    void loaderCommands();
    void loaderUploadOverLine();
};

void TstEmulator::initTestCase()
{
    registerFsMetaTypes();
    qInstallMessageHandler(quietMessages);
}

void TstEmulator::scanRequest_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("maxPayload");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("consumed");
    QTest::addColumn<int>("skipped");
    QTest::addColumn<int>("error");
    QTest::addColumn<quint32>("unique");
    QTest::addColumn<QByteArray>("payload");

    using S = emu::RequestScan;
    const QByteArray f = request(0x33, 0x01020304, "ab");
    QByteArray badCrc = f;
    badCrc[badCrc.size() - 1] = char(badCrc.at(badCrc.size() - 1) ^ 0x01);
    const QByteArray stray = QByteArray::fromHex("ff0013");

    QTest::newRow("empty") << QByteArray() << 64 << int(S::NeedMore) << 0 << 0 << 0 << 0u << QByteArray();
    QTest::newRow("stray only") << stray << 64 << int(S::NeedMore) << 3 << 3 << 0 << 0u << QByteArray();
    QTest::newRow("header cut") << f.left(2) << 64 << int(S::NeedMore) << 0 << 0 << 0 << 0u << QByteArray();
    QTest::newRow("frame cut") << f.left(f.size() - 1) << 64 << int(S::NeedMore) << 0 << 0 << 0 << 0u << QByteArray();
    QTest::newRow("stray, frame cut") << stray + f.left(5) << 64 << int(S::NeedMore) << 3 << 3 << 0 << 0u
                                      << QByteArray();
    QTest::newRow("frame") << f << 64 << int(S::Request) << f.size() << 0 << 0 << 0x01020304u << QByteArray("ab");
    QTest::newRow("stray, frame") << stray + f << 64 << int(S::Request) << f.size() + 3 << 3 << 0 << 0x01020304u
                                  << QByteArray("ab");
    QTest::newRow("frame, more") << f + request(0x30, 9) << 64 << int(S::Request) << f.size() << 0 << 0 << 0x01020304u
                                 << QByteArray("ab");
    QTest::newRow("repeat") << QByteArray(1, 0x05) << 64 << int(S::Repeat) << 1 << 0 << 0 << 0u << QByteArray();
    QTest::newRow("stray, repeat, frame")
        << QByteArray::fromHex("ff05") + f << 64 << int(S::Repeat) << 2 << 1 << 0 << 0u << QByteArray();
    QTest::newRow("bad crc") << badCrc << 64 << int(S::Rejected) << f.size() << 0 << 9 << 0x01020304u
                             << QByteArray("ab");
    QTest::newRow("length 3") << rawFrame(3, QByteArray::fromHex("300102")) << 64 << int(S::Rejected) << 8 << 0 << 11
                              << 0u << QByteArray();
    QTest::newRow("length 0") << rawFrame(0, QByteArray()) << 64 << int(S::Rejected) << 5 << 0 << 11 << 0u
                              << QByteArray();
    QTest::newRow("payload at capacity") << request(0x07, 5, QByteArray(16, 'x')) << 16 << int(S::Request) << 26 << 0
                                         << 0 << 5u << QByteArray(16, 'x');
    QTest::newRow("payload over capacity") << request(0x07, 5, QByteArray(17, 'x')) << 16 << int(S::Rejected) << 27 << 0
                                           << 11 << 5u << QByteArray(17, 'x');
    QTest::newRow("unique 0") << request(0x30, 0) << 64 << int(S::Rejected) << 10 << 0 << 1 << 0u << QByteArray();
    QTest::newRow("command 0") << request(0x00, 7) << 64 << int(S::Rejected) << 10 << 0 << 2 << 7u << QByteArray();
    QTest::newRow("both 0") << request(0x00, 0) << 64 << int(S::Rejected) << 10 << 0 << 1 << 0u << QByteArray();
    QByteArray badCrcZero = request(0x30, 0);
    badCrcZero[9] = char(badCrcZero.at(9) ^ 0x80);
    QTest::newRow("crc before unique") << badCrcZero << 64 << int(S::Rejected) << 10 << 0 << 9 << 0u << QByteArray();
    QTest::newRow("length 65535, cut") << QByteArray::fromHex("04ffff30010000") + QByteArray(1000, 'x') << 64
                                       << int(S::NeedMore) << 0 << 0 << 0 << 0u << QByteArray();
}

void TstEmulator::scanRequest()
{
    QFETCH(QByteArray, input);
    QFETCH(int, maxPayload);
    const emu::RequestScan r = emu::scanRequest(input, maxPayload);
    QTEST(int(r.kind), "kind");
    QTEST(r.consumed, "consumed");
    QTEST(r.skipped, "skipped");
    if (r.kind == emu::RequestScan::Rejected)
        QTEST(int(r.error), "error");
    if (r.kind == emu::RequestScan::Request || r.kind == emu::RequestScan::Rejected) {
        QTEST(r.unique, "unique");
        QTEST(r.payload, "payload");
    }
}

void TstEmulator::wireRules_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<int>("result");
    QTest::addColumn<quint32>("unique");
    QTest::addColumn<bool>("executed");
    QTest::addColumn<int>("payloadSize"); // -1: not looked at

    QByteArray badCrc = request(StatusCmd, 0x100);
    badCrc[8] = char(badCrc.at(8) ^ 0x10);

    QTest::newRow("status") << request(StatusCmd, 0x101) << 0 << 0x101u << true << 31;
    QTest::newRow("identity") << request(IdentityCmd, 0x102) << 0 << 0x102u << true << -1;
    QTest::newRow("version") << request(VersionCmd, 0x103) << 0 << 0x103u << true << 3;
    QTest::newRow("shift state") << request(ShiftCmd, 0x104) << 0 << 0x104u << true << -1;
    QTest::newRow("stray bytes first") << QByteArray::fromHex("ff0055aa") + request(VersionCmd, 0x105) << 0 << 0x105u
                                       << true << 3;
    QTest::newRow("bad crc") << badCrc << 9 << 0x100u << false << 0;
    QTest::newRow("unique 0") << request(StatusCmd, 0) << 1 << 0u << false << 0;
    QTest::newRow("command 0") << request(0, 0x106) << 2 << 0x106u << false << 0;
    QTest::newRow("unknown command") << request(UnknownCmd, 0x107) << 10 << 0x107u << true << 0;
    QTest::newRow("payload too long") << request(0x07, 0x108, QByteArray(EmuDevice::DefaultMaxPayload + 1, 'x')) << 11
                                      << 0x108u << false << 0;
    QTest::newRow("length below 5") << rawFrame(2, QByteArray::fromHex("3001")) << 11 << 0u << false << 0;
}

void TstEmulator::wireRules()
{
    QFETCH(QByteArray, sent);
    QFETCH(quint32, unique);
    QFETCH(bool, executed);
    QFETCH(int, payloadSize);

    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    Line line(emu.devicePath());
    QVERIFY(line.open());
    line.send(sent);
    const QByteArray reply = line.frame();
    const FsRep rep = parse(reply);
    QCOMPARE(int(rep.parsingResult()), int(fs::Ok));
    QTEST(int(rep.code()), "result");
    QCOMPARE(rep.unique(), unique);
    if (payloadSize >= 0)
        QCOMPARE(rep.data().size(), payloadSize);
    QCOMPARE(reply, emu.lastReply());

    QCOMPARE(emu.requests().size(), 1);
    const EmuRequestRecord rec = emu.lastRequest();
    QCOMPARE(rec.executed, executed);
    QCOMPARE(int(rec.result), int(rep.code()));
    QVERIFY(rec.answered);
    QVERIFY(sent.endsWith(rec.frame)); // the exact bytes, stray bytes aside
    QCOMPARE(emu.executionCount(), executed ? 1 : 0);
    QCOMPARE(emu.executionCount(unique), executed ? 1 : 0);
    QVERIFY(line.silentFor(200)); // exactly one reply
}

void TstEmulator::repeatAfterReopen()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    Line line(emu.devicePath());
    QVERIFY(line.open());
    line.send(request(StatusCmd, 0x201));
    const QByteArray first = line.frame();
    QCOMPARE(parse(first).unique(), 0x201u);
    line.close();

    QVERIFY(line.open());
    line.send(QByteArray(1, 0x05));
    QCOMPARE(line.frame(), first); // unchanged, byte for byte
    line.send(QByteArray(1, 0x05));
    QCOMPARE(line.frame(), first);
    QCOMPARE(emu.executionCount(0x201), 1);
    QCOMPARE(emu.repeatRequests(), 2);

    line.send(request(VersionCmd, 0x202));
    const QByteArray second = line.frame();
    line.send(QByteArray(1, 0x05));
    QCOMPARE(line.frame(), second);
    QCOMPARE(emu.executionCount(), 2);
}

void TstEmulator::closeAndReopenForEveryExchange()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    Line line(emu.devicePath());
    for (quint32 u = 1; u <= 10; ++u) {
        QVERIFY(line.open());
        const FsRep rep = line.exchange(u % 2 ? StatusCmd : VersionCmd, 0x300 + u);
        QCOMPARE(int(rep.parsingResult()), int(fs::Ok));
        QCOMPARE(int(rep.code()), 0);
        QCOMPARE(rep.unique(), 0x300 + u);
        line.close();
    }
    QCOMPARE(emu.executionCount(), 10);
    QCOMPARE(emu.executionsOf(StatusCmd), 5);
    QCOMPARE(emu.executionsOf(VersionCmd), 5);
}

void TstEmulator::sameFrameTwiceRunsOnce()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    Line line(emu.devicePath());
    QVERIFY(line.open());
    const QByteArray frame = request(StatusCmd, 0x401);
    line.send(frame);
    const QByteArray first = line.frame();
    line.send(frame);
    QCOMPARE(line.frame(), first);
    QCOMPARE(emu.executionCount(0x401), 1);
    QCOMPARE(emu.requests().size(), 2);
    QVERIFY(emu.requests().at(1).repeated);
    QVERIFY(!emu.requests().at(1).executed);

    // Another exchange number is another request, also with the same command.
    line.send(request(StatusCmd, 0x402));
    QCOMPARE(parse(line.frame()).unique(), 0x402u);
    QCOMPARE(emu.executionsOf(StatusCmd), 2);
}

void TstEmulator::repeatBeforeAnyReply()
{
    // Nothing was answered yet: the request the host waits for never arrived whole. An answer with
    // another exchange number (0) makes the host send it again rather than wait in vain.
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    Line line(emu.devicePath());
    QVERIFY(line.open());
    line.send(QByteArray(1, 0x05));
    const FsRep rep = parse(line.frame());
    QCOMPARE(int(rep.parsingResult()), int(fs::Ok));
    QCOMPARE(rep.unique(), 0u);
    QVERIFY(rep.code() != 0);
    QCOMPARE(emu.executionCount(), 0);
}

void TstEmulator::partialFrameForgottenAfterSilence()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    Line line(emu.devicePath());
    QVERIFY(line.open());
    QVERIFY(line.exchange(VersionCmd, 0x501).code() == 0);

    // A request cut off on the line, then the host's 0x05 after its read time-out: the 0x05 must
    // not be taken as the rest of the frame.
    line.send(request(StatusCmd, 0x502).left(6));
    QTRY_COMPARE(emu.device().pendingBytes(), 6);
    // Then the line stays quiet for longer than the register waits for the rest of a frame.
    QTest::qSleep(EmuDevice::DefaultStallMs * 2);
    line.send(QByteArray(1, 0x05));
    QCOMPARE(parse(line.frame()).unique(), 0x501u);
    QCOMPARE(emu.device().discardedFrames(), 1);
    QCOMPARE(emu.executionCount(0x502), 0);

    QCOMPARE(line.exchange(StatusCmd, 0x502).unique(), 0x502u);
    QCOMPARE(emu.executionCount(0x502), 1);
}

void TstEmulator::twoFramesInOneWrite()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    Line line(emu.devicePath());
    QVERIFY(line.open());
    line.send(request(StatusCmd, 0x601) + request(VersionCmd, 0x602));
    QCOMPARE(parse(line.frame()).unique(), 0x601u);
    QCOMPARE(parse(line.frame()).unique(), 0x602u);
    QCOMPARE(emu.executionCount(), 2);
}

void TstEmulator::stallAndHistoryWithoutLine()
{
    // The device on its own, with a clock the test controls.
    FiscalModel model;
    model.applyPreset(QStringLiteral("ready"));
    EmuDevice device(&model);
    const auto bytes = [](const QVector<EmuChunk> &chunks) {
        QByteArray all;
        for (const EmuChunk &c : chunks)
            all += c.bytes;
        return all;
    };

    const QByteArray frame = request(VersionCmd, 0x651);
    QVERIFY(device.receive(frame.left(4), 1000).isEmpty());
    // Silence up to the limit keeps the partial frame; the rest completes it.
    QCOMPARE(parse(bytes(device.receive(frame.mid(4), 1000 + EmuDevice::DefaultStallMs))).unique(), 0x651u);
    QVERIFY(device.receive(request(VersionCmd, 0x652).left(4), 2000).isEmpty());
    // Past the limit it is forgotten, and 0x05 is a repeat request.
    QCOMPARE(parse(bytes(device.receive(QByteArray(1, 0x05), 2001 + EmuDevice::DefaultStallMs))).unique(), 0x651u);
    QCOMPARE(device.discardedFrames(), 1);

    device.setHistoryLimit(10);
    for (quint32 u = 1; u <= 25; ++u)
        QCOMPARE(parse(bytes(device.receive(request(VersionCmd, 0x700 + u), 5000))).unique(), 0x700 + u);
    QVERIFY(device.requests().size() <= 10);
    QCOMPARE(device.requests().last().request.unique(), 0x719u);
    QCOMPARE(device.executionCount(), 26);
    QCOMPARE(device.executionCount(0x719), 1);
    QCOMPARE(device.executionCount(0x701), 0); // forgotten with its record
}

void TstEmulator::faultParse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<EmuFault::Kind>("kind");
    QTest::addColumn<int>("nth");
    QTest::addColumn<int>("value");

    QTest::newRow("every") << "drop-reply" << true << EmuFault::DropReply << 0 << -1;
    QTest::newRow("nth") << "drop-reply:3" << true << EmuFault::DropReply << 3 << -1;
    QTest::newRow("value") << "split-reply=150" << true << EmuFault::SplitReply << 0 << 150;
    QTest::newRow("nth, value") << "delay-reply:2=900" << true << EmuFault::DelayReply << 2 << 900;
    QTest::newRow("value, nth") << "stray-prefix=5:4" << true << EmuFault::StrayPrefix << 4 << 5;
    QTest::newRow("printer") << "printer-not-answering:1" << true << EmuFault::PrinterNotAnswering << 1 << -1;
    QTest::newRow("paper") << "out-of-paper" << true << EmuFault::OutOfPaper << 0 << -1;
    QTest::newRow("unknown") << "drop-everything" << false << EmuFault::DropReply << 0 << -1;
    QTest::newRow("value not taken") << "drop-reply=5" << false << EmuFault::DropReply << 0 << -1;
    QTest::newRow("n twice") << "split-reply:1=5:2" << false << EmuFault::DropReply << 0 << -1;
    QTest::newRow("negative") << "drop-reply:-1" << false << EmuFault::DropReply << 0 << -1;
    QTest::newRow("huge value") << "delay-reply=999999999" << false << EmuFault::DropReply << 0 << -1;
    QTest::newRow("empty") << "" << false << EmuFault::DropReply << 0 << -1;
}

void TstEmulator::faultParse()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    EmuFault f;
    QString why;
    QCOMPARE(EmuFault::parse(text, &f, &why), ok);
    QCOMPARE(why.isEmpty(), ok);
    if (!ok)
        return;
    QTEST(f.kind, "kind");
    QTEST(f.nth, "nth");
    QTEST(f.value, "value");
    EmuFault again;
    QVERIFY(EmuFault::parse(f.toString(), &again));
    QCOMPARE(again.toString(), f.toString());
}

void TstEmulator::dropReplyRecoveredByRepeat()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    emu.addFault(EmuFault::DropReply, 1);
    Line line(emu.devicePath());
    QVERIFY(line.open());
    line.send(request(StatusCmd, 0x701));
    QVERIFY(line.silentFor(400));
    QCOMPARE(emu.executionCount(0x701), 1); // executed, only the reply was lost
    QVERIFY(!emu.lastRequest().answered);

    line.send(QByteArray(1, 0x05));
    const FsRep rep = parse(line.frame());
    QCOMPARE(int(rep.parsingResult()), int(fs::Ok));
    QCOMPARE(rep.unique(), 0x701u);
    QCOMPARE(rep.data().size(), 31);
    QCOMPARE(emu.executionCount(0x701), 1);
}

void TstEmulator::faultHitsOnlyTheNthReply()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    Line line(emu.devicePath());
    QVERIFY(line.open());
    QCOMPARE(line.exchange(VersionCmd, 0x801).unique(), 0x801u); // before the fault: not counted
    emu.addFault(QStringLiteral("drop-reply:2"));
    QCOMPARE(line.exchange(VersionCmd, 0x802).unique(), 0x802u);
    line.send(request(VersionCmd, 0x803));
    QVERIFY(line.silentFor(400));
    QCOMPARE(line.exchange(VersionCmd, 0x804).unique(), 0x804u);
    QCOMPARE(emu.executionCount(), 4);
}

void TstEmulator::ignoreRequest()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    Line line(emu.devicePath());
    QVERIFY(line.open());
    line.send(request(StatusCmd, 0x901));
    const QByteArray before = line.frame();
    emu.addFault(EmuFault::IgnoreRequest, 1);
    line.send(request(VersionCmd, 0x902));
    QVERIFY(line.silentFor(400));
    QCOMPARE(emu.executionCount(0x902), 0);

    // 0x05 brings the last reply, of the older exchange: the host must send the request again.
    line.send(QByteArray(1, 0x05));
    QCOMPARE(line.frame(), before);
    QCOMPARE(line.exchange(VersionCmd, 0x902).unique(), 0x902u);
    QCOMPARE(emu.executionCount(0x902), 1);
}

void TstEmulator::staleRepeat()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    Line line(emu.devicePath());
    QVERIFY(line.open());
    line.send(request(StatusCmd, 0xA01));
    const QByteArray older = line.frame();
    emu.addFault(EmuFault::DropReply, 1);
    emu.addFault(EmuFault::StaleRepeat, 1);
    line.send(request(VersionCmd, 0xA02));
    QVERIFY(line.silentFor(400));
    line.send(QByteArray(1, 0x05));
    QCOMPARE(line.frame(), older); // another exchange number
    QCOMPARE(emu.executionCount(0xA02), 1);

    // The host then sends the request once more: it was executed already, so it is not run again.
    const FsRep rep = line.exchange(VersionCmd, 0xA02);
    QCOMPARE(rep.unique(), 0xA02u);
    QCOMPARE(rep.data().size(), 3);
    QCOMPARE(emu.executionCount(0xA02), 1);
    QVERIFY(emu.lastRequest().repeated);
}

void TstEmulator::splitReply()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    emu.addFault(EmuFault::SplitReply, 1, 700);
    Line line(emu.devicePath());
    QVERIFY(line.open());
    line.send(request(StatusCmd, 0xB01));
    const QByteArray first = line.receive(3000, 250);
    const QByteArray full = emu.lastReply();
    QVERIFY(!first.isEmpty());
    QVERIFY(first.size() < full.size());
    const QByteArray rest = line.receive(3000, 250);
    QCOMPARE(first + rest, full);
    QCOMPARE(int(parse(first + rest).parsingResult()), int(fs::Ok));

    // Only the first reply was split.
    line.send(request(StatusCmd, 0xB02));
    const QByteArray whole = line.receive(3000, 250);
    QCOMPARE(whole, emu.lastReply());
}

void TstEmulator::delayReply()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    emu.addFault(EmuFault::DelayReply, 1, 900);
    Line line(emu.devicePath());
    QVERIFY(line.open());
    line.send(request(VersionCmd, 0xC01));
    QVERIFY(line.silentFor(300));
    const QByteArray reply = line.receive(5000, 150);
    QCOMPARE(reply, emu.lastReply());
    QCOMPARE(parse(reply).unique(), 0xC01u);
}

void TstEmulator::corruptCrc()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    emu.addFault(EmuFault::CorruptCrc, 1);
    Line line(emu.devicePath());
    QVERIFY(line.open());
    line.send(request(VersionCmd, 0xD01));
    const FsRep bad = parse(line.frame());
    QCOMPARE(int(bad.parsingResult()), int(fs::WrongCrc));
    QCOMPARE(bad.unique(), 0xD01u);

    line.send(QByteArray(1, 0x05)); // the reply itself is kept intact
    const FsRep good = parse(line.frame());
    QCOMPARE(int(good.parsingResult()), int(fs::Ok));
    QCOMPARE(good.unique(), 0xD01u);
    QCOMPARE(emu.executionCount(0xD01), 1);
}

void TstEmulator::strayPrefix()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    emu.addFault(EmuFault::StrayPrefix, 1, 4);
    Line line(emu.devicePath());
    QVERIFY(line.open());
    line.send(request(VersionCmd, 0xE01));
    const QByteArray raw = line.receive();
    QCOMPARE(raw.size(), 4 + emu.lastReply().size());
    QVERIFY(!raw.left(4).contains(char(0x04)));
    QCOMPARE(raw.mid(4), emu.lastReply());
}

void TstEmulator::truncateReply_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("expected"); // bytes sent of the 13-byte version reply

    QTest::newRow("default: no checksum") << -1 << 11;
    QTest::newRow("5 bytes") << 5 << 5;
    QTest::newRow("more than the frame: all of it") << 40 << 13;
    QTest::newRow("0: none of it") << 0 << 0;
}

void TstEmulator::truncateReply()
{
    QFETCH(int, value);
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    emu.addFault(EmuFault::TruncateReply, 1, value);
    Line line(emu.devicePath());
    QVERIFY(line.open());
    line.send(request(VersionCmd, 0xF01));
    const QByteArray cut = line.receive(3000, 300);
    QCOMPARE(emu.lastReply().size(), 13);
    QTEST(int(cut.size()), "expected");
    QVERIFY(emu.lastReply().startsWith(cut));

    line.send(QByteArray(1, 0x05));
    QCOMPARE(line.receive(3000, 300), emu.lastReply());
    QCOMPARE(emu.executionCount(0xF01), 1);
}

void TstEmulator::conditionsOnDemand_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("flag");    // status bit set while the fault acts
    QTest::addColumn<int>("command"); // and a command it refuses
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("code");

    const QByteArray cashier = QByteArray::fromHex("141e000000");
    const QByteArray name = QByteArray::fromHex("0141");
    QTest::newRow("foreign card") << "foreign-card" << 0x0004 << 0x11 << cashier + name << 32;
    QTest::newRow("eeprom error") << "eeprom-error" << 0x0040 << 0xC2 << cashier + QByteArray::fromHex("013c") << 25;
    QTest::newRow("paper low: printing goes on") << "paper-low" << 0x2000 << int(PrintLineCmd)
                                                 << QByteArray(4, '\0') + "x" << 0;
    for (const int code : {25, 32, 36, 50, 52})
        QTest::newRow(qPrintable(QStringLiteral("refuse %1").arg(code)))
            << QStringLiteral("refuse=%1").arg(code) << 0 << 0x15 << QByteArray() << code;
}

void TstEmulator::conditionsOnDemand()
{
    QFETCH(QString, fault);
    QFETCH(int, flag);
    QFETCH(int, command);
    QFETCH(QByteArray, payload);
    QFETCH(int, code);
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    QVERIFY(emu.addFault(fault));
    Line line(emu.devicePath());
    QVERIFY(line.open());
    const FsRep status = line.exchange(StatusCmd, 0x2001);
    if (flag) {
        FrStatus st;
        QVERIFY(st.parse(status.data()));
        QCOMPARE(int(st.flags & 0x2044), flag);
    } else {
        QCOMPARE(int(status.code()), code); // refused like any other request
    }
    const FsRep rep = line.exchange(quint8(command), 0x2002, payload);
    QCOMPARE(int(rep.code()), code);
    QCOMPARE(emu.executionCount(0x2002), code == 0 || flag ? 1 : 0);

    // Without the fault the register is itself again.
    emu.clearFaults();
    FrStatus st;
    QVERIFY(st.parse(line.exchange(StatusCmd, 0x2003).data()));
    QCOMPARE(int(st.flags & 0x2044), 0);
}

void TstEmulator::controlTapeRunsOutOfPaper()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    emu.withModel([](FiscalModel &m) {
        const QByteArray who = QByteArray::fromHex("141e000000");
        m.execute(0x11, who + QByteArray::fromHex("0141"));
        m.execute(0x12, {});
        m.takePrinted();
    });
    emu.addFault(EmuFault::TapeOutOfPaper, 1, 1);
    Line line(emu.devicePath());
    QVERIFY(line.open());
    const QByteArray who = QByteArray::fromHex("141e000000");
    FsRep rep = line.exchange(0x3A, 0x2101, who + QByteArray::fromHex("01000000"));
    QCOMPARE(int(rep.code()), 54);
    QCOMPARE(rep.data(), QByteArray::fromHex("02000000")); // where to go on once paper is in
    const QString paper = emu.takePrinted().join(QLatin1Char('\n'));
    QVERIFY2(paper.contains(QStringLiteral("ФД 1")), qPrintable(paper));
    rep = line.exchange(0x3A, 0x2102, who + rep.data());
    QCOMPARE(int(rep.code()), 0);
    QVERIFY(rep.data().isEmpty());
    QVERIFY(emu.takePrinted().join('\n').contains(QStringLiteral("ФД 2")));
}

void TstEmulator::silent()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    Line line(emu.devicePath());
    QVERIFY(line.open());
    QCOMPARE(line.exchange(VersionCmd, 0x1001).unique(), 0x1001u);
    emu.addFault(EmuFault::Silent);
    line.send(request(StatusCmd, 0x1002));
    QVERIFY(line.silentFor(400));
    line.send(QByteArray(1, 0x05));
    QVERIFY(line.silentFor(400));
    QCOMPARE(emu.executionCount(), 1);

    emu.clearFaults(); // and it speaks again
    QCOMPARE(line.exchange(StatusCmd, 0x1003).unique(), 0x1003u);
}

void TstEmulator::faultOnEveryReply()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    QVERIFY(emu.addFault(QStringLiteral("corrupt-crc")));
    Line line(emu.devicePath());
    QVERIFY(line.open());
    for (quint32 u = 0x1101; u < 0x1104; ++u)
        QCOMPARE(int(line.exchange(VersionCmd, u).parsingResult()), int(fs::WrongCrc));
    line.send(QByteArray(1, 0x05)); // answers to 0x05 are replies too
    QCOMPARE(int(parse(line.frame()).parsingResult()), int(fs::WrongCrc));
}

void TstEmulator::printerFaults_data()
{
    QTest::addColumn<EmuFault::Kind>("kind");
    QTest::addColumn<int>("result");
    QTest::newRow("printer not answering") << EmuFault::PrinterNotAnswering << 53;
    QTest::newRow("out of paper") << EmuFault::OutOfPaper << 54;
}

void TstEmulator::printerFaults()
{
    QFETCH(EmuFault::Kind, kind);
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    Line line(emu.devicePath());
    QVERIFY(line.open());
    const QByteArray printLine = QByteArray(4, '\0') + "TEST";
    const FsRep plain = line.exchange(PrintLineCmd, 0x1201, printLine);
    if (plain.code() == 10)
        QSKIP("the model does not print yet");
    QCOMPARE(int(plain.code()), 0);
    emu.takePrinted();

    emu.addFault(kind, 2); // the second request from now on
    QCOMPARE(int(line.exchange(StatusCmd, 0x1202).code()), 0);
    QTEST(int(line.exchange(PrintLineCmd, 0x1203, printLine).code()), "result");
    QVERIFY(emu.takePrinted().isEmpty());
    QCOMPARE(int(line.exchange(PrintLineCmd, 0x1204, printLine).code()), 0);
    QVERIFY(!emu.takePrinted().isEmpty());
}

void TstEmulator::signedImage_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<bool>("valid");

    QByteArray body(5000, '\0');
    for (int i = 0; i < body.size(); ++i)
        body[i] = char((i * 7919) >> 3);
    const QByteArray good = emu::signedimage::sign(body);
    const auto changed = [&](int at) {
        QByteArray b = good;
        b[at] = char(b.at(at) ^ 0x01);
        return b;
    };
    QTest::newRow("empty body") << emu::signedimage::sign(QByteArray()) << true;
    QTest::newRow("one byte") << emu::signedimage::sign("x") << true;
    QTest::newRow("5000 bytes") << good << true;
    QTest::newRow("body byte changed") << changed(16 + 2500) << false;
    QTest::newRow("digest byte changed") << changed(good.size() - 1) << false;
    QTest::newRow("magic changed") << changed(0) << false;
    QTest::newRow("size field changed") << changed(8) << false;
    QTest::newRow("reserved byte set") << changed(13) << false;
    QTest::newRow("last byte missing") << good.left(good.size() - 1) << false;
    QTest::newRow("byte appended") << good + "x" << false;
    QTest::newRow("plain file") << body << false;
    QTest::newRow("nothing") << QByteArray() << false;
}

void TstEmulator::signedImage()
{
    QFETCH(QByteArray, image);
    QFETCH(bool, valid);
    QString why;
    QCOMPARE(emu::signedimage::verify(image, &why), valid);
    QCOMPARE(why.isEmpty(), valid);
    if (valid)
        QCOMPARE(emu::signedimage::sign(emu::signedimage::body(image)), image);
    else
        QVERIFY(emu::signedimage::body(image).isEmpty());
}

void TstEmulator::loaderCommands_data()
{
    QTest::addColumn<QVector<Step>>("steps");

    const QByteArray image = emu::signedimage::sign("firmware body");
    QByteArray tampered = image;
    tampered[20] = char(tampered.at(20) ^ 0x40);
    const qint32 n = image.size();

    QTest::newRow("check connection") << QVector<Step>{{0xFF, {}, 0}};
    QTest::newRow("reboot") << QVector<Step>{{0xF0, {}, 0}};
    QTest::newRow("unknown command") << QVector<Step>{{0x77, {}, 1}};
    QTest::newRow("block before size") << QVector<Step>{{0x01, "abc", 3}};
    QTest::newRow("negative size") << QVector<Step>{{0x00, sizeData(-1), 2}};
    QTest::newRow("absurd size") << QVector<Step>{{0x00, sizeData(LoaderModel::MaxImageSize + 1), 2}};
    QTest::newRow("size of 3 bytes") << QVector<Step>{{0x00, "abc", 2}};
    QTest::newRow("block past size") << QVector<Step>{
        {0x00, sizeData(10), 0}, {0x01, "12345678", 0}, {0x01, "9ab", 4}, {0x01, "9a", 0}};
    QTest::newRow("empty block") << QVector<Step>{{0x00, sizeData(10), 0}, {0x01, {}, 2}};
    QTest::newRow("check before the end")
        << QVector<Step>{{0x00, sizeData(10), 0}, {0x01, "12345678", 0}, {0x02, {}, 5}};
    QTest::newRow("check without upload") << QVector<Step>{{0x02, {}, 3}};
    QTest::newRow("install without check") << QVector<Step>{{0x00, sizeData(n), 0}, {0x01, image, 0}, {0x03, {}, 7}};
    QTest::newRow("bad signature") << QVector<Step>{
        {0x00, sizeData(n), 0}, {0x01, tampered, 0}, {0x02, {}, 6}, {0x03, {}, 7}};
    QTest::newRow("empty image") << QVector<Step>{{0x00, sizeData(0), 0}, {0x02, {}, 6}};
    QTest::newRow("whole upload") << QVector<Step>{{0x00, sizeData(n), 0},
                                                   {0x01, image.left(10), 0},
                                                   {0x01, image.mid(10), 0},
                                                   {0x02, {}, 0},
                                                   {0x03, {}, 0},
                                                   {0x04, {}, 0},
                                                   {0x03, {}, 7}};
    QTest::newRow("reboot forgets the upload")
        << QVector<Step>{{0x00, sizeData(n), 0}, {0x01, image, 0}, {0xF0, {}, 0}, {0x02, {}, 3}};
    QTest::newRow("new size restarts") << QVector<Step>{
        {0x00, sizeData(n), 0}, {0x01, "junk", 0}, {0x00, sizeData(n), 0}, {0x01, image, 0}, {0x02, {}, 0}};
}

void TstEmulator::loaderCommands()
{
    QFETCH(QVector<Step>, steps);
    LoaderModel loader;
    loader.setInstallSeconds(0);
    for (int i = 0; i < steps.size(); ++i) {
        const LoaderModel::Result r = loader.execute(steps[i].code, steps[i].data);
        QVERIFY2(r.status == steps[i].status,
                 qPrintable(QStringLiteral("step %1: status %2 (%3)").arg(i + 1).arg(r.status).arg(r.text)));
        if (r.status != 0)
            QVERIFY(!r.text.isEmpty()); // every refusal says why
    }
}

void TstEmulator::loaderUploadOverLine()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    EmulatorFixture::Options options;
    options.imagesDir = dir.filePath(QStringLiteral("images"));
    EmulatorFixture emu(options);
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));

    QByteArray body(2500, '\0');
    for (int i = 0; i < body.size(); ++i)
        body[i] = char(i * 31);
    const QByteArray image = emu::signedimage::sign(body);

    Line line(emu.loaderPath(), 921600);
    QVERIFY(line.open());
    struct Reply
    {
        qint32 size = -1;
        int status = -1;
        QString text;
    };
    const auto command = [&](quint8 code, const QByteArray &data) {
        line.send(QByteArray(1, 0x04) + le32(quint32(data.size())) + char(code) + data);
        QByteArray got;
        QElapsedTimer t;
        t.start();
        Reply r;
        while (t.elapsed() < 5000) {
            got += line.port().readAll();
            if (got.size() >= 6) {
                const qint32 n = qint32(quint8(got[1]) | (quint8(got[2]) << 8) | (quint8(got[3]) << 16) |
                                        (quint32(quint8(got[4])) << 24));
                if (n >= 0 && got.size() >= 6 + n) {
                    r.size = n;
                    r.status = quint8(got[5]);
                    r.text = QString::fromUtf8(got.mid(6, n));
                    break;
                }
            }
            line.port().waitForReadyRead(100);
        }
        return r;
    };

    Reply r = command(0xFF, {});
    QCOMPARE(r.status, 0);
    QVERIFY(!r.text.isEmpty());
    QCOMPARE(command(0x00, sizeData(image.size())).status, 0);
    for (int at = 0; at < image.size(); at += 1024) {
        line.close(); // the application reopens its port for every command
        QVERIFY(line.open());
        QCOMPARE(command(0x01, image.mid(at, 1024)).status, 0);
    }
    QCOMPARE(command(0x02, {}).status, 0);
    QCOMPARE(command(0x03, {}).status, 0);
    r = command(0x04, {});
    QCOMPARE(r.status, 0);
    QVERIFY(r.text.contains(QString::number(body.size())));

    QCOMPARE(emu.loader().installedImage(), image);
    QCOMPARE(emu.loader().installCount(), 1);
    QFile received(QDir(options.imagesDir).filePath(QStringLiteral("received-001.signed.img")));
    QVERIFY(received.open(QIODevice::ReadOnly));
    QCOMPARE(received.readAll(), image);
    QFile installed(QDir(options.imagesDir).filePath(QStringLiteral("installed.signed.img")));
    QVERIFY(installed.open(QIODevice::ReadOnly));
    QCOMPARE(installed.readAll(), image);

    // A header announcing a negative data size is refused, and the loader still listens.
    r = command(0xFF, QByteArray());
    QCOMPARE(r.status, 0);
    line.send(QByteArray::fromHex("04ffffffff01"));
    QElapsedTimer t;
    t.start();
    QByteArray got;
    while (got.size() < 6 && t.elapsed() < 5000) {
        line.port().waitForReadyRead(100);
        got += line.port().readAll();
    }
    QVERIFY(got.size() >= 6);
    QVERIFY(got.at(5) != 0);
    QCOMPARE(command(0xFF, {}).status, 0);
}

QTEST_GUILESS_MAIN(TstEmulator)
#include "tst_emulator.moc"
