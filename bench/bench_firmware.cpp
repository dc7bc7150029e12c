// Time of a whole firmware upload through the firmware tab (0x00, 1024 blocks, 0x02, 0x03) to the
// emulator's loader on a pseudo-terminal, against the floor that the loader protocol itself sets:
// the 20 ms pause after every command plus the wire time of every byte at 921600 baud (8N1, ten
// bits a byte). A pseudo-terminal carries bytes without baud-rate pacing, so the pauses alone are
// also shown as the floor this line can reach.
//
//     bench_firmware [RUNS]      (default 3 uploads of a 1 MiB signed image)
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "emulatorfixture.h"
#include "firmwarewidget.h"

namespace {

constexpr int ImageSize = 1024 * 1024;
constexpr int HeaderSize = 6;
constexpr double BitsPerByte = 10.0;

// The tab writes a warning per block; formatting it is part of the upload, printing it is not.
void dropMessages(QtMsgType, const QMessageLogContext &, const QString &)
{}

// What the two fixed costs of every command take on this machine: the port's close and reopen
// (Qt also removes and rewrites its lock file each time) and the pause itself.
double reopenMs(const QString &path, int n)
{
    QSerialPort port(path);
    port.setBaudRate(FirmwareWidget::BaudRate);
    if (!port.open(QIODevice::ReadWrite))
        return -1;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < n; ++i) {
        port.close();
        port.open(QIODevice::ReadWrite);
    }
    return double(t.nsecsElapsed()) / 1e6 / n;
}

double pauseMs(int n)
{
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < n; ++i)
        QThread::msleep(FirmwareWidget::PauseAfterCommandMs);
    return double(t.nsecsElapsed()) / 1e6 / n;
}

struct Run
{
    double seconds = 0;
    int commands = 0;
    qint64 wireBytes = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 3;
    qInstallMessageHandler(dropMessages);

    QByteArray body(ImageSize - emu::signedimage::HeaderSize - emu::signedimage::DigestSize, '\0');
    QRandomGenerator(1).fillRange(reinterpret_cast<quint32 *>(body.data()), body.size() / 4);
    const QByteArray image = emu::signedimage::sign(body);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.signed.img"));
    QFile file(path);
    if (!dir.isValid() || !file.open(QIODevice::WriteOnly) || file.write(image) != image.size()) {
        fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
    }
    file.close();

    EmulatorFixture emu;
    if (!emu.start()) {
        fprintf(stderr, "emulator: %s\n", qPrintable(emu.lastError()));
        return 1;
    }

    std::vector<Run> results;
    for (int r = 0; r < runs; ++r) {
        FirmwareWidget tab;
        tab.findChild<QComboBox *>(QStringLiteral("cbPort"))->setEditText(emu.loaderPath());
        tab.findChild<QLineEdit *>(QStringLiteral("leFirmareFile"))->setText(path);
        const int installsBefore = emu.loader().installCount();

        QElapsedTimer t;
        t.start();
        tab.findChild<QAbstractButton *>(QStringLiteral("pbSendFirmware"))->click();
        Run run;
        run.seconds = double(t.nsecsElapsed()) / 1e9;

        if (emu.loader().installCount() != installsBefore + 1 || emu.loader().installedImage() != image) {
            fprintf(stderr, "upload %d did not install the image:\n%s\n", r + 1,
                    qPrintable(tab.findChild<QTextBrowser *>(QStringLiteral("textBrowser"))->toPlainText()));
            return 1;
        }
        // Requests: a header each, the size and the blocks. Replies: a header each and their texts,
        // which are exactly the log lines that are not the tab's own.
        const QStringList lines =
            tab.findChild<QTextBrowser *>(QStringLiteral("textBrowser"))->toPlainText().split(QLatin1Char('\n'));
        for (const QString &line : lines) {
            if (line.startsWith(QStringLiteral("КОМАНДА"))) {
                ++run.commands;
                run.wireBytes += 2 * HeaderSize;
            } else if (line != QStringLiteral("УСПЕШНО!") && !line.startsWith(QLatin1String("SEND FROM"))) {
                run.wireBytes += line.toUtf8().size();
            }
        }
        run.wireBytes += 4 + image.size();
        results.push_back(run);
    }

    std::sort(results.begin(), results.end(), [](const Run &a, const Run &b) { return a.seconds < b.seconds; });
    const Run &median = results[results.size() / 2];
    const double pauses = median.commands * FirmwareWidget::PauseAfterCommandMs / 1000.0;
    const double wire = double(median.wireBytes) * BitsPerByte / FirmwareWidget::BaudRate;
    const double floor = pauses + wire;

    QTextStream out(stdout);
    out << QStringLiteral("upload of a %1-byte signed image, %2 commands, %3 bytes on the line, %4 run(s)\n")
               .arg(image.size())
               .arg(median.commands)
               .arg(median.wireBytes)
               .arg(runs);
    out << QStringLiteral("  runs (s):                 ");
    for (const Run &r : results)
        out << QStringLiteral(" %1").arg(r.seconds, 0, 'f', 2);
    out << "\n";
    out << QStringLiteral("  median upload:             %1 s\n").arg(median.seconds, 0, 'f', 2);
    out << QStringLiteral("  floor (pauses + wire):     %1 s = %2 s + %3 s at 921600 baud\n")
               .arg(floor, 0, 'f', 2)
               .arg(pauses, 0, 'f', 2)
               .arg(wire, 0, 'f', 2);
    out << QStringLiteral("  ratio to floor:            %1 (target <= 1.2)\n").arg(median.seconds / floor, 0, 'f', 2);
    out << QStringLiteral("  ratio to pauses alone:     %1 (the pty has no wire time)\n")
               .arg(median.seconds / pauses, 0, 'f', 2);
    out << QStringLiteral("  per command beyond pauses: %1 ms; of it: port close+open %2 ms, pause overshoot %3 ms\n")
               .arg((median.seconds - pauses) * 1000.0 / median.commands, 0, 'f', 2)
               .arg(reopenMs(emu.loaderPath(), 200), 0, 'f', 2)
               .arg(pauseMs(100) - FirmwareWidget::PauseAfterCommandMs, 0, 'f', 2);
    return 0;
}
