// Time per status exchange through the command layer (FsWrapper::exec: queued hop to the worker,
// port reopened and configured, byte-by-byte read, reply hopped back) against bare QSerialPort
// loops on the same emulator in the same run: the floor does the same line work (the port closed,
// opened and configured for every exchange, which the transport must do so that a register that
// was unplugged is found again) without thread, hops or logging; a second loop keeps the port
// open and shows what the wire alone costs.
//
//     bench_exchange [N]      (default N = 2000 exchanges per side)
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSerialPort>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "bareexchange.h"
#include "emulatorfixture.h"
#include "frwrapper.h"

namespace {
constexpr int Rounds = 4; // the sides alternate, so drift of the machine hits both alike
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    registerFsMetaTypes();
    const int n = argc > 1 ? std::max(Rounds, QString::fromLocal8Bit(argv[1]).toInt()) : 2000;
    qInstallMessageHandler(bench::dropMessages);

    EmulatorFixture emu;
    if (!emu.start()) {
        fprintf(stderr, "emulator: %s\n", qPrintable(emu.lastError()));
        return 1;
    }
    const QString path = emu.devicePath();

    std::vector<qint64> wireNs;
    std::vector<qint64> reopenNs;
    std::vector<qint64> execNs;
    std::vector<qint64> warm;
    if (!bench::bareRound(path, 50, false, warm) || !bench::bareRound(path, 50, true, warm) || !bench::execRound(path, 50, warm)) {
        fprintf(stderr, "warm-up exchange failed\n");
        return 1;
    }
    for (int r = 0; r < Rounds; ++r) {
        if (!bench::bareRound(path, n / Rounds, false, wireNs) || !bench::bareRound(path, n / Rounds, true, reopenNs) ||
            !bench::execRound(path, n / Rounds, execNs)) {
            fprintf(stderr, "exchange failed in round %d\n", r);
            return 1;
        }
    }

    const bench::Stats w = bench::stats(wireNs);
    const bench::Stats f = bench::stats(reopenNs);
    const bench::Stats e = bench::stats(execNs);
    QTextStream out(stdout);
    out << "status exchanges (0x30, 31-byte reply), per side: " << execNs.size() << "\n";
    out << QStringLiteral("%1 %2 %3 %4\n").arg("", -36).arg("median us", 10).arg("p99 us", 10).arg("mean us", 10);
    const auto row = [&out](const char *name, const bench::Stats &s) {
        out << QStringLiteral("%1 %2 %3 %4\n")
                   .arg(QLatin1String(name), -36)
                   .arg(s.median, 10, 'f', 1)
                   .arg(s.p99, 10, 'f', 1)
                   .arg(s.mean, 10, 'f', 1);
    };
    row("bare QSerialPort, port kept open", w);
    row("bare QSerialPort, reopened (floor)", f);
    row("FsWrapper::exec", e);
    out << QStringLiteral("median ratio exec / floor (reopened): %1 (target <= 1.5)\n")
               .arg(e.median / f.median, 0, 'f', 2);
    out << QStringLiteral("median ratio exec / port kept open:  %1\n").arg(e.median / w.median, 0, 'f', 2);
    return 0;
}
