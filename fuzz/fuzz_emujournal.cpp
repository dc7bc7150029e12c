// The emulator's archive journal as the disk may hold it after a crash, a bad disk or an edit, beside
// a state file that counts some of it. The store must refuse what it cannot take and leave both
// files as they were; what it takes must answer every copy, control tape and report with a document
// or a refusal (never anything else), and must take one more document and load again with it.
// Input: documents (u32), bytes (u32) and the last document's number (u32) the state counts, then
// the journal's bytes. Seed: a store the program made (the ready preset, a shift opened, two cash-in
// documents: 4 documents), fuzz/corpus/fuzz_emujournal/store.
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "fiscalmodel.h"
#include "fuzzcommon.h"
#include "tlv.h"

namespace {

QByteArray le(qint64 v, int bytes)
{
    return littleEndian(quint64(v), bytes);
}

quint32 u32(const uint8_t *p)
{
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

QDateTime fixedClock()
{
    return QDateTime(QDate(2026, 3, 2), QTime(9, 0), Qt::LocalTime);
}

const QByteArray Who = le(20, 1) + le(30, 4);

QJsonObject g_state;     // the ready preset with its shift open, without its journal's numbers
QTemporaryDir *g_dir = nullptr;

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

} // namespace

extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libQt5Core.so.5\n"; // Qt's own JSON parser, see fuzz_emustate.cpp
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::init();
    FiscalModel m;
    m.setHostClock(fixedClock);
    m.applyPreset(QStringLiteral("ready"));
    m.execute(0x11, Who + le(1, 1) + "A");
    m.execute(0x12, {});
    g_state = m.toJson();
    g_state.remove(QStringLiteral("archive"));
    g_state[QStringLiteral("format")] = 2;
    // Somewhere quick to write: the store is written and read again on every input.
    g_dir = QDir(QStringLiteral("/dev/shm")).exists() ? new QTemporaryDir(QStringLiteral("/dev/shm/fuzz_emujournal-XXXXXX"))
                                                      : new QTemporaryDir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 12 || size > 65536)
        return 0;
    const quint32 documents = u32(data), bytes = u32(data + 4), last = u32(data + 8);
    QJsonObject state = g_state;
    state[QStringLiteral("journal")] = QJsonObject{{QStringLiteral("file"), QStringLiteral("s.json.journal")},
                                                   {QStringLiteral("documents"), double(documents)},
                                                   {QStringLiteral("bytes"), double(bytes)}};
    QJsonObject lastDocument = state[QStringLiteral("lastDocument")].toObject();
    lastDocument[QStringLiteral("number")] = double(last);
    state[QStringLiteral("lastDocument")] = lastDocument;
    const QString path = g_dir->filePath(QStringLiteral("s.json"));
    const QString journal = FiscalModel::journalPath(path);
    const QByteArray stateText = QJsonDocument(state).toJson();
    const QByteArray journalText = fuzz::bytes(data + 12, size - 12);
    writeAll(path, stateText);
    writeAll(journal, journalText);

    QString error;
    qint32 lastBefore = 0;
    {
        FiscalModel model;
        model.setHostClock(fixedClock);
        if (!model.loadFromFile(path, &error)) {
            FUZZ_CHECK(!error.isEmpty());
            FUZZ_CHECK(readAll(path) == stateText && readAll(journal) == journalText);
            return 0;
        }
        const auto answered = [&model](quint8 command, const QByteArray &payload) {
            const quint8 code = model.execute(command, payload).code;
            // A document, none there (17), one not what was signed (4), a sum past 64 bits (49).
            FUZZ_CHECK(code == 0 || code == 4 || code == 17 || code == 49);
            model.takePrinted();
        };
        for (qint64 n = 0; n <= qMin<qint64>(qint64(last) + 1, 40); ++n)
            answered(0xB2, Who + le(n, 4));
        for (const qint64 n : {qint64(last) / 2, qint64(last) - 1, qint64(last)})
            answered(0xB2, Who + le(n, 4));
        answered(0x3A, Who);
        answered(0x3A, Who + le(1, 4));
        answered(0x3A, Who + le(qMax<qint64>(1, qint64(last) - 3), 4));
        answered(0xB1, Who + le(5, 1) + le(0, 4) + le(0xFFFFFFFFLL, 4));
        answered(0xB1, Who + le(6, 1) + le(0, 2) + le(32767, 2));
        const QByteArray status = model.execute(0x30, {}).payload;
        lastBefore = qint32(u32(reinterpret_cast<const uint8_t *>(status.constData()) + 16));

        // One more document where the store said it ends: whatever the disk held past that is cut.
        model.keepStateIn(path);
        FUZZ_CHECK(model.execute(0xA2, Who + le(1, 1) + "A").code == 0);
        const quint8 code = model.execute(0xA3, le(100, 8)).code;
        FUZZ_CHECK(code == 0 || code == 6);
        if (code != 0)
            return 0;
    }
    FiscalModel again;
    again.setHostClock(fixedClock);
    FUZZ_CHECK(again.loadFromFile(path, &error));
    const QByteArray status = again.execute(0x30, {}).payload;
    FUZZ_CHECK(qint32(u32(reinterpret_cast<const uint8_t *>(status.constData()) + 16)) == lastBefore + 1);
    FUZZ_CHECK(again.execute(0xB2, Who + le(lastBefore + 1, 4)).code == 0);
    return 0;
}
