// Time per status exchange over TCP loopback to the emulator program's --listen: through the whole
// command path (FsWrapper::exec on "tcp://127.0.0.1:PORT": the hop to the worker thread, the kept
// connection checked, the request written, the reply read byte by byte, both frames decoded and
// logged, the hop back) against a bare QTcpSocket request/reply loop of the same frames on the
// same emulator, in the same run, the sides alternating so that drift of the machine hits all alike.
// A third loop is the bare one with the socket on a thread of its own, one queued hop there and one
// back per exchange: the least a threaded exchange can cost, which the command layer must be.
//
//     bench_network [N]      (default N = 4000 exchanges per side)
#include <QCoreApplication>
#include <QTextStream>
#include <QUrl>

#include <cstdio>
#include <vector>

#include "bareexchange.h"
#include "emulatorfixture.h"

namespace {
constexpr int Rounds = 8;
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    registerFsMetaTypes();
    const int n = argc > 1 ? std::max(Rounds, QString::fromLocal8Bit(argv[1]).toInt()) : 4000;
    qInstallMessageHandler(bench::dropMessages);

    EmulatorProcess emu;
    if (!emu.start({QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--network-only")})) {
        fprintf(stderr, "emulator: %s\n", qPrintable(emu.standardError()));
        return 1;
    }
    const QString name = emu.networkName();
    const quint16 port = quint16(QUrl(name).port());

    std::vector<qint64> bareNs, threadedNs, execNs, warm;
    if (!bench::bareSocketRound(port, 100, warm) || !bench::threadedSocketRound(port, 100, warm) ||
        !bench::execRound(name, 100, warm)) {
        fprintf(stderr, "warm-up exchange failed: %s\n", qPrintable(emu.standardError()));
        return 1;
    }
    for (int r = 0; r < Rounds; ++r) {
        if (!bench::bareSocketRound(port, n / Rounds, bareNs) ||
            !bench::threadedSocketRound(port, n / Rounds, threadedNs) || !bench::execRound(name, n / Rounds, execNs)) {
            fprintf(stderr, "exchange failed in round %d: %s\n", r, qPrintable(emu.standardError()));
            return 1;
        }
    }
    emu.terminate();

    const bench::Stats b = bench::stats(bareNs);
    const bench::Stats h = bench::stats(threadedNs);
    const bench::Stats e = bench::stats(execNs);
    QTextStream out(stdout);
    out << "status exchanges (0x30, 31-byte reply) over TCP loopback to virta-emulator --listen, per side: "
        << execNs.size() << "\n";
    out << QStringLiteral("%1 %2 %3 %4\n").arg("", -36).arg("median us", 10).arg("p99 us", 10).arg("mean us", 10);
    const auto row = [&out](const char *what, const bench::Stats &s) {
        out << QStringLiteral("%1 %2 %3 %4\n")
                   .arg(QLatin1String(what), -36)
                   .arg(s.median, 10, 'f', 1)
                   .arg(s.p99, 10, 'f', 1)
                   .arg(s.mean, 10, 'f', 1);
    };
    row("bare QTcpSocket (floor)", b);
    row("bare QTcpSocket on a thread, 2 hops", h);
    row("FsWrapper::exec", e);
    out << QStringLiteral("median ratio exec / bare socket: %1 (target <= 1.2)\n").arg(e.median / b.median, 0, 'f', 2);
    out << QStringLiteral("median ratio exec / bare socket on a thread: %1\n").arg(e.median / h.median, 0, 'f', 2);
    out << QStringLiteral("RESULT network exec_us=%1 bare_us=%2 ratio=%3 threaded_us=%4 threaded_ratio=%5\n")
               .arg(e.median, 0, 'f', 1)
               .arg(b.median, 0, 'f', 1)
               .arg(e.median / b.median, 0, 'f', 2)
               .arg(h.median, 0, 'f', 1)
               .arg(e.median / h.median, 0, 'f', 2);
    return 0;
}
