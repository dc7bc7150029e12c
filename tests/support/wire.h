#pragma once

// Bytes as they go over the line, built by hand: little-endian fields as the register and its
// loader write them, and a request frame with the exchange number a test chooses.

#include <QByteArray>
#include <QtGlobal>

#include "frmsg.h"

// The low `bytes` bytes of v, lowest first (a negative v in two's complement).
inline QByteArray le(qint64 v, int bytes)
{
    QByteArray b;
    for (int i = 0; i < bytes; ++i)
        b.append(char((quint64(v) >> (8 * i)) & 0xFF));
    return b;
}

inline QByteArray le32(quint32 v)
{
    return le(v, 4);
}

inline QByteArray request(quint8 code, quint32 unique, const QByteArray &payload = QByteArray())
{
    FsReq req(code, payload);
    req.setUnique(unique);
    return req.rawData();
}
