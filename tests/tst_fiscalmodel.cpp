#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include "fiscalmodel.h"

namespace {

QDateTime fixedNow()
{
    return QDateTime(QDate(2026, 3, 2), QTime(9, 0), Qt::LocalTime);
}

} // namespace

class TstFiscalModel : public QObject
{
    Q_OBJECT

private slots:
    void statusLayout_data();
    void statusLayout();
    void identityAndVersion();
    void unknownCommand();
    void persistenceRoundTrip();
};

void TstFiscalModel::statusLayout_data()
{
    QTest::addColumn<QString>("preset");
    QTest::addColumn<QByteArray>("serial");
    QTest::addColumn<int>("flags");
    QTest::newRow("fresh") << "fresh" << QByteArray(10, '\0') << 0x0011;
    QTest::newRow("ready") << "ready" << QByteArray("0000012345") << 0x0013;
}

void TstFiscalModel::statusLayout()
{
    QFETCH(QString, preset);
    QFETCH(QByteArray, serial);
    QFETCH(int, flags);
    FiscalModel m;
    m.setHostClock(fixedNow);
    m.applyPreset(preset);
    const FiscalModel::Result r = m.execute(0x30, {});
    QCOMPARE(r.code, quint8(0));
    QCOMPARE(r.payload.size(), 31);
    QCOMPARE(r.payload.left(10), serial);
    QCOMPARE(int(quint8(r.payload[10]) | quint8(r.payload[11]) << 8), flags);
}

void TstFiscalModel::identityAndVersion()
{
    FiscalModel m;
    const FiscalModel::Result v = m.execute(0x33, {});
    QCOMPARE(v.code, quint8(0));
    QCOMPARE(v.payload.size(), 3);
    const FiscalModel::Result id = m.execute(0x31, {});
    QCOMPARE(id.payload.size(), 44);
}

void TstFiscalModel::unknownCommand()
{
    FiscalModel m;
    QCOMPARE(m.execute(0x7E, {}).code, quint8(10));
    QCOMPARE(m.executedCount(0x7E), quint64(1));
}

void TstFiscalModel::persistenceRoundTrip()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("state.json"));
    FiscalModel a;
    a.setHostClock(fixedNow);
    a.applyPreset(QStringLiteral("ready"));
    QVERIFY(a.saveToFile(path));
    FiscalModel b;
    b.setHostClock(fixedNow);
    QVERIFY(b.loadFromFile(path));
    QCOMPARE(b.toJson(), a.toJson());
    QCOMPARE(b.execute(0x30, {}).payload, a.execute(0x30, {}).payload);
    QVERIFY(!b.fromJson(QJsonObject{{QStringLiteral("format"), 99}}));
}

QTEST_GUILESS_MAIN(TstFiscalModel)
#include "tst_fiscalmodel.moc"
