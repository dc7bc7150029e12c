#include <QtTest>

#include <QAbstractButton>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QSpinBox>

#include <ctime>

#include "reportswidget.h"
#include "tabfixture.h"
#include "wire.h"

namespace {

const QString Success = QStringLiteral("Успешно");
const QString CopyTitle = QStringLiteral("Печать копии документа");
const QString ZTitle = QStringLiteral("Печать копии Z отчета");
const QString TapeTitle = QStringLiteral("Печать контрольной ленты");

// Opens and closes one shift through the command layer; returns the closing document's number.
qint32 makeShift(FsWrapper &fr, bool close)
{
    qint16 cycle = 0;
    qint32 fd = 0, fp = 0;
    QDateTime dt;
    if (fr.startCycleOpening(QStringLiteral("Кассир")) || fr.completeCycleOpening(cycle, fd, fp, dt))
        return -1;
    if (!close)
        return fd;
    if (fr.startCycleClosing(QStringLiteral("Кассир")) || fr.completeCycleClosing(cycle, fd, fp, dt))
        return -1;
    return fd;
}

} // namespace

class TestReportsTab : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void reports_data();
    void reports();
    void docCopy();
    void lastZReport();
    void controlTape();
    void tapeNumberAfterRefusal();
    void withoutRegister();
};

// Ten hours east of UTC, so that a date sent as a true instant instead of the wall clock shows.
void TestReportsTab::initTestCase()
{
    qputenv("TZ", "VIR-10");
    tzset();
    QCOMPARE(QDateTime(QDate(2024, 3, 1), QTime(8, 0)).offsetFromUtc(), 36000);
}

void TestReportsTab::reports_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("params");
    QTest::addColumn<bool>("accepted");
    // 2024-03-01 08:00 and 2024-03-02 08:00 as wall-clock seconds.
    const QByteArray period = le32(1709280000) + le32(1709280000 + 86400);
    QTest::newRow("ТИП ОТЧЕТА is refused in the window") << 0 << QByteArray() << false;
    QTest::newRow("X Отчет") << 1 << QByteArray() << true;
    QTest::newRow("Итоги") << 2 << QByteArray() << true;
    QTest::newRow("Гросс итоги") << 3 << QByteArray() << true;
    QTest::newRow("По отделам") << 4 << QByteArray() << true;
    QTest::newRow("За период") << 5 << period << true;
    QTest::newRow("По сменам 3 to 7") << 6 << QByteArray::fromHex("03000700") << true;
}

void TestReportsTab::reports()
{
    QFETCH(int, type);
    QFETCH(QByteArray, params);
    QFETCH(bool, accepted);
    TabFixture<ReportsWidget> t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;
    // Parameters of the other reports are filled in too: only the chosen report's may go out.
    field<QSpinBox>(tab, "sbCycleFrom")->setValue(3);
    field<QSpinBox>(tab, "sbCycleTo")->setValue(7);
    field<QDateTimeEdit>(tab, "dteFrom")->setDateTime(QDateTime(QDate(2024, 3, 1), QTime(8, 0)));
    field<QDateTimeEdit>(tab, "dteTo")->setDateTime(QDateTime(QDate(2024, 3, 2), QTime(8, 0)));
    field<QComboBox>(tab, "cbReportType")->setCurrentIndex(type);

    press(tab, "pbPrintReport");
    if (type == 0) {
        QVERIFY(emu.requests().isEmpty());
        QCOMPARE(boxes.last().informativeText, QStringLiteral("Не выбран тип отчета"));
    } else {
        QCOMPARE(emu.lastRequest().request.code(), quint8(0xB1));
        QCOMPARE(emu.lastRequest().request.data().toHex(), (cashierBlock() + char(type) + params).toHex());
    }
    QCOMPARE(boxes.count(), 1);
    const QString title = QStringLiteral("Печать отчета");
    QCOMPARE(boxes.last(), accepted ? CaughtBox(QMessageBox::Information, title, Success)
                                    : CaughtBox(QMessageBox::Critical, title, QStringLiteral("Ошибка печати отчета")));
    QCOMPARE(boxes.last().buttons.size(), 1);
}

void TestReportsTab::docCopy()
{
    TabFixture<ReportsWidget> t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;
    FrStatus st;
    QCOMPARE(fr.getFrStatus(st), CoreApiConst::Success);
    auto *number = field<QSpinBox>(tab, "sbDocNumber");

    number->setValue(st.lastDocNumber);
    press(tab, "pbPrintDocCopy");
    QCOMPARE(boxes.takeFirst(), CaughtBox(QMessageBox::Information, CopyTitle, Success));
    QCOMPARE(emu.lastRequest().request.data(), cashierBlock() + le32(st.lastDocNumber));

    number->setValue(1000000);
    press(tab, "pbPrintDocCopy");
    QCOMPARE(boxes.takeFirst(),
             CaughtBox(QMessageBox::Critical, CopyTitle, QStringLiteral("Ошибка печати копии документа")));
    QCOMPARE(emu.lastRequest().request.data(), cashierBlock() + le32(1000000));
}

void TestReportsTab::lastZReport()
{
    TabFixture<ReportsWidget> t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;

    // Closed shift: the copy is of the shift's last document, its closing report.
    const qint32 closing = makeShift(fr, true);
    QVERIFY(closing > 0);
    press(tab, "pbPrintLastZReport");
    QCOMPARE(boxes.takeFirst(), CaughtBox(QMessageBox::Information, ZTitle, Success));
    QCOMPARE(emu.lastRequest().request.code(), quint8(0xB2));
    QCOMPARE(emu.lastRequest().request.data(), cashierBlock() + le32(closing));

    // Open shift: nothing is printed.
    QVERIFY(makeShift(fr, false) > 0);
    const int copies = emu.executionsOf(0xB2);
    press(tab, "pbPrintLastZReport");
    QCOMPARE(boxes.takeFirst(), CaughtBox(QMessageBox::Critical, ZTitle, QStringLiteral("Текущая смена открыта")));
    QCOMPARE(emu.executionsOf(0xB2), copies);
    QCOMPARE(emu.lastRequest().request.code(), quint8(0x10));
}

void TestReportsTab::controlTape()
{
    TabFixture<ReportsWidget> t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;
    emu.withModel([](FiscalModel &m) { m.setControlTapePageLimit(1); });
    for (int i = 0; i < 2; ++i)
        QVERIFY(makeShift(fr, true) > 0);
    FrStatus st;
    QCOMPARE(fr.getFrStatus(st), CoreApiConst::Success);
    auto *next = field<QSpinBox>(tab, "sbDocNumber_2");
    QCOMPARE(next->value(), 0);

    // Only the cashier block goes out; the number the register answers is where to go on.
    press(tab, "pbPrintControlTape");
    QCOMPARE(boxes.takeFirst(), CaughtBox(QMessageBox::Information, TapeTitle, Success));
    QCOMPARE(emu.lastRequest().request.code(), quint8(0x3A));
    QCOMPARE(emu.lastRequest().request.data(), cashierBlock());
    FsRep reply;
    QCOMPARE(reply.setRawData(emu.lastReply()), fs::Ok);
    QVERIFY(next->value() > 0);
    QCOMPARE(reply.data(), le32(next->value()));

    // From the first document on, one page at a time: each continues where the last one stopped,
    // and the last page (without a number) leaves the field as it was.
    next->setValue(1);
    int pages = 0;
    for (int from = 1; pages <= st.lastDocNumber; from = next->value()) {
        press(tab, "pbContinueControlTape");
        ++pages;
        QCOMPARE(boxes.takeFirst(), CaughtBox(QMessageBox::Information, TapeTitle, Success));
        QCOMPARE(emu.lastRequest().request.data(), cashierBlock() + le32(from));
        QCOMPARE(reply.setRawData(emu.lastReply()), fs::Ok);
        if (reply.data().isEmpty()) {
            QCOMPARE(next->value(), from);
            break;
        }
        QCOMPARE(reply.data(), le32(next->value()));
    }
    QCOMPARE(pages, st.lastDocNumber);
}

// A register that stops the tape with a refusal still says where it stopped.
void TestReportsTab::tapeNumberAfterRefusal()
{
    CannedTabFixture<ReportsWidget> t;
    t.reg.setReply(0x3A, CoreApiConst::NoPaper, le32(120));
    QVERIFY2(t.start(), qPrintable(t.reg.lastError()));

    press(t.tab, "pbPrintControlTape");
    QCOMPARE(t.boxes.takeFirst(),
             CaughtBox(QMessageBox::Critical, TapeTitle, QStringLiteral("Ошибка печати контрольной ленты")));
    QCOMPARE(field<QSpinBox>(t.tab, "sbDocNumber_2")->value(), 120);

    t.reg.setReply(0x3A, 0);
    press(t.tab, "pbContinueControlTape");
    QCOMPARE(t.boxes.takeFirst(), CaughtBox(QMessageBox::Information, TapeTitle, Success));
    QCOMPARE(t.reg.requests().last().data(), cashierBlock() + le32(120));
    QCOMPARE(field<QSpinBox>(t.tab, "sbDocNumber_2")->value(), 120);

    // The shift state cannot be read: no copy is attempted.
    t.reg.setReply(0x10, CoreApiConst::NoPaper);
    press(t.tab, "pbPrintLastZReport");
    QCOMPARE(t.boxes.takeFirst(),
             CaughtBox(QMessageBox::Critical, ZTitle, QStringLiteral("Ошибка получения статуса ФР")));
    QCOMPARE(t.reg.requests().last().code(), quint8(0x10));
}

void TestReportsTab::withoutRegister()
{
    ReportsWidget tab;
    MessageBoxCatcher boxes;
    for (const char *button :
         {"pbPrintReport", "pbPrintDocCopy", "pbPrintControlTape", "pbContinueControlTape", "pbPrintLastZReport"})
        press(tab, button);
    QCOMPARE(boxes.count(), 0);
    // The period starts a day before it ends.
    QCOMPARE(field<QDateTimeEdit>(tab, "dteFrom")->dateTime().secsTo(field<QDateTimeEdit>(tab, "dteTo")->dateTime()),
             qint64(86400));
    // Only dates the register's 32-bit second count can carry can be chosen.
    auto *to = field<QDateTimeEdit>(tab, "dteTo");
    to->setDateTime(QDateTime(QDate(2200, 1, 1), QTime(0, 0)));
    QCOMPARE(to->dateTime(), QDateTime(QDate(2106, 2, 7), QTime(6, 28, 15)));
    to->setDateTime(QDateTime(QDate(1960, 1, 1), QTime(0, 0)));
    QCOMPARE(to->dateTime(), QDateTime(QDate(1970, 1, 1), QTime(0, 0)));
}

QTEST_MAIN(TestReportsTab)
#include "tst_reportstab.moc"
