#include "frtext.h"

#include <QTextCodec>

#include <cstring>

#include "fixnumber.h"
#include "frmsg.h"

namespace frtext {

QTextCodec *cp866()
{
    static QTextCodec *const codec = QTextCodec::codecForName("IBM866");
    return codec;
}

QByteArray toCp866(const QString &text)
{
    QTextCodec *codec = cp866();
    return codec ? codec->fromUnicode(text) : text.toLatin1();
}

QString fromCp866(const QByteArray &bytes)
{
    QTextCodec *codec = cp866();
    return codec ? codec->toUnicode(bytes) : QString::fromLatin1(bytes);
}

QByteArray untilZero(const char *field, int width)
{
    const void *zero = std::memchr(field, 0, size_t(width));
    return QByteArray(field, zero ? int(static_cast<const char *>(zero) - field) : width);
}

QByteArray untilZero(const QByteArray &bytes)
{
    const int zero = bytes.indexOf('\0');
    return zero < 0 ? bytes : bytes.left(zero);
}

QString dateText(quint32 seconds)
{
    return timeToDateTime(seconds).toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));
}

QString isoDateText(quint32 seconds)
{
    return timeToDateTime(seconds).toString(QStringLiteral("yyyy-MM-dd'T'hh:mm:ss"));
}

QString plainMoney(qint64 kopecks)
{
    return FixNumber(100, kopecks).toString(QLatin1Char('.'), QChar());
}

} // namespace frtext
