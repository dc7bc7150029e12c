#include <QJsonValue>

#include "cli.h"
#include "framedecoder.h"
#include "input.h"

namespace {

// No line of a log or of hex text is longer; the rest of a longer one is passed over, so that a
// file without line ends (a device, a binary) cannot fill the memory.
constexpr int MaxLineBytes = 1 << 20;

// The pieces of a stream cut into lines, each at most MaxLineBytes long.
class Lines
{
public:
    template <typename Take> void add(const QByteArray &piece, Take take)
    {
        int from = 0;
        for (int nl = piece.indexOf('\n'); nl >= 0; nl = piece.indexOf('\n', from)) {
            append(piece.mid(from, nl - from));
            take(line());
            partial_.clear();
            overlong_ = false;
            from = nl + 1;
        }
        append(piece.mid(from));
    }
    template <typename Take> void finish(Take take)
    {
        if (!partial_.isEmpty())
            take(line());
    }

private:
    QByteArray partial_;
    bool overlong_ = false;

    void append(const QByteArray &bytes)
    {
        if (overlong_)
            return;
        partial_.append(bytes.left(MaxLineBytes - partial_.size()));
        overlong_ = partial_.size() >= MaxLineBytes;
    }
    QString line() const
    {
        return QString::fromUtf8(partial_.endsWith('\r') ? partial_.left(partial_.size() - 1) : partial_);
    }
};

} // namespace

// Reads a log file of the window program (or hex text, one frame a line) and prints what each
// frame says; it needs no register, so an engineer can read a log sent back from the field. It
// prints as it reads, so neither a large file nor a pipe that never ends is held in memory.
int cmdDecode(Cli &cli, const QStringList &args)
{
    if (args.size() > 1)
        return Cli::usage(QStringLiteral("нужно: decode [ФАЙЛ]"));
    const QString path = args.value(0, QStringLiteral("-"));
    framedecoder::LineDecoder decoder;
    Lines lines;
    qint64 frames = 0;
    const auto show = [&] {
        for (const QString &summary : decoder.take()) {
            ++frames;
            const QString line = isoDates(summary);
            cli.out(line);
            cli.printJsonItem(line);
        }
        // Nobody reads what follows: there is no point in reading on.
        return !Cli::outputFailed();
    };
    const auto add = [&decoder](const QString &line) {
        decoder.addLine(line);
    };
    const int rc = cliinput::read(path, cliinput::Accept::AnyStream, 0, [&](const QByteArray &piece) {
        lines.add(piece, add);
        return show();
    });
    if (rc != CliExit::Success)
        return rc;
    lines.finish(add);
    decoder.finish();
    show();
    if (frames == 0 && !Cli::outputFailed()) {
        Cli::note(QStringLiteral("%1: кадров не найдено").arg(cliinput::shownName(path)));
        return CliExit::DataError;
    }
    return CliExit::Success;
}
