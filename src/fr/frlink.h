#pragma once

#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class PortLock;
class QIODevice;
class QSerialPort;
class QTcpSocket;

// Where the register is, as the operator typed it: a serial port, or a TCP peer (the register's
// own network port, or a serial-to-network server in front of its serial port).
//
//   tcp://HOST:PORT     always the network; an IPv6 address in brackets: tcp://[::1]:7000
//   HOST:PORT           the network where it cannot be a device: no slash, and no such file here
//                       or under /dev
//   anything else       a serial port, as before (a path, or a name under /dev)
//
// A name that is neither (a scheme other than tcp, no port, a port outside 1-65535, a host that
// is no host name) is invalid, with the reason in words the window and the console show.
struct FrAddress
{
    enum Kind { Serial, Tcp, Invalid };

    Kind kind = Serial;
    QString name; // a serial port as typed; for the network the one spelling "tcp://HOST:PORT"
    QString host; // the network: without brackets
    quint16 port = 0;
    QString error; // invalid: why

    static FrAddress parse(const QString &typed);
    // "HOST:FIRST-LAST" (with or without tcp://): one address a port, at most MaxRange of them.
    // Anything else: what parse() makes of it, alone. An invalid range is one invalid address.
    static QList<FrAddress> parseMany(const QString &typed);
    static constexpr int MaxRange = 1024;

    // HOST:PORT alone (an IPv6 host in brackets); with `allowZero` port 0 too (a listener that
    // takes any free port). False with `why`.
    static bool parseHostPort(const QString &text, QString *host, quint16 *port, QString *why, bool allowZero = false);
    static QString tcpName(const QString &host, quint16 port);

    bool isNetwork() const { return kind == Tcp; }
};

// How the bytes of an exchange reach the register: opened, made ready before each exchange,
// read and written through device(), closed. The exchange itself (frames, the repeat request,
// time-outs, exchange numbers, logging) is FsApi's, the same on every link.
class FrLink : public QObject
{
    Q_OBJECT
public:
    static constexpr int DefaultConnectTimeoutMs = 3000;

    // The link for `address` (which must not be invalid), its device a child of this object.
    static FrLink *create(const FrAddress &address, QObject *parent);

    virtual QIODevice *device() const = 0;
    virtual bool isNetwork() const = 0;
    // The port or "tcp://HOST:PORT", as the log pane names it.
    virtual QString name() const = 0;

    // Opened once when the worker starts; false with failure() when it could not be.
    virtual bool open() = 0;
    virtual bool isOpen() const = 0;
    virtual void close() = 0;
    // Before each exchange: true when a request may go out. False with failure() saying why
    // (empty when the reason is only in the message log), and nothing is sent.
    virtual bool prepare() = 0;
    // Drops whatever was received and not read (and, on a serial port, not yet written): a late
    // reply must not be taken for the next one.
    virtual void discardInput() = 0;
    // The connection went away during the exchange; nothing more can be sent or received on it.
    virtual bool isLost() const { return false; }
    // The exchange is over; `clean` when it ended on a readable reply.
    virtual void exchangeEnded(bool clean) { Q_UNUSED(clean) }

    QString failure() const { return failure_; }

    // The serial port's lock across the reopen of every exchange; a network link has none.
    virtual void setPortLock(std::shared_ptr<PortLock> lock) { Q_UNUSED(lock) }
    virtual void setConnectTimeout(int ms) { Q_UNUSED(ms) }

signals:
    // A line for the log pane: connected, reconnected, or why not.
    void said(QString text);

protected:
    explicit FrLink(QObject *parent) : QObject(parent) {}
    QString failure_;
};

// A serial port, closed and reopened for every exchange so that a register unplugged and plugged
// in again is found by the next one; the port lock says whether the port is still ours.
class SerialLink : public FrLink
{
    Q_OBJECT
public:
    static constexpr qint32 BaudRate = 115200;

    // The line as the register and its loader both want it: 8 data bits, no parity, one stop bit,
    // no flow control, no limit on what is held for reading, at `baudRate` (BaudRate for the
    // register, the loader's own speed for the loader). On a closed port it takes effect when the
    // port opens, every time it opens.
    static void applyLineSettings(QSerialPort *port, qint32 baudRate);

    SerialLink(const QString &portName, QObject *parent);
    QIODevice *device() const override;
    bool isNetwork() const override { return false; }
    QString name() const override;
    bool open() override;
    bool isOpen() const override;
    void close() override;
    bool prepare() override;
    void discardInput() override;
    void setPortLock(std::shared_ptr<PortLock> lock) override { lock_ = std::move(lock); }

private:
    QSerialPort *port_;
    std::shared_ptr<PortLock> lock_;
};

// A TCP connection kept between exchanges: connected when the worker starts, connected again
// before an exchange when it was broken (or dropped after an exchange that ended without a
// readable reply, whose stream may still bring the rest of it). A connect has its own time-out.
class TcpLink : public FrLink
{
    Q_OBJECT
public:
    TcpLink(const QString &host, quint16 port, QObject *parent);
    QIODevice *device() const override;
    bool isNetwork() const override { return true; }
    QString name() const override;
    bool open() override;
    bool isOpen() const override;
    void close() override;
    bool prepare() override;
    void discardInput() override;
    bool isLost() const override;
    void exchangeEnded(bool clean) override;
    void setConnectTimeout(int ms) override { connectTimeoutMs_ = ms; }

private:
    bool connectNow();
    // Addresses of host_ within the deadline; empty with failure_ set when there are none.
    QList<class QHostAddress> resolve(const QDeadlineTimer &deadline);

    QTcpSocket *socket_;
    const QString host_;
    const quint16 port_;
    int connectTimeoutMs_ = DefaultConnectTimeoutMs;
    bool everConnected_ = false;
    bool inExchange_ = false;
};
