// The main window's log pane over a long session: the time to append one frame (and let the
// window handle its events, as it does between exchanges) at frame 100 and at frame 10,000.
// Each figure is the median of 50 appends around that point. Every frame comes with its summary
// line, decoded here as the transport decodes it, so that the figures hold with summaries on.
//
//     bench_logpane [FRAMES]      (default 10000)
#include <QApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "framedecoder.h"
#include "frmsg.h"
#include "mainwidget.h"

namespace {
constexpr int Window = 50;

void dropMessages(QtMsgType, const QMessageLogContext &, const QString &)
{}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// A status request and its 31-byte reply, as the transport reports them.
QString frameHex(bool out, quint32 unique)
{
    FsMsg *msg = nullptr;
    FsReq req(0x30);
    FsRep rep;
    if (out) {
        req.setUnique(unique);
        msg = &req;
    } else {
        rep.setCode(0);
        rep.setUnique(unique);
        rep.setData(QByteArray::fromHex("30303030303030303432130001020700780000000010656503000028230000"));
        msg = &rep;
    }
    return QString::fromLatin1(msg->rawData().toHex());
}
} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    registerFsMetaTypes();
    qInstallMessageHandler(dropMessages);
    const int frames = argc > 1 ? std::max(4 * Window, QString::fromLocal8Bit(argv[1]).toInt()) : 10000;

    MainWidget window;
    window.resize(1200, 800);
    window.show();
    app.processEvents();

    std::vector<double> early, late;
    QElapsedTimer total;
    total.start();
    for (int i = 1; i <= frames + Window / 2; ++i) {
        const bool out = i % 2 == 1;
        const QString hex = frameHex(out, quint32(i));
        QElapsedTimer t;
        t.start();
        const QByteArray frame = QByteArray::fromHex(hex.toLatin1());
        window.showSummary(out, out ? framedecoder::describeRequest(frame)
                                    : framedecoder::describeReply(frame, 0x30, 3200));
        window.showLog(out, hex);
        app.processEvents();
        const double us = double(t.nsecsElapsed()) / 1000.0;
        if (i > 100 - Window / 2 && i <= 100 + Window / 2)
            early.push_back(us);
        if (i > frames - Window / 2)
            late.push_back(us);
    }
    const double a = median(early);
    const double b = median(late);
    QTextStream out(stdout);
    out << "log pane (summaries on): " << frames << " frames appended in " << total.elapsed() << " ms\n";
    out << QStringLiteral("%1 %2\n").arg("", -36).arg("median us", 10);
    out << QStringLiteral("%1 %2\n").arg("append frame 100", -36).arg(a, 10, 'f', 1);
    out << QStringLiteral("%1 %2\n").arg(QStringLiteral("append frame %1").arg(frames), -36).arg(b, 10, 'f', 1);
    out << QStringLiteral("RESULT logpane frame100_us=%1 frame%2_us=%3 ratio=%4 (target <= 2)\n")
               .arg(a, 0, 'f', 1)
               .arg(frames)
               .arg(b, 0, 'f', 1)
               .arg(b / a, 0, 'f', 2);
    return 0;
}
