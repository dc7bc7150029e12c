// What the operator sees is what is sent, and the program always answers: a quit while a
// command waits, fields that hold only what the register stores whole, read-then-write that
// changes nothing, command sequences that lock their tab, and failure boxes that say why.

#include <QtTest>

#include <QComboBox>
#include <QDateTimeEdit>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTimer>

#include <ctime>
#include <memory>

#include "activatewidget.h"
#include "catalogentries.h"
#include "catalogswidget.h"
#include "confirm.h"
#include "cyclewidget.h"
#include "editcashierwidget.h"
#include "editsectionwidget.h"
#include "edittaxwidget.h"
#include "mainwidget.h"
#include "printwidget.h"
#include "receuptwidget.h"
#include "reportswidget.h"
#include "settingswidget.h"
#include "statuswidget.h"
#include "tabfixture.h"
#include "tabsupport.h"
#include "wire.h"

namespace {

template <typename W> QWidget *make()
{
    return new W;
}

QWidget *tickedTax()
{
    auto *tax = new EditTaxWidget;
    tax->setChecked(true);
    return tax;
}

// A tab or an editor, by a short name, on no register.
std::unique_ptr<QWidget> makeWidget(const QString &kind)
{
    static const QHash<QString, QWidget *(*)()> makers{
        {"activate", make<ActivateWidget>},
        {"cycle", make<CycleWidget>},
        {"receipt", make<ReceuptWidget>},
        {"print", make<PrintWidget>},
        {"cashier", make<EditCashierWidget>},
        {"section", make<EditSectionWidget>},
        {"tax", tickedTax},
    };
    const auto maker = makers.value(kind);
    return std::unique_ptr<QWidget>(maker ? maker() : nullptr);
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

QByteArray cashierBytes(qint8 number, qint32 password, const QByteArray &nameArea)
{
    return QByteArray(1, char(number)) + le(0x0181, 2) + le(password, 4) + nameArea;
}

QByteArray discountBytes(qint8 number, qint8 kind, qint64 value, const QByteArray &name)
{
    return QByteArray(1, char(number)) + QByteArray(1, char(kind)) + le(value, 8) + padded(name, 128);
}

// The catalogue tab on a register that answers a read with the chosen entry, asked for by its
// number as an operator would (a number the box cannot hold is asked for as the nearest one, and
// the write then goes to the number in the entry).
struct CatalogFixture : CannedTabFixture<CatalogsWidget>
{
    bool start(int type, const QByteArray &entry)
    {
        reg.setReply(0x01, 0, entry);
        if (!CannedTabFixture::start())
            return false;
        field<QComboBox>(tab, "cbCatalogType")->setCurrentIndex(type);
        field<QSpinBox>(tab, "sbNumber")->setValue(entry.isEmpty() ? 1 : quint8(entry.at(0)));
        boxes.setAnswer(QMessageBox::Yes);
        return true;
    }
    // Entry bytes of every catalogue write the register received.
    QList<QByteArray> writes() const
    {
        QList<QByteArray> out;
        for (const QByteArray &payload : sent(0x02))
            out << payload.mid(cashierBlock().size() + 1);
        return out;
    }
};

} // namespace

class TestOperatorTrust : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        registerFsMetaTypes();
        // As on a bench of test registers: no question before an act (tst_workingday asks them).
        setConfirmationsOn(false);
    }

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
    void cashierNameAreaOfOtherLength_data();
    void cashierNameAreaOfOtherLength();
    void blankDiscountTypeSendsNothing();
    void blankTaxTypeSendsNothing();
    void paperWidthKeptAsRead();

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
    auto *port = field<QComboBox>(*w, "wPort/cbPort");
    port->lineEdit()->clear();
    QTest::keyClicks(port->lineEdit(), emu.devicePath());
    field<QAbstractButton>(*w, "wPort/pbOpen")->click();
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
    QTimer::singleShot(0, w, [w] { field<QAbstractButton>(*w, "tabStatus/pbStatus")->click(); });
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
    // Once the loop has ended, the wrapper works as before. The register answers in order: a
    // request that had left during the shutdown would have been executed before this one.
    QCOMPARE(int(fr.getFrStatus(st)), int(CoreApiConst::Success));
    QCOMPARE(emu.executionCount(), before + 1);
}

void TestOperatorTrust::typedFieldsHoldWhatArrives_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("input");
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
    QFETCH(QString, input);
    QFETCH(QString, typed);
    QFETCH(QString, held);

    const std::unique_ptr<QWidget> w = makeWidget(kind);
    QVERIFY(w);
    if (auto *line = field<QLineEdit>(*w, qPrintable(input))) {
        type(line, typed);
        QCOMPARE(line->text(), held);
    } else {
        auto *text = field<QPlainTextEdit>(*w, qPrintable(input));
        QVERIFY2(text, qPrintable(input));
        type(text, typed);
        QCOMPARE(text->toPlainText(), held);
    }
}

void TestOperatorTrust::typedIdentifiersArriveWhole()
{
    // Before, a thirteenth digit was typed, shown, and cut on the way; now the field stops at
    // twelve, and the register gets the digits the field shows.
    CannedTabFixture<ActivateWidget> t;
    QVERIFY2(t.start(), qPrintable(t.reg.lastError()));
    auto *inn = field<QLineEdit>(t.tab, "leInn");
    auto *rnm = field<QLineEdit>(t.tab, "leRnm");
    QTest::keyClicks(inn, QStringLiteral("7707083893991"));
    QTest::keyClicks(rnm, QStringLiteral("00000000010123459"));
    press(t.tab, "pbPreprint");
    QCOMPARE(t.reg.requests().size(), 1);
    QCOMPARE(t.reg.requests().last().data(), (inn->text() + rnm->text()).toLatin1());
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

    CatalogFixture t;
    QVERIFY2(t.start(type, entry), qPrintable(t.reg.lastError()));
    press(t.tab, "pbRead");
    QCOMPARE(t.boxes.count(), 0);
    QCOMPARE(t.log.filter(QStringLiteral("не может показать")).isEmpty(), !noted);
    press(t.tab, "pbWrite");
    QCOMPARE(t.boxes.last().text, QStringLiteral("Успешно!"));
    QCOMPARE(t.writes().size(), 1);
    QCOMPARE(t.writes().first().toHex(' '), entry.toHex(' '));
}

void TestOperatorTrust::operatorChangeStillWins()
{
    CatalogFixture t;
    QVERIFY2(t.start(1, cashierBytes(3, 1500000000, padded("N", 256))), qPrintable(t.reg.lastError()));
    press(t.tab, "pbRead");
    auto *password = field<QSpinBox>(t.tab, "pageCashier/sbPassword");
    password->selectAll();
    QTest::keyClicks(password, QStringLiteral("1234"));
    QCOMPARE(password->value(), 1234);
    press(t.tab, "pbWrite");
    QCOMPARE(t.writes().size(), 1);
    QCOMPARE(t.writes().first().mid(3, 4), le(1234, 4));
}

void TestOperatorTrust::taxWrittenBackAsRead()
{
    // A rate read goes back as read, also one above what the box shows; "Не взимается" has no
    // rate, shows 0.00 and sends zero, whatever the register held with it.
    const struct
    {
        int type;
        int stored;
        int sent;
        int notes; // log lines about a rate the form cannot show
    } rows[] = {{0, 500, 0, 0}, {1, 1800, 1800, 0}, {2, 1000, 1000, 0}, {1, 12000, 12000, 1}};
    for (const auto &row : rows) {
        TaxEntry entry;
        entry.clear();
        entry.setType(quint8(row.type));
        entry.setRate(quint16(row.stored));
        entry.setName(QStringLiteral("НДС"));
        EditTaxWidget editor;
        editor.setIndex(1);
        QSignalSpy notes(&editor, &EditTaxWidget::showLog);
        editor.setTax(entry);
        QCOMPARE(notes.count(), row.notes);
        entry.setRate(quint16(row.sent));
        QCOMPARE(editor.toTlv().rawData().toHex(' '), entry.toTlv(1).rawData().toHex(' '));
    }
}

void TestOperatorTrust::cashierNameAreaOfOtherLength_data()
{
    QTest::addColumn<int>("areaSize");
    QTest::addColumn<bool>("keptAsRead");
    QTest::newRow("9 bytes") << 9 << false;
    QTest::newRow("255 bytes") << 255 << false;
    QTest::newRow("256 bytes, the layout's") << 256 << true;
    QTest::newRow("309 bytes") << 309 << false;
}

// The layout's name area is 256 bytes: one of that size goes back byte for byte (stray bytes and
// all), any other goes back as the layout's 263 bytes with the name rebuilt.
void TestOperatorTrust::cashierNameAreaOfOtherLength()
{
    QFETCH(int, areaSize);
    QFETCH(bool, keptAsRead);
    QByteArray area = padded(QByteArray("Ivanov\0x", 9), areaSize).left(areaSize);
    area[areaSize - 1] = 'z';
    CatalogFixture t;
    QVERIFY2(t.start(1, cashierBytes(3, 30, area)), qPrintable(t.reg.lastError()));
    press(t.tab, "pbRead");
    press(t.tab, "pbWrite");
    QCOMPARE(t.writes().size(), 1);
    const QByteArray written = t.writes().first();
    QCOMPARE(written.size(), CashierEntry::Size);
    QCOMPARE(written.left(7), cashierBytes(3, 30, QByteArray()));
    if (keptAsRead) {
        QCOMPARE(written.mid(7).toHex(' '), area.toHex(' '));
    } else {
        CashierEntry read;
        read.fromBytes(cashierBytes(3, 30, area));
        QCOMPARE(written.mid(7), padded(read.name().toLatin1(), CashierEntry::NameAreaSize));
    }
}

void TestOperatorTrust::blankDiscountTypeSendsNothing()
{
    // An empty slot reads as kind 2, which the type box does not offer.
    CatalogFixture t;
    QVERIFY2(t.start(3, discountBytes(5, 2, 0, QByteArray())), qPrintable(t.reg.lastError()));
    press(t.tab, "pbRead");
    QCOMPARE(field<QComboBox>(t.tab, "pageDiscount/cbType")->currentIndex(), -1);
    press(t.tab, "pbWrite");
    QCOMPARE(t.boxes.count(), 1);
    QCOMPARE(t.boxes.last(), CaughtBox(QMessageBox::Critical, QStringLiteral("Запись данных в справочник"),
                                       QStringLiteral("Ошибка записи данных")));
    QCOMPARE(t.boxes.last().informativeText, QStringLiteral("Не выбран тип скидки"));
    QVERIFY(t.log.contains(QStringLiteral("Не выбран тип скидки")));
    QVERIFY(t.writes().isEmpty());
}

void TestOperatorTrust::blankTaxTypeSendsNothing()
{
    // A tax read as unset shows no type; ticking it and sending would send the type as 3.
    CannedTabFixture<ActivateWidget> t;
    QVERIFY2(t.start(), qPrintable(t.reg.lastError()));
    auto *tax = field<EditTaxWidget>(t.tab, "wTax2");
    TaxEntry unset;
    unset.clear();
    tax->setTax(unset);
    tax->setChecked(true);
    press(t.tab, "pbSendData");
    QCOMPARE(t.boxes.count(), 1);
    QCOMPARE(t.boxes.last().text, QStringLiteral("Ошибка отправки данных документа регистрации/перерегистрации ККТ"));
    QCOMPARE(t.boxes.last().informativeText, QStringLiteral("Налог 2: не выбран тип налога"));
    QVERIFY(t.log.contains(t.boxes.last().informativeText));
    QVERIFY(t.reg.requests().isEmpty());
}

void TestOperatorTrust::paperWidthKeptAsRead()
{
    CannedTabFixture<SettingsWidget> t;
    t.reg.setReply(0xC1, 0, QByteArray(1, char(70)));
    QVERIFY2(t.start(), qPrintable(t.reg.lastError()));
    press(t.tab, "pbReadPrinterSettings");
    QCOMPARE(t.log.filter(QStringLiteral("не может показать")).size(), 1);
    press(t.tab, "pbWritePrinterSettings");
    QCOMPARE(t.sent(0xC2).last().right(1), QByteArray(1, char(70)));
    // A width chosen by the operator goes out as chosen.
    field<QComboBox>(t.tab, "cbPaperWidth")->setCurrentIndex(0);
    press(t.tab, "pbWritePrinterSettings");
    QCOMPARE(t.sent(0xC2).last().right(1), QByteArray(1, char(60)));
}

void TestOperatorTrust::failureBoxCarriesReason()
{
    CatalogFixture t;
    QVERIFY2(t.start(1, QByteArray()), qPrintable(t.reg.lastError()));
    t.reg.setReply(0x01, 16);
    press(t.tab, "pbRead");
    QCOMPARE(t.boxes.count(), 1);
    QCOMPARE(t.boxes.last(), CaughtBox(QMessageBox::Critical, QStringLiteral("Чтение данных из справочника"),
                                       QStringLiteral("Ошибка чтения данных")));
    QCOMPARE(t.boxes.last().informativeText, QStringLiteral("Доступ запрещен (у кассира нет соответствующих прав)"));
}

void TestOperatorTrust::regDataBoxSaysWhatHappened_data()
{
    QTest::addColumn<bool>("registerPresent");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("reason");
    QTest::newRow("not registered") << true << "ККТ не активирована"
                                    << "ФР не активирован";
    // Nothing came back at all: the box says so (an unreadable answer would say that instead).
    QTest::newRow("no register") << false << "ККТ не ответила, или её ответ не удалось прочитать"
                                 << "ККТ не ответила";
}

void TestOperatorTrust::regDataBoxSaysWhatHappened()
{
    QFETCH(bool, registerPresent);
    QFETCH(QString, text);
    QFETCH(QString, reason);

    EmulatorFixture::Options options;
    options.preset = QStringLiteral("fresh");
    TabFixture<StatusWidget> t(options);
    QVERIFY2(registerPresent ? t.start() : t.startWithoutRegister(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;
    press(tab, "pbRegData");
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last(), CaughtBox(QMessageBox::Critical,
                                     QStringLiteral("Запрос параметров регистрации/перерегистрации ККТ"), text));
    QCOMPARE(boxes.last().informativeText, reason);
}

void TestOperatorTrust::datesStartAtNow()
{
    const QDateTime now = QDateTime::currentDateTime();
    SettingsWidget settings;
    QVERIFY(qAbs(field<QDateTimeEdit>(settings, "dateTimeEdit")->dateTime().secsTo(now)) < 60);
    ReportsWidget reports;
    QVERIFY(qAbs(field<QDateTimeEdit>(reports, "dteTo")->dateTime().secsTo(now)) < 60);
}

QTEST_MAIN(TestOperatorTrust)
#include "tst_operatortrust.moc"
