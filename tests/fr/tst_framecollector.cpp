// Frame collection of the transport, without a port: what it keeps, where it stops, and how it
// finds the repeated reply behind the tail of a reply that was cut short.
#include <QtTest>

#include "framecollector.h"
#include "frmsg.h"

namespace {
QByteArray reply(quint8 code, quint32 unique, const QByteArray &payload = QByteArray())
{
    FsRep rep;
    rep.setCode(code);
    rep.setUnique(unique);
    rep.setData(payload);
    return rep.rawData();
}

// Feeds the line as the transport does after a repeat request: a complete frame whose CRC fails,
// or a line that runs dry inside a frame, makes it look again from the next start byte.
FrameCollector collectResyncing(const QByteArray &line)
{
    FrameCollector c;
    for (char byte : line) {
        if (c.push(byte) == FrameCollector::Complete) {
            if (c.checksumOk() || (c.resync() && c.isComplete()))
                return c;
        }
    }
    if (c.isStarted() && !c.isComplete())
        c.salvage();
    return c;
}
} // namespace

class TstFrameCollector : public QObject
{
    Q_OBJECT

private slots:
    void collect_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("complete");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("taken");

        const QByteArray status = reply(0, 0x01020304, QByteArray(31, '\x11'));
        QTest::newRow("one frame") << status << true << status << status.size();
        QTest::newRow("noise before the start byte")
            << QByteArray::fromHex("ff0055") + status << true << status << status.size() + 3;
        QTest::newRow("bytes after the frame are left") << status + "\x04\x05" << true << status << status.size();
        QTest::newRow("cut short") << status.left(20) << false << status.left(20) << 20;
        QTest::newRow("length field below 5 still ends the frame")
            << QByteArray::fromHex("040200aabbccddee") << true << QByteArray::fromHex("040200aabbccdd") << 7;
        QTest::newRow("only noise") << QByteArray::fromHex("ff0113") << false << QByteArray() << 3;
        QTest::newRow("largest length field")
            << QByteArray::fromHex("04ffff") << false << QByteArray::fromHex("04ffff") << 3;
    }

    void collect()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, complete);
        QFETCH(QByteArray, frame);
        QFETCH(int, taken);

        FrameCollector bytewise;
        int n = 0;
        while (n < line.size() && !bytewise.isComplete())
            bytewise.push(line.at(n++));
        QCOMPARE(bytewise.isComplete(), complete);
        QCOMPARE(bytewise.frame().toHex(), frame.toHex());
        QCOMPARE(n, taken);

        FrameCollector whole;
        QCOMPARE(whole.push(line.constData(), line.size()), taken);
        QCOMPARE(whole.frame().toHex(), frame.toHex());
    }

    void resync_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("frame"); // empty: nothing good to be found

        // A shift status whose tail holds 0x04 bytes in its exchange number and fields.
        const QByteArray cut = reply(0, 0x04040404, QByteArray::fromHex("0104000400000004"));
        const QByteArray good = reply(0, 0x04040404, QByteArray::fromHex("0104000400000004"));
        const QByteArray tail = cut.mid(cut.size() / 2);
        QVERIFY(tail.contains('\x04'));
        QTest::newRow("tail of a cut reply, then its repeat") << tail + good << good;
        QTest::newRow("tail with a huge false length, then the repeat")
            << QByteArray::fromHex("04ff7f00") + good << good;
        QByteArray corrupt = good;
        corrupt[corrupt.size() - 1] = char(corrupt.at(corrupt.size() - 1) ^ 0x5A);
        QTest::newRow("bad CRC, then a good frame") << corrupt + good << good;
        QTest::newRow("bad CRC alone") << corrupt << QByteArray();
        QTest::newRow("clean repeat") << good << good;
        // Junk in which every byte passes for a start (complete false frames of 1033 bytes all the
        // way), then pseudo-random junk: the good frame behind either is found, each CRC checked
        // from the kept bytes' prefix sums.
        QTest::newRow("64 KB of start bytes, then the repeat") << QByteArray(64 * 1024, '\x04') + good << good;
        QByteArray noise(64 * 1024, '\0');
        quint32 x = 12345;
        for (char &c : noise)
            c = char((x = x * 1103515245u + 12345u) >> 24);
        QTest::newRow("64 KB of noise, then the repeat") << noise + good << good;
        QTest::newRow("64 KB of start bytes alone") << QByteArray(64 * 1024, '\x04') << QByteArray();
    }

    void resync()
    {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, frame);
        const FrameCollector c = collectResyncing(line);
        if (frame.isEmpty()) {
            QVERIFY(!c.isComplete());
        } else {
            QVERIFY(c.isComplete());
            QVERIFY(c.checksumOk());
            QCOMPARE(c.frame().toHex(), frame.toHex());
        }
    }
};

QTEST_GUILESS_MAIN(TstFrameCollector)
#include "tst_framecollector.moc"
