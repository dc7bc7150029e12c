#include <QFile>
#include <QJsonArray>

#include "cli.h"
#include "framedecoder.h"

// Reads a log file of the window program (or hex text, one frame a line) and prints what each
// frame says; it needs no register, so an engineer can read a log sent back from the field.
int cmdDecode(Cli &cli, const QStringList &args)
{
    if (args.size() > 1)
        return Cli::usage(QStringLiteral("нужно: decode [ФАЙЛ]"));
    QFile file;
    const bool fromStdin = args.isEmpty() || args.first() == QLatin1String("-");
    const bool opened = fromStdin ? file.open(stdin, QIODevice::ReadOnly)
                                  : (file.setFileName(args.first()), file.open(QIODevice::ReadOnly));
    if (!opened) {
        Cli::note(QStringLiteral("%1: %2").arg(fromStdin ? QStringLiteral("stdin") : args.first(), file.errorString()));
        return CliExit::NoInput;
    }
    const QStringList summaries = framedecoder::decodeText(QString::fromUtf8(file.readAll()));
    if (file.error() != QFileDevice::NoError) {
        Cli::note(QStringLiteral("%1: %2").arg(fromStdin ? QStringLiteral("stdin") : args.first(), file.errorString()));
        return CliExit::NoInput;
    }
    for (const QString &line : summaries)
        cli.out(line);
    cli.printJson(QJsonArray::fromStringList(summaries));
    return CliExit::Success;
}
