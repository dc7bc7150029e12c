#include <QtTest>

#include <QAbstractButton>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLineEdit>

#include "activatewidget.h"
#include "confirm.h"
#include "edittaxwidget.h"
#include "tabfixture.h"

namespace {

constexpr quint8 SendDocData = 0x07;

EditTaxWidget *taxEditor(QWidget &tab, int n)
{
    return tab.findChild<EditTaxWidget *>(QStringLiteral("wTax%1").arg(n));
}

void setTaxFields(EditTaxWidget *editor, int type, double rate, const QString &name)
{
    editor->setChecked(true);
    field<QComboBox>(*editor, "cbType")->setCurrentIndex(type);
    field<QDoubleSpinBox>(*editor, "dsbRate")->setValue(rate);
    field<QLineEdit>(*editor, "leName")->setText(name);
}

// Tags of the document records the register received, in order.
QList<quint16> sentTags(const EmulatorFixture &emu)
{
    QList<quint16> tags;
    for (const EmuRequestRecord &r : emu.requests()) {
        Tlv tlv;
        if (r.request.code() == SendDocData && tlv.setRawData(r.request.data()))
            tags << tlv.tag();
    }
    return tags;
}

QString lineValue(const QString &text, const QString &label)
{
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (line.startsWith(label + QLatin1Char(' ')))
            return line.mid(label.size() + 1);
    }
    return QString();
}

EmulatorFixture::Options freshRegister()
{
    EmulatorFixture::Options o;
    o.preset = QStringLiteral("fresh");
    return o;
}

} // namespace

class TestActivateTab : public QObject
{
    Q_OBJECT
private slots:
    // As on a bench of test registers: no question before an act (tst_workingday asks them).
    void initTestCase() { setConfirmationsOn(false); }
    void editorIndexes();
    void editorTax_data();
    void editorTax();
    void notChargedZeroesRate();
    void editorShowsEntry();
    void registerFreshWithTwoTaxes();
    void sendDataWithoutTaxes();
    void noCompletionInsideSendData();
    void readUnregistered();
    void closeArchive();
    void noRegister_data();
    void noRegister();
};

void TestActivateTab::editorIndexes()
{
    ActivateWidget tab;
    for (int n = 1; n <= 5; ++n) {
        EditTaxWidget *editor = taxEditor(tab, n);
        QVERIFY(editor);
        QCOMPARE(editor->index(), n - 1);
        QCOMPARE(field<QGroupBox>(*editor, "groupBox")->title(), QStringLiteral("Налог %1").arg(n));
        QVERIFY(!editor->isChecked());
    }
}

void TestActivateTab::editorTax_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("rate");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("raw");

    QTest::newRow("18.00 % as 08 07") << 0 << 1 << 18.0 << QStringLiteral("НДС")
                                      << QByteArray::fromHex("31331200"
                                                             "2e33010001"
                                                             "2f3302000807"
                                                             "303303008d8491");
    QTest::newRow("third tax of type 1") << 2 << 1 << 10.0 << QString()
                                         << QByteArray::fromHex("33330f00"
                                                                "2e33010001"
                                                                "2f330200e803"
                                                                "30330000");
    // The field holds at most the 30 bytes the register stores, so a longer name never
    // reaches the layer that would send it empty.
    QTest::newRow("31-byte name held to 30") << 1 << 2 << 0.0 << QString(31, QLatin1Char('n'))
                                             << QByteArray::fromHex("32332d00"
                                                                    "2e33010002"
                                                                    "2f3302000000"
                                                                    "30331e00") +
                                                    QByteArray(30, 'n');
}

void TestActivateTab::editorTax()
{
    QFETCH(int, index);
    QFETCH(int, type);
    QFETCH(double, rate);
    QFETCH(QString, name);
    QFETCH(QByteArray, raw);

    EditTaxWidget editor;
    editor.setIndex(index);
    setTaxFields(&editor, type, rate, name);
    QCOMPARE(editor.toTlv().rawData().toHex(' '), raw.toHex(' '));
    const TaxEntry entry = editor.tax();
    QCOMPARE(int(entry.type()), type);
    QCOMPARE(int(entry.rate()), qRound(rate * 100));
}

void TestActivateTab::notChargedZeroesRate()
{
    EditTaxWidget editor;
    auto *type = field<QComboBox>(editor, "cbType");
    auto *rate = field<QDoubleSpinBox>(editor, "dsbRate");
    type->setCurrentIndex(1);
    QVERIFY(rate->isEnabled());
    rate->setValue(20);
    type->setCurrentIndex(0);
    QVERIFY(!rate->isEnabled());
    QCOMPARE(rate->value(), 0.0);
    QCOMPARE(rate->maximum(), 99.99);
}

// What the editor shows; whether its box is ticked after a read is the tab's part, checked with
// the read-back in registerFreshWithTwoTaxes.
void TestActivateTab::editorShowsEntry()
{
    EditTaxWidget editor;
    TaxEntry set;
    set.setType(2);
    set.setRate(1000);
    set.setName(QStringLiteral("НДС 10%"));
    editor.setTax(set);
    QCOMPARE(field<QComboBox>(editor, "cbType")->currentIndex(), 2);
    QCOMPARE(field<QDoubleSpinBox>(editor, "dsbRate")->value(), 10.0);
    QVERIFY(field<QDoubleSpinBox>(editor, "dsbRate")->isEnabled());
    QCOMPARE(field<QLineEdit>(editor, "leName")->text(), QStringLiteral("НДС 10%"));

    // An unset entry shows no type and, read back from the fields, stays unset.
    TaxEntry unset;
    unset.clear();
    editor.setTax(unset);
    QCOMPARE(field<QComboBox>(editor, "cbType")->currentIndex(), -1);
    QVERIFY(!editor.tax().isValid());
}

void TestActivateTab::registerFreshWithTwoTaxes()
{
    TabFixture<ActivateWidget> t(freshRegister());
    QVERIFY2(t.start(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;
    // A fresh register gets its factory number first (the settings tab's job).
    QCOMPARE(fr.writeSerial(QStringLiteral("1234567")), CoreApiConst::Success);

    const QString inn = QStringLiteral("7701234567");
    const QString rnm = QStringLiteral("0000000001012345");
    field<QLineEdit>(tab, "leInn")->setText(inn);
    field<QLineEdit>(tab, "leRnm")->setText(rnm);
    field<QLineEdit>(tab, "leName")->setText(QStringLiteral("ООО Ромашка"));
    field<QLineEdit>(tab, "leType")->setText(QStringLiteral("ОСН"));
    field<QLineEdit>(tab, "leAddress")->setText(QStringLiteral("г. Москва, ул. Ленина, 1"));
    field<QLineEdit>(tab, "leCashier")->setText(QStringLiteral("Сидоров С.С."));
    setTaxFields(taxEditor(tab, 1), 1, 20.0, QStringLiteral("НДС 20%"));
    setTaxFields(taxEditor(tab, 3), 2, 10.0, QStringLiteral("НДС 10%"));

    press(tab, "pbStart");
    QCOMPARE(boxes.takeFirst(),
             CaughtBox(QMessageBox::Information, QStringLiteral("Старт регистрации/перерегистрации ККТ"),
                       QStringLiteral("Успешно!")));
    emu.clearHistory();
    press(tab, "pbSendData");
    QCOMPARE(boxes.takeFirst(), CaughtBox(QMessageBox::Information,
                                          QStringLiteral("Отправка данных документа регистрации/перерегистрации ККТ"),
                                          QStringLiteral("Успешно!")));
    QCOMPARE(sentTags(emu), (QList<quint16>{11048, 11187, 11009, 13105, 13107}));
    press(tab, "pbPreprint");
    QCOMPARE(boxes.takeFirst(), CaughtBox(QMessageBox::Information,
                                          QStringLiteral("Предварительная печать регистрации/перерегистрации ККТ"),
                                          QStringLiteral("Успешно!\n")));
    press(tab, "pbCommit");
    const CaughtBox done = boxes.takeFirst();
    QCOMPARE(done.icon, QMessageBox::Information);
    QCOMPARE(done.title, QStringLiteral("Завершение регистрации/перерегистрации ККТ"));
    QCOMPARE(done.text.count(QLatin1Char('\n')), 3);
    QVERIFY(done.text.startsWith(QStringLiteral("Успешно!\nФД ")));
    QVERIFY(QDateTime::fromString(lineValue(done.text, QStringLiteral("ДАТА")), Qt::ISODate).isValid());
    QVERIFY(!lineValue(done.text, QStringLiteral("ФП")).isEmpty());

    FrStatus st;
    QCOMPARE(fr.getFrStatus(st), CoreApiConst::Success);
    QVERIFY(st.flags & FrStatus::Activated);

    // Read back into a tab whose fields were changed meanwhile.
    for (const char *name : {"leInn", "leRnm", "leName", "leType", "leAddress"})
        field<QLineEdit>(tab, name)->setText(QStringLiteral("old"));
    taxEditor(tab, 5)->setChecked(true);
    press(tab, "pbReadRegData");
    QCOMPARE(boxes.count(), 0);
    QCOMPARE(field<QLineEdit>(tab, "leInn")->text(), inn);
    QCOMPARE(field<QLineEdit>(tab, "leRnm")->text(), rnm);
    QCOMPARE(field<QLineEdit>(tab, "leName")->text(), QStringLiteral("ООО Ромашка"));
    QCOMPARE(field<QLineEdit>(tab, "leType")->text(), QStringLiteral("ОСН"));
    QCOMPARE(field<QLineEdit>(tab, "leAddress")->text(), QStringLiteral("г. Москва, ул. Ленина, 1"));
    const QList<bool> checked{true, false, true, false, false};
    for (int n = 1; n <= 5; ++n)
        QCOMPARE(taxEditor(tab, n)->isChecked(), checked.at(n - 1));
    EditTaxWidget *third = taxEditor(tab, 3);
    QCOMPARE(field<QComboBox>(*third, "cbType")->currentIndex(), 2);
    QCOMPARE(field<QDoubleSpinBox>(*third, "dsbRate")->value(), 10.0);
    QCOMPARE(field<QLineEdit>(*third, "leName")->text(), QStringLiteral("НДС 10%"));
    QCOMPARE(field<QDoubleSpinBox>(*taxEditor(tab, 1), "dsbRate")->value(), 20.0);
}

void TestActivateTab::sendDataWithoutTaxes()
{
    TabFixture<ActivateWidget> t(freshRegister());
    QVERIFY2(t.start(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;
    QCOMPARE(fr.writeSerial(QStringLiteral("1234567")), CoreApiConst::Success);
    QCOMPARE(fr.startRegistration(QStringLiteral("Кассир")), CoreApiConst::Success);
    emu.clearHistory();

    // Empty fields still go out, as empty texts.
    press(tab, "pbSendData");
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last().text, QStringLiteral("Успешно!"));
    QCOMPARE(sentTags(emu), (QList<quint16>{11048, 11187, 11009}));
    for (const EmuRequestRecord &r : emu.requests())
        QCOMPARE(r.request.data().size(), 4);
}

// Between the records the tab processes events; a completion pressed then must not run in the
// middle of the sequence and register without the remaining records.
void TestActivateTab::noCompletionInsideSendData()
{
    TabFixture<ActivateWidget> t(freshRegister());
    QVERIFY2(t.start(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;
    QCOMPARE(fr.writeSerial(QStringLiteral("1234567")), CoreApiConst::Success);
    QCOMPARE(fr.startRegistration(QStringLiteral("Кассир")), CoreApiConst::Success);
    field<QLineEdit>(tab, "leInn")->setText(QStringLiteral("7701234567"));
    setTaxFields(taxEditor(tab, 1), 1, 20.0, QStringLiteral("НДС 20%"));
    emu.clearHistory();

    int presses = 0;
    QTimer impatient;
    impatient.setInterval(5);
    connect(&impatient, &QTimer::timeout, &tab, [&]() {
        ++presses;
        field<QAbstractButton>(tab, "pbCommit")->click();
    });
    impatient.start();
    press(tab, "pbSendData");
    impatient.stop();

    QVERIFY(presses > 0);
    QCOMPARE(sentTags(emu), (QList<quint16>{11048, 11187, 11009, 13105}));
    for (const EmuRequestRecord &r : emu.requests())
        QCOMPARE(r.request.code(), SendDocData);
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last().text, QStringLiteral("Успешно!"));
    QVERIFY(tab.isEnabled());
}

void TestActivateTab::readUnregistered()
{
    TabFixture<ActivateWidget> t(freshRegister());
    QVERIFY2(t.start(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;
    field<QLineEdit>(tab, "leInn")->setText(QStringLiteral("kept"));
    taxEditor(tab, 2)->setChecked(true);

    press(tab, "pbReadRegData");
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last(),
             CaughtBox(QMessageBox::Critical, QStringLiteral("Запрос параметров регистрации/перерегистрации ККТ"),
                       QStringLiteral("ККТ не активирована")));
    QCOMPARE(field<QLineEdit>(tab, "leInn")->text(), QStringLiteral("kept"));
    QVERIFY(taxEditor(tab, 2)->isChecked());
}

void TestActivateTab::closeArchive()
{
    TabFixture<ActivateWidget> t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;
    field<QLineEdit>(tab, "leCashier")->setText(QStringLiteral("Сидоров С.С."));

    press(tab, "pbStartArchiveClosing");
    QCOMPARE(boxes.takeFirst(), CaughtBox(QMessageBox::Information, QStringLiteral("Старт закрытия архива ККТ"),
                                          QStringLiteral("Успешно!")));
    press(tab, "pbCloseArchive");
    const CaughtBox done = boxes.takeFirst();
    QCOMPARE(done.icon, QMessageBox::Information);
    QCOMPARE(done.title, QStringLiteral("Завершение закрытия архива ККТ"));
    const QStringList lines = done.text.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines.at(1).startsWith(QStringLiteral("ФД ")));
    QVERIFY(lines.at(2).startsWith(QStringLiteral("ДАТА ")));
    QVERIFY(lines.at(3).startsWith(QStringLiteral("ФП ")));
    FrStatus st;
    QCOMPARE(fr.getFrStatus(st), CoreApiConst::Success);
    QVERIFY(st.flags & FrStatus::ArchiveClosed);

    // A closed archive refuses a second closing.
    press(tab, "pbCloseArchive");
    QCOMPARE(boxes.takeFirst(), CaughtBox(QMessageBox::Critical, QStringLiteral("Завершени закрытия архива ККТ"),
                                          QStringLiteral("Ошибка завершения закрытия архива ККТ")));
}

void TestActivateTab::noRegister_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::newRow("start") << "pbStart"
                           << "Старт регистрации/перерегистрации ККТ"
                           << "Ошибка старта регистрации/перерегистрации ККТ";
    QTest::newRow("send") << "pbSendData"
                          << "Отправка данных документа регистрации/перерегистрации ККТ"
                          << "Ошибка отправки данных документа регистрации/перерегистрации ККТ";
    QTest::newRow("commit") << "pbCommit"
                            << "Завершени регистрации/перерегистрации ККТ"
                            << "Ошибка завершения регистрации/перерегистрации ККТ";
    QTest::newRow("preprint") << "pbPreprint"
                              << "Предварительная печать регистрации/перерегистрации ККТ"
                              << "Ошибка предварительной печати регистрации/перерегистрации ККТ";
    // No register is not an unregistered one.
    QTest::newRow("read") << "pbReadRegData"
                          << "Запрос параметров регистрации/перерегистрации ККТ"
                          << "ККТ не ответила, или её ответ не удалось прочитать";
    QTest::newRow("start archive") << "pbStartArchiveClosing"
                                   << "Старт закрытия архива ККТ"
                                   << "Ошибка старта закрытия архива ККТ";
    QTest::newRow("close archive") << "pbCloseArchive"
                                   << "Завершени закрытия архива ККТ"
                                   << "Ошибка завершения закрытия архива ККТ";
}

void TestActivateTab::noRegister()
{
    QFETCH(QString, button);
    QFETCH(QString, title);
    QFETCH(QString, text);
    TabFixture<ActivateWidget> t;
    QVERIFY(t.startWithoutRegister());
    auto &[emu, fr, tab, boxes] = t;

    press(tab, qPrintable(button));
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last(), CaughtBox(QMessageBox::Critical, title, text));
}

QTEST_MAIN(TestActivateTab)
#include "tst_activatetab.moc"
