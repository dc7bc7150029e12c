// Faults found by the reliability runs (fuzzing, soak, fault matrix), each kept as the input or
// the sequence that showed it.
#include <QtTest>

#include "emudevice.h"
#include "fiscalmodel.h"
#include "quietlog.h"
#include "wire.h"

namespace {
QByteArray sent(const QVector<EmuChunk> &chunks)
{
    QByteArray all;
    for (const EmuChunk &c : chunks)
        all += c.bytes;
    return all;
}

struct Piece
{
    QByteArray bytes;
    qint64 atMs;
};
} // namespace

Q_DECLARE_METATYPE(QVector<Piece>)

class TstRegressions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qInstallMessageHandler(quietMessages); }

    // The emulator measured the silence inside a request between its own reads. On a loaded
    // machine a request that arrived whole could be read in two pieces far apart, and the first
    // piece was forgotten as a cut-off frame: the request went unanswered (the host saw 252).
    void emulatorKeepsAFrameReadInTwoPieces_data()
    {
        QTest::addColumn<QVector<Piece>>("pieces");
        QTest::addColumn<int>("executed");
        QTest::addColumn<quint32>("answered"); // unique of the reply sent; 0: none

        const QByteArray name(256, 'N');
        const QByteArray big = request(0xA2, 0x11, QByteArray(5, '\0') + name); // a start with a name field
        const QByteArray small = request(0x30, 0x12);
        const int late = EmuDevice::DefaultStallMs + 300;
        QTest::newRow("long request, second piece read late")
            << QVector<Piece>{{big.left(256), 1000}, {big.mid(256), 1000 + late}} << 1 << 0x11u;
        QTest::newRow("short request, second piece read late")
            << QVector<Piece>{{small.left(3), 1000}, {small.mid(3), 1000 + late}} << 1 << 0x12u;
        QTest::newRow("three pieces, the last one late")
            << QVector<Piece>{{small.left(2), 1000}, {small.mid(2, 4), 1010}, {small.mid(6), 1010 + late}} << 1
            << 0x12u;
        // What the silence rule is for: a cut-off request followed by the host's 0x05 is forgotten,
        // and the 0x05 answered as a repeat request, never as the rest of that frame.
        QTest::newRow("cut-off request, then 0x05")
            << QVector<Piece>{{small.left(6), 1000}, {QByteArray(1, 0x05), 1000 + late}} << 0 << 0u;
        // A cut-off request followed late by a whole other request: the two do not make one frame.
        QTest::newRow("cut-off request, then another one")
            << QVector<Piece>{{small.left(6), 1000}, {request(0x33, 0x13), 1000 + late}} << 1 << 0x13u;
    }

    void emulatorKeepsAFrameReadInTwoPieces()
    {
        QFETCH(QVector<Piece>, pieces);
        QFETCH(int, executed);
        QFETCH(quint32, answered);
        FiscalModel model;
        model.applyPreset(QStringLiteral("ready"));
        EmuDevice device(&model);
        QByteArray out;
        for (const Piece &p : pieces)
            out += sent(device.receive(p.bytes, p.atMs));
        QCOMPARE(device.executionCount(), executed);
        if (answered == 0) {
            // Whatever answers the 0x05, it is not a reply to the forgotten request.
            FsRep rep;
            QVERIFY(out.isEmpty() || rep.setRawData(out) != fs::Ok || rep.unique() != 0x12u);
        } else {
            FsRep rep;
            QCOMPARE(rep.setRawData(out), fs::Ok);
            QCOMPARE(rep.unique(), answered);
        }
    }
};

QTEST_GUILESS_MAIN(TstRegressions)
#include "tst_regressions.moc"
