#pragma once

#include <QString>
#include <QStringList>

// The register's paper: everything printed becomes readable text lines of the paper width,
// so a user without a printer can read the tape in a file or a terminal.
class TapePrinter
{
public:
    // The four attribute bytes of a printed line.
    struct Style
    {
        int spacing = 0; // blank lines after the text (0 to 5)
        int justify = 0; // 0 left, 1 centre, 2 right
        int font = 0;    // kept for the record; the tape has one font
        int flags = 0;   // Bold, Inverted, Double, CutAfter
    };
    enum Flag { Bold = 0x01, Inverted = 0x04, Double = 0x08, CutAfter = 0x10 };

    static const QString CutMark;

    void setColumns(int columns) { columns_ = columns < 8 ? 8 : columns; }
    int columns() const { return columns_; }

    // One printed text (it may hold line feeds and tabs), styled, wrapped to the paper width.
    void print(const QString &text, const Style &style);
    // Plain lines, left-justified and wrapped.
    void print(const QStringList &lines);
    void center(const QString &text);
    // "left ...... right" over the whole width (wrapped when both do not fit).
    void pair(const QString &left, const QString &right);
    void rule(QChar c = QLatin1Char('-'));
    void cut();

    // Lines of the given texts laid out as print() would, without printing them.
    QStringList layout(const QString &text, const Style &style) const;
    // "left ...... right" over the paper width, or over width characters when given.
    QString pairLine(const QString &left, const QString &right, int width = -1) const;

    // Everything printed since the last call.
    QStringList take();
    bool isEmpty() const { return lines_.isEmpty(); }

private:
    int columns_ = 48;
    QStringList lines_;
};
