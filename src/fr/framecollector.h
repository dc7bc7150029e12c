#pragma once

#include <QByteArray>

// Gathers one reply frame from the bytes of a serial line as they arrive: noise before the start
// byte is dropped, then bytes are kept until the count in the frame's length field is reached.
// No I/O and no clock: the transport feeds it, and decides on its own how long to wait for more.
class FrameCollector
{
public:
    enum Step {
        Skipped,  // noise before the start byte
        Kept,     // part of the frame, more to come
        Complete, // the byte that completed the frame; later bytes are not taken
    };

    Step push(char byte);
    // Feeds bytes until the frame is complete; returns how many were taken (the rest belong to
    // whatever follows the frame).
    int push(const char *data, int size);

    bool isStarted() const { return !frame_.isEmpty(); }
    bool isComplete() const { return complete_; }
    // From the start byte on; complete only when isComplete().
    const QByteArray &frame() const { return frame_; }
    // Whole frame size once the length field has arrived, else -1.
    int expectedSize() const { return expected_; }
    // A complete frame whose CRC holds.
    bool checksumOk() const;
    void reset();
    // Gives up the current start byte as noise (its frame failed the CRC, or stopped short) and
    // looks again from the next start byte among the bytes kept after it, skipping any complete
    // frame that fails the CRC in turn. True when a start was found: the collector then holds a
    // frame that is either still partial or complete with a good CRC. Needed after a reply was
    // cut short: its tail arrives in front of the repeated reply, and a 0x04 inside that tail
    // would otherwise pass for the start of a frame and swallow the good one.
    bool resync();
    // For a line that ran dry inside a frame: looks among the bytes kept, from the first start
    // byte after the current one, for a complete frame whose CRC holds, and takes it. Gives up
    // after MaxSalvageStarts start bytes; on failure the collector is left as it was.
    bool salvage();
    static constexpr int MaxSalvageStarts = 1024;

private:
    QByteArray frame_;
    int expected_ = -1;
    bool complete_ = false;
};
