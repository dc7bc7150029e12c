#pragma once

#include "emufault.h"
#include "frmsg.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>
#include <mutex>

#include <functional>
#include <utility>

class FiscalModel;

// One piece of output and the pause before it; the front end writes the pieces in order.
struct EmuChunk
{
    int delayMs = 0;
    QByteArray bytes;
};

// What a device does with the bytes it receives: the register's wire and the firmware loader
// both implement it, so the front end can serve either on a serial line. nowMs is a monotonic
// clock in milliseconds, used only to forget a frame that stopped arriving half way.
class EmuResponder
{
public:
    virtual ~EmuResponder() = default;
    virtual QVector<EmuChunk> receive(const QByteArray &bytes, qint64 nowMs) = 0;
    // The same from one of several lines served at once (the serial line and a network client):
    // what arrives on one line never completes a frame begun on another.
    virtual QVector<EmuChunk> receiveOn(int line, const QByteArray &bytes, qint64 nowMs)
    {
        Q_UNUSED(line)
        return receive(bytes, nowMs);
    }
    // A line got a new peer (a network client connected or went away): a frame begun by the one
    // before is forgotten.
    virtual void forgetInput(int line) { Q_UNUSED(line) }
};

namespace emu {

// What lies at the front of the register's receive buffer. A pure function of the buffer, so that
// it can be fuzzed and tested without a device.
struct RequestScan
{
    enum Kind {
        NeedMore, // nothing complete yet; drop `consumed` stray bytes and wait
        Repeat,   // the single byte 0x05: send the last reply again
        Request,  // a well-formed request frame
        Rejected, // a complete frame the register refuses with `error`
    };
    Kind kind = NeedMore;
    int consumed = 0; // bytes to remove from the front, stray bytes included
    int skipped = 0;  // stray bytes before the start byte or the repeat byte
    quint16 length = 0;
    quint8 code = 0;
    quint32 unique = 0;
    QByteArray payload;
    quint8 error = 0; // result code for Rejected: 9 CRC, 11 length, 1 unique 0, 2 command 0
};

// maxPayload: the largest payload the register accepts; a longer frame is read whole and refused
// with 11, so its bytes never get mistaken for the start of another frame.
RequestScan scanRequest(const QByteArray &buffer, int maxPayload);

// A reply frame as the register sends it.
QByteArray replyFrame(quint8 code, quint32 unique, const QByteArray &payload = QByteArray());

} // namespace emu

// One request frame as the register received it, and what became of it.
struct EmuRequestRecord
{
    FsReq request;         // code, unique and payload as received (also for refused frames)
    QByteArray frame;      // the exact bytes of the frame
    quint8 result = 0;     // result code of the reply
    bool executed = false; // reached the model
    bool repeated = false; // the same frame again: answered from memory, not executed twice
    bool answered = false; // a reply left the register (faults may stop it)
};

// The register on the wire: collects request frames from a byte stream, answers each with exactly
// one reply, repeats its last reply on 0x05 and misbehaves on demand. No I/O and no clock of its
// own; the front end feeds it and writes out what it returns. Thread-safe: every public member
// takes the device's lock, so tests may look at it while the front end serves it on another thread.
class EmuDevice : public EmuResponder
{
public:
    static constexpr int DefaultMaxPayload = 8192;
    static constexpr int DefaultStallMs = 200;
    static constexpr int DefaultHistoryLimit = 20000;

    explicit EmuDevice(FiscalModel *model); // not owned; must outlive the device
    ~EmuDevice() override;

    QVector<EmuChunk> receive(const QByteArray &bytes, qint64 nowMs) override;
    QVector<EmuChunk> receiveOn(int line, const QByteArray &bytes, qint64 nowMs) override;
    void forgetInput(int line) override;

    void setMaxPayload(int bytes);
    // A partial frame followed by this much silence is forgotten, so that a 0x05 sent after a
    // cut-off request is taken as a repeat request and not as the rest of the frame.
    void setStallTimeout(int ms);
    // The same frame (code, exchange number, payload) as the last one answered is not executed
    // again but answered from memory. On by default.
    void setRepeatGuard(bool on);

    void addFault(const EmuFault &fault);
    void clearFaults();
    QVector<EmuFault> faults() const;

    int executionCount() const;               // model executions in all
    int executionCount(quint32 unique) const; // model executions of the request with this number
    int executionsOf(quint8 command) const;   // model executions of this command code
    int repeatRequests() const;               // 0x05 bytes received
    int strayBytes() const;                   // bytes skipped outside frames
    int discardedFrames() const;              // partial frames forgotten after a stall
    int pendingBytes() const;                 // bytes of frames not complete yet, all lines
    QVector<EmuRequestRecord> requests() const;
    QByteArray lastReply() const; // the frame 0x05 would send; empty before any reply
    void clearHistory();          // forget counts and records (not the last reply)
    // A long-running register keeps only the newest records (and the counts by exchange number that
    // go with them); the oldest half goes when the limit is passed.
    void setHistoryLimit(int records);

    // One line per request (command, length, result) and per 0x05, for --verbose.
    void setRequestLog(std::function<void(const QString &)> log);
    // Runs after every model execution, with the device's lock held (state file, paper tape).
    void setAfterExecute(std::function<void(FiscalModel &)> hook);

    // Direct access to the model under the device's lock.
    template <typename F> auto withModel(F &&f) -> decltype(f(std::declval<FiscalModel &>()))
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(*model_);
    }
    FiscalModel *model() const { return model_; }

private:
    QVector<EmuChunk> answerRequest(const emu::RequestScan &scan, const QByteArray &frame);
    QVector<EmuChunk> answerRepeat();
    QVector<EmuChunk> transmit(const QByteArray &reply, QStringList *applied);
    void log(const QString &line);
    void keep(const EmuRequestRecord &record);

    // A standard mutex rather than QMutex: Qt is not built for ThreadSanitizer, which therefore
    // cannot see QMutex's ordering and would report every guarded access as a race.
    mutable std::mutex mutex_;
    FiscalModel *model_;
    struct Input
    {
        QByteArray buffer;
        qint64 lastByteMs = 0;
    };
    QHash<int, Input> inputs_; // by line
    int maxPayload_ = DefaultMaxPayload;
    int stallMs_ = DefaultStallMs;
    bool repeatGuard_ = true;

    QVector<EmuFault> faults_;
    QByteArray lastReply_;
    QByteArray lastFrame_;  // request frame that lastReply_ answers
    QByteArray staleReply_; // the reply before lastReply_ with another exchange number

    int executions_ = 0;
    QHash<quint32, int> byUnique_;
    QHash<quint8, int> byCommand_;
    int repeats_ = 0;
    int stray_ = 0;
    int discarded_ = 0;
    QVector<EmuRequestRecord> records_;
    int historyLimit_ = DefaultHistoryLimit;

    std::function<void(const QString &)> log_;
    std::function<void(FiscalModel &)> afterExecute_;
};
