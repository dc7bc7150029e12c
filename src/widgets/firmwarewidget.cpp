#include "firmwarewidget.h"
#include "ui_firmwarewidget.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QThread>
#include <QTimer>

#include <limits>

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

void applyLineSettings(QSerialPort *port)
{
    port->setBaudRate(FirmwareWidget::BaudRate, QSerialPort::AllDirections);
    port->setFlowControl(QSerialPort::NoFlowControl);
    port->setParity(QSerialPort::NoParity);
    port->setDataBits(QSerialPort::Data8);
    port->setStopBits(QSerialPort::OneStop);
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
    loop.exec();
    timer.stop();
    return port->bytesAvailable() > 0;
}

} // namespace

FirmwareWidget::FirmwareWidget(QWidget *parent) : QWidget(parent), ui(new Ui::FirmwareWidget)
{
    ui->setupUi(this);
    on_tbPortsReload_released();
    ui->progressBar->hide();
}

FirmwareWidget::~FirmwareWidget()
{
    delete ui;
}

quint32 FirmwareWidget::defaultTimeout(quint8 code)
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

quint32 FirmwareWidget::commandTimeout(quint8 code) const
{
    return timeouts_.value(code, defaultTimeout(code));
}

void FirmwareWidget::setCommandTimeout(quint8 code, quint32 ms)
{
    if (ms == 0)
        timeouts_.remove(code);
    else
        timeouts_.insert(code, ms);
}

void FirmwareWidget::on_tbPortsReload_released()
{
    // The box is editable: a device the system does not list (a pseudo-terminal, a bridge) is
    // typed in as a path. Typed text is never inserted into the list.
    ui->cbPort->clear();
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        ui->cbPort->addItem(info.portName());
}

void FirmwareWidget::on_tbOpenFile_released()
{
    ui->leFirmareFile->clear();
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Укажите файл прошивки"), QDir::homePath(),
                                                      QStringLiteral("Файл прошивки (*.signed.img)"));
    if (!path.isEmpty())
        ui->leFirmareFile->setText(path);
}

void FirmwareWidget::on_pbCheckConnection_released()
{
    runSingle(CheckConnection);
}

void FirmwareWidget::on_pbReboot_released()
{
    runSingle(Reboot);
}

void FirmwareWidget::on_pbVerifyFirmware_released()
{
    runSingle(VerifyFirmware);
}

void FirmwareWidget::on_pbSendFirmware_released()
{
    const QString path = ui->leFirmareFile->text();
    if (path.isEmpty()) {
        log(QStringLiteral("Не указан файл прошивки"));
        return;
    }
    if (!QFileInfo::exists(path)) {
        log(QStringLiteral("Не найден файл прошивки"));
        return;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        log(QStringLiteral("Ошибка открытия файла: ") + file.errorString());
        return;
    }
    const qint64 size = file.size();
    // The size travels as a signed 32-bit number and the progress bar counts in int: a larger
    // file would be announced with a wrapped size and then overrun it.
    if (size > std::numeric_limits<qint32>::max()) {
        log(QStringLiteral("Файл прошивки слишком велик: %1 байт").arg(size));
        return;
    }
    QSerialPort *port = openPort();
    if (!port) {
        log(QStringLiteral("Ошибка открытия пота"));
        return;
    }

    qWarning() << "firmware upload:" << path << "size" << size;
    if (sendCommand(AnnounceSize, le32(qint32(size)), commandTimeout(AnnounceSize), port)) {
        bool blocksSent = true;
        ui->progressBar->setRange(0, int(size));
        ui->progressBar->setValue(0);
        ui->progressBar->show();
        for (qint64 offset = 0; offset < size && !file.atEnd(); offset += BlockSize) {
            const QByteArray block = file.read(BlockSize);
            if (block.isEmpty()) {
                // An empty block would tell the loader nothing and shift every later offset.
                log(QStringLiteral("Ошибка чтения файла: ") + file.errorString());
                blocksSent = false;
                break;
            }
            qWarning() << "firmware block from" << offset << "length" << block.size() << "of" << size;
            log(QStringLiteral("SEND FROM %1 %2 BYTES").arg(offset).arg(block.size()));
            if (!sendCommand(SendBlock, block, commandTimeout(SendBlock), port)) {
                blocksSent = false;
                break;
            }
            ui->progressBar->setValue(int(offset));
            repaint();
            QCoreApplication::processEvents();
        }
        ui->progressBar->hide();
        // The blocks carry no offset: after a lost block the loader holds a broken image, so it
        // is neither checked nor installed.
        if (blocksSent && sendCommand(CheckImage, QByteArray(), commandTimeout(CheckImage), port))
            sendCommand(InstallImage, QByteArray(), commandTimeout(InstallImage), port);
    }
    file.close();
    closePort(port);
}

QSerialPort *FirmwareWidget::openPort()
{
    const QString name = ui->cbPort->currentText().trimmed();
    if (name.isEmpty()) {
        log(QStringLiteral("Не указан порт назначения"));
        return nullptr;
    }
    auto *port = new QSerialPort(name, this);
    applyLineSettings(port);
    if (!port->open(QIODevice::ReadWrite)) {
        log(QStringLiteral("Ошибка открытия порта: ") + port->errorString());
        delete port;
        return nullptr;
    }
    return port;
}

bool FirmwareWidget::sendCommand(quint8 code, const QByteArray &data, quint32 timeout, QSerialPort *port)
{
    log(QStringLiteral("КОМАНДА %1").arg(code, 2, 16, QLatin1Char('0')));

    // A late reply to an earlier command must not be taken for this one's; reopening also starts
    // the loader's side afresh after a line error.
    port->clear();
    port->clearError();
    port->close();
    port->open(QIODevice::ReadWrite);

    QByteArray frame;
    frame.reserve(HeaderSize + data.size());
    frame.append(StartByte);
    frame.append(le32(data.size()));
    frame.append(char(code));
    frame.append(data);
    port->write(frame);
    port->flush();

    bool result = false;
    QByteArray reply;
    if (!waitForBytes(port, timeout)) {
        log(QStringLiteral("Таймаут ожидания ответа на команду"));
    } else if (!readReply(port, timeout, &reply)) {
        log(QStringLiteral("Некорректный ответ на команду"));
    } else {
        const quint8 status = quint8(reply.at(5));
        result = status == 0;
        log(result ? QStringLiteral("УСПЕШНО!") : QStringLiteral("ОШИБКА %1").arg(status));
        QByteArray text = reply.mid(HeaderSize);
        const int zero = text.indexOf('\0');
        if (zero >= 0)
            text.truncate(zero);
        if (!text.isEmpty())
            log(QString::fromUtf8(text));
    }

    QThread::msleep(PauseAfterCommandMs);
    return result;
}

bool FirmwareWidget::readReply(QSerialPort *port, quint32 timeout, QByteArray *reply)
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

void FirmwareWidget::runSingle(quint8 code)
{
    QSerialPort *port = openPort();
    if (!port) {
        log(QStringLiteral("Ошибка открытия пота"));
        return;
    }
    sendCommand(code, QByteArray(), commandTimeout(code), port);
    closePort(port);
}

void FirmwareWidget::closePort(QSerialPort *port)
{
    port->close();
    port->deleteLater();
}

void FirmwareWidget::log(const QString &line)
{
    // Lines are plain text: the loader's own texts must not be taken for markup.
    ui->textBrowser->append(Qt::convertFromPlainText(line, Qt::WhiteSpaceNormal));
}
