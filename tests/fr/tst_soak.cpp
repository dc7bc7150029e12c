// A short soak: 300 exchanges with 5 % random faults. Every reply must belong to its request and
// every fault the transport can recover from must be recovered; bench_soak runs the long version.
#include <QtTest>

#include "emulatorfixture.h"
#include "quietlog.h"
#include "soakrun.h"

class TstSoak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        registerFsMetaTypes();
        qInstallMessageHandler(quietMessages);
    }

    void faultsNeverCrossExchanges_data()
    {
        QTest::addColumn<quint32>("seed");
        QTest::addColumn<double>("share");
        QTest::newRow("5 % faults") << 20240603u << 0.05;
        // Every exchange faulted: stale and late replies meet each other back to back.
        QTest::newRow("every exchange faulted") << 7u << 1.0;
    }

    void faultsNeverCrossExchanges()
    {
        QFETCH(quint32, seed);
        QFETCH(double, share);
        EmulatorFixture emu;
        QVERIFY2(emu.start(), qPrintable(emu.lastError()));
        soak::Options options;
        options.exchanges = share < 1 ? 300 : 60;
        options.faultShare = share;
        options.seed = seed;
        const soak::Report r = soak::run(emu, options);
        const QString problems = r.problems.join(QLatin1String("\n"));
        QCOMPARE(r.exchanges, options.exchanges);
        QVERIFY2(r.mismatched == 0, qPrintable(problems));
        QVERIFY2(r.unexpectedFailed == 0, qPrintable(problems));
        QVERIFY2(r.hung == 0, qPrintable(problems));
        QCOMPARE(r.succeeded + r.failedReported, r.exchanges);
    }
};

QTEST_GUILESS_MAIN(TstSoak)
#include "tst_soak.moc"
