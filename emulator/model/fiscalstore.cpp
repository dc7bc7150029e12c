// The state file and its archive journal. The archive only grows and is most of the state, so a
// new document is appended to the journal instead of rewriting every earlier one; the rest of the
// state is small and replaces the file atomically. The file counts the journal's documents, so a
// document appended just before a crash, with the file not yet replaced, is ignored on loading and
// cut off before the next append.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <limits>
#include <unistd.h>

#include "fiscalstate.h"

using namespace fm;

namespace {

constexpr int JournalFormat = 2;

QString fail(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return why;
}

QByteArray journalLine(const ArchiveDoc &a)
{
    return QJsonDocument(archiveDocToJson(a)).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace

struct FiscalModel::Store
{
    QString path;       // kept in after every change; empty: nowhere
    QString journalFor; // the state file whose journal holds the first `documents` of the archive
    int documents = -1; // -1: unknown, the next save writes the journal whole
    qint64 bytes = 0;   // the journal's size up to the end of those documents
    QString error;
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

bool FiscalModel::saveToFile(const QString &path, QString *error)
{
    const QString journal = journalPath(path);
    QSaveFile j(journal);
    qint64 bytes = 0;
    if (j.open(QIODevice::WriteOnly)) {
        for (const ArchiveDoc &a : d->archive) {
            const QByteArray line = journalLine(a);
            if (j.write(line) != line.size())
                break;
            bytes += line.size();
        }
    }
    if (!j.commit()) {
        fail(error, QStringLiteral("%1: %2").arg(journal, j.errorString()));
        return false;
    }
    store_->journalFor = path;
    store_->documents = d->archive.size();
    store_->bytes = bytes;
    return persist(error, path);
}

bool FiscalModel::persist(QString *error, const QString &path)
{
    QJsonObject o = d->toJson(false);
    o[QStringLiteral("format")] = JournalFormat;
    QJsonObject journal;
    journal[QStringLiteral("file")] = QFileInfo(journalPath(path)).fileName();
    journal[QStringLiteral("documents")] = d->archive.size();
    o[QStringLiteral("journal")] = journal;
    QSaveFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(QJsonDocument(o).toJson(QJsonDocument::Indented));
    if (!f.commit()) {
        fail(error, QStringLiteral("%1: %2").arg(path, f.errorString()));
        return false;
    }
    return true;
}

bool FiscalModel::appendAndPersist(QString *error)
{
    Store &s = *store_;
    if (s.journalFor != s.path || s.documents < 0 || s.documents > d->archive.size())
        return saveToFile(s.path, error);

    qint64 bytes = s.bytes;
    QFile j(journalPath(s.path));
    if (s.documents < d->archive.size()) {
        if (!j.open(QIODevice::ReadWrite)) {
            fail(error, QStringLiteral("%1: %2").arg(j.fileName(), j.errorString()));
            return false;
        }
        // A journal shorter than what the file counts was replaced behind our back: write it whole.
        if (j.size() < bytes) {
            j.close();
            return saveToFile(s.path, error);
        }
        // Anything past the counted documents is a tail the state file never took.
        bool good = (j.size() == bytes || j.resize(bytes)) && j.seek(bytes);
        for (int i = s.documents; good && i < d->archive.size(); ++i) {
            const QByteArray line = journalLine(d->archive.at(i));
            good = j.write(line) == line.size();
            bytes += line.size();
        }
        good = good && j.flush() && ::fsync(j.handle()) == 0;
        if (!good) {
            fail(error, QStringLiteral("%1: %2").arg(j.fileName(), j.errorString()));
            if (!j.resize(s.bytes))
                s.documents = -1;
            return false;
        }
    }
    if (!persist(error, s.path)) {
        if (j.isOpen() && !j.resize(s.bytes))
            s.documents = -1;
        return false;
    }
    s.documents = d->archive.size();
    s.bytes = bytes;
    return true;
}

bool FiscalModel::loadFromFile(const QString &path, QString *error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        fail(error, f.errorString());
        return false;
    }
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &pe);
    if (doc.isNull() || !doc.isObject()) {
        fail(error, doc.isNull() ? QStringLiteral("not JSON: %1 at byte %2").arg(pe.errorString()).arg(pe.offset)
                                 : QStringLiteral("not a JSON object"));
        return false;
    }
    const QJsonObject o = doc.object();
    if (!o.contains(QStringLiteral("journal"))) {
        // The single-file form of earlier versions: the first save writes the journal.
        if (!d->fromJson(o, error))
            return false;
        store_->journalFor.clear();
        store_->documents = -1;
        return true;
    }

    const QJsonValue jv = o[QStringLiteral("journal")];
    const QString name = jv.toObject()[QStringLiteral("file")].toString();
    const double count = jv.toObject()[QStringLiteral("documents")].toDouble(-1);
    if (!jv.isObject() || name.isEmpty() || name.contains(QLatin1Char('/')) || count < 0 ||
        count > std::numeric_limits<qint32>::max() || count != qint64(count)) {
        fail(error, QStringLiteral("journal: not {\"file\": NAME, \"documents\": COUNT}"));
        return false;
    }
    const int documents = int(count);
    QFile j(QFileInfo(path).dir().filePath(name));
    if (!j.open(QIODevice::ReadOnly)) {
        fail(error, QStringLiteral("journal: %1: %2").arg(j.fileName(), j.errorString()));
        return false;
    }
    const QByteArray bytes = j.readAll();
    QList<ArchiveDoc> archive;
    archive.reserve(documents);
    int pos = 0;
    for (int i = 0; i < documents; ++i) {
        const int end = bytes.indexOf('\n', pos);
        if (end < 0) {
            fail(error, QStringLiteral("%1: %2 whole documents, the state file counts %3")
                            .arg(j.fileName())
                            .arg(i)
                            .arg(documents));
            return false;
        }
        const QString where = QStringLiteral("%1, line %2").arg(name).arg(i + 1);
        const QJsonDocument line = QJsonDocument::fromJson(bytes.mid(pos, end - pos), &pe);
        ArchiveDoc a;
        if (line.isNull()) {
            fail(error, QStringLiteral("%1: not JSON: %2").arg(where, pe.errorString()));
            return false;
        }
        if (!archiveDocFromJson(line.object(), where, a, error))
            return false;
        archive << a;
        pos = end + 1;
    }
    if (!d->fromJson(o, error, &archive))
        return false;
    store_->journalFor = path;
    store_->documents = documents;
    store_->bytes = pos;
    return true;
}

void FiscalModel::keepStateIn(const QString &path)
{
    store_->path = path;
}

QString FiscalModel::lastSaveError() const
{
    return store_->error;
}

FiscalModel::Result FiscalModel::execute(quint8 command, const QByteArray &payload)
{
    if (store_->path.isEmpty() || !changesState(command))
        return d->execute(command, payload);

    // What the file holds, to go back to when the change cannot be saved. The archive stays out
    // of the copy (it would cost its whole length): a failed command only ever adds to its end.
    QList<ArchiveDoc> archive = std::move(d->archive);
    d->archive = QList<ArchiveDoc>();
    State saved = *d;
    d->archive = std::move(archive);
    const int archived = d->archive.size();

    const Result r = d->execute(command, payload);
    if (d->revision == saved.revision)
        return r;
    QString why;
    if (appendAndPersist(&why)) {
        store_->error.clear();
        return r;
    }
    archive = std::move(d->archive);
    archive.erase(archive.begin() + archived, archive.end());
    saved.executed = d->executed;
    *d = std::move(saved);
    d->archive = std::move(archive);
    store_->error = why;
    return {5, {}};
}
