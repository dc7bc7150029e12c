#include <QtTest>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QStackedWidget>

#include "catalogentries.h"
#include "catalogswidget.h"
#include "editcashierwidget.h"
#include "editdiscountwidget.h"
#include "editsectionwidget.h"
#include "tabfixture.h"

namespace {

const QStringList RightBoxes{"cbReceipts",       "cbReports",     "cbSettings", "cbFiscalization",
                             "cbReturnReceipts", "cbWriteSerial", "cbCatalogs", "cbCashiers"};
const QString WriteTitle = QStringLiteral("Запись данных в справочник");
const CaughtBox WriteOk(QMessageBox::Information, WriteTitle, QStringLiteral("Успешно!"));

// The tab with the catalogue and entry number chosen as an operator chooses them, and its editor
// pages, on either kind of register.
template <typename Base> class CatalogTab : public Base
{
public:
    void choose(int type, int number)
    {
        field<QComboBox>(this->tab, "cbCatalogType")->setCurrentIndex(type);
        field<QSpinBox>(this->tab, "sbNumber")->setValue(number);
    }
    QWidget &page(const char *name) { return *field<QWidget>(this->tab, name); }
};

// One tab on a fresh register.
class Fixture : public CatalogTab<TabFixture<CatalogsWidget>>
{
public:
    Fixture() : started(start()) {}
    // The entry bytes of the last write the register received.
    QByteArray written() const
    {
        const QByteArray data = emu.lastRequest().request.data();
        return data.mid(cashierBlock().size() + 1);
    }

    const bool started;
};

// One tab on a register that answers with the replies a test chose.
using CannedFixture = CatalogTab<CannedTabFixture<CatalogsWidget>>;

} // namespace

class TestCatalogsTab : public QObject
{
    Q_OBJECT
private slots:
    void cashierRights_data();
    void cashierRights();
    void newCashier();
    void longCashierName();
    void section();
    void oddSectionBlock_data();
    void oddSectionBlock();
    void discount_data();
    void discount();
    void discountOfOtherKind_data();
    void discountOfOtherKind();
    void discountKindRule();
    void noCatalogue();
    void entryNumberRange();
    void readRefused();
};

void TestCatalogsTab::cashierRights_data()
{
    QTest::addColumn<int>("rights");
    QTest::addColumn<QStringList>("ticked");
    QTest::newRow("0x0121") << 0x0121 << QStringList{"cbReceipts", "cbWriteSerial", "cbCashiers"};
    QTest::newRow("bits 6, 9 and 15 without a box") << 0x8243 << QStringList{"cbReceipts", "cbReports"};
    QTest::newRow("all boxes") << 0x01BF << RightBoxes;
}

// What is read is shown, and written back unchanged it arrives as it was read.
void TestCatalogsTab::cashierRights()
{
    QFETCH(int, rights);
    QFETCH(QStringList, ticked);
    Fixture f;
    QVERIFY2(f.started, qPrintable(f.emu.lastError()));
    CashierEntry c;
    c.setNumber(5);
    c.setRights(quint16(rights));
    c.setPassword(4711);
    c.setName(QStringLiteral("Сидоров П."));
    QCOMPARE(f.fr.writeCatalog(1, c.toBytes()), CoreApiConst::Success);

    f.choose(1, 5);
    press(f.tab, "pbRead");
    QCOMPARE(f.boxes.count(), 0);
    QWidget &editor = f.page("pageCashier");
    for (const QString &box : RightBoxes)
        QCOMPARE(field<QCheckBox>(editor, qPrintable(box))->isChecked(), ticked.contains(box));
    QCOMPARE(field<QLineEdit>(editor, "leName")->text(), QStringLiteral("Сидоров П."));
    QCOMPARE(field<QSpinBox>(editor, "sbPassword")->value(), 4711);

    press(f.tab, "pbWrite");
    QCOMPARE(f.boxes.takeFirst(), WriteOk);
    QCOMPARE(f.emu.lastRequest().request.data().left(6), cashierBlock() + char(1));
    QCOMPARE(f.written().toHex(), c.toBytes().toHex());

    // Ticking a box changes its bit only.
    field<QCheckBox>(editor, "cbSettings")->setChecked(true);
    press(f.tab, "pbWrite");
    QCOMPARE(f.boxes.takeFirst(), WriteOk);
    QByteArray back;
    QCOMPARE(f.fr.readCatalog(1, 5, back), CoreApiConst::Success);
    CashierEntry stored;
    stored.fromBytes(back);
    QCOMPARE(stored.rights(), quint16(rights | CashierEntry::Settings));
}

void TestCatalogsTab::newCashier()
{
    Fixture f;
    QVERIFY2(f.started, qPrintable(f.emu.lastError()));
    f.choose(1, 3);
    QWidget &editor = f.page("pageCashier");
    field<QSpinBox>(editor, "sbNumber")->setValue(3);
    field<QSpinBox>(editor, "sbPassword")->setValue(0x01020304);
    field<QLineEdit>(editor, "leName")->setText(QStringLiteral("Ян"));
    field<QCheckBox>(editor, "cbReceipts")->setChecked(true);
    field<QCheckBox>(editor, "cbReports")->setChecked(true);

    press(f.tab, "pbWrite");
    QCOMPARE(f.boxes.takeFirst(), WriteOk);
    QCOMPARE(f.emu.lastRequest().request.code(), quint8(0x02));
    QCOMPARE(f.written().toHex(), (QByteArray::fromHex("03"
                                                       "0300"
                                                       "04030201"
                                                       "9fad") +
                                   QByteArray(254, '\0'))
                                      .toHex());
}

void TestCatalogsTab::longCashierName()
{
    Fixture f;
    QVERIFY2(f.started, qPrintable(f.emu.lastError()));
    f.choose(1, 7);
    QWidget &editor = f.page("pageCashier");
    const QString name(255, QChar(0x0416)); // Ж, one CP866 byte
    auto *leName = field<QLineEdit>(editor, "leName");
    leName->setText(name + QStringLiteral("Ж"));
    QCOMPARE(leName->text(), name);
    field<QSpinBox>(editor, "sbNumber")->setValue(7);
    field<QCheckBox>(editor, "cbReceipts")->setChecked(true);

    press(f.tab, "pbWrite");
    QCOMPARE(f.boxes.takeFirst(), WriteOk);
    const QByteArray entry = f.written();
    QCOMPARE(entry.size(), 263);
    QCOMPARE(entry.mid(7, 255), QByteArray(255, char(0x86)));
    QCOMPARE(entry.at(262), '\0');

    leName->clear();
    press(f.tab, "pbRead");
    QCOMPARE(f.boxes.count(), 0);
    QCOMPARE(leName->text(), name);
}

void TestCatalogsTab::section()
{
    Fixture f;
    QVERIFY2(f.started, qPrintable(f.emu.lastError()));
    f.choose(2, 4);
    QCOMPARE(field<QStackedWidget>(f.tab, "stackedWidget")->currentWidget(), &f.page("pageSection"));
    QWidget &editor = f.page("pageSection");
    const QString name = QStringLiteral("ОВОЩИ ") + QString(120, QLatin1Char('x'));
    QCOMPARE(name.size(), 126);
    field<QSpinBox>(editor, "sbNumber")->setValue(4);
    field<QLineEdit>(editor, "leName")->setText(name);

    press(f.tab, "pbWrite");
    QCOMPARE(f.boxes.takeFirst(), WriteOk);
    QCOMPARE(f.written().size(), 128);
    QCOMPARE(f.written().at(0), char(4));

    field<QLineEdit>(editor, "leName")->clear();
    field<QSpinBox>(editor, "sbNumber")->setValue(1);
    press(f.tab, "pbRead");
    QCOMPARE(f.boxes.count(), 0);
    QCOMPARE(field<QLineEdit>(editor, "leName")->text(), name);
    QCOMPARE(field<QSpinBox>(editor, "sbNumber")->value(), 4);
}

void TestCatalogsTab::oddSectionBlock_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("127") << 127;
    QTest::newRow("129") << 129;
}

// A block that is not one department is not shown as one: the editor shows an empty entry.
void TestCatalogsTab::oddSectionBlock()
{
    QFETCH(int, size);
    CannedFixture f;
    f.reg.setReply(0x01, 0, QByteArray(1, char(9)) + QByteArray(size - 1, 'A'));
    QVERIFY2(f.start(), qPrintable(f.reg.lastError()));
    QWidget &editor = f.page("pageSection");
    SectionEntry shown;
    shown.setNumber(9);
    shown.setName(QStringLiteral("МЯСО"));
    static_cast<EditSectionWidget &>(editor).setEntry(shown);
    f.choose(2, 9);

    press(f.tab, "pbRead");
    QCOMPARE(f.boxes.count(), 0);
    QCOMPARE(field<QSpinBox>(editor, "sbNumber")->value(), 1);
    QCOMPARE(field<QLineEdit>(editor, "leName")->text(), QString());
}

void TestCatalogsTab::discount_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<double>("value");
    QTest::addColumn<qint64>("raw");
    QTest::addColumn<QString>("suffix");
    QTest::newRow("percent 12.50") << 1 << 12.5 << qint64(1250) << " %";
    QTest::newRow("amount 100.00") << 0 << 100.0 << qint64(10000) << " руб.";
    QTest::newRow("amount 5000.00 read while a percent is shown") << 0 << 5000.0 << qint64(500000) << " руб.";
}

void TestCatalogsTab::discount()
{
    QFETCH(int, kind);
    QFETCH(double, value);
    QFETCH(qint64, raw);
    QFETCH(QString, suffix);
    Fixture f;
    QVERIFY2(f.started, qPrintable(f.emu.lastError()));
    f.choose(3, 6);
    QWidget &editor = f.page("pageDiscount");
    auto *type = field<QComboBox>(editor, "cbType");
    auto *amount = field<QDoubleSpinBox>(editor, "dsbValue");
    field<QSpinBox>(editor, "sbNumber")->setValue(6);
    type->setCurrentIndex(kind);
    amount->setValue(value);
    field<QLineEdit>(editor, "leName")->setText(QStringLiteral(" Скидка "));

    press(f.tab, "pbWrite");
    QCOMPARE(f.boxes.takeFirst(), WriteOk);
    DiscountEntry sent;
    sent.fromBytes(f.written());
    QCOMPARE(f.written().size(), 138);
    QCOMPARE(sent.number(), qint8(6));
    QCOMPARE(int(sent.kind()), kind);
    QCOMPARE(sent.value(), raw);

    // Read back over an editor that shows the other kind at its largest value.
    type->setCurrentIndex(1 - kind);
    amount->setValue(amount->maximum());
    press(f.tab, "pbRead");
    QCOMPARE(f.boxes.count(), 0);
    QCOMPARE(type->currentIndex(), kind);
    QCOMPARE(amount->value(), value);
    QCOMPARE(amount->suffix(), suffix);
    QCOMPARE(field<QLineEdit>(editor, "leName")->text(), QStringLiteral(" Скидка "));
}

void TestCatalogsTab::discountOfOtherKind_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("2, the kind of a new entry") << 2;
    QTest::newRow("7, unknown") << 7;
    QTest::newRow("-1, unknown") << -1;
}

// A discount whose kind the editor has no item for shows no kind; the write is refused until the
// operator chooses one, so neither the empty selection's -1 nor a guessed kind reaches the register.
void TestCatalogsTab::discountOfOtherKind()
{
    QFETCH(int, kind);
    DiscountEntry stored;
    stored.setNumber(4);
    stored.setKind(qint8(kind));
    stored.setValue(1234);
    stored.setName(QStringLiteral("ОСОБАЯ"));
    CannedFixture f;
    f.reg.setReply(0x01, 0, stored.toBytes());
    QVERIFY2(f.start(), qPrintable(f.reg.lastError()));
    f.choose(3, 4);
    QWidget &editor = f.page("pageDiscount");

    press(f.tab, "pbRead");
    QCOMPARE(f.boxes.count(), 0);
    QCOMPARE(field<QComboBox>(editor, "cbType")->currentIndex(), -1);
    QCOMPARE(field<QDoubleSpinBox>(editor, "dsbValue")->value(), 12.34);
    QCOMPARE(field<QDoubleSpinBox>(editor, "dsbValue")->suffix(), QStringLiteral(" %"));

    const int sent = f.reg.requests().size();
    press(f.tab, "pbWrite");
    QCOMPARE(f.boxes.count(), 1);
    QCOMPARE(f.boxes.last().icon, QMessageBox::Critical);
    QCOMPARE(f.boxes.last().informativeText, QStringLiteral("Не выбран тип скидки"));
    QCOMPARE(f.reg.requests().size(), sent);
}

void TestCatalogsTab::discountKindRule()
{
    EditDiscountWidget editor;
    auto *type = field<QComboBox>(editor, "cbType");
    auto *amount = field<QDoubleSpinBox>(editor, "dsbValue");
    QCOMPARE(type->currentIndex(), 0);
    QCOMPARE(amount->suffix(), QStringLiteral(" руб."));
    amount->setValue(150);
    type->setCurrentIndex(1);
    QCOMPARE(amount->suffix(), QStringLiteral(" %"));
    QCOMPARE(amount->value(), 99.99);
    type->setCurrentIndex(0);
    amount->setValue(9999999999.99);
    QCOMPARE(editor.entry().value(), qint64(999999999999));
}

// "Справочник" names the list, not a catalogue: neither a read nor a write goes out.
void TestCatalogsTab::noCatalogue()
{
    Fixture f;
    QVERIFY2(f.started, qPrintable(f.emu.lastError()));
    press(f.tab, "pbRead");
    press(f.tab, "pbWrite");
    QVERIFY(f.emu.requests().isEmpty());
    QCOMPARE(f.boxes.takeFirst(), CaughtBox(QMessageBox::Critical, QStringLiteral("Чтение данных из справочника"),
                                            QStringLiteral("Ошибка чтения данных")));
    const CaughtBox write = f.boxes.takeFirst();
    QCOMPARE(write, CaughtBox(QMessageBox::Critical, WriteTitle, QStringLiteral("Ошибка записи данных")));
    QCOMPARE(write.informativeText, QStringLiteral("Не выбран справочник"));
}

void TestCatalogsTab::entryNumberRange()
{
    CatalogsWidget tab;
    auto *number = field<QSpinBox>(tab, "sbNumber");
    auto *stack = field<QStackedWidget>(tab, "stackedWidget");
    QCOMPARE(number->minimum(), 1);
    QCOMPARE(number->maximum(), 99);
    const char *pages[] = {"page", "pageCashier", "pageSection", "pageDiscount"};
    for (int type : {3, 1, 2, 0}) {
        field<QComboBox>(tab, "cbCatalogType")->setCurrentIndex(type);
        QCOMPARE(stack->currentWidget()->objectName(), QString::fromLatin1(pages[type]));
        QCOMPARE(number->maximum(), 20);
    }
    MessageBoxCatcher boxes;
    press(tab, "pbRead");
    press(tab, "pbWrite");
    QCOMPARE(boxes.count(), 0);
}

// A refused read leaves the editor as it was.
void TestCatalogsTab::readRefused()
{
    Fixture f;
    QVERIFY2(f.started, qPrintable(f.emu.lastError()));
    f.choose(3, 20); // the register keeps 8 discounts
    QWidget &editor = f.page("pageDiscount");
    field<QLineEdit>(editor, "leName")->setText(QStringLiteral("черновик"));
    press(f.tab, "pbRead");
    QCOMPARE(f.boxes.takeFirst(), CaughtBox(QMessageBox::Critical, QStringLiteral("Чтение данных из справочника"),
                                            QStringLiteral("Ошибка чтения данных")));
    QCOMPARE(field<QLineEdit>(editor, "leName")->text(), QStringLiteral("черновик"));
}

QTEST_MAIN(TestCatalogsTab)
#include "tst_catalogstab.moc"
