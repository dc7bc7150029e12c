// Logging throughput: warnings per second written to the dated log files, with the writers kept
// open (cached) and reopened for every entry, from one thread and from two at once. The floor is
// the same three-line entries written to a QFile through a QTextStream with no logging in between.
// The machine is shared, so the floor and the cached case are also given per second of this
// process's own processor time (user and system), which other programs' load hardly moves.
//
//     bench_logging [ENTRIES]      (default 50000 per case)
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <cstdio>
#include <ctime>

#include "loggermanager.h"

namespace {
const QByteArray Frame = QByteArray::fromHex("041c0000780000003030303030303030343213000102070078000000001065650300");

void emitEntries(int n)
{
    for (int i = 0; i < n; ++i)
        qWarning().noquote() << "frame" << i << HexDump(Frame, QStringLiteral("UTF-8"));
}

double rate(int entries, qint64 ns)
{
    return ns > 0 ? double(entries) * 1e9 / double(ns) : 0;
}

qint64 cpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Entries per second of processor time of the last measured case.
double g_cpuRate = 0;

double loggedRate(const QString &folder, bool keepOpen, int threads, int n)
{
    // As the program starts it: both flags on, warnings and up into the files.
    LoggerManager::setLogFlags(3);
    LoggerManager::setKeepFilesOpen(keepOpen);
    LoggerManager::initLog(folder, 30, true, QtDebugMsg);
    QElapsedTimer t;
    t.start();
    const qint64 cpuStart = cpuNs();
    QList<QThread *> workers;
    for (int i = 0; i < threads - 1; ++i) {
        workers << QThread::create([n]() { emitEntries(n); });
        workers.last()->start();
    }
    emitEntries(n);
    for (QThread *w : workers) {
        w->wait();
        delete w;
    }
    const qint64 ns = t.nsecsElapsed();
    g_cpuRate = rate(n * threads, cpuNs() - cpuStart);
    LoggerManager::releaseLog();
    // Every entry must have reached the files, or the figure means nothing.
    int written = 0;
    for (const QFileInfo &fi : QDir(folder).entryInfoList(QDir::Files)) {
        QFile f(fi.filePath());
        if (f.open(QIODevice::ReadOnly))
            written += f.readAll().count("frame ");
    }
    if (written < n * threads) {
        fprintf(stderr, "only %d of %d entries were written to %s\n", written, n * threads, qPrintable(folder));
        return 0;
    }
    return rate(n * threads, ns);
}

double floorRate(const QString &path, int n)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append))
        return 0;
    QTextStream s(&f);
    s.setCodec("UTF-8");
    QElapsedTimer t;
    t.start();
    const qint64 cpuStart = cpuNs();
    for (int i = 0; i < n; ++i) {
        s << QStringLiteral("2024-06-03 12:00:00.000 W bench_logging.cpp:20 emitEntries\n");
        s << "               frame " << i << " ";
        s << HexDump(Frame, QStringLiteral("UTF-8"));
        s << "\n\n";
        s.flush();
    }
    const qint64 ns = t.nsecsElapsed();
    g_cpuRate = rate(n, cpuNs() - cpuStart);
    return rate(n, ns);
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? qMax(100, QString::fromLocal8Bit(argv[1]).toInt()) : 50000;
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;

    const double floor = floorRate(dir.filePath(QStringLiteral("floor.log")), n);
    const double floorCpu = g_cpuRate;
    const double cached = loggedRate(dir.filePath(QStringLiteral("cached")), true, 1, n);
    const double cachedCpu = g_cpuRate;
    const double reopened = loggedRate(dir.filePath(QStringLiteral("reopened")), false, 1, n / 10);
    const double cached2 = loggedRate(dir.filePath(QStringLiteral("cached2")), true, 2, n / 2);

    QTextStream out(stdout);
    out << "logging: three-line warning entries with a 34-byte hex dump\n";
    out << QStringLiteral("%1 %2\n").arg("", -46).arg("entries/s", 12);
    const auto row = [&out](const QString &name, double v) {
        out << QStringLiteral("%1 %2\n").arg(name, -46).arg(v, 12, 'f', 0);
    };
    row(QStringLiteral("QTextStream on a QFile, flushed (floor)"), floor);
    row(QStringLiteral("qWarning, cached writers, 1 thread"), cached);
    row(QStringLiteral("qWarning, cached writers, 2 threads"), cached2);
    row(QStringLiteral("qWarning, file reopened per entry, 1 thread"), reopened);
    row(QStringLiteral("floor, per second of processor time"), floorCpu);
    row(QStringLiteral("cached, 1 thread, per second of processor time"), cachedCpu);
    out << QStringLiteral("RESULT logging cached_per_s=%1 floor_per_s=%2 ratio=%3 cached_per_cpu_s=%4 "
                          "floor_per_cpu_s=%5\n")
               .arg(cached, 0, 'f', 0)
               .arg(floor, 0, 'f', 0)
               .arg(floor / cached, 0, 'f', 2)
               .arg(cachedCpu, 0, 'f', 0)
               .arg(floorCpu, 0, 'f', 0);
    return 0;
}
