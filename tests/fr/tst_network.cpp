// The register over the network: names read as the operator types them, the exchange over TCP to
// the emulator's --listen and through ser2net in front of its pseudo-terminal, peers that fail in
// every way a network can, and the window, the console and the firmware loader on network names.
#include <QComboBox>
#include <QLineEdit>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "emudevice.h"
#include "emulatorfixture.h"
#include "files.h"
#include "firmwarewidget.h"
#include "frapithread.h"
#include "frlink.h"
#include "frwrapper.h"
#include "mainwidget.h"
#include "messageboxcatcher.h"
#include "quietlog.h"
#include "ser2net.h"
#include "tabfixture.h"

namespace {

constexpr quint8 StatusCmd = 0x30;
// Short time-outs: the failures below cost one or two of them each.
constexpr FsRwTimeout Short{400, 500};
constexpr int ShortConnectMs = 300;

// The substitute register on a free local TCP port too.
EmulatorFixture::Options listening()
{
    EmulatorFixture::Options o;
    o.listen = QStringLiteral("127.0.0.1:0");
    return o;
}

// A TCP peer that misbehaves on its first connection and answers as a register on later ones
// (every request with success and 31 bytes, 0x05 with the last reply).
class Peer : public QObject
{
public:
    enum Fault { None, Silent, EndlessNoise, EndlessFrames, CloseMidFrame, CloseOnRequest };

    explicit Peer(Fault fault) : fault_(fault)
    {
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = server_.nextPendingConnection())
                serve(s, ++connections_ == 1 ? fault_ : None);
        });
    }
    bool listen(quint16 port = 0) { return server_.listen(QHostAddress::LocalHost, port); }
    void close() { server_.close(); }
    quint16 port() const { return server_.serverPort(); }
    QString name() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(port()); }

private:
    void serve(QTcpSocket *s, Fault fault)
    {
        s->setParent(this);
        if (fault == EndlessNoise || fault == EndlessFrames) {
            // Without a start byte at all, or full of false frames whose checksum never holds.
            QByteArray chunk(65536, char(0xFF));
            for (int i = 0; fault == EndlessFrames && i < chunk.size(); ++i)
                chunk[i] = char(i & 0xFF);
            QObject::connect(s, &QTcpSocket::bytesWritten, s, [s, chunk] {
                if (s->bytesToWrite() < chunk.size())
                    s->write(chunk);
            });
            s->write(chunk);
            return;
        }
        auto buffer = std::make_shared<QByteArray>();
        auto last = std::make_shared<QByteArray>();
        QObject::connect(s, &QTcpSocket::readyRead, s, [s, fault, buffer, last] {
            *buffer += s->readAll();
            for (;;) {
                const emu::RequestScan scan = emu::scanRequest(*buffer, EmuDevice::DefaultMaxPayload);
                buffer->remove(0, scan.consumed);
                if (scan.kind == emu::RequestScan::NeedMore)
                    return;
                if (fault == Silent)
                    continue;
                if (fault == CloseOnRequest) {
                    s->disconnectFromHost();
                    return;
                }
                if (scan.kind == emu::RequestScan::Request)
                    *last = emu::replyFrame(0, scan.unique, QByteArray(31, '\0'));
                if (fault == CloseMidFrame) {
                    s->write(last->left(6));
                    s->disconnectFromHost();
                    return;
                }
                s->write(*last);
            }
        });
    }

    QTcpServer server_;
    const Fault fault_;
    int connections_ = 0;
};

// A port whose connects are never completed: a listener with a backlog of none, filled.
class StuckListener
{
public:
    StuckListener()
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr *>(&a), size) != 0 || ::listen(fd_, 0) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &size) != 0)
            return;
        port_ = ntohs(a.sin_port);
        for (int &c : fillers_) {
            c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(c, reinterpret_cast<sockaddr *>(&a), size);
        }
    }
    ~StuckListener()
    {
        for (int c : fillers_)
            ::close(c);
        ::close(fd_);
    }
    QString name() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(port_); }

private:
    int fd_ = -1;
    int fillers_[3] = {-1, -1, -1};
    quint16 port_ = 0;
};

struct CliRun
{
    int code = -1;
    QString out;
    QString err;
};

CliRun runCli(const QStringList &args, const QString &portVariable = QString())
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("VIRTA_PORT"));
    if (!portVariable.isEmpty())
        env.insert(QStringLiteral("VIRTA_PORT"), portVariable);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(VIRTA_CLI_EXE), args);
    CliRun r;
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// The port box of a window: the address typed key by key, "Открыть" pressed.
void openInWindow(MainWidget &w, const QString &name)
{
    auto *port = field<QComboBox>(w, "wPort/cbPort");
    port->lineEdit()->clear();
    QTest::keyClicks(port->lineEdit(), name);
    field<QAbstractButton>(w, "wPort/pbOpen")->click();
}

QStringList listed(QComboBox *box)
{
    QStringList names;
    for (int i = 0; i < box->count(); ++i)
        names << box->itemText(i);
    return names;
}

} // namespace

class TstNetwork : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        registerFsMetaTypes();
        qInstallMessageHandler(quietMessages);
    }
    void cleanup() { QTRY_COMPARE(FrApiThread::instances(), 0); }

    // What a typed name means: a device as before, the network only where it cannot be one.
    void names_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("expected"); // the name as opened, or a piece of the reason
        QTest::addColumn<int>("count");        // addresses a find argument stands for
        const int S = FrAddress::Serial, T = FrAddress::Tcp, I = FrAddress::Invalid;
        QTest::newRow("tcp") << "tcp://fr.shop.lan:4001" << T << "tcp://fr.shop.lan:4001" << 1;
        QTest::newRow("scheme in capitals") << "TCP://10.0.0.7:7000" << T << "tcp://10.0.0.7:7000" << 1;
        QTest::newRow("ipv6") << "tcp://[::1]:7000" << T << "tcp://[::1]:7000" << 1;
        QTest::newRow("bare host:port") << "10.0.0.7:7000" << T << "tcp://10.0.0.7:7000" << 1;
        QTest::newRow("bare ipv6") << "[fe80::1]:7000" << T << "tcp://[fe80::1]:7000" << 1;
        QTest::newRow("device path") << "/dev/ttyUSB0" << S << "/dev/ttyUSB0" << 1;
        QTest::newRow("device name") << "ttyUSB0" << S << "ttyUSB0" << 1;
        QTest::newRow("a path with a colon") << "./fr:1" << S << "./fr:1" << 1;
        QTest::newRow("a file here named like HOST:PORT") << "virta-fr:7000" << S << "virta-fr:7000" << 1;
        QTest::newRow("range") << "127.0.0.1:7000-7003" << T << "tcp://127.0.0.1:7000" << 4;
        QTest::newRow("range, tcp") << "tcp://[::1]:7000-7001" << T << "tcp://[::1]:7000" << 2;
        QTest::newRow("other scheme") << "udp://10.0.0.7:7000" << I << "схема «udp»" << 1;
        QTest::newRow("no port") << "tcp://10.0.0.7" << I << "нет порта" << 1;
        QTest::newRow("port 0") << "tcp://10.0.0.7:0" << I << "порт «0»" << 1;
        QTest::newRow("port too large") << "10.0.0.7:65536" << I << "порт «65536»" << 1;
        QTest::newRow("port not a number") << "fr:abc" << I << "порт «abc»" << 1;
        QTest::newRow("ipv6 without brackets") << "tcp://::1:7000" << I << "квадратных скобках" << 1;
        QTest::newRow("no host") << ":7000" << I << "нет имени узла" << 1;
        QTest::newRow("not a host") << "tcp://fr shop:7000" << I << "не имя узла" << 1;
        QTest::newRow("range backwards") << "127.0.0.1:9-1" << I << "меньше первого" << 1;
        QTest::newRow("range too long") << "127.0.0.1:1-2000" << I << "больше 1024" << 1;
    }
    void names()
    {
        QFETCH(QString, typed);
        QFETCH(int, kind);
        QFETCH(QString, expected);
        QFETCH(int, count);
        QTemporaryDir here;
        if (typed == QLatin1String("virta-fr:7000")) {
            QVERIFY(QDir::setCurrent(here.path()));
            QFile file(typed);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        const QList<FrAddress> all = FrAddress::parseMany(typed);
        QCOMPARE(all.size(), count);
        const FrAddress a = all.first();
        QCOMPARE(int(a.kind), kind);
        if (kind == FrAddress::Invalid)
            QVERIFY2(a.error.contains(expected), qPrintable(a.error));
        else
            QCOMPARE(a.name, expected);
        if (count == 1)
            QCOMPARE(FrAddress::parse(typed).name, a.name);
        QDir::setCurrent(QCoreApplication::applicationDirPath());
    }

    // One connection for the whole run of exchanges, said once in the log pane.
    void connectionIsKept()
    {
        EmulatorFixture emu(listening());
        QVERIFY2(emu.start(), qPrintable(emu.lastError()));
        FsWrapper fr;
        QSignalSpy log(&fr, qOverload<QString>(&FsWrapper::showLog));
        QVERIFY(fr.open(emu.networkName()));
        QCOMPARE(fr.portName(), emu.networkName());
        for (int i = 0; i < 5; ++i) {
            FsRep rep;
            QCOMPARE(fr.exec(FsReq(StatusCmd), rep, Short), CoreApiConst::Success);
        }
        QCOMPARE(emu.executionsOf(StatusCmd), 5);
        QStringList lines;
        for (const auto &args : log)
            lines << args.first().toString();
        QCOMPARE(lines, QStringList{QStringLiteral("Соединение установлено: %1").arg(emu.networkName())});
    }

    // A client that went away in the middle of a frame leaves nothing behind for the next one:
    // its request is taken at once, without a repeat request.
    void nextClientStartsClean()
    {
        EmulatorFixture emu(listening());
        QVERIFY2(emu.start(), qPrintable(emu.lastError()));
        {
            QTcpSocket gone;
            gone.connectToHost(QHostAddress::LocalHost, quint16(QUrl(emu.networkName()).port()));
            QVERIFY(gone.waitForConnected(5000));
            gone.write(FsReq(StatusCmd).rawData().left(5));
            QVERIFY(gone.waitForBytesWritten(5000));
        }
        FsWrapper fr;
        QVERIFY(fr.open(emu.networkName()));
        FsRep rep;
        QCOMPARE(fr.exec(FsReq(StatusCmd), rep, Short), CoreApiConst::Success);
        QCOMPARE(emu.repeatRequests(), 0);
        QCOMPARE(emu.executionsOf(StatusCmd), 1);
    }

    // Every way a peer can fail ends the exchange within its time-outs with its code and, where
    // the link is at fault, its own words; the next exchange connects afresh.
    void peerFailures_data()
    {
        QTest::addColumn<QString>("peer"); // how the address is made
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("linkError"); // a piece of it; empty: the link was not at fault
        QTest::addColumn<bool>("reconnects");
        QTest::newRow("accepts, never answers") << "peer" << int(Peer::Silent) << 253 << "" << true;
        QTest::newRow("endless bytes") << "peer" << int(Peer::EndlessNoise) << 252 << "" << true;
        QTest::newRow("endless false frames") << "peer" << int(Peer::EndlessFrames) << 252 << "" << true;
        QTest::newRow("closes mid-frame")
            << "peer" << int(Peer::CloseMidFrame) << 252 << "разорвано во время обмена" << true;
        QTest::newRow("closes on the request")
            << "peer" << int(Peer::CloseOnRequest) << 253 << "разорвано во время обмена" << true;
        QTest::newRow("nobody listens") << "refused" << int(Peer::None) << 253 << "Соединение отвергнуто" << true;
        QTest::newRow("connect never completes") << "stuck" << int(Peer::None) << 253 << "Нет соединения" << false;
        QTest::newRow("host not found") << "unknown" << int(Peer::None) << 253 << "не найден" << false;
    }
    void peerFailures()
    {
        QFETCH(QString, peer);
        QFETCH(int, fault);
        QFETCH(int, code);
        QFETCH(QString, linkError);
        QFETCH(bool, reconnects);

        Peer p{Peer::Fault(fault)};
        StuckListener stuck;
        QVERIFY(p.listen());
        QString name = p.name();
        if (peer == QLatin1String("refused"))
            p.close();
        else if (peer == QLatin1String("stuck"))
            name = stuck.name();
        else if (peer == QLatin1String("unknown"))
            name = QStringLiteral("tcp://no-such-register.invalid:7000");

        FsWrapper fr;
        fr.setConnectTimeout(ShortConnectMs);
        QSignalSpy log(&fr, qOverload<QString>(&FsWrapper::showLog));
        QVERIFY(fr.open(name));
        FsRep rep;
        QCOMPARE(int(fr.exec(FsReq(StatusCmd), rep, Short)), code);
        if (linkError.isEmpty()) {
            QCOMPARE(fr.linkError(), QString());
        } else {
            QVERIFY2(fr.linkError().contains(linkError), qPrintable(fr.linkError()));
            // The log pane has the same words.
            bool logged = false;
            for (const auto &args : log)
                logged = logged || args.first().toString() == fr.linkError();
            QVERIFY(logged);
        }
        if (!reconnects)
            return;
        if (peer == QLatin1String("refused"))
            QVERIFY(p.listen(quint16(QUrl(name).port())));
        log.clear();
        QCOMPARE(fr.exec(FsReq(StatusCmd), rep, Short), CoreApiConst::Success);
        QCOMPARE(fr.linkError(), QString());
        // Restored, or (after a refusal) made for the first time.
        static const QRegularExpression connected(QStringLiteral("^Соединение (восстановлено|установлено): "));
        bool reconnected = false;
        for (const auto &args : log)
            reconnected = reconnected || connected.match(args.first().toString()).hasMatch();
        QVERIFY(reconnected);
    }

    // The program's --listen: one client at a time, a second one closed at once while the first
    // goes on; the next client once the first has gone.
    void emulatorServesOneClient()
    {
        EmulatorProcess emu;
        QVERIFY2(
            emu.start({QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--network-only")}),
            qPrintable(emu.standardError()));
        QVERIFY(emu.devicePath().isEmpty());
        FsRep rep;
        {
            FsWrapper first;
            QVERIFY(first.open(emu.networkName()));
            QCOMPARE(first.exec(FsReq(StatusCmd), rep, Short), CoreApiConst::Success);

            QTcpSocket second;
            second.connectToHost(QHostAddress::LocalHost, quint16(QUrl(emu.networkName()).port()));
            QTRY_COMPARE(second.state(), QAbstractSocket::UnconnectedState);
            QTRY_VERIFY(emu.standardError().contains(QStringLiteral("refused: one client at a time")));
            QCOMPARE(first.exec(FsReq(StatusCmd), rep, Short), CoreApiConst::Success);
        }
        FsWrapper next;
        QVERIFY(next.open(emu.networkName()));
        QCOMPARE(next.exec(FsReq(StatusCmd), rep, Short), CoreApiConst::Success);
        QVERIFY(emu.terminate());
    }

    void emulatorRefusesBadListen_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("port too large") << QStringList{"--listen", "70000"};
        QTest::newRow("no port") << QStringList{"--listen", "127.0.0.1:"};
        QTest::newRow("network only, nothing to listen on") << QStringList{"--network-only"};
    }
    void emulatorRefusesBadListen()
    {
        QFETCH(QStringList, args);
        QProcess p;
        p.start(EmulatorProcess::program(), args);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 2);
    }

    // The console on network names: -p, VIRTA_PORT, find with a range; what it refuses, with 64.
    void console_data()
    {
        QTest::addColumn<QStringList>("args"); // NAME, PORT: the emulator's address and port
        QTest::addColumn<QString>("variable");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("output"); // in stdout for 0, else in stderr
        QTest::newRow("-p tcp://") << QStringList{"-p", "NAME", "status"} << "" << 0 << "ЗН ККТ: 0000012345";
        QTest::newRow("-p HOST:PORT") << QStringList{"-p", "127.0.0.1:PORT", "status"} << "" << 0 << "ЗН ККТ: ";
        QTest::newRow("VIRTA_PORT") << QStringList{"status"} << "NAME" << 0 << "ЗН ККТ: ";
        QTest::newRow("find, a range") << QStringList{"find", "127.0.0.1:PORTLESS-PORTMORE"} << "" << 0
                                       << "NAME\tмодель";
        QTest::newRow("nobody listens") << QStringList{"-p", "tcp://127.0.0.1:1", "status"} << "" << 69
                                        << "Соединение отвергнуто: tcp://127.0.0.1:1";
        QTest::newRow("no port") << QStringList{"-p", "tcp://127.0.0.1", "status"} << "" << 64 << "нет порта";
        QTest::newRow("VIRTA_PORT malformed") << QStringList{"status"} << "udp://h:1" << 64 << "схема «udp»";
        QTest::newRow("find, range backwards") << QStringList{"find", "127.0.0.1:9-1"} << "" << 64 << "меньше первого";
        QTest::newRow("firmware over the network")
            << QStringList{"firmware", "IMAGE", "--loader", "NAME"} << "" << 64 << "только через последовательный порт";
    }
    void console()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, variable);
        QFETCH(int, code);
        QFETCH(QString, output);
        EmulatorFixture emu(listening());
        QVERIFY2(emu.start(), qPrintable(emu.lastError()));
        QTemporaryDir dir;
        const QString image = dir.filePath(QStringLiteral("new.signed.img"));
        QVERIFY(writeFile(image, "image"));
        const int port = QUrl(emu.networkName()).port();
        const auto fill = [&](QString s) {
            return s.replace(QLatin1String("NAME"), emu.networkName())
                .replace(QLatin1String("PORTLESS"), QString::number(port - 1))
                .replace(QLatin1String("PORTMORE"), QString::number(port + 1))
                .replace(QLatin1String("PORT"), QString::number(port))
                .replace(QLatin1String("IMAGE"), image);
        };
        for (QString &a : args)
            a = fill(a);
        const CliRun r = runCli(args, fill(variable));
        QVERIFY2(r.code == code, qPrintable(QStringLiteral("%1\n%2").arg(r.code).arg(r.err)));
        QVERIFY2((code == 0 ? r.out : r.err).contains(fill(output)), qPrintable(r.out + r.err));
    }

    // A real serial-to-network server in front of the register's pseudo-terminal: the console and
    // the window both work through it, and the window keeps the address in its list.
    void throughSer2net()
    {
        if (Ser2Net::program().isEmpty())
            QSKIP("ser2net is not installed (scripts/setup-deps.sh installs it)");
        EmulatorFixture emu;
        QVERIFY2(emu.start(), qPrintable(emu.lastError()));
        Ser2Net bridge;
        QVERIFY2(bridge.start(emu.devicePath()), qPrintable(bridge.error()));

        const CliRun r = runCli({QStringLiteral("-p"), bridge.name(), QStringLiteral("status")});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        QVERIFY(r.out.contains(QStringLiteral("ЗН ККТ: 0000012345")));
        QCOMPARE(emu.executionsOf(0x31), 1);

        MessageBoxCatcher boxes;
        MainWidget w;
        w.show();
        openInWindow(w, bridge.name());
        auto *fr = w.findChild<FsWrapper *>();
        QVERIFY(fr->isOpen());
        press(w, "tabStatus/pbGetSerial");
        QTRY_COMPARE(emu.executionsOf(0x31), 2);
        QTRY_VERIFY(
            field<QTextBrowser>(w, "tabStatus/textBrowser")->toPlainText().contains(QStringLiteral("0000012345")));
        QCOMPARE(boxes.count(), 0);

        auto *box = field<QComboBox>(w, "wPort/cbPort");
        QVERIFY(listed(box).contains(bridge.name()));
        QCOMPARE(box->currentText(), bridge.name());
        QVERIFY(fr->isOpen()); // joining the list is not a change of port
        press(w, "wPort/tbReload");
        QCOMPARE(listed(box).count(bridge.name()), 1);
    }

    // The window refuses a malformed name at once, and a failed connection's box says what the
    // link said.
    void windowFailures_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("reason"); // a piece of the box's text or informative text
        QTest::newRow("malformed") << "tcp://127.0.0.1" << false << "Открытие порта"
                                   << "нет порта";
        QTest::newRow("nobody listens") << "tcp://127.0.0.1:1" << true << "Чтение ЗН ККТ"
                                        << "Соединение отвергнуто";
    }
    void windowFailures()
    {
        QFETCH(QString, typed);
        QFETCH(bool, opens);
        QFETCH(QString, title);
        QFETCH(QString, reason);
        MessageBoxCatcher boxes;
        MainWidget w;
        w.show();
        openInWindow(w, typed);
        auto *fr = w.findChild<FsWrapper *>();
        QCOMPARE(fr->isOpen(), opens);
        if (opens)
            press(w, "tabStatus/pbGetSerial");
        QVERIFY(boxes.waitForCount(1));
        const CaughtBox box = boxes.last();
        QCOMPARE(box.icon, QMessageBox::Critical);
        QVERIFY2(box.title.contains(title), qPrintable(box.title));
        QVERIFY2((box.text + box.informativeText).contains(reason), qPrintable(box.text + box.informativeText));
    }

    void firmwareTabRefusesNetwork()
    {
        FirmwareWidget tab;
        auto *port = field<QComboBox>(tab, "cbPort");
        port->lineEdit()->clear();
        QTest::keyClicks(port->lineEdit(), QStringLiteral("tcp://127.0.0.1:4001"));
        press(tab, "pbCheckConnection");
        const QString log = field<QTextBrowser>(tab, "textBrowser")->toPlainText();
        QVERIFY2(log.contains(QStringLiteral("только через последовательный порт")), qPrintable(log));
    }
};

QTEST_MAIN(TstNetwork)
#include "tst_network.moc"
