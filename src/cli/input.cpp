#include "input.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"
#include "quitonsignals.h"

namespace cliinput {

namespace {

constexpr int PieceSize = 64 * 1024;
// How often a read that waits for a writer looks whether a stop has come.
constexpr int StopCheckMs = 100;

int refuse(const QString &path, const QString &why, int code = CliExit::NoInput)
{
    Cli::note(QStringLiteral("%1: %2").arg(shownName(path), why));
    return code;
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

QString shownName(const QString &path)
{
    return path == QLatin1String("-") ? QStringLiteral("стандартный ввод") : path;
}

int read(const QString &path, Accept accept, qint64 maxBytes, const std::function<bool(const QByteArray &)> &piece)
{
    const bool fromStdin = path == QLatin1String("-");
    // Without O_NONBLOCK, opening a FIFO waits for its writer, where no stop can reach it.
    const int fd =
        fromStdin ? STDIN_FILENO : ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return refuse(path, systemError(errno));
    struct Closer
    {
        int fd;
        bool own;
        ~Closer()
        {
            if (own)
                ::close(fd);
        }
    } closer{fd, !fromStdin};

    struct stat st = {};
    if (::fstat(fd, &st) != 0)
        return refuse(path, systemError(errno));
    if (S_ISDIR(st.st_mode))
        return refuse(path, systemError(EISDIR));
    if (accept == Accept::RegularFile && !S_ISREG(st.st_mode))
        return refuse(path, QStringLiteral("не обычный файл"));
    if (maxBytes > 0 && S_ISREG(st.st_mode) && st.st_size > maxBytes)
        return refuse(path, QStringLiteral("больше %1 байт: %2").arg(maxBytes).arg(qint64(st.st_size)),
                      CliExit::DataError);

    QByteArray buffer(PieceSize, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        if (const int sig = pendingTerminateSignal())
            return 128 + sig;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, StopCheckMs);
        if (ready < 0 && errno != EINTR)
            return refuse(path, systemError(errno));
        if (ready <= 0)
            continue;
        const ssize_t n = ::read(fd, buffer.data(), size_t(buffer.size()));
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return refuse(path, systemError(errno));
        }
        if (n == 0)
            return CliExit::Success;
        total += n;
        if (maxBytes > 0 && total > maxBytes)
            return refuse(path, QStringLiteral("больше %1 байт").arg(maxBytes), CliExit::DataError);
        if (!piece(QByteArray(buffer.constData(), int(n))))
            return CliExit::Success;
    }
}

int readAll(const QString &path, Accept accept, qint64 maxBytes, QByteArray *bytes)
{
    bytes->clear();
    return read(path, accept, maxBytes, [bytes](const QByteArray &piece) {
        bytes->append(piece);
        return true;
    });
}

} // namespace cliinput
