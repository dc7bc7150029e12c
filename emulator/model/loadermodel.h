#pragma once

#include "emudevice.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>
#include <mutex>

namespace emu {

// What lies at the front of the loader's receive buffer (pure, like scanRequest).
struct LoaderScan
{
    enum Kind {
        NeedMore, // drop `consumed` stray bytes and wait for more
        Request,  // a complete request frame
        Rejected, // a header announcing a negative or oversized data part; `consumed` drops it all
    };
    Kind kind = NeedMore;
    int consumed = 0;
    int skipped = 0;
    quint8 code = 0;
    qint32 declared = 0; // data size from the header
    QByteArray data;
};

LoaderScan scanLoaderRequest(const QByteArray &buffer, int maxData);

// 04, text size (signed 32-bit), status, text in UTF-8.
QByteArray loaderReply(quint8 status, const QString &text);

// Firmware images "*.signed.img": a 16-byte header (the 8 bytes "VIRTAIMG", the body size as an
// unsigned 32-bit little-endian number, 4 zero bytes), the body, then the SHA-256 of header and
// body. It proves that an image arrived whole and unaltered; anyone can make one, so it is no
// proof of origin.
namespace signedimage {
constexpr int HeaderSize = 16;
constexpr int DigestSize = 32;
QByteArray sign(const QByteArray &body);
// True when the image is well formed and its digest holds; otherwise *why says what is wrong.
bool verify(const QByteArray &image, QString *why = nullptr);
QByteArray body(const QByteArray &image); // empty unless verify() holds
} // namespace signedimage

} // namespace emu

// The register's firmware loader, device side: check connection (0xFF), reboot (0xF0), announce a
// size (0x00), blocks in order (0x01), check the whole image (0x02), install it (0x03) and verify
// the installed image (0x04). Thread-safe like EmuDevice.
class LoaderModel : public EmuResponder
{
public:
    enum Status : quint8 {
        Ok = 0,
        UnknownCommand = 1,
        BadArgument = 2,
        NoUpload = 3,
        BlockOverflow = 4,
        Incomplete = 5,
        BadSignature = 6,
        NothingToInstall = 7,
        WriteFailed = 8,
        InstalledBroken = 9,
    };
    static constexpr qint32 MaxImageSize = 16 * 1024 * 1024;
    static constexpr int MaxFrameData = 64 * 1024;
    static constexpr int DefaultStallMs = 500;

    struct Result
    {
        quint8 status = Ok;
        QString text;
        int delayMs = 0; // how long the loader works before it answers
    };

    LoaderModel();
    ~LoaderModel() override;

    QVector<EmuChunk> receive(const QByteArray &bytes, qint64 nowMs) override;
    // One command without the framing.
    Result execute(quint8 code, const QByteArray &data);

    void setInstallSeconds(int seconds);
    int installSeconds() const;
    // Complete uploads are written here at 0x02 ("received-NNN.signed.img", or "rejected-NNN.img"
    // when the signature does not hold), the installed image as "installed.signed.img" at 0x03.
    // Empty: nothing is written.
    void setImagesDir(const QString &dir);
    void setStallTimeout(int ms);

    QByteArray installedImage() const;
    int installCount() const;
    int rebootCount() const;
    QStringList writtenFiles() const;
    QVector<quint8> commands() const; // codes received, in order
    qint64 receivedBytes() const;     // bytes of the upload in progress

    void setRequestLog(std::function<void(const QString &)> log);

private:
    Result run(quint8 code, const QByteArray &data);
    QString writeImage(const QString &prefix, const QString &suffix, const QByteArray &image, QString *error);

    // A standard mutex rather than QMutex: Qt is not built for ThreadSanitizer, which therefore
    // cannot see QMutex's ordering and would report every guarded access as a race.
    mutable std::mutex mutex_;
    QByteArray buffer_;
    qint64 lastByteMs_ = 0;
    int stallMs_ = DefaultStallMs;
    int installSeconds_ = 3;
    QString imagesDir_;

    bool announced_ = false;
    qint32 expected_ = 0;
    QByteArray upload_;
    bool checked_ = false;
    QByteArray installed_;
    int installs_ = 0;
    int reboots_ = 0;
    QStringList written_;
    QVector<quint8> commands_;
    std::function<void(const QString &)> log_;
};
