// The firmware tab against the emulator's loader, and against a scripted loader for the replies a
// sound loader never gives, each through a real pseudo-terminal.
#include <QtTest>

#include <QAbstractButton>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QProgressBar>
#include <QRandomGenerator>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTemporaryDir>
#include <QTextBrowser>

#include <functional>
#include <mutex>

#include <sys/stat.h>

#include "confirm.h"
#include "emulatorfixture.h"
#include "files.h"
#include "firmwarewidget.h"
#include "portholder.h"
#include "wire.h"

namespace {

const quint8 AllCodes[] = {0xFF, 0xF0, 0x04, 0x00, 0x01, 0x02, 0x03};

QByteArray reply(char start, qint32 length, quint8 status, const QByteArray &rest = QByteArray())
{
    return QByteArray(1, start) + le32(length) + char(status) + rest;
}

// The tab with a port typed into its box and every time-out shortened.
struct Tab
{
    FirmwareWidget w;
    explicit Tab(const QString &port, quint32 timeoutMs = 5000)
    {
        w.findChild<QComboBox *>("cbPort")->setEditText(port);
        for (quint8 code : AllCodes)
            w.setCommandTimeout(code, timeoutMs);
    }
    void setFile(const QString &path) { w.findChild<QLineEdit *>("leFirmareFile")->setText(path); }
    void press(const QString &name) { w.findChild<QAbstractButton *>(name)->click(); }
    QProgressBar *bar() { return w.findChild<QProgressBar *>("progressBar"); }
    QStringList lines() { return w.findChild<QTextBrowser *>("textBrowser")->toPlainText().split('\n'); }
    QStringList sendLines() { return lines().filter(QRegularExpression("^SEND FROM")); }
    // Every port the tab opened is gone once the event loop has run.
    bool portsDisposed()
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return w.findChildren<QSerialPort *>().isEmpty();
    }
};

// A loader that answers request number `index` (from 0) as scripted and every other one with a
// bare success, and remembers what it was sent.
class ScriptedLoader : public EmuResponder
{
public:
    using Script = std::function<QVector<EmuChunk>(int index)>;
    explicit ScriptedLoader(Script script) : script_(std::move(script)) {}
    ~ScriptedLoader() override
    {
        if (server_)
            server_->stop();
    }
    bool start()
    {
        QString error;
        server_ = std::make_unique<EmuPortServer>(this, &port_);
        if (port_.openPty(&error) && server_->start(&error))
            return true;
        qWarning() << "scripted loader:" << error;
        return false;
    }
    QString path() const { return port_.path(); }
    QVector<quint8> codes() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return codes_;
    }
    QByteArray dataOf(int index) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return data_.value(index);
    }

    QVector<EmuChunk> receive(const QByteArray &bytes, qint64) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        buffer_ += bytes;
        QVector<EmuChunk> out;
        for (;;) {
            const emu::LoaderScan scan = emu::scanLoaderRequest(buffer_, 1 << 20);
            buffer_.remove(0, scan.consumed);
            if (scan.kind != emu::LoaderScan::Request)
                break;
            codes_.append(scan.code);
            data_.append(scan.data);
            const QVector<EmuChunk> answer = script_(codes_.size() - 1);
            out += answer.isEmpty() ? QVector<EmuChunk>{{0, reply(4, 0, 0)}} : answer;
        }
        return out;
    }

private:
    Script script_;
    EmuPort port_;
    std::unique_ptr<EmuPortServer> server_;
    // A standard mutex, which ThreadSanitizer sees; QMutex orders inside the uninstrumented Qt library.
    mutable std::mutex mutex_;
    QByteArray buffer_;
    QVector<quint8> codes_;
    QVector<QByteArray> data_;
};

} // namespace

class TestFirmwareTab : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        // As on a bench of test registers: no question before an act (tst_workingday asks them).
        setConfirmationsOn(false);
    }
    void formAtStart();
    void loaderSettings();
    void singleCommands_data();
    void singleCommands();
    void uploadToEmulator_data();
    void uploadToEmulator();
    void replies_data();
    void replies();
    void failedBlockEndsUpload_data();
    void failedBlockEndsUpload();
    void emptyFileOnWillingLoader();
    void portFailures_data();
    void portFailures();
    void portIsOursForTheOperation();
    void fileFailures_data();
    void fileFailures();
    void fileDialog();

private:
    QString file(const QString &name, const QByteArray &bytes)
    {
        const QString path = dir_.filePath(name);
        return writeFile(path, bytes) ? path : QString();
    }
    QTemporaryDir dir_;
};

void TestFirmwareTab::formAtStart()
{
    FirmwareWidget w;
    const QList<QPair<const char *, const char *>> texts = {
        {"pbCheckConnection", "Проверка связи"},
        {"pbReboot", "Перезагрузить утсройство"},
        {"pbSendFirmware", "Отправить прошивку на устройство"},
        {"pbVerifyFirmware", "Верифицировать прошивку на устройстве"},
    };
    for (const auto &t : texts)
        QCOMPARE(w.findChild<QAbstractButton *>(t.first)->text(), QString::fromUtf8(t.second));
    auto *box = w.findChild<QComboBox *>("cbPort");
    QVERIFY(box->isEditable());
    QCOMPARE(box->count(), QSerialPortInfo::availablePorts().size());
    QVERIFY(w.findChild<QProgressBar *>("progressBar")->isHidden());
}

// The helper above shortens every time-out, so the loader's own settings are read here, from a
// fresh tab and from the port it opened.
void TestFirmwareTab::loaderSettings()
{
    const QList<QPair<quint8, quint32>> timeouts{{0xFF, 10000}, {0xF0, 10000}, {0x04, 60000}, {0x00, 60000},
                                                 {0x01, 5000},  {0x02, 60000}, {0x03, 300000}};
    FirmwareWidget fresh;
    for (const auto &t : timeouts) {
        QCOMPARE(fresh.commandTimeout(t.first), t.second);
        fresh.setCommandTimeout(t.first, 7);
        QCOMPARE(fresh.commandTimeout(t.first), 7u);
        fresh.setCommandTimeout(t.first, 0);
        QCOMPARE(fresh.commandTimeout(t.first), t.second);
    }
    QCOMPARE(FirmwareWidget::PauseAfterCommandMs, 20);

    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    Tab tab(emu.loaderPath());
    QElapsedTimer elapsed;
    elapsed.start();
    tab.press("pbCheckConnection");
    // The pause follows every reply, so a command never returns sooner.
    QVERIFY(elapsed.elapsed() >= FirmwareWidget::PauseAfterCommandMs);
    // The port is disposed of later; until then its settings can be read.
    const QList<QSerialPort *> ports = tab.w.findChildren<QSerialPort *>();
    QCOMPARE(ports.size(), 1);
    QSerialPort *port = ports.first();
    QCOMPARE(port->baudRate(QSerialPort::Input), 921600);
    QCOMPARE(port->baudRate(QSerialPort::Output), 921600);
    QCOMPARE(port->dataBits(), QSerialPort::Data8);
    QCOMPARE(port->parity(), QSerialPort::NoParity);
    QCOMPARE(port->stopBits(), QSerialPort::OneStop);
    QCOMPARE(port->flowControl(), QSerialPort::NoFlowControl);
    QVERIFY(tab.portsDisposed());
}

void TestFirmwareTab::singleCommands_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("expected"); // the last line is a prefix

    QTest::newRow("check") << "pbCheckConnection" << 0xFF << QStringList{"КОМАНДА ff", "УСПЕШНО!", "ВИРТА загрузчик"};
    QTest::newRow("reboot") << "pbReboot" << 0xF0 << QStringList{"КОМАНДА f0", "УСПЕШНО!", "Перезагрузка"};
    QTest::newRow("verify") << "pbVerifyFirmware" << 0x04
                            << QStringList{"КОМАНДА 04", "УСПЕШНО!", "Прошивка исправна: "};
}

void TestFirmwareTab::singleCommands()
{
    QFETCH(QString, button);
    QFETCH(int, code);
    QFETCH(QStringList, expected);
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    Tab tab(emu.loaderPath());

    tab.press(button);
    const QStringList lines = tab.lines();
    QCOMPARE(lines.size(), expected.size());
    QCOMPARE(lines.mid(0, 2), expected.mid(0, 2));
    QVERIFY2(lines.last().startsWith(expected.last()), qPrintable(lines.last()));
    QCOMPARE(emu.loader().commands(), QVector<quint8>{quint8(code)});
    QCOMPARE(emu.loader().rebootCount(), code == 0xF0 ? 1 : 0);
    QVERIFY(tab.portsDisposed());
}

void TestFirmwareTab::uploadToEmulator_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QStringList>("sends");
    QTest::addColumn<QVector<quint8>>("codes");
    QTest::addColumn<QString>("checkLine"); // the line after the reply to 0x02

    QByteArray body(2500 - emu::signedimage::HeaderSize - emu::signedimage::DigestSize, '\0');
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(body.data()), body.size() / 4);
    const QByteArray image = emu::signedimage::sign(body);
    QByteArray broken = image;
    broken[1500] = char(broken[1500] ^ 0x01);
    const QStringList three = {"SEND FROM 0 1024 BYTES", "SEND FROM 1024 1024 BYTES", "SEND FROM 2048 452 BYTES"};

    QTest::newRow("signed 2500 bytes") << image << three << QVector<quint8>{0, 1, 1, 1, 2, 3}
                                       << "Образ принят и проверен: 2500 байт";
    QTest::newRow("broken signature") << broken << three << QVector<quint8>{0, 1, 1, 1, 2}
                                      << "Подпись образа не сходится";
    QTest::newRow("empty file") << QByteArray() << QStringList() << QVector<quint8>{0, 2} << "Подпись образа";
}

void TestFirmwareTab::uploadToEmulator()
{
    QFETCH(QByteArray, image);
    QFETCH(QStringList, sends);
    QFETCH(QVector<quint8>, codes);
    QFETCH(QString, checkLine);
    std::mutex mutex; // outlives the emulator, which logs from its own thread
    QStringList requests;
    QTemporaryDir received;
    EmulatorFixture::Options options;
    options.imagesDir = received.path();
    EmulatorFixture emu(options);
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    emu.loader().setRequestLog([&](const QString &line) {
        std::lock_guard<std::mutex> lock(mutex);
        requests << line.section(' ', 1, 2);
    });
    const QByteArray factory = emu.loader().installedImage();
    Tab tab(emu.loaderPath());
    tab.setFile(file("fw.signed.img", image));

    tab.press("pbSendFirmware");
    QCOMPARE(tab.sendLines(), sends);
    QCOMPARE(emu.loader().commands(), codes);
    QStringList expectedRequests{QStringLiteral("cmd=0x00 len=4")};
    for (const QString &s : sends)
        expectedRequests << QStringLiteral("cmd=0x01 len=") + s.section(' ', 3, 3);
    expectedRequests << "cmd=0x02 len=0";
    if (codes.last() == 3)
        expectedRequests << "cmd=0x03 len=0";
    QCOMPARE(requests, expectedRequests);

    const QStringList lines = tab.lines();
    const int check = lines.lastIndexOf("КОМАНДА 02");
    QVERIFY(check > 0 && check + 2 < lines.size());
    QVERIFY2(lines.at(check + 2).startsWith(checkLine), qPrintable(lines.at(check + 2)));
    QVERIFY(tab.bar()->isHidden());
    QCOMPARE(tab.bar()->maximum(), image.size());
    QCOMPARE(tab.bar()->value(), image.isEmpty() ? 0 : 2048);
    if (codes.last() == 3) {
        QCOMPARE(lines.mid(lines.size() - 3), (QStringList{"КОМАНДА 03", "УСПЕШНО!", "Прошивка установлена"}));
        QCOMPARE(emu.loader().installedImage(), image);
        QCOMPARE(readFile(received.filePath("received-001.signed.img")), image);
        QCOMPARE(readFile(received.filePath("installed.signed.img")), image);
    } else {
        QCOMPARE(lines.at(check + 1), QStringLiteral("ОШИБКА 6"));
        QCOMPARE(emu.loader().installedImage(), factory);
    }
    QVERIFY(tab.portsDisposed());
}

void TestFirmwareTab::replies_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("split"); // the rest follows 50 ms later; -1: in one piece
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<bool>("accepted");

    const QString bad = QStringLiteral("Некорректный ответ на команду");
    QTest::newRow("6 bytes, status 0") << reply(4, 0, 0) << -1 << QStringList{"УСПЕШНО!"} << true;
    QTest::newRow("6 bytes, status 5") << reply(4, 0, 5) << -1 << QStringList{"ОШИБКА 5"} << false;
    QTest::newRow("status 255 with text") << reply(4, 3, 255, "abc") << -1 << QStringList{"ОШИБКА 255", "abc"} << false;
    QTest::newRow("text ends at zero") << reply(4, 8, 0, QByteArray("ok\0junk!", 8)) << -1
                                       << QStringList{"УСПЕШНО!", "ok"} << true;
    QTest::newRow("markup is text") << reply(4, 12, 0, "<b>x</b> & y") << -1 << QStringList{"УСПЕШНО!", "<b>x</b> & y"}
                                    << true;
    QTest::newRow("utf-8 text, split") << reply(4, 23, 0, "Образ принят") << 9
                                       << QStringList{"УСПЕШНО!", "Образ принят"} << true;
    QTest::newRow("header split") << reply(4, 2, 0, "hi") << 3 << QStringList{"УСПЕШНО!", "hi"} << true;
    QTest::newRow("bytes after frame") << reply(4, 2, 0, "hizz") << -1 << QStringList{"УСПЕШНО!", "hi"} << true;
    QTest::newRow("no reply") << QByteArray() << -1 << QStringList{"Таймаут ожидания ответа на команду"} << false;
    QTest::newRow("3 bytes only") << reply(4, 0, 0).left(3) << -1 << QStringList{bad} << false;
    QTest::newRow("N 10, 12 bytes") << reply(4, 10, 0, "abcdef") << -1 << QStringList{bad} << false;
    QTest::newRow("start byte 05") << reply(5, 0, 0) << -1 << QStringList{bad} << false;
    QTest::newRow("start byte 05, text") << reply(5, 2, 0, "hi") << -1 << QStringList{bad} << false;
    QTest::newRow("N -1") << reply(4, -1, 0, "abc") << -1 << QStringList{bad} << false;
    QTest::newRow("N -6") << reply(4, -6, 0) << -1 << QStringList{bad} << false;
    QTest::newRow("N min") << reply(4, std::numeric_limits<qint32>::min(), 0) << -1 << QStringList{bad} << false;
    QTest::newRow("N max") << reply(4, std::numeric_limits<qint32>::max(), 0, "abc") << -1 << QStringList{bad} << false;
    QTest::newRow("N max-3") << reply(4, std::numeric_limits<qint32>::max() - 3, 0) << -1 << QStringList{bad} << false;
}

// The scripted reply answers the size announcement, so whether it was taken for a success shows
// in what the tab sends next.
void TestFirmwareTab::replies()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, split);
    QFETCH(QStringList, shown);
    QFETCH(bool, accepted);
    ScriptedLoader loader([&](int index) {
        if (index != 0)
            return QVector<EmuChunk>();
        if (split < 0)
            return QVector<EmuChunk>{{0, bytes}};
        return QVector<EmuChunk>{{0, bytes.left(split)}, {50, bytes.mid(split)}};
    });
    QVERIFY(loader.start());
    Tab tab(loader.path(), 300);
    tab.setFile(file("ten.signed.img", "0123456789"));

    tab.press("pbSendFirmware");
    QStringList expected = QStringList{"КОМАНДА 00"} + shown;
    if (accepted)
        expected << "SEND FROM 0 10 BYTES"
                 << "КОМАНДА 01"
                 << "УСПЕШНО!"
                 << "КОМАНДА 02"
                 << "УСПЕШНО!"
                 << "КОМАНДА 03"
                 << "УСПЕШНО!";
    QCOMPARE(tab.lines(), expected);
    QCOMPARE(loader.codes(), accepted ? (QVector<quint8>{0, 1, 2, 3}) : QVector<quint8>{0});
    QCOMPARE(loader.dataOf(0), le32(10));
    QVERIFY(tab.bar()->isHidden());
    QVERIFY(tab.portsDisposed());
}

void TestFirmwareTab::failedBlockEndsUpload_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("shown");
    QTest::newRow("refused") << reply(4, 0, 4) << "ОШИБКА 4";
    QTest::newRow("silent") << QByteArray() << "Таймаут ожидания ответа на команду";
}

void TestFirmwareTab::failedBlockEndsUpload()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, shown);
    ScriptedLoader loader([&](int index) { return index == 2 ? QVector<EmuChunk>{{0, answer}} : QVector<EmuChunk>(); });
    QVERIFY(loader.start());
    Tab tab(loader.path(), 300);
    tab.setFile(file("2500.signed.img", QByteArray(2500, 'x')));

    tab.press("pbSendFirmware");
    QCOMPARE(loader.codes(), (QVector<quint8>{0, 1, 1}));
    QCOMPARE(tab.lines().mid(tab.lines().size() - 3), (QStringList{"SEND FROM 1024 1024 BYTES", "КОМАНДА 01", shown}));
    QVERIFY(tab.bar()->isHidden());
    QCOMPARE(tab.bar()->value(), 0);
}

void TestFirmwareTab::emptyFileOnWillingLoader()
{
    ScriptedLoader loader([](int) { return QVector<EmuChunk>(); });
    QVERIFY(loader.start());
    Tab tab(loader.path(), 300);
    tab.setFile(file("empty.signed.img", QByteArray()));

    tab.press("pbSendFirmware");
    QCOMPARE(loader.codes(), (QVector<quint8>{0, 2, 3}));
    QCOMPARE(loader.dataOf(0), le32(0));
    QVERIFY(tab.sendLines().isEmpty());
}

void TestFirmwareTab::portFailures_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("firstLine"); // a prefix
    for (const char *button : {"pbCheckConnection", "pbReboot", "pbVerifyFirmware", "pbSendFirmware"}) {
        QTest::addRow("%s, no port", button) << button << ""
                                             << "Не указан порт назначения";
        QTest::addRow("%s, blank port", button) << button << "  "
                                                << "Не указан порт назначения";
        QTest::addRow("%s, cannot open", button) << button << "/dev/virta-no-such-loader"
                                                 << "Ошибка открытия порта: ";
    }
}

void TestFirmwareTab::portFailures()
{
    QFETCH(QString, button);
    QFETCH(QString, port);
    QFETCH(QString, firstLine);
    Tab tab(port);
    tab.setFile(file("any.signed.img", "abc"));

    tab.press(button);
    const QStringList lines = tab.lines();
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines.first().startsWith(firstLine), qPrintable(lines.first()));
    if (firstLine.endsWith(' ')) // the reason follows
        QVERIFY(lines.first().size() > firstLine.size());
    QCOMPARE(lines.last(), QStringLiteral("Ошибка открытия пота"));
    QVERIFY(tab.portsDisposed());
}

// The loader's port is ours from the first command of an operation to its end, as the register's
// port is the window's: another program that locks it the usual way is kept out meanwhile, gets it
// once the operation is over, and a port another program holds is refused before anything is
// sent, naming the holder as the window and the console do.
void TestFirmwareTab::portIsOursForTheOperation()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    Tab tab(emu.loaderPath());
    tab.setFile(file("small.signed.img", emu::signedimage::sign(QByteArray(1500, 'z'))));
    QVector<bool> othersGotIt;
    connect(tab.w.findChild<FirmwareLoader *>(), &FirmwareLoader::commandSent, this,
            [&] { othersGotIt << othersCanTake(emu.loaderPath()); });
    tab.press("pbSendFirmware");
    QCOMPARE(emu.loader().commands(), (QVector<quint8>{0, 1, 1, 2, 3}));
    QCOMPARE(othersGotIt, QVector<bool>(5, false));
    QVERIFY(tab.portsDisposed());
    QVERIFY(othersCanTake(emu.loaderPath()));

    for (const char *button : {"pbCheckConnection", "pbSendFirmware"}) {
        PortHolder holder(emu.loaderPath());
        QVERIFY(holder.waitHeld());
        tab.w.findChild<QTextBrowser *>("textBrowser")->clear();
        tab.press(button);
        QCOMPARE(tab.lines(), (QStringList{QStringLiteral("Ошибка открытия порта: ") + holder.busyText(),
                                           QStringLiteral("Ошибка открытия пота")}));
        QCOMPARE(emu.loader().commands().size(), 5);
        QVERIFY(tab.portsDisposed());
    }
}

void TestFirmwareTab::fileFailures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("line"); // a prefix
    QTest::newRow("no file chosen") << ""
                                    << "Не указан файл прошивки";
    QTest::newRow("missing") << dir_.filePath("missing.signed.img") << "Не найден файл прошивки";
    QTest::newRow("folder") << dir_.path() << "Ошибка открытия файла: ";
    // Opening a FIFO for reading waits for a writer: the window would hang.
    const QString fifo = dir_.filePath("fifo.signed.img");
    if (QFile::exists(fifo) || ::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0)
        QTest::newRow("fifo") << fifo << "Файл прошивки не является обычным файлом: ";
    // Its size does not fit the signed 32-bit size field.
    QFile huge(dir_.filePath("huge.signed.img"));
    if (huge.open(QIODevice::WriteOnly) && huge.resize(qint64(1) << 31))
        QTest::newRow("2 GiB") << huge.fileName() << "Файл прошивки слишком велик: 2147483648 байт";
}

void TestFirmwareTab::fileFailures()
{
    QFETCH(QString, path);
    QFETCH(QString, line);
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    Tab tab(emu.loaderPath());
    tab.setFile(path);

    tab.press("pbSendFirmware");
    QCOMPARE(tab.lines().size(), 1);
    QVERIFY2(tab.lines().first().startsWith(line), qPrintable(tab.lines().first()));
    QVERIFY(emu.loader().commands().isEmpty());
    QVERIFY(tab.portsDisposed());
}

void TestFirmwareTab::fileDialog()
{
    const QString chosen = file("chosen.signed.img", "x");
    FirmwareWidget w;
    auto *edit = w.findChild<QLineEdit *>("leFirmareFile");
    QStringList seen;
    bool accept = true;
    const auto answer = [&] {
        QTRY_VERIFY(qobject_cast<QFileDialog *>(QApplication::activeModalWidget()));
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        seen << dialog->windowTitle() << dialog->nameFilters() << dialog->directory().absolutePath();
        if (accept) {
            dialog->selectFile(chosen);
            QMetaObject::invokeMethod(dialog, "accept");
        } else {
            dialog->reject();
        }
    };

    QTimer::singleShot(0, answer);
    w.findChild<QAbstractButton *>("tbOpenFile")->click();
    QCOMPARE(edit->text(), chosen);
    QCOMPARE(seen, (QStringList{"Укажите файл прошивки", "Файл прошивки (*.signed.img)", QDir::homePath()}));

    accept = false; // a cancelled dialog keeps the file chosen before
    QTimer::singleShot(0, answer);
    w.findChild<QAbstractButton *>("tbOpenFile")->click();
    QCOMPARE(seen.size(), 6);
    QCOMPARE(edit->text(), chosen);
}

QTEST_MAIN(TestFirmwareTab)
#include "tst_firmwaretab.moc"
