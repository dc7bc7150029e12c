// What the operator sees is what is sent, and the program always answers: a quit while a
// command waits, fields that hold only what the register stores whole, read-then-write that
// changes nothing, command sequences that lock their tab, and failure boxes that say why.

#include <QtTest>

#include <QAbstractButton>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTimer>

#include <ctime>
#include <functional>
#include <memory>

#include "activatewidget.h"
#include "cannedregister.h"
#include "catalogentries.h"
#include "catalogswidget.h"
#include "cyclewidget.h"
#include "editcashierwidget.h"
#include "editsectionwidget.h"
#include "edittaxwidget.h"
#include "emulatorfixture.h"
#include "frconst.h"
#include "frwrapper.h"
#include "mainwidget.h"
#include "messageboxcatcher.h"
#include "printwidget.h"
#include "receuptwidget.h"
#include "reportswidget.h"
#include "settingswidget.h"
#include "statuswidget.h"
#include "tabsupport.h"

namespace {

const char *const NoRegister = "/dev/virta-no-such-register";
constexpr int CashierBlockSize = 5;

// A widget found by a path of object names, e.g. "wTax1/leName".
template <typename T> T *at(QObject *root, const QString &path)
{
    QObject *o = root;
    const QStringList names = path.split(QLatin1Char('/'));
    for (const QString &name : names) {
        o = o ? o->findChild<QObject *>(name) : nullptr;
    }
    return qobject_cast<T *>(o);
}

template <typename Tab> QWidget *makeTab(FsWrapper *fr)
{
    auto *tab = new Tab;
    tab->setFsWrapper(fr);
    return tab;
}

// A tab (given the command layer) or an editor, by a short name.
std::unique_ptr<QWidget> makeWidget(const QString &kind, FsWrapper *fr = nullptr)
{
    static const QHash<QString, std::function<QWidget *(FsWrapper *)>> makers{
        {QStringLiteral("activate"), makeTab<ActivateWidget>},
        {QStringLiteral("cycle"), makeTab<CycleWidget>},
        {QStringLiteral("receipt"), makeTab<ReceuptWidget>},
        {QStringLiteral("print"), makeTab<PrintWidget>},
        {QStringLiteral("status"), makeTab<StatusWidget>},
        {QStringLiteral("reports"), makeTab<ReportsWidget>},
        {QStringLiteral("cashier"),
         [](FsWrapper *) {
             return new EditCashierWidget;
         }},
        {QStringLiteral("section"),
         [](FsWrapper *) {
             return new EditSectionWidget;
         }},
        {QStringLiteral("tax"),
         [](FsWrapper *) {
             auto *tax = new EditTaxWidget;
             tax->setChecked(true);
             return tax;
         }},
    };
    const auto maker = makers.value(kind);
    return std::unique_ptr<QWidget>(maker ? maker(fr) : nullptr);
}

template <typename Tab> void connectTab(Tab &tab, FsWrapper &fr, const QString &port)
{
    QVERIFY(fr.open(port));
    fr.setCashier(DefaultCashierNumber);
    fr.setPassword(DefaultCashierPassword);
    tab.setFsWrapper(&fr);
}

// Types as an operator would, key by key, so that validators and length limits apply (keyClicks
// knows only ASCII keys).
void type(QWidget *w, const QString &text)
{
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

QByteArray padded(const QByteArray &bytes, int size)
{
    return bytes + QByteArray(size - bytes.size(), '\0');
}

QByteArray le(qint64 v, int size)
{
    QByteArray out;
    for (int i = 0; i < size; ++i)
        out += char((quint64(v) >> (8 * i)) & 0xFF);
    return out;
}

QByteArray cashierBytes(qint8 number, qint32 password, const QByteArray &nameArea)
{
    return QByteArray(1, char(number)) + le(0x0181, 2) + le(password, 4) + nameArea;
}

QByteArray discountBytes(qint8 number, qint8 kind, qint64 value, const QByteArray &name)
{
    return QByteArray(1, char(number)) + QByteArray(1, char(kind)) + le(value, 8) + padded(name, 128);
}

// One tab on a register that answers every command with the reply a test chose (result 0 and
// no payload unless set), with the log pane's free-text lines collected.
template <typename Tab> struct CannedBench
{
    CannedRegister reg;
    FsWrapper fr;
    Tab tab;
    MessageBoxCatcher boxes;
    QStringList log;

    bool start()
    {
        if (!reg.start() || !fr.open(reg.devicePath()))
            return false;
        fr.setCashier(DefaultCashierNumber);
        fr.setPassword(DefaultCashierPassword);
        tab.setFsWrapper(&fr);
        QObject::connect(&fr, qOverload<QString>(&FsWrapper::showLog), &tab,
                         [this](const QString &line) { log << line; });
        return true;
    }
    void press(const char *name) { at<QAbstractButton>(&tab, QString::fromLatin1(name))->click(); }
    // Payloads of the requests with this command code, in order.
    QList<QByteArray> sent(quint8 code) const
    {
        QList<QByteArray> out;
        for (const FsReq &req : reg.requests()) {
            if (req.code() == code)
                out << req.data();
        }
        return out;
    }
};

// The catalogue tab on a register that answers a read with the chosen entry.
struct CatalogBench : CannedBench<CatalogsWidget>
{
    bool start(int type, const QByteArray &entry)
    {
        reg.setReply(0x01, 0, entry);
        if (!CannedBench::start())
            return false;
        at<QComboBox>(&tab, QStringLiteral("cbCatalogType"))->setCurrentIndex(type);
        return true;
    }
    // Entry bytes of every catalogue write the register received.
    QList<QByteArray> writes() const
    {
        QList<QByteArray> out;
        for (const QByteArray &payload : sent(0x02))
            out << payload.mid(CashierBlockSize + 1);
        return out;
    }
};

} // namespace

class TestOperatorTrust : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { registerFsMetaTypes(); }

    // Quitting while a command waits.
    void quitWhileWaitingEndsPromptly();
    void noRequestLeavesAfterQuit();

    // Fields hold only what arrives whole.
    void typedFieldsHoldWhatArrives_data();
    void typedFieldsHoldWhatArrives();
    void typedIdentifiersArriveWhole();

    // Read, then write back, changes nothing.
    void readThenWriteSendsWhatWasRead_data();
    void readThenWriteSendsWhatWasRead();
    void operatorChangeStillWins();
    void taxWrittenBackAsRead();
    void blankDiscountTypeSendsNothing();
    void blankTaxTypeSendsNothing();
    void paperWidthKeptAsRead();

    // Sequences lock their tab.
    void sequenceLocksTab_data();
    void sequenceLocksTab();

    // Failure boxes say why.
    void failureBoxCarriesReason();
    void regDataBoxSaysWhatHappened_data();
    void regDataBoxSaysWhatHappened();
    void datesStartAtNow();
};

void TestOperatorTrust::quitWhileWaitingEndsPromptly()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    emu.addFault(EmuFault::Silent);

    auto *w = new MainWidget;
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    auto *port = at<QComboBox>(w, QStringLiteral("wPort/cbPort"));
    port->lineEdit()->clear();
    QTest::keyClicks(port->lineEdit(), emu.devicePath());
    at<QAbstractButton>(w, QStringLiteral("wPort/pbOpen"))->click();
    FsWrapper *fr = w->findChild<FsWrapper *>();
    QVERIFY(fr && fr->isOpen());

    // The exchange starts, the window is closed while it waits; nobody answers a box.
    bool started = false;
    double cpuAtQuit = 0;
    QElapsedTimer sinceQuit;
    connect(fr, &FsWrapper::exchangeStarted, w, [&] {
        if (started)
            return;
        started = true;
        QTimer::singleShot(200, w, [&, w] {
            cpuAtQuit = processCpuSeconds();
            sinceQuit.start();
            w->close();
        });
    });
    bool boxLeftWaiting = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, [&] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            boxLeftWaiting = true;
            modal->close();
        }
        QCoreApplication::exit(1);
    });
    watchdog.start(30000);
    QTimer::singleShot(0, w, [w] { at<QAbstractButton>(w, QStringLiteral("tabStatus/pbStatus"))->click(); });
    const int code = QApplication::exec();
    const qint64 untilLoopEnded = sinceQuit.elapsed();
    watchdog.stop();
    delete w; // waits for the exchange in flight, within its bound
    const qint64 untilWindowGone = sinceQuit.elapsed();
    const double cpu = processCpuSeconds() - cpuAtQuit;

    QVERIFY(started);
    QVERIFY(!boxLeftWaiting);
    QCOMPARE(code, 0);
    // A waiting loop that spins burns a whole core until the worker gives up on the register.
    QVERIFY2(cpu < 0.3 + 0.25 * untilWindowGone / 1000.0,
             qPrintable(QStringLiteral("%1 s of CPU in %2 ms").arg(cpu).arg(untilWindowGone)));
    QVERIFY2(untilLoopEnded < FsTimeouts::Quick.readTimeout,
             qPrintable(QStringLiteral("the event loop ended %1 ms after the quit").arg(untilLoopEnded)));
}

void TestOperatorTrust::noRequestLeavesAfterQuit()
{
    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    FsWrapper fr;
    QVERIFY(fr.open(emu.devicePath()));
    FrStatus st;
    QCOMPARE(int(fr.getFrStatus(st)), int(CoreApiConst::Success));
    const int before = emu.executionCount();

    int afterQuit = -1;
    QTimer::singleShot(0, &fr, [&] {
        QCoreApplication::quit();
        afterQuit = fr.getFrStatus(st);
    });
    QCoreApplication::exec();
    QCOMPARE(afterQuit, int(CoreApiConst::NoAnswer));
    QTest::qWait(300);
    QCOMPARE(emu.executionCount(), before);
    // Once the loop has ended, the wrapper works as before.
    QCOMPARE(int(fr.getFrStatus(st)), int(CoreApiConst::Success));
}

void TestOperatorTrust::typedFieldsHoldWhatArrives_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("held");

    const QString n256(256, QLatin1Char('a'));
    QTest::newRow("taxpayer number: 12 digits") << "activate"
                                                << "leInn"
                                                << "1234567890123"
                                                << "123456789012";
    QTest::newRow("taxpayer number: digits only") << "activate"
                                                  << "leInn"
                                                  << "77a07 08-3"
                                                  << "7707083";
    QTest::newRow("registration number: 16 digits") << "activate"
                                                    << "leRnm"
                                                    << "00000000010123456"
                                                    << "0000000001012345";
    QTest::newRow("tax name: 30 bytes") << "tax"
                                        << "leName" << QString(31, QChar(0x41D)) << QString(30, QChar(0x41D));
    QTest::newRow("organisation: CP866 only")
        << "activate"
        << "leName" << QString::fromUtf8("ООО Евро€") << QString::fromUtf8("ООО Евро");
    QTest::newRow("registration cashier: 255 bytes") << "activate"
                                                     << "leCashier" << n256 << n256.left(255);
    QTest::newRow("shift cashier: 255 bytes") << "cycle"
                                              << "leCashier" << n256 << n256.left(255);
    QTest::newRow("receipt cashier: 255 bytes") << "receipt"
                                                << "leCashier" << n256 << n256.left(255);
    QTest::newRow("item name: CP866 only") << "receipt"
                                           << "leName" << QString::fromUtf8("Чай™") << QString::fromUtf8("Чай");
    QTest::newRow("item text: 256") << "receipt"
                                    << "pteItemTextParam" << n256 + "b" << n256;
    QTest::newRow("receipt text: CP866 only") << "receipt"
                                              << "pteReceiptParam" << QString::fromUtf8("a€b") << "ab";
    QTest::newRow("cashier name: 255 bytes") << "cashier"
                                             << "leName" << n256 << n256.left(255);
    QTest::newRow("section name: CP866 only") << "section"
                                              << "leName" << QString::fromUtf8("x€y") << "xy";
    QTest::newRow("print line: CP866 only") << "print"
                                            << "leText" << QString::fromUtf8("a€b") << "ab";
}

void TestOperatorTrust::typedFieldsHoldWhatArrives()
{
    QFETCH(QString, kind);
    QFETCH(QString, field);
    QFETCH(QString, typed);
    QFETCH(QString, held);

    const std::unique_ptr<QWidget> w = makeWidget(kind);
    QVERIFY(w);
    if (auto *line = at<QLineEdit>(w.get(), field)) {
        type(line, typed);
        QCOMPARE(line->text(), held);
    } else {
        auto *text = at<QPlainTextEdit>(w.get(), field);
        QVERIFY2(text, qPrintable(field));
        type(text, typed);
        QCOMPARE(text->toPlainText(), held);
    }
}

void TestOperatorTrust::typedIdentifiersArriveWhole()
{
    // Before, a thirteenth digit was typed, shown, and cut on the way; now the field stops at
    // twelve, and the register gets the digits the field shows.
    CannedBench<ActivateWidget> b;
    QVERIFY2(b.start(), qPrintable(b.reg.lastError()));
    auto *inn = at<QLineEdit>(&b.tab, QStringLiteral("leInn"));
    auto *rnm = at<QLineEdit>(&b.tab, QStringLiteral("leRnm"));
    QTest::keyClicks(inn, QStringLiteral("7707083893991"));
    QTest::keyClicks(rnm, QStringLiteral("00000000010123459"));
    b.press("pbPreprint");
    QCOMPARE(b.reg.requests().size(), 1);
    QCOMPARE(b.reg.requests().last().data(), (inn->text() + rnm->text()).toLatin1());
}

void TestOperatorTrust::readThenWriteSendsWhatWasRead_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<bool>("noted"); // the log pane says the form could not show a value

    const QByteArray ivanov = padded("\x88\xa2\xa0\xad\xae\xa2", 256); // Иванов in CP866
    QTest::newRow("cashier password above the box") << 1 << cashierBytes(3, 1500000000, ivanov) << true;
    QTest::newRow("cashier password below the box") << 1 << cashierBytes(3, -5, ivanov) << true;
    QTest::newRow("cashier number outside the box") << 1 << cashierBytes(25, 30, ivanov) << true;
    QTest::newRow("cashier name with blanks and stray bytes")
        << 1 << cashierBytes(3, 30, padded(QByteArray("  A\0B  ", 7), 256)) << false;
    QTest::newRow("percent discount above 99.99") << 3 << discountBytes(2, 1, 15000, "Sale") << true;
    QTest::newRow("amount discount above the box") << 3 << discountBytes(2, 0, 2000000000000LL, "Big") << true;
    QTest::newRow("discount name longer than the field") << 3 << discountBytes(2, 1, 500, QByteArray(140, 'D')) << true;
    QTest::newRow("section name of 127 bytes") << 2 << (QByteArray(1, char(4)) + QByteArray(127, 'S')) << true;
    QTest::newRow("section bytes after the name") << 2 << (QByteArray(1, char(4)) + padded("Hat\0tail", 127)) << false;
}

void TestOperatorTrust::readThenWriteSendsWhatWasRead()
{
    QFETCH(int, type);
    QFETCH(QByteArray, entry);
    QFETCH(bool, noted);

    CatalogBench b;
    QVERIFY2(b.start(type, entry), qPrintable(b.reg.lastError()));
    b.press("pbRead");
    QCOMPARE(b.boxes.count(), 0);
    QCOMPARE(b.log.filter(QStringLiteral("не может показать")).isEmpty(), !noted);
    b.press("pbWrite");
    QCOMPARE(b.boxes.last().text, QStringLiteral("Успешно!"));
    QCOMPARE(b.writes().size(), 1);
    QCOMPARE(b.writes().first().toHex(' '), entry.toHex(' '));
}

void TestOperatorTrust::operatorChangeStillWins()
{
    CatalogBench b;
    QVERIFY2(b.start(1, cashierBytes(3, 1500000000, padded("N", 256))), qPrintable(b.reg.lastError()));
    b.press("pbRead");
    auto *password = at<QSpinBox>(&b.tab, QStringLiteral("pageCashier/sbPassword"));
    password->selectAll();
    QTest::keyClicks(password, QStringLiteral("1234"));
    QCOMPARE(password->value(), 1234);
    b.press("pbWrite");
    QCOMPARE(b.writes().size(), 1);
    QCOMPARE(b.writes().first().mid(3, 4), le(1234, 4));
}

void TestOperatorTrust::taxWrittenBackAsRead()
{
    // "Не взимается" shows no rate; the rate the register holds goes back with it.
    for (const auto &stored : {qMakePair(0, 500), qMakePair(1, 1800), qMakePair(2, 1000)}) {
        TaxEntry entry;
        entry.clear();
        entry.setType(quint8(stored.first));
        entry.setRate(quint16(stored.second));
        entry.setName(QStringLiteral("НДС"));
        EditTaxWidget editor;
        editor.setIndex(1);
        editor.setTax(entry);
        QCOMPARE(editor.toTlv().rawData().toHex(' '), entry.toTlv(1).rawData().toHex(' '));
    }
}

void TestOperatorTrust::blankDiscountTypeSendsNothing()
{
    // An empty slot reads as kind 2, which the type box does not offer.
    CatalogBench b;
    QVERIFY2(b.start(3, discountBytes(5, 2, 0, QByteArray())), qPrintable(b.reg.lastError()));
    b.press("pbRead");
    QCOMPARE(at<QComboBox>(&b.tab, QStringLiteral("pageDiscount/cbType"))->currentIndex(), -1);
    b.press("pbWrite");
    QCOMPARE(b.boxes.count(), 1);
    QCOMPARE(b.boxes.last(), CaughtBox(QMessageBox::Critical, QStringLiteral("Запись данных в справочник"),
                                       QStringLiteral("Ошибка записи данных")));
    QCOMPARE(b.boxes.last().informativeText, QStringLiteral("Не выбран тип скидки"));
    QVERIFY(b.log.contains(QStringLiteral("Не выбран тип скидки")));
    QVERIFY(b.writes().isEmpty());
}

void TestOperatorTrust::blankTaxTypeSendsNothing()
{
    // A tax read as unset shows no type; ticking it and sending would send the type as 3.
    CannedBench<ActivateWidget> b;
    QVERIFY2(b.start(), qPrintable(b.reg.lastError()));
    auto *tax = at<EditTaxWidget>(&b.tab, QStringLiteral("wTax2"));
    TaxEntry unset;
    unset.clear();
    tax->setTax(unset);
    tax->setChecked(true);
    b.press("pbSendData");
    QCOMPARE(b.boxes.count(), 1);
    QCOMPARE(b.boxes.last().text, QStringLiteral("Ошибка отправки данных документа регистрации/перерегистрации ККТ"));
    QCOMPARE(b.boxes.last().informativeText, QStringLiteral("Налог 2: не выбран тип налога"));
    QVERIFY(b.log.contains(b.boxes.last().informativeText));
    QVERIFY(b.reg.requests().isEmpty());
}

void TestOperatorTrust::paperWidthKeptAsRead()
{
    CannedBench<SettingsWidget> b;
    b.reg.setReply(0xC1, 0, QByteArray(1, char(70)));
    QVERIFY2(b.start(), qPrintable(b.reg.lastError()));
    b.press("pbReadPrinterSettings");
    QCOMPARE(b.log.filter(QStringLiteral("не может показать")).size(), 1);
    b.press("pbWritePrinterSettings");
    QCOMPARE(b.sent(0xC2).last().right(1), QByteArray(1, char(70)));
    // A width chosen by the operator goes out as chosen.
    at<QComboBox>(&b.tab, QStringLiteral("cbPaperWidth"))->setCurrentIndex(0);
    b.press("pbWritePrinterSettings");
    QCOMPARE(b.sent(0xC2).last().right(1), QByteArray(1, char(60)));
}

void TestOperatorTrust::sequenceLocksTab_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("requests");

    QTest::newRow("test receipt") << "receipt"
                                  << "pbTestReceipt" << 24;
    QTest::newRow("registration data, status tab") << "status"
                                                   << "pbRegData" << 12;
    QTest::newRow("registration data, registration tab") << "activate"
                                                         << "pbReadRegData" << 12;
    QTest::newRow("copy of the Z-report") << "reports"
                                          << "pbPrintLastZReport" << 2;
}

void TestOperatorTrust::sequenceLocksTab()
{
    QFETCH(QString, kind);
    QFETCH(QString, button);
    QFETCH(int, requests);

    EmulatorFixture emu;
    QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    FsWrapper fr;
    QVERIFY(fr.open(emu.devicePath()));
    fr.setCashier(DefaultCashierNumber);
    fr.setPassword(DefaultCashierPassword);
    if (kind == QLatin1String("receipt")) {
        qint16 cycle = 0;
        qint32 fd = 0;
        qint32 fp = 0;
        QDateTime dt;
        QCOMPARE(int(fr.startCycleOpening(QStringLiteral("Кассир"))), int(CoreApiConst::Success));
        QCOMPARE(int(fr.completeCycleOpening(cycle, fd, fp, dt)), int(CoreApiConst::Success));
        QTest::qWait(200); // the progress signals of these exchanges are not the sequence's
    }
    const std::unique_ptr<QWidget> tab = makeWidget(kind, &fr);
    QVERIFY(tab);
    MessageBoxCatcher boxes;

    // Between two requests of the sequence events are processed: a click there must find the
    // tab locked.
    int finished = 0;
    int unlockedBetween = 0;
    connect(&fr, &FsWrapper::exchangeFinished, tab.get(), [&] {
        // The last one may be reported after the sequence has ended.
        if (++finished < requests && tab->isEnabled())
            ++unlockedBetween;
    });
    at<QAbstractButton>(tab.get(), button)->click();
    QTRY_COMPARE(finished, requests);
    QCOMPARE(unlockedBetween, 0);
    QVERIFY(tab->isEnabled());
}

void TestOperatorTrust::failureBoxCarriesReason()
{
    CatalogBench b;
    QVERIFY2(b.start(1, QByteArray()), qPrintable(b.reg.lastError()));
    b.reg.setReply(0x01, 16);
    b.press("pbRead");
    QCOMPARE(b.boxes.count(), 1);
    QCOMPARE(b.boxes.last(), CaughtBox(QMessageBox::Critical, QStringLiteral("Чтение данных из справочника"),
                                       QStringLiteral("Ошибка чтения данных")));
    QCOMPARE(b.boxes.last().informativeText, QStringLiteral("Доступ запрещен (у кассира нет соответствующих прав)"));
}

void TestOperatorTrust::regDataBoxSaysWhatHappened_data()
{
    QTest::addColumn<bool>("registerPresent");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("reason");
    QTest::newRow("not registered") << true << "ККТ не активирована"
                                    << "ФР не активирован";
    QTest::newRow("no register") << false << "ККТ не ответила, или её ответ не удалось прочитать"
                                 << "Ошибка разбора ответа от ФР";
}

void TestOperatorTrust::regDataBoxSaysWhatHappened()
{
    QFETCH(bool, registerPresent);
    QFETCH(QString, text);
    QFETCH(QString, reason);

    EmulatorFixture::Options options;
    options.preset = QStringLiteral("fresh");
    EmulatorFixture emu(options);
    if (registerPresent)
        QVERIFY2(emu.start(), qPrintable(emu.lastError()));
    FsWrapper fr;
    StatusWidget tab;
    connectTab(tab, fr, registerPresent ? emu.devicePath() : QString::fromLatin1(NoRegister));
    MessageBoxCatcher boxes;
    at<QAbstractButton>(&tab, QStringLiteral("pbRegData"))->click();
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last(), CaughtBox(QMessageBox::Critical,
                                     QStringLiteral("Запрос параметров регистрации/перерегистрации ККТ"), text));
    QCOMPARE(boxes.last().informativeText, reason);
}

void TestOperatorTrust::datesStartAtNow()
{
    const QDateTime now = QDateTime::currentDateTime();
    SettingsWidget settings;
    QVERIFY(qAbs(at<QDateTimeEdit>(&settings, QStringLiteral("dateTimeEdit"))->dateTime().secsTo(now)) < 60);
    ReportsWidget reports;
    QVERIFY(qAbs(at<QDateTimeEdit>(&reports, QStringLiteral("dteTo"))->dateTime().secsTo(now)) < 60);
}

QTEST_MAIN(TestOperatorTrust)
#include "tst_operatortrust.moc"
