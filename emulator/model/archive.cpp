// The archive and its journal file. A journal line is read with pread at its byte offset; finding
// a document by its number, time or shift takes a handful of such reads whatever the journal's
// length, because the keys only rise and the lines of one register are of similar length.

#include "archive.h"

#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <unistd.h>

#include "fiscalstate.h"

using namespace fm;

namespace {

// No document of the register comes near this; a longer "line" is damage, not a document.
constexpr qint64 MaxLine = 64LL << 20;
constexpr qint64 Chunk = 4096;
constexpr std::size_t MaxSeen = 4096;

const char *const KeyNames[] = {"\"number\":", "\"time\":", "\"shift\":"};

// The whole-number value of a key in a journal line, as written there (compact JSON). A key cannot
// appear inside a text: its quotes would be escaped.
bool keyValue(const QByteArray &line, Archive::Key key, qint64 &value)
{
    const QByteArray name(KeyNames[key]);
    int i = line.indexOf(name);
    if (i < 0)
        return false;
    i += name.size();
    while (i < line.size() && line.at(i) == ' ')
        ++i;
    const bool negative = i < line.size() && line.at(i) == '-';
    if (negative)
        ++i;
    qint64 v = 0;
    int digits = 0;
    for (; i < line.size() && line.at(i) >= '0' && line.at(i) <= '9' && digits < 16; ++i, ++digits)
        v = v * 10 + (line.at(i) - '0');
    if (digits == 0 || digits == 16 || (i < line.size() && (line.at(i) == '.' || line.at(i) == 'e')))
        return false;
    value = negative ? -v : v;
    return true;
}

qint64 keyOf(const ArchiveDoc &doc, Archive::Key key)
{
    return key == Archive::Number ? doc.number : key == Archive::Time ? qint64(doc.time) : doc.shift;
}

} // namespace

namespace fm {

quint32 documentSign(const ArchiveDoc &a, int count)
{
    return crc32(QStringLiteral("%1|%2|%3|").arg(a.number).arg(a.type).arg(a.time).toUtf8() +
                 a.lines.mid(0, count).join(QLatin1Char('\n')).toUtf8());
}

bool signHolds(const ArchiveDoc &a, QString *why)
{
    const int n = a.lines.size();
    const auto fail = [why](const QString &what) {
        if (why)
            *why = what;
        return false;
    };
    if (n < 3)
        return fail(QStringLiteral("document %1 has no printed body to hold a sign").arg(a.number));
    if (documentSign(a, n - 2) != a.sign)
        return fail(
            QStringLiteral("document %1 is not what its fiscal sign %2 was given to").arg(a.number).arg(a.sign));
    const QStringList printed = a.lines.at(n - 2).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QStringList expected = {QStringLiteral("ФД"), QString::number(a.number), QStringLiteral("ФП"),
                                  QString::number(a.sign)};
    if (printed != expected || a.lines.at(n - 1) != formatDeviceTime(a.time))
        return fail(QStringLiteral("document %1 does not print its own number, sign and time").arg(a.number));
    return true;
}

} // namespace fm

// ---------------------------------------------------------------------------------------------
// The journal file

struct Archive::Journal
{
    int fd = -1;
    QString path;
    qint64 bytes = 0;  // the saved part: whole lines only
    int documents = 0; // lines in the saved part
    qint64 lastStart = 0;
    qint64 first[3] = {};
    qint64 last[3] = {};
    // Where the lines met by searches for a number start and end, by their numbers.
    struct Seen
    {
        qint64 start;
        qint64 next;
    };
    mutable std::map<qint64, Seen> seen;
    mutable qint64 cachedStart = -1;
    mutable QByteArray cachedLine;
    mutable qint64 cachedNext = 0;

    ~Journal()
    {
        if (fd >= 0)
            ::close(fd);
    }

    Damage damage(qint64 offset, const QString &what, qint32 number = 0) const
    {
        return {number, QStringLiteral("%1, line at byte %2: %3").arg(path).arg(offset).arg(what)};
    }

    // Reads up to size bytes at offset (fewer at the end of the saved part).
    bool readAt(qint64 offset, qint64 size, QByteArray &out, Damage &d) const
    {
        size = qMin(size, bytes - offset);
        out.resize(int(qMax<qint64>(0, size)));
        qint64 done = 0;
        while (done < size) {
            const ssize_t n = ::pread(fd, out.data() + done, size_t(size - done), offset + done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                d = damage(offset, n < 0 ? QString::fromLocal8Bit(std::strerror(errno))
                                         : QStringLiteral("the file ends before its saved part"));
                return false;
            }
            done += n;
        }
        return true;
    }

    // The first line starting at pos or later (bytes when none).
    bool lineStartFrom(qint64 pos, qint64 &start, Damage &d) const
    {
        if (pos <= 0) {
            start = 0;
            return true;
        }
        QByteArray buf;
        for (qint64 at = pos - 1; at < bytes; at += Chunk) {
            if (!readAt(at, Chunk, buf, d))
                return false;
            const int nl = buf.indexOf('\n');
            if (nl >= 0) {
                start = at + nl + 1;
                return true;
            }
            if (at - pos > MaxLine) {
                d = damage(pos, QStringLiteral("no line ends within %1 bytes").arg(MaxLine));
                return false;
            }
        }
        start = bytes;
        return true;
    }

    // The line at start (a line start below bytes), without its newline, and where the next begins.
    bool line(qint64 start, QByteArray &out, qint64 &next, Damage &d) const
    {
        // A copy reads the line its search ended on once more: keep the last one.
        if (start == cachedStart && !cachedLine.isNull()) {
            out = cachedLine;
            next = cachedNext;
            return true;
        }
        out.clear();
        QByteArray buf;
        for (qint64 at = start; at < bytes; at += buf.size()) {
            if (!readAt(at, qMax(Chunk, qint64(out.size())), buf, d))
                return false;
            const int nl = buf.indexOf('\n');
            if (nl >= 0) {
                out += buf.left(nl);
                next = at + nl + 1;
                remember(start, out, next);
                return true;
            }
            out += buf;
            if (out.size() > MaxLine)
                break;
        }
        d = damage(start, QStringLiteral("no whole line"));
        return false;
    }

    void remember(qint64 start, const QByteArray &text, qint64 next) const
    {
        cachedStart = start;
        cachedLine = text;
        cachedNext = next;
    }

    // The first line starting at pos or later and below top, read whole: one read where the lines
    // are of the usual length. False with start at top or past it when there is none.
    bool probeLine(qint64 pos, qint64 top, qint64 &start, QByteArray &text, qint64 &next, Damage &d) const
    {
        QByteArray buf;
        const qint64 from = qMax<qint64>(0, pos - 1);
        if (!readAt(from, Chunk, buf, d))
            return false;
        const int nl = pos == 0 ? -1 : buf.indexOf('\n');
        if (pos > 0 && nl < 0)
            return lineStartFrom(pos, start, d) && (start >= top || line(start, text, next, d));
        start = pos == 0 ? 0 : from + nl + 1;
        if (start >= top)
            return true;
        const int end = buf.indexOf('\n', int(start - from));
        if (end < 0)
            return line(start, text, next, d);
        text = buf.mid(int(start - from), int(end - (start - from)));
        next = from + end + 1;
        remember(start, text, next);
        return true;
    }

    // The start of the line whose newline is at end - 1.
    bool lineStartBefore(qint64 end, qint64 &start, Damage &d) const
    {
        QByteArray buf;
        for (qint64 to = end - 1; to > 0;) {
            const qint64 from = qMax<qint64>(0, to - Chunk);
            if (!readAt(from, to - from, buf, d))
                return false;
            const int nl = buf.lastIndexOf('\n');
            if (nl >= 0) {
                start = from + nl + 1;
                return true;
            }
            if (end - from > MaxLine) {
                d = damage(from, QStringLiteral("no line ends within %1 bytes").arg(MaxLine));
                return false;
            }
            to = from;
        }
        start = 0;
        return true;
    }

    bool document(qint64 start, ArchiveDoc &doc, qint64 &next, Damage &d) const
    {
        QByteArray text;
        if (!line(start, text, next, d))
            return false;
        qint64 number = 0;
        const qint32 named = keyValue(text, Number, number) ? qint32(number) : 0;
        QJsonObject object;
        QString why;
        const QString where = QStringLiteral("%1, line at byte %2").arg(path).arg(start);
        if (!parseJsonObject(text, object, &why) || !archiveDocFromJson(object, where, doc, &why)) {
            d = {named, why.startsWith(where) ? why : QStringLiteral("%1: %2").arg(where, why)};
            return false;
        }
        if (!signHolds(doc, &why)) {
            d = {doc.number, QStringLiteral("%1: %2").arg(where, why)};
            return false;
        }
        return true;
    }

    bool keysOf(qint64 start, qint64 (&keys)[3], qint64 *next, Damage &d) const
    {
        ArchiveDoc doc;
        qint64 after = 0;
        if (!document(start, doc, after, d))
            return false;
        for (int k = Number; k <= Shift; ++k)
            keys[k] = keyOf(doc, Key(k));
        if (next)
            *next = after;
        return true;
    }

    // The first line whose key is v or more: interpolation on the byte offsets, every other probe
    // halving the range once the first few did not land, so a journal of odd line lengths still
    // takes no more than twice the probes of a bisection.
    bool seek(Key key, qint64 v, qint64 &pos, Damage &d) const
    {
        if (documents == 0 || v <= first[key]) {
            pos = 0;
            return true;
        }
        if (v > last[key]) {
            pos = bytes;
            return true;
        }
        qint64 lo = 0, klo = first[key];        // every line before lo has a key below v
        qint64 hi = lastStart, khi = last[key]; // the line at hi has a key of v or more
        if (key == Number && v == khi) {
            pos = hi;
            return true;
        }
        if (key == Number && !seen.empty()) {
            // The nearest lines met by earlier searches narrow this one from the start.
            const auto above = seen.lower_bound(v);
            if (above != seen.end()) {
                hi = above->second.start;
                khi = above->first;
                if (khi == v) {
                    pos = hi;
                    return true;
                }
            }
            if (above != seen.begin()) {
                lo = std::prev(above)->second.next;
                klo = std::prev(above)->first + 1;
            }
        }
        qint64 top = hi; // line starts are looked for below top
        QByteArray text;
        for (int probe = 0; lo < top; ++probe) {
            qint64 p = lo + (top - lo) / 2;
            if ((probe < 3 || probe % 2 == 0) && khi > klo)
                p = lo + qint64(double(v - klo) / double(khi - klo) * double(top - lo));
            p = qBound(lo, p, top - 1);
            qint64 s = 0, next = 0, k = 0;
            if (!probeLine(p, top, s, text, next, d))
                return false;
            if (s >= top) {
                top = p;
                continue;
            }
            if (!keyValue(text, key, k)) {
                qint64 n = 0;
                d = damage(s, QStringLiteral("not a document"), keyValue(text, Number, n) ? qint32(n) : 0);
                return false;
            }
            // Between two lines whose keys are known, a key outside them is a line out of its place.
            if (k < klo || k > khi) {
                qint64 n = 0;
                d = damage(s,
                           QStringLiteral("out of order (%1 %2 between %3 and %4)")
                               .arg(QLatin1String(KeyNames[key]).mid(1, qstrlen(KeyNames[key]) - 3))
                               .arg(k)
                               .arg(klo)
                               .arg(khi),
                           keyValue(text, Number, n) ? qint32(n) : 0);
                return false;
            }
            if (key == Number) {
                // Bounded: a long session's searches do not grow the memory the archive takes.
                if (seen.size() >= MaxSeen)
                    seen.clear();
                seen[k] = {s, next};
            }
            if (k >= v) {
                hi = s;
                khi = k;
                top = s;
                if (key == Number && k == v)
                    break;
            } else {
                lo = next;
                klo = key == Number ? k + 1 : k;
            }
        }
        pos = hi;
        return true;
    }
};

// ---------------------------------------------------------------------------------------------
// Archive

Archive::Archive() = default;
Archive::~Archive() = default;
Archive::Archive(const Archive &) = default;
Archive &Archive::operator=(const Archive &) = default;
Archive::Archive(Archive &&) noexcept = default;
Archive &Archive::operator=(Archive &&) noexcept = default;

bool Archive::openJournal(int fd, const QString &path, int documents, qint64 bytes, Archive &out, QString *why)
{
    auto j = std::make_shared<Journal>();
    j->fd = fd;
    j->path = path;
    j->bytes = bytes;
    j->documents = documents;
    Damage d;
    if (documents > 0 && (!j->lineStartBefore(bytes, j->lastStart, d) || !j->keysOf(0, j->first, nullptr, d) ||
                          !j->keysOf(j->lastStart, j->last, nullptr, d))) {
        if (why)
            *why = d.why;
        return false;
    }
    out.journal_ = std::move(j);
    out.docs_.clear();
    return true;
}

int Archive::size() const
{
    return (journal_ ? journal_->documents : 0) + docs_.size();
}

qint32 Archive::firstNumber() const
{
    if (journal_ && journal_->documents > 0)
        return qint32(journal_->first[Number]);
    return docs_.isEmpty() ? 0 : docs_.first().number;
}

qint32 Archive::lastNumber() const
{
    if (!docs_.isEmpty())
        return docs_.last().number;
    return journal_ && journal_->documents > 0 ? qint32(journal_->last[Number]) : 0;
}

ArchiveDoc &Archive::append(const ArchiveDoc &doc)
{
    docs_.append(doc);
    return docs_.last();
}

int Archive::journalFd() const
{
    return journal_ ? journal_->fd : -1;
}

QString Archive::journalPath() const
{
    return journal_ ? journal_->path : QString();
}

qint64 Archive::journalBytes() const
{
    return journal_ ? journal_->bytes : 0;
}

void Archive::saved(qint64 lastStart, qint64 bytes)
{
    if (!journal_ || docs_.isEmpty())
        return;
    Journal &j = *journal_;
    if (j.documents == 0)
        for (int k = Number; k <= Shift; ++k)
            j.first[k] = keyOf(docs_.first(), Key(k));
    for (int k = Number; k <= Shift; ++k)
        j.last[k] = keyOf(docs_.last(), Key(k));
    j.bytes = bytes;
    j.lastStart = lastStart;
    j.documents += docs_.size();
    docs_.clear();
}

void Archive::replaceWith(Archive &&journal)
{
    journal_ = std::move(journal.journal_);
    docs_.clear();
}

qint64 Archive::end() const
{
    return journalBytes() + docs_.size();
}

Archive::Status Archive::seek(Key key, qint64 value, qint64 &pos, Damage &damage) const
{
    const qint64 base = journalBytes();
    if (journal_ && journal_->documents > 0 && value <= journal_->last[key])
        return journal_->seek(key, value, pos, damage) ? Found : Damaged;
    const auto it = std::lower_bound(docs_.cbegin(), docs_.cend(), value,
                                     [key](const ArchiveDoc &a, qint64 v) { return keyOf(a, key) < v; });
    pos = base + (it - docs_.cbegin());
    return Found;
}

Archive::Status Archive::read(qint64 &pos, ArchiveDoc &doc, Damage &damage) const
{
    const qint64 base = journalBytes();
    if (pos < base) {
        qint64 next = 0;
        if (!journal_->document(pos, doc, next, damage))
            return Damaged;
        pos = next;
        return Found;
    }
    doc = docs_.at(int(pos - base));
    ++pos;
    QString why;
    if (!signHolds(doc, &why)) {
        damage = {doc.number, why};
        return Damaged;
    }
    return Found;
}

Archive::Status Archive::numberAt(qint64 pos, qint32 &number, Damage &damage) const
{
    const qint64 base = journalBytes();
    if (pos >= base) {
        number = docs_.at(int(pos - base)).number;
        return Found;
    }
    QByteArray text;
    qint64 next = 0, n = 0;
    if (!journal_->line(pos, text, next, damage))
        return Damaged;
    if (!keyValue(text, Number, n)) {
        damage = journal_->damage(pos, QStringLiteral("not a document"));
        return Damaged;
    }
    number = qint32(n);
    return Found;
}
