// The substitute register's store against the size of its archive. Two stores are made, one with
// 20 documents and one with DOCUMENTS (default 250,000, what one register holds), and then:
//  - the whole virta-emulator program is started on each (time until it prints its device path,
//    median of five starts) and, on the large one, asked for its status and a copy of its first and
//    last documents through its pseudo-terminal before its peak memory (VmHWM) is read;
//  - in this process, a register loaded from each store answers status requests, cash-in documents
//    (two commands, each saved before it is answered) and copies of its first, its last and any
//    document between them,
//    rounds alternating between the two stores; the ratios are large over small.
//   bench_emustate [DOCUMENTS] [ROUNDS]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSerialPort>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "emudevice.h"
#include "emulatorfixture.h"
#include "fiscalmodel.h"
#include "frconst.h"
#include "receiptitem.h"
#include "tlv.h"

namespace {

QByteArray le(qint64 v, int bytes)
{
    return littleEndian(quint64(v), bytes);
}

const QByteArray who = le(DefaultCashierNumber, 1) + le(DefaultCashierPassword, 4) + le(1, 1) + "A";
const QByteArray cashier = le(DefaultCashierNumber, 1) + le(DefaultCashierPassword, 4);

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

bool ok(FiscalModel &m, quint8 code, const QByteArray &payload = QByteArray())
{
    const quint8 r = m.execute(code, payload).code;
    if (r != 0)
        fprintf(stderr, "set-up: command 0x%02x answered %d\n", code, r);
    return r == 0;
}

// A register with `documents` documents in the store at path: the ready preset's registration, then
// shifts of at most 10,000 documents of one-position sale receipts (a shift takes 32,767 receipts
// at most). The store is written every 10,000 documents, so the archive never sits whole in memory.
bool makeStore(const QString &path, int documents)
{
    FiscalModel m;
    m.applyPreset(QStringLiteral("ready"));
    QJsonObject json = m.toJson();
    json[QStringLiteral("docsLeft")] = documents + 1000;
    QString error;
    if (!m.fromJson(json, &error) || !m.saveToFile(path, &error)) {
        fprintf(stderr, "set-up: %s\n", qPrintable(error));
        return false;
    }
    ReceiptItem it;
    it.name = QStringLiteral("Товар");
    it.section = 1;
    it.tax = 1;
    it.price = FixNumber(100, qint64(12345));
    it.quantity = FixNumber(1000, qint64(1000));
    const QByteArray item = it.toTlv().rawData();
    const QByteArray receipt = cashier + le(0, 1) + le(1, 1) + "A";
    int made = 1;
    bool shiftOpen = false;
    while (made < documents) {
        if (!shiftOpen) {
            if (!ok(m, 0x11, who) || !ok(m, 0x12))
                return false;
            shiftOpen = true;
        } else if (made % 10000 == 9999 && documents - made > 2) {
            if (!ok(m, 0x13, who) || !ok(m, 0x14))
                return false;
            shiftOpen = false;
        } else if (!ok(m, 0x15, receipt) || !ok(m, 0x07, item) || !ok(m, 0x16, le(12345, 8) + le(0, 8))) {
            return false;
        }
        ++made;
        m.takePrinted();
        if (made % 10000 == 0 && !m.saveToFile(path, &error)) {
            fprintf(stderr, "set-up: %s\n", qPrintable(error));
            return false;
        }
    }
    if (!shiftOpen && !(ok(m, 0x11, who) && ok(m, 0x12)))
        return false; // the cash-in documents below need an open shift
    if (!m.saveToFile(path, &error)) {
        fprintf(stderr, "set-up: %s\n", qPrintable(error));
        return false;
    }
    return true;
}

qint32 lastDocument(const QString &path)
{
    FiscalModel m;
    QString error;
    if (!m.loadFromFile(path, &error))
        return -1;
    const QByteArray status = m.execute(0x30, {}).payload;
    // The last document's number: bytes 16 to 19 of the status reply.
    return qint32(quint8(status[16]) | quint8(status[17]) << 8 | quint8(status[18]) << 16 | quint8(status[19]) << 24);
}

// One exchange with the program through its pseudo-terminal; the reply's result code, -1 without one.
int exchange(const QString &device, quint8 code, const QByteArray &payload, quint32 unique)
{
    QSerialPort port(device);
    if (!port.open(QIODevice::ReadWrite))
        return -1;
    FsReq req(code, payload);
    req.setUnique(unique);
    port.write(req.rawData());
    port.waitForBytesWritten(1000);
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000) {
        got += port.readAll();
        if (got.size() >= 3 && got.size() >= (quint8(got[1]) | quint8(got[2]) << 8) + 5) {
            FsRep rep;
            return rep.setRawData(got) == fs::Ok ? rep.code() : -1;
        }
        port.waitForReadyRead(50);
    }
    return -1;
}

qint64 peakRssKb(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

struct ProgramRun
{
    double startupMs = -1;
    double peakMb = -1;
    bool exchanged = false;
};

ProgramRun runProgram(const QString &state, qint32 last, int starts)
{
    ProgramRun run;
    std::vector<double> times;
    for (int i = 0; i < starts; ++i) {
        EmulatorProcess emu;
        QElapsedTimer t;
        t.start();
        if (!emu.start({QStringLiteral("--state"), state}, 60000)) {
            fprintf(stderr, "program: %s\n", qPrintable(emu.standardError()));
            return run;
        }
        times.push_back(t.nsecsElapsed() / 1e6);
        if (i + 1 == starts) {
            const QString dev = emu.devicePath();
            run.exchanged = exchange(dev, 0x30, {}, 1) == 0 && exchange(dev, 0xB2, cashier + le(1, 4), 2) == 0 &&
                            exchange(dev, 0xB2, cashier + le(last, 4), 3) == 0;
            run.peakMb = peakRssKb(emu.process().processId()) / 1024.0;
        }
        emu.terminate(10000);
    }
    run.startupMs = median(times);
    return run;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {}); // the frames' dumps
    const int documents = argc > 1 ? QByteArray(argv[1]).toInt() : 250000;
    const int rounds = argc > 2 ? QByteArray(argv[2]).toInt() : 2000;
    const int smallDocuments = 20;
    QTemporaryDir dir;
    const QString smallPath = dir.filePath(QStringLiteral("small.json"));
    const QString largePath = dir.filePath(QStringLiteral("large.json"));

    QElapsedTimer t;
    t.start();
    if (!makeStore(smallPath, smallDocuments) || !makeStore(largePath, documents))
        return 2;
    const qint32 smallLast = lastDocument(smallPath);
    const qint32 largeLast = lastDocument(largePath);
    printf("stores made in %.1f s: %d and %d documents (the last numbered %d and %d), a journal of %.1f MB\n",
           t.elapsed() / 1e3, smallDocuments, documents, smallLast, largeLast,
           QFileInfo(FiscalModel::journalPath(largePath)).size() / 1048576.0);

    const ProgramRun small = runProgram(smallPath, smallLast, 5);
    const ProgramRun large = runProgram(largePath, largeLast, 5);
    printf("program start-up, %6d documents: %8.1f ms median of 5, peak %.1f MB%s\n", smallDocuments, small.startupMs,
           small.peakMb, small.exchanged ? "" : " (exchanges FAILED)");
    printf("program start-up, %6d documents: %8.1f ms median of 5, peak %.1f MB%s\n", documents, large.startupMs,
           large.peakMb, large.exchanged ? "" : " (exchanges FAILED)");

    Register regs[2];
    const qint32 lasts[2] = {smallLast, largeLast};
    for (int k = 0; k < 2; ++k) {
        const QString path = k ? largePath : smallPath;
        QString error;
        t.start();
        if (!regs[k].model.loadFromFile(path, &error)) {
            fprintf(stderr, "load: %s\n", qPrintable(error));
            return 2;
        }
        printf("load in this process, %6d documents: %8.1f ms\n", k ? documents : smallDocuments,
               t.nsecsElapsed() / 1e6);
        regs[k].model.keepStateIn(path);
    }

    std::vector<double> status[2], cashIn[2], copy[2][3];
    for (int i = 0; i < rounds; ++i) {
        for (int k = 0; k < 2; ++k) {
            t.start();
            regs[k].request(0x30);
            status[k].push_back(t.nsecsElapsed() / 1e3);
        }
    }
    // The first and the last document, and one of any number in between (the same draw for both).
    QRandomGenerator draw(25);
    for (int i = 0; i < rounds / 4; ++i) {
        const double at = draw.generateDouble();
        for (int k = 0; k < 2; ++k) {
            const qint32 number = i % 3 == 0 ? 1 : i % 3 == 1 ? lasts[k] : qint32(1 + at * (lasts[k] - 1));
            t.start();
            regs[k].request(0xB2, cashier + le(number, 4));
            copy[k][i % 3].push_back(t.nsecsElapsed() / 1e3);
            regs[k].model.takePrinted();
        }
    }
    // A document costs a journal line and the small file, whatever the archive holds.
    for (int i = 0; i < rounds / 10; ++i) {
        for (int k = 0; k < 2; ++k) {
            t.start();
            regs[k].request(0xA2, who);
            regs[k].request(0xA3, le(100, 8));
            cashIn[k].push_back(t.nsecsElapsed() / 1e3);
            regs[k].model.takePrinted();
        }
    }
    const double s0 = median(status[0]), s1 = median(status[1]);
    const double d0 = median(cashIn[0]), d1 = median(cashIn[1]);
    printf("status request,   %6d / %6d documents: %8.1f / %8.1f us, median of %d\n", smallDocuments, documents, s0, s1,
           rounds);
    printf("cash-in document, %6d / %6d documents: %8.1f / %8.1f us, median of %d\n", smallDocuments, documents, d0, d1,
           rounds / 10);
    // The copy's ratio is the worst of the three: the first, the last, any other.
    double copyRatio = 0;
    const char *const which[] = {"first", "last", "other"};
    for (int w = 0; w < 3; ++w) {
        const double c0 = median(copy[0][w]), c1 = median(copy[1][w]);
        printf("copy, %-5s     %6d / %6d documents: %8.1f / %8.1f us, median of %d\n", which[w], smallDocuments,
               documents, c0, c1, int(copy[0][w].size()));
        copyRatio = std::max(copyRatio, c1 / c0);
    }
    printf("RESULT emustate documents=%d startup_ms=%.1f peak_rss_mb=%.1f status_ratio=%.2f document_ratio=%.2f "
           "copy_ratio=%.2f\n",
           documents, large.startupMs, large.peakMb, s1 / s0, d1 / d0, copyRatio);
    return large.exchanged && small.exchanged ? 0 : 1;
}
