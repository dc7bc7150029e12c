#include "cli.h"

#include <QJsonObject>

#include <cstdio>
#include <unistd.h>

#include "firmwareloader.h"
#include "frmsg.h"

namespace {

// One line that redraws itself on a terminal; elsewhere (a log, a pipe) nothing per block: the
// outcome says how much went over.
class Progress
{
public:
    explicit Progress(bool json) : stream_(json ? stderr : stdout), bar_(::isatty(::fileno(stream_)) != 0) {}

    // Another line is about to be written: the bar's line is ended first.
    void breakLine()
    {
        if (drawn_) {
            std::fputs("\n", stream_);
            std::fflush(stream_);
            drawn_ = false;
        }
    }

    void show(qint64 done, qint64 total)
    {
        if (!bar_)
            return;
        constexpr int Width = 40;
        const int percent = total > 0 ? int(done * 100 / total) : 100;
        const int filled = percent * Width / 100;
        std::fprintf(stream_, "\r[%s%s] %3d%% %lld/%lld", QByteArray(filled, '#').constData(),
                     QByteArray(Width - filled, '.').constData(), percent, static_cast<long long>(done),
                     static_cast<long long>(total));
        std::fflush(stream_);
        drawn_ = true;
    }

private:
    FILE *stream_;
    bool bar_;
    bool drawn_ = false;
};

} // namespace

int cmdFirmware(Cli &cli, const QStringList &args)
{
    if (!cli.has(QStringLiteral("--loader")) || args.size() != 1)
        return Cli::usage(QStringLiteral("нужно: firmware ОБРАЗ --loader ПОРТ"));
    const QString loaderPort = cliparse::portPath(cli.value(QStringLiteral("--loader")));
    const QString refusedPort = FirmwareLoader::refusePort(loaderPort);
    if (!refusedPort.isEmpty())
        return Cli::usage(refusedPort);
    const QString image = args.first();
    // The file is judged before any port is opened, so that a wrong path costs nothing.
    const QString refusal = FirmwareLoader::refuseImage(image);
    if (!refusal.isEmpty()) {
        Cli::note(refusal);
        return CliExit::NoInput;
    }

    FirmwareLoader loader;
    Progress progress(cli.json());
    bool inBlocks = false;
    qint64 sent = 0;
    // During the blocks a block's command and its success are what the progress says already;
    // the command line is held back and shown only when something else follows it.
    QString heldCommand;
    QObject::connect(&loader, &FirmwareLoader::line, [&](const QString &text) {
        if (text.startsWith(QLatin1String("SEND FROM")))
            return;
        if (inBlocks && text.startsWith(QStringLiteral("КОМАНДА"))) {
            heldCommand = text;
            return;
        }
        if (inBlocks && text == QStringLiteral("УСПЕШНО!") && !heldCommand.isEmpty()) {
            heldCommand.clear();
            return;
        }
        progress.breakLine();
        if (!heldCommand.isEmpty())
            Cli::note(std::exchange(heldCommand, QString()));
        Cli::note(text);
    });
    QObject::connect(&loader, &FirmwareLoader::blocksStarted, [&] { inBlocks = true; });
    QObject::connect(&loader, &FirmwareLoader::blockSent, [&](qint64 offset, qint64 total) {
        sent = qMin(total, offset + FirmwareLoader::BlockSize);
        progress.show(sent, total);
    });
    QObject::connect(&loader, &FirmwareLoader::blocksFinished, [&] {
        inBlocks = false;
        progress.breakLine();
    });

    const FirmwareLoader::Outcome outcome = loader.upload(loaderPort, image);
    QJsonObject o{
        {QStringLiteral("image"), image}, {QStringLiteral("port"), loaderPort}, {QStringLiteral("sent"), sent}};
    switch (outcome) {
    case FirmwareLoader::Outcome::Done:
        cli.out(QStringLiteral("Прошивка загружена: передано %1 байт").arg(sent));
        cli.printJson(o);
        return CliExit::Success;
    case FirmwareLoader::Outcome::FileError:
        return CliExit::NoInput;
    case FirmwareLoader::Outcome::PortError:
        return CliExit::Unavailable;
    case FirmwareLoader::Outcome::PortBusy:
        return CliExit::TempFail;
    case FirmwareLoader::Outcome::Refused:
        break;
    }
    cli.printJson(o);
    // The loader's own status numbers are no result codes of the register: they have an exit
    // status of their own, and the number is told in words and in --json.
    if (loader.lastResultFromLoader()) {
        o[QStringLiteral("loaderStatus")] = loader.lastResult();
        cli.printJson(o);
        Cli::note(QStringLiteral("загрузка прошивки не завершена: загрузчик ответил ошибкой %1 (передано %2 байт)")
                      .arg(loader.lastResult())
                      .arg(sent));
        return CliExit::Protocol;
    }
    Cli::note(QStringLiteral("загрузка прошивки не завершена: %1 (передано %2 байт)")
                  .arg(loader.lastResult() == CoreApiConst::NoAnswer ? QStringLiteral("загрузчик не ответил")
                                                                     : QStringLiteral("ответ загрузчика не разобран"))
                  .arg(sent));
    return loader.lastResult() != 0 ? loader.lastResult() : int(CoreApiConst::ParseError);
}
