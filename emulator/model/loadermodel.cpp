#include "loadermodel.h"

#include "framedecoder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace {

constexpr char StartByte = 0x04;
constexpr int HeaderSize = 6;
const char Magic[] = "VIRTAIMG";

qint32 le32(const char *p)
{
    return qint32(quint32(quint8(p[0])) | (quint32(quint8(p[1])) << 8) | (quint32(quint8(p[2])) << 16) |
                  (quint32(quint8(p[3])) << 24));
}

QByteArray le32bytes(quint32 v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char((v >> (8 * i)) & 0xFF);
    return b;
}

QByteArray digest(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

} // namespace

namespace emu {

LoaderScan scanLoaderRequest(const QByteArray &buffer, int maxData)
{
    LoaderScan r;
    const int n = buffer.size();
    const char *b = buffer.constData();
    int i = 0;
    while (i < n && b[i] != StartByte)
        ++i;
    r.skipped = i;
    r.consumed = i;
    if (n - i < HeaderSize)
        return r;
    r.declared = le32(b + i + 1);
    r.code = quint8(b[i + 5]);
    if (r.declared < 0 || r.declared > maxData) {
        // Whatever follows such a header cannot be told apart from a frame: drop all of it.
        r.kind = LoaderScan::Rejected;
        r.consumed = n;
        return r;
    }
    if (n - i < HeaderSize + r.declared)
        return r;
    r.kind = LoaderScan::Request;
    r.data = buffer.mid(i + HeaderSize, r.declared);
    r.consumed = i + HeaderSize + r.declared;
    return r;
}

QByteArray loaderReply(quint8 status, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray frame;
    frame.append(StartByte);
    frame.append(le32bytes(quint32(utf8.size())));
    frame.append(char(status));
    frame.append(utf8);
    return frame;
}

namespace signedimage {

QByteArray sign(const QByteArray &body)
{
    QByteArray image(Magic, 8);
    image.append(le32bytes(quint32(body.size())));
    image.append(QByteArray(4, '\0'));
    image.append(body);
    image.append(digest(image));
    return image;
}

bool verify(const QByteArray &image, QString *why)
{
    const auto fail = [&](const QString &text) {
        if (why)
            *why = text;
        return false;
    };
    if (image.size() < HeaderSize + DigestSize)
        return fail(QStringLiteral("образ короче заголовка и контрольной суммы (%1 байт)").arg(image.size()));
    if (!image.startsWith(QByteArray(Magic, 8)))
        return fail(QStringLiteral("нет метки VIRTAIMG в начале образа"));
    const quint32 size = quint32(le32(image.constData() + 8));
    if (qint64(size) != qint64(image.size()) - HeaderSize - DigestSize)
        return fail(QStringLiteral("размер тела в заголовке (%1) не совпадает с размером образа").arg(size));
    if (image.mid(12, 4) != QByteArray(4, '\0'))
        return fail(QStringLiteral("неизвестный формат заголовка"));
    const int signedPart = image.size() - DigestSize;
    if (digest(image.left(signedPart)) != image.mid(signedPart))
        return fail(QStringLiteral("контрольная сумма SHA-256 не совпадает"));
    return true;
}

QByteArray body(const QByteArray &image)
{
    if (!verify(image))
        return QByteArray();
    return image.mid(HeaderSize, image.size() - HeaderSize - DigestSize);
}

} // namespace signedimage
} // namespace emu

LoaderModel::LoaderModel() : installed_(emu::signedimage::sign(QByteArrayLiteral("VIRTA factory firmware 1.0")))
{}

LoaderModel::~LoaderModel() = default;

QVector<EmuChunk> LoaderModel::receive(const QByteArray &bytes, qint64 nowMs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!buffer_.isEmpty() && nowMs - lastByteMs_ > stallMs_) {
        if (log_)
            log_(QStringLiteral("loader: partial frame of %1 bytes forgotten").arg(buffer_.size()));
        buffer_.clear();
    }
    if (!bytes.isEmpty()) {
        buffer_.append(bytes);
        lastByteMs_ = nowMs;
    }
    QVector<EmuChunk> out;
    for (;;) {
        const emu::LoaderScan scan = emu::scanLoaderRequest(buffer_, MaxFrameData);
        buffer_.remove(0, scan.consumed);
        if (scan.kind == emu::LoaderScan::NeedMore)
            break;
        Result r;
        if (scan.kind == emu::LoaderScan::Rejected) {
            r.status = BadArgument;
            r.text = QStringLiteral("Некорректная длина данных в кадре: %1").arg(scan.declared);
        } else {
            r = run(scan.code, scan.data);
        }
        const QByteArray reply = emu::loaderReply(r.status, r.text);
        if (log_) {
            QString words;
            if (scan.kind == emu::LoaderScan::Request) {
                // The frame as it came: the decoder reads it as it would any other.
                QByteArray request(1, char(StartByte));
                for (int i = 0; i < 4; ++i)
                    request.append(char((scan.data.size() >> (8 * i)) & 0xFF));
                request.append(char(scan.code)).append(scan.data);
                words = QStringLiteral("\n  %1\n  %2")
                            .arg(framedecoder::describeLoaderRequest(request), framedecoder::describeLoaderReply(reply));
            }
            log_(QStringLiteral("loader: cmd=0x%1 len=%2 -> %3%4")
                     .arg(scan.code, 2, 16, QLatin1Char('0'))
                     .arg(scan.declared)
                     .arg(r.status)
                     .arg(r.status == Ok ? QString() : QStringLiteral(" ") + r.text)
                 + words);
        }
        out.append({r.delayMs, reply});
    }
    return out;
}

LoaderModel::Result LoaderModel::execute(quint8 code, const QByteArray &data)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return run(code, data);
}

LoaderModel::Result LoaderModel::run(quint8 code, const QByteArray &data)
{
    commands_.append(code);
    Result r;
    const auto refuse = [&r](Status status, const QString &text) {
        r.status = status;
        r.text = text;
        return r;
    };
    switch (code) {
    case 0xFF:
        r.text = QStringLiteral("ВИРТА загрузчик 1.0 (эмулятор)");
        return r;
    case 0xF0:
        announced_ = false;
        checked_ = false;
        upload_.clear();
        ++reboots_;
        r.text = QStringLiteral("Перезагрузка");
        return r;
    case 0x00: {
        if (data.size() != 4)
            return refuse(BadArgument,
                          QStringLiteral("Размер образа: ожидалось 4 байта, получено %1").arg(data.size()));
        const qint32 size = le32(data.constData());
        if (size < 0 || size > MaxImageSize)
            return refuse(BadArgument, QStringLiteral("Недопустимый размер образа: %1 (допустимо от 0 до %2 байт)")
                                           .arg(size)
                                           .arg(MaxImageSize));
        announced_ = true;
        checked_ = false;
        expected_ = size;
        upload_.clear();
        upload_.reserve(size);
        r.text = QStringLiteral("Ожидается образ %1 байт").arg(size);
        return r;
    }
    case 0x01:
        if (!announced_)
            return refuse(NoUpload, QStringLiteral("Размер образа не объявлен"));
        if (data.isEmpty())
            return refuse(BadArgument, QStringLiteral("Пустой блок"));
        if (qint64(upload_.size()) + data.size() > expected_)
            return refuse(BlockOverflow, QStringLiteral("Блок выходит за объявленный размер: %1 + %2 > %3")
                                             .arg(upload_.size())
                                             .arg(data.size())
                                             .arg(expected_));
        upload_.append(data);
        checked_ = false;
        return r;
    case 0x02: {
        if (!announced_)
            return refuse(NoUpload, QStringLiteral("Размер образа не объявлен"));
        if (upload_.size() != expected_)
            return refuse(
                Incomplete,
                QStringLiteral("Образ получен не полностью: %1 из %2 байт").arg(upload_.size()).arg(expected_));
        QString why;
        const bool valid = emu::signedimage::verify(upload_, &why);
        QString error;
        const QString file =
            writeImage(valid ? QStringLiteral("received") : QStringLiteral("rejected"),
                       valid ? QStringLiteral(".signed.img") : QStringLiteral(".img"), upload_, &error);
        if (!valid)
            return refuse(BadSignature, QStringLiteral("Подпись образа не сходится: %1").arg(why));
        if (!error.isEmpty())
            return refuse(WriteFailed, error);
        checked_ = true;
        r.text = QStringLiteral("Образ принят и проверен: %1 байт").arg(upload_.size());
        if (!file.isEmpty())
            r.text += QStringLiteral(", записан в %1").arg(file);
        return r;
    }
    case 0x03: {
        if (!checked_)
            return refuse(NothingToInstall, QStringLiteral("Нет проверенного образа для установки"));
        QString error;
        if (!imagesDir_.isEmpty()) {
            QSaveFile out(QDir(imagesDir_).filePath(QStringLiteral("installed.signed.img")));
            if (!out.open(QIODevice::WriteOnly) || out.write(upload_) != upload_.size() || !out.commit())
                return refuse(WriteFailed, QStringLiteral("Не удалось записать образ: %1").arg(out.errorString()));
        }
        installed_ = upload_;
        ++installs_;
        announced_ = false;
        checked_ = false;
        upload_.clear();
        r.delayMs = installSeconds_ * 1000;
        r.text = QStringLiteral("Прошивка установлена");
        return r;
    }
    case 0x04: {
        QString why;
        if (!emu::signedimage::verify(installed_, &why))
            return refuse(InstalledBroken, QStringLiteral("Установленная прошивка повреждена: %1").arg(why));
        const QByteArray body = emu::signedimage::body(installed_);
        r.text = QStringLiteral("Прошивка исправна: %1 байт, SHA-256 %2")
                     .arg(body.size())
                     .arg(QString::fromLatin1(digest(body).toHex().left(16)));
        return r;
    }
    default:
        return refuse(UnknownCommand, QStringLiteral("Неизвестная команда 0x%1").arg(code, 2, 16, QLatin1Char('0')));
    }
}

QString LoaderModel::writeImage(const QString &prefix, const QString &suffix, const QByteArray &image, QString *error)
{
    if (imagesDir_.isEmpty())
        return QString();
    QDir dir(imagesDir_);
    if (!dir.mkpath(QStringLiteral("."))) {
        *error = QStringLiteral("Не удалось создать папку %1").arg(imagesDir_);
        return QString();
    }
    QString path;
    for (int n = 1;; ++n) {
        path = dir.filePath(QStringLiteral("%1-%2%3").arg(prefix).arg(n, 3, 10, QLatin1Char('0')).arg(suffix));
        if (!QFileInfo::exists(path))
            break;
    }
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(image) != image.size() || !out.commit()) {
        *error = QStringLiteral("Не удалось записать образ %1: %2").arg(path, out.errorString());
        return QString();
    }
    written_.append(path);
    return path;
}

void LoaderModel::setInstallSeconds(int seconds)
{
    std::lock_guard<std::mutex> lock(mutex_);
    installSeconds_ = qBound(0, seconds, 3600);
}

int LoaderModel::installSeconds() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return installSeconds_;
}

void LoaderModel::setImagesDir(const QString &dir)
{
    std::lock_guard<std::mutex> lock(mutex_);
    imagesDir_ = dir;
}

void LoaderModel::setStallTimeout(int ms)
{
    std::lock_guard<std::mutex> lock(mutex_);
    stallMs_ = qMax(1, ms);
}

QByteArray LoaderModel::installedImage() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return installed_;
}

int LoaderModel::installCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return installs_;
}

int LoaderModel::rebootCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return reboots_;
}

QStringList LoaderModel::writtenFiles() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
}

QVector<quint8> LoaderModel::commands() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

qint64 LoaderModel::receivedBytes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return upload_.size();
}

void LoaderModel::setRequestLog(std::function<void(const QString &)> log)
{
    std::lock_guard<std::mutex> lock(mutex_);
    log_ = std::move(log);
}
