#include "frapi.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QSerialPort>
#include <QThread>

#include "framecollector.h"
#include "framedecoder.h"
#include "loggermanager.h"
#include "portlock.h"

namespace {
QAtomicInt liveApis;

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}
} // namespace

FsApi::FsApi(const QString &portName, QObject *parent) : QObject(parent), port_(new QSerialPort(portName, this))
{
    liveApis.ref();
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

bool FsApi::open()
{
    if (!port_->open(QIODevice::ReadWrite)) {
        qWarning().noquote() << "Cannot open port" << port_->portName() << ":" << port_->errorString();
        return false;
    }
    port_->clear();
    port_->clearError();
    port_->setBaudRate(BaudRate, QSerialPort::AllDirections);
    port_->setDataBits(QSerialPort::Data8);
    port_->setStopBits(QSerialPort::OneStop);
    port_->setParity(QSerialPort::NoParity);
    port_->setFlowControl(QSerialPort::NoFlowControl);
    port_->setReadBufferSize(0);
    port_->clear();
    port_->clearError();
    return true;
}

bool FsApi::isOpen() const
{
    return port_->isOpen();
}

void FsApi::close()
{
    if (port_->isOpen())
        port_->close();
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

bool FsApi::writeFrame(const QByteArray &frame, int writeTimeout)
{
    port_->clear();
    port_->clearError();
    if (!sent_.isValid())
        sent_.start();
    const qint64 written = port_->write(frame);
    if (writeTimeout >= 0)
        port_->waitForBytesWritten(writeTimeout);
    qWarning().noquote() << " WROTE " << written;
    return written == frame.size();
}

void FsApi::askAgain()
{
    const QByteArray repeat(1, char(RepeatByte));
    logSent(repeat);
    port_->write(repeat);
}

bool FsApi::exchange(FsReq req, quint32 readTimeout, quint32 writeTimeout)
{
    emit exchangeStarted();
    req.newUnique();
    requestCode_ = req.code();
    sent_.invalidate();
    received_ = 0;
    FsRep rep;
    rep.setCode(CoreApiConst::NoAnswer);

    bool result = false;
    // Closed first: our own exclusive open must not stand in the way of the lock's check.
    close();
    QString busy;
    if (lock_ && !lock_->hold(&busy)) {
        qWarning().noquote() << busy << "- request not sent";
        emit showLog(busy);
    } else if (open() && req.isValid() && port_->isOpen()) {
        port_->clearError();
        port_->clear();

        const QByteArray frame = req.rawData();
        logSent(frame);
        writeFrame(frame, int(writeTimeout));

        result = readOwn(rep, req.unique(), readTimeout);
        if (result && (rep.parsingResult() == fs::WrongCrc || rep.parsingResult() == fs::TooShort)) {
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
                // (A damaged one proves nothing, so it never leads to a second send.)
                qWarning().noquote() << "Stale reply to the repeat request; sending again";
                logSent(frame);
                port_->write(frame);
                // The stale reply answers another request: if the resend goes unanswered too, the
                // caller must see no answer, not that reply's result.
                rep = FsRep();
                rep.setCode(CoreApiConst::NoAnswer);
                result = readOwn(rep, req.unique(), readTimeout);
            }
        }
    }

    rep.setBytesReceived(received_);
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
    port_->waitForReadyRead(int(readTimeout));
    while (port_->bytesAvailable() <= 0) {
        if (elapsed.elapsed() >= qint64(readTimeout))
            break;
        QThread::msleep(PollStepMs);
        QCoreApplication::processEvents();
    }

    FrameCollector collector;
    for (;;) {
        char byte = 0;
        if (port_->read(&byte, 1) != 1) {
            if (resync && !collector.isStarted()) {
                // Only the tail of the cut-off reply so far: the repeated reply is still to come.
                const qint64 left = qint64(readTimeout) - elapsed.elapsed();
                if (left > 0 && port_->waitForReadyRead(int(left)))
                    continue;
            }
            // Ran dry. After a cut-off reply the bytes kept may hold the whole repeated reply
            // behind a false start.
            if (resync && collector.isStarted())
                collector.salvage();
            break;
        }
        ++received_;
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
        if (port_->bytesAvailable() <= 0)
            port_->waitForReadyRead(ByteGapMs);
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
