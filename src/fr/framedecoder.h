#pragma once

// Frames put into words for a person: one line per frame, for the log pane, the log files, the
// emulator's request log and the command line. Pure functions over bytes; nothing here trusts a
// length field or reads past the bytes it is given.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

namespace framedecoder {

constexpr int UnknownCommand = -1;

// Short Russian name of a command as the tabs name the action; empty for a code this program
// never sends.
QString commandName(quint8 code);

// A request frame as written to the register, the lone repeat byte 0x05 included.
QString describeRequest(const QByteArray &frame);
// A reply frame (possibly empty, cut short or damaged). `requestCode` is the command it answers,
// which gives its payload a meaning; `roundTripUs` is shown when not negative.
QString describeReply(const QByteArray &frame, int requestCode = UnknownCommand, qint64 roundTripUs = -1);

// The firmware loader's frames (its own protocol, no checksum).
QString describeLoaderRequest(const QByteArray &frame);
QString describeLoaderReply(const QByteArray &frame);
// Whether the bytes are a whole loader frame: its start byte and a declared size that matches.
bool isLoaderFrame(const QByteArray &frame);

// Every frame found in `text` (textdecoder.cpp), in order, as its summary line. `text` is either a log file of this
// program (the dumps of its exchange entries) or plain hex, one frame per line; a line may start
// with ">" or "→" (sent) or "<" or "←" (received), else requests and replies are taken to
// alternate. Replies are decoded against the request before them.
QStringList decodeText(const QString &text);

// decodeText a line at a time, for text of any size: it holds back no more than a bounded
// amount, whatever it is given. Until a log file's dump has been seen, the first lines wait
// (within that bound) to learn whether the text is a log or hex.
class LineDecoder
{
public:
    LineDecoder();
    ~LineDecoder();
    LineDecoder(const LineDecoder &) = delete;
    LineDecoder &operator=(const LineDecoder &) = delete;

    // One line, without its line end.
    void addLine(const QString &line);
    // The end of the text: whatever is still held back is decoded.
    void finish();
    // The summaries found since the last call.
    QStringList take();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace framedecoder
