// virta-cli as a whole process: `virta-cli status` (start-up, port check, four exchanges, output)
// against its floor in the same run: the start of an empty QCoreApplication program (this program
// started again with --empty) plus four bare status exchanges with the port reopened for each, as
// the transport must. Then `find` over 16 pseudo-terminals, one register among them.
//
//     bench_cli [N]      (default N = 30 runs per side)
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <pty.h>
#include <unistd.h>
#include <vector>

#include "bareexchange.h"
#include "emulatorfixture.h"

namespace {

constexpr int ExchangesPerStatus = 4; // identity, firmware version, state, shift

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Milliseconds for one run of the program; negative when it failed.
double runProcess(const QString &program, const QStringList &args)
{
    QElapsedTimer t;
    t.start();
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return -1;
    return double(t.nsecsElapsed()) / 1e6;
}

void dropMessages(QtMsgType, const QMessageLogContext &, const QString &)
{}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && qstrcmp(argv[1], "--empty") == 0) {
        QCoreApplication app(argc, argv);
        return 0;
    }
    QCoreApplication app(argc, argv);
    registerFsMetaTypes();
    qInstallMessageHandler(dropMessages);
    const int n = argc > 1 ? std::max(3, QString::fromLocal8Bit(argv[1]).toInt()) : 30;
    const QString self = QCoreApplication::applicationFilePath();
    const QString cli = QStringLiteral(VIRTA_CLI_EXE);

    EmulatorFixture emu;
    if (!emu.start()) {
        fprintf(stderr, "emulator: %s\n", qPrintable(emu.lastError()));
        return 1;
    }
    const QString path = emu.devicePath();

    std::vector<double> statusMs, floorMs, emptyMs, bareMs;
    // Alternating, so that drift of the machine hits both sides alike; the first pair warms up.
    for (int i = 0; i <= n; ++i) {
        const double status = runProcess(cli, {"-p", path, "status"});
        const double empty = runProcess(self, {"--empty"});
        std::vector<qint64> ns;
        if (status < 0 || empty < 0 || !bench::bareRound(path, ExchangesPerStatus, true, ns)) {
            fprintf(stderr, "run %d failed\n", i);
            return 1;
        }
        if (i == 0)
            continue;
        double bare = 0;
        for (qint64 v : ns)
            bare += double(v) / 1e6;
        statusMs.push_back(status);
        emptyMs.push_back(empty);
        bareMs.push_back(bare);
        floorMs.push_back(empty + bare);
    }
    const double ratio = median(statusMs) / median(floorMs);
    printf("virta-cli status:        %8.2f ms median of %d\n", median(statusMs), n);
    printf("empty program start:     %8.2f ms median\n", median(emptyMs));
    printf("%d bare exchanges:        %8.2f ms median\n", ExchangesPerStatus, median(bareMs));
    printf("floor (start + bare):    %8.2f ms median\n", median(floorMs));
    printf("ratio status / floor:    %8.2f (target <= 2)\n", ratio);

    // 15 silent pseudo-terminals and the register, all given as paths.
    QStringList args{"find"};
    std::vector<int> fds;
    for (int i = 0; i < 15; ++i) {
        int master = -1, slave = -1;
        char name[128] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
            return 1;
        fds.push_back(master);
        fds.push_back(slave);
        args << QString::fromLocal8Bit(name);
        if (i == 7)
            args << path;
    }
    std::vector<double> findMs;
    for (int i = 0; i < std::max(3, n / 5); ++i) {
        const double ms = runProcess(cli, args);
        if (ms < 0) {
            fprintf(stderr, "find failed\n");
            return 1;
        }
        findMs.push_back(ms);
    }
    for (int fd : fds)
        ::close(fd);
    printf("find, 16 ports:          %8.2f ms median of %zu (target < 1000)\n", median(findMs), findMs.size());
    printf("RESULT cli status_ms=%.2f floor_ms=%.2f ratio=%.2f find16_ms=%.2f\n", median(statusMs), median(floorMs),
           ratio, median(findMs));
    return ratio <= 2.0 && median(findMs) < 1000 ? 0 : 2;
}
