#include "hexdump.h"

#include <QTextCodec>
#include <QTextDecoder>

#include <memory>

namespace {

constexpr int kBytesPerRow = 16;
constexpr int kHexColumnWidth = 54;

QTextCodec *codecByName(const QString &name)
{
    if (name == QLatin1String("System"))
        return QTextCodec::codecForLocale();
    if (QTextCodec *codec = QTextCodec::codecForName(name.toLatin1()))
        return codec;
    // An unknown name must not cost the dump: the local code page still shows the text.
    return QTextCodec::codecForLocale();
}

// Control bytes would break the row apart (line feeds, tabs) or vanish; they are shown as dots.
// Everything from 0x20 up goes to the decoder as it is, so multi-byte characters survive.
QByteArray printableRow(const QByteArray &row)
{
    QByteArray out = row;
    for (char &c : out) {
        if (static_cast<unsigned char>(c) < 0x20)
            c = '.';
    }
    return out;
}

int rowPadding(int n)
{
    if (n == kBytesPerRow)
        return 0;
    return n >= 8 ? 51 - 3 * n : kHexColumnWidth - 3 * n;
}

// One row of the dump: the hex column padded to its width, then the text. Built in one string,
// as every logged frame goes through here.
QString hexRow(const QByteArray &row, QTextDecoder *decoder)
{
    static const char digits[] = "0123456789abcdef";
    QString line;
    line.reserve(kHexColumnWidth + row.size());
    for (int i = 0; i < row.size(); ++i) {
        const auto b = static_cast<unsigned char>(row.at(i));
        line += QLatin1Char(digits[b >> 4]);
        line += QLatin1Char(digits[b & 0x0f]);
        line += QLatin1Char(' ');
        if (i == 7 || i == 15)
            line += QLatin1String("   ");
    }
    line.resize(line.size() + rowPadding(row.size()), QLatin1Char(' '));
    line += decoder->toUnicode(printableRow(row));
    return line;
}

} // namespace

QTextStream &indent(QTextStream &s)
{
    s << Qt::endl << QString(IndentWidth, QLatin1Char(' '));
    return s;
}

QDebug indent(QDebug d)
{
    // In the default spacing mode the stream adds one space after the piece, completing the 15 columns.
    QDebugStateSaver saver(d);
    const bool spaced = d.autoInsertSpaces();
    d.noquote() << QLatin1Char('\n') + QString(spaced ? IndentWidth - 1 : IndentWidth, QLatin1Char(' '));
    return d;
}

QTextStream &operator<<(QTextStream &s, const HexDump &dump)
{
    const QByteArray &bytes = dump.bytes();
    s << "Bytearrray size = " << bytes.size() << indent;
    if (bytes.isEmpty()) {
        s << "Byte array is empty" << '\n';
        return s;
    }
    // One decoder for the whole dump: a character split between two rows is completed in the second.
    std::unique_ptr<QTextDecoder> decoder(codecByName(dump.codecName())->makeDecoder());
    for (int offset = 0; offset < bytes.size(); offset += kBytesPerRow) {
        if (offset > 0)
            s << indent;
        s << hexRow(bytes.mid(offset, kBytesPerRow), decoder.get());
    }
    return s;
}

QDebug operator<<(QDebug d, const HexDump &dump)
{
    QDebugStateSaver saver(d);
    d.noquote();
    d.setAutoInsertSpaces(true);
    const QByteArray &bytes = dump.bytes();
    d << "Bytearrray size =" << bytes.size();
    d = indent(d);
    if (bytes.isEmpty()) {
        d << "Byte array is empty";
        return d;
    }
    std::unique_ptr<QTextDecoder> decoder(codecByName(dump.codecName())->makeDecoder());
    for (int offset = 0; offset < bytes.size(); offset += kBytesPerRow) {
        if (offset > 0)
            d = indent(d);
        // The stream adds its own space after the row, as it always has after the text.
        d << hexRow(bytes.mid(offset, kBytesPerRow), decoder.get());
    }
    return d;
}
