#pragma once

// A long run of exchanges through FsWrapper against the in-process register with random faults:
// every reply must belong to its request (same exchange number, the command's own reply size),
// no exchange may hang, and memory must stay flat. Shared by the short soak test and the soak
// benchmark, which differ only in the number of exchanges.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QString>
#include <QTimer>

#include <functional>

#include "emulatorfixture.h"
#include "frwrapper.h"

namespace soak {

struct Options
{
    int exchanges = 300;
    double faultShare = 0.05;
    quint32 seed = 20240603;
    FsRwTimeout timeout{300, 500};
    int warmUp = 200; // exchanges before the first memory reading
    std::function<void(int done)> progress;
};

struct Report
{
    int exchanges = 0;
    int faulted = 0;
    int succeeded = 0;
    int failedReported = 0;   // 252 or 253 returned: the caller was told
    int mismatched = 0;       // success with another request's reply
    int unexpectedFailed = 0; // failure on an exchange whose fault should have been recovered
    int hung = 0;             // exchanges the watchdog had to end
    qint64 rssStartKiB = 0;
    qint64 rssEndKiB = 0;
    qint64 elapsedMs = 0;
    qint64 slowestMs = 0;
    QMap<QString, int> faultsByKind;
    QStringList problems; // the first few, for the report
};

inline qint64 residentKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

struct Fault
{
    const char *name;
    QVector<EmuFault> faults;
    bool recoverable; // the transport must turn it into a success
};

// What the faults do to one exchange of `timeout`. "late" is just past the read time-out, so
// that the reply and its repeat cross into the next exchange.
inline QVector<Fault> faultKinds(const FsRwTimeout &timeout)
{
    using F = EmuFault;
    const int late = int(timeout.readTimeout) + 100;
    return {
        {"lost reply", {F(F::DropReply, 1)}, true},
        {"ignored request", {F(F::IgnoreRequest, 1)}, true},
        {"stale repeat", {F(F::DropReply, 1), F(F::StaleRepeat, 1)}, true},
        {"split reply", {F(F::SplitReply, 1, 40)}, true},
        {"long gap", {F(F::SplitReply, 1, 200)}, true},
        {"late reply", {F(F::DelayReply, 1, late), F(F::DelayReply, 2, 150)}, true},
        {"stray bytes", {F(F::StrayPrefix, 1, 4)}, true},
        {"truncated", {F(F::TruncateReply, 1)}, true},
        {"silent once", {F(F::Silent, 1)}, true},
        {"bad CRC", {F(F::CorruptCrc, 1)}, false},
    };
}

struct Read
{
    quint8 code;
    int replySize; // learnt from a clean exchange before the run
};

inline Report run(EmulatorFixture &emu, const Options &options)
{
    // Status, firmware version, shift status, clock: replies of four different sizes.
    Read reads[] = {{0x30, -1}, {0x33, -1}, {0x10, -1}, {0x03, -1}};
    const QVector<Fault> kinds = faultKinds(options.timeout);
    QRandomGenerator rng(options.seed);
    Report report;

    FsWrapper fr;
    fr.open(emu.devicePath());
    fr.setCashier(20);
    fr.setPassword(30);
    // The first frame each exchange sends carries its exchange number.
    quint32 sentUnique = 0;
    bool first = true;
    QObject::connect(&fr, qOverload<bool, QString>(&FsWrapper::showLog), [&](bool out, const QString &hex) {
        if (!out || !first || hex.size() < 16)
            return;
        first = false;
        const QByteArray raw = QByteArray::fromHex(hex.toLatin1());
        sentUnique = quint32(quint8(raw.at(4))) | quint32(quint8(raw.at(5))) << 8 | quint32(quint8(raw.at(6))) << 16 |
                     quint32(quint8(raw.at(7))) << 24;
    });
    const auto problem = [&](const QString &text) {
        if (report.problems.size() < 20)
            report.problems << text;
    };

    for (Read &read : reads) {
        FsRep rep;
        if (fr.exec(FsReq(read.code), rep, options.timeout) == 0)
            read.replySize = rep.data().size();
        else
            problem(QStringLiteral("clean exchange 0x%1 failed").arg(read.code, 2, 16, QLatin1Char('0')));
    }

    // An exchange can take three read time-outs at the most; past that it hangs.
    const qint64 bound = 3 * qint64(options.timeout.readTimeout) + options.timeout.writeTimeout + 2000;
    QElapsedTimer total;
    total.start();
    for (int i = 0; i < options.exchanges; ++i) {
        if (i == options.warmUp)
            report.rssStartKiB = residentKiB();
        const Read &read = reads[rng.bounded(int(sizeof reads / sizeof reads[0]))];
        const Fault *fault = nullptr;
        if (rng.generateDouble() < options.faultShare) {
            fault = &kinds[rng.bounded(kinds.size())];
            for (const EmuFault &f : fault->faults)
                emu.addFault(f);
            ++report.faulted;
            ++report.faultsByKind[QString::fromLatin1(fault->name)];
        }

        first = true;
        sentUnique = 0;
        FsRep rep;
        bool watchdogFired = false;
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [&]() {
            // Ending the worker releases the waiting caller with "no answer".
            watchdogFired = true;
            fr.close();
        });
        watchdog.start(int(bound));
        QElapsedTimer one;
        one.start();
        const int rc = fr.exec(FsReq(read.code), rep, options.timeout);
        watchdog.stop();
        report.slowestMs = qMax(report.slowestMs, one.elapsed());
        emu.clearFaults();
        ++report.exchanges;

        const QString where = QStringLiteral("exchange %1 (cmd 0x%2, fault %3)")
                                  .arg(i)
                                  .arg(read.code, 2, 16, QLatin1Char('0'))
                                  .arg(fault ? QString::fromLatin1(fault->name) : QStringLiteral("none"));
        if (watchdogFired) {
            ++report.hung;
            problem(where + QStringLiteral(": hung"));
            fr.open(emu.devicePath());
            continue;
        }
        if (rc == 0) {
            ++report.succeeded;
            if (rep.unique() != sentUnique || rep.data().size() != read.replySize) {
                ++report.mismatched;
                problem(where + QStringLiteral(": reply %1 with %2 bytes to request %3")
                                    .arg(rep.unique(), 8, 16, QLatin1Char('0'))
                                    .arg(rep.data().size())
                                    .arg(sentUnique, 8, 16, QLatin1Char('0')));
            }
        } else {
            ++report.failedReported;
            if (!fault || fault->recoverable) {
                ++report.unexpectedFailed;
                problem(where + QStringLiteral(": result %1").arg(rc));
            }
        }
        if (options.progress && (i + 1) % 1000 == 0)
            options.progress(i + 1);
    }
    report.elapsedMs = total.elapsed();
    if (report.rssStartKiB == 0)
        report.rssStartKiB = residentKiB();
    report.rssEndKiB = residentKiB();
    return report;
}

} // namespace soak
