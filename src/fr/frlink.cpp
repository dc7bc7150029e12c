#include "frlink.h"

#include <QDebug>
#include <QEventLoop>
#include <QFileInfo>
#include <QHostAddress>
#include <QHostInfo>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTcpSocket>
#include <QTimer>

#include "portlock.h"

#include <poll.h>

namespace {

// A host name (or an IPv4 address): letters, digits, '-', '_' and dots between labels.
bool isHostName(const QString &host)
{
    static const QRegularExpression form(QStringLiteral("^[A-Za-z0-9_](?:[A-Za-z0-9_.-]{0,251}[A-Za-z0-9_])?\\.?$"));
    return form.match(host).hasMatch() && !host.contains(QStringLiteral(".."));
}

// A bare name that Qt would take for a device, or that is a file here.
bool namesAFile(const QString &text)
{
    return QFileInfo::exists(text) || QFileInfo::exists(QStringLiteral("/dev/") + text);
}

FrAddress invalid(const QString &typed, const QString &why)
{
    FrAddress a;
    a.kind = FrAddress::Invalid;
    a.name = typed;
    a.error = QStringLiteral("Неверный адрес ККТ «%1»: %2").arg(typed, why);
    return a;
}

FrAddress network(const QString &typed, const QString &hostPort)
{
    FrAddress a;
    QString why;
    if (!FrAddress::parseHostPort(hostPort, &a.host, &a.port, &why))
        return invalid(typed, why);
    a.kind = FrAddress::Tcp;
    a.name = FrAddress::tcpName(a.host, a.port);
    return a;
}

// "tcp://" before the rest, or nothing; the scheme's name in `scheme` when there is one.
bool splitScheme(const QString &text, QString *scheme, QString *rest)
{
    static const QRegularExpression form(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*)://(.*)$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return false;
    *scheme = m.captured(1).toLower();
    *rest = m.captured(2);
    return true;
}

QString timeText(int ms)
{
    return ms % 1000 == 0 ? QStringLiteral("%1 с").arg(ms / 1000) : QStringLiteral("%1 мс").arg(ms);
}

} // namespace

bool FrAddress::parseHostPort(const QString &text, QString *host, quint16 *port, QString *why, bool allowZero)
{
    QString h, portText;
    if (text.startsWith(QLatin1Char('['))) {
        const int close = text.indexOf(QLatin1Char(']'));
        if (close < 0) {
            *why = QStringLiteral("нет закрывающей скобки адреса IPv6");
            return false;
        }
        h = text.mid(1, close - 1);
        const QString rest = text.mid(close + 1);
        if (!rest.startsWith(QLatin1Char(':'))) {
            *why = QStringLiteral("нет порта: нужно УЗЕЛ:ПОРТ");
            return false;
        }
        portText = rest.mid(1);
        const QHostAddress address(h);
        if (address.isNull() || address.protocol() != QAbstractSocket::IPv6Protocol) {
            *why = QStringLiteral("«%1» не адрес IPv6").arg(h);
            return false;
        }
    } else {
        const int colon = text.lastIndexOf(QLatin1Char(':'));
        if (colon < 0) {
            *why = QStringLiteral("нет порта: нужно УЗЕЛ:ПОРТ");
            return false;
        }
        h = text.left(colon);
        portText = text.mid(colon + 1);
        if (h.contains(QLatin1Char(':'))) {
            *why = QStringLiteral("адрес IPv6 пишется в квадратных скобках: tcp://[::1]:7000");
            return false;
        }
        if (h.isEmpty()) {
            *why = QStringLiteral("нет имени узла: нужно УЗЕЛ:ПОРТ");
            return false;
        }
        if (!isHostName(h)) {
            *why = QStringLiteral("«%1» не имя узла и не адрес").arg(h);
            return false;
        }
    }
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    const int value = digits.match(portText).hasMatch() ? portText.toInt() : -1;
    if (value < (allowZero ? 0 : 1) || value > 65535) {
        *why = QStringLiteral("порт «%1» не число от %2 до 65535").arg(portText).arg(allowZero ? 0 : 1);
        return false;
    }
    *host = h;
    *port = quint16(value);
    return true;
}

QString FrAddress::tcpName(const QString &host, quint16 port)
{
    const QString h = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("tcp://%1:%2").arg(h).arg(port);
}

FrAddress FrAddress::parse(const QString &typed)
{
    const QString text = typed.trimmed();
    QString scheme, rest;
    if (splitScheme(text, &scheme, &rest)) {
        if (scheme != QLatin1String("tcp"))
            return invalid(typed, QStringLiteral("схема «%1» не поддерживается: нужно tcp://УЗЕЛ:ПОРТ").arg(scheme));
        return network(typed, rest);
    }
    // What names a device stays a device, as it always was: a path, a file here or under /dev,
    // or a name without a colon (a device not plugged in yet).
    if (text.isEmpty() || text.contains(QLatin1Char('/')) || !text.contains(QLatin1Char(':')) || namesAFile(text)) {
        FrAddress a;
        a.name = typed;
        return a;
    }
    return network(typed, text);
}

QList<FrAddress> FrAddress::parseMany(const QString &typed)
{
    const QString text = typed.trimmed();
    QString scheme, rest = text;
    const bool hasScheme = splitScheme(text, &scheme, &rest);
    static const QRegularExpression range(QStringLiteral("^(.+):([0-9]{1,5})-([0-9]{1,5})$"));
    const QRegularExpressionMatch m = range.match(rest);
    const bool bareNetwork = !text.contains(QLatin1Char('/')) && !namesAFile(text);
    if (!m.hasMatch() || (hasScheme ? scheme != QLatin1String("tcp") : !bareNetwork))
        return {parse(typed)};

    QString host, why;
    quint16 first = 0, last = 0;
    if (!parseHostPort(m.captured(1) + QLatin1Char(':') + m.captured(2), &host, &first, &why) ||
        !parseHostPort(m.captured(1) + QLatin1Char(':') + m.captured(3), &host, &last, &why))
        return {invalid(typed, why)};
    if (last < first)
        return {invalid(typed, QStringLiteral("последний порт диапазона меньше первого"))};
    if (int(last) - int(first) + 1 > MaxRange)
        return {invalid(typed, QStringLiteral("в диапазоне больше %1 портов").arg(MaxRange))};
    QList<FrAddress> out;
    for (int p = first; p <= int(last); ++p) {
        FrAddress a;
        a.kind = Tcp;
        a.host = host;
        a.port = quint16(p);
        a.name = tcpName(host, a.port);
        out << a;
    }
    return out;
}

FrLink *FrLink::create(const FrAddress &address, QObject *parent)
{
    if (address.isNetwork())
        return new TcpLink(address.host, address.port, parent);
    return new SerialLink(address.name, parent);
}

// ---------------------------------------------------------------------------------------------

SerialLink::SerialLink(const QString &portName, QObject *parent)
    : FrLink(parent), port_(new QSerialPort(portName, this))
{}

QIODevice *SerialLink::device() const
{
    return port_;
}

QString SerialLink::name() const
{
    return port_->portName();
}

bool SerialLink::open()
{
    if (!port_->open(QIODevice::ReadWrite)) {
        qWarning().noquote() << "Cannot open port" << port_->portName() << ":" << port_->errorString();
        return false;
    }
    port_->clear();
    port_->clearError();
    applyLineSettings(port_, BaudRate);
    port_->clear();
    port_->clearError();
    return true;
}

void SerialLink::applyLineSettings(QSerialPort *port, qint32 baudRate)
{
    port->setBaudRate(baudRate, QSerialPort::AllDirections);
    port->setDataBits(QSerialPort::Data8);
    port->setStopBits(QSerialPort::OneStop);
    port->setParity(QSerialPort::NoParity);
    port->setFlowControl(QSerialPort::NoFlowControl);
    port->setReadBufferSize(0);
}

bool SerialLink::isOpen() const
{
    return port_->isOpen();
}

void SerialLink::close()
{
    if (port_->isOpen())
        port_->close();
}

bool SerialLink::prepare()
{
    failure_.clear();
    // Closed first: our own exclusive open must not stand in the way of the lock's check.
    close();
    if (lock_ && !lock_->hold(&failure_))
        return false;
    return open() && port_->isOpen();
}

void SerialLink::discardInput()
{
    port_->clear();
    port_->clearError();
}

// ---------------------------------------------------------------------------------------------

namespace {
// Input held for the exchange in front of the reader; a peer that floods the line is read no
// further (its kernel buffer fills and it is made to wait) until the exchange drops it.
constexpr qint64 TcpReadBufferBytes = 1 << 20;
} // namespace

TcpLink::TcpLink(const QString &host, quint16 port, QObject *parent)
    : FrLink(parent), socket_(new QTcpSocket(this)), host_(host), port_(port)
{
    socket_->setReadBufferSize(TcpReadBufferBytes);
}

QIODevice *TcpLink::device() const
{
    return socket_;
}

QString TcpLink::name() const
{
    return FrAddress::tcpName(host_, port_);
}

bool TcpLink::open()
{
    failure_.clear();
    return isOpen() || connectNow();
}

bool TcpLink::isOpen() const
{
    return socket_->state() == QAbstractSocket::ConnectedState;
}

void TcpLink::close()
{
    socket_->abort();
}

bool TcpLink::prepare()
{
    failure_.clear();
    inExchange_ = false;
    // A peer that closed while the connection stood idle is noticed now, before the request is
    // written into a connection that is gone (one look at the socket; Qt reads it only if there
    // is something to read).
    pollfd pending = {int(socket_->socketDescriptor()), POLLIN, 0};
    if (isOpen() && ::poll(&pending, 1, 0) > 0)
        socket_->waitForReadyRead(0);
    if (!isOpen() && !connectNow())
        return false;
    inExchange_ = true;
    return true;
}

void TcpLink::discardInput()
{
    if (socket_->bytesAvailable() > 0)
        socket_->readAll();
}

bool TcpLink::isLost() const
{
    return inExchange_ && !isOpen();
}

void TcpLink::exchangeEnded(bool clean)
{
    inExchange_ = false;
    // Whatever the peer still sends of a reply given up would stand in front of the next one:
    // the next exchange starts on a new connection instead.
    if (!clean && socket_->state() != QAbstractSocket::UnconnectedState) {
        qWarning().noquote() << "Connection" << name() << "closed after an exchange without a readable reply";
        socket_->abort();
    }
}

QList<QHostAddress> TcpLink::resolve(const QDeadlineTimer &deadline)
{
    const QHostAddress literal(host_);
    if (!literal.isNull())
        return {literal};
    QEventLoop loop;
    QHostInfo found;
    bool done = false;
    const int id = QHostInfo::lookupHost(host_, &loop, [&](const QHostInfo &info) {
        found = info;
        done = true;
        loop.quit();
    });
    QTimer::singleShot(int(qMax<qint64>(0, deadline.remainingTime())), &loop, &QEventLoop::quit);
    if (!done)
        loop.exec();
    if (!done) {
        QHostInfo::abortHostLookup(id);
        failure_ = QStringLiteral("Нет соединения с %1 за %2: имя узла не найдено за это время")
                       .arg(name(), timeText(connectTimeoutMs_));
        return {};
    }
    if (found.error() != QHostInfo::NoError || found.addresses().isEmpty()) {
        failure_ = QStringLiteral("Узел не найден: %1 (%2)").arg(host_, name());
        return {};
    }
    return found.addresses();
}

bool TcpLink::connectNow()
{
    const bool again = everConnected_;
    socket_->abort();
    const QDeadlineTimer deadline(connectTimeoutMs_);
    const QList<QHostAddress> addresses = resolve(deadline);
    if (addresses.isEmpty()) {
        emit said(failure_);
        return false;
    }
    QAbstractSocket::SocketError error = QAbstractSocket::SocketTimeoutError;
    QString errorText;
    for (const QHostAddress &address : addresses) {
        if (deadline.hasExpired())
            break;
        socket_->connectToHost(address, port_);
        if (socket_->waitForConnected(int(deadline.remainingTime()))) {
            // Frames are small and every one waits for its answer: no coalescing of writes.
            socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            socket_->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
            everConnected_ = true;
            emit said(
                (again ? QStringLiteral("Соединение восстановлено: %1") : QStringLiteral("Соединение установлено: %1"))
                    .arg(name()));
            return true;
        }
        error = socket_->error();
        errorText = socket_->errorString();
        socket_->abort();
    }
    if (error == QAbstractSocket::ConnectionRefusedError)
        failure_ =
            QStringLiteral("Соединение отвергнуто: %1 (на этом порту никто не принимает соединений)").arg(name());
    else if (error == QAbstractSocket::SocketTimeoutError || deadline.hasExpired())
        failure_ = QStringLiteral("Нет соединения с %1 за %2").arg(name(), timeText(connectTimeoutMs_));
    else
        failure_ = QStringLiteral("Нет соединения с %1: %2").arg(name(), errorText);
    emit said(failure_);
    return false;
}
