#include "tapeprinter.h"

const QString TapePrinter::CutMark = QStringLiteral("\u2702");

namespace {

QString expandTabs(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (c == QLatin1Char('\t')) {
            do {
                out += QLatin1Char(' ');
            } while (out.size() % 8 != 0);
        } else if (c == QLatin1Char('\r')) {
            continue;
        } else if (c.unicode() < 0x20) {
            out += QChar(0x00B7); // a control character still takes its place on the paper
        } else {
            out += c;
        }
    }
    return out;
}

// Cuts a line into pieces of at most width characters, at blanks where possible.
QStringList wrap(const QString &text, int width)
{
    QStringList out;
    QString rest = text;
    while (rest.size() > width) {
        int cut = rest.lastIndexOf(QLatin1Char(' '), width);
        if (cut <= 0) {
            out << rest.left(width);
            rest = rest.mid(width);
        } else {
            out << rest.left(cut);
            rest = rest.mid(cut + 1);
        }
    }
    out << rest;
    return out;
}

} // namespace

QStringList TapePrinter::layout(const QString &text, const Style &style) const
{
    const bool dbl = style.flags & Double;
    const bool bold = style.flags & Bold;
    const bool inverted = style.flags & Inverted;
    // Double-width letters take two positions; bold text is framed by asterisks.
    int width = dbl ? columns_ / 2 : columns_;
    if (bold)
        width -= 2;
    if (inverted)
        width -= 2;
    if (width < 1)
        width = 1;

    QStringList out;
    const QStringList paragraphs = text.split(QLatin1Char('\n'));
    for (const QString &paragraph : paragraphs) {
        for (QString piece : wrap(expandTabs(paragraph), width)) {
            if (dbl) {
                QString spaced;
                for (const QChar c : piece)
                    spaced += QString(c) + QLatin1Char(' ');
                piece = spaced.left(spaced.size() - 1);
            }
            if (bold)
                piece = QLatin1Char('*') + piece + QLatin1Char('*');
            if (inverted)
                piece = QLatin1Char(' ') + piece + QLatin1Char(' ');
            const int free = qMax(0, columns_ - piece.size());
            int left = 0;
            if (style.justify == 1)
                left = free / 2;
            else if (style.justify == 2)
                left = free;
            const QChar pad = inverted ? QChar(0x2588) : QLatin1Char(' ');
            QString line = QString(left, pad) + piece;
            if (inverted)
                line += QString(columns_ - line.size(), pad);
            else
                while (line.endsWith(QLatin1Char(' ')))
                    line.chop(1);
            out << line;
        }
    }
    for (int i = 0; i < style.spacing; ++i)
        out << QString();
    return out;
}

void TapePrinter::print(const QString &text, const Style &style)
{
    lines_ << layout(text, style);
    if (style.flags & CutAfter)
        cut();
}

void TapePrinter::print(const QStringList &lines)
{
    for (const QString &l : lines)
        lines_ << layout(l, Style());
}

void TapePrinter::center(const QString &text)
{
    Style s;
    s.justify = 1;
    lines_ << layout(text, s);
}

QString TapePrinter::pairLine(const QString &left, const QString &right, int width) const
{
    const int w = width > 0 ? width : columns_;
    const int gap = w - left.size() - right.size();
    if (gap < 1)
        return left + QLatin1Char('\n') + QString(qMax(0, w - right.size()), QLatin1Char(' ')) + right;
    return left + QString(gap, QLatin1Char(' ')) + right;
}

void TapePrinter::pair(const QString &left, const QString &right)
{
    lines_ << layout(pairLine(left, right), Style());
}

void TapePrinter::rule(QChar c)
{
    lines_ << QString(columns_, c);
}

void TapePrinter::cut()
{
    lines_ << CutMark + QString(columns_ - 1, QLatin1Char('-'));
}

QStringList TapePrinter::take()
{
    QStringList out;
    out.swap(lines_);
    return out;
}
