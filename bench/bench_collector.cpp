// CPU time to find a reply behind junk, fed to the frame collector as the transport feeds it after a
// repeat request (a frame that fails its CRC is given up for the next start byte; a line that runs
// dry is searched for a good frame). The junk is the worst the line can bring: 0x04 bytes, each the
// start of a false frame long enough to be complete and wrong, and plain noise.
//
//     bench_collector [KB]      (default 64)
#include <QByteArray>
#include <QTextStream>

#include <algorithm>
#include <ctime>
#include <vector>

#include "framecollector.h"
#include "frmsg.h"

namespace {

constexpr int Repeats = 5;

double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

bool feed(const QByteArray &line)
{
    FrameCollector c;
    for (char byte : line) {
        if (c.push(byte) == FrameCollector::Complete && (c.checksumOk() || (c.resync() && c.isComplete())))
            return true;
    }
    return c.isStarted() && !c.isComplete() && c.salvage();
}

} // namespace

int main(int argc, char *argv[])
{
    const int kb = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 64;
    const int n = kb * 1024;
    FsRep rep;
    rep.setCode(0);
    rep.setUnique(0x01020304);
    rep.setData(QByteArray(31, '\x11'));
    const QByteArray good = rep.rawData();

    QByteArray noise(n, '\0');
    quint32 x = 12345;
    for (char &c : noise)
        c = char((x = x * 1103515245u + 12345u) >> 24);
    QByteArray shortStarts;
    while (shortStarts.size() < n)
        shortStarts += QByteArray::fromHex("0400") + QByteArray(14, '\x11');
    const struct
    {
        const char *name;
        QByteArray junk;
    } cases[] = {{"start bytes (0x04) only", QByteArray(n, '\x04')},
                 {"04 00 and 14 bytes, repeated", shortStarts.left(n)},
                 {"noise", noise}};

    QTextStream out(stdout);
    out << "junk: " << kb << " KB, then a 41-byte reply; CPU seconds, median of " << Repeats << "\n";
    double worst = 0;
    for (const auto &c : cases) {
        std::vector<double> s;
        for (int i = 0; i < Repeats; ++i) {
            const double t0 = cpuSeconds();
            if (!feed(c.junk + good)) {
                out << "reply not found behind " << c.name << "\n";
                return 1;
            }
            s.push_back(cpuSeconds() - t0);
        }
        std::sort(s.begin(), s.end());
        const double median = s[s.size() / 2];
        worst = std::max(worst, median);
        out << QStringLiteral("%1 %2\n").arg(QLatin1String(c.name), -32).arg(median, 0, 'f', 4);
    }
    out << QStringLiteral("RESULT collector kb=%1 worst_s=%2\n").arg(kb).arg(worst, 0, 'f', 4);
    return 0;
}
