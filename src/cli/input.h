#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// Files, pipes and standard input read the way the console reads them: in pieces, never holding
// the program once a stop signal has come, and never more than a command can use.
namespace cliinput {

enum class Accept {
    AnyStream,   // a file, a pipe, a FIFO, a terminal: whatever can be read
    RegularFile, // a file of the file system only: a FIFO or a device is refused at once
};

// `path` as a message names it: "-" is standard input.
QString shownName(const QString &path);

// Reads `path` ("-": standard input) piece by piece into `piece` until its end, a stop signal,
// or `piece` returning false. The result is an exit status: 0, 66 (cannot be read, or not a
// regular file where one is asked for), 65 (larger than `maxBytes`, when not 0), or 128 + the
// stop signal. Every refusal has been said on stderr, with the path.
int read(const QString &path, Accept accept, qint64 maxBytes, const std::function<bool(const QByteArray &)> &piece);

// The whole of `path`, under the same rules.
int readAll(const QString &path, Accept accept, qint64 maxBytes, QByteArray *bytes);

} // namespace cliinput
