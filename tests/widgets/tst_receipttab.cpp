#include <QtTest>

#include <QAbstractButton>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>

#include "confirm.h"
#include "tabfixture.h"
#include "receiptitem.h"
#include "receuptwidget.h"

namespace {

constexpr quint8 SendDocData = 0x07;

void openShift(FsWrapper &fr)
{
    qint16 cycle = 0;
    qint32 fd = 0;
    qint32 fp = 0;
    QDateTime dt;
    QCOMPARE(fr.startCycleOpening(QStringLiteral("Кассир")), CoreApiConst::Success);
    QCOMPARE(fr.completeCycleOpening(cycle, fd, fp, dt), CoreApiConst::Success);
}

// The members of the item record the register received last, by tag.
QMap<quint16, Tlv> lastItem(const EmulatorFixture &emu)
{
    const FsReq req = emu.lastRequest().request;
    Tlv item;
    if (req.code() != SendDocData || !item.setRawData(req.data()) || item.tag() != ReceiptTags::Item)
        return {};
    return item.toMap();
}

QString afterLabel(const QStringList &lines, const QString &label)
{
    for (const QString &line : lines) {
        if (line.startsWith(label + QLatin1Char(' ')))
            return line.mid(label.size() + 1);
    }
    return QString();
}

void success(MessageBoxCatcher &boxes, const QString &title)
{
    QCOMPARE(boxes.takeFirst(), CaughtBox(QMessageBox::Information, title, QStringLiteral("Успешно!")));
}

} // namespace

class TestReceiptTab : public QObject
{
    Q_OBJECT
private slots:
    // As on a bench of test registers: no question before an act (tst_workingday asks them).
    void initTestCase() { setConfirmationsOn(false); }
    void receiptItemByItem();
    void openDataWithoutReceipt();
    void testReceipt();
    void noRegister_data();
    void noRegister();
    void fixedPitchEditors();
};

void TestReceiptTab::receiptItemByItem()
{
    TabFixture<ReceuptWidget> t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;
    openShift(fr);

    field<QComboBox>(tab, "cbReceiptType")->setCurrentIndex(0);
    field<QLineEdit>(tab, "leCashier")->setText(QStringLiteral("Петров П."));
    press(tab, "pbStartReceipt");
    success(boxes, QStringLiteral("начало формирования чека"));
    QCOMPARE(emu.lastRequest().request.code(), quint8(0x15));
    QCOMPARE(emu.lastRequest().request.data().at(5), char(0)); // after the cashier block: the sale type

    // First item: a discount by sum; the catalogue number entered alongside is not sent.
    field<QLineEdit>(tab, "leCode")->setText(QStringLiteral("4601"));
    field<QLineEdit>(tab, "leName")->setText(QStringLiteral("Хлеб"));
    field<QLineEdit>(tab, "leUnit")->setText(QStringLiteral("шт."));
    field<QSpinBox>(tab, "sbSection")->setValue(1);
    field<QSpinBox>(tab, "sbTax")->setValue(1);
    field<QDoubleSpinBox>(tab, "dsbPrice")->setValue(45.50);
    field<QDoubleSpinBox>(tab, "dsbQuantity")->setValue(2);
    field<QSpinBox>(tab, "sbDiscount")->setValue(1);
    field<QDoubleSpinBox>(tab, "dsbDiscount")->setValue(1.00);
    field<QPlainTextEdit>(tab, "pteItemTextParam")->setPlainText(QString(300, QLatin1Char('a')));
    press(tab, "pbAddReceiptItem");
    success(boxes, QStringLiteral("Добавление позиции в чек"));
    QMap<quint16, Tlv> item = lastItem(emu);
    QVERIFY(!item.isEmpty());
    QCOMPARE(item.value(ReceiptTags::Code).toString(), QStringLiteral("4601"));
    QCOMPARE(item.value(ReceiptTags::Name).toString(), QStringLiteral("Хлеб"));
    QVERIFY(!item.contains(ReceiptTags::Barcode));
    QCOMPARE(item.value(ReceiptTags::Price).toUInt64(), quint64(4550));
    QCOMPARE(item.value(ReceiptTags::Quantity).toFixNumber(), FixNumber(100000, qint64(200000)));
    QCOMPARE(item.value(ReceiptTags::DiscountSum).toUInt64(), quint64(100));
    QVERIFY(!item.contains(ReceiptTags::DiscountNumber));
    QCOMPARE(item.value(ReceiptTags::ItemText).value(), QByteArray(256, 'a'));

    // Second item: a catalogue discount by number.
    field<QLineEdit>(tab, "leCode")->clear();
    field<QLineEdit>(tab, "leName")->setText(QStringLiteral("Молоко"));
    field<QDoubleSpinBox>(tab, "dsbPrice")->setValue(80);
    field<QDoubleSpinBox>(tab, "dsbQuantity")->setValue(1);
    field<QDoubleSpinBox>(tab, "dsbDiscount")->setValue(0);
    field<QPlainTextEdit>(tab, "pteItemTextParam")->clear();
    press(tab, "pbAddReceiptItem");
    success(boxes, QStringLiteral("Добавление позиции в чек"));
    item = lastItem(emu);
    QCOMPARE(item.value(ReceiptTags::DiscountNumber).toUInt8(), quint8(1));
    QVERIFY(!item.contains(ReceiptTags::DiscountSum));
    QVERIFY(!item.contains(ReceiptTags::Code));
    QVERIFY(!item.contains(ReceiptTags::ItemText));

    // A receipt text, cut to 256 characters.
    field<QPlainTextEdit>(tab, "pteReceiptParam")->setPlainText(QString(300, QChar(0x0416)));
    press(tab, "pbAddTextParam");
    success(boxes, QStringLiteral("Добавление позиции в чек"));
    QCOMPARE(emu.lastRequest().request.data(), receiptTextTlv(QString(256, QChar(0x0416))).rawData());

    // The open receipt's running data.
    press(tab, "pbGetOpenDocData");
    QCOMPARE(boxes.count(), 0);
    const QStringList open = field<QLabel>(tab, "lAmount")->text().split(QLatin1Char('\n'));
    QCOMPARE(open.size(), 4);
    QCOMPARE(open.at(0), QStringLiteral("ПРОДАЖА"));
    QVERIFY(open.at(1).startsWith(QStringLiteral("ЧЕК ")));
    QVERIFY(open.at(2).startsWith(QStringLiteral("ОПЕРАЦИЙ ")));
    // 2 x 45.50 less 1.00, and 80.00 less catalogue discount 1 (10 %).
    const FixNumber sum(100, qint64(9000 + 7200));
    QCOMPARE(afterLabel(open, QStringLiteral("НА СУММУ")), sum.toString());

    // Paid 100 roubles over the total in cash: that much change.
    field<QDoubleSpinBox>(tab, "dsbCash")->setValue(sum.toDouble() + 100);
    press(tab, "pbCompleteReceipt");
    const CaughtBox done = boxes.takeFirst();
    QCOMPARE(done.icon, QMessageBox::Information);
    QCOMPARE(done.title, QStringLiteral("Завершение формирования чека"));
    const QStringList lines = done.text.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 8);
    QCOMPARE(lines.at(0), QStringLiteral("Успешно!"));
    QCOMPARE(afterLabel(lines, QStringLiteral("ИТОГ ПО ЧЕКУ")), sum.toString());
    QCOMPARE(afterLabel(lines, QStringLiteral("СДАЧА")), FixNumber(100, qint64(10000)).toString());
    QCOMPARE(afterLabel(lines, QStringLiteral("ЧЕК В СМЕНЕ")), open.at(1).mid(4));
    QVERIFY(QDateTime::fromString(afterLabel(lines, QStringLiteral("ДАТА")), Qt::TextDate).isValid());

    // Opening the next receipt clears the old running data.
    press(tab, "pbStartReceipt");
    QVERIFY(field<QLabel>(tab, "lAmount")->text().isEmpty());
}

// With no receipt open the register answers with document type 0: a warning, not a failure. The
// running data still show their lines.
void TestReceiptTab::openDataWithoutReceipt()
{
    TabFixture<ReceuptWidget> t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;

    press(tab, "pbGetOpenDocData");
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last(), CaughtBox(QMessageBox::Warning, QStringLiteral("Получение данных открытого чека"),
                                     QStringLiteral("Открытый документ не является чеком")));
    const QString text = field<QLabel>(tab, "lAmount")->text();
    QVERIFY(text.contains(QStringLiteral("ЧЕК ")));
    QVERIFY(text.contains(QStringLiteral("ОПЕРАЦИЙ ")));
    QVERIFY(text.contains(QStringLiteral("НА СУММУ ")));
}

void TestReceiptTab::testReceipt()
{
    TabFixture<ReceuptWidget> t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;
    openShift(fr);
    emu.clearHistory();

    press(tab, "pbTestReceipt");
    QMap<int, int> perCommand;
    const QVector<EmuRequestRecord> requests = emu.requests();
    for (const EmuRequestRecord &r : requests)
        ++perCommand[r.request.code()];
    QCOMPARE(requests.size(), 24);
    QCOMPARE(perCommand.value(0x15), 1);
    QCOMPARE(perCommand.value(SendDocData), 21);
    QCOMPARE(perCommand.value(0xB0), 1);
    QCOMPARE(perCommand.value(0x16), 1);
    QCOMPARE(requests.first().request.code(), quint8(0x15));
    QCOMPARE(requests.last().request.code(), quint8(0x16));

    QCOMPARE(boxes.count(), 1);
    const CaughtBox box = boxes.last();
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.title, QStringLiteral("Завершение формирования чека"));
    const QStringList lines = box.text.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 9);
    QCOMPARE(lines.first(), QStringLiteral("Успешно!"));
    QVERIFY2(QRegularExpression(QStringLiteral("^ВРЕМЯ ВЫПОЛНЕНИЯ ТЕСТА \\d+ мс$")).match(lines.last()).hasMatch(),
             qPrintable(lines.last()));
    // The whole total is paid in cash: no change.
    QCOMPARE(afterLabel(lines, QStringLiteral("СДАЧА")), FixNumber(100).toString());
    // The test item: 123.45 less 1.34, ten times.
    QCOMPARE(afterLabel(lines, QStringLiteral("ИТОГ ПО ЧЕКУ")), FixNumber(100, qint64(10 * (12345 - 134))).toString());
}

void TestReceiptTab::noRegister_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    const int critical = QMessageBox::Critical;
    QTest::newRow("start") << "pbStartReceipt" << critical << "Начало формирования чека"
                           << "Ошибка начала формирования чека";
    QTest::newRow("complete") << "pbCompleteReceipt" << critical << "Завершени формирования чека"
                              << "Ошибка формирования чека";
    QTest::newRow("item") << "pbAddReceiptItem" << critical << "Добавление позиции в чек"
                          << "Ошибка добавления позиции в чек";
    QTest::newRow("text") << "pbAddTextParam" << critical << "Добавление позиции в чек"
                          << "Ошибка добавления позиции в чек";
    QTest::newRow("open data") << "pbGetOpenDocData" << critical << "Получение данных открытого чека"
                               << "Ошибка получения данных открытого чека";
    QTest::newRow("test receipt") << "pbTestReceipt" << critical << "Начало формирования чека"
                                  << "Ошибка начала формирования чека";
}

void TestReceiptTab::noRegister()
{
    QFETCH(QString, button);
    QFETCH(int, icon);
    QFETCH(QString, title);
    QFETCH(QString, text);
    TabFixture<ReceuptWidget> t;
    QVERIFY(t.startWithoutRegister());
    auto &[emu, fr, tab, boxes] = t;

    press(tab, qPrintable(button));
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last(), CaughtBox(QMessageBox::Icon(icon), title, text));
}

void TestReceiptTab::fixedPitchEditors()
{
    QFontDatabase db;
    QString expected;
    for (const QString &family : db.families(QFontDatabase::Cyrillic)) {
        if (db.isFixedPitch(family)) {
            expected = family;
            break;
        }
    }
    if (expected.isEmpty())
        QSKIP("no fixed-pitch Cyrillic font installed");
    ReceuptWidget tab;
    QCOMPARE(field<QPlainTextEdit>(tab, "pteItemTextParam")->font().family(), expected);
    QCOMPARE(field<QPlainTextEdit>(tab, "pteReceiptParam")->font().family(), expected);
}

QTEST_MAIN(TestReceiptTab)
#include "tst_receipttab.moc"
