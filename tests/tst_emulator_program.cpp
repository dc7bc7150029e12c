// The built virta-emulator program, as a user and the application meet it: its options, its
// device paths and links, a serial exchange through QSerialPort, faults from the command line,
// state and tape files, image signing and a clean stop on SIGTERM.
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "emulatorfixture.h"

namespace {

void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type == QtFatalMsg || type == QtCriticalMsg)
        fprintf(stderr, "%s\n", qPrintable(msg));
}

QByteArray request(quint8 code, quint32 unique, const QByteArray &payload = QByteArray())
{
    FsReq req(code, payload);
    req.setUnique(unique);
    return req.rawData();
}

int frameSize(const QByteArray &buffer)
{
    return buffer.size() >= 3 ? (quint8(buffer[1]) | (quint8(buffer[2]) << 8)) + 5 : -1;
}

// One frame from the port, complete by its length field; empty on time-out.
QByteArray readFrame(QSerialPort &port, int timeoutMs = 3000)
{
    QElapsedTimer timer;
    timer.start();
    QByteArray got;
    while (timer.elapsed() < timeoutMs) {
        got += port.readAll();
        if (frameSize(got) > 0 && got.size() >= frameSize(got))
            return got;
        port.waitForReadyRead(50);
    }
    return QByteArray();
}

FsRep exchange(const QString &path, const QByteArray &bytes)
{
    QSerialPort port(path);
    port.setBaudRate(QSerialPort::Baud115200);
    FsRep rep;
    if (!port.open(QIODevice::ReadWrite))
        return rep;
    port.clear();
    port.write(bytes);
    port.waitForBytesWritten(1000);
    const QByteArray frame = readFrame(port);
    if (!frame.isEmpty())
        rep.setRawData(frame);
    return rep;
}

// Runs the program to its end (for the options that do not serve).
int runToEnd(const QStringList &args, QString *out = nullptr, QString *err = nullptr)
{
    QProcess p;
    p.start(EmulatorProcess::program(), args);
    if (!p.waitForFinished(15000)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (out)
        *out = QString::fromLocal8Bit(p.readAllStandardOutput());
    if (err)
        *err = QString::fromLocal8Bit(p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

} // namespace

class TstEmulatorProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void helpDocumentsEveryOption_data();
    void helpDocumentsEveryOption();
    void servesUntilTerminated();
    void stateFileAcrossRuns();
    void unreadableStateIsLeftAlone();
    void secondInstanceRefused();
    void tapeFile();
    void refusesBadArguments_data();
    void refusesBadArguments();
    void signImage();
    void servesASerialDevice();

private:
    QString help_;
};

void TstEmulatorProgram::initTestCase()
{
    registerFsMetaTypes();
    qInstallMessageHandler(quietHandler);
    QVERIFY2(QFileInfo(EmulatorProcess::program()).isExecutable(), qPrintable(EmulatorProcess::program()));
    QCOMPARE(runToEnd({QStringLiteral("--help")}, &help_), 0);
}

void TstEmulatorProgram::helpDocumentsEveryOption_data()
{
    QTest::addColumn<QString>("text");
    for (const char *option : {"--link", "--loader-link", "--device", "--state", "--preset", "--tape", "--images",
                               "--fault", "--install-seconds", "--verbose", "--sign-image", "--help"})
        QTest::newRow(option) << QString::fromLatin1(option);
    for (const QString &fault : EmuFault::names())
        QTest::newRow(qPrintable(fault)) << fault;
    QTest::newRow("printed path") << QStringLiteral("register: PATH");
}

void TstEmulatorProgram::helpDocumentsEveryOption()
{
    QFETCH(QString, text);
    QVERIFY2(help_.contains(text), qPrintable(text));
}

void TstEmulatorProgram::servesUntilTerminated()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("register"));
    const QString loaderLink = dir.filePath(QStringLiteral("loader"));
    const QString state = dir.filePath(QStringLiteral("state.json"));

    EmulatorProcess emu;
    QVERIFY2(emu.start({QStringLiteral("--link"), link, QStringLiteral("--loader-link"), loaderLink,
                        QStringLiteral("--verbose"), QStringLiteral("--fault"), QStringLiteral("drop-reply:2"),
                        QStringLiteral("--state"), state}),
             qPrintable(emu.standardError()));
    QVERIFY(emu.devicePath().startsWith(QLatin1String("/dev/")));
    QVERIFY(emu.loaderPath().startsWith(QLatin1String("/dev/")));
    QVERIFY(emu.devicePath() != emu.loaderPath());
    QCOMPARE(QFileInfo(link).symLinkTarget(), emu.devicePath());
    QCOMPARE(QFileInfo(loaderLink).symLinkTarget(), emu.loaderPath());
    QVERIFY(QFileInfo::exists(state));

    // Through the link, with the port closed and reopened for every exchange.
    FsRep rep = exchange(link, request(0x30, 0x11));
    QCOMPARE(int(rep.parsingResult()), int(fs::Ok));
    QCOMPARE(rep.unique(), 0x11u);
    QCOMPARE(rep.data().size(), 31);

    // The second reply is dropped; 0x05 brings it.
    rep = exchange(emu.devicePath(), request(0x33, 0x12));
    QCOMPARE(int(rep.parsingResult()), int(fs::NotParsed));
    rep = exchange(emu.devicePath(), QByteArray(1, 0x05));
    QCOMPARE(int(rep.parsingResult()), int(fs::Ok));
    QCOMPARE(rep.unique(), 0x12u);
    QCOMPARE(rep.data().size(), 3);

    // The loader answers on its own line.
    QSerialPort loader(loaderLink);
    loader.setBaudRate(921600);
    QVERIFY(loader.open(QIODevice::ReadWrite));
    loader.write(QByteArray::fromHex("0400000000ff"));
    QElapsedTimer t;
    t.start();
    QByteArray got;
    while (got.size() < 6 && t.elapsed() < 5000) {
        loader.waitForReadyRead(100);
        got += loader.readAll();
    }
    QVERIFY(got.size() >= 6);
    QCOMPARE(int(got.at(5)), 0);
    loader.close();

    QVERIFY(emu.terminate());
    const QString log = emu.standardError();
    QVERIFY2(log.contains(QLatin1String("cmd=0x30")), qPrintable(log));
    QVERIFY(log.contains(QLatin1String("cmd=0x33")));
    QVERIFY(log.contains(QLatin1String("not sent) [drop-reply]")));
    QVERIFY(log.contains(QLatin1String("0x05")));
    QVERIFY(log.contains(QLatin1String("loader: cmd=0xff")));
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(!QFileInfo(loaderLink).isSymLink());
}

void TstEmulatorProgram::stateFileAcrossRuns()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString state = dir.filePath(QStringLiteral("state.json"));

    const auto identity = [](EmulatorProcess &emu) {
        return exchange(emu.devicePath(), request(0x31, 0x21)).data();
    };
    QByteArray fresh;
    {
        EmulatorProcess emu;
        QVERIFY(emu.start({QStringLiteral("--preset"), QStringLiteral("fresh"), QStringLiteral("--state"), state}));
        fresh = identity(emu);
        QVERIFY(emu.terminate());
    }
    QByteArray ready;
    {
        EmulatorProcess emu;
        QVERIFY(emu.start({QStringLiteral("--preset"), QStringLiteral("ready")}));
        ready = identity(emu);
        QVERIFY(emu.terminate());
    }
    QVERIFY(!fresh.isEmpty());
    QVERIFY(fresh != ready);
    {
        // The file wins over the preset, and the user is told.
        EmulatorProcess emu;
        QVERIFY(emu.start({QStringLiteral("--state"), state, QStringLiteral("--preset"), QStringLiteral("ready")}));
        QCOMPARE(identity(emu), fresh);
        QVERIFY(emu.terminate());
        QVERIFY(emu.standardError().contains(QLatin1String("--preset ignored")));
    }
}

void TstEmulatorProgram::unreadableStateIsLeftAlone()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString state = dir.filePath(QStringLiteral("state.json"));
    QFile f(state);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("{ not json");
    f.close();
    QString err;
    QCOMPARE(runToEnd({QStringLiteral("--state"), state}, nullptr, &err), 1);
    QVERIFY(err.contains(state));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("{ not json"));
    f.close();

    // A file that parses but holds a field the register cannot take: the message names it.
    FiscalModel model;
    model.applyPreset(QStringLiteral("ready"));
    QJsonObject json = model.toJson();
    QJsonArray cashiers = json[QStringLiteral("cashiers")].toArray();
    cashiers[3] = 7;
    json[QStringLiteral("cashiers")] = cashiers;
    const QByteArray bytes = QJsonDocument(json).toJson();
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    f.close();
    QCOMPARE(runToEnd({QStringLiteral("--state"), state}, nullptr, &err), 1);
    QVERIFY2(err.contains(QLatin1String("cashiers[3]: not an object")), qPrintable(err));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), bytes);
}

void TstEmulatorProgram::secondInstanceRefused()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString state = dir.filePath(QStringLiteral("state.json"));
    const QString link = dir.filePath(QStringLiteral("register"));
    EmulatorProcess first;
    QVERIFY2(first.start({QStringLiteral("--state"), state, QStringLiteral("--link"), link}),
             qPrintable(first.standardError()));

    // The same state file, or the same link: the second stops before touching either.
    const QStringList second[] = {{QStringLiteral("--state"), state},
                                  {QStringLiteral("--link"), link, QStringLiteral("--state"),
                                   dir.filePath(QStringLiteral("other.json"))}};
    for (const QStringList &args : second) {
        QString err;
        QCOMPARE(runToEnd(args, nullptr, &err), 1);
        QVERIFY2(err.contains(QLatin1String("in use by another virta-emulator")), qPrintable(err));
    }
    QCOMPARE(QFileInfo(link).symLinkTarget(), first.devicePath());
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("other.json"))));
    const FsRep rep = exchange(link, request(0x30, 0x41));
    QCOMPARE(int(rep.code()), 0);
    QVERIFY(first.terminate());
}

void TstEmulatorProgram::tapeFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString tape = dir.filePath(QStringLiteral("tape.txt"));
    EmulatorProcess emu;
    QVERIFY(emu.start({QStringLiteral("--tape"), tape}));
    const FsRep rep = exchange(emu.devicePath(), request(0xC3, 0x31, QByteArray(4, '\0') + "HELLO TAPE"));
    QCOMPARE(int(rep.code()), 0);
    QVERIFY(emu.terminate());
    QFile f(tape);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(QString::fromUtf8(f.readAll()).contains(QLatin1String("HELLO TAPE")));
}

void TstEmulatorProgram::refusesBadArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("unknown fault") << QStringList{"--fault", "explode"};
    QTest::newRow("fault value not taken") << QStringList{"--fault", "silent=3"};
    QTest::newRow("unknown preset") << QStringList{"--preset", "broken"};
    QTest::newRow("negative install time") << QStringList{"--install-seconds", "-1"};
    QTest::newRow("install time not a number") << QStringList{"--install-seconds", "soon"};
    QTest::newRow("stray argument") << QStringList{"serve"};
    QTest::newRow("sign without output") << QStringList{"--sign-image", "in"};
}

void TstEmulatorProgram::refusesBadArguments()
{
    QFETCH(QStringList, args);
    QString out, err;
    QCOMPARE(runToEnd(args, &out, &err), 2);
    QVERIFY(!err.isEmpty());
    QVERIFY(!out.contains(QLatin1String("register:")));
}

void TstEmulatorProgram::signImage()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString in = dir.filePath(QStringLiteral("firmware.bin"));
    const QString out = dir.filePath(QStringLiteral("firmware.signed.img"));
    QByteArray body;
    for (int i = 0; i < 3000; ++i)
        body.append(char(i * 13));
    QFile f(in);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(body);
    f.close();

    QCOMPARE(runToEnd({QStringLiteral("--sign-image"), in, out}), 0);
    QFile signedFile(out);
    QVERIFY(signedFile.open(QIODevice::ReadOnly));
    const QByteArray image = signedFile.readAll();
    QVERIFY(emu::signedimage::verify(image));
    QCOMPARE(emu::signedimage::body(image), body);

    QString err;
    QCOMPARE(runToEnd({QStringLiteral("--sign-image"), dir.filePath(QStringLiteral("missing")), out}, nullptr, &err),
             1);
    QVERIFY(err.contains(QLatin1String("missing")));
}

void TstEmulatorProgram::servesASerialDevice()
{
    // A pseudo-terminal of the test's own stands in for /dev/ttyUSB0; the test holds the far end.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0);
    QVERIFY(grantpt(master) == 0 && unlockpt(master) == 0);
    char name[256] = {};
    QVERIFY(ptsname_r(master, name, sizeof name) == 0);
    const int keep = ::open(name, O_RDWR | O_NOCTTY); // keeps the line up while the program opens it
    QVERIFY(keep >= 0);

    EmulatorProcess emu;
    QVERIFY2(emu.start({QStringLiteral("--device"), QString::fromLocal8Bit(name)}), qPrintable(emu.standardError()));
    QCOMPARE(emu.devicePath(), QString::fromLocal8Bit(name));

    const QByteArray req = request(0x33, 0x41);
    QCOMPARE(int(::write(master, req.constData(), size_t(req.size()))), req.size());
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 5000 && (frameSize(got) < 0 || got.size() < frameSize(got))) {
        pollfd p = {master, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            char buf[256];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0)
                got.append(buf, int(n));
        }
    }
    FsRep rep;
    QCOMPARE(int(rep.setRawData(got)), int(fs::Ok));
    QCOMPARE(rep.unique(), 0x41u);
    QCOMPARE(rep.data().size(), 3);

    QVERIFY(emu.terminate());
    QVERIFY(QFileInfo::exists(QString::fromLocal8Bit(name))); // a device is never removed
    ::close(keep);
    ::close(master);
}

QTEST_GUILESS_MAIN(TstEmulatorProgram)
#include "tst_emulator_program.moc"
