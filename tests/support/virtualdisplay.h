#pragma once

// A private X server for a test that starts a built program on a display: Xvfb chooses a free
// display number and reports it, and the server goes with this object.

#include <QDeadlineTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QString>

class VirtualDisplay
{
public:
    VirtualDisplay() = default;
    VirtualDisplay(const VirtualDisplay &) = delete;
    VirtualDisplay &operator=(const VirtualDisplay &) = delete;
    ~VirtualDisplay()
    {
        if (xvfb_.state() != QProcess::NotRunning) {
            xvfb_.terminate();
            if (!xvfb_.waitForFinished(5000))
                xvfb_.kill();
            xvfb_.waitForFinished(2000);
        }
    }
    // `screen` as Xvfb takes it: WIDTHxHEIGHTxDEPTH. False when there is no Xvfb or it did not start.
    bool start(const QString &screen = QStringLiteral("1280x800x24"))
    {
        const QString exe = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (exe.isEmpty())
            return false;
        xvfb_.start(exe, {"-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp"});
        if (!xvfb_.waitForStarted(5000))
            return false;
        QDeadlineTimer deadline(15000);
        while (!xvfb_.canReadLine() && !deadline.hasExpired() && xvfb_.state() == QProcess::Running)
            xvfb_.waitForReadyRead(200);
        bool ok = false;
        number_ = QString::fromLatin1(xvfb_.readLine()).trimmed().toInt(&ok);
        return ok;
    }
    QString display() const { return QStringLiteral(":%1").arg(number_); }

private:
    QProcess xvfb_;
    int number_ = -1;
};
