#include "firmwareloader.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QThread>
#include <QTimer>

#include <limits>

#include "frlink.h"
#include "portlock.h"

namespace {

constexpr char StartByte = 0x04;
// Start byte, 32-bit length, command code or status.
constexpr int HeaderSize = 6;

QByteArray le32(qint32 value)
{
    const quint32 v = quint32(value);
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char((v >> (8 * i)) & 0xFF);
    return b;
}

qint32 readLe32(const char *p)
{
    return qint32(quint32(quint8(p[0])) | (quint32(quint8(p[1])) << 8) | (quint32(quint8(p[2])) << 16) |
                  (quint32(quint8(p[3])) << 24));
}

// Runs the event loop until the port has bytes to read or `ms` have passed, so the window keeps
// painting while the loader works. True when bytes are there.
bool waitForBytes(QSerialPort *port, qint64 ms)
{
    if (port->bytesAvailable() > 0)
        return true;
    // A port that did not reopen, or whose device went away, will not bring a reply: waiting the
    // whole time-out (five minutes for an install) would only hold the user up.
    if (ms <= 0 || !port->isOpen() || port->error() == QSerialPort::ResourceError)
        return false;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(port, &QSerialPort::readyRead, &loop, &QEventLoop::quit);
    QObject::connect(port, &QSerialPort::errorOccurred, &loop, [&loop](QSerialPort::SerialPortError error) {
        if (error == QSerialPort::ResourceError)
            loop.quit();
    });
    timer.start(int(qMin<qint64>(ms, std::numeric_limits<int>::max())));
    // After the application was told to quit the loop returns at once; the reply is then
    // given up rather than waited for in a busy loop.
    loop.exec();
    timer.stop();
    return port->bytesAvailable() > 0;
}

} // namespace

FirmwareLoader::FirmwareLoader(QObject *parent) : QObject(parent)
{}

quint32 FirmwareLoader::defaultTimeout(quint8 code)
{
    switch (code) {
    case CheckConnection:
    case Reboot:
        return 10000;
    case SendBlock:
        return 5000;
    case InstallImage:
        return 300000;
    case VerifyFirmware:
    case AnnounceSize:
    case CheckImage:
    default:
        return 60000;
    }
}

quint32 FirmwareLoader::commandTimeout(quint8 code) const
{
    return timeouts_.value(code, defaultTimeout(code));
}

void FirmwareLoader::setCommandTimeout(quint8 code, quint32 ms)
{
    if (ms == 0)
        timeouts_.remove(code);
    else
        timeouts_.insert(code, ms);
}

QString FirmwareLoader::refuseImage(const QString &imagePath)
{
    if (imagePath.isEmpty())
        return QStringLiteral("Не указан файл прошивки");
    const QFileInfo info(imagePath);
    if (!info.exists())
        return QStringLiteral("Не найден файл прошивки");
    // Opening a FIFO blocks until someone writes to it, and a device never ends: either would
    // hold the program for good. A folder fails to open by itself and is reported as such.
    if (!info.isFile() && !info.isDir())
        return QStringLiteral("Файл прошивки не является обычным файлом: ") + imagePath;
    return QString();
}

FirmwareLoader::Outcome FirmwareLoader::runSingle(const QString &portName, quint8 code)
{
    Outcome failure = Outcome::PortError;
    QSerialPort *port = openPort(portName, &failure);
    if (!port) {
        emit line(QStringLiteral("Ошибка открытия пота"));
        return failure;
    }
    const bool ok = sendCommand(code, QByteArray(), port);
    closePort(port);
    return ok ? Outcome::Done : Outcome::Refused;
}

FirmwareLoader::Outcome FirmwareLoader::upload(const QString &portName, const QString &imagePath)
{
    const QString refusal = refuseImage(imagePath);
    if (!refusal.isEmpty()) {
        emit line(refusal);
        return Outcome::FileError;
    }
    QFile file(imagePath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        emit line(QStringLiteral("Ошибка открытия файла: ") + file.errorString());
        return Outcome::FileError;
    }
    const qint64 size = file.size();
    // The size travels as a signed 32-bit number and progress counts in int: a larger file would
    // be announced with a wrapped size and then overrun it.
    if (size > std::numeric_limits<qint32>::max()) {
        emit line(QStringLiteral("Файл прошивки слишком велик: %1 байт").arg(size));
        return Outcome::FileError;
    }
    Outcome failure = Outcome::PortError;
    QSerialPort *port = openPort(portName, &failure);
    if (!port) {
        emit line(QStringLiteral("Ошибка открытия пота"));
        return failure;
    }

    qWarning() << "firmware upload:" << imagePath << "size" << size;
    bool ok = sendCommand(AnnounceSize, le32(qint32(size)), port);
    if (ok) {
        emit blocksStarted(size);
        for (qint64 offset = 0; offset < size && !file.atEnd(); offset += BlockSize) {
            const QByteArray block = file.read(BlockSize);
            if (block.isEmpty()) {
                // An empty block would tell the loader nothing and shift every later offset.
                emit line(QStringLiteral("Ошибка чтения файла: ") + file.errorString());
                ok = false;
                break;
            }
            qWarning() << "firmware block from" << offset << "length" << block.size() << "of" << size;
            emit line(QStringLiteral("SEND FROM %1 %2 BYTES").arg(offset).arg(block.size()));
            if (!sendCommand(SendBlock, block, port)) {
                ok = false;
                break;
            }
            emit blockSent(offset, size);
        }
        emit blocksFinished();
        // The blocks carry no offset: after a lost block the loader holds a broken image, so it
        // is neither checked nor installed.
        ok = ok && sendCommand(CheckImage, QByteArray(), port) && sendCommand(InstallImage, QByteArray(), port);
    }
    file.close();
    closePort(port);
    return ok ? Outcome::Done : Outcome::Refused;
}

QString FirmwareLoader::refusePort(const QString &portName)
{
    const FrAddress address = FrAddress::parse(portName);
    if (address.kind == FrAddress::Invalid)
        return address.error;
    if (address.isNetwork())
        return QStringLiteral("Прошивка загружается только через последовательный порт: загрузчику нужна "
                              "скорость 921600 бод, а по сети (%1) ее не задать")
            .arg(address.name);
    return QString();
}

QSerialPort *FirmwareLoader::openPort(const QString &portName, Outcome *failure)
{
    *failure = Outcome::PortError;
    const QString name = portName.trimmed();
    if (name.isEmpty()) {
        emit line(QStringLiteral("Не указан порт назначения"));
        return nullptr;
    }
    const QString refused = refusePort(name);
    if (!refused.isEmpty()) {
        emit line(refused);
        return nullptr;
    }
    QString busy;
    lock_ = PortLock::acquire(name, &busy);
    if (!lock_) {
        *failure = Outcome::PortBusy;
        emit line(QStringLiteral("Ошибка открытия порта: ") + busy);
        return nullptr;
    }
    auto *port = new QSerialPort(name, this);
    SerialLink::applyLineSettings(port, BaudRate);
    if (!port->open(QIODevice::ReadWrite)) {
        emit line(QStringLiteral("Ошибка открытия порта: ") + port->errorString());
        delete port;
        lock_.reset();
        return nullptr;
    }
    return port;
}

bool FirmwareLoader::sendCommand(quint8 code, const QByteArray &data, QSerialPort *port)
{
    const quint32 timeout = commandTimeout(code);
    emit line(QStringLiteral("КОМАНДА %1").arg(code, 2, 16, QLatin1Char('0')));

    // A late reply to an earlier command must not be taken for this one's; reopening also starts
    // the loader's side afresh after a line error.
    port->clear();
    port->clearError();
    port->close();
    // A device plugged in again meanwhile is a new node: it is taken afresh, and refused if another
    // program got it first. Closed first, so that our own exclusive open is not in the way.
    QString busy;
    if (!lock_->hold(&busy)) {
        lastResult_ = 253;
        lastResultFromLoader_ = false;
        emit line(QStringLiteral("Ошибка открытия порта: ") + busy);
        return false;
    }
    port->open(QIODevice::ReadWrite);

    QByteArray frame;
    frame.reserve(HeaderSize + data.size());
    frame.append(StartByte);
    frame.append(le32(data.size()));
    frame.append(char(code));
    frame.append(data);
    port->write(frame);
    port->flush();
    emit commandSent(code, timeout);

    bool result = false;
    QByteArray reply;
    lastResultFromLoader_ = false;
    if (!waitForBytes(port, timeout)) {
        lastResult_ = 253;
        emit line(QStringLiteral("Таймаут ожидания ответа на команду"));
    } else if (!readReply(port, timeout, &reply)) {
        lastResult_ = 252;
        emit line(QStringLiteral("Некорректный ответ на команду"));
    } else {
        const quint8 status = quint8(reply.at(5));
        lastResult_ = status;
        lastResultFromLoader_ = true;
        result = status == 0;
        emit line(result ? QStringLiteral("УСПЕШНО!") : QStringLiteral("ОШИБКА %1").arg(status));
        QByteArray text = reply.mid(HeaderSize);
        const int zero = text.indexOf('\0');
        if (zero >= 0)
            text.truncate(zero);
        if (!text.isEmpty())
            emit line(QString::fromUtf8(text));
    }

    emit commandAnswered(code);
    QThread::msleep(PauseAfterCommandMs);
    return result;
}

bool FirmwareLoader::readReply(QSerialPort *port, quint32 timeout, QByteArray *reply)
{
    QElapsedTimer elapsed;
    elapsed.start();
    const auto readMore = [&]() {
        if (!waitForBytes(port, qint64(timeout) - elapsed.elapsed()))
            return false;
        reply->append(port->readAll());
        return true;
    };

    reply->append(port->readAll());
    while (reply->size() < HeaderSize && readMore()) {
    }
    if (reply->size() < HeaderSize)
        return false;

    // The length comes from the device: a negative one describes no frame at all, and a huge one
    // must not wrap around and pass for a reply that is already complete.
    const qint32 declared = readLe32(reply->constData() + 1);
    if (declared < 0)
        return false;
    const qint64 frameSize = qint64(HeaderSize) + declared;
    while (reply->size() < frameSize && readMore()) {
    }
    if (reply->size() < frameSize || reply->at(0) != StartByte)
        return false;
    // Bytes after the frame belong to no command of ours.
    reply->truncate(int(frameSize));
    return true;
}

void FirmwareLoader::closePort(QSerialPort *port)
{
    port->close();
    port->deleteLater();
    lock_.reset();
}
