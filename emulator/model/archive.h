#pragma once

// The register's archive: its fiscal documents in the order of their numbers. A register without a
// state file keeps them all in memory; with one, they live in the journal file, one document a
// line, and only those made since the last save are in memory. Nothing reads the whole journal:
// a document is found by interpolation over the byte offsets of its lines (numbers, times and
// shifts only rise), read when it is asked for, and checked against its fiscal sign then.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

namespace fm {

// One fiscal document as kept in the archive: enough to print a copy and to build reports.
struct ArchiveDoc
{
    qint32 number = 0;
    quint8 type = 0;
    quint32 time = 0;
    quint32 sign = 0;
    qint32 shift = 0;
    quint8 receiptType = 0;
    qint64 total = 0;
    qint64 cash = 0;
    qint64 card = 0;
    QStringList lines;
};

// The fiscal sign of a document: CRC-32 of its number, type and time and of its first `count`
// printed lines, those above the line that prints the sign.
quint32 documentSign(const ArchiveDoc &doc, int count);
// The document is what was signed: its sign holds over its lines, and the two lines under them
// print its number, that sign and its time. *why says what does not hold.
bool signHolds(const ArchiveDoc &doc, QString *why);

class Archive
{
public:
    enum Key { Number, Time, Shift };
    enum Status { Found, Damaged };
    // A document that is not what was signed, or a journal line that is no document.
    struct Damage
    {
        qint32 number = 0; // 0 when not even its number can be read
        QString why;
    };

    Archive();
    ~Archive();
    Archive(const Archive &);
    Archive &operator=(const Archive &);
    Archive(Archive &&) noexcept;
    Archive &operator=(Archive &&) noexcept;

    // The journal in file descriptor fd (taken over, closed with the last copy) of which the first
    // `bytes` bytes hold `documents` whole lines. Its first and last documents are read and checked
    // against their signs; false with *why otherwise, fd then closed.
    static bool openJournal(int fd, const QString &path, int documents, qint64 bytes, Archive &out, QString *why);

    int size() const;
    bool isEmpty() const { return size() == 0; }
    qint32 firstNumber() const; // 0 when empty
    qint32 lastNumber() const;

    // A new document, in memory until the store has written it to the journal (saved()).
    ArchiveDoc &append(const ArchiveDoc &doc);
    // The documents not in the journal: all of them when there is none.
    const QList<ArchiveDoc> &inMemory() const { return docs_; }
    bool hasJournal() const { return bool(journal_); }
    int journalFd() const;
    QString journalPath() const;
    qint64 journalBytes() const;
    // The documents in memory were written to the journal, whose saved part now ends at `bytes`,
    // the last of them in the line starting at `lastStart`.
    void saved(qint64 lastStart, qint64 bytes);
    // The journal now holds every document: this one, opened by openJournal.
    void replaceWith(Archive &&journal);

    // Positions run from 0 to end(): byte offsets into the journal, then, from journalBytes() on,
    // journalBytes() plus the index of a document in memory.
    qint64 end() const;
    // The position of the first document whose key is `value` or more (end() when none).
    Status seek(Key key, qint64 value, qint64 &pos, Damage &damage) const;
    // The document at pos, checked against its sign; pos moves to the next one.
    Status read(qint64 &pos, ArchiveDoc &doc, Damage &damage) const;
    // The number of the document at pos, not checked (where a control tape goes on from).
    Status numberAt(qint64 pos, qint32 &number, Damage &damage) const;

private:
    struct Journal;
    std::shared_ptr<Journal> journal_;
    QList<ArchiveDoc> docs_;
};

} // namespace fm
