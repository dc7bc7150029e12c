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
#include <QSerialPort>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <vector>

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

// One bare status exchange with the port closed, opened and configured first; microseconds.
double bareExchangeUs(QSerialPort &port)
{
    QElapsedTimer t;
    t.start();
    port.close();
    if (!port.open(QIODevice::ReadWrite))
        return -1;
    port.clear();
    port.setBaudRate(115200);
    port.setDataBits(QSerialPort::Data8);
    port.setStopBits(QSerialPort::OneStop);
    port.setParity(QSerialPort::NoParity);
    port.setFlowControl(QSerialPort::NoFlowControl);
    port.clear();
    FsReq req(0x30);
    req.newUnique();
    port.write(req.rawData());
    port.waitForBytesWritten(1000);
    QByteArray reply;
    int expected = -1;
    while (expected < 0 || reply.size() < expected) {
        if (port.bytesAvailable() <= 0 && !port.waitForReadyRead(2000))
            return -1;
        reply += port.readAll();
        if (expected < 0 && reply.size() >= 3)
            expected = int(quint8(reply.at(1))) + (int(quint8(reply.at(2))) << 8) + 5;
    }
    return double(t.nsecsElapsed()) / 1000.0;
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
    {
        QSerialPort port(emu.devicePath());
        for (int i = 0; i < receipts + 1; ++i) {
            double floor = 0;
            for (int k = 0; k < ExchangesPerReceipt; ++k) {
                const double us = bareExchangeUs(port);
                if (us < 0) {
                    fprintf(stderr, "bare exchange failed\n");
                    return 1;
                }
                floor += us / 1000.0;
            }
            if (i > 0)
                floorMs.push_back(floor);
        }
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
