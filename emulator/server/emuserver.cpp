#include "emuserver.h"

#include <QFile>
#include <QFileInfo>

#include "frlink.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

QString systemError(const QString &what)
{
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
}

qint64 monotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool makeRaw(int fd, QString *error)
{
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        *error = systemError(QStringLiteral("tcgetattr"));
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS8;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        *error = systemError(QStringLiteral("tcsetattr"));
        return false;
    }
    return true;
}

} // namespace

EmuPort::~EmuPort()
{
    close();
}

bool EmuPort::openPty(QString *error)
{
    close();
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        *error = systemError(QStringLiteral("posix_openpt"));
        return false;
    }
    char name[256] = {};
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        *error = systemError(QStringLiteral("pseudo-terminal set-up"));
        ::close(master);
        return false;
    }
    // Our own slave descriptor keeps the pair alive while the application has its side closed:
    // without it the master reads EIO between exchanges.
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        *error = systemError(QStringLiteral("open %1").arg(QString::fromLocal8Bit(name)));
        ::close(master);
        return false;
    }
    if (!makeRaw(slave, error)) {
        ::close(slave);
        ::close(master);
        return false;
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fd_ = master;
    slaveFd_ = slave;
    path_ = QString::fromLocal8Bit(name);
    // Without the watch the line still works; only a client killed while it held it exclusive
    // would then leave it so until the emulator restarts.
    watchFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watchFd_ >= 0 && inotify_add_watch(watchFd_, name, IN_CLOSE) < 0) {
        ::close(watchFd_);
        watchFd_ = -1;
    }
    return true;
}

bool EmuPort::othersHoldSlave() const
{
    // Every process's descriptors (those this user may see: a pseudo-terminal is its opener's),
    // our own slave descriptor aside.
    const QByteArray slave = QFile::encodeName(path_);
    const QByteArray self = QByteArray::number(qint64(::getpid()));
    DIR *proc = ::opendir("/proc");
    bool held = false;
    for (dirent *p = proc ? ::readdir(proc) : nullptr; p && !held; p = ::readdir(proc)) {
        if (p->d_name[0] < '1' || p->d_name[0] > '9')
            continue;
        const QByteArray pid(p->d_name);
        const QByteArray fds = "/proc/" + pid + "/fd";
        DIR *dir = ::opendir(fds.constData());
        for (dirent *f = dir ? ::readdir(dir) : nullptr; f && !held; f = ::readdir(dir)) {
            if (f->d_name[0] == '.' || (pid == self && QByteArray(f->d_name) == QByteArray::number(slaveFd_)))
                continue;
            char target[256];
            const ssize_t n = ::readlinkat(::dirfd(dir), f->d_name, target, sizeof target);
            held = n == slave.size() && slave == QByteArray(target, int(n));
        }
        if (dir)
            ::closedir(dir);
    }
    if (proc)
        ::closedir(proc);
    return held;
}

ssize_t EmuLine::send(const char *data, size_t size)
{
    return ::write(fd(), data, size);
}

bool EmuPort::handleWatch()
{
    alignas(inotify_event) char buf[4096];
    bool drained = false;
    while (::read(watchFd_, buf, sizeof buf) > 0)
        drained = true;
    // Someone closed the line. A client closing as it should has cleared its exclusivity already;
    // one that was killed has not, and if nobody else holds the line now, nobody ever will.
    int exclusive = 0;
    if (drained && slaveFd_ >= 0 && ::ioctl(slaveFd_, TIOCGEXCL, &exclusive) == 0 && exclusive && !othersHoldSlave())
        ::ioctl(slaveFd_, TIOCNXCL);
    return false;
}

bool EmuPort::openDevice(const QString &path, QString *error)
{
    close();
    const QByteArray local = QFile::encodeName(path);
    const int fd = ::open(local.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = systemError(QStringLiteral("open %1").arg(path));
        return false;
    }
    if (!makeRaw(fd, error)) {
        ::close(fd);
        return false;
    }
    tcflush(fd, TCIOFLUSH);
    fd_ = fd;
    path_ = path;
    return true;
}

bool EmuPort::makeLink(const QString &link, QString *error)
{
    const QByteArray local = QFile::encodeName(link);
    const QFileInfo info(link);
    if (info.isSymLink()) {
        if (::unlink(local.constData()) != 0) {
            *error = systemError(QStringLiteral("remove old link %1").arg(link));
            return false;
        }
    } else if (info.exists()) {
        *error = QStringLiteral("%1 exists and is not a symbolic link; not replaced").arg(link);
        return false;
    }
    if (::symlink(QFile::encodeName(path_).constData(), local.constData()) != 0) {
        *error = systemError(QStringLiteral("symlink %1").arg(link));
        return false;
    }
    link_ = link;
    return true;
}

void EmuPort::close()
{
    if (!link_.isEmpty()) {
        // Only our own link goes: another emulator may have taken the path over meanwhile.
        const QByteArray local = QFile::encodeName(link_);
        char target[4096];
        const ssize_t n = ::readlink(local.constData(), target, sizeof target - 1);
        if (n > 0 && QByteArray(target, int(n)) == QFile::encodeName(path_))
            ::unlink(local.constData());
        link_.clear();
    }
    if (watchFd_ >= 0)
        ::close(watchFd_);
    if (slaveFd_ >= 0)
        ::close(slaveFd_);
    if (fd_ >= 0)
        ::close(fd_);
    watchFd_ = -1;
    slaveFd_ = -1;
    fd_ = -1;
    path_.clear();
}

namespace {

QString peerText(const sockaddr_storage &peer, socklen_t size)
{
    char host[NI_MAXHOST] = {};
    char service[NI_MAXSERV] = {};
    if (::getnameinfo(reinterpret_cast<const sockaddr *>(&peer), size, host, sizeof host, service, sizeof service,
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return QStringLiteral("?");
    const QString h = QString::fromLatin1(host);
    return (h.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(h) : h) + QLatin1Char(':') +
           QString::fromLatin1(service);
}

} // namespace

EmuListener::~EmuListener()
{
    close();
}

bool EmuListener::listen(const QString &host, quint16 port, QString *error)
{
    close();
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const int rc = ::getaddrinfo(host.toUtf8().constData(), QByteArray::number(port).constData(), &hints, &found);
    if (rc != 0) {
        *error = QStringLiteral("cannot listen on %1: %2").arg(host, QString::fromLocal8Bit(::gai_strerror(rc)));
        return false;
    }
    QString why;
    for (addrinfo *a = found; a && listener_ < 0; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            why = systemError(QStringLiteral("socket"));
            continue;
        }
        // A register restarted on its port must not wait for the old connections to time out.
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 4) == 0) {
            listener_ = fd;
        } else {
            why = systemError(QStringLiteral("cannot listen on %1:%2").arg(host).arg(port));
            ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    if (listener_ < 0) {
        *error = why;
        return false;
    }
    sockaddr_storage local = {};
    socklen_t size = sizeof local;
    if (::getsockname(listener_, reinterpret_cast<sockaddr *>(&local), &size) == 0)
        port = ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&local)->sin6_port
                                                 : reinterpret_cast<sockaddr_in *>(&local)->sin_port);
    name_ = FrAddress::tcpName(host, port);
    return true;
}

void EmuListener::close()
{
    if (client_ >= 0)
        ::close(client_);
    if (listener_ >= 0)
        ::close(listener_);
    client_ = -1;
    listener_ = -1;
    peer_.clear();
}

void EmuListener::say(const QString &line) const
{
    if (log_)
        log_(line);
}

bool EmuListener::handleWatch()
{
    bool fresh = false;
    for (;;) {
        sockaddr_storage peer = {};
        socklen_t size = sizeof peer;
        const int fd = ::accept4(listener_, reinterpret_cast<sockaddr *>(&peer), &size, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return fresh;
        const QString who = peerText(peer, size);
        // A client that sent its last bytes and closed is gone even if its close is still unread
        // behind them: the one that follows it is not a second client.
        if (client_ >= 0) {
            pollfd current{client_, POLLRDHUP, 0};
            if (::poll(&current, 1, 0) > 0 && (current.revents & (POLLRDHUP | POLLHUP | POLLERR)))
                hangUp();
        }
        if (client_ >= 0) {
            ::shutdown(fd, SHUT_RDWR);
            ::close(fd);
            say(QStringLiteral("network: %1 refused: one client at a time, and %2 is connected").arg(who, peer_));
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        client_ = fd;
        peer_ = who;
        fresh = true;
        say(QStringLiteral("network: %1 connected").arg(who));
    }
}

bool EmuListener::hangUp()
{
    if (client_ < 0)
        return false;
    ::close(client_);
    client_ = -1;
    say(QStringLiteral("network: %1 disconnected").arg(peer_));
    peer_.clear();
    return true;
}

ssize_t EmuListener::send(const char *data, size_t size)
{
    // A client gone meanwhile is a failed write, not a SIGPIPE.
    return ::send(client_, data, size, MSG_NOSIGNAL);
}

EmuPortServer::EmuPortServer(EmuResponder *responder, EmuLine *port, int lineId)
    : responder_(responder), port_(port), lineId_(lineId)
{}

EmuPortServer::~EmuPortServer()
{
    stop();
}

bool EmuPortServer::start(QString *error)
{
    if (thread_.joinable())
        return true;
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = systemError(QStringLiteral("pipe"));
        return false;
    }
    stopping_ = false;
    thread_ = std::thread([this] { loop(); });
    return true;
}

void EmuPortServer::stop()
{
    if (thread_.joinable()) {
        stopping_ = true;
        const char byte = 1;
        while (::write(wake_[1], &byte, 1) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    for (int &fd : wake_) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

bool EmuPortServer::pause(int ms)
{
    const qint64 until = monotonicMs() + ms;
    for (;;) {
        const qint64 left = until - monotonicMs();
        if (left <= 0)
            return !stopping_;
        pollfd p = {wake_[0], POLLIN, 0};
        const int r = ::poll(&p, 1, int(left));
        if (stopping_ || (r > 0 && (p.revents & POLLIN)))
            return false;
    }
}

bool EmuPortServer::writeAll(const QByteArray &bytes)
{
    int done = 0;
    while (done < bytes.size()) {
        const ssize_t n = port_->send(bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += int(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        // Nobody reads the other side and its queue is full: wait a while, then give the reply up
        // rather than stall the register for good.
        pollfd p[2] = {{port_->fd(), POLLOUT, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(p, 2, 2000) <= 0 || (p[1].revents & POLLIN) || stopping_)
            return false;
    }
    return true;
}

void EmuPortServer::loop()
{
    char buf[4096];
    while (!stopping_) {
        pollfd p[3] = {{port_->fd(), POLLIN, 0}, {wake_[0], POLLIN, 0}, {port_->watchFd(), POLLIN, 0}};
        const int r = ::poll(p, port_->watchFd() >= 0 ? 3 : 2, 1000);
        if (stopping_ || (r > 0 && (p[1].revents & POLLIN)))
            return;
        if (r < 0) {
            if (errno != EINTR)
                return;
            continue;
        }
        QByteArray received;
        // The line first, the watch after: a client that went away is let go before the next one
        // that came meanwhile is taken (or refused as a second).
        if (r > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = ::read(port_->fd(), buf, sizeof buf);
            if (n > 0) {
                received = QByteArray(buf, int(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                if (port_->hangUp()) {
                    responder_->forgetInput(lineId_);
                } else if (!pause(100)) {
                    // A real device that went away, or a hang-up: do not spin on it.
                    return;
                }
                if (!(r > 0 && (p[2].revents & POLLIN)))
                    continue;
            }
        }
        // What the line brought is answered before a new client is taken: its bytes are the old
        // client's, never the next one's.
        const QVector<EmuChunk> out = responder_->receiveOn(lineId_, received, monotonicMs());
        for (const EmuChunk &chunk : out) {
            if (chunk.delayMs > 0 && !pause(chunk.delayMs))
                return;
            if (!chunk.bytes.isEmpty())
                writeAll(chunk.bytes);
        }
        if (r > 0 && (p[2].revents & POLLIN) && port_->handleWatch())
            responder_->forgetInput(lineId_);
    }
}

EmuServer::EmuServer() : device_(&model_)
{}

EmuServer::~EmuServer()
{
    stop();
}

bool EmuServer::start(const Config &config, QString *error)
{
    QString dummy;
    if (!error)
        error = &dummy;
    stop();
    if (config.serial) {
        const bool opened = config.device.isEmpty() ? port_.openPty(error) : port_.openDevice(config.device, error);
        if (!opened)
            return false;
        if (!config.link.isEmpty() && !port_.makeLink(config.link, error)) {
            stop();
            return false;
        }
    }
    if (!config.listen.isEmpty()) {
        QString host;
        quint16 port = 0;
        if (!FrAddress::parseHostPort(config.listen, &host, &port, error, true) ||
            !listener_.listen(host, port, error)) {
            stop();
            return false;
        }
    }
    if (config.loader) {
        if (!loaderPort_.openPty(error) ||
            (!config.loaderLink.isEmpty() && !loaderPort_.makeLink(config.loaderLink, error))) {
            stop();
            return false;
        }
    }
    if (config.serial) {
        server_.reset(new EmuPortServer(&device_, &port_, SerialLine));
        if (!server_->start(error)) {
            stop();
            return false;
        }
    }
    if (listener_.isListening()) {
        networkServer_.reset(new EmuPortServer(&device_, &listener_, NetworkLine));
        if (!networkServer_->start(error)) {
            stop();
            return false;
        }
    }
    if (config.loader) {
        loaderServer_.reset(new EmuPortServer(&loader_, &loaderPort_));
        if (!loaderServer_->start(error)) {
            stop();
            return false;
        }
    }
    return true;
}

void EmuServer::stop()
{
    server_.reset();
    networkServer_.reset();
    loaderServer_.reset();
    port_.close();
    listener_.close();
    loaderPort_.close();
}

bool EmuServer::isRunning() const
{
    return (server_ && server_->isRunning()) || (networkServer_ && networkServer_->isRunning());
}
