#pragma once

#include <QByteArray>
#include <QString>

class QTextCodec;

// Text conversions shared by the TLV records, the reply records and the commands: the register
// speaks CP866.
namespace frtext {
QTextCodec *cp866();
QByteArray toCp866(const QString &text);
QString fromCp866(const QByteArray &bytes);
// The bytes of a fixed-width field up to its first zero byte (all of them when there is none).
QByteArray untilZero(const char *field, int width);
QByteArray untilZero(const QByteArray &bytes);
// The register's date and time as its renderings show it: dd.MM.yyyy hh:mm:ss.
QString dateText(quint32 seconds);
// The same for a terminal or a script: ISO 8601, yyyy-MM-ddThh:mm:ss.
QString isoDateText(quint32 seconds);
// Kopecks as roubles with a point and two decimals, never grouped: what a summary line or a script
// reads the same whatever the locale.
QString plainMoney(qint64 kopecks);
} // namespace frtext
