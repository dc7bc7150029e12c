#include "emuserver.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
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

void EmuPort::handleWatch()
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

EmuPortServer::EmuPortServer(EmuResponder *responder, EmuPort *port) : responder_(responder), port_(port)
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
        const ssize_t n = ::write(port_->fd(), bytes.constData() + done, size_t(bytes.size() - done));
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
        if (r > 0 && (p[2].revents & POLLIN))
            port_->handleWatch();
        QByteArray received;
        if (r > 0 && (p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = ::read(port_->fd(), buf, sizeof buf);
            if (n > 0) {
                received = QByteArray(buf, int(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // A real device that went away, or a hang-up: do not spin on it.
                if (!pause(100))
                    return;
                continue;
            }
        }
        const QVector<EmuChunk> out = responder_->receive(received, monotonicMs());
        for (const EmuChunk &chunk : out) {
            if (chunk.delayMs > 0 && !pause(chunk.delayMs))
                return;
            if (!chunk.bytes.isEmpty())
                writeAll(chunk.bytes);
        }
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
    const bool opened = config.device.isEmpty() ? port_.openPty(error) : port_.openDevice(config.device, error);
    if (!opened)
        return false;
    if (!config.link.isEmpty() && !port_.makeLink(config.link, error)) {
        stop();
        return false;
    }
    if (config.loader) {
        if (!loaderPort_.openPty(error) ||
            (!config.loaderLink.isEmpty() && !loaderPort_.makeLink(config.loaderLink, error))) {
            stop();
            return false;
        }
    }
    server_.reset(new EmuPortServer(&device_, &port_));
    if (!server_->start(error)) {
        stop();
        return false;
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
    loaderServer_.reset();
    port_.close();
    loaderPort_.close();
}

bool EmuServer::isRunning() const
{
    return server_ && server_->isRunning();
}
