#include "cli.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSerialPortInfo>
#include <QThread>

#include <memory>
#include <vector>

#include "frwrapper.h"

namespace {

// Long enough for a register to answer its identity, short enough that a port with nothing on
// it (asked twice: once more with the repeat request) keeps the whole search under a second.
constexpr FsRwTimeout ProbeTimeout{250, 250};

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
    if (!fr.open(p.port)) {
        p.busy = fr.openError();
        return;
    }
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
    for (const QString &path : args)
        ports << cliparse::portPath(path);
    ports.removeDuplicates();

    // Every port at once, each in a thread of its own: a silent port costs its time-out only once.
    std::vector<Probe> probes(size_t(ports.size()));
    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = 0; i < ports.size(); ++i) {
        probes[size_t(i)].port = ports.at(i);
        threads.emplace_back(QThread::create([p = &probes[size_t(i)]] { probe(*p); }));
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
