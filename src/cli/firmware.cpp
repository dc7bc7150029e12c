#include "cli.h"

#include <QJsonObject>

#include <cstdio>
#include <unistd.h>

#include "firmwareloader.h"
#include "frmsg.h"

namespace {

// A bar that redraws itself on a terminal; elsewhere (a log, a pipe) a line per tenth.
class Progress
{
public:
    explicit Progress(bool json) : bar_(!json && ::isatty(STDOUT_FILENO)), stream_(json ? stderr : stdout) {}

    bool isBar() const { return bar_; }
    // Another line is about to be written: the bar's line is ended first.
    void breakLine()
    {
        if (bar_ && drawn_) {
            std::fputs("\n", stream_);
            std::fflush(stream_);
            drawn_ = false;
        }
    }

    void show(qint64 done, qint64 total)
    {
        const int percent = total > 0 ? int(done * 100 / total) : 100;
        if (bar_) {
            constexpr int Width = 40;
            const int filled = percent * Width / 100;
            std::fprintf(stream_, "\r[%s%s] %3d%% %lld/%lld", QByteArray(filled, '#').constData(),
                         QByteArray(Width - filled, '.').constData(), percent, static_cast<long long>(done),
                         static_cast<long long>(total));
            drawn_ = true;
        } else if (percent / 10 != lastTenth_) {
            lastTenth_ = percent / 10;
            std::fprintf(stream_, "передано %lld из %lld байт (%d%%)\n", static_cast<long long>(done),
                         static_cast<long long>(total), percent);
        }
        std::fflush(stream_);
    }
    void finish() { breakLine(); }

private:
    bool bar_;
    FILE *stream_;
    int lastTenth_ = -1;
    bool drawn_ = false;
};

} // namespace

int cmdFirmware(Cli &cli, const QStringList &arguments)
{
    QStringList args = arguments;
    QStringList loaderPort;
    if (!cliparse::takeOption(args, QStringLiteral("--loader"), 1, &loaderPort) || loaderPort.isEmpty() ||
        args.size() != 1)
        return Cli::usage(QStringLiteral("нужно: firmware ОБРАЗ --loader ПОРТ"));
    const QString image = args.first();
    // The file is judged before any port is opened, so that a wrong path costs nothing.
    const QString refusal = FirmwareLoader::refuseImage(image);
    if (!refusal.isEmpty()) {
        Cli::note(refusal);
        return CliExit::NoInput;
    }

    FirmwareLoader loader;
    Progress progress(cli.json());
    int lastStatus = 0;
    bool inBlocks = false;
    QObject::connect(&loader, &FirmwareLoader::line, [&](const QString &text) {
        // Block lines would drown the bar; the bar says the same. On a terminal the bar also
        // stands for each block's command and its success; anything else is shown below it.
        if (text.startsWith(QLatin1String("SEND FROM")))
            return;
        if (inBlocks && progress.isBar() &&
            (text == QStringLiteral("УСПЕШНО!") || text.startsWith(QStringLiteral("КОМАНДА"))))
            return;
        progress.breakLine();
        Cli::note(text);
    });
    QObject::connect(&loader, &FirmwareLoader::blocksStarted, [&] { inBlocks = true; });
    QObject::connect(&loader, &FirmwareLoader::blockSent, [&](qint64 offset, qint64 total) {
        progress.show(qMin(total, offset + FirmwareLoader::BlockSize), total);
    });
    QObject::connect(&loader, &FirmwareLoader::blocksFinished, [&] {
        inBlocks = false;
        progress.finish();
    });

    const FirmwareLoader::Outcome outcome = loader.upload(loaderPort.first(), image);
    lastStatus = loader.lastResult();
    QJsonObject o{{QStringLiteral("image"), image}, {QStringLiteral("port"), loaderPort.first()}};
    switch (outcome) {
    case FirmwareLoader::Outcome::Done:
        cli.out(QStringLiteral("Прошивка загружена"));
        o[QStringLiteral("result")] = 0;
        cli.printJson(o);
        return CliExit::Success;
    case FirmwareLoader::Outcome::FileError:
        return CliExit::NoInput;
    case FirmwareLoader::Outcome::PortError:
        return CliExit::Unavailable;
    case FirmwareLoader::Outcome::Refused:
        break;
    }
    o[QStringLiteral("result")] = lastStatus;
    cli.printJson(o);
    Cli::note(QStringLiteral("загрузка прошивки не завершена"));
    return lastStatus != 0 ? lastStatus : int(CoreApiConst::ParseError);
}
