// The serial exchange end to end: FsWrapper -> FrApiThread -> FsApi -> pseudo-terminal -> the
// substitute register (with its faults), and back.
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <atomic>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "emulatorfixture.h"
#include "frapi.h"
#include "frapithread.h"
#include "frwrapper.h"
#include "portholder.h"
#include "quietlog.h"

Q_DECLARE_METATYPE(EmuFault)

namespace {
constexpr quint8 StatusCmd = 0x30;
constexpr quint8 VersionCmd = 0x33;
constexpr quint8 UnknownCmd = 0x7E;
constexpr int StatusSize = 31;
constexpr int VersionSize = 3;

// Short read time-outs: the faults below cost one to three of them each.
constexpr FsRwTimeout Short{400, 500};

QStringList texts(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &args : spy)
        out << args.last().toString();
    return out;
}

int countOut(const QSignalSpy &spy, bool out)
{
    int n = 0;
    for (const QList<QVariant> &args : spy)
        n += args.first().toBool() == out ? 1 : 0;
    return n;
}
} // namespace

class TstTransport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void exchange_data();
    void exchange();
    void longGapTriggersRepeatRequest_data();
    void longGapTriggersRepeatRequest();
    void deviceRefusal();
    void noDevice();
    void portCannotBeOpened();
    void frameShorterThanTenBytes();
    void requestRightAfterStartIsNotLost();
    void execOnClosedPortSendsNothing();
    void closeThenOpenAnotherPort();
    void nestedExecIsRefused();
    void transportAnswersInRequestOrder();
    void closeDuringExchangeThenNothingLeaves();
    void lateReplyAfterQuitAnswersNobody();
    void portStaysLockedThroughOperation();
    void waiterFollowsTheWorkerThatSends();
    void destructionLetsExchangeFinish();
    void nothingLeftAfterDestruction();
};

void TstTransport::initTestCase()
{
    registerFsMetaTypes();
    qInstallMessageHandler(quietMessages);
}

void TstTransport::cleanup()
{
    // Every test disposes of its workers; one left behind would leak into the next.
    QTRY_COMPARE(FrApiThread::instances(), 0);
    QCOMPARE(FsApi::instances(), 0);
}

// Warm the register up with two exchanges, so that it has a last and an older reply for the
// repeat faults, then forget the history.
static void warmUp(EmulatorFixture &emu, FsWrapper &fr)
{
    QSignalSpy finished(&fr, &FsWrapper::exchangeFinished);
    FsRep rep;
    QCOMPARE(fr.exec(FsReq(VersionCmd), rep, Short), CoreApiConst::Success);
    QCOMPARE(fr.exec(FsReq(VersionCmd), rep, Short), CoreApiConst::Success);
    // The notice of the end comes after the reply; let it pass before the test's spies start.
    QTRY_COMPARE(finished.count(), 2);
    emu.clearHistory();
}

void TstTransport::exchange_data()
{
    QTest::addColumn<QVector<EmuFault>>("faults");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("parsing");
    QTest::addColumn<int>("repeats");   // 0x05 bytes the register received
    QTest::addColumn<int>("frames");    // request frames the register received
    QTest::addColumn<int>("reads");     // frames sent and reads made, as the log pane shows them
    QTest::addColumn<bool>("hasReply"); // the caller got the register's last reply

    using F = EmuFault;
    QTest::newRow("success") << QVector<F>{} << 0 << int(fs::Ok) << 0 << 1 << 1 << true;
    QTest::newRow("lost reply recovered by 0x05")
        << QVector<F>{F(F::DropReply, 1)} << 0 << int(fs::Ok) << 1 << 1 << 2 << true;
    QTest::newRow("request lost, 0x05 answers the previous exchange: resend")
        << QVector<F>{F(F::IgnoreRequest, 1)} << 0 << int(fs::Ok) << 1 << 2 << 3 << true;
    QTest::newRow("stale reply to 0x05: resend, third read")
        << QVector<F>{F(F::DropReply, 1), F(F::StaleRepeat, 1)} << 0 << int(fs::Ok) << 1 << 2 << 3 << true;
    QTest::newRow("reply split 50 ms apart")
        << QVector<F>{F(F::SplitReply, 1, 50)} << 0 << int(fs::Ok) << 0 << 1 << 1 << true;
    QTest::newRow("stray bytes before the frame")
        << QVector<F>{F(F::StrayPrefix, 1, 3)} << 0 << int(fs::Ok) << 0 << 1 << 1 << true;
    QTest::newRow("frame cut short: 0x05")
        << QVector<F>{F(F::TruncateReply, 1, 6)} << 0 << int(fs::Ok) << 1 << 1 << 2 << true;
    // The register may have executed it: its reply is asked for again, the request never.
    QTest::newRow("corrupted CRC: reply asked for again")
        << QVector<F>{F(F::CorruptCrc, 1)} << 0 << int(fs::Ok) << 1 << 1 << 2 << true;
    QTest::newRow("corrupted CRC twice: the damaged reply stands")
        << QVector<F>{F(F::CorruptCrc, 1), F(F::CorruptCrc, 2)} << 252 << int(fs::WrongCrc) << 1 << 1 << 2 << false;
}

void TstTransport::exchange()
{
    QFETCH(QVector<EmuFault>, faults);
    QFETCH(int, result);
    QFETCH(int, parsing);
    QFETCH(int, repeats);
    QFETCH(int, frames);
    QFETCH(int, reads);
    QFETCH(bool, hasReply);

    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    FsWrapper fr;
    QVERIFY(fr.open(emu.devicePath()));
    warmUp(emu, fr);
    for (const EmuFault &f : faults)
        emu.addFault(f);

    QSignalSpy frames_(&fr, qOverload<bool, QString>(&FsWrapper::showLog));
    QSignalSpy lines(&fr, qOverload<QString>(&FsWrapper::showLog));
    QSignalSpy started(&fr, &FsWrapper::exchangeStarted);
    QSignalSpy finished(&fr, &FsWrapper::exchangeFinished);

    FsRep rep;
    QCOMPARE(int(fr.exec(FsReq(StatusCmd), rep, Short)), result);
    QCOMPARE(int(rep.parsingResult()), parsing);
    QCOMPARE(emu.repeatRequests(), repeats);
    QCOMPARE(emu.requests().size(), frames);
    const quint32 unique = emu.lastRequest().request.unique();
    QCOMPARE(emu.executionCount(unique), 1); // never executed twice, also when sent twice
    QCOMPARE(emu.lastRequest().request.code(), StatusCmd);
    QCOMPARE(rep.unique(), unique);
    if (hasReply) {
        QCOMPARE(rep.rawData(), emu.lastReply());
        QCOMPARE(rep.data().size(), StatusSize);
    }

    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(started.count(), 1);
    QCOMPARE(countOut(frames_, true), reads);
    QCOMPARE(countOut(frames_, false), reads);
    if (repeats > 0)
        QCOMPARE(frames_.at(2), (QList<QVariant>{true, QStringLiteral("05")}));
    if (hasReply)
        QCOMPARE(frames_.last().last().toString(), QString::fromLatin1(emu.lastReply().toHex()));
    // One line with the reason whenever the caller gets a failure: the device's text for a
    // non-zero code, or the parse error for a damaged frame that carries code 0.
    if (result == 0) {
        QCOMPARE(lines.count(), 0);
    } else {
        QCOMPARE(lines.count(), 1);
        if (rep.code() == 0)
            QCOMPARE(lines.first().first().toString(), QStringLiteral("Ошибка разбора ответа от ФР"));
    }
}

void TstTransport::longGapTriggersRepeatRequest_data()
{
    QTest::addColumn<quint8>("command");
    QTest::addColumn<int>("result");
    QTest::newRow("refusal, 10 bytes") << UnknownCmd << int(CoreApiConst::UnsupportedCommand);
    // The second half carries the version 2.4.17: a 0x04 that is no start of a frame.
    QTest::newRow("version, 0x04 in the late half") << VersionCmd << int(CoreApiConst::Success);
}

void TstTransport::longGapTriggersRepeatRequest()
{
    QFETCH(quint8, command);
    QFETCH(int, result);
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    FsWrapper fr;
    QVERIFY(fr.open(emu.devicePath()));
    warmUp(emu, fr);
    emu.addFault(EmuFault::SplitReply, 1, 250);

    QSignalSpy frames(&fr, qOverload<bool, QString>(&FsWrapper::showLog));
    FsRep rep;
    // The first read gives up after the 100 ms gap; the repeat request asks for the reply again.
    // The late second half arrives in front of the repeated reply: it is not taken for the start
    // of a reply, and the caller gets the register's own answer, the request never sent twice.
    QCOMPARE(int(fr.exec(FsReq(command), rep, Short)), result);
    QCOMPARE(emu.repeatRequests(), 1);
    QCOMPARE(emu.requests().size(), 1);
    QCOMPARE(frames.at(1).first().toBool(), false);
    QCOMPARE(frames.at(2), (QList<QVariant>{true, QStringLiteral("05")}));
    QCOMPARE(rep.parsingResult(), fs::Ok);
    QCOMPARE(rep.unique(), emu.requests().first().request.unique());
    QCOMPARE(rep.rawData(), emu.lastReply());
}

void TstTransport::deviceRefusal()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    FsWrapper fr;
    QVERIFY(fr.open(emu.devicePath()));
    QSignalSpy lines(&fr, qOverload<QString>(&FsWrapper::showLog));

    FsRep rep;
    QCOMPARE(fr.exec(FsReq(UnknownCmd), rep, Short), CoreApiConst::UnsupportedCommand);
    QCOMPARE(rep.parsingResult(), fs::Ok);
    QCOMPARE(texts(lines), QStringList{QStringLiteral("Команда не поддерживается")});
}

void TstTransport::noDevice()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    emu.addFault(EmuFault::Silent);
    FsWrapper fr;
    QVERIFY(fr.open(emu.devicePath()));
    QSignalSpy lines(&fr, qOverload<QString>(&FsWrapper::showLog));
    QSignalSpy frames(&fr, qOverload<bool, QString>(&FsWrapper::showLog));

    QElapsedTimer clock;
    clock.start();
    FsRep rep;
    // Nothing came back at all: not the same failure as an answer that cannot be read.
    QCOMPARE(fr.exec(FsReq(StatusCmd), rep, Short), CoreApiConst::NoAnswer);
    QCOMPARE(rep.bytesReceived(), 0);
    // The first read and the read after the repeat request each wait out the whole time-out.
    QVERIFY(clock.elapsed() >= 2 * Short.readTimeout - 20);
    QCOMPARE(rep.code(), quint8(CoreApiConst::NoAnswer));
    QCOMPARE(rep.parsingResult(), fs::NotParsed);
    QCOMPARE(emu.requests().size(), 1); // no resend without a reply to compare
    QCOMPARE(emu.repeatRequests(), 1);
    QCOMPARE(texts(lines), QStringList{QStringLiteral("ФР не отвечает")});
    // Nothing received is still shown, as an empty line.
    QTRY_COMPARE(frames.count(), 4);
    QCOMPARE(frames.at(1), (QList<QVariant>{false, QString()}));
    QCOMPARE(frames.at(3), (QList<QVariant>{false, QString()}));
}

void TstTransport::portCannotBeOpened()
{
    FsWrapper fr;
    QVERIFY(fr.open(QStringLiteral("/dev/virta-no-such-port")));
    QSignalSpy lines(&fr, qOverload<QString>(&FsWrapper::showLog));
    QSignalSpy frames(&fr, qOverload<bool, QString>(&FsWrapper::showLog));
    QSignalSpy finished(&fr, &FsWrapper::exchangeFinished);

    FsRep rep;
    QCOMPARE(fr.exec(FsReq(StatusCmd), rep, FsTimeouts::Long), CoreApiConst::NoAnswer);
    QCOMPARE(rep.code(), quint8(CoreApiConst::NoAnswer));
    QCOMPARE(rep.parsingResult(), fs::NotParsed);
    QCOMPARE(texts(lines), QStringList{QStringLiteral("ФР не отвечает")});
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(frames.count(), 0); // nothing was sent or read
}

namespace {
// A register that answers every request frame with bytes chosen by the test.
class ScriptedDevice : public EmuResponder
{
public:
    explicit ScriptedDevice(const QByteArray &answer) : answer_(answer) {}
    QVector<EmuChunk> receive(const QByteArray &bytes, qint64) override
    {
        buffer_ += bytes;
        QVector<EmuChunk> out;
        for (;;) {
            const emu::RequestScan scan = emu::scanRequest(buffer_, 8192);
            buffer_.remove(0, scan.consumed);
            if (scan.kind == emu::RequestScan::Repeat)
                ++repeats;
            else if (scan.kind == emu::RequestScan::Request) {
                ++requests;
                out.append(EmuChunk{0, answer_});
            }
            if (scan.kind == emu::RequestScan::NeedMore)
                return out;
        }
    }
    std::atomic<int> requests{0};
    std::atomic<int> repeats{0};

private:
    QByteArray answer_;
    QByteArray buffer_;
};
} // namespace

void TstTransport::frameShorterThanTenBytes()
{
    // Length field 2: the frame is complete after 7 bytes, and too short to be a reply.
    ScriptedDevice device(QByteArray::fromHex("04020000112233"));
    EmuPort port;
    QString error;
    QVERIFY2(port.openPty(&error), qPrintable(error));
    EmuPortServer server(&device, &port);
    QVERIFY2(server.start(&error), qPrintable(error));

    FsWrapper fr;
    QVERIFY(fr.open(port.path()));
    QSignalSpy frames(&fr, qOverload<bool, QString>(&FsWrapper::showLog));
    FsRep rep;
    QCOMPARE(fr.exec(FsReq(StatusCmd), rep, Short), CoreApiConst::ParseError);
    QCOMPARE(rep.parsingResult(), fs::TooShort);
    QCOMPARE(rep.code(), quint8(CoreApiConst::NoAnswer));
    QCOMPARE(device.requests.load(), 1);
    // Whole, but unreadable: its reply is asked for once more (this device does not answer that).
    QCOMPARE(device.repeats.load(), 1);
    QTRY_COMPARE(frames.count(), 4);
    QCOMPARE(frames.at(1), (QList<QVariant>{false, QStringLiteral("04020000112233")}));
    QCOMPARE(frames.at(2), (QList<QVariant>{true, QStringLiteral("05")}));
    fr.close();
    QTRY_COMPARE(FrApiThread::instances(), 0);
    server.stop();
}

void TstTransport::requestRightAfterStartIsNotLost()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    // The request leaves while run() may not have wired the transport yet; repeat to hit that window.
    for (int i = 0; i < 20; ++i) {
        auto *t = new FrApiThread(emu.devicePath());
        QSignalSpy replies(t, &FrApiThread::executed);
        t->start();
        emit t->sedReq(FsReq(VersionCmd), Short.readTimeout, Short.writeTimeout);
        QVERIFY(replies.wait(5000));
        const FsRep rep = replies.first().first().value<FsRep>();
        QCOMPARE(rep.parsingResult(), fs::Ok);
        QCOMPARE(rep.data().size(), VersionSize);
        t->quit(); // deletes itself once its thread has ended
        QTRY_COMPARE(FrApiThread::instances(), 0);
    }
    QCOMPARE(emu.executionsOf(VersionCmd), 20);

    // The same through the command layer: the first request right after open.
    FsWrapper fr;
    QVERIFY(fr.open(emu.devicePath()));
    FsRep rep;
    QCOMPARE(fr.exec(FsReq(StatusCmd), rep, Short), CoreApiConst::Success);
    QCOMPARE(rep.data().size(), StatusSize);
}

void TstTransport::execOnClosedPortSendsNothing()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    FsWrapper fr;
    FsRep rep;
    QElapsedTimer clock;
    clock.start();
    // Never opened, then opened and closed: no worker is started behind the user's back.
    QCOMPARE(fr.exec(FsReq(StatusCmd), rep, Short), CoreApiConst::NoAnswer);
    QVERIFY(fr.open(emu.devicePath()));
    fr.close();
    QSignalSpy lines(&fr, qOverload<QString>(&FsWrapper::showLog));
    QCOMPARE(fr.exec(FsReq(StatusCmd), rep, Short), CoreApiConst::NoAnswer);
    QVERIFY(clock.elapsed() < Short.readTimeout); // at once, not after a time-out
    QVERIFY(!fr.isOpen());
    QCOMPARE(rep.code(), quint8(CoreApiConst::NoAnswer));
    QCOMPARE(texts(lines), QStringList{QStringLiteral("Команда 0x30 не отправлена: порт не открыт")});
    QTRY_COMPARE(FrApiThread::instances(), 0);
    QCOMPARE(emu.requests().size(), 0);
}

void TstTransport::closeThenOpenAnotherPort()
{
    EmulatorFixture first;
    EmulatorFixture second;
    QVERIFY2(first.start(), qPrintable(first.lastError()));
    QVERIFY2(second.start(), qPrintable(second.lastError()));

    FsWrapper fr;
    QVERIFY(fr.open(first.devicePath()));
    QVERIFY(fr.open(second.devicePath())); // already open: keeps the first port
    QCOMPARE(fr.portName(), first.devicePath());
    FsRep rep;
    QCOMPARE(fr.exec(FsReq(StatusCmd), rep, Short), CoreApiConst::Success);

    fr.close();
    QVERIFY(fr.open(second.devicePath()));
    QCOMPARE(fr.portName(), second.devicePath());
    QCOMPARE(fr.exec(FsReq(StatusCmd), rep, Short), CoreApiConst::Success);
    QCOMPARE(fr.exec(FsReq(StatusCmd), rep, Short), CoreApiConst::Success);
    QCOMPARE(first.executionCount(), 1);
    QCOMPARE(second.executionCount(), 2);
    QTRY_COMPARE(FrApiThread::instances(), 1); // the first worker has gone
}

// A request asked for while another waits for its reply (from a timer, a queued click) is refused
// at once and sends nothing; the waiting one gets its own reply.
void TstTransport::nestedExecIsRefused()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    emu.addFault(EmuFault::DelayReply, 1, 300);
    FsWrapper fr;
    QVERIFY(fr.open(emu.devicePath()));

    FsRep inner;
    int innerCode = -1;
    QTimer::singleShot(50, &fr, [&] { innerCode = fr.exec(FsReq(VersionCmd), inner, Short); });
    FsRep outer;
    QCOMPARE(fr.exec(FsReq(StatusCmd), outer, Short), CoreApiConst::Success);
    QCOMPARE(innerCode, int(CoreApiConst::NoAnswer));
    QCOMPARE(fr.lastRefusal(), QString()); // the outer one went out

    QCOMPARE(emu.requests().size(), 1);
    QCOMPARE(emu.requests().at(0).request.code(), StatusCmd);
    QCOMPARE(outer.unique(), emu.requests().at(0).request.unique());
    QCOMPARE(outer.data().size(), StatusSize);
}

void TstTransport::transportAnswersInRequestOrder()
{
    // A request that reaches the transport while it is busy (its waits process the thread's events)
    // runs after the current exchange, never inside it.
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    FsApi api(emu.devicePath());
    QSignalSpy replies(&api, &FsApi::executed);
    bool nested = false;
    connect(&api, &FsApi::exchangeStarted, &api, [&] {
        if (nested)
            return;
        nested = true;
        api.exec(FsReq(VersionCmd), Short.readTimeout, Short.writeTimeout);
    });
    api.exec(FsReq(StatusCmd), Short.readTimeout, Short.writeTimeout);

    QCOMPARE(replies.count(), 2);
    QCOMPARE(replies.at(0).first().value<FsRep>().data().size(), StatusSize);
    QCOMPARE(replies.at(1).first().value<FsRep>().data().size(), VersionSize);
    const QVector<EmuRequestRecord> requests = emu.requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(0).request.code(), StatusCmd);
}

// "Закрыть" while an exchange runs: the register has the request and will execute it, so that
// exchange runs to its end and its caller gets the register's own reply, not "no answer"; the port
// is given up once it has, and the next command finds the port closed and sends nothing (it does
// not open the old port again).
void TstTransport::closeDuringExchangeThenNothingLeaves()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    emu.addFault(EmuFault::DelayReply, 1, 300);
    FsWrapper fr;
    QVERIFY(fr.open(emu.devicePath()));

    // Closed as soon as the request has reached the register, its reply still 300 ms away.
    QTimer inFlight;
    inFlight.setInterval(1);
    connect(&inFlight, &QTimer::timeout, &fr, [&] {
        if (emu.requests().size() == 1) {
            inFlight.stop();
            fr.close();
        }
    });
    inFlight.start();
    FsRep rep;
    QCOMPARE(fr.exec(FsReq(StatusCmd), rep, Short), CoreApiConst::Success);
    QVERIFY(!inFlight.isActive()); // closed during the exchange
    QVERIFY(!fr.isOpen());
    QCOMPARE(rep.unique(), emu.lastRequest().request.unique());
    QCOMPARE(rep.rawData(), emu.lastReply());
    QCOMPARE(rep.data().size(), StatusSize);
    QCOMPARE(emu.repeatRequests(), 0);

    QTRY_COMPARE(FrApiThread::instances(), 0);
    QCOMPARE(FsApi::instances(), 0);
    QVERIFY(othersCanTake(emu.devicePath()));
    QCOMPARE(fr.exec(FsReq(VersionCmd), rep, Short), CoreApiConst::NoAnswer);
    QCOMPARE(fr.lastRefusal(), QStringLiteral("Команда 0x33 не отправлена: порт не открыт"));
    QCOMPARE(emu.requests().size(), 1);
}

// The application quits while a request waits: the caller is let go at once, and the reply that
// still comes must not be taken for the answer of the next request of the same worker.
void TstTransport::lateReplyAfterQuitAnswersNobody()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    emu.addFault(EmuFault::DelayReply, 1, 400);
    FsWrapper fr;
    QVERIFY(fr.open(emu.devicePath()));

    int first = -1;
    QTimer::singleShot(0, &fr, [&] {
        QTimer::singleShot(100, &fr, [] { QCoreApplication::quit(); });
        FsRep rep;
        first = fr.exec(FsReq(StatusCmd), rep, Short);
    });
    QCoreApplication::exec();
    QCOMPARE(first, int(CoreApiConst::NoAnswer));

    FsRep rep;
    QCOMPARE(fr.exec(FsReq(VersionCmd), rep, Short), CoreApiConst::Success);
    QCOMPARE(rep.data().size(), VersionSize);
    QCOMPARE(rep.unique(), emu.lastRequest().request.unique());
    QCOMPARE(emu.requests().size(), 2); // the first had left: its reply came, and went to nobody
}

void TstTransport::destructionLetsExchangeFinish()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    emu.addFault(EmuFault::DelayReply, 1, 400);
    auto *fr = new FsWrapper;
    QVERIFY(fr->open(emu.devicePath()));
    emit fr->sedReq(FsReq(StatusCmd), 2000, 1000);
    QTRY_COMPARE(emu.requests().size(), 1); // in flight: the reply is 400 ms away

    delete fr;
    // The exchange ran to its end and the transport was closed and deleted in its own thread.
    QCOMPARE(FrApiThread::instances(), 0);
    QCOMPARE(FsApi::instances(), 0);
    QVERIFY(emu.lastRequest().answered);
    QCOMPARE(emu.repeatRequests(), 0);
}

void TstTransport::nothingLeftAfterDestruction()
{
    EmulatorFixture first;
    EmulatorFixture second;
    QVERIFY2(first.start(), qPrintable(first.lastError()));
    QVERIFY2(second.start(), qPrintable(second.lastError()));
    {
        FsWrapper fr;
        QVERIFY(fr.open(first.devicePath()));
        FsRep rep;
        QCOMPARE(fr.exec(FsReq(StatusCmd), rep, Short), CoreApiConst::Success);
        fr.close(); // still ending when the wrapper goes
        QVERIFY(fr.open(second.devicePath()));
        QCOMPARE(fr.exec(FsReq(StatusCmd), rep, Short), CoreApiConst::Success);
    }
    // No event loop ran since: the destructor itself waited for both threads and deleted them.
    QCOMPARE(FrApiThread::instances(), 0);
    QCOMPARE(FsApi::instances(), 0);
}

// The port is ours from open to close, through the reopen of every exchange: another program that
// locks the device the usual way is kept out between two exchanges of an operation, and gets it
// once the port is closed.
void TstTransport::portStaysLockedThroughOperation()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    const QByteArray device = QFile::encodeName(emu.devicePath());
    {
        FsWrapper fr;
        QVERIFY(fr.open(emu.devicePath()));
        const FsOperation op(fr);
        QVERIFY(op);
        FsRep rep;
        QCOMPARE(fr.exec(FsReq(StatusCmd), rep, Short), CoreApiConst::Success);
        QVERIFY(!othersCanTake(emu.devicePath()));
        QCOMPARE(fr.exec(FsReq(VersionCmd), rep, Short), CoreApiConst::Success);
        QVERIFY(!othersCanTake(emu.devicePath()));
    }
    QTRY_COMPARE(FrApiThread::instances(), 0);
    QVERIFY(othersCanTake(emu.devicePath()));

    // The other way round: a port held elsewhere is not opened, and the refusal names the holder.
    const int fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0);
    FsWrapper fr;
    QVERIFY(!fr.open(emu.devicePath()));
    ::close(fd);
    // In this process: the lock table names this process, which the port's own users skip.
    QVERIFY2(fr.openError().startsWith(QStringLiteral("Порт занят: ") + emu.devicePath()), qPrintable(fr.openError()));
    QCOMPARE(emu.requests().size(), 2);
}

// The port is changed between the call and the moment its request leaves (an event handled first):
// the caller waits for the worker that actually sent it, and gets that register's reply.
void TstTransport::waiterFollowsTheWorkerThatSends()
{
    EmulatorFixture first;
    EmulatorFixture second;
    QVERIFY2(first.start(), qPrintable(first.lastError()));
    QVERIFY2(second.start(), qPrintable(second.lastError()));
    FsWrapper fr;
    QVERIFY(fr.open(first.devicePath()));
    QTimer::singleShot(0, &fr, [&] {
        fr.close();
        QVERIFY(fr.open(second.devicePath()));
    });
    FsRep rep;
    QCOMPARE(fr.exec(FsReq(StatusCmd), rep, Short), CoreApiConst::Success);
    QCOMPARE(rep.unique(), second.lastRequest().request.unique());
    QCOMPARE(first.requests().size(), 0);
}

QTEST_GUILESS_MAIN(TstTransport)
#include "tst_transport.moc"
