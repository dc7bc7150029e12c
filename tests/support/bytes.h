#pragma once

// Little-endian fields as the register and its loader write them, for building frames and
// payloads by hand.

#include <QByteArray>
#include <QtGlobal>

inline QByteArray le32(quint32 v)
{
    QByteArray b;
    for (int i = 0; i < 4; ++i)
        b.append(char((v >> (8 * i)) & 0xFF));
    return b;
}
