#pragma once

// The floor of the exchange benchmarks: status requests on a bare QSerialPort or QTcpSocket, no
// thread, no hops, no logging, with the line work the transport must do when `reopen` is set; and
// the figures taken from the times.
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSerialPort>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>
#include <vector>

#include "frmsg.h"
#include "frwrapper.h"

namespace bench {

constexpr quint8 BareStatusCmd = 0x30;

// The transport logs every frame; what it costs to format is part of the exchange, printing it is not.
inline void dropMessages(QtMsgType, const QMessageLogContext &, const QString &)
{}

struct Stats
{
    double median = 0;
    double p99 = 0;
    double mean = 0;
};

// Microseconds from nanoseconds.
inline Stats stats(std::vector<qint64> ns)
{
    Stats s;
    if (ns.empty())
        return s;
    std::sort(ns.begin(), ns.end());
    const auto at = [&ns](double q) {
        return ns[std::min(ns.size() - 1, size_t(q * double(ns.size() - 1) + 0.5))];
    };
    s.median = double(at(0.5)) / 1000.0;
    s.p99 = double(at(0.99)) / 1000.0;
    double sum = 0;
    for (qint64 v : ns)
        sum += double(v);
    s.mean = sum / double(ns.size()) / 1000.0;
    return s;
}

// One status request written and its reply read whole, by chunks as they come.
inline bool bareExchange(QIODevice &line, std::vector<qint64> &out, QElapsedTimer &t)
{
    FsReq req(BareStatusCmd);
    req.newUnique();
    line.write(req.rawData());
    line.waitForBytesWritten(1000);
    QByteArray reply;
    int expected = -1;
    while (expected < 0 || reply.size() < expected) {
        if (line.bytesAvailable() <= 0 && !line.waitForReadyRead(2000))
            return false;
        reply += line.readAll();
        if (expected < 0 && reply.size() >= 3)
            expected = int(quint8(reply.at(1))) + (int(quint8(reply.at(2))) << 8) + 5;
    }
    FsRep rep;
    if (rep.setRawData(reply) != fs::Ok || rep.code() != 0)
        return false;
    out.push_back(t.nsecsElapsed());
    return true;
}

// The same over one TCP connection kept for the whole round, small writes sent at once.
inline bool bareSocketRound(quint16 port, int n, std::vector<qint64> &out)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(3000))
        return false;
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    QElapsedTimer t;
    for (int i = 0; i < n; ++i) {
        t.start();
        if (!bareExchange(socket, out, t))
            return false;
    }
    return true;
}

// The same loop with the socket on a thread of its own and the caller waiting in an event loop, as
// the command layer must (the window keeps painting while the register answers): one queued hop
// to the thread and one back per exchange, nothing else. What a threaded exchange cannot go below.
inline bool threadedSocketRound(quint16 port, int n, std::vector<qint64> &out)
{
    QThread worker;
    QObject line;
    line.moveToThread(&worker);
    worker.start();
    QTcpSocket *socket = nullptr;
    bool ok = true;
    QElapsedTimer t;
    for (int i = 0; i < n && ok; ++i) {
        QEventLoop loop;
        t.start();
        QMetaObject::invokeMethod(
            &line,
            [&] {
                if (!socket) {
                    socket = new QTcpSocket(&line);
                    socket->connectToHost(QStringLiteral("127.0.0.1"), port);
                    ok = socket->waitForConnected(3000);
                    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                }
                std::vector<qint64> ignored;
                QElapsedTimer unused;
                unused.start();
                ok = ok && bareExchange(*socket, ignored, unused);
                QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
            },
            Qt::QueuedConnection);
        loop.exec();
        out.push_back(t.nsecsElapsed());
    }
    QMetaObject::invokeMethod(
        &line, [&] { delete socket; }, Qt::BlockingQueuedConnection);
    worker.quit();
    worker.wait();
    return ok;
}

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
        t.start();
        if (reopen) {
            port.close();
            if (!port.open(QIODevice::ReadWrite))
                return false;
            configure(port);
        }
        if (!bareExchange(port, out, t))
            return false;
    }
    return true;
}

// The whole command path: FsWrapper::exec on the port or network name, one status request at a time.
inline bool execRound(const QString &name, int n, std::vector<qint64> &out)
{
    FsWrapper fr;
    if (!fr.open(name))
        return false;
    QElapsedTimer t;
    for (int i = 0; i < n; ++i) {
        FsRep rep;
        t.start();
        if (fr.exec(FsReq(BareStatusCmd), rep, FsTimeouts::Quick) != CoreApiConst::Success)
            return false;
        out.push_back(t.nsecsElapsed());
    }
    return true;
}

} // namespace bench
