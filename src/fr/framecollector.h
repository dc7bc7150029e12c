#pragma once

#include <QByteArray>
#include <QVector>

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

    bool isStarted() const { return start_ < buf_.size(); }
    bool isComplete() const { return complete_; }
    // From the start byte on; complete only when isComplete().
    QByteArray frame() const { return buf_.mid(start_); }
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
    // byte after the current one, for a complete frame whose CRC holds, and takes it. On failure
    // the collector is left as it was.
    bool salvage();

    // Both searches cost a bounded amount per byte kept, whatever the junk: every byte is looked
    // at as a start once, and a candidate's CRC comes from the CRCs of the prefixes of what is
    // kept rather than from its own bytes (junk full of 0x04 is a candidate at every byte).

private:
    void append(char byte);
    // Makes the byte at `at` the start of the current frame.
    void startAt(int at);
    // The frame of `size` bytes starting at `at` (all of it kept) has a CRC that holds.
    bool checksumOkAt(int at, int size) const;
    // Ends the kept bytes with the current frame, complete: later bytes are not taken.
    void takeComplete();

    QByteArray buf_;          // every byte kept since the first start byte
    QVector<quint16> prefix_; // prefix_[k]: CRC-16 of buf_[0, k)
    int start_ = 0;           // the current frame's start byte in buf_
    int expected_ = -1;
    bool complete_ = false;
};
