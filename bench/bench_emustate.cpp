// The substitute register's state file against the size of its archive: a status request, and a
// cash-in document, on a register kept in a state file with no archived documents and on one with
// 20,000 (or argv[1]), measured in the same run, rounds alternating between the two.
//   bench_emustate [DOCUMENTS] [ROUNDS]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "emudevice.h"
#include "fiscalmodel.h"
#include "tlv.h"
#include "frconst.h"

namespace {

QByteArray le(qint64 v, int bytes)
{
    return littleEndian(quint64(v), bytes);
}

struct Register
{
    FiscalModel model;
    EmuDevice device{&model};
    quint32 unique = 1;

    // One request frame through the wire, as the front end hands it over.
    void request(quint8 code, const QByteArray &payload = QByteArray())
    {
        FsReq req(code, payload);
        req.setUnique(unique++);
        device.receive(req.rawData(), 0);
    }
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int documents = argc > 1 ? QByteArray(argv[1]).toInt() : 20000;
    const int rounds = argc > 2 ? QByteArray(argv[2]).toInt() : 2000;
    QTemporaryDir dir;

    // Both registers: the ready preset with a shift open; one of them with a long archive.
    FiscalModel seed;
    seed.applyPreset(QStringLiteral("ready"));
    const QByteArray who = le(DefaultCashierNumber, 1) + le(DefaultCashierPassword, 4) + le(1, 1) + "A";
    seed.execute(0x11, who);
    seed.execute(0x12, {});
    QJsonObject none = seed.toJson();
    const QJsonArray kept = none[QStringLiteral("archive")].toArray();
    none[QStringLiteral("archive")] = QJsonArray();
    QJsonObject full = seed.toJson();
    QJsonArray archive;
    for (int n = 1; n <= documents; ++n) {
        QJsonObject doc = kept.at(n % kept.size()).toObject();
        doc[QStringLiteral("number")] = n;
        archive << doc;
    }
    full[QStringLiteral("archive")] = archive;
    full[QStringLiteral("lastDocument")] = [&] {
        QJsonObject last = full[QStringLiteral("lastDocument")].toObject();
        last[QStringLiteral("number")] = documents;
        return last;
    }();

    Register small, large;
    QElapsedTimer t;
    QString error;
    for (auto *r : {&small, &large}) {
        const QString path = dir.filePath(r == &small ? QStringLiteral("none.json") : QStringLiteral("full.json"));
        if (!r->model.fromJson(r == &small ? none : full, &error) || !r->model.saveToFile(path, &error)) {
            fprintf(stderr, "set-up: %s\n", qPrintable(error));
            return 2;
        }
        t.start();
        if (!r->model.loadFromFile(path, &error)) {
            fprintf(stderr, "load: %s\n", qPrintable(error));
            return 2;
        }
        printf("load %-9s %6d documents: %8.1f ms\n", r == &small ? "none" : "archive", r == &small ? 0 : documents,
               t.nsecsElapsed() / 1e6);
        r->model.keepStateIn(path);
    }

    std::vector<double> status[2], cashIn[2];
    for (int i = 0; i < rounds; ++i) {
        for (int k = 0; k < 2; ++k) {
            Register &r = k ? large : small;
            t.start();
            r.request(0x30);
            status[k].push_back(t.nsecsElapsed() / 1e3);
        }
    }
    // A document costs a journal line and the small file, whatever the archive holds.
    for (int i = 0; i < rounds / 10; ++i) {
        for (int k = 0; k < 2; ++k) {
            Register &r = k ? large : small;
            t.start();
            r.request(0xA2, who);
            r.request(0xA3, le(100, 8));
            cashIn[k].push_back(t.nsecsElapsed() / 1e3);
        }
    }
    const double s0 = median(status[0]), s1 = median(status[1]);
    const double c0 = median(cashIn[0]), c1 = median(cashIn[1]);
    printf("status request, no archive:         %8.1f us median of %d\n", s0, rounds);
    printf("status request, %6d documents:    %8.1f us median of %d\n", documents, s1, rounds);
    printf("cash-in document, no archive:       %8.1f us median of %d\n", c0, rounds / 10);
    printf("cash-in document, %6d documents:  %8.1f us median of %d\n", documents, c1, rounds / 10);
    printf("RESULT emustate status_ratio=%.2f document_ratio=%.2f\n", s1 / s0, c1 / c0);
    return 0;
}
