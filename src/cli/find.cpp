#include "cli.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSerialPortInfo>
#include <QThread>

#include <atomic>
#include <memory>
#include <vector>

#include "frlink.h"
#include "frwrapper.h"

namespace {

// Long enough for a register to answer its identity, short enough that a port with nothing on
// it (asked twice: once more with the repeat request) keeps the whole search under a second.
constexpr FsRwTimeout ProbeTimeout{250, 250};
// A network address that does not answer a connect within this is taken for nobody there.
constexpr int ProbeConnectMs = 500;
// Probes at once: every port of a range of a thousand in one go would be two thousand threads.
constexpr int MaxParallelProbes = 64;

struct Probe
{
    QString port;
    bool found = false;
    SerialInfo info;
    QString version;
    QString busy; // another program holds the port: not probed
};

void probe(Probe &p)
{
    FsWrapper fr;
    fr.setConnectTimeout(ProbeConnectMs);
    if (!fr.open(p.port)) {
        p.busy = fr.openError();
        return;
    }
    // A network address nobody answers is given up after its one connect.
    QString failure;
    if (FrAddress::parse(p.port).isNetwork() && !fr.waitUntilOpened(&failure))
        return;
    FsRep rep;
    if (fr.exec(FsReq(0x31), rep, ProbeTimeout) != CoreApiConst::Success || !p.info.parse(rep.data()))
        return;
    p.found = true;
    // Once it has answered it is a register: the version gets the usual time.
    fr.getFirmwareVersion(p.version);
}

} // namespace

int cmdFind(Cli &cli, const QStringList &args)
{
    QStringList ports;
    const auto listed = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : listed)
        ports << info.systemLocation();
    // Network addresses and ranges are judged whole before anything is probed.
    for (const QString &typed : args) {
        const QList<FrAddress> addresses = FrAddress::parseMany(typed);
        if (addresses.size() == 1 && addresses.first().kind == FrAddress::Invalid)
            return Cli::usage(addresses.first().error);
        for (const FrAddress &a : addresses)
            ports << (a.isNetwork() ? a.name : cliparse::portPath(typed));
    }
    ports.removeDuplicates();

    // Ports at once, each in a thread of its own: a silent port costs its time-out only once.
    std::vector<Probe> probes(size_t(ports.size()));
    for (int i = 0; i < ports.size(); ++i)
        probes[size_t(i)].port = ports.at(i);
    std::atomic<size_t> next{0};
    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = 0; i < std::min(ports.size(), MaxParallelProbes); ++i) {
        threads.emplace_back(QThread::create([&probes, &next] {
            for (size_t at = next++; at < probes.size(); at = next++)
                probe(probes[at]);
        }));
        threads.back()->start();
    }
    for (auto &t : threads)
        t->wait();

    QJsonArray list;
    for (const Probe &p : probes) {
        if (!p.busy.isEmpty())
            Cli::note(p.busy + QStringLiteral(": не опрошен"));
        if (!p.found)
            continue;
        cli.out(QStringLiteral("%1\tмодель %2 %3\tЗН %4\tПО %5")
                    .arg(p.port)
                    .arg(p.info.modelCode)
                    .arg(p.info.modelName, p.info.factoryNumber, p.version));
        list.append(QJsonObject{{QStringLiteral("port"), p.port},
                                {QStringLiteral("model"), int(p.info.modelCode)},
                                {QStringLiteral("modelName"), p.info.modelName},
                                {QStringLiteral("factoryNumber"), p.info.factoryNumber},
                                {QStringLiteral("firmwareVersion"), p.version}});
    }
    cli.printJson(list);
    if (list.isEmpty()) {
        Cli::note(QStringLiteral("ККТ не найдена (опрошено портов: %1)").arg(ports.size()));
        return CliExit::Unavailable;
    }
    return CliExit::Success;
}
