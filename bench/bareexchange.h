#pragma once

// The floor of the exchange benchmarks: status requests on a bare QSerialPort, no thread, no
// hops, no logging, with the line work the transport must do when `reopen` is set.
#include <QElapsedTimer>
#include <QSerialPort>

#include <vector>

#include "frmsg.h"

namespace bench {

constexpr quint8 BareStatusCmd = 0x30;

inline void configure(QSerialPort &port)
{
    port.clear();
    port.clearError();
    port.setBaudRate(115200);
    port.setDataBits(QSerialPort::Data8);
    port.setStopBits(QSerialPort::OneStop);
    port.setParity(QSerialPort::NoParity);
    port.setFlowControl(QSerialPort::NoFlowControl);
    port.setReadBufferSize(0);
    port.clear();
    port.clearError();
}

// reopen: close, open and configure the port for every exchange, the line work that the
// transport is required to do; otherwise the port stays open (the wire alone).
inline bool bareRound(const QString &path, int n, bool reopen, std::vector<qint64> &out)
{
    QSerialPort port(path);
    if (!port.open(QIODevice::ReadWrite))
        return false;
    configure(port);
    QElapsedTimer t;
    for (int i = 0; i < n; ++i) {
        FsReq req(BareStatusCmd);
        t.start();
        if (reopen) {
            port.close();
            if (!port.open(QIODevice::ReadWrite))
                return false;
            configure(port);
        }
        req.newUnique();
        port.write(req.rawData());
        port.waitForBytesWritten(1000);
        QByteArray reply;
        int expected = -1;
        while (expected < 0 || reply.size() < expected) {
            if (port.bytesAvailable() <= 0 && !port.waitForReadyRead(2000))
                return false;
            reply += port.readAll();
            if (expected < 0 && reply.size() >= 3)
                expected = int(quint8(reply.at(1))) + (int(quint8(reply.at(2))) << 8) + 5;
        }
        FsRep rep;
        if (rep.setRawData(reply) != fs::Ok || rep.code() != 0)
            return false;
        out.push_back(t.nsecsElapsed());
    }
    return true;
}

} // namespace bench
