#include "framedecoder.h"

#include <utility>

#include <QRegularExpression>

#include "frmsg.h"

// decodeText and LineDecoder: the frames of a log file of this program, or of hex text, found line
// by line and handed to the frame descriptions of framedecoder.cpp.

namespace framedecoder {

namespace {

const QString Sent = QStringLiteral("→");
const QString Received = QStringLiteral("←");
constexpr quint8 RepeatByte = 0x05;

enum class Direction { Unknown, Out, In };

class TextDecoder
{
public:
    void frame(const QByteArray &bytes, Direction dir)
    {
        if (dir == Direction::Unknown) {
            const bool repeat = bytes.size() == 1 && quint8(bytes.at(0)) == RepeatByte;
            dir = (repeat || !expectReply_) ? Direction::Out : Direction::In;
        }
        if (dir == Direction::Out) {
            FsReq req;
            const bool isFrame = bytes.size() >= FsMsg::MinFrameSize && req.parseQuietly(bytes) != fs::WrongLength;
            if (!isFrame && isLoaderFrame(bytes)) {
                out_ << describeLoaderRequest(bytes);
                loader_ = true;
            } else {
                out_ << describeRequest(bytes);
                loader_ = false;
                // The answer to 0x05 is the reply to the request before it.
                if (!(bytes.size() == 1 && quint8(bytes.at(0)) == RepeatByte))
                    code_ = isFrame ? int(req.code()) : UnknownCommand;
            }
            expectReply_ = true;
        } else {
            FsRep rep;
            const bool isFrame = rep.parseQuietly(bytes) != fs::WrongLength;
            if ((loader_ || !isFrame) && isLoaderFrame(bytes))
                out_ << describeLoaderReply(bytes);
            else
                out_ << describeReply(bytes, code_);
            expectReply_ = false;
        }
    }
    QStringList take() { return std::exchange(out_, {}); }

private:
    QStringList out_;
    int code_ = UnknownCommand;
    bool expectReply_ = false;
    bool loader_ = false;
};

const QString DumpMarker = QStringLiteral("Bytearrray size = ");
const QString EmptyDump = QStringLiteral("Byte array is empty");
constexpr int DumpIndent = 15;
constexpr int HexColumn = 54; // 16 pairs, their blanks and the gap between the halves; then text
// No frame is larger than this; a dump that claims more keeps only its start.
constexpr int MaxDumpBytes = 1 << 17;
// What waits while it is not known whether the text is a log or hex.
constexpr int MaxHeldLines = 1000;
constexpr int MaxHeldChars = 1 << 20;

bool isDumpLine(const QString &line)
{
    return line.contains(DumpMarker) || line.contains(EmptyDump);
}

// The hex dumps of a log file of this program. A dump whose entry starts with a summary line
// takes its direction from it; of the others, the transport's reply entries end in "true" or
// "false". The parser's echo of a reply ("Frame code …") repeats a dump already counted.
class LogReader
{
public:
    explicit LogReader(TextDecoder &decoder) : decoder_(decoder) {}

    void line(const QString &line)
    {
        if (inDump_) {
            if (seen_ < size_ && line.startsWith(QString(DumpIndent, QLatin1Char(' ')))) {
                row(line);
                prev_ = line;
                return;
            }
            endDump(&line);
        }
        startDump(line);
        prev_ = line;
    }
    void finish()
    {
        if (inDump_)
            endDump(nullptr);
    }
    void setPrevious(const QString &line) { prev_ = line; }

private:
    TextDecoder &decoder_;
    QString prev_;
    QByteArray last_;
    bool inDump_ = false;
    Direction dir_ = Direction::Unknown;
    int size_ = 0;
    int seen_ = 0;
    QByteArray bytes_;

    void startDump(const QString &line)
    {
        const int at = line.indexOf(DumpMarker);
        if (at < 0 && !line.contains(EmptyDump))
            return;
        if (line.contains(QLatin1String("Frame code")))
            return;
        Direction dir = Direction::Unknown;
        const QString head = line.left(at < 0 ? line.indexOf(EmptyDump) : at);
        // A summary is the line right above the dump: the entry's own line or its first indented
        // one, never a dump row (those start with hex pairs).
        QString prev = prev_;
        const QString indentText(DumpIndent, QLatin1Char(' '));
        if (prev.startsWith(indentText) && !prev.trimmed().startsWith(Sent) && !prev.trimmed().startsWith(Received))
            prev.clear();
        for (const QString &l : {head, prev}) {
            if (l.contains(Sent))
                dir = Direction::Out;
            else if (l.contains(Received))
                dir = Direction::In;
            if (dir != Direction::Unknown)
                break;
        }
        bool ok = false;
        const int size = at < 0 ? 0 : line.mid(at + DumpMarker.size()).trimmed().toInt(&ok);
        if (at >= 0 && (!ok || size < 0))
            return;
        inDump_ = true;
        dir_ = dir;
        size_ = size;
        seen_ = 0;
        bytes_.clear();
    }

    void row(const QString &line)
    {
        const QStringList pairs = line.mid(DumpIndent, HexColumn).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        for (const QString &p : pairs) {
            if (seen_ < size_ && p.size() == 2) {
                ++seen_;
                if (bytes_.size() < MaxDumpBytes)
                    bytes_.append(char(p.toInt(nullptr, 16)));
            }
        }
    }

    // `next` is the line after the dump, if any: a reply's entry may end there in "true"/"false".
    void endDump(const QString *next)
    {
        inDump_ = false;
        if (dir_ == Direction::Unknown && next) {
            const QString tail = next->trimmed();
            if (tail == QLatin1String("true") || tail == QLatin1String("false"))
                dir_ = Direction::In;
        }
        // Some entries show a frame already shown just before (the parser's and a command's
        // echo of a reply): it is the same frame, not another one.
        if (bytes_ != last_ || dir_ == Direction::Out)
            decoder_.frame(bytes_, dir_);
        last_ = bytes_;
    }
};

void decodeHexLine(QString line, TextDecoder &decoder)
{
    static const QRegularExpression notHex(QStringLiteral("[^0-9a-fA-F]"));
    line = line.trimmed();
    if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
        return;
    Direction dir = Direction::Unknown;
    if (line.startsWith(QLatin1Char('>')) || line.startsWith(Sent))
        dir = Direction::Out;
    else if (line.startsWith(QLatin1Char('<')) || line.startsWith(Received))
        dir = Direction::In;
    if (dir != Direction::Unknown)
        line = line.mid(1);
    line.remove(notHex);
    // A line with no hex digit at all carries no frame.
    if (!line.isEmpty())
        decoder.frame(QByteArray::fromHex(line.toLatin1()), dir);
}

} // namespace

struct LineDecoder::Private
{
    enum class Mode { Undecided, Log, Hex };
    Mode mode = Mode::Undecided;
    QStringList held;
    int heldChars = 0;
    QString previous;
    TextDecoder decoder;
    LogReader log{decoder};

    void toLog()
    {
        mode = Mode::Log;
        const QStringList lines = std::exchange(held, {});
        for (const QString &l : lines)
            log.line(l);
    }
    void toHex()
    {
        mode = Mode::Hex;
        const QStringList lines = std::exchange(held, {});
        for (const QString &l : lines)
            decodeHexLine(l, decoder);
    }
};

LineDecoder::LineDecoder() : d(new Private)
{}

LineDecoder::~LineDecoder() = default;

void LineDecoder::addLine(const QString &line)
{
    switch (d->mode) {
    case Private::Mode::Undecided:
        if (isDumpLine(line)) {
            d->toLog();
            d->log.line(line);
            break;
        }
        d->held << line;
        d->heldChars += line.size();
        if (d->held.size() > MaxHeldLines || d->heldChars > MaxHeldChars)
            d->toHex();
        break;
    case Private::Mode::Hex:
        // A log whose first dump came late: the rest is read as the log it is.
        if (isDumpLine(line)) {
            d->mode = Private::Mode::Log;
            d->log.setPrevious(d->previous);
            d->log.line(line);
        } else {
            decodeHexLine(line, d->decoder);
        }
        break;
    case Private::Mode::Log:
        d->log.line(line);
        break;
    }
    d->previous = line;
}

void LineDecoder::finish()
{
    if (d->mode == Private::Mode::Undecided)
        d->toHex();
    else if (d->mode == Private::Mode::Log)
        d->log.finish();
}

QStringList LineDecoder::take()
{
    return d->decoder.take();
}

QStringList decodeText(const QString &text)
{
    LineDecoder decoder;
    for (const QString &line : text.split(QRegularExpression(QStringLiteral("\\r?\\n"))))
        decoder.addLine(line);
    decoder.finish();
    return decoder.take();
}

} // namespace framedecoder
