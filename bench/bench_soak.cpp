// Soak: 10,000 exchanges (or argv[1]) through FsWrapper against the in-process register with 5 %
// random faults. Prints the counts, the exchange time and the growth of resident memory.
//   bench_soak [EXCHANGES] [SEED]
#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

#include "emulatorfixture.h"
#include "soakrun.h"

namespace {
void quiet(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type == QtFatalMsg)
        fprintf(stderr, "%s\n", qPrintable(msg));
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    registerFsMetaTypes();
    qInstallMessageHandler(quiet);
    soak::Options options;
    options.exchanges = argc > 1 ? QByteArray(argv[1]).toInt() : 10000;
    if (argc > 2)
        options.seed = QByteArray(argv[2]).toUInt();
    options.warmUp = qMin(500, options.exchanges / 10);
    options.progress = [](int done) {
        fprintf(stderr, "  %d exchanges\n", done);
    };

    EmulatorFixture emu;
    if (!emu.start()) {
        fprintf(stderr, "emulator: %s\n", qPrintable(emu.lastError()));
        return 2;
    }
    // The register's own bookkeeping is not what is measured here.
    emu.device().setHistoryLimit(200);

    const soak::Report r = soak::run(emu, options);
    QTextStream out(stdout);
    out << "soak: " << r.exchanges << " exchanges, seed " << options.seed << ", read time-out "
        << options.timeout.readTimeout << " ms\n";
    out << "  faulted             " << r.faulted << "\n";
    for (auto it = r.faultsByKind.constBegin(); it != r.faultsByKind.constEnd(); ++it)
        out << "    " << it.key() << ": " << it.value() << "\n";
    out << "  succeeded           " << r.succeeded << "\n";
    out << "  failures reported   " << r.failedReported << "\n";
    out << "  unexpected failures " << r.unexpectedFailed << "\n";
    out << "  mismatched replies  " << r.mismatched << "\n";
    out << "  hung                " << r.hung << "\n";
    out << "  slowest exchange    " << r.slowestMs << " ms\n";
    out << "  elapsed             " << r.elapsedMs << " ms\n";
    out << "  resident memory     " << r.rssStartKiB << " KiB after warm-up, " << r.rssEndKiB
        << " KiB at the end, growth " << (r.rssEndKiB - r.rssStartKiB) << " KiB\n";
    for (const QString &p : r.problems)
        out << "  problem: " << p << "\n";
    out << "RESULT soak mismatched=" << r.mismatched << " unexpected=" << r.unexpectedFailed << " hung=" << r.hung
        << " rss_growth_kib=" << (r.rssEndKiB - r.rssStartKiB) << "\n";
    out.flush();
    const bool ok = r.mismatched == 0 && r.unexpectedFailed == 0 && r.hung == 0 && r.rssEndKiB - r.rssStartKiB < 2048;
    return ok ? 0 : 1;
}
