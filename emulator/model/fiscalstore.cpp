// The state file and its archive journal. The archive only grows and is most of the state, so a
// new document is appended to the journal instead of rewriting every earlier one; the rest of the
// state is small and replaces the file atomically. The file counts the journal's documents and
// bytes, so a document appended just before a crash, with the file not yet replaced, is ignored on
// loading and cut off before the next append.
//
// A change is answered only once both are on the disk: the journal's new lines written whole and
// synced, the state written whole to NAME.tmp, synced, renamed over NAME and the folder synced.
// Anything short of that undoes the change on the disk and in memory (the caller answers 5).
//
// Kept whole, a little over 600 lines: saving and loading read the same counts of the same Store,
// and what one of them writes the other must take back exactly.

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include "fiscalstate.h"
#include "safefile.h"

using namespace fm;

namespace {

constexpr int JournalFormat = 2;
// A state file without its archive is some 20 KB; one of the single-file form holds the archive.
constexpr qint64 MaxStateFile = 256LL << 20;
// More than any line a crash can leave behind.
constexpr qint64 MaxTail = 64LL << 20;

enum StoreFile { JournalFile, StateFile, FolderFile };
enum StoreOp { ShortWrite, Sync };

QString fail(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return why;
}

QString damageText(const QString &why)
{
    return why.isEmpty()
               ? why
               : QStringLiteral("archive damaged (the command is answered with 4, nothing printed): %1").arg(why);
}

// The journal's lines for documents, one each; *lastAt is where the last of them starts.
QByteArray journalLines(const QList<ArchiveDoc> &docs, qint64 *lastAt = nullptr)
{
    QByteArray lines;
    for (const ArchiveDoc &a : docs) {
        if (lastAt)
            *lastAt = lines.size();
        lines += QJsonDocument(archiveDocToJson(a)).toJson(QJsonDocument::Compact) + '\n';
    }
    return lines;
}

QString tempName(const QString &name)
{
    return name + QStringLiteral(".tmp");
}

// Counts the newlines of [from, to) of fd, stopping at `stop` of them; the offset after the last
// one counted.
bool countLines(int fd, qint64 from, qint64 to, qint64 stop, qint64 &lines, qint64 &after, QString *error)
{
    QByteArray buf(1 << 20, '\0');
    lines = 0;
    after = from;
    for (qint64 at = from; at < to && lines < stop;) {
        const ssize_t n = ::pread(fd, buf.data(), size_t(qMin<qint64>(buf.size(), to - at)), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fail(error, safefile::systemError(QStringLiteral("read")));
            return false;
        }
        for (const char *p = buf.constData(), *end = p + n; lines < stop;) {
            p = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
            if (!p)
                break;
            ++p;
            ++lines;
            after = at + (p - buf.constData());
        }
        at += n;
    }
    return true;
}

} // namespace

// Where a store lives: its state file's resolved path, name and folder, and what the file holds.
struct StoreFiles
{
    QString statePath;
    QString name;
    int dirFd = -1;
    QByteArray written; // a save that would write the same writes nothing

    StoreFiles() = default;
    StoreFiles(const StoreFiles &) = delete;
    StoreFiles &operator=(const StoreFiles &) = delete;
    ~StoreFiles() { close(); }

    void close()
    {
        if (dirFd >= 0)
            ::close(dirFd);
        dirFd = -1;
    }

    void take(StoreFiles &other)
    {
        close();
        statePath = other.statePath;
        name = other.name;
        dirFd = other.dirFd;
        written = other.written;
        other.dirFd = -1;
    }

    bool open(const QString &resolved, QString *error)
    {
        close();
        statePath = resolved;
        dirFd = safefile::openFolder(resolved, &name, error);
        return dirFd >= 0;
    }

    QString folderPath() const { return statePath.left(statePath.lastIndexOf(QLatin1Char('/')) + 1); }
    QString journalName() const { return FiscalModel::journalPath(name); }
};

struct FiscalModel::Store
{
    QString keepIn;   // saved after every change; empty: nowhere
    StoreFiles files; // the store the archive's journal belongs to; statePath empty: none
    QString error;
    // A save failed after the new state file was in place and could not be taken back: the disk is
    // ahead of memory, so no change is taken until a restart reads the disk again.
    bool stuck = false;

    // The test seam: the nth write or sync of one file from when it is set fails.
    int faultOp = -1, faultFile = -1, faultNth = 0;
    int seen[2][3] = {};

    bool injected(StoreOp op, StoreFile file)
    {
        return ++seen[op][file] == faultNth && faultOp == op && faultFile == file;
    }

    bool write(StoreFile file, int fd, const QByteArray &data, qint64 offset, QString *why)
    {
        if (injected(ShortWrite, file)) {
            safefile::writeAll(fd, data.left(data.size() / 2), offset, why);
            errno = ENOSPC;
            fail(why, safefile::systemError(QStringLiteral("%1 of %2 bytes written (a fault set for a test)")
                                                .arg(data.size() / 2)
                                                .arg(data.size())));
            return false;
        }
        return safefile::writeAll(fd, data, offset, why);
    }

    bool sync(StoreFile file, int fd, QString *why)
    {
        if (injected(Sync, file)) {
            errno = EIO;
            fail(why, safefile::systemError(QStringLiteral("sync (a fault set for a test)")));
            return false;
        }
        if ((file == FolderFile ? ::fsync(fd) : ::fdatasync(fd)) != 0) {
            fail(why, safefile::systemError(QStringLiteral("sync")));
            return false;
        }
        return true;
    }

    // Writes `text` to NAME.tmp, syncs it and renames it over NAME; the folder is synced after.
    bool writeState(const StoreFiles &f, const QByteArray &text, QString *why)
    {
        const QString tmp = tempName(f.name);
        const QByteArray tmpLocal = QFile::encodeName(tmp);
        ::unlinkat(f.dirFd, tmpLocal.constData(), 0);
        QString e;
        const int fd = safefile::openRegularAt(f.dirFd, tmp, O_WRONLY | O_CREAT | O_EXCL, &e);
        bool good = fd >= 0 && write(StateFile, fd, text, 0, &e) && sync(StateFile, fd, &e);
        if (fd >= 0)
            ::close(fd);
        if (good && ::renameat(f.dirFd, tmpLocal.constData(), f.dirFd, QFile::encodeName(f.name).constData()) != 0) {
            e = safefile::systemError(QStringLiteral("rename %1").arg(tmp));
            good = false;
        }
        if (!good) {
            ::unlinkat(f.dirFd, tmpLocal.constData(), 0);
            fail(why, QStringLiteral("%1: %2").arg(f.folderPath() + f.name, e));
        }
        return good;
    }

    bool syncFolder(const StoreFiles &f, QString *why)
    {
        QString e;
        if (sync(FolderFile, f.dirFd, &e))
            return true;
        fail(why, QStringLiteral("%1: %2").arg(f.folderPath(), e));
        return false;
    }
};

FiscalModel::FiscalModel() : d(new State), store_(new Store)
{}

FiscalModel::~FiscalModel()
{
    delete d;
}

QString FiscalModel::journalPath(const QString &statePath)
{
    return statePath + QStringLiteral(".journal");
}

QByteArray FiscalModel::stateText(const QString &name, int documents, qint64 bytes) const
{
    QJsonObject o = d->toJson(false);
    o[QStringLiteral("format")] = JournalFormat;
    QJsonObject journal;
    journal[QStringLiteral("file")] = QFileInfo(journalPath(name)).fileName();
    journal[QStringLiteral("documents")] = documents;
    journal[QStringLiteral("bytes")] = double(bytes);
    o[QStringLiteral("journal")] = journal;
    return QJsonDocument(o).toJson(QJsonDocument::Indented);
}

bool FiscalModel::createStore(const QString &path, QString *error)
{
    QString resolved, name;
    if (!safefile::resolve(path, &resolved, error))
        return false;
    struct stat st;
    const QString journal = journalPath(resolved);
    if (::lstat(QFile::encodeName(journal).constData(), &st) == 0 && (!S_ISREG(st.st_mode) || st.st_size > 0)) {
        fail(error, QStringLiteral("its journal %1 (%2 bytes) is there, but the state file is not: a journal is not "
                                   "taken without its state, and is left as it is. Put the state file back, or move "
                                   "the journal away to start from a preset (a first start stopped before it had "
                                   "written the state leaves such a journal; no document of it was ever answered)")
                        .arg(journal)
                        .arg(st.st_size));
        return false;
    }
    return wholeSave(resolved, error);
}

bool FiscalModel::saveToFile(const QString &path, QString *error)
{
    QString resolved;
    if (!safefile::resolve(path, &resolved, error))
        return false;
    if (resolved == store_->files.statePath && d->archive.hasJournal() && !store_->stuck)
        return commit(error);
    return wholeSave(resolved, error);
}

bool FiscalModel::wholeSave(const QString &resolved, QString *error)
{
    // The journal (the saved part of the one held, as it is, then the documents in memory) under
    // NAME.journal.tmp, synced and renamed into place; then the state as in every save.
    StoreFiles next;
    if (!next.open(resolved, error))
        return false;
    Store &s = *store_;
    const QString journalTmp = tempName(next.journalName());
    const QByteArray journalTmpLocal = QFile::encodeName(journalTmp);
    ::unlinkat(next.dirFd, journalTmpLocal.constData(), 0);
    QString why;
    const int fd = safefile::openRegularAt(next.dirFd, journalTmp, O_RDWR | O_CREAT | O_EXCL, &why);
    qint64 bytes = 0;
    bool good = fd >= 0;
    const int from = d->archive.journalFd();
    for (const qint64 end = d->archive.journalBytes(); good && bytes < end;) {
        QByteArray chunk(int(qMin<qint64>(1 << 20, end - bytes)), '\0');
        const ssize_t n = ::pread(from, chunk.data(), size_t(chunk.size()), bytes);
        if (n <= 0) {
            why = safefile::systemError(QStringLiteral("read %1").arg(d->archive.journalPath()));
            good = false;
            break;
        }
        chunk.truncate(int(n));
        good = s.write(JournalFile, fd, chunk, bytes, &why);
        bytes += n;
    }
    const QByteArray lines = journalLines(d->archive.inMemory());
    good = good && s.write(JournalFile, fd, lines, bytes, &why) && s.sync(JournalFile, fd, &why);
    bytes += lines.size();
    if (good && ::renameat(next.dirFd, journalTmpLocal.constData(), next.dirFd,
                           QFile::encodeName(next.journalName()).constData()) != 0) {
        why = safefile::systemError(QStringLiteral("rename"));
        good = false;
    }
    if (good && !safefile::lockWhole(fd)) {
        why = QStringLiteral("in use by another virta-emulator");
        good = false;
    }
    if (!good) {
        if (fd >= 0)
            ::close(fd);
        ::unlinkat(next.dirFd, journalTmpLocal.constData(), 0);
        fail(error, QStringLiteral("%1: %2").arg(next.folderPath() + journalTmp, why));
        return false;
    }
    const int documents = d->archive.size();
    const QByteArray text = stateText(next.name, documents, bytes);
    Archive journal;
    if (!Archive::openJournal(fd, journalPath(resolved), documents, bytes, journal, &why) ||
        !s.writeState(next, text, &why) || !s.syncFolder(next, &why)) {
        fail(error, why);
        return false;
    }
    d->archive.replaceWith(std::move(journal));
    next.written = text;
    s.files.take(next);
    s.stuck = false;
    return true;
}

bool FiscalModel::commit(QString *error)
{
    Store &s = *store_;
    const StoreFiles &f = s.files;
    Archive &archive = d->archive;
    const int fd = archive.journalFd();
    const qint64 from = archive.journalBytes();

    // The journal must still be the file held: one moved, removed or replaced meanwhile is written
    // again whole from what is held.
    struct stat held, there;
    if (::fstat(fd, &held) != 0 ||
        ::fstatat(f.dirFd, QFile::encodeName(f.journalName()).constData(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
        held.st_ino != there.st_ino || held.st_dev != there.st_dev) {
        QString why;
        if (wholeSave(f.statePath, &why))
            return true;
        fail(error, why + QStringLiteral(" (its journal was moved or replaced while the emulator ran)"));
        return false;
    }

    qint64 lastAt = 0;
    const QByteArray lines = journalLines(archive.inMemory(), &lastAt);
    const auto cutBack = [&] {
        // What the state does not count is cut off before the next append anyway.
        if (!lines.isEmpty() && ::ftruncate(fd, from) == 0)
            ::fdatasync(fd);
    };
    QString why;
    // A line a crash left after the counted ones goes first, so that no new line follows it.
    if (!lines.isEmpty() && ((held.st_size != from && ::ftruncate(fd, from) != 0) ||
                             !s.write(JournalFile, fd, lines, from, &why) || !s.sync(JournalFile, fd, &why))) {
        cutBack();
        fail(error, QStringLiteral("%1: %2").arg(archive.journalPath(), why));
        return false;
    }
    const QByteArray text = stateText(f.name, archive.size(), from + lines.size());
    if (text != f.written) {
        if (!s.writeState(f, text, &why)) {
            cutBack();
            fail(error, why);
            return false;
        }
        if (!s.syncFolder(f, &why)) {
            // The new file may not outlive a power cut. Put the old one back, so that the disk
            // holds what the register answers (5: not made).
            QString again;
            if (s.writeState(f, f.written, &again) && s.syncFolder(f, &again))
                cutBack();
            else
                s.stuck = true;
            fail(error, why);
            return false;
        }
    }
    archive.saved(from + lastAt, from + lines.size());
    s.files.written = text;
    return true;
}

bool FiscalModel::loadFromFile(const QString &path, QString *error)
{
    QString resolved, why;
    StoreFiles next;
    if (!safefile::resolve(path, &resolved, error) || !next.open(resolved, error))
        return false;
    // What a crash left half made is never taken, and not left lying about either.
    ::unlinkat(next.dirFd, QFile::encodeName(tempName(next.name)).constData(), 0);
    ::unlinkat(next.dirFd, QFile::encodeName(tempName(next.journalName())).constData(), 0);

    struct stat st;
    const int sfd = safefile::openRegularAt(next.dirFd, next.name, O_RDONLY, &why, &st);
    if (sfd < 0) {
        fail(error, why);
        return false;
    }
    QFile f;
    if (st.st_nlink != 1)
        why = QStringLiteral("it has %1 names (hard links): one register, one state file").arg(st.st_nlink);
    else if (st.st_size > MaxStateFile)
        why = QStringLiteral("%1 bytes, more than a state file holds").arg(st.st_size);
    else if (!f.open(sfd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle) ||
             (next.written = f.readAll()).size() != st.st_size)
        why = QStringLiteral("cannot read it whole");
    if (!f.isOpen())
        ::close(sfd);
    f.close();
    QJsonObject o;
    if (!why.isEmpty() || !parseJsonObject(next.written, o, &why)) {
        fail(error, why);
        return false;
    }

    const QJsonValue jv = o.value(QStringLiteral("journal"));
    const QJsonObject j = jv.toObject();
    const QString named = j[QStringLiteral("file")].toString();
    const double count = j[QStringLiteral("documents")].toDouble(-1);
    const QJsonValue bv = j[QStringLiteral("bytes")];
    const double counted = bv.isUndefined() ? 0 : bv.toDouble(-1);
    if (!jv.isUndefined() && (!jv.isObject() || named.isEmpty() || named.contains(QLatin1Char('/')) || count < 0 ||
                              count > std::numeric_limits<qint32>::max() || count != qint64(count) || counted < 0 ||
                              counted > double(1LL << 53) || counted != qint64(counted) ||
                              (!bv.isUndefined() && (count == 0) != (counted == 0)))) {
        fail(error, QStringLiteral("journal: not {\"file\": NAME, \"documents\": COUNT, \"bytes\": LENGTH}"));
        return false;
    }
    const int documents = int(count);
    const QString journal = journalPath(resolved);
    // The journal is NAME.journal whatever the file says: one that names another file still there
    // would split the archive between two.
    struct stat other;
    if (!jv.isUndefined() && named != next.journalName() &&
        ::fstatat(next.dirFd, QFile::encodeName(named).constData(), &other, AT_SYMLINK_NOFOLLOW) == 0) {
        fail(error, QStringLiteral("it names %1 as its journal, but the journal of %2 is %3: rename that file to %3 "
                                   "(the archive is never taken from two files)")
                        .arg(next.folderPath() + named, resolved, journal));
        return false;
    }
    struct stat js;
    const int jfd = jv.isUndefined() ? -1 : safefile::openRegularAt(next.dirFd, next.journalName(), O_RDWR, &why, &js);
    if (jfd < 0 && (jv.isUndefined() || (errno == ENOENT && documents == 0))) {
        // The single-file form of earlier versions (archive inside), or a journal with no document
        // yet: the first change writes the journal whole.
        // The archive's first and last documents are checked at start, as a journal's are.
        const QJsonArray archive = o.value(QStringLiteral("archive")).toArray();
        for (const int i : {0, int(archive.size()) - 1}) {
            ArchiveDoc end;
            const QString at = QStringLiteral("archive[%1]").arg(i);
            if (i >= 0 && archiveDocFromJson(archive.at(i), at, end, &why) && !signHolds(end, &why)) {
                fail(error, QStringLiteral("%1: %2").arg(at, why));
                return false;
            }
        }
        const Archive none;
        if (!d->fromJson(o, error, jv.isUndefined() ? nullptr : &none))
            return false;
        store_->files.take(next);
        store_->files.statePath.clear();
        store_->stuck = false;
        return true;
    }
    if (jfd < 0) {
        fail(error, QStringLiteral("it counts %1 documents in its journal, which cannot be opened: %2")
                        .arg(documents)
                        .arg(next.folderPath() + why));
        return false;
    }
    const auto refuse = [&](const QString &what) {
        ::close(jfd);
        fail(error, QStringLiteral("%1: %2").arg(journal, what));
        return false;
    };
    if (js.st_nlink != 1)
        return refuse(QStringLiteral("it has %1 names (hard links): one register, one journal").arg(js.st_nlink));
    if (!safefile::lockWhole(jfd))
        return refuse(QStringLiteral("in use by another virta-emulator"));

    qint64 end = qint64(counted);
    if (bv.isUndefined()) {
        // An earlier version counted documents only: find where they end, once.
        qint64 lines = 0;
        if (!countLines(jfd, 0, js.st_size, documents, lines, end, &why))
            return refuse(why);
        if (lines < documents)
            return refuse(QStringLiteral("%1 whole documents, %2 counts %3").arg(lines).arg(resolved).arg(documents));
    }
    if (end > js.st_size)
        return refuse(QStringLiteral("%1 bytes, %2 counts %3 documents in its first %4 bytes")
                          .arg(js.st_size)
                          .arg(resolved)
                          .arg(documents)
                          .arg(end));
    // A crash leaves at most one line the state does not count, whole or torn; more is no crash.
    qint64 extra = 0, after = 0;
    if (js.st_size - end > MaxTail || !countLines(jfd, end, js.st_size, 2, extra, after, &why) || extra > 1 ||
        (extra == 1 && after != js.st_size))
        return refuse(QStringLiteral("%1 bytes past the %2 documents %3 counts, more than the one line a crash "
                                     "leaves behind; refused, both files left as they are")
                          .arg(js.st_size - end)
                          .arg(documents)
                          .arg(resolved));
    char last = '\n';
    if (end > 0 && (::pread(jfd, &last, 1, end - 1) != 1 || last != '\n'))
        return refuse(QStringLiteral("the %1 documents %2 counts do not end with a whole line at byte %3")
                          .arg(documents)
                          .arg(resolved)
                          .arg(end));
    Archive archive;
    if (!Archive::openJournal(jfd, journal, documents, end, archive, &why)) {
        fail(error, why);
        return false;
    }
    if (!d->fromJson(o, &why, &archive)) {
        fail(error, documents > 0 && why.startsWith(QLatin1String("lastDocument.number"))
                        ? QStringLiteral("%1 (its journal %2 ends with document %3)")
                              .arg(why, journal)
                              .arg(archive.lastNumber())
                        : why);
        return false;
    }
    store_->files.take(next);
    store_->stuck = false;
    return true;
}

void FiscalModel::keepStateIn(const QString &path)
{
    QString resolved, why;
    store_->keepIn = path.isEmpty() || !safefile::resolve(path, &resolved, &why) ? path : resolved;
}

QString FiscalModel::lastStoreError() const
{
    return store_->error;
}

bool FiscalModel::failStoreForTests(const QString &spec, QString *error)
{
    const QStringList parts = spec.split(QLatin1Char(':'));
    static const QStringList ops = {QStringLiteral("short-write"), QStringLiteral("sync")};
    static const QStringList files = {QStringLiteral("journal"), QStringLiteral("state"), QStringLiteral("folder")};
    bool good = parts.size() == 3;
    const int nth = good ? parts.at(2).toInt(&good) : 0;
    const int op = good ? ops.indexOf(parts.at(0)) : -1;
    const int file = good ? files.indexOf(parts.at(1)) : -1;
    if (!good || nth < 1 || op < 0 || file < 0 || (op == ShortWrite && file == FolderFile)) {
        fail(error,
             QStringLiteral("\"%1\" is not short-write:journal|state:N or sync:journal|state|folder:N").arg(spec));
        return false;
    }
    store_->faultOp = op;
    store_->faultFile = file;
    store_->faultNth = nth;
    std::fill(&store_->seen[0][0], &store_->seen[0][0] + 6, 0);
    return true;
}

FiscalModel::Result FiscalModel::execute(quint8 command, const QByteArray &payload)
{
    if (store_->keepIn.isEmpty() || !changesState(command)) {
        const Result r = d->execute(command, payload);
        store_->error = damageText(d->archiveTrouble);
        return r;
    }

    // What the file holds, to go back to when the change cannot be saved. The archive's documents
    // are on the disk, shared and not copied; a failed command only ever adds to its end.
    State saved = *d;
    const Result r = d->execute(command, payload);
    if (d->revision == saved.revision) {
        store_->error = damageText(d->archiveTrouble);
        return r;
    }
    QString why = QStringLiteral("an earlier save could not be taken back on the disk, which is ahead of the "
                                 "register now; restart the emulator to go on from what the disk holds");
    if (!store_->stuck && save(&why)) {
        store_->error.clear();
        return r;
    }
    saved.executed = d->executed;
    *d = std::move(saved);
    store_->error = QStringLiteral("cannot save state (the command is answered with 5 and undone): %1").arg(why);
    return {5, {}};
}

bool FiscalModel::save(QString *error)
{
    Store &s = *store_;
    if (s.keepIn == s.files.statePath && d->archive.hasJournal())
        return commit(error);
    return wholeSave(s.keepIn, error);
}
