#include "framecollector.h"

#include "frmsg.h"

FrameCollector::Step FrameCollector::push(char byte)
{
    if (complete_)
        return Complete;
    if (frame_.isEmpty() && quint8(byte) != FsMsg::StartByte)
        return Skipped;
    frame_.append(byte);
    if (frame_.size() == 3)
        expected_ = int(quint8(frame_.at(1))) + (int(quint8(frame_.at(2))) << 8) + 5;
    // The length field is read unsigned; a field below 5 still ends the frame (fewer than 10
    // bytes in all), and the parser then rejects it as too short.
    if (expected_ >= 0 && frame_.size() == expected_)
        complete_ = true;
    return complete_ ? Complete : Kept;
}

int FrameCollector::push(const char *data, int size)
{
    int taken = 0;
    while (taken < size && !complete_)
        push(data[taken++]);
    return taken;
}

bool FrameCollector::checksumOk() const
{
    if (!complete_ || frame_.size() < FsMsg::MinFrameSize)
        return false;
    static const Crc16 crc;
    const int n = frame_.size();
    const quint16 received = quint16(quint8(frame_.at(n - 2)) | (quint8(frame_.at(n - 1)) << 8));
    return crc.calc(frame_.constData() + 1, n - 3) == received;
}

bool FrameCollector::resync()
{
    QByteArray rest = frame_.mid(1);
    for (;;) {
        reset();
        const int start = rest.indexOf(char(FsMsg::StartByte));
        if (start < 0)
            return false;
        rest.remove(0, start);
        push(rest.constData(), rest.size());
        if (!complete_ || checksumOk())
            return true;
        rest.remove(0, 1);
    }
}

bool FrameCollector::salvage()
{
    const QByteArray kept = frame_;
    const int keptExpected = expected_;
    const bool keptComplete = complete_;
    int from = 1;
    for (int tries = 0; tries < MaxSalvageStarts; ++tries) {
        const int start = kept.indexOf(char(FsMsg::StartByte), from);
        if (start < 0 || kept.size() - start < 3)
            break;
        const int total = int(quint8(kept.at(start + 1))) + (int(quint8(kept.at(start + 2))) << 8) + 5;
        if (kept.size() - start >= total) {
            reset();
            push(kept.constData() + start, total);
            if (checksumOk())
                return true;
        }
        from = start + 1;
    }
    frame_ = kept;
    expected_ = keptExpected;
    complete_ = keptComplete;
    return false;
}

void FrameCollector::reset()
{
    frame_.clear();
    expected_ = -1;
    complete_ = false;
}
