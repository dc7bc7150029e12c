#include "frapi.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QThread>

#include "framecollector.h"
#include "framedecoder.h"
#include "frlink.h"
#include "hexdump.h"

namespace {
QAtomicInt liveApis;

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}
} // namespace

FsApi::FsApi(const QString &portName, QObject *parent)
    : QObject(parent), link_(FrLink::create(FrAddress::parse(portName), this)), io_(link_->device())
{
    liveApis.ref();
    connect(link_, &FrLink::said, this, [this](const QString &text) {
        qWarning().noquote() << text;
        emit showLog(text);
    });
}

FsApi::~FsApi()
{
    close();
    liveApis.deref();
}

int FsApi::instances()
{
    return liveApis.loadAcquire();
}

void FsApi::setPortLock(std::shared_ptr<PortLock> lock)
{
    link_->setPortLock(std::move(lock));
}

void FsApi::setConnectTimeout(int ms)
{
    link_->setConnectTimeout(ms);
}

QString FsApi::openFailure() const
{
    return link_->failure();
}

bool FsApi::open()
{
    return link_->open();
}

bool FsApi::isOpen() const
{
    return link_->isOpen();
}

void FsApi::close()
{
    link_->close();
}

bool FsApi::exec(FsReq req, quint32 readTimeout, quint32 writeTimeout)
{
    if (busy_) {
        pending_.append({req, readTimeout, writeTimeout});
        return true;
    }
    busy_ = true;
    bool result = exchange(req, readTimeout, writeTimeout);
    while (!pending_.isEmpty()) {
        const Pending next = pending_.takeFirst();
        result = exchange(next.req, next.readTimeout, next.writeTimeout);
    }
    busy_ = false;
    return result;
}

void FsApi::logSent(const QByteArray &frame)
{
    const QString summary = framedecoder::describeRequest(frame);
    emit showSummary(true, summary);
    emit showLog(true, hexText(frame));
    indent(qWarning().noquote() << summary) << HexDump(frame, QStringLiteral("UTF-8"));
}

qint64 FsApi::writeFrame(const QByteArray &frame, int writeTimeout)
{
    link_->discardInput();
    if (!sent_.isValid())
        sent_.start();
    const qint64 written = io_->write(frame);
    if (writeTimeout >= 0)
        io_->waitForBytesWritten(writeTimeout);
    return written;
}

void FsApi::askAgain()
{
    const QByteArray repeat(1, char(RepeatByte));
    logSent(repeat);
    io_->write(repeat);
}

bool FsApi::exchange(FsReq req, quint32 readTimeout, quint32 writeTimeout)
{
    emit exchangeStarted();
    req.newUnique();
    requestCode_ = req.code();
    sent_.invalidate();
    received_ = 0;
    deadline_.setRemainingTime(qint64(writeTimeout) + 3 * qint64(readTimeout));
    FsRep rep;
    rep.setCode(CoreApiConst::NoAnswer);

    bool result = false;
    QString failure;
    if (!link_->prepare()) {
        // Nothing was sent: the port is another program's, or the connection cannot be made.
        failure = link_->failure();
        if (!failure.isEmpty()) {
            qWarning().noquote() << failure << "- request not sent";
            if (!link_->isNetwork())
                emit showLog(failure); // a network link has said so already
        }
    } else if (!req.isValid() || !link_->isOpen()) {
        // nothing to send, or nowhere to send it: no answer
    } else {
        link_->discardInput();

        const QByteArray frame = req.rawData();
        // Shown and logged before it leaves, so that the log holds the request even when the
        // write is what fails.
        logSent(frame);
        const qint64 written = writeFrame(frame, int(writeTimeout));
        qWarning().noquote() << " WROTE " << written;

        result = readOwn(rep, req.unique(), readTimeout);
        if (link_->isLost()) {
            // Nothing more can be asked on a connection that is gone; the next exchange makes a new one.
        } else if (result && (rep.parsingResult() == fs::WrongCrc || rep.parsingResult() == fs::TooShort)) {
            // Whole by its length, but unreadable: the register may well have executed the request
            // (made a document). Its reply is asked for again, never the request sent again; the
            // answer counts only if it is whole and carries this request's exchange number.
            askAgain();
            FsRep again;
            again.setCode(CoreApiConst::NoAnswer);
            if (collect(again, readTimeout, true) && again.parsingResult() == fs::Ok && again.unique() == req.unique())
                rep = again;
            else
                qWarning().noquote() << "No readable repeat of the damaged reply; it stands";
        } else if (!result) {
            // One repeat request: the register answers 0x05 with its last reply, which tells
            // whether the request was executed and only its reply went missing.
            askAgain();
            // The rest of a reply cut short may still arrive in front of the repeated one.
            result = collect(rep, readTimeout, true);
            if (result && rep.parsingResult() == fs::Ok && rep.unique() != req.unique()) {
                // The repeated reply belongs to an earlier exchange: this request never arrived.
                // (A damaged one proves nothing, so it never leads to a second send.) The stale
                // reply answers another request: if the resend goes unanswered too (or cannot be
                // made, the connection gone), the caller must see no answer, not that reply's result.
                rep = FsRep();
                rep.setCode(CoreApiConst::NoAnswer);
                result = false;
                if (!link_->isLost()) {
                    qWarning().noquote() << "Stale reply to the repeat request; sending again";
                    logSent(frame);
                    io_->write(frame);
                    result = readOwn(rep, req.unique(), readTimeout);
                }
            }
        }
        // A peer that closes once it has answered (some servers do) has not lost anything.
        if (link_->isLost() && !(result && rep.parsingResult() == fs::Ok)) {
            failure = QStringLiteral("Соединение разорвано во время обмена: %1").arg(link_->name());
            qWarning().noquote() << failure;
            emit showLog(failure);
        }
    }
    link_->exchangeEnded(result && rep.parsingResult() == fs::Ok);

    rep.setBytesReceived(received_);
    if (link_->isNetwork())
        rep.setLinkError(failure);
    emit executed(rep);
    emit exchangeFinished();
    return result;
}

bool FsApi::readOwn(FsRep &rep, quint32 unique, quint32 readTimeout)
{
    QElapsedTimer elapsed;
    elapsed.start();
    quint32 left = readTimeout;
    for (;;) {
        const bool complete = read(rep, left);
        if (!complete || rep.parsingResult() != fs::Ok || rep.unique() == unique)
            return complete;
        // A well-formed reply with another exchange number answers an earlier request: the repeat
        // of a reply that came late, after its own exchange had ended. Taking it would hand this
        // caller another command's result (and shift every later reply by one), so it is dropped
        // and the wait goes on for this request's own reply.
        qWarning().noquote() << "Reply to exchange" << QString::number(rep.unique(), 16) << "while waiting for"
                             << QString::number(unique, 16) << "dropped";
        rep = FsRep();
        rep.setCode(CoreApiConst::NoAnswer);
        const qint64 spent = elapsed.elapsed();
        if (spent >= qint64(readTimeout))
            return false;
        left = quint32(qint64(readTimeout) - spent);
    }
}

bool FsApi::read(FsRep &rep, quint32 readTimeout)
{
    return collect(rep, readTimeout, false);
}

bool FsApi::collect(FsRep &rep, quint32 readTimeout, bool resync)
{
    QElapsedTimer elapsed;
    elapsed.start();
    io_->waitForReadyRead(int(readTimeout));
    while (io_->bytesAvailable() <= 0) {
        if (elapsed.elapsed() >= qint64(readTimeout) || link_->isLost())
            break;
        QThread::msleep(PollStepMs);
        QCoreApplication::processEvents();
    }

    FrameCollector collector;
    qint64 taken = 0;
    for (;;) {
        char byte = 0;
        if (io_->read(&byte, 1) != 1) {
            if (resync && !collector.isStarted()) {
                // Only the tail of the cut-off reply so far: the repeated reply is still to come.
                const qint64 left = qint64(readTimeout) - elapsed.elapsed();
                if (left > 0 && io_->waitForReadyRead(int(left)))
                    continue;
            }
            // Ran dry. After a cut-off reply the bytes kept may hold the whole repeated reply
            // behind a false start.
            if (resync && collector.isStarted())
                collector.salvage();
            break;
        }
        ++received_;
        if (++taken > MaxCollectBytes || ((taken & 0xFF) == 0 && deadline_.hasExpired())) {
            qWarning().noquote() << "The line keeps sending without a frame:" << taken << "bytes; read given up";
            break;
        }
        const FrameCollector::Step step = collector.push(byte);
        if (step == FrameCollector::Skipped)
            continue; // noise before the start of a frame
        if (step == FrameCollector::Complete) {
            if (!resync || collector.checksumOk())
                break;
            collector.resync();
            if (collector.isComplete())
                break;
        }
        if (io_->bytesAvailable() <= 0)
            io_->waitForReadyRead(ByteGapMs);
    }
    const QByteArray frame = collector.frame();
    const bool complete = collector.isComplete();
    // Timed from the request's first byte, so a reply that took the repeat request counts the wait.
    const qint64 roundTripUs = complete && sent_.isValid() ? sent_.nsecsElapsed() / 1000 : -1;

    const QString summary = framedecoder::describeReply(frame, requestCode_, roundTripUs);
    emit showSummary(false, summary);
    emit showLog(false, hexText(frame));
    indent(indent(qWarning().noquote() << summary) << HexDump(frame, QStringLiteral("UTF-8")))
        << (complete ? "true" : "false");
    if (complete) {
        rep.setRawData(frame);
        rep.setRoundTripUs(roundTripUs);
    }
    return complete;
}
