#include "hexstringvalidator.h"

#include <QSignalSpy>
#include <QTest>

namespace {

struct Captured
{
    int count = 0;
    QtMsgType type = QtDebugMsg;
    QString text;
    QString function;
    QString category;
    QString file;
    int line = 0;
};
Captured g_captured;

void captureHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    ++g_captured.count;
    g_captured.type = type;
    g_captured.text = msg;
    g_captured.function = QString::fromUtf8(context.function);
    g_captured.category = QString::fromUtf8(context.category);
    g_captured.file = QString::fromUtf8(context.file);
    g_captured.line = context.line;
}

} // namespace

class TestValidator : public QObject
{
    Q_OBJECT
private slots:
    void validate_data();
    void validate();
    void warningOnEveryCall();
    void changeSignals_data();
    void changeSignals();
};

void TestValidator::validate_data()
{
    QTest::addColumn<int>("maxSize");
    QTest::addColumn<bool>("fixedSize");
    QTest::addColumn<bool>("canBeEmpty");
    QTest::addColumn<QString>("input");
    QTest::addColumn<int>("posIn");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("posOut");

    const int inv = QValidator::Invalid, mid = QValidator::Intermediate, ok = QValidator::Acceptable;
    QTest::newRow("empty allowed") << 64 << false << true << "" << 0 << ok << 0;
    QTest::newRow("empty forbidden") << 64 << false << false << "" << 0 << mid << 0;
    QTest::newRow("cursor stays where it was typed") << 64 << false << true << "1b40" << 1 << ok << 1;
    QTest::newRow("upper-case digit") << 64 << false << true << "0A" << 2 << ok << 2;
    QTest::newRow("lower-case digit") << 64 << false << true << "0a" << 2 << ok << 2;
    QTest::newRow("bad last character") << 64 << false << true << "0g" << 2 << inv << 0;
    QTest::newRow("only the last character counts") << 64 << false << true << "g0" << 2 << ok << 2;
    QTest::newRow("single bad character") << 64 << false << true << "x" << 1 << inv << -1;
    QTest::newRow("fixed, too short") << 4 << true << true << "ab" << 2 << mid << 2;
    QTest::newRow("fixed, exact") << 4 << true << true << "abcd" << 4 << ok << 4;
    QTest::newRow("fixed, too long") << 4 << true << true << "abcde" << 5 << inv << 3;
    QTest::newRow("fixed, short with bad character") << 4 << true << true << "aZ" << 2 << inv << 0;
    QTest::newRow("not fixed, too long") << 4 << false << true << "abcdef" << 6 << inv << 3;
    QTest::newRow("not fixed, at the limit") << 4 << false << true << "ABCD" << 4 << ok << 4;
    QTest::newRow("print tab size") << 768 << false << true << QString(768, QLatin1Char('f')) << 768 << ok << 768;
}

void TestValidator::validate()
{
    QFETCH(int, maxSize);
    QFETCH(bool, fixedSize);
    QFETCH(bool, canBeEmpty);
    QFETCH(QString, input);
    QFETCH(int, posIn);
    QFETCH(int, state);
    QFETCH(int, posOut);

    HexStringValidator v;
    v.setMaxSize(maxSize);
    v.setFixedSize(fixedSize);
    v.setCanBeEmpty(canBeEmpty);
    const QString before = input;
    int pos = posIn;
    // The warning shows the text, the cursor before the call, the length and the limit.
    QTest::ignoreMessage(
        QtWarningMsg, qPrintable(QStringLiteral("%1 %2 %3 %4").arg(input).arg(posIn).arg(input.size()).arg(maxSize)));
    QCOMPARE(int(v.validate(input, pos)), state);
    QCOMPARE(pos, posOut);
    QCOMPARE(input, before);
}

void TestValidator::warningOnEveryCall()
{
    HexStringValidator v;
    g_captured = Captured();
    const QtMessageHandler previous = qInstallMessageHandler(captureHandler);
    QString texts[] = {QString(), QStringLiteral("0A"), QStringLiteral("0g"), QString(65, QLatin1Char('a'))};
    for (QString &text : texts) {
        int pos = 0;
        v.validate(text, pos);
    }
    qInstallMessageHandler(previous);

    QCOMPARE(g_captured.count, 4);
    QCOMPARE(g_captured.type, QtWarningMsg);
    QCOMPARE(g_captured.text, QString(65, QLatin1Char('a')) + QStringLiteral(" 0 65 64"));
    QCOMPARE(g_captured.category, QStringLiteral("default"));
    QCOMPARE(g_captured.function,
             QStringLiteral("virtual QValidator::State HexStringValidator::validate(QString&, int&) const"));
    QVERIFY(g_captured.file.endsWith(QStringLiteral("hexstringvalidator.cpp")));
    QVERIFY(g_captured.line > 0);
}

void TestValidator::changeSignals_data()
{
    QTest::addColumn<QString>("property");
    QTest::addColumn<QVariant>("sameValue");
    QTest::addColumn<QVariant>("newValue");

    QTest::newRow("maxSize") << "maxSize" << QVariant(64) << QVariant(768);
    QTest::newRow("fixedSize") << "fixedSize" << QVariant(false) << QVariant(true);
    QTest::newRow("canBeEmpty") << "canBeEmpty" << QVariant(true) << QVariant(false);
}

void TestValidator::changeSignals()
{
    QFETCH(QString, property);
    QFETCH(QVariant, sameValue);
    QFETCH(QVariant, newValue);

    HexStringValidator v;
    const QByteArray name = property.toLatin1();
    QCOMPARE(v.property(name), sameValue);
    QSignalSpy spy(&v, QByteArray(QByteArray::number(QSIGNAL_CODE) + name + "Changed()").constData());
    QVERIFY(spy.isValid());

    QVERIFY(v.setProperty(name, sameValue));
    QCOMPARE(spy.count(), 0);
    QVERIFY(v.setProperty(name, newValue));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(v.property(name), newValue);
    QVERIFY(v.setProperty(name, newValue));
    QCOMPARE(spy.count(), 1);
}

QTEST_GUILESS_MAIN(TestValidator)
#include "tst_validator.moc"
