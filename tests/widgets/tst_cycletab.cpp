#include <QtTest>

#include <QAbstractButton>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QTextCodec>

#include "cyclewidget.h"
#include "tabfixture.h"

namespace {

QByteArray cp866(const QString &text)
{
    return QTextCodec::codecForName("IBM866")->fromUnicode(text);
}

// "Успешно!" and the document's lines, each split into its label and value.
QMap<QString, QString> documentLines(const CaughtBox &box, int expectedLines)
{
    QMap<QString, QString> values;
    QStringList lines = box.text.split(QLatin1Char('\n'));
    if (lines.size() != expectedLines + 1 || lines.takeFirst() != QStringLiteral("Успешно!"))
        return values;
    for (const QString &line : qAsConst(lines)) {
        static const QStringList labels{QStringLiteral("ФД "), QStringLiteral("ДАТА "), QStringLiteral("СМЕНА "),
                                        QStringLiteral("ФП "), QStringLiteral("НАЛИЧНЫХ В КАССЕ ")};
        for (const QString &label : labels) {
            if (line.startsWith(label))
                values.insert(label.trimmed(), line.mid(label.size()));
        }
    }
    return values;
}

QRegularExpression isoForm()
{
    return QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d$"));
}

qint64 payloadInt64(const QByteArray &payload)
{
    if (payload.size() != 8)
        return -1;
    qint64 v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | quint8(payload.at(i));
    return v;
}

} // namespace

class TestCycleTab : public QObject
{
    Q_OBJECT
private slots:
    void fullShift();
    void completionWithoutStart_data();
    void completionWithoutStart();
    void noRegister_data();
    void noRegister();
    void cashLimit();
};

void TestCycleTab::fullShift()
{
    TabFixture<CycleWidget> t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;
    const QString cashier = QStringLiteral("Иванова Анна");
    tab.findChild<QLineEdit *>(QStringLiteral("leCashier"))->setText(cashier);
    auto *cash = tab.findChild<QDoubleSpinBox *>(QStringLiteral("dteCash"));

    // Opening: the start carries the cashier's name as typed.
    press(tab, "pbOpenCycle");
    QCOMPARE(boxes.takeFirst(),
             CaughtBox(QMessageBox::Information, QStringLiteral("Старт открытия смены"), QStringLiteral("Успешно!")));
    QCOMPARE(emu.lastRequest().request.code(), quint8(0x11));
    QVERIFY(emu.lastRequest().request.data().endsWith(char(cp866(cashier).size()) + cp866(cashier)));
    press(tab, "pbOpenCycleCommit");
    CaughtBox box = boxes.takeFirst();
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.title, QStringLiteral("Завершение открытия смены"));
    QMap<QString, QString> doc = documentLines(box, 4);
    QVERIFY2(doc.size() == 4, qPrintable(box.text));
    QVERIFY(QDateTime::fromString(doc.value(QStringLiteral("ДАТА")), Qt::ISODate).isValid());
    QVERIFY(isoForm().match(doc.value(QStringLiteral("ДАТА"))).hasMatch());
    const QString shift = doc.value(QStringLiteral("СМЕНА"));
    CycleStatus status;
    QCOMPARE(fr.getCycleStatus(status), CoreApiConst::Success);
    QVERIFY(status.isOpen);
    QCOMPARE(shift, QString::number(status.cycleNumber));

    // Deposit of 1500.50: the amount travels as kopecks; its date in the text form.
    cash->setValue(1500.50);
    press(tab, "pbStartIntroduction");
    QCOMPARE(boxes.takeFirst(),
             CaughtBox(QMessageBox::Information, QStringLiteral("Старт внесения"), QStringLiteral("Успешно!")));
    press(tab, "pbCompleteIntroduction");
    QCOMPARE(emu.lastRequest().request.code(), quint8(0xA3));
    QCOMPARE(payloadInt64(emu.lastRequest().request.data()), qint64(150050));
    box = boxes.takeFirst();
    QCOMPARE(box.title, QStringLiteral("Завершение внесения"));
    doc = documentLines(box, 5);
    QVERIFY2(doc.size() == 5, qPrintable(box.text));
    QVERIFY(QDateTime::fromString(doc.value(QStringLiteral("ДАТА")), Qt::TextDate).isValid());
    QVERIFY(!isoForm().match(doc.value(QStringLiteral("ДАТА"))).hasMatch());
    QCOMPARE(doc.value(QStringLiteral("СМЕНА")), shift);
    const FixNumber afterDeposit(100, doc.value(QStringLiteral("НАЛИЧНЫХ В КАССЕ")));

    // Payout of 500.25: the drawer goes down by exactly that; the date in ISO form.
    cash->setValue(500.25);
    press(tab, "pbStartPayout");
    QCOMPARE(boxes.takeFirst(),
             CaughtBox(QMessageBox::Information, QStringLiteral("Старт выплаты"), QStringLiteral("Успешно!")));
    press(tab, "pbCompletePayout");
    QCOMPARE(payloadInt64(emu.lastRequest().request.data()), qint64(50025));
    box = boxes.takeFirst();
    QCOMPARE(box.title, QStringLiteral("Завершение выплаты"));
    doc = documentLines(box, 5);
    QVERIFY2(doc.size() == 5, qPrintable(box.text));
    QVERIFY(isoForm().match(doc.value(QStringLiteral("ДАТА"))).hasMatch());
    const FixNumber afterPayout(100, doc.value(QStringLiteral("НАЛИЧНЫХ В КАССЕ")));
    QCOMPARE(afterDeposit.raw() - afterPayout.raw(), qint64(50025));

    // Closing.
    press(tab, "pbCloseCycle");
    QCOMPARE(boxes.takeFirst(),
             CaughtBox(QMessageBox::Information, QStringLiteral("Старт закрытия смены"), QStringLiteral("Успешно!")));
    press(tab, "pbCloseCycleCommit");
    box = boxes.takeFirst();
    QCOMPARE(box.title, QStringLiteral("Завершение закрытия смены"));
    doc = documentLines(box, 4);
    QVERIFY2(doc.size() == 4, qPrintable(box.text));
    QCOMPARE(doc.value(QStringLiteral("СМЕНА")), shift);
    QVERIFY(isoForm().match(doc.value(QStringLiteral("ДАТА"))).hasMatch());
    QCOMPARE(boxes.count(), 0);
    QCOMPARE(fr.getCycleStatus(status), CoreApiConst::Success);
    QVERIFY(!status.isOpen);

    // Every document of the shift has its own number.
    QCOMPARE(emu.executionsOf(0x12) + emu.executionsOf(0xA3) + emu.executionsOf(0xA5) + emu.executionsOf(0x14), 4);
}

void TestCycleTab::completionWithoutStart_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::newRow("opening") << "pbOpenCycleCommit"
                             << "Завершени открытия смены"
                             << "Ошибка завершения открытия смены";
    QTest::newRow("deposit") << "pbCompleteIntroduction"
                             << "Завершени внесения"
                             << "Ошибка внесения";
    QTest::newRow("payout") << "pbCompletePayout"
                            << "Завершени выплаты"
                            << "Ошибка выплаты";
    QTest::newRow("closing") << "pbCloseCycleCommit"
                             << "Завершени закрытия смены"
                             << "Ошибка завершения закрытия смены";
}

// The register refuses a completion with nothing started; the tab shows the refusal.
void TestCycleTab::completionWithoutStart()
{
    QFETCH(QString, button);
    QFETCH(QString, title);
    QFETCH(QString, text);
    TabFixture<CycleWidget> t;
    QVERIFY2(t.start(), qPrintable(t.error()));
    auto &[emu, fr, tab, boxes] = t;

    press(tab, qPrintable(button));
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last(), CaughtBox(QMessageBox::Critical, title, text));
    QVERIFY(emu.lastRequest().result != 0);
}

void TestCycleTab::noRegister_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::newRow("start opening") << "pbOpenCycle"
                                   << "Старт открытия смены"
                                   << "Ошибка старта открытия смены";
    QTest::newRow("start deposit") << "pbStartIntroduction"
                                   << "Старт внесения"
                                   << "Ошибка внесения";
    QTest::newRow("start payout") << "pbStartPayout"
                                  << "Старт выплаты"
                                  << "Ошибка выплаты";
    QTest::newRow("start closing") << "pbCloseCycle"
                                   << "Старт закрытия смены"
                                   << "Ошибка старта закрытия смены";
    QTest::newRow("complete deposit") << "pbCompleteIntroduction"
                                      << "Завершени внесения"
                                      << "Ошибка внесения";
}

void TestCycleTab::noRegister()
{
    QFETCH(QString, button);
    QFETCH(QString, title);
    QFETCH(QString, text);
    TabFixture<CycleWidget> t;
    QVERIFY(t.startWithoutRegister());
    auto &[emu, fr, tab, boxes] = t;

    press(tab, qPrintable(button));
    QCOMPARE(boxes.count(), 1);
    QCOMPARE(boxes.last(), CaughtBox(QMessageBox::Critical, title, text));
    QCOMPARE(boxes.last().buttons.size(), 1);
}

void TestCycleTab::cashLimit()
{
    CycleWidget tab;
    auto *cash = tab.findChild<QDoubleSpinBox *>(QStringLiteral("dteCash"));
    cash->setValue(2000000);
    QCOMPARE(cash->value(), 1000000.0);
    QCOMPARE(cash->decimals(), 2);
    QCOMPARE(cash->suffix(), QStringLiteral(" руб."));
}

QTEST_MAIN(TestCycleTab)
#include "tst_cycletab.moc"
