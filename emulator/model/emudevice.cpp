#include "emudevice.h"

#include "framedecoder.h"

#include "fiscalmodel.h"

namespace {

constexpr char StartByte = 0x04;
constexpr char RepeatByte = 0x05;

// Result codes the wire itself gives, before the model sees anything.
constexpr quint8 NoUnique = 1;
constexpr quint8 NoCommand = 2;
constexpr quint8 BadCrc = 9;
constexpr quint8 BadLength = 11;
constexpr quint8 Garbage = 12;

quint16 le16(const char *p)
{
    return quint16(quint8(p[0]) | (quint8(p[1]) << 8));
}

quint32 le32(const char *p)
{
    return quint32(quint8(p[0])) | (quint32(quint8(p[1])) << 8) | (quint32(quint8(p[2])) << 16) |
           (quint32(quint8(p[3])) << 24);
}

const Crc16 &crc16()
{
    static const Crc16 crc;
    return crc;
}

quint32 frameUnique(const QByteArray &frame)
{
    return frame.size() >= 8 ? le32(frame.constData() + 4) : 0;
}

QString hex2(quint8 v)
{
    return QStringLiteral("0x%1").arg(v, 2, 16, QLatin1Char('0'));
}

QString hex8(quint32 v)
{
    return QStringLiteral("0x%1").arg(v, 8, 16, QLatin1Char('0'));
}

// Which events a fault counts.
enum class Event { Request, Repeat, Reply };

bool countsEvent(EmuFault::Kind kind, Event event)
{
    switch (kind) {
    case EmuFault::IgnoreRequest:
    case EmuFault::PrinterNotAnswering:
    case EmuFault::OutOfPaper:
    case EmuFault::TapeOutOfPaper:
    case EmuFault::ForeignCard:
    case EmuFault::EepromError:
    case EmuFault::PaperLow:
    case EmuFault::Refuse:
        return event == Event::Request;
    case EmuFault::StaleRepeat:
        return event == Event::Repeat;
    case EmuFault::Silent:
        return event == Event::Request || event == Event::Repeat;
    case EmuFault::DropReply:
    case EmuFault::SplitReply:
    case EmuFault::DelayReply:
    case EmuFault::CorruptCrc:
    case EmuFault::StrayPrefix:
    case EmuFault::TruncateReply:
        return event == Event::Reply;
    }
    return false;
}

struct Fired
{
    quint32 mask = 0;
    int value[32] = {};
    bool has(EmuFault::Kind k) const { return mask & (1u << k); }
    int valueOr(EmuFault::Kind k, int fallback) const { return value[k] < 0 ? fallback : value[k]; }
};

Fired fire(QVector<EmuFault> &faults, Event event)
{
    Fired fired;
    for (EmuFault &f : faults) {
        if (!countsEvent(f.kind, event))
            continue;
        ++f.seen;
        if (f.nth == 0 || f.seen == f.nth) {
            fired.mask |= 1u << f.kind;
            fired.value[f.kind] = f.value;
        }
    }
    return fired;
}

// Names of the faults that acted, for the request log.
void noteFaults(const Fired &fired, QStringList *applied)
{
    for (int k = 0; k < 32; ++k)
        if (fired.mask & (1u << k))
            *applied << EmuFault::name(EmuFault::Kind(k));
}

QString faultNote(const QStringList &applied)
{
    return applied.isEmpty() ? QString() : QStringLiteral(" [%1]").arg(applied.join(QLatin1String(", ")));
}

// The silence before `bytes` is measured between the front end's reads, and a loaded machine can
// stretch that long after the bytes had all arrived together. A partial frame that the new bytes
// complete with a good checksum is the frame that was being sent, not a cut-off one.
bool completesFrame(const QByteArray &joined, int maxPayload)
{
    const emu::RequestScan scan = emu::scanRequest(joined, maxPayload);
    return scan.skipped == 0 && (scan.kind == emu::RequestScan::Request ||
                                 (scan.kind == emu::RequestScan::Rejected && scan.error != BadCrc));
}

} // namespace

namespace emu {

RequestScan scanRequest(const QByteArray &buffer, int maxPayload)
{
    RequestScan r;
    const int n = buffer.size();
    const char *b = buffer.constData();
    int i = 0;
    while (i < n && b[i] != StartByte && b[i] != RepeatByte)
        ++i;
    r.skipped = i;
    r.consumed = i;
    if (i == n)
        return r;
    if (b[i] == RepeatByte) {
        r.kind = RequestScan::Repeat;
        r.consumed = i + 1;
        return r;
    }
    if (n - i < 3)
        return r;
    const char *f = b + i;
    const quint16 length = le16(f + 1);
    const int total = int(length) + 5;
    if (n - i < total)
        return r;

    r.consumed = i + total;
    r.length = length;
    if (length >= 1)
        r.code = quint8(f[3]);
    if (length >= 5) {
        r.unique = le32(f + 4);
        r.payload = QByteArray(f + 8, length - 5);
    }
    const quint16 computed = crc16().calc(f + 1, length + 2);
    const quint16 received = le16(f + 3 + length);
    r.kind = RequestScan::Rejected;
    if (computed != received)
        r.error = BadCrc;
    else if (length < 5 || int(length) - 5 > maxPayload)
        r.error = BadLength;
    else if (r.unique == 0)
        r.error = NoUnique;
    else if (r.code == 0)
        r.error = NoCommand;
    else
        r.kind = RequestScan::Request;
    return r;
}

QByteArray replyFrame(quint8 code, quint32 unique, const QByteArray &payload)
{
    FsRep rep;
    rep.setCode(code);
    rep.setUnique(unique);
    rep.setData(payload);
    return rep.rawData();
}

} // namespace emu

EmuDevice::EmuDevice(FiscalModel *model) : model_(model)
{}

EmuDevice::~EmuDevice() = default;

QVector<EmuChunk> EmuDevice::receive(const QByteArray &bytes, qint64 nowMs)
{
    return receiveOn(0, bytes, nowMs);
}

void EmuDevice::forgetInput(int line)
{
    std::lock_guard<std::mutex> lock(mutex_);
    inputs_.remove(line);
}

QVector<EmuChunk> EmuDevice::receiveOn(int line, const QByteArray &bytes, qint64 nowMs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Input &in = inputs_[line];
    if (!in.buffer.isEmpty() && nowMs - in.lastByteMs > stallMs_ && !completesFrame(in.buffer + bytes, maxPayload_)) {
        ++discarded_;
        log(QStringLiteral("partial frame of %1 bytes forgotten after %2 ms of silence")
                .arg(in.buffer.size())
                .arg(nowMs - in.lastByteMs));
        in.buffer.clear();
    }
    if (!bytes.isEmpty()) {
        in.buffer.append(bytes);
        in.lastByteMs = nowMs;
    }

    QVector<EmuChunk> out;
    for (;;) {
        const emu::RequestScan scan = emu::scanRequest(in.buffer, maxPayload_);
        stray_ += scan.skipped;
        const QByteArray frame = in.buffer.mid(scan.skipped, scan.consumed - scan.skipped);
        in.buffer.remove(0, scan.consumed);
        if (scan.kind == emu::RequestScan::NeedMore)
            break;
        if (scan.kind == emu::RequestScan::Repeat)
            out += answerRepeat();
        else
            out += answerRequest(scan, frame);
    }
    return out;
}

QVector<EmuChunk> EmuDevice::answerRequest(const emu::RequestScan &scan, const QByteArray &frame)
{
    EmuRequestRecord rec;
    rec.request = FsReq(scan.code, scan.payload);
    rec.request.setUnique(scan.unique);
    rec.frame = frame;
    QString line = QStringLiteral("cmd=%1 len=%2 unique=%3")
                       .arg(hex2(scan.code))
                       .arg(scan.length >= 5 ? scan.length - 5 : 0)
                       .arg(hex8(scan.unique));

    const Fired fired = fire(faults_, Event::Request);
    if (fired.has(EmuFault::Silent) || fired.has(EmuFault::IgnoreRequest)) {
        keep(rec);
        log(line + QStringLiteral(" ignored (fault %1)")
                       .arg(EmuFault::name(fired.has(EmuFault::Silent) ? EmuFault::Silent : EmuFault::IgnoreRequest)));
        return {};
    }

    if (repeatGuard_ && !lastFrame_.isEmpty() && frame == lastFrame_) {
        // The host missed our reply and sent the same request again: answering from memory keeps
        // a receipt or a shift from being made twice.
        rec.repeated = true;
        rec.result = lastReply_.size() > 3 ? quint8(lastReply_.at(3)) : 0;
        QStringList applied;
        const QVector<EmuChunk> out = transmit(lastReply_, &applied);
        rec.answered = !out.isEmpty();
        keep(rec);
        log(line + QStringLiteral(" -> %1 (same request again: not executed twice)%2")
                       .arg(rec.result)
                       .arg(faultNote(applied)));
        return out;
    }

    quint8 result = scan.error;
    QByteArray payload;
    if (scan.kind == emu::RequestScan::Request && fired.has(EmuFault::Refuse)) {
        result = quint8(fired.valueOr(EmuFault::Refuse, 8));
    } else if (scan.kind == emu::RequestScan::Request) {
        quint8 printerFault = 0;
        if (fired.has(EmuFault::PrinterNotAnswering))
            printerFault = 53;
        else if (fired.has(EmuFault::OutOfPaper))
            printerFault = 54;
        quint32 conditions = 0;
        if (fired.has(EmuFault::ForeignCard))
            conditions |= FiscalModel::ForeignCard;
        if (fired.has(EmuFault::EepromError))
            conditions |= FiscalModel::EepromError;
        if (fired.has(EmuFault::PaperLow))
            conditions |= FiscalModel::PaperLow;
        const int paperOut = fired.has(EmuFault::TapeOutOfPaper) ? fired.valueOr(EmuFault::TapeOutOfPaper, 1) : -1;
        model_->setPrinterFault(printerFault);
        model_->setConditions(conditions);
        model_->setTapePaperOut(paperOut);
        const FiscalModel::Result r = model_->execute(scan.code, scan.payload);
        model_->setPrinterFault(0);
        model_->setConditions(0);
        model_->setTapePaperOut(-1);
        ++executions_;
        ++byUnique_[scan.unique];
        ++byCommand_[scan.code];
        rec.executed = true;
        result = r.code;
        payload = r.payload;
        if (afterExecute_)
            afterExecute_(*model_);
    }

    const QByteArray reply = emu::replyFrame(result, scan.unique, payload);
    if (!lastReply_.isEmpty() && frameUnique(lastReply_) != scan.unique)
        staleReply_ = lastReply_;
    lastReply_ = reply;
    lastFrame_ = frame;

    rec.result = result;
    QStringList applied;
    if (rec.executed || fired.has(EmuFault::Refuse))
        noteFaults(fired, &applied);
    const QVector<EmuChunk> out = transmit(reply, &applied);
    rec.answered = !out.isEmpty();
    keep(rec);
    // One entry per request, its frames in words on lines of their own.
    log(line + QStringLiteral(" -> %1 (reply %2 bytes%3)%4")
                   .arg(result)
                   .arg(reply.size())
                   .arg(rec.answered ? QString() : QStringLiteral(", not sent"))
                   .arg(faultNote(applied))
        + (log_ ? QStringLiteral("\n  %1\n  %2")
                      .arg(framedecoder::describeRequest(frame), framedecoder::describeReply(reply, scan.code))
                : QString()));
    return out;
}

QVector<EmuChunk> EmuDevice::answerRepeat()
{
    ++repeats_;
    const Fired fired = fire(faults_, Event::Repeat);
    if (fired.has(EmuFault::Silent)) {
        log(QStringLiteral("0x05 ignored (fault silent)"));
        return {};
    }
    QByteArray reply = lastReply_;
    QString what = QStringLiteral("last reply");
    if (fired.has(EmuFault::StaleRepeat)) {
        reply = staleReply_;
        if (reply.isEmpty()) {
            quint32 other = frameUnique(lastReply_) ^ 0x5A5A5A5Au;
            reply = emu::replyFrame(0, other ? other : 1);
        }
        what = QStringLiteral("stale reply");
    } else if (reply.isEmpty()) {
        // Nothing answered yet, so the request the host is waiting for never arrived whole. A reply
        // with another exchange number makes it send the request again.
        reply = emu::replyFrame(Garbage, 0);
        what = QStringLiteral("no reply yet");
    }
    QStringList applied;
    noteFaults(fired, &applied);
    const QVector<EmuChunk> out = transmit(reply, &applied);
    log(QStringLiteral("0x05 -> %1 unique=%2 result=%3%4%5")
            .arg(what, hex8(frameUnique(reply)))
            .arg(reply.size() > 3 ? quint8(reply.at(3)) : 0)
            .arg(out.isEmpty() ? QStringLiteral(" (not sent)") : QString())
            .arg(faultNote(applied))
        + (log_ ? QStringLiteral("\n  ") + framedecoder::describeReply(reply) : QString()));
    return out;
}

QVector<EmuChunk> EmuDevice::transmit(const QByteArray &reply, QStringList *applied)
{
    const Fired fired = fire(faults_, Event::Reply);
    noteFaults(fired, applied);
    if (fired.has(EmuFault::DropReply))
        return {};
    QByteArray bytes = reply;
    if (fired.has(EmuFault::CorruptCrc) && !bytes.isEmpty())
        bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 0xFF);
    if (fired.has(EmuFault::TruncateReply)) {
        // Only the first BYTES go out: all of a reply shorter than that, none of it for 0.
        bytes.truncate(qBound(0, fired.valueOr(EmuFault::TruncateReply, bytes.size() - 2), bytes.size()));
        if (bytes.isEmpty())
            return {};
    }
    if (fired.has(EmuFault::StrayPrefix)) {
        static const char pattern[] = {char(0xFF), char(0x00), char(0x55), char(0xAA), char(0x7E), char(0x13)};
        const int count = fired.valueOr(EmuFault::StrayPrefix, 3);
        QByteArray prefix;
        for (int i = 0; i < count; ++i)
            prefix.append(pattern[i % int(sizeof pattern)]);
        bytes.prepend(prefix);
    }
    const int delay = fired.has(EmuFault::DelayReply) ? fired.valueOr(EmuFault::DelayReply, 500) : 0;
    if (fired.has(EmuFault::SplitReply) && bytes.size() > 1) {
        const int half = bytes.size() / 2;
        return {{delay, bytes.left(half)}, {fired.valueOr(EmuFault::SplitReply, 50), bytes.mid(half)}};
    }
    return {{delay, bytes}};
}

void EmuDevice::keep(const EmuRequestRecord &record)
{
    records_.append(record);
    if (records_.size() <= historyLimit_)
        return;
    const int drop = records_.size() / 2;
    for (int i = 0; i < drop; ++i)
        byUnique_.remove(records_.at(i).request.unique());
    records_.remove(0, drop);
}

void EmuDevice::log(const QString &line)
{
    if (log_)
        log_(line);
}

void EmuDevice::setMaxPayload(int bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    maxPayload_ = qBound(0, bytes, int(FsMsg::MaxPayloadSize));
}

void EmuDevice::setStallTimeout(int ms)
{
    std::lock_guard<std::mutex> lock(mutex_);
    stallMs_ = qMax(1, ms);
}

void EmuDevice::setRepeatGuard(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    repeatGuard_ = on;
}

void EmuDevice::addFault(const EmuFault &fault)
{
    std::lock_guard<std::mutex> lock(mutex_);
    EmuFault f = fault;
    f.seen = 0;
    faults_.append(f);
}

void EmuDevice::clearFaults()
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
}

QVector<EmuFault> EmuDevice::faults() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_;
}

int EmuDevice::executionCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return executions_;
}

int EmuDevice::executionCount(quint32 unique) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return byUnique_.value(unique);
}

int EmuDevice::executionsOf(quint8 command) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return byCommand_.value(command);
}

int EmuDevice::repeatRequests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return repeats_;
}

int EmuDevice::strayBytes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stray_;
}

int EmuDevice::discardedFrames() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return discarded_;
}

int EmuDevice::pendingBytes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    int bytes = 0;
    for (const Input &in : inputs_)
        bytes += in.buffer.size();
    return bytes;
}

QVector<EmuRequestRecord> EmuDevice::requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

QByteArray EmuDevice::lastReply() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lastReply_;
}

void EmuDevice::clearHistory()
{
    std::lock_guard<std::mutex> lock(mutex_);
    executions_ = 0;
    byUnique_.clear();
    byCommand_.clear();
    repeats_ = 0;
    stray_ = 0;
    discarded_ = 0;
    records_.clear();
}

void EmuDevice::setHistoryLimit(int records)
{
    std::lock_guard<std::mutex> lock(mutex_);
    historyLimit_ = qMax(2, records);
}

void EmuDevice::setRequestLog(std::function<void(const QString &)> log)
{
    std::lock_guard<std::mutex> lock(mutex_);
    log_ = std::move(log);
}

void EmuDevice::setAfterExecute(std::function<void(FiscalModel &)> hook)
{
    std::lock_guard<std::mutex> lock(mutex_);
    afterExecute_ = std::move(hook);
}
