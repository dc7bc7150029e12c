#include <QtTest>

#include <QAbstractButton>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QLineEdit>

#include <ctime>

#include "confirm.h"
#include "settingswidget.h"
#include "tabfixture.h"
#include "wire.h"

namespace {

// The emulator's host clock stands still, so the register's clock is exactly what was set.
QDateTime frozenHostClock()
{
    return QDateTime(QDate(2031, 5, 6), QTime(7, 8, 9));
}

const CaughtBox Ok(const QString &title)
{
    return CaughtBox(QMessageBox::Information, title, QStringLiteral("Успешно!"));
}

class Fixture : public TabFixture<SettingsWidget>
{
public:
    explicit Fixture(const QString &preset = QStringLiteral("ready")) : TabFixture(options(preset)), started(start()) {}
    static EmulatorFixture::Options options(const QString &preset)
    {
        EmulatorFixture::Options o;
        o.preset = preset;
        o.loader = false;
        return o;
    }
    QByteArray sent() const { return emu.lastRequest().request.data(); }

    const bool started;
};

} // namespace

class TestSettingsTab : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void clock();
    void clockRefused();
    void serial();
    void paperWidth();
    void rounding();
    void oddBlocks_data();
    void oddBlocks();
    void unknownRoundingIsNotWritten();
    void withoutRegister();
};

// Ten hours east of UTC, so that a clock sent as a true instant instead of the wall clock shows.
void TestSettingsTab::initTestCase()
{
    qputenv("TZ", "VIR-10");
    tzset();
    QCOMPARE(frozenHostClock().offsetFromUtc(), 36000);
    // As on a bench of test registers: no question before an act (tst_workingday asks them).
    setConfirmationsOn(false);
}

void TestSettingsTab::clock()
{
    Fixture f;
    QVERIFY2(f.started, qPrintable(f.emu.lastError()));
    f.emu.withModel([](FiscalModel &m) { m.setHostClock(&frozenHostClock); });
    auto *edit = field<QDateTimeEdit>(f.tab, "dateTimeEdit");

    const QDateTime before = QDateTime::currentDateTime().addMSecs(-999);
    press(f.tab, "pbFromHost");
    const QDateTime host = edit->dateTime();
    QVERIFY(host >= before && host <= QDateTime::currentDateTime());
    QCOMPARE(f.emu.executionCount(), 0);

    press(f.tab, "pbToCashbox");
    QCOMPARE(f.boxes.takeFirst(), Ok(QStringLiteral("Запись даты в ККТ")));
    const quint32 wallClock = quint32(QDateTime(host.date(), host.time(), Qt::UTC).toSecsSinceEpoch());
    QCOMPARE(f.sent().toHex(), (cashierBlock() + le32(wallClock)).toHex());
    const QDateTime registerClock = f.emu.withModel([](FiscalModel &m) { return m.registerClock(); });
    QCOMPARE(registerClock.toString(Qt::ISODate), host.toString(Qt::ISODate));

    edit->setDateTime(QDateTime(QDate(2001, 1, 1), QTime(0, 0)));
    press(f.tab, "pbFromCashbox");
    QCOMPARE(f.boxes.count(), 0);
    QCOMPARE(edit->dateTime().toString(Qt::ISODate), host.toString(Qt::ISODate));
}

void TestSettingsTab::clockRefused()
{
    // A date before the register's last document is refused.
    Fixture f;
    QVERIFY2(f.started, qPrintable(f.emu.lastError()));
    auto *edit = field<QDateTimeEdit>(f.tab, "dateTimeEdit");
    edit->setDateTime(QDateTime(QDate(2001, 1, 1), QTime(0, 0)));
    press(f.tab, "pbToCashbox");
    QCOMPARE(f.boxes.takeFirst(), CaughtBox(QMessageBox::Critical, QStringLiteral("Запись даты в ККТ"),
                                            QStringLiteral("Ошибка записи даты")));

    CannedTabFixture<SettingsWidget> g;
    g.reg.setReply(0x03, CoreApiConst::NoData);
    QVERIFY2(g.start(), qPrintable(g.reg.lastError()));
    auto *shown = field<QDateTimeEdit>(g.tab, "dateTimeEdit");
    shown->setDateTime(QDateTime(QDate(2025, 2, 3), QTime(4, 5, 6)));
    press(g.tab, "pbFromCashbox");
    QCOMPARE(g.boxes.takeFirst(), CaughtBox(QMessageBox::Critical, QStringLiteral("Чтение даты из ККТ"),
                                            QStringLiteral("Ошибка чтения даты")));
    QCOMPARE(shown->dateTime(), QDateTime(QDate(2025, 2, 3), QTime(4, 5, 6)));
}

void TestSettingsTab::serial()
{
    Fixture f(QStringLiteral("fresh"));
    QVERIFY2(f.started, qPrintable(f.emu.lastError()));
    auto *serial = field<QLineEdit>(f.tab, "leSerial");
    const QString writeTitle = QStringLiteral("Запись ЗН ККТ");
    const CaughtBox writeError(QMessageBox::Critical, writeTitle, QStringLiteral("Ошибка записи ЗН ККТ"));

    // Only digits, at most ten.
    serial->setFocus();
    QTest::keyClicks(serial, QStringLiteral("4a2-12345678901"));
    QCOMPARE(serial->text(), QStringLiteral("4212345678"));

    // Empty: refused before any exchange.
    serial->clear();
    press(f.tab, "pbWriteSerial");
    QCOMPARE(f.boxes.takeFirst(), writeError);
    QCOMPARE(f.emu.executionsOf(0x3F), 0);

    serial->setText(QStringLiteral("42"));
    press(f.tab, "pbWriteSerial");
    QCOMPARE(f.boxes.takeFirst(), Ok(writeTitle));
    QCOMPARE(f.sent(), cashierBlock() + "0000000042");

    serial->clear();
    press(f.tab, "pbReadSerial");
    QCOMPARE(f.boxes.count(), 0);
    QCOMPARE(serial->text(), QStringLiteral("0000000042"));

    // The number is written once in a register's life.
    press(f.tab, "pbWriteSerial");
    QCOMPARE(f.boxes.takeFirst(), writeError);
}

void TestSettingsTab::paperWidth()
{
    Fixture f;
    QVERIFY2(f.started, qPrintable(f.emu.lastError()));
    auto *width = field<QComboBox>(f.tab, "cbPaperWidth");
    const QString title = QStringLiteral("Запись настроек печати в ККТ");
    struct Step
    {
        int index;
        char byte;
    };
    for (const Step &step : {Step{0, 0x3C}, Step{1, 0x50}}) {
        width->setCurrentIndex(step.index);
        press(f.tab, "pbWritePrinterSettings");
        QCOMPARE(f.boxes.takeFirst(), Ok(title));
        QCOMPARE(f.sent(), cashierBlock() + char(1) + step.byte);
        width->setCurrentIndex(1 - step.index);
        press(f.tab, "pbReadPrinterSettings");
        QCOMPARE(f.boxes.count(), 0);
        QCOMPARE(f.sent(), cashierBlock() + char(1));
        QCOMPARE(width->currentIndex(), step.index);
    }
}

void TestSettingsTab::rounding()
{
    Fixture f;
    QVERIFY2(f.started, qPrintable(f.emu.lastError()));
    auto *round = field<QComboBox>(f.tab, "cbRoundType");
    const QString title = QStringLiteral("Запись настроек ФР");
    for (int type : {1, 0}) {
        round->setCurrentIndex(type);
        press(f.tab, "pbWriteFrSettings");
        QCOMPARE(f.boxes.takeFirst(), Ok(title));
        QCOMPARE(f.sent(), cashierBlock() + char(1) + char(type));
        round->setCurrentIndex(1 - type);
        press(f.tab, "pbReadFrSettings");
        QCOMPARE(f.boxes.count(), 0);
        QCOMPARE(round->currentIndex(), type);
    }
}

void TestSettingsTab::oddBlocks_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("index"); // -2: the read error box
    const int printer = 0xC1;
    const int fr = 0x40;
    QTest::newRow("paper 80") << printer << QByteArray(1, 80) << 1;
    QTest::newRow("paper 60") << printer << QByteArray(1, 60) << 0;
    QTest::newRow("paper 70") << printer << QByteArray(1, 70) << 1;
    QTest::newRow("paper 200 is unsigned") << printer << QByteArray(1, char(200)) << 1;
    QTest::newRow("paper empty") << printer << QByteArray() << -2;
    QTest::newRow("rounding 1") << fr << QByteArray("\x01\x07", 2) << 1;
    QTest::newRow("rounding 5") << fr << QByteArray(1, 5) << -1;
    QTest::newRow("rounding empty") << fr << QByteArray() << -2;
}

// Replies the emulator never gives: how the tab takes a value it does not know or no value at all.
void TestSettingsTab::oddBlocks()
{
    QFETCH(int, command);
    QFETCH(QByteArray, reply);
    QFETCH(int, index);
    CannedTabFixture<SettingsWidget> f;
    f.reg.setReply(quint8(command), 0, reply);
    QVERIFY2(f.start(), qPrintable(f.reg.lastError()));
    const bool printer = command == 0xC1;
    auto *box = field<QComboBox>(f.tab, printer ? "cbPaperWidth" : "cbRoundType");
    box->setCurrentIndex(index == 1 ? 0 : 1);

    press(f.tab, printer ? "pbReadPrinterSettings" : "pbReadFrSettings");
    if (index == -2) {
        QCOMPARE(f.boxes.takeFirst(),
                 printer ? CaughtBox(QMessageBox::Critical, QStringLiteral("Чтение настроек печати из ККТ"),
                                     QStringLiteral("Ошибка чтения настроек печати"))
                         : CaughtBox(QMessageBox::Critical, QStringLiteral("Чтение настроек ФР"),
                                     QStringLiteral("Ошибка чтения настроек ФР")));
        QCOMPARE(box->currentIndex(), 1);
    } else {
        QCOMPARE(f.boxes.count(), 0);
        QCOMPARE(box->currentIndex(), index);
    }
}

// A rounding type the program does not know leaves no selection; writing that sends nothing.
void TestSettingsTab::unknownRoundingIsNotWritten()
{
    CannedTabFixture<SettingsWidget> f;
    f.reg.setReply(0x40, 0, QByteArray(1, 5));
    QVERIFY2(f.start(), qPrintable(f.reg.lastError()));
    press(f.tab, "pbReadFrSettings");
    QCOMPARE(field<QComboBox>(f.tab, "cbRoundType")->currentIndex(), -1);
    const int requests = f.reg.requests().size();

    press(f.tab, "pbWriteFrSettings");
    QCOMPARE(f.boxes.takeFirst(), CaughtBox(QMessageBox::Critical, QStringLiteral("Запись настроек ФР"),
                                            QStringLiteral("Ошибка записи настроек ФР")));
    QCOMPARE(f.reg.requests().size(), requests);
}

void TestSettingsTab::withoutRegister()
{
    SettingsWidget tab;
    MessageBoxCatcher boxes;
    for (const char *button : {"pbFromCashbox", "pbToCashbox", "pbReadSerial", "pbWriteSerial", "pbReadPrinterSettings",
                               "pbWritePrinterSettings", "pbReadFrSettings", "pbWriteFrSettings"})
        press(tab, button);
    QCOMPARE(boxes.count(), 0);
    auto *edit = field<QDateTimeEdit>(tab, "dateTimeEdit");
    edit->setDateTime(QDateTime(QDate(2000, 1, 1), QTime(0, 0)));
    const QDateTime before = QDateTime::currentDateTime().addMSecs(-999);
    press(tab, "pbFromHost");
    QVERIFY(edit->dateTime() >= before && edit->dateTime() <= QDateTime::currentDateTime());
    edit->setDateTime(QDateTime(QDate(1960, 1, 1), QTime(0, 0)));
    QCOMPARE(edit->dateTime(), QDateTime(QDate(1970, 1, 1), QTime(0, 0)));
}

QTEST_MAIN(TestSettingsTab)
#include "tst_settingstab.moc"
