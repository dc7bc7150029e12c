#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

#include <memory>

class PortLock;
class QSerialPort;

// The register's loader: a protocol of its own on a port of its own, apart from the command
// layer. Every operation opens the port, runs to the end and closes it again; every command
// inside also reopens it. The line is set up as the transport's is (SerialLink::applyLineSettings,
// at the loader's speed), and the port is held by the same lock (PortLock) for the whole
// operation, so another program is kept off it between two commands, and a port another program
// holds is refused as the window and the console refuse it. What happens is told line by line
// through `line`, so the firmware tab and the command-line program show the same texts.
class FirmwareLoader : public QObject
{
    Q_OBJECT
public:
    enum LoaderCommand : quint8 {
        CheckConnection = 0xFF,
        Reboot = 0xF0,
        VerifyFirmware = 0x04,
        AnnounceSize = 0x00,
        SendBlock = 0x01,
        CheckImage = 0x02,
        InstallImage = 0x03,
    };
    static constexpr qint32 BaudRate = 921600;
    static constexpr int BlockSize = 1024;
    // The loader needs a breather after each reply before it takes the next request.
    static constexpr int PauseAfterCommandMs = 20;

    enum class Outcome {
        Done,      // every command was sent and the loader said yes to each
        FileError, // the image was refused or could not be read; nothing was sent
        PortError, // the loader's port could not be opened
        PortBusy,  // another program holds the loader's port; nothing was sent
        Refused,   // the loader answered with an error, a bad reply or not at all
    };

    explicit FirmwareLoader(QObject *parent = nullptr);

    // How long the loader may take to answer each command. Tests shorten them; 0 restores the
    // default of the command.
    static quint32 defaultTimeout(quint8 code);
    quint32 commandTimeout(quint8 code) const;
    void setCommandTimeout(quint8 code, quint32 ms);

    // One command without data (check connection, reboot, verify).
    Outcome runSingle(const QString &portName, quint8 code);
    // The whole upload: announce the size, the blocks, then check and install.
    Outcome upload(const QString &portName, const QString &imagePath);

    // The checks the upload makes before anything is opened; an empty result means the image
    // may be read. Shared so that a caller can refuse a file before it opens anything else.
    static QString refuseImage(const QString &imagePath);
    // A port the loader cannot work on, and why; empty when it may be tried. The loader needs the
    // line at 921600 baud, which a network address (a serial-to-network server, a register's own
    // network port) gives no way to set.
    static QString refusePort(const QString &portName);

    // How the last command ended: 0 yes, the loader's error number, 252 a reply that was not a
    // reply, 253 none at all.
    int lastResult() const { return lastResult_; }
    // Whether lastResult() is the loader's own status byte (which may be any value from 1 to
    // 255) rather than a reply that did not come or could not be read.
    bool lastResultFromLoader() const { return lastResultFromLoader_; }

signals:
    void line(const QString &text);
    // The block transfer begins (total bytes), a block has gone out (its offset), and it is over.
    void blocksStarted(qint64 total);
    void blockSent(qint64 offset, qint64 total);
    void blocksFinished();
    // A command has gone out and the loader has `timeoutMs` to answer it; its answer (or the lack
    // of one) is in. The install step may take minutes, and this is how a caller can say so.
    void commandSent(quint8 code, quint32 timeoutMs);
    void commandAnswered(quint8 code);

private:
    QSerialPort *openPort(const QString &portName, Outcome *failure);
    bool sendCommand(quint8 code, const QByteArray &data, QSerialPort *port);
    bool readReply(QSerialPort *port, quint32 timeout, QByteArray *reply);
    void closePort(QSerialPort *port);

    QHash<quint8, quint32> timeouts_;
    std::shared_ptr<PortLock> lock_; // during an operation
    int lastResult_ = 0;
    bool lastResultFromLoader_ = false;
};
