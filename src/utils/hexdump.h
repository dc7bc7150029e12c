#pragma once

#include <QByteArray>
#include <QDebug>
#include <QString>
#include <QTextStream>

// Hex dump of a byte array with its text beside it, for log entries and the log pane.
// The codec name "System" means the platform's local 8-bit code page.
class HexDump
{
public:
    explicit HexDump(const QByteArray &bytes, const QString &codecName = QStringLiteral("System"))
        : bytes_(bytes), codec_(codecName)
    {}
    explicit HexDump(const char *zeroTerminated, const QString &codecName = QStringLiteral("System"))
        : bytes_(zeroTerminated), codec_(codecName)
    {}
    const QByteArray &bytes() const { return bytes_; }
    const QString &codecName() const { return codec_; }

private:
    QByteArray bytes_;
    QString codec_;
};

QTextStream &operator<<(QTextStream &s, const HexDump &dump);
QDebug operator<<(QDebug d, const HexDump &dump);

// Where continuation text starts: under the text after a log entry's time stamp.
constexpr int IndentWidth = 15;

// New line (with flush), then 15 spaces: continuation text lines up under the time stamp.
QTextStream &indent(QTextStream &s);
QDebug indent(QDebug d);
