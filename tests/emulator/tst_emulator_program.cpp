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
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "emulatorfixture.h"
#include "files.h"
#include "quietlog.h"
#include "wire.h"

namespace {

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

quint32 u32At(const QByteArray &b, int at)
{
    return b.size() < at + 4
               ? 0
               : quint8(b[at]) | quint8(b[at + 1]) << 8 | quint8(b[at + 2]) << 16 | quint32(quint8(b[at + 3])) << 24;
}

const QByteArray Cashier = le(20, 1) + le(30, 4);
const QByteArray Who = Cashier + le(1, 1) + "A";

// One request to a running program with an exchange number of its own.
FsRep ask(EmulatorProcess &emu, quint8 code, const QByteArray &payload = QByteArray())
{
    static quint32 unique = 0x1000;
    return exchange(emu.devicePath(), request(code, ++unique, payload));
}

qint32 lastDocument(EmulatorProcess &emu)
{
    const QByteArray status = ask(emu, 0x30).data();
    return status.size() == 31 ? qint32(u32At(status, 16)) : -1;
}

// A cash-in through the program: the completion's result, and the document's number in *fd.
int cashIn(EmulatorProcess &emu, qint64 sum, qint32 *fd = nullptr)
{
    const FsRep start = ask(emu, 0xA2, Who);
    if (start.code() != 0)
        return start.code();
    const FsRep done = ask(emu, 0xA3, le(sum, 8));
    if (fd && done.code() == 0)
        *fd = qint32(u32At(done.data(), 0));
    return done.code();
}

// The register of the ready preset in a store at `state`, its shift open, with `cashIns` cash-in
// documents after the registration (1) and the shift's opening (2).
bool makeStore(const QString &state, int cashIns, bool shift = true)
{
    FiscalModel m;
    m.applyPreset(QStringLiteral("ready"));
    bool ok = !shift || (m.execute(0x11, Who).code == 0 && m.execute(0x12, {}).code == 0);
    for (int i = 0; ok && i < cashIns; ++i)
        ok = m.execute(0xA2, Who).code == 0 && m.execute(0xA3, le(100 + i, 8)).code == 0;
    return ok && m.saveToFile(state);
}

// More cash-in documents into a store, through a register of this process.
bool addCashIns(const QString &state, int count)
{
    FiscalModel m;
    if (!m.loadFromFile(state))
        return false;
    m.keepStateIn(state);
    bool ok = true;
    for (int i = 0; ok && i < count; ++i)
        ok = m.execute(0xA2, Who).code == 0 && m.execute(0xA3, le(500 + i, 8)).code == 0;
    return ok;
}

// The regular files of a folder and what they hold (lock files aside: a start makes them).
QMap<QString, QByteArray> folderFiles(const QString &dir)
{
    QMap<QString, QByteArray> out;
    for (const QString &name : QDir(dir).entryList(QDir::Files | QDir::System | QDir::Hidden)) {
        struct stat st;
        const QString path = QDir(dir).filePath(name);
        if (!name.endsWith(QLatin1String(".lock")) && ::lstat(QFile::encodeName(path).constData(), &st) == 0 &&
            S_ISREG(st.st_mode))
            out[name] = readFile(path);
    }
    return out;
}

QJsonObject readJson(const QString &path)
{
    return QJsonDocument::fromJson(readFile(path)).object();
}

bool editJson(const QString &path, const std::function<void(QJsonObject &)> &edit)
{
    QJsonObject o = readJson(path);
    edit(o);
    return writeFile(path, QJsonDocument(o).toJson());
}

int permissions(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

// Whether the line is exclusive now (TIOCEXCL): only root may open it then, and root can ask.
int exclusive(const QString &device)
{
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == EBUSY ? 1 : -1;
    int on = 0;
    const bool asked = ::ioctl(fd, TIOCGEXCL, &on) == 0;
    ::close(fd);
    return asked ? on : -1;
}

// A small file system of its own, where the suite may mount one (as root on CI).
class SmallDisk
{
public:
    explicit SmallDisk(const QString &dir, int kilobytes) : dir_(dir)
    {
        mounted_ = ::mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0,
                           QByteArray("size=" + QByteArray::number(kilobytes) + "k").constData()) == 0;
    }
    ~SmallDisk()
    {
        if (mounted_)
            ::umount(QFile::encodeName(dir_).constData());
    }
    bool mounted() const { return mounted_; }

private:
    QString dir_;
    bool mounted_ = false;
};

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
    void storeRefusedAtStart_data();
    void storeRefusedAtStart();
    void crashLeftoversTaken_data();
    void crashLeftoversTaken();
    void failedWriteAnswered5_data();
    void failedWriteAnswered5();
    void damagedDocumentNeverPrinted();
    void privateFilesAndIdleReads();
    void lineFreedWhenAClientDies();

private:
    QString help_;
};

void TstEmulatorProgram::initTestCase()
{
    registerFsMetaTypes();
    qInstallMessageHandler(quietMessages);
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
    QVERIFY(writeFile(state, "{ not json"));
    QString err;
    QCOMPARE(runToEnd({QStringLiteral("--state"), state}, nullptr, &err), 1);
    QVERIFY(err.contains(state));
    QCOMPARE(readFile(state), QByteArray("{ not json"));

    // A file that parses but holds a field the register cannot take: the message names it.
    FiscalModel model;
    model.applyPreset(QStringLiteral("ready"));
    QJsonObject json = model.toJson();
    QJsonArray cashiers = json[QStringLiteral("cashiers")].toArray();
    cashiers[3] = 7;
    json[QStringLiteral("cashiers")] = cashiers;
    const QByteArray bytes = QJsonDocument(json).toJson();
    QVERIFY(writeFile(state, bytes));
    QCOMPARE(runToEnd({QStringLiteral("--state"), state}, nullptr, &err), 1);
    QVERIFY2(err.contains(QLatin1String("cashiers[3]: not an object")), qPrintable(err));
    QCOMPARE(readFile(state), bytes);
}

void TstEmulatorProgram::secondInstanceRefused()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("store")));
    const QString state = dir.filePath(QStringLiteral("store/state.json"));
    const QString link = dir.filePath(QStringLiteral("register"));
    EmulatorProcess first;
    QVERIFY2(first.start({QStringLiteral("--state"), state, QStringLiteral("--link"), link}),
             qPrintable(first.standardError()));
    // Whoever can write the lock file chooses what it says: never echoed to a terminal raw.
    QVERIFY(writeFile(state + ".lock", "\x1b]0;owned\x07\x1b[2J"));

    // The same state file by any path (a link to it, "..", a linked folder), or the same link: the
    // second stops before touching either.
    QVERIFY(QFile::link(state, dir.filePath(QStringLiteral("alias.json"))));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("store")), dir.filePath(QStringLiteral("shelf"))));
    const QStringList second[] = {
        {QStringLiteral("--state"), state},
        {QStringLiteral("--state"), dir.filePath(QStringLiteral("alias.json"))},
        {QStringLiteral("--state"), dir.filePath(QStringLiteral("store/../store/state.json"))},
        {QStringLiteral("--state"), dir.filePath(QStringLiteral("shelf/state.json"))},
        {QStringLiteral("--link"), link, QStringLiteral("--state"), dir.filePath(QStringLiteral("other.json"))}};
    for (const QStringList &args : second) {
        QString err;
        QCOMPARE(runToEnd(args, nullptr, &err), 1);
        QVERIFY2(err.contains(QLatin1String("in use by another virta-emulator")), qPrintable(err));
        QVERIFY2(!err.contains(QLatin1Char('\x1b')), qPrintable(err.toUtf8().toHex()));
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
    QVERIFY(QString::fromUtf8(readFile(tape)).contains(QLatin1String("HELLO TAPE")));
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
    QVERIFY(writeFile(in, body));

    QCOMPARE(runToEnd({QStringLiteral("--sign-image"), in, out}), 0);
    const QByteArray image = readFile(out);
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

// What a store must look like beside its state: anything a crash cannot leave is refused at start,
// with both files named and left as they are. Each row spoils a store of documents 1 to 3.
using Spoil = std::function<bool(const QString &dir, const QString &state, const QString &journal)>;
Q_DECLARE_METATYPE(Spoil)

void TstEmulatorProgram::storeRefusedAtStart_data()
{
    QTest::addColumn<Spoil>("spoil");
    QTest::addColumn<QStringList>("said"); // in the message, "%s" and "%j" for the two paths

    const auto row = [](const char *name, const Spoil &spoil, const QStringList &said) {
        QTest::newRow(name) << spoil << said;
    };
    row("journal without its state", [](auto, auto &s, auto) { return QFile::remove(s); }, {"%j", "without its state"});
    row("journal missing", [](auto, auto, auto &j) { return QFile::remove(j); }, {"%s", "%j", "3 documents"});
    row("state counts 0 of 3 lines",
        [](auto, auto &s, auto &j) {
            const QByteArray lines = readFile(j);
            FiscalModel fresh;
            fresh.applyPreset(QStringLiteral("fresh"));
            return fresh.saveToFile(s) && writeFile(j, lines);
        },
        {"%s", "%j", "past the 0 documents"});
    row("state counts 3 of 7 lines",
        [](auto, auto &s, auto) {
            const QByteArray counted = readFile(s);
            return addCashIns(s, 4) && writeFile(s, counted);
        },
        {"%s", "%j", "past the 3 documents"});
    row("journal named elsewhere",
        [](const QString &dir, auto &s, auto &j) {
            return QFile::copy(j, dir + "/other.journal") && editJson(s, [](QJsonObject &o) {
                       QJsonObject j = o["journal"].toObject();
                       j["file"] = "other.journal";
                       o["journal"] = j;
                   });
        },
        {"%s", "%j", "other.journal"});
    row("state is a FIFO",
        [](auto, auto &s, auto) { return QFile::remove(s) && ::mkfifo(QFile::encodeName(s), 0600) == 0; },
        {"%s", "FIFO"});
    row("journal is a FIFO",
        [](auto, auto, auto &j) { return QFile::remove(j) && ::mkfifo(QFile::encodeName(j), 0600) == 0; },
        {"%s", "FIFO"});
    row("state of two names",
        [](const QString &dir, auto &s, auto) {
            return ::link(QFile::encodeName(s), QFile::encodeName(dir + "/x")) == 0;
        },
        {"%s", "hard links"});
    row("journal of two names",
        [](const QString &dir, auto, auto &j) {
            return ::link(QFile::encodeName(j), QFile::encodeName(dir + "/x")) == 0;
        },
        {"%j", "hard links"});
    row("state a link of another user",
        [](const QString &dir, auto &s, auto) {
            return QFile::rename(s, dir + "/real.json") && ::symlink("real.json", QFile::encodeName(s)) == 0 &&
                   ::lchown(QFile::encodeName(s), 65534, 65534) == 0;
        },
        {"%s", "symbolic link of another user"});
    row("a count of 2^28",
        [](auto, auto &s, auto) {
            return editJson(s, [](QJsonObject &o) {
                QJsonObject j = o["journal"].toObject();
                j["documents"] = 268435456;
                o["journal"] = j;
            });
        },
        {"%s", "268435456"});
    row("journal cut short", [](auto, auto, auto &j) { return QFile::resize(j, QFileInfo(j).size() - 10); },
        {"%s", "%j", "3 documents"});
    row("last document edited",
        [](auto, auto, auto &j) {
            QByteArray b = readFile(j);
            const int at = b.lastIndexOf("=1.00");
            return at > 0 && writeFile(j, b.replace(at, 5, "=9.00"));
        },
        {"%j", "document 3", "fiscal sign"});
    row("single file, last document edited",
        [](auto, auto &s, auto &j) {
            FiscalModel m;
            if (!m.loadFromFile(s))
                return false;
            const QByteArray text = QJsonDocument(m.toJson()).toJson();
            const QByteArray title = QStringLiteral("ВНЕСЕНИЕ").toUtf8();
            return text.count(title) == 1 && QFile::remove(j) &&
                   writeFile(s, QByteArray(text).replace(title, QStringLiteral("ВНЕСЕНИЯ").toUtf8()));
        },
        {"%s", "archive[2]", "document 3"});
    row("a key given twice",
        [](auto, auto &s, auto) {
            QByteArray b = readFile(s);
            return b.contains("\"docsLeft\": ") &&
                   writeFile(s, b.replace("\"docsLeft\": ", "\"docsLeft\": 7, \"docsLeft\": "));
        },
        {"%s", "docsLeft", "twice"});
}

void TstEmulatorProgram::storeRefusedAtStart()
{
    QFETCH(Spoil, spoil);
    QFETCH(QStringList, said);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString state = dir.filePath(QStringLiteral("state.json"));
    const QString journal = FiscalModel::journalPath(state);
    QVERIFY(makeStore(state, 1));
    if (!spoil(dir.path(), state, journal)) {
        if (QTest::currentDataTag() == QLatin1String("state a link of another user") && ::geteuid() != 0)
            QSKIP("only root makes a link owned by another user");
        QFAIL("the store could not be spoilt");
    }
    const QMap<QString, QByteArray> before = folderFiles(dir.path());

    QString err;
    QCOMPARE(runToEnd({QStringLiteral("--state"), state}, nullptr, &err), 1);
    for (QString text : said)
        QVERIFY2(err.contains(text.replace(QLatin1String("%s"), state).replace(QLatin1String("%j"), journal)),
                 qPrintable(text + QLatin1String(" not in: ") + err));
    QCOMPARE(folderFiles(dir.path()), before);
}

// What a crash (or an earlier version) can leave is taken: the register goes on from the documents
// the state counts, and what it did not count is cut off before the next one.
void TstEmulatorProgram::crashLeftoversTaken_data()
{
    QTest::addColumn<Spoil>("leave");
    const auto row = [](const char *name, const Spoil &leave) {
        QTest::newRow(name) << leave;
    };
    row("a torn line past the counted ones", [](auto, auto, auto &j) {
        QFile f(j);
        return f.open(QIODevice::Append) && f.write("{\"card\":\"0\",\"ca") > 0;
    });
    row("one whole line past the counted ones", [](auto, auto &s, auto) {
        const QByteArray counted = readFile(s);
        return addCashIns(s, 1) && writeFile(s, counted);
    });
    row("temporary files half written",
        [](auto, auto &s, auto &j) { return writeFile(s + ".tmp", "{\"form") && writeFile(j + ".tmp", "{\"card\""); });
    row("a store of the last release", [](auto, auto &s, auto) {
        return editJson(s, [](QJsonObject &o) {
            QJsonObject j = o["journal"].toObject();
            j.remove("bytes");
            o["journal"] = j;
        });
    });
    row("the single file of earlier versions", [](auto, auto &s, auto &j) {
        FiscalModel m;
        return m.loadFromFile(s) && writeFile(s, QJsonDocument(m.toJson()).toJson()) && QFile::remove(j);
    });
}

void TstEmulatorProgram::crashLeftoversTaken()
{
    QFETCH(Spoil, leave);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString state = dir.filePath(QStringLiteral("state.json"));
    const QString journal = FiscalModel::journalPath(state);
    QVERIFY(makeStore(state, 1));
    QVERIFY(leave(dir.path(), state, journal));
    {
        EmulatorProcess emu;
        QVERIFY2(emu.start({QStringLiteral("--state"), state}), qPrintable(emu.standardError()));
        QCOMPARE(lastDocument(emu), 3);
        QVERIFY(!QFile::exists(state + ".tmp") && !QFile::exists(journal + ".tmp"));
        qint32 fd = 0;
        QCOMPARE(cashIn(emu, 700, &fd), 0);
        QCOMPARE(fd, 4);
        QVERIFY(emu.terminate());
    }
    QCOMPARE(readFile(journal).count('\n'), 4);
    QVERIFY(readFile(journal).endsWith('\n'));
    EmulatorProcess again;
    QVERIFY2(again.start({QStringLiteral("--state"), state}), qPrintable(again.standardError()));
    QCOMPARE(lastDocument(again), 4);
    QCOMPARE(ask(again, 0xB2, Cashier + le(4, 4)).code(), quint8(0));
    QVERIFY(again.terminate());
}

// A write the disk did not take whole, or a sync it failed, is a document not made: answered 5,
// undone, and both files left as a later start takes them; the same command then goes through.
void TstEmulatorProgram::failedWriteAnswered5_data()
{
    QTest::addColumn<QString>("fault"); // VIRTA_EMULATOR_TEST_STORE_FAULT; empty: a full small disk
    // After the start, 0xA2 writes the state (1) and syncs it and the folder; 0xA3 appends to the
    // journal (1) and writes the state (2).
    QTest::newRow("journal written short") << "short-write:journal:1";
    QTest::newRow("journal not synced") << "sync:journal:1";
    QTest::newRow("state written short") << "short-write:state:2";
    QTest::newRow("state not synced") << "sync:state:2";
    QTest::newRow("folder not synced after the rename") << "sync:folder:2";
    QTest::newRow("a full disk") << QString();
}

void TstEmulatorProgram::failedWriteAnswered5()
{
    QFETCH(QString, fault);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    std::unique_ptr<SmallDisk> disk;
    if (fault.isEmpty()) {
        // Room for the store and a few more documents: the state's rewrite needs room for two.
        disk.reset(new SmallDisk(dir.path(), 64));
        if (!disk->mounted())
            QSKIP("no tmpfs can be mounted here (needs root)");
    }
    const QString state = dir.filePath(QStringLiteral("state.json"));
    const QString journal = FiscalModel::journalPath(state);
    QVERIFY(makeStore(state, 0));

    qint32 acknowledged = 2, refusedAt = 0;
    {
        EmulatorProcess emu;
        if (!fault.isEmpty()) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("VIRTA_EMULATOR_TEST_STORE_FAULT"), fault);
            emu.process().setProcessEnvironment(env);
        }
        QVERIFY2(emu.start({QStringLiteral("--state"), state}), qPrintable(emu.standardError()));
        for (int i = 0; i < 200 && refusedAt == 0; ++i) {
            qint32 fd = 0;
            const int code = cashIn(emu, 100, &fd);
            if (code == 0) {
                QCOMPARE(fd, acknowledged + 1);
                acknowledged = fd;
            } else {
                QCOMPARE(code, 5);
                refusedAt = acknowledged + 1;
            }
        }
        QVERIFY2(refusedAt > 0, "the store never failed");
        // Undone on the disk, as a start right now would find it, and in the register, whose
        // cash-in is still open.
        QCOMPARE(readJson(state)["lastDocument"].toObject()["number"].toInt(), acknowledged);
        QCOMPARE(readFile(journal).count('\n'), acknowledged);
        QCOMPARE(lastDocument(emu), acknowledged);
        QCOMPARE(int(ask(emu, 0x30).data().at(26)), 5);
        if (!fault.isEmpty()) {
            // The fault was one write: the same completion now goes through, under the same number.
            qint32 fd = 0;
            const FsRep done = ask(emu, 0xA3, le(100, 8));
            QCOMPARE(int(done.code()), 0);
            QCOMPARE(qint32(u32At(done.data(), 0)), refusedAt);
            acknowledged = refusedAt;
            Q_UNUSED(fd)
        }
        QVERIFY(emu.terminate());
        QVERIFY2(emu.standardError().contains(QLatin1String("answered with 5")), qPrintable(emu.standardError()));
    }
    QVERIFY(!QFile::exists(state + ".tmp"));
    QVERIFY(!QFile::exists(journal + ".tmp"));
    QCOMPARE(readFile(journal).count('\n'), acknowledged);
    EmulatorProcess again;
    QVERIFY2(again.start({QStringLiteral("--state"), state}), qPrintable(again.standardError()));
    QCOMPARE(lastDocument(again), acknowledged);
    QVERIFY(again.terminate());
}

// A document edited in the journal is refused where it is read, with its number and code 4, and
// nothing of it (nor of a control tape over it) is printed; the documents around it still are.
void TstEmulatorProgram::damagedDocumentNeverPrinted()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString state = dir.filePath(QStringLiteral("state.json"));
    const QString journal = FiscalModel::journalPath(state);
    const QString tape = dir.filePath(QStringLiteral("tape.txt"));
    QVERIFY(makeStore(state, 3));
    // The title of document 3, the first cash-in, one letter changed (of the same length).
    QByteArray lines = readFile(journal);
    const QByteArray title = QStringLiteral("ВНЕСЕНИЕ").toUtf8();
    const int at = lines.indexOf(title);
    QVERIFY(at > 0 && lines.lastIndexOf('\n', at) == lines.indexOf('\n', lines.indexOf('\n') + 1));
    QVERIFY(writeFile(journal, lines.replace(at, title.size(), QStringLiteral("ВНЕСЕНИЯ").toUtf8())));

    EmulatorProcess emu;
    QVERIFY2(emu.start({QStringLiteral("--state"), state, QStringLiteral("--tape"), tape}),
             qPrintable(emu.standardError()));
    FsRep rep = ask(emu, 0xB2, Cashier + le(3, 4));
    QCOMPARE(int(rep.code()), 4);
    QCOMPARE(rep.data(), le(3, 4));
    rep = ask(emu, 0x3A, Cashier + le(1, 4));
    QCOMPARE(int(rep.code()), 4);
    QCOMPARE(rep.data(), le(3, 4));
    QCOMPARE(ask(emu, 0xB1, Cashier + le(6, 1) + le(0, 2) + le(1, 2)).code(), quint8(4));
    QVERIFY(readFile(tape).isEmpty());
    QCOMPARE(ask(emu, 0xB2, Cashier + le(4, 4)).code(), quint8(0));
    QCOMPARE(ask(emu, 0x3A, Cashier + le(4, 4)).code(), quint8(0));
    QVERIFY(emu.terminate());
    QVERIFY(!readFile(tape).contains(QStringLiteral("ВНЕСЕНИЯ").toUtf8()));
    QVERIFY2(emu.standardError().contains(QLatin1String("document 3")), qPrintable(emu.standardError()));
}

// The state holds every cashier's password: what the emulator makes is its user's alone. A request
// that changes nothing writes nothing.
void TstEmulatorProgram::privateFilesAndIdleReads()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString state = dir.filePath(QStringLiteral("state.json"));
    const QString tape = dir.filePath(QStringLiteral("tape.txt"));
    const mode_t mask = ::umask(022);
    EmulatorProcess emu;
    const bool started = emu.start({QStringLiteral("--state"), state, QStringLiteral("--tape"), tape});
    ::umask(mask);
    QVERIFY2(started, qPrintable(emu.standardError()));
    QCOMPARE(ask(emu, 0xC3, QByteArray(4, '\0') + "X").code(), quint8(0));
    for (const QString &file : {state, FiscalModel::journalPath(state), tape, state + ".lock"})
        QCOMPARE(permissions(file), 0600);

    struct stat before, after;
    QCOMPARE(::stat(QFile::encodeName(state), &before), 0);
    QCOMPARE(ask(emu, 0x30).code(), quint8(0));
    QCOMPARE(ask(emu, 0x06).code(), quint8(0)); // cancels nothing
    QCOMPARE(ask(emu, 0x3A, Cashier).code(), quint8(0));
    QCOMPARE(::stat(QFile::encodeName(state), &after), 0);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    QVERIFY(emu.terminate());
}

// A client killed while it held the line exclusive leaves it so; once the last one has closed it,
// the line is free again, as a real port is. A lock a live client holds stays with it.
void TstEmulatorProgram::lineFreedWhenAClientDies()
{
    EmulatorProcess emu;
    QVERIFY2(emu.start(), qPrintable(emu.standardError()));
    const QByteArray device = QFile::encodeName(emu.devicePath());

    // A client is killed half way through a request, its descriptor exclusive.
    int ready[2];
    QCOMPARE(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(device.constData(), O_RDWR | O_NOCTTY);
        if (fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0 && ::write(fd, "\x04\x05\x00", 3) == 3 &&
            ::write(ready[1], "!", 1) == 1)
            ::pause();
        ::_exit(1);
    }
    QVERIFY(child > 0);
    char byte = 0;
    pollfd p = {ready[0], POLLIN, 0};
    QVERIFY(::poll(&p, 1, 10000) == 1 && ::read(ready[0], &byte, 1) == 1);
    ::close(ready[0]);
    ::close(ready[1]);
    QCOMPARE(exclusive(emu.devicePath()), 1);
    QCOMPARE(::kill(child, SIGKILL), 0);
    QCOMPARE(::waitpid(child, nullptr, 0), child);
    QTRY_COMPARE(exclusive(emu.devicePath()), 0);

    // A client that holds the line, exclusive and locked, keeps both while others come and go.
    const int holder = ::open(device.constData(), O_RDWR | O_NOCTTY);
    QVERIFY(holder >= 0);
    QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);
    QCOMPARE(::ioctl(holder, TIOCEXCL), 0);
    const QByteArray req = request(0x30, 0x76);
    const int passer = ::open(device.constData(), O_RDWR | O_NOCTTY);
    QVERIFY(passer >= 0);
    QCOMPARE(int(::write(passer, req.constData(), size_t(req.size()))), req.size());
    QByteArray got;
    for (char buf[64]; frameSize(got) < 0 || got.size() < frameSize(got);) {
        pollfd in = {passer, POLLIN, 0};
        QVERIFY(::poll(&in, 1, 5000) == 1);
        const ssize_t n = ::read(passer, buf, sizeof buf);
        QVERIFY(n > 0);
        got.append(buf, int(n));
    }
    QCOMPARE(::flock(passer, LOCK_EX | LOCK_NB), -1);
    ::close(passer);
    // The reply came after the emulator had seen the passer open; one more exchange after its close.
    const int probe = ::open(device.constData(), O_RDWR | O_NOCTTY);
    QVERIFY(probe >= 0);
    QCOMPARE(int(::write(probe, req.constData(), size_t(req.size()))), req.size());
    pollfd in = {probe, POLLIN, 0};
    QVERIFY(::poll(&in, 1, 5000) == 1);
    int on = 0;
    QCOMPARE(::ioctl(probe, TIOCGEXCL, &on), 0);
    QCOMPARE(on, 1);
    ::close(probe);

    // The holder goes without clearing it either: the line is free once the emulator sees it go.
    ::close(holder);
    QTRY_COMPARE(exclusive(emu.devicePath()), 0);
    QCOMPARE(exchange(emu.devicePath(), request(0x30, 0x77)).code(), quint8(0));
    QVERIFY(emu.terminate());
}

QTEST_GUILESS_MAIN(TstEmulatorProgram)
#include "tst_emulator_program.moc"
