// The emulator's state loader: a state file as a user may have edited it. A file the loader takes
// must be one every command can work on (the archive readers, the completions over the open
// document, the counters), and one that saves and loads again as it was.
// Input: the file's bytes (JSON). Seeds: the two presets in the single-file form (what
// `virta-emulator --preset NAME --state F` writes, with F.journal's lines put back as "archive").
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "fiscalmodel.h"
#include "tlv.h"
#include "fuzzcommon.h"

namespace {

QByteArray le(qint64 v, int bytes)
{
    return littleEndian(quint64(v), bytes);
}

} // namespace

// Qt 5.15's JSON parser leaks what it built when a document with repeated keys turns out
// malformed further on (QJsonDocument::fromJson alone shows it). Allocations made inside Qt Core
// are not this target's to answer for; a leak of the model's own is still reported.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libQt5Core.so.5\n";
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 65536)
        return 0;
    const QJsonDocument doc = QJsonDocument::fromJson(fuzz::bytes(data, size));
    if (!doc.isObject())
        return 0;
    FiscalModel model;
    model.setHostClock([] { return QDateTime(QDate(2026, 3, 2), QTime(9, 0), Qt::LocalTime); });
    const QJsonObject before = model.toJson();
    QString error;
    if (!model.fromJson(doc.object(), &error)) {
        FUZZ_CHECK(!error.isEmpty());
        FUZZ_CHECK(model.toJson() == before);
        return 0;
    }

    const QJsonObject loaded = model.toJson();
    FiscalModel again;
    FUZZ_CHECK(again.fromJson(loaded, &error));
    FUZZ_CHECK(again.toJson() == loaded);

    // Every cashier may be the one a user left with rights; try them all on the readers.
    const QJsonArray cashiers = loaded[QStringLiteral("cashiers")].toArray();
    QByteArray who = le(20, 1) + le(30, 4);
    for (int i = 0; i < cashiers.size(); ++i) {
        const QJsonObject c = cashiers.at(i).toObject();
        if (c[QStringLiteral("rights")].toInt() & 0x0002) {
            who = le(i + 1, 1) + le(c[QStringLiteral("password")].toInt(), 4);
            break;
        }
    }
    const qint32 lastDoc = loaded[QStringLiteral("lastDocument")].toObject()[QStringLiteral("number")].toInt();
    const quint8 reads[] = {0x10, 0x30, 0x31, 0x36, 0x37, 0x38, 0x39, 0xB0};
    for (const quint8 c : reads)
        model.execute(c, {});
    for (const qint32 from : {1, 2, lastDoc / 2, lastDoc - 1, lastDoc}) {
        model.execute(0x3A, who + le(from, 4));
        model.execute(0xB2, who + le(from, 4));
    }
    model.execute(0x3A, who);
    for (int type = 1; type <= 4; ++type)
        model.execute(0xB1, who + le(type, 1));
    model.execute(0xB1, who + le(5, 1) + le(0, 4) + le(0xFFFFFFFFLL, 4));
    model.execute(0xB1, who + le(6, 1) + le(0, 2) + le(32767, 2));
    // Complete whatever is open, with payments that pass any total.
    model.execute(0x16, le(10000000000000LL, 8) + le(0, 8));
    model.execute(0xA3, le(1, 8));
    model.execute(0xA5, le(1, 8));
    model.execute(0x12, {});
    model.execute(0x14, {});
    model.execute(0x09, QByteArray("7707083893").leftJustified(12, '\0') + QByteArray("1").leftJustified(16, '\0'));
    model.execute(0x19, {});
    model.execute(0x06, {});
    model.takePrinted();

    const QJsonObject after = model.toJson();
    FiscalModel last;
    FUZZ_CHECK(last.fromJson(after, &error));
    return 0;
}
