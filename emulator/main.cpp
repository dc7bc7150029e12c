// virta-emulator: the substitute register. Serves the register's protocol (and the firmware
// loader's) on pseudo-terminals, a serial device or TCP until SIGINT or SIGTERM.

#include "emuserver.h"
#include "frlink.h"
#include "instancelock.h"
#include "safefile.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QMutex>
#include <QRegularExpression>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char Description[] =
    "The substitute register of VIRTA SERVICE: a fiscal register and its firmware loader on serial\n"
    "lines, for training, rehearsing a procedure and reproducing faults without hardware.\n"
    "\n"
    "It prints the register's device path (\"register: PATH\") and the loader's (\"loader: PATH\");\n"
    "type that path into the application's port box. With --listen it serves the register over TCP\n"
    "too (\"network: tcp://HOST:PORT\"; one client at a time, a second one is closed at once): type\n"
    "that address instead. It serves until SIGINT or SIGTERM (Ctrl+C), then removes its links.\n"
    "\n"
    "Faults (--fault NAME[:N][=VALUE], repeatable; without :N every time, with :N only the Nth\n"
    "time):\n"
    "  drop-reply            the request is executed, its reply is not sent (0x05 recovers it)\n"
    "  ignore-request        the request is neither executed nor answered\n"
    "  stale-repeat          0x05 is answered with an older reply of another exchange number\n"
    "  split-reply=MS        the reply is sent in two bursts MS ms apart (default 50)\n"
    "  delay-reply=MS        the first byte of the reply waits MS ms (default 500)\n"
    "  corrupt-crc           the reply's checksum is wrong\n"
    "  stray-prefix=COUNT    COUNT stray bytes precede the reply (default 3)\n"
    "  silent                nothing is executed or answered, 0x05 included\n"
    "  truncate-reply=BYTES  only the first BYTES bytes of the reply are sent (default: all but the CRC)\n"
    "  printer-not-answering printing commands answer 53\n"
    "  out-of-paper          printing commands answer 54\n"
    "  tape-out-of-paper=DOCS a control tape runs out of paper after DOCS documents (default 1):\n"
    "                        54 with the document to go on from\n"
    "  foreign-card          status bit 2 (SD card of another register); fiscal documents answer 32\n"
    "  eeprom-error          status bit 6; catalogue, clock, factory number and settings writes answer 25\n"
    "  paper-low             status bit 13 (paper running low)\n"
    "  refuse=CODE           the request is not executed and is answered with CODE (e.g. 36, 50, 52)\n"
    "N counts replies for the reply faults (answers to 0x05 included), request frames for\n"
    "ignore-request, refuse, the printer faults and the status faults, 0x05 bytes for\n"
    "stale-repeat, both for silent.\n"
    "Example: --fault drop-reply:3 --fault split-reply=150";

QTextStream &err()
{
    static QTextStream s(stderr);
    return s;
}

bool signImage(const QString &in, const QString &out)
{
    QFile source(in);
    if (!source.open(QIODevice::ReadOnly)) {
        err() << "virta-emulator: cannot read " << in << ": " << source.errorString() << Qt::endl;
        return false;
    }
    const QByteArray body = source.readAll();
    if (body.size() > LoaderModel::MaxImageSize - emu::signedimage::HeaderSize - emu::signedimage::DigestSize) {
        err() << "virta-emulator: " << in << " is too large for the loader" << Qt::endl;
        return false;
    }
    QFile target(out);
    const QByteArray image = emu::signedimage::sign(body);
    if (!target.open(QIODevice::WriteOnly | QIODevice::Truncate) || target.write(image) != image.size()) {
        err() << "virta-emulator: cannot write " << out << ": " << target.errorString() << Qt::endl;
        return false;
    }
    QTextStream(stdout) << "signed image " << out << " (" << image.size() << " bytes)" << Qt::endl;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("virta-emulator"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VIRTA_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(Description));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption linkOpt(QStringLiteral("link"),
                                     QStringLiteral("Also make a symbolic link to the register's pseudo-terminal "
                                                    "at <path> (an old link there is replaced)."),
                                     QStringLiteral("path"));
    const QCommandLineOption loaderLinkOpt(
        QStringLiteral("loader-link"),
        QStringLiteral("Also make a symbolic link to the firmware loader's pseudo-terminal at <path>."),
        QStringLiteral("path"));
    const QCommandLineOption deviceOpt(
        QStringLiteral("device"),
        QStringLiteral("Serve the register on this serial device (e.g. /dev/ttyUSB0, 115200 8N1, for a "
                       "null-modem cable to another PC) instead of a new pseudo-terminal."),
        QStringLiteral("device"));
    const QCommandLineOption listenOpt(
        QStringLiteral("listen"),
        QStringLiteral("Also serve the register over TCP on [HOST:]PORT (HOST defaults to 127.0.0.1; 0.0.0.0 or [::] "
                       "for other machines; port 0 takes a free one). One client at a time."),
        QStringLiteral("[host:]port"));
    const QCommandLineOption networkOnlyOpt(
        QStringLiteral("network-only"),
        QStringLiteral("With --listen: serve the register over TCP only, on no pseudo-terminal or device (the "
                       "loader stays on its pseudo-terminal)."));
    const QCommandLineOption stateOpt(
        QStringLiteral("state"),
        QStringLiteral("Keep the register's state in this JSON file: loaded at start when it exists "
                       "(--preset is then ignored), saved after every executed command."),
        QStringLiteral("file"));
    const QCommandLineOption presetOpt(
        QStringLiteral("preset"),
        QStringLiteral("Starting state: \"fresh\" (no factory number, not activated) or \"ready\" (factory number "
                       "set, registered, shift closed, cashier 20). Default: ready."),
        QStringLiteral("name"), QStringLiteral("ready"));
    const QCommandLineOption tapeOpt(QStringLiteral("tape"),
                                     QStringLiteral("Append every printed line (the register's paper) to this file."),
                                     QStringLiteral("file"));
    const QCommandLineOption imagesOpt(
        QStringLiteral("images"),
        QStringLiteral("Write firmware images received by the loader into this folder (received-NNN.signed.img, "
                       "rejected-NNN.img, installed.signed.img)."),
        QStringLiteral("dir"));
    const QCommandLineOption faultOpt(
        QStringLiteral("fault"), QStringLiteral("Misbehave on purpose (repeatable); see the list of faults above."),
        QStringLiteral("NAME[:N][=VALUE]"));
    const QCommandLineOption installOpt(QStringLiteral("install-seconds"),
                                        QStringLiteral("How long the loader takes to install an image. Default: 3."),
                                        QStringLiteral("seconds"), QStringLiteral("3"));
    const QCommandLineOption verboseOpt(
        QStringLiteral("verbose"),
        QStringLiteral("Log one line per request (command, length, result) and per 0x05 on standard error."));
    const QCommandLineOption signOpt(
        QStringLiteral("sign-image"),
        QStringLiteral("Make a signed firmware image from file <in> (given as the option's value) into the file "
                       "named by the single positional argument, then exit: --sign-image IN OUT."),
        QStringLiteral("in"));
    parser.addOptions({linkOpt, loaderLinkOpt, deviceOpt, listenOpt, networkOnlyOpt, stateOpt, presetOpt, tapeOpt,
                       imagesOpt, faultOpt, installOpt, verboseOpt, signOpt});
    parser.addPositionalArgument(QStringLiteral("out"), QStringLiteral("Output file of --sign-image."),
                                 QStringLiteral("[out]"));
    parser.process(app);

    if (parser.isSet(signOpt)) {
        if (parser.positionalArguments().size() != 1) {
            err() << "virta-emulator: --sign-image IN OUT needs exactly one output file" << Qt::endl;
            return 2;
        }
        return signImage(parser.value(signOpt), parser.positionalArguments().first()) ? 0 : 1;
    }
    if (!parser.positionalArguments().isEmpty()) {
        err() << "virta-emulator: unexpected argument " << parser.positionalArguments().first() << " (see --help)"
              << Qt::endl;
        return 2;
    }

    QString listen = parser.value(listenOpt);
    if (!listen.isEmpty()) {
        // A bare port listens on this machine only: the register keeps its cashiers' passwords.
        static const QRegularExpression portOnly(QStringLiteral("^[0-9]+$"));
        if (portOnly.match(listen).hasMatch())
            listen = QStringLiteral("127.0.0.1:") + listen;
        QString host, why;
        quint16 port = 0;
        if (!FrAddress::parseHostPort(listen, &host, &port, &why, true)) {
            err() << "virta-emulator: --listen " << parser.value(listenOpt) << ": " << why << Qt::endl;
            return 2;
        }
    }
    if (parser.isSet(networkOnlyOpt) && (listen.isEmpty() || parser.isSet(deviceOpt) || parser.isSet(linkOpt))) {
        err() << "virta-emulator: --network-only needs --listen, and takes no --device or --link" << Qt::endl;
        return 2;
    }

    const QString preset = parser.value(presetOpt);
    if (!FiscalModel::isPreset(preset)) {
        err() << "virta-emulator: unknown preset \"" << preset << "\" (fresh or ready)" << Qt::endl;
        return 2;
    }
    bool ok = false;
    const int installSeconds = parser.value(installOpt).toInt(&ok);
    if (!ok || installSeconds < 0 || installSeconds > 3600) {
        err() << "virta-emulator: --install-seconds takes 0 to 3600" << Qt::endl;
        return 2;
    }
    QVector<EmuFault> faults;
    for (const QString &text : parser.values(faultOpt)) {
        EmuFault f;
        QString why;
        if (!EmuFault::parse(text, &f, &why)) {
            err() << "virta-emulator: " << why << Qt::endl;
            return 2;
        }
        faults.append(f);
    }

    EmuServer server;
    const bool verbose = parser.isSet(verboseOpt);
    // A file grown past the process's size limit is a short write to answer 5 for, not a reason to die.
    std::signal(SIGXFSZ, SIG_IGN);

    // The state file and the tape by their real paths, reached through no link of another user:
    // the lock then follows the file whatever path names it.
    QString statePath, tapePath;
    for (const auto &path :
         {std::make_pair(parser.value(stateOpt), &statePath), std::make_pair(parser.value(tapeOpt), &tapePath)}) {
        QString why;
        if (!path.first.isEmpty() && !safefile::resolve(path.first, path.second, &why)) {
            err() << "virta-emulator: " << why << Qt::endl;
            return 1;
        }
    }

    // Two registers on one state file or one link would overwrite each other: the second one
    // stops before it reads, writes or links anything.
    InstanceLock stateLock, linkLock, loaderLinkLock;
    for (const auto &held : {std::make_pair(&stateLock, statePath), std::make_pair(&linkLock, parser.value(linkOpt)),
                             std::make_pair(&loaderLinkLock, parser.value(loaderLinkOpt))}) {
        QString why;
        if (!held.second.isEmpty() && !held.first->acquire(held.second, &why)) {
            err() << "virta-emulator: " << why << Qt::endl;
            return 1;
        }
    }

    struct stat st;
    if (!statePath.isEmpty() && ::lstat(QFile::encodeName(statePath).constData(), &st) == 0) {
        QString why;
        // A file we cannot read is the user's data: refuse to start rather than overwrite it.
        if (!server.model().loadFromFile(statePath, &why)) {
            err() << "virta-emulator: cannot load state " << statePath << ": " << why << Qt::endl;
            err() << "virta-emulator: the files are left as they were; correct them, or move them away to start "
                     "from a preset"
                  << Qt::endl;
            return 1;
        }
        if (parser.isSet(presetOpt))
            err() << "virta-emulator: state loaded from " << statePath << "; --preset ignored" << Qt::endl;
    } else {
        server.model().applyPreset(preset);
        QString why;
        if (!statePath.isEmpty() && !server.model().createStore(statePath, &why)) {
            err() << "virta-emulator: cannot start on state " << statePath << ": " << why << Qt::endl;
            return 1;
        }
    }

    // The paper, appended to for the whole run; made 0600 like the state.
    const int tape = tapePath.isEmpty()
                         ? -1
                         : ::open(QFile::encodeName(tapePath).constData(),
                                  O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (!tapePath.isEmpty() && tape < 0) {
        err() << "virta-emulator: " << safefile::systemError(QStringLiteral("cannot write tape %1").arg(tapePath))
              << Qt::endl;
        return 1;
    }
    if (tape >= 0)
        ::fcntl(tape, F_SETFL, ::fcntl(tape, F_GETFL) & ~O_NONBLOCK);

    // The register's and the loader's threads both log.
    static QMutex logMutex;
    auto log = [](const QString &line) {
        QMutexLocker lock(&logMutex);
        err() << line << Qt::endl;
    };
    if (verbose) {
        server.device().setRequestLog(log);
        server.loader().setRequestLog(log);
    }
    if (!statePath.isEmpty()) {
        server.model().keepStateIn(statePath);
        // Only the tests of the program set this: a full or failing disk on demand.
        const QString fault = qEnvironmentVariable("VIRTA_EMULATOR_TEST_STORE_FAULT");
        QString why;
        if (!fault.isEmpty() && !server.model().failStoreForTests(fault, &why)) {
            err() << "virta-emulator: VIRTA_EMULATOR_TEST_STORE_FAULT: " << why << Qt::endl;
            return 2;
        }
    }
    QString stateErrorShown;
    server.device().setAfterExecute([=, &stateErrorShown](FiscalModel &model) mutable {
        const QStringList printed = model.takePrinted();
        if (!printed.isEmpty() && tape >= 0) {
            QString why;
            if (!safefile::writeAll(tape, (printed.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8(), -1, &why))
                log(QStringLiteral("cannot write tape %1: %2").arg(tapePath, why));
        } else if (verbose) {
            for (const QString &line : printed)
                log(QStringLiteral("tape: ") + line);
        }
        // Say why a command failed on the store once, not for every command after.
        const QString why = model.lastStoreError();
        if (!why.isEmpty() && why != stateErrorShown)
            log(why);
        stateErrorShown = why;
    });
    server.loader().setInstallSeconds(installSeconds);
    server.loader().setImagesDir(parser.value(imagesOpt));
    for (const EmuFault &f : faults)
        server.device().addFault(f);

    // The serving threads inherit this mask, so the signals arrive at sigwait below only.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    EmuServer::Config config;
    config.device = parser.value(deviceOpt);
    config.link = parser.value(linkOpt);
    config.loaderLink = parser.value(loaderLinkOpt);
    config.listen = listen;
    config.serial = !parser.isSet(networkOnlyOpt);
    server.setNetworkLog([log](const QString &line) { log(QStringLiteral("virta-emulator: ") + line); });
    QString why;
    if (!server.start(config, &why)) {
        err() << "virta-emulator: " << why << Qt::endl;
        return 1;
    }

    QTextStream out(stdout);
    if (config.serial)
        out << "register: " << server.devicePath() << Qt::endl;
    if (!config.listen.isEmpty())
        out << "network: " << server.networkName() << Qt::endl;
    out << "loader: " << server.loaderPath() << Qt::endl;
    if (!config.link.isEmpty())
        err() << "virta-emulator: register also at " << config.link << Qt::endl;
    if (!config.loaderLink.isEmpty())
        err() << "virta-emulator: loader also at " << config.loaderLink << Qt::endl;
    for (const EmuFault &f : faults)
        err() << "virta-emulator: fault " << f.toString() << Qt::endl;
    err() << "virta-emulator: serving; stop with Ctrl+C" << Qt::endl;

    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }
    server.stop();
    err() << "virta-emulator: stopped" << Qt::endl;
    return 0;
}
