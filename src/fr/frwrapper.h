#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

#include "fixnumber.h"
#include "frconst.h"
#include "frmsg.h"
#include "frrecords.h"
#include "tlv.h"

class FrApiThread;
class PortLock;

// Read and write time-out of one exchange, in milliseconds.
struct FsRwTimeout
{
    quint32 readTimeout;
    quint32 writeTimeout;
};

namespace FsTimeouts {
constexpr FsRwTimeout Quick{2000, 1000};
constexpr FsRwTimeout Normal{5000, 1000};
constexpr FsRwTimeout Long{60000, 1000};
} // namespace FsTimeouts

// Widths of the text fields that the command layer cuts to fit a request.
namespace FsFieldWidths {
constexpr int Name = 255;     // CP866 bytes after a length byte (cashier names)
constexpr int Inn = 12;       // Latin-1 bytes, zero-padded
constexpr int RegNumber = 16; // Latin-1 bytes, zero-padded
constexpr int SerialDigits = 10;
} // namespace FsFieldWidths

// What an operation left in the register: a document it opened and did not complete.
enum class FsDocument {
    None,    // nothing opened, or what was opened was completed or cancelled
    Open,    // a start command succeeded and nothing completed it
    Unknown, // a start or completion got no readable answer: the document may be open
};

// The one object through which the user interface talks to the register.
//
// Everything that reaches the register is part of an *operation*: a tab's whole sequence, one
// console command, or a single request made outside any (see FsOperation). One operation runs at a
// time, from its start to its last reply; operationStarted() and operationFinished() tell the window
// when to lock itself, synchronously, before any event loop runs. While an operation waits for a
// reply (or processes events between two requests, FsOperation::processEvents), whatever asks for
// another request is refused at once and sends nothing.
class FsWrapper : public QObject
{
    Q_OBJECT
public:
    explicit FsWrapper(QObject *parent = nullptr);
    ~FsWrapper() override;

    // Takes the port for this program (PortLock) and starts its worker. False when another program
    // holds the port, or when the name is neither a device nor a network address (FrAddress):
    // openError() then says which, in the words the window and the console show. A network name
    // takes no lock: the connection the worker keeps is ours, and the peer (a register's own
    // port, a serial-to-network server) serves one client at a time.
    bool open(const QString &portName);
    QString openError() const { return openError_; }
    // Nothing is sent on a closed port: every command fails at once with NoAnswer.
    void close();
    bool isOpen() const;
    quint8 cashier() const { return cashier_; }
    qint32 password() const { return password_; }
    // As opened: a serial port as typed, a network address as "tcp://HOST:PORT".
    QString portName() const { return portName_; }
    // For a network name: how long a connect may take (FrLink::DefaultConnectTimeoutMs); for the
    // workers started from now on.
    void setConnectTimeout(int ms) { connectTimeoutMs_ = ms; }
    // Waits (in a local event loop) until the worker has opened its port (connected, for a network
    // name) or failed to: false with `failure` saying why. False at once when no port is open.
    bool waitUntilOpened(QString *failure);
    // The factory number the register on this port last reported or was given; empty until then,
    // and again once the port is closed or another one is opened: a question before an act that
    // cannot be undone names the register it goes to.
    QString factoryNumber() const { return factoryNumber_; }
    // Upper bound of every exchange's read time-out, 0 for none (the default). The register's own
    // times need the full time-outs; a substitute register that answers at once does not, and a
    // test of the recovery paths would otherwise spend most of its time waiting them out.
    void setReadTimeoutLimit(quint32 ms) { readTimeoutLimit_ = ms; }
    quint32 readTimeoutLimit() const { return readTimeoutLimit_; }

    // One request/reply exchange; blocks the caller (in a local event loop) until the reply is in.
    // The result is the register's code, 252 when something came back that could not be read, 253
    // when nothing came back or nothing was sent: the port is closed, another operation is waiting,
    // or the program is stopping. Once the application quits it ends at once with NoAnswer.
    CoreApiConst::ErrorCode exec(const FsReq &req, FsRep &rep, const FsRwTimeout &timeout);

    // An operation is running (FsOperation).
    bool operationRunning() const { return operation_.active; }
    // From now on no new request leaves: the exchange in flight finishes within its time-outs and
    // its caller gets its real outcome; the one request still sent is the cancel of a document the
    // running operation opened (FsOperation::cancelDocument). Not undone.
    void stop();
    bool isStopping() const { return stopping_; }
    // Why the last exec() sent nothing (port closed, another operation waiting, stopped); empty
    // when its request left.
    QString lastRefusal() const { return lastRefusal_; }
    // What the network link said about the last exec() when it failed (connection refused, host
    // not found, no connection within the time-out, connection lost on the way); empty otherwise.
    QString linkError() const { return linkError_; }
    // Worst case, in ms, of what the exchanges accepted and not yet answered may still take.
    qint64 pendingBudgetMs() const;

    // Document commands.
    CoreApiConst::ErrorCode cancelDoc();
    CoreApiConst::ErrorCode sendDocData(const QByteArray &tlvBytes);
    CoreApiConst::ErrorCode startRegistration(const QString &cashierName);
    CoreApiConst::ErrorCode completeRegistration(const QString &inn, const QString &regNumber, qint32 &fd, qint32 &fp,
                                                 QDateTime &dt);
    CoreApiConst::ErrorCode preprintRegistration(const QString &inn, const QString &regNumber);
    CoreApiConst::ErrorCode startArchiveClosing(const QString &cashierName);
    CoreApiConst::ErrorCode completeArchiveClosing(qint32 &fd, qint32 &fp, QDateTime &dt);
    CoreApiConst::ErrorCode startCycleOpening(const QString &cashierName);
    CoreApiConst::ErrorCode completeCycleOpening(qint16 &cycle, qint32 &fd, qint32 &fp, QDateTime &dt);
    CoreApiConst::ErrorCode startCycleClosing(const QString &cashierName);
    CoreApiConst::ErrorCode completeCycleClosing(qint16 &cycle, qint32 &fd, qint32 &fp, QDateTime &dt);
    CoreApiConst::ErrorCode startIntroduction(const QString &cashierName);
    CoreApiConst::ErrorCode completeIntroduction(const FixNumber &sum, qint16 &cycle, qint32 &fd, qint32 &fp,
                                                 QDateTime &dt, FixNumber &cashInDrawer);
    CoreApiConst::ErrorCode startPayout(const QString &cashierName);
    CoreApiConst::ErrorCode completePayout(const FixNumber &sum, qint16 &cycle, qint32 &fd, qint32 &fp, QDateTime &dt,
                                           FixNumber &cashInDrawer);
    CoreApiConst::ErrorCode startReceipt(int receiptType, const QString &cashierName);
    CoreApiConst::ErrorCode completeReceipt(const FixNumber &payment1, const FixNumber &payment2, qint16 &cycle,
                                            qint32 &fd, qint32 &fp, qint16 &receiptNumber, QDateTime &dt,
                                            FixNumber &total, FixNumber &change);
    CoreApiConst::ErrorCode getOpenDocData(quint8 &docType, qint8 &receiptType, qint16 &receiptNumber,
                                           qint16 &operations, FixNumber &sum);

    // Device information, settings, catalogues, clock, printer and reports.
    CoreApiConst::ErrorCode getFrStatus(FrStatus &st);
    CoreApiConst::ErrorCode getSerial(SerialInfo &info);
    CoreApiConst::ErrorCode getFirmwareVersion(QString &version);
    CoreApiConst::ErrorCode writeSerial(const QString &serial);
    CoreApiConst::ErrorCode getCycleStatus(CycleStatus &st);
    CoreApiConst::ErrorCode readRegParam(quint16 tag, Tlv &tlv);
    CoreApiConst::ErrorCode readRegData(RegData &data);
    CoreApiConst::ErrorCode getCycleCounters(Counters &c);
    CoreApiConst::ErrorCode getFiscCounters(Counters &c);
    CoreApiConst::ErrorCode getTotalCounters(TotalCounters &c);
    CoreApiConst::ErrorCode getSectionCounters(SectionCounters &c);
    CoreApiConst::ErrorCode readCatalog(int catalogType, int index, QByteArray &data);
    CoreApiConst::ErrorCode writeCatalog(int catalogType, const QByteArray &data);
    CoreApiConst::ErrorCode readDt(QDateTime &dt);
    CoreApiConst::ErrorCode writeDt(const QDateTime &dt);
    CoreApiConst::ErrorCode readPrinterSettings(int id, QByteArray &data);
    CoreApiConst::ErrorCode writePrinterSettings(int id, const QByteArray &data);
    CoreApiConst::ErrorCode readFrSettings(int id, QByteArray &data);
    CoreApiConst::ErrorCode writeFrSettings(int id, const QByteArray &data);
    CoreApiConst::ErrorCode printLine(int attr0, int attr1, int attr2, int attr3, const QString &text);
    CoreApiConst::ErrorCode sendPrinterCmd(const QByteArray &cmd);
    CoreApiConst::ErrorCode printerCut();
    CoreApiConst::ErrorCode printReport(int reportType, const QByteArray &params);
    CoreApiConst::ErrorCode printDocCopy(int docNumber);
    CoreApiConst::ErrorCode printControlTape(int fromDoc, int &next);

public slots:
    void setCashier(int newCashier) { cashier_ = quint8(newCashier); }
    void setPassword(int newPassword) { password_ = newPassword; }

signals:
    void showLog(bool out, QString txt);
    void showLog(QString txt);
    void sedReq(FsReq req, quint32 readTimeout, quint32 writeTimeout);
    // One exchange in the worker began and ended (queued from the worker thread, so they arrive
    // late): for the record, not for a lock.
    void exchangeStarted();
    void exchangeFinished();
    // An operation was taken, and ended: emitted synchronously, in the caller's thread, before its
    // first request leaves and after its last reply is in. The window locks itself between them.
    void operationStarted();
    void operationFinished();
    // The line in words that goes above each frame of showLog(bool, QString).
    void showSummary(bool out, QString text);
    // The worker of the open port opened it, or could not (waitUntilOpened).
    void portOpened(bool ok, QString failure);

private:
    friend class FsOperation;

    QString portName_;
    QString factoryNumber_;
    QString openError_;
    QString lastRefusal_;
    QString linkError_;
    QPointer<FrApiThread> worker_;
    int connectTimeoutMs_;
    enum class PortState { Opening, Opened, Failed };
    PortState portState_ = PortState::Opening;
    QString portFailure_;
    quint8 cashier_ = 0;
    qint32 password_ = 0;
    quint32 readTimeoutLimit_ = 0;
    bool stopping_ = false;

    struct Operation
    {
        bool active = false;
        int waiting = 0;  // exec() calls waiting in their local loop
        int yielding = 0; // FsOperation::processEvents() calls in progress
        bool cancelling = false;
        FsDocument document = FsDocument::None;
    };
    Operation operation_;

    // Callers of exec waiting for their reply, oldest first. Each worker answers in request
    // order, one reply per request, so a reply belongs to the oldest waiter of its worker.
    struct Waiter;
    QList<Waiter *> waiters_;
    // Workers that were closed but may still be finishing their last exchange.
    QList<QPointer<FrApiThread>> retired_;

    bool workerAlive() const;
    void startWorker(std::shared_ptr<PortLock> lock);
    void deliver(FrApiThread *worker, const FsRep &rep);
    void abandon(FrApiThread *worker);
    // Why `req` may not leave now; empty when it may.
    QString refusal(const FsReq &req) const;
    void noteDocument(quint8 command, CoreApiConst::ErrorCode result);
    void beginOperation();
    void endOperation();
};

// One operation on the register, held from its first request to its last reply (RAII). Taken
// synchronously: once it is, the window is locked; when it cannot be (another operation runs),
// nothing of it may be sent.
//
//     FsOperation op(*fr_);
//     if (!op)
//         return;          // refused: another operation runs
//     fr_->startReceipt(...); fr_->sendDocData(...); ...
//
// A request made outside any operation is one of its own; commands of the command layer that make
// several requests (readRegData) join the operation of their caller.
class FsOperation
{
public:
    enum Mode {
        New,  // refused while another operation runs
        Join, // joins the running one when it is not waiting; takes a new one otherwise
    };
    explicit FsOperation(FsWrapper &fr, Mode mode = New);
    ~FsOperation();
    FsOperation(const FsOperation &) = delete;
    FsOperation &operator=(const FsOperation &) = delete;

    // Taken, or joined the caller's: its requests may go out.
    bool isTaken() const;
    explicit operator bool() const { return isTaken(); }

    // Processes events between two requests (a pause the register needs, a progress shown): a
    // request asked for meanwhile is refused, as it is while a reply is awaited.
    void processEvents();
    // The document this operation opened and did not complete (FsDocument::None once completed
    // or cancelled).
    FsDocument document() const;
    // Cancels that document: one exchange, sent also after a stop; Success without a request
    // when nothing was left open. When a step got no readable answer (FsDocument::Unknown) the
    // register's status is read first, since it answers a cancel with success also when nothing
    // is open: DocMustBeOpen, and no cancel, when it has no open document.
    CoreApiConst::ErrorCode cancelDocument();

private:
    QPointer<FsWrapper> fr_;
    bool taken_ = false; // this object took the operation (and ends it)
    bool joined_ = false;
};
