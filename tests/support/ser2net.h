#pragma once

#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

// ser2net (the Debian package) in front of a serial device: the serial-to-network server an
// engineer meets in a shop, started by the test on a free local port with a configuration of its
// own, and stopped with the object.
//
//     Ser2Net bridge;
//     if (Ser2Net::program().isEmpty())
//         QSKIP("ser2net is not installed (scripts/setup-deps.sh installs it)");
//     QVERIFY2(bridge.start(emu.devicePath()), qPrintable(bridge.error()));
//     ... talk to bridge.name() ...
class Ser2Net
{
public:
    ~Ser2Net() { stop(); }

    static QString program()
    {
        return QStandardPaths::findExecutable(QStringLiteral("ser2net"),
                                              {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
    }

    bool start(const QString &device)
    {
        port_ = freePort();
        // ser2net 4 reads YAML from a file whose name ends in .yaml. One client at a time, as a
        // register's port; no UUCP lock file and no pid file outside the test's folder.
        const QString config = dir_.filePath(QStringLiteral("virta.yaml"));
        QFile f(config);
        if (port_ == 0 || !f.open(QIODevice::WriteOnly)) {
            error_ = QStringLiteral("no free port, or no configuration file");
            return false;
        }
        f.write(QStringLiteral("%YAML 1.1\n---\n"
                               "connection: &virta\n"
                               "    accepter: tcp,127.0.0.1,%1\n"
                               "    enable: on\n"
                               "    options:\n"
                               "      kickolduser: false\n"
                               "      max-connections: 1\n"
                               "    connector: serialdev,%2,115200n81,local\n")
                    .arg(port_)
                    .arg(device)
                    .toUtf8());
        f.close();
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(program(), {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"), config,
                                   QStringLiteral("-P"), dir_.filePath(QStringLiteral("ser2net.pid"))});
        const QDeadlineTimer deadline(10000);
        while (!listening()) {
            if (process_.state() == QProcess::NotRunning || deadline.hasExpired()) {
                error_ = QStringLiteral("ser2net did not listen on %1: %2")
                             .arg(port_)
                             .arg(QString::fromLocal8Bit(process_.readAll()));
                return false;
            }
            QThread::msleep(20);
        }
        return true;
    }

    void stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished();
        }
    }

    QString name() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(port_); }
    QString error() const { return error_; }

private:
    static quint16 freePort()
    {
        QTcpServer probe;
        return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
    }

    // The kernel's table of TCP sockets has ours in state 0A (listening): no connection is made
    // to find out, since ser2net would open the device for it.
    bool listening() const
    {
        QFile table(QStringLiteral("/proc/net/tcp"));
        if (!table.open(QIODevice::ReadOnly))
            return false;
        const QByteArray local = "0100007F:" + QByteArray::number(port_, 16).toUpper().rightJustified(4, '0');
        for (const QByteArray &line : table.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.size() > 3 && f.at(1) == local && f.at(3) == "0A")
                return true;
        }
        return false;
    }

    QTemporaryDir dir_;
    QProcess process_;
    quint16 port_ = 0;
    QString error_;
};
