// Every misbehaviour the substitute register can show, on each fiscal document completion and on
// a read, through the command layer as the tabs use it: the result the caller gets, how often the
// register executed the command, and whether the next commands work (and get their own replies).
// The rule throughout: nothing executed twice, no failure shown as success.
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <iterator>

#include "emudevice.h"
#include "emuserver.h"
#include "fiscalmodel.h"
#include "frconst.h"
#include "frwrapper.h"
#include "quietlog.h"
#include "receiptitem.h"
#include "tlv.h"

Q_DECLARE_METATYPE(QVector<EmuFault>)

namespace {

enum class Op { Receipt, ShiftClosing, Payout, Read, Registration, ArchiveClosing, ShiftOpening, CashIn };
// Each Op's command (the completion of its document, or the read itself) and what a successful
// reply must have said, judged from the register's own state afterwards; in the order of Op.
const struct
{
    quint8 command;
    const char *what;
} Ops[] = {
    {0x16, "91.00"},   // receipt: its total
    {0x14, "1"},       // shift closing: the shift's number
    {0xA5, "975.00"},  // payout: the drawer after it
    {0x10, "0"},       // shift status: closed
    {0x09, ""},        // registration
    {0x19, ""},        // archive closing
    {0x12, "1"},       // shift opening: the shift's number
    {0xA3, "1000.00"}, // cash in: the drawer after it
};
static_assert(std::size(Ops) == std::size_t(Op::CashIn) + 1, "one entry for each Op");
quint8 commandOf(Op op)
{
    return Ops[int(op)].command;
}
QString expectedWhat(Op op)
{
    return QString::fromLatin1(Ops[int(op)].what);
}
const QString CashierName = QStringLiteral("Кассир");
// Expected result: a refusal of the register's own (any code but success, 252 and 253).
constexpr int Refused = -1;

// Every exchange waits at most this long for a reply instead of the register's 2 s and 5 s: the
// substitute answers at once, and each row's faults are timed against it. It stays well above
// the longest delay a row relies on landing inside one wait (the 300 ms after the time-out, the
// 400 ms gap, the restart at 300 ms), so a loaded machine does not turn a row into another.
constexpr quint32 ReadTimeoutMs = 1000;

// The read time-out of the command under test: the quick reads wait 2 s, documents 5 s, both cut
// to ReadTimeoutMs.
int readTimeoutOf(Op op)
{
    const FsRwTimeout t = op == Op::Read ? FsTimeouts::Quick : FsTimeouts::Normal;
    return int(qMin(t.readTimeout, ReadTimeoutMs));
}

// A register behind a stable link, so that it can be killed and started again on a new
// pseudo-terminal while the program keeps its port name; its state survives, as a register's does.
struct Register
{
    QTemporaryDir dir;
    EmuServer server;
    QString link;
    QString error;

    // In its "ready" state (the first start), with its own guard against a repeated frame off:
    // what is proven here is that the program never sends an executed command again, not that a
    // register would catch it.
    bool start()
    {
        if (link.isEmpty()) {
            server.model().applyPreset(QStringLiteral("ready"));
            server.device().setRepeatGuard(false);
        }
        link = dir.path() + QStringLiteral("/fr");
        EmuServer::Config config;
        config.link = link;
        config.loader = false;
        return server.start(config, &error);
    }
    EmuDevice &device() { return server.device(); }
};

// The document the command under test completes, left open as a tab would leave it.
bool prepare(FsWrapper &fr, Op op)
{
    switch (op) {
    case Op::Read:
        return true;
    case Op::Registration: {
        const Tlv tax(13105,
                      QList<Tlv>{Tlv(13102, quint8(0)), Tlv(13103, quint16(0)), Tlv(13104, QStringLiteral("БЕЗ НДС"))});
        return fr.startRegistration(CashierName) == 0 && fr.sendDocData(tax.rawData()) == 0;
    }
    case Op::ArchiveClosing:
        return fr.startArchiveClosing(CashierName) == 0;
    case Op::ShiftOpening:
        return fr.startCycleOpening(CashierName) == 0;
    default:
        break;
    }
    qint16 cycle = 0;
    qint32 fd = 0, fp = 0;
    QDateTime dt;
    if (fr.startCycleOpening(CashierName) != 0 || fr.completeCycleOpening(cycle, fd, fp, dt) != 0)
        return false;
    switch (op) {
    case Op::Receipt: {
        ReceiptItem item;
        item.name = QStringLiteral("Хлеб");
        item.price = FixNumber(100, qint64(4550));
        item.quantity = FixNumber(1000, qint64(2000));
        item.section = 1;
        item.tax = 1;
        return fr.startReceipt(0, CashierName) == 0 && fr.sendDocData(item.toTlv().rawData()) == 0;
    }
    case Op::ShiftClosing:
        return fr.startCycleClosing(CashierName) == 0;
    case Op::Payout: {
        FixNumber drawer;
        return fr.startIntroduction(CashierName) == 0 &&
               fr.completeIntroduction(FixNumber(100, qint64(100000)), cycle, fd, fp, dt, drawer) == 0 &&
               fr.startPayout(CashierName) == 0;
    }
    case Op::CashIn:
        return fr.startIntroduction(CashierName) == 0;
    default:
        break;
    }
    return true;
}

// The command layer on the register, as the tabs set it up, with the document of `op` left open.
bool openPrepared(FsWrapper &fr, const QString &link, Op op)
{
    fr.setReadTimeoutLimit(ReadTimeoutMs);
    fr.setCashier(DefaultCashierNumber);
    fr.setPassword(DefaultCashierPassword);
    return fr.open(link) && prepare(fr, op);
}

struct Outcome
{
    int rc = -1;
    qint32 fd = 0; // document number the reply carried
    QString what;  // what the reply said, for the checks against the register's state
};

Outcome run(FsWrapper &fr, Op op)
{
    Outcome o;
    qint16 cycle = 0, number = 0;
    qint32 fp = 0;
    QDateTime dt;
    FixNumber total, change, drawer;
    switch (op) {
    case Op::Receipt:
        o.rc = fr.completeReceipt(FixNumber(100, qint64(10000)), FixNumber(100, qint64(0)), cycle, o.fd, fp, number, dt,
                                  total, change);
        o.what = total.toString(QLatin1Char('.'), QChar());
        break;
    case Op::ShiftClosing:
        o.rc = fr.completeCycleClosing(cycle, o.fd, fp, dt);
        o.what = QString::number(cycle);
        break;
    case Op::Payout:
        o.rc = fr.completePayout(FixNumber(100, qint64(2500)), cycle, o.fd, fp, dt, drawer);
        o.what = drawer.toString(QLatin1Char('.'), QChar());
        break;
    case Op::Read: {
        CycleStatus st;
        o.rc = fr.getCycleStatus(st);
        o.fd = st.lastDocNumber;
        o.what = QString::number(st.isOpen);
        break;
    }
    case Op::Registration:
        o.rc = fr.completeRegistration(QStringLiteral("7707083893"), QStringLiteral("0000000001012345"), o.fd, fp, dt);
        break;
    case Op::ArchiveClosing:
        o.rc = fr.completeArchiveClosing(o.fd, fp, dt);
        break;
    case Op::ShiftOpening:
        o.rc = fr.completeCycleOpening(cycle, o.fd, fp, dt);
        o.what = QString::number(cycle);
        break;
    case Op::CashIn:
        o.rc = fr.completeIntroduction(FixNumber(100, qint64(100000)), cycle, o.fd, fp, dt, drawer);
        o.what = drawer.toString(QLatin1Char('.'), QChar());
        break;
    }
    return o;
}

// Executions of `command` that took effect (the register answered 0). A refused repeat changes
// nothing, so it does not count.
int effective(const EmuDevice &device, quint8 command)
{
    int n = 0;
    for (const EmuRequestRecord &r : device.requests())
        n += (r.executed && r.result == 0 && r.request.code() == command) ? 1 : 0;
    return n;
}

} // namespace

class TstFaultMatrix : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void matrix_data();
    void matrix();
    void damagedCompletionReply_data();
    void damagedCompletionReply();

private:
    QtMessageHandler previous_ = nullptr;
};

void TstFaultMatrix::initTestCase()
{
    registerFsMetaTypes();
    previous_ = qInstallMessageHandler(quietMessages);
}

void TstFaultMatrix::matrix_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<QVector<EmuFault>>("faults");
    QTest::addColumn<bool>("kill");    // the register dies while it holds the reply, then comes back
    QTest::addColumn<int>("rc");       // what the caller gets
    QTest::addColumn<int>("executed"); // how often the command under test took effect in the register

    using F = EmuFault;
    // rc and executed for a document completion, then for the read.
    struct Row
    {
        const char *name;
        QVector<EmuFault> faults;
        bool kill;
        int docRc;
        int docExecuted;
        int readRc;
        int readExecuted;
    };
    const int late = -1; // stands for "just past the command's read time-out"
    const int bad = CoreApiConst::ParseError;
    const int silent = CoreApiConst::NoAnswer;
    const QVector<Row> rows{
        {"lost reply", {F(F::DropReply, 1)}, false, 0, 1, 0, 1},
        {"ignored request", {F(F::IgnoreRequest, 1)}, false, 0, 1, 0, 1},
        // The register answers 0x05 with an older reply, as if the request had never arrived: the
        // request goes out again. The register's document order refuses the second completion
        // (the caller sees that refusal); a read is simply made twice.
        {"stale reply to 0x05 after a lost reply", {F(F::DropReply, 1), F(F::StaleRepeat, 1)}, false, Refused, 1, 0, 2},
        {"stale reply to 0x05 after an ignored request",
         {F(F::IgnoreRequest, 1), F(F::StaleRepeat, 1)},
         false,
         0,
         1,
         0,
         1},
        // The request is ignored, then 0x05 is answered with an older reply and the request sent
        // again is ignored too: that older reply must not reach the caller as this one's answer.
        {"stale reply to 0x05, the request sent again ignored too",
         {F(F::IgnoreRequest), F(F::StaleRepeat, 1)},
         false,
         bad,
         0,
         bad,
         0},
        // A damaged answer to 0x05 proves nothing about the request: it is not sent again.
        {"stale and damaged reply to 0x05 after a lost reply",
         {F(F::DropReply, 1), F(F::StaleRepeat, 1), F(F::CorruptCrc, 2)},
         false,
         bad,
         1,
         bad,
         1},
        {"split reply", {F(F::SplitReply, 1, 50)}, false, 0, 1, 0, 1},
        {"long gap inside the reply", {F(F::SplitReply, 1, 400)}, false, 0, 1, 0, 1},
        {"reply after the time-out, its repeat late too",
         {F(F::DelayReply, 1, late), F(F::DelayReply, 2, 600)},
         false,
         0,
         1,
         0,
         1},
        {"stray bytes", {F(F::StrayPrefix, 1, 5)}, false, 0, 1, 0, 1},
        // The reply is asked for again with 0x05 (which executes nothing): it was made once, and it
        // is reported as made.
        {"bad CRC", {F(F::CorruptCrc, 1)}, false, 0, 1, 0, 1},
        {"bad CRC, its repeat damaged too", {F(F::CorruptCrc, 1), F(F::CorruptCrc, 2)}, false, bad, 1, bad, 1},
        {"truncated frame", {F(F::TruncateReply, 1)}, false, 0, 1, 0, 1},
        {"truncated frame, repeat truncated too",
         {F(F::TruncateReply, 1), F(F::TruncateReply, 2)},
         false,
         bad,
         1,
         bad,
         1},
        {"silence", {F(F::Silent)}, false, silent, 0, silent, 0},
        {"killed mid-exchange and restarted", {F(F::DelayReply, 1, 1000)}, true, silent, 1, silent, 1},
    };
    const struct
    {
        Op op;
        const char *part;
        const char *name;
    } ops[] = {{Op::Receipt, "receipt", "receipt completion"},
               {Op::ShiftClosing, "closing", "shift closing"},
               {Op::Payout, "payout", "cash payout"},
               {Op::Read, "read", "shift status read"}};
    // Most of a row is spent waiting out time-outs: CTest runs each command's rows in a process of
    // its own (VIRTA_TEST_PART), so that they overlap. Without it, every row runs here.
    const QString part = qEnvironmentVariable("VIRTA_TEST_PART");
    if (part == QLatin1String("damaged"))
        QSKIP("rows of the other parts");
    bool known = part.isEmpty();
    for (const auto &o : ops) {
        if (!part.isEmpty() && part != QLatin1String(o.part))
            continue;
        known = true;
        for (const Row &r : rows) {
            QVector<EmuFault> faults = r.faults;
            for (EmuFault &f : faults) {
                // Only a delay stands for the time-out: -1 is every other fault's default value.
                if (f.kind == EmuFault::DelayReply && f.value == late)
                    f.value = readTimeoutOf(o.op) + 300;
            }
            const bool read = o.op == Op::Read;
            QTest::addRow("%s: %s", o.name, r.name) << int(o.op) << faults << r.kill << (read ? r.readRc : r.docRc)
                                                    << (read ? r.readExecuted : r.docExecuted);
        }
    }
    if (!known)
        QFAIL(qPrintable(QStringLiteral("no rows for VIRTA_TEST_PART=%1").arg(part)));
}

void TstFaultMatrix::matrix()
{
    QFETCH(int, op);
    QFETCH(QVector<EmuFault>, faults);
    QFETCH(bool, kill);
    QFETCH(int, rc);
    QFETCH(int, executed);
    const Op o = Op(op);
    const quint8 command = commandOf(o);

    Register reg;
    QVERIFY2(reg.start(), qPrintable(reg.error));
    FsWrapper fr;
    QVERIFY(openPrepared(fr, reg.link, o));

    const int before = effective(reg.device(), command);
    for (const EmuFault &f : faults)
        reg.device().addFault(f);
    if (kill) {
        // Dies once the command is in and executed, while its reply is still held back.
        QTimer::singleShot(300, [&reg]() {
            reg.server.stop();
            QVERIFY2(reg.start(), qPrintable(reg.error));
        });
    }
    const Outcome got = run(fr, o);
    reg.device().clearFaults();
    const int afterFault = effective(reg.device(), command) - before;

    if (rc == Refused) {
        QVERIFY2(got.rc != 0 && got.rc != CoreApiConst::ParseError && got.rc != CoreApiConst::NoAnswer,
                 qPrintable(QString::number(got.rc)));
    } else {
        QCOMPARE(got.rc, rc);
    }
    QCOMPARE(afterFault, executed);
    if (got.rc == 0) {
        // A success carries the register's own answer to this very request.
        QCOMPARE(got.what, expectedWhat(o));
        FrStatus st;
        QCOMPARE(int(fr.getFrStatus(st)), 0);
        if (o != Op::Read)
            QCOMPARE(got.fd, st.lastDocNumber);
    }

    // The program goes on without a restart: reads answer with their own replies...
    FrStatus st;
    QCOMPARE(int(fr.getFrStatus(st)), 0);
    QCOMPARE(st.factoryNumber.isEmpty(), false);
    CycleStatus cs;
    QCOMPARE(int(fr.getCycleStatus(cs)), 0);
    QCOMPARE(bool(cs.isOpen), bool(st.flags & FrStatus::CycleOpen));
    QCOMPARE(cs.cycleNumber, st.cycleNumber);
    // ...and the user's second try never makes a second document: the register either still holds
    // the open one (nothing was executed) and completes it now, or refuses.
    const Outcome again = run(fr, o);
    const int total = effective(reg.device(), command) - before;
    if (o == Op::Read) {
        QCOMPARE(again.rc, 0);
    } else if (executed == 0) {
        QCOMPARE(again.rc, 0);
        QCOMPARE(total, 1);
    } else {
        QVERIFY2(again.rc != 0, "the document was completed twice");
        QCOMPARE(total, afterFault);
        FrStatus after;
        QCOMPARE(int(fr.getFrStatus(after)), 0);
        QCOMPARE(after.lastDocNumber, st.lastDocNumber);
    }
}

void TstFaultMatrix::damagedCompletionReply_data()
{
    QTest::addColumn<int>("op");
    if (!qEnvironmentVariableIsEmpty("VIRTA_TEST_PART") && qEnvironmentVariable("VIRTA_TEST_PART") != "damaged")
        QSKIP("in the part \"damaged\"");
    QTest::newRow("registration") << int(Op::Registration);
    QTest::newRow("archive closing") << int(Op::ArchiveClosing);
    QTest::newRow("shift opening") << int(Op::ShiftOpening);
    QTest::newRow("shift closing") << int(Op::ShiftClosing);
    QTest::newRow("cash in") << int(Op::CashIn);
    QTest::newRow("cash payout") << int(Op::Payout);
    QTest::newRow("receipt") << int(Op::Receipt);
}

// A wrong checksum on the reply to any document's completion: the register made the document, and
// the caller hears so, with its number; the completion left once.
void TstFaultMatrix::damagedCompletionReply()
{
    QFETCH(int, op);
    const Op o = Op(op);
    const quint8 command = commandOf(o);

    Register reg;
    QVERIFY2(reg.start(), qPrintable(reg.error));
    FsWrapper fr;
    QVERIFY(openPrepared(fr, reg.link, o));
    FrStatus before;
    QCOMPARE(int(fr.getFrStatus(before)), 0);
    const int repeatsBefore = reg.device().repeatRequests();

    reg.device().addFault(EmuFault(EmuFault::CorruptCrc, 1));
    const Outcome got = run(fr, o);
    QCOMPARE(got.rc, 0);
    QCOMPARE(got.what, expectedWhat(o));
    QCOMPARE(reg.device().repeatRequests() - repeatsBefore, 1);
    int sent = 0;
    for (const EmuRequestRecord &r : reg.device().requests())
        sent += r.request.code() == command ? 1 : 0;
    QCOMPARE(sent, 1);
    QCOMPARE(effective(reg.device(), command), 1);
    FrStatus after;
    QCOMPARE(int(fr.getFrStatus(after)), 0);
    QCOMPARE(after.lastDocNumber, before.lastDocNumber + 1);
    QCOMPARE(got.fd, after.lastDocNumber);
    QCOMPARE(int(after.openDocType), 0);
}

QTEST_GUILESS_MAIN(TstFaultMatrix)
#include "tst_faultmatrix.moc"
