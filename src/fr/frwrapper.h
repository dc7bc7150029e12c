#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include "fixnumber.h"
#include "frconst.h"
#include "frmsg.h"
#include "frrecords.h"
#include "tlv.h"

class FrApiThread;

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

// The one object through which the user interface talks to the register.
class FsWrapper : public QObject
{
    Q_OBJECT
public:
    explicit FsWrapper(QObject *parent = nullptr);
    ~FsWrapper() override;

    bool open(const QString &portName);
    void close();
    bool isOpen() const;
    quint8 cashier() const { return cashier_; }
    qint32 password() const { return password_; }
    QString portName() const { return portName_; }
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
    // Once the application quits it ends at once with NoAnswer, and sends nothing new.
    CoreApiConst::ErrorCode exec(const FsReq &req, FsRep &rep, const FsRwTimeout &timeout);

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
    void exchangeStarted();
    void exchangeFinished();
    // The line in words that goes above each frame of showLog(bool, QString).
    void showSummary(bool out, QString text);

private:
    QString portName_;
    QString factoryNumber_;
    QPointer<FrApiThread> worker_;
    quint8 cashier_ = 0;
    qint32 password_ = 0;
    quint32 readTimeoutLimit_ = 0;

    // Callers of exec waiting for their reply, oldest first. Each worker answers in request
    // order, one reply per request, so a reply belongs to the oldest waiter of its worker.
    struct Waiter;
    QList<Waiter *> waiters_;
    // Workers that were closed but may still be finishing their last exchange.
    QList<QPointer<FrApiThread>> retired_;

    bool workerAlive() const;
    void startWorker(bool forwardProgress);
    void deliver(FrApiThread *worker, const FsRep &rep);
    void abandon(FrApiThread *worker);
};
