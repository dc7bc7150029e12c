#pragma once

// Files the emulator keeps (state, journal, tape, locks) may sit in a folder other users can write,
// such as /tmp. They are reached through descriptors and never through someone else's link, and
// what the emulator creates is readable by its own user only: the state holds every cashier's
// password.

#include <QByteArray>
#include <QString>

struct stat;

namespace safefile {

// "what: <the system's text for errno>".
QString systemError(const QString &what);

// The absolute path of `path` with every symbolic link resolved (in the folders too), following
// only links owned by this user or by root; a link of another user is refused, naming it. The last
// component need not exist (a file about to be made).
bool resolve(const QString &path, QString *resolved, QString *error);

// Opens the folder of a resolved path (without following a link) and gives the file's name in it.
int openFolder(const QString &resolved, QString *name, QString *error);

// Opens `name` in the folder dirFd without following a link and without waiting on a FIFO; with
// O_CREAT in flags a new file is made 0600. Anything but a regular file is refused (and closed).
// *st, when given, is what the file is.
int openRegularAt(int dirFd, const QString &name, int flags, QString *error, struct stat *st = nullptr);

// All of data at offset (at the file position when -1), going on after a partial write; a write
// that stops short is a failure, with *error saying why.
bool writeAll(int fd, const QByteArray &data, qint64 offset, QString *error);

// A write lock of this process on the whole file, refused while another process holds one. A
// record lock, not flock: two opens of the same file by one process (a test loading what it saved)
// do not shut each other out.
bool lockWhole(int fd);

} // namespace safefile
