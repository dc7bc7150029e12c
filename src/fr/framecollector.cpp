#include "framecollector.h"

#include "frmsg.h"

namespace {
int sizeFromLength(const QByteArray &buf, int start)
{
    return int(quint8(buf.at(start + 1))) + (int(quint8(buf.at(start + 2))) << 8) + 5;
}
} // namespace

void FrameCollector::append(char byte)
{
    if (prefix_.isEmpty())
        prefix_.append(Crc16::shared().calc(nullptr, 0));
    prefix_.append(Crc16::shared().step(prefix_.last(), quint8(byte)));
    buf_.append(byte);
}

FrameCollector::Step FrameCollector::push(char byte)
{
    if (complete_)
        return Complete;
    if (!isStarted() && quint8(byte) != FsMsg::StartByte)
        return Skipped;
    append(byte);
    const int n = buf_.size() - start_;
    if (expected_ < 0 && n >= 3)
        expected_ = sizeFromLength(buf_, start_);
    // The length field is read unsigned; a field below 5 still ends the frame (fewer than 10
    // bytes in all), and the parser then rejects it as too short.
    if (expected_ >= 0 && n == expected_)
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

bool FrameCollector::checksumOkAt(int at, int size) const
{
    if (size < FsMsg::MinFrameSize || at + size > buf_.size())
        return false;
    const int end = at + size;
    const quint16 received = quint16(quint8(buf_.at(end - 2)) | (quint8(buf_.at(end - 1)) << 8));
    // Length field, code, unique and payload: from the byte after the start to the CRC.
    return Crc16::ofRange(prefix_.at(at + 1), prefix_.at(end - 2), size - 3) == received;
}

bool FrameCollector::checksumOk() const
{
    return complete_ && checksumOkAt(start_, buf_.size() - start_);
}

void FrameCollector::startAt(int at)
{
    start_ = at;
    const int n = buf_.size() - start_;
    expected_ = n >= 3 ? sizeFromLength(buf_, start_) : -1;
    complete_ = expected_ >= 0 && n >= expected_;
    if (complete_)
        takeComplete();
}

void FrameCollector::takeComplete()
{
    buf_.truncate(start_ + expected_);
    prefix_.resize(buf_.size() + 1);
}

bool FrameCollector::resync()
{
    for (int from = start_ + 1;;) {
        const int at = buf_.indexOf(char(FsMsg::StartByte), from);
        if (at < 0) {
            reset();
            return false;
        }
        const int n = buf_.size() - at;
        const int size = n >= 3 ? sizeFromLength(buf_, at) : -1;
        if (size < 0 || n < size || checksumOkAt(at, size)) {
            startAt(at);
            return true;
        }
        from = at + 1;
    }
}

bool FrameCollector::salvage()
{
    for (int from = start_ + 1;;) {
        const int at = buf_.indexOf(char(FsMsg::StartByte), from);
        if (at < 0 || buf_.size() - at < 3)
            return false;
        const int size = sizeFromLength(buf_, at);
        if (buf_.size() - at >= size && checksumOkAt(at, size)) {
            startAt(at);
            return true;
        }
        from = at + 1;
    }
}

void FrameCollector::reset()
{
    buf_.clear();
    prefix_.clear();
    start_ = 0;
    expected_ = -1;
    complete_ = false;
}
