// The receipt tab's test receipt (start, 21 data records, open document data, completion: 24
// exchanges) against the in-process register, pressed as a user presses it. The floor is the same
// number of bare QSerialPort exchanges (port reopened for each, as the transport must) on the same
// register, measured first in the same run.
//
//     bench_testreceipt [RECEIPTS]      (default 30)
#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "bareexchange.h"
#include "emulatorfixture.h"
#include "frconst.h"
#include "frwrapper.h"
#include "messageboxcatcher.h"
#include "receuptwidget.h"

namespace {
constexpr int ExchangesPerReceipt = 24;

void dropMessages(QtMsgType, const QMessageLogContext &, const QString &)
{}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    registerFsMetaTypes();
    qInstallMessageHandler(dropMessages);
    const int receipts = argc > 1 ? std::max(3, QString::fromLocal8Bit(argv[1]).toInt()) : 30;

    EmulatorFixture emu;
    if (!emu.start()) {
        fprintf(stderr, "emulator: %s\n", qPrintable(emu.lastError()));
        return 1;
    }
    emu.device().setHistoryLimit(1000);

    // The floor first, while nothing else holds the port.
    std::vector<double> floorMs;
    for (int i = 0; i < receipts + 1; ++i) {
        std::vector<qint64> ns;
        if (!bench::bareRound(emu.devicePath(), ExchangesPerReceipt, true, ns)) {
            fprintf(stderr, "bare exchange failed\n");
            return 1;
        }
        qint64 floor = 0;
        for (qint64 v : ns)
            floor += v;
        if (i > 0)
            floorMs.push_back(double(floor) / 1e6);
    }

    FsWrapper fr;
    fr.open(emu.devicePath());
    fr.setCashier(DefaultCashierNumber);
    fr.setPassword(DefaultCashierPassword);
    qint16 cycle = 0;
    qint32 fd = 0, fp = 0;
    QDateTime dt;
    if (fr.startCycleOpening(QStringLiteral("Кассир")) != 0 || fr.completeCycleOpening(cycle, fd, fp, dt) != 0) {
        fprintf(stderr, "could not open a shift\n");
        return 1;
    }

    ReceuptWidget tab;
    tab.setFsWrapper(&fr);
    tab.show();
    auto *button = tab.findChild<QAbstractButton *>(QStringLiteral("pbTestReceipt"));
    if (!button) {
        fprintf(stderr, "no test receipt button\n");
        return 1;
    }
    MessageBoxCatcher boxes;
    const QRegularExpression reported(QStringLiteral("ВРЕМЯ ВЫПОЛНЕНИЯ ТЕСТА (\\d+) мс"));

    std::vector<double> pressMs, reportedMs;
    for (int i = 0; i < receipts + 1; ++i) { // the first one warms up
        QElapsedTimer t;
        t.start();
        button->click();
        const double wall = double(t.nsecsElapsed()) / 1e6;
        if (boxes.count() != 1 || boxes.last().icon != QMessageBox::Information) {
            fprintf(stderr, "receipt %d failed: %s\n", i, qPrintable(boxes.last().text));
            return 1;
        }
        const QRegularExpressionMatch m = reported.match(boxes.last().text);
        boxes.clear();
        if (i == 0)
            continue;
        pressMs.push_back(wall);
        reportedMs.push_back(m.hasMatch() ? m.captured(1).toDouble() : -1);
    }

    QTextStream out(stdout);
    out << "test receipt (" << ExchangesPerReceipt << " exchanges), " << pressMs.size() << " receipts\n";
    out << QStringLiteral("%1 %2\n").arg("", -44).arg("median ms", 10);
    out << QStringLiteral("%1 %2\n").arg("button press to message box", -44).arg(median(pressMs), 10, 'f', 1);
    out << QStringLiteral("%1 %2\n")
               .arg("time the tab reports (ВРЕМЯ ВЫПОЛНЕНИЯ)", -44)
               .arg(median(reportedMs), 10, 'f', 1);
    out << QStringLiteral("%1 %2\n").arg("24 bare QSerialPort exchanges (floor)", -44).arg(median(floorMs), 10, 'f', 1);
    out << QStringLiteral("RESULT testreceipt median_ms=%1 floor_ms=%2 ratio=%3\n")
               .arg(median(pressMs), 0, 'f', 1)
               .arg(median(floorMs), 0, 'f', 1)
               .arg(median(pressMs) / median(floorMs), 0, 'f', 2);
    return 0;
}
