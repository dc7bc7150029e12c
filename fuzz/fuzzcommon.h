#pragma once

// Shared by the fuzz targets: a quiet Qt, and byte helpers that steer the fuzzer past the
// checks that random bytes almost never pass (the start byte, the length field, the CRC).

#include <QByteArray>
#include <QCoreApplication>
#include <QtGlobal>

#include <cstdint>
#include <cstdlib>

#include "frmsg.h"

namespace fuzz {

// The parsers write a warning for every rejected input; formatting them would be most of the work.
inline void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type == QtFatalMsg) {
        fprintf(stderr, "qFatal: %s\n", qPrintable(msg));
        abort();
    }
}

inline void init()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = nullptr;
    if (!app) {
        qInstallMessageHandler(quietMessages);
        app = new QCoreApplication(argc, argv);
    }
}

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

// Makes `frame` a frame with a valid start byte, length field and CRC. Kept short of 10 bytes it is
// padded to the smallest frame.
inline void sealFrame(QByteArray &frame)
{
    if (frame.size() < FsMsg::MinFrameSize)
        frame.append(QByteArray(FsMsg::MinFrameSize - frame.size(), '\0'));
    const int length = frame.size() - 5;
    frame[0] = char(FsMsg::StartByte);
    frame[1] = char(length & 0xFF);
    frame[2] = char((length >> 8) & 0xFF);
    static const Crc16 crc;
    const quint16 sum = crc.calc(frame.constData() + 1, length + 2);
    frame[frame.size() - 2] = char(sum & 0xFF);
    frame[frame.size() - 1] = char(sum >> 8);
}

#define FUZZ_CHECK(cond)                                                                                               \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);                                  \
            abort();                                                                                                   \
        }                                                                                                              \
    } while (0)

} // namespace fuzz
