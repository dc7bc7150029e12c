#pragma once

#include "emudevice.h"
#include "emuserver.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVector>

#include <memory>
#include <mutex>

// A register that answers each command with a reply the test chose, on a real pseudo-terminal.
// For replies the substitute register never gives (a setting it cannot hold, a block of the
// wrong size, a continuation number on a refusal) so that a test can see how the program takes
// them. Commands without a chosen reply get result 0 and no payload.
//
//     CannedRegister reg;
//     QVERIFY2(reg.start(), qPrintable(reg.lastError()));
//     reg.setReply(0xC1, 0, QByteArray(1, char(70)));
//     ... exchange with reg.devicePath() ...
//     QCOMPARE(reg.requests().size(), 1);
class CannedRegister : public EmuResponder
{
public:
    CannedRegister() = default;
    ~CannedRegister() override { stop(); }
    CannedRegister(const CannedRegister &) = delete;
    CannedRegister &operator=(const CannedRegister &) = delete;

    bool start()
    {
        if (!port_.openPty(&error_))
            return false;
        server_.reset(new EmuPortServer(this, &port_));
        return server_->start(&error_);
    }
    void stop()
    {
        if (server_)
            server_->stop();
        server_.reset();
        port_.close();
    }
    QString devicePath() const { return port_.path(); }
    QString lastError() const { return error_; }

    void setReply(quint8 command, quint8 result, const QByteArray &payload = QByteArray())
    {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_.insert(command, {result, payload});
    }
    QVector<FsReq> requests() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

    QVector<EmuChunk> receive(const QByteArray &bytes, qint64) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        buffer_ += bytes;
        QVector<EmuChunk> out;
        for (;;) {
            const emu::RequestScan scan = emu::scanRequest(buffer_, EmuDevice::DefaultMaxPayload);
            buffer_.remove(0, scan.consumed);
            if (scan.kind == emu::RequestScan::NeedMore)
                break;
            if (scan.kind == emu::RequestScan::Repeat) {
                out << EmuChunk{0, last_};
                continue;
            }
            if (scan.kind == emu::RequestScan::Rejected) {
                last_ = emu::replyFrame(scan.error, scan.unique);
            } else {
                FsReq req(scan.code, scan.payload);
                req.setUnique(scan.unique);
                requests_ << req;
                const Reply r = replies_.value(scan.code);
                last_ = emu::replyFrame(r.result, scan.unique, r.payload);
            }
            out << EmuChunk{0, last_};
        }
        return out;
    }

private:
    struct Reply
    {
        quint8 result = 0;
        QByteArray payload;
    };

    // A standard mutex, which ThreadSanitizer sees; QMutex orders inside the uninstrumented Qt library.
    mutable std::mutex mutex_;
    QHash<quint8, Reply> replies_;
    QVector<FsReq> requests_;
    QByteArray buffer_;
    QByteArray last_;
    QString error_;
    EmuPort port_;
    std::unique_ptr<EmuPortServer> server_;
};
