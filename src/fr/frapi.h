#pragma once

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

#include "frmsg.h"

class FrLink;
class PortLock;
class QIODevice;

// One request/reply exchange with the register over a serial port or a TCP connection (FrLink,
// chosen by the name: see FrAddress). Lives in the worker thread that created it; every wait
// below blocks that thread only.
class FsApi : public QObject
{
    Q_OBJECT
public:
    static constexpr quint8 RepeatByte = 0x05;
    static constexpr int ByteGapMs = 100;
    static constexpr int PollStepMs = 10;
    // Bytes one read takes without a complete frame before it gives the line up as flooding:
    // twice the largest frame.
    static constexpr qint64 MaxCollectBytes = 2 * (FsMsg::MaxPayloadSize + 15);

    // `portName` must not be an invalid address (FrAddress::parse).
    explicit FsApi(const QString &portName, QObject *parent = nullptr);
    ~FsApi() override;

    bool open();
    bool isOpen() const;
    void close();
    // The lock that keeps the port ours between exchanges; each exchange checks it first and sends
    // nothing while another program holds the port.
    void setPortLock(std::shared_ptr<PortLock> lock);
    // How long a network link may take to connect (FrLink::DefaultConnectTimeoutMs).
    void setConnectTimeout(int ms);
    // Why open() failed, in words for the log pane; empty when it did not, or when only the
    // message log has the reason.
    QString openFailure() const;

    // Number of FsApi objects alive in the process (each one owns a port object).
    static int instances();

signals:
    void showLog(bool out, QString txt);
    void showLog(QString txt);
    void executed(FsRep rep);
    void exchangeStarted();
    void exchangeFinished();
    // One line in words for the frame about to be shown by showLog(bool, QString).
    void showSummary(bool out, QString text);

public slots:
    // Emits exchangeStarted() once the request has left (or it is clear that it will not), and
    // exchangeFinished() after executed().
    bool exec(FsReq req, quint32 readTimeout, quint32 writeTimeout);
    bool read(FsRep &rep, quint32 readTimeout);

private:
    struct Pending
    {
        FsReq req;
        quint32 readTimeout;
        quint32 writeTimeout;
    };

    bool exchange(FsReq req, quint32 readTimeout, quint32 writeTimeout);
    // Writes the single byte 0x05: the register sends its last reply again and executes nothing.
    void askAgain();
    // Bytes the line took.
    qint64 writeFrame(const QByteArray &frame, int writeTimeout);
    // Shows a frame about to be written: its summary and dump to the pane and the log file.
    void logSent(const QByteArray &frame);
    // read(); with `resync`, a false start (a 0x04 in the tail of an earlier, cut-off reply) is
    // given up for the next start byte instead of swallowing the frame behind it.
    bool collect(FsRep &rep, quint32 readTimeout, bool resync);
    // read(), skipping complete replies that carry another exchange number than `unique`.
    bool readOwn(FsRep &rep, quint32 unique, quint32 readTimeout);

    FrLink *link_;
    QIODevice *io_;
    // The latest moment the exchange in progress may still read: its write time-out and three
    // read time-outs (first read, after the repeat request, after a resend). A line that keeps
    // sending (noise without end) cannot hold it longer.
    QDeadlineTimer deadline_;
    // Bytes read from the line in the current exchange, whatever they were.
    qint64 received_ = 0;
    // The poll while waiting for a reply processes this thread's events, which may deliver the
    // next request. It must not start inside the current exchange (it would reopen the port under
    // the reply being read), so it waits here and runs once the current one is answered.
    bool busy_ = false;
    QList<Pending> pending_;
    // The command being answered (its reply means something only through it) and the moment its
    // first byte went out: what the reply's summary and round-trip time are made of.
    int requestCode_ = -1;
    QElapsedTimer sent_;
};
