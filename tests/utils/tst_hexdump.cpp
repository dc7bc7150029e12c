#include "hexdump.h"

#include <QTest>
#include <QTextCodec>

namespace {

const QString kIndent = QStringLiteral("\n") + QString(15, QLatin1Char(' '));

QString textDump(const HexDump &dump)
{
    QString out;
    QTextStream s(&out);
    s << dump;
    s.flush();
    return out;
}

QString spaces(int n)
{
    return QString(n, QLatin1Char(' '));
}

// What one row looks like: "xx " per byte, three extra spaces after the 8th and 16th byte.
QString hexRow(const QByteArray &row)
{
    QString s;
    for (int i = 0; i < row.size(); ++i) {
        s += QString::asprintf("%02x ", static_cast<unsigned char>(row.at(i)));
        if (i == 7 || i == 15)
            s += spaces(3);
    }
    return s;
}

// Captures what a QDebug stream turns into through the message handler.
QString g_captured;
void captureHandler(QtMsgType, const QMessageLogContext &, const QString &msg)
{
    g_captured = msg;
}

} // namespace

class TestHexDump : public QObject
{
    Q_OBJECT
private slots:
    void textLayout_data();
    void textLayout();
    void hexColumnIsAlways54();
    void splitUtf8CharacterCompletedInNextRow();
    void systemCodecIsLocal();
    void zeroTerminatedConstructor();
    void indentManipulator();
    void debugLayout_data();
    void debugLayout();
    void debugNospaceKeepsLayout();
};

void TestHexDump::textLayout_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("codec");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty") << QByteArray() << "UTF-8"
                           << QString("Bytearrray size = 0" + kIndent + "Byte array is empty\n");
    QTest::newRow("line feed shown as dot")
        << QByteArray("\x41\x0a\x42", 3) << "UTF-8"
        << QString("Bytearrray size = 3" + kIndent + "41 0a 42 " + spaces(45) + "A.B");
    QTest::newRow("eight bytes get the gap")
        << QByteArray("ABCDEFGH") << "UTF-8"
        << QString("Bytearrray size = 8" + kIndent + "41 42 43 44 45 46 47 48    " + spaces(27) + "ABCDEFGH");

    const QByteArray sixteen("0123456789abcdef");
    QTest::newRow("16 bytes, one full row")
        << sixteen << "UTF-8"
        << QString("Bytearrray size = 16" + kIndent +
                   "30 31 32 33 34 35 36 37    38 39 61 62 63 64 65 66    0123456789abcdef");
    const QByteArray twenty("0123456789abcdefWXYZ");
    QTest::newRow("20 bytes, second row padded")
        << twenty << "UTF-8"
        << QString("Bytearrray size = 20" + kIndent +
                   "30 31 32 33 34 35 36 37    38 39 61 62 63 64 65 66    0123456789abcdef" + kIndent + "57 58 59 5a " +
                   spaces(42) + "WXYZ");
    QTest::newRow("DEL and multi-byte go to the decoder")
        << QByteArray("\x7f\x1f\x20\xd0\x9a", 5) << "UTF-8"
        << QString("Bytearrray size = 5" + kIndent + "7f 1f 20 d0 9a " + spaces(39) + QChar(0x7f) + ". " +
                   QString::fromUtf8("К"));
    QTest::newRow("cp866 text") << QByteArray("\x8a\x80\x91\x91\x80", 5) << "IBM866"
                                << QString("Bytearrray size = 5" + kIndent + "8a 80 91 91 80 " + spaces(39) +
                                           QString::fromUtf8("КАССА"));
    QTest::newRow("unknown codec still dumps")
        << QByteArray("ok") << "no-such-codec"
        << QString("Bytearrray size = 2" + kIndent + "6f 6b " + spaces(48) + "ok");
}

void TestHexDump::textLayout()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, codec);
    QFETCH(QString, expected);
    QCOMPARE(textDump(HexDump(bytes, codec)), expected);
}

void TestHexDump::hexColumnIsAlways54()
{
    for (int n = 1; n <= 16; ++n) {
        const QByteArray bytes(n, 'x');
        const QString dump = textDump(HexDump(bytes, QStringLiteral("UTF-8")));
        const QString row = dump.mid(dump.indexOf(kIndent) + kIndent.size());
        QCOMPARE(row, hexRow(bytes).leftJustified(54, QLatin1Char(' ')) + QString(n, QLatin1Char('x')));
        QCOMPARE(row.size(), 54 + n);
    }
}

void TestHexDump::splitUtf8CharacterCompletedInNextRow()
{
    // 15 ASCII bytes, then "Ж" (d0 96) straddling the row boundary, then "z".
    QByteArray bytes(15, 'a');
    bytes += QByteArray("\xd0\x96z");
    const QString dump = textDump(HexDump(bytes, QStringLiteral("UTF-8")));
    const QStringList rows = dump.split(kIndent);
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows.at(1), hexRow(bytes.left(16)) + QString(15, QLatin1Char('a')));
    QCOMPARE(rows.at(2), hexRow(bytes.mid(16)) + spaces(54 - 6) + QString::fromUtf8("Жz"));
}

void TestHexDump::systemCodecIsLocal()
{
    const QByteArray bytes = QTextCodec::codecForLocale()->fromUnicode(QStringLiteral("abc"));
    QCOMPARE(textDump(HexDump(bytes)),
             textDump(HexDump(bytes, QString::fromLatin1(QTextCodec::codecForLocale()->name()))));
    QCOMPARE(HexDump(bytes).codecName(), QStringLiteral("System"));
}

void TestHexDump::zeroTerminatedConstructor()
{
    const char text[] = "ab\0cd";
    QCOMPARE(HexDump(text).bytes(), QByteArray("ab"));
}

void TestHexDump::indentManipulator()
{
    QString out;
    QTextStream s(&out);
    s << "a" << indent << "b";
    s.flush();
    QCOMPARE(out, QString("a" + kIndent + "b"));

    // Within a debug stream the text-stream manipulator is picked and lines up the same way.
    qInstallMessageHandler(captureHandler);
    qWarning() << "a" << indent << "b";
    QCOMPARE(g_captured, QString("a " + kIndent + "b"));
    indent(qWarning().nospace() << "c") << "d";
    qInstallMessageHandler(nullptr);
    QCOMPARE(g_captured, QString("c" + kIndent + "d"));
}

void TestHexDump::debugLayout_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty") << QByteArray() << QString("Bytearrray size = 0 " + kIndent + "Byte array is empty");
    QTest::newRow("three bytes") << QByteArray("\x41\x0a\x42", 3)
                                 << QString("Bytearrray size = 3 " + kIndent + "41 0a 42 " + spaces(45) + "A.B");
    QTest::newRow("20 bytes") << QByteArray("0123456789abcdefWXYZ")
                              << QString("Bytearrray size = 20 " + kIndent +
                                         "30 31 32 33 34 35 36 37    38 39 61 62 63 64 65 66    0123456789abcdef " +
                                         kIndent + "57 58 59 5a " + spaces(42) + "WXYZ");
}

void TestHexDump::debugLayout()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    qInstallMessageHandler(captureHandler);
    qWarning() << HexDump(bytes, QStringLiteral("UTF-8"));
    qInstallMessageHandler(nullptr);
    QCOMPARE(g_captured, expected);
}

void TestHexDump::debugNospaceKeepsLayout()
{
    // A caller in nospace mode gets the same dump, and its own mode back afterwards.
    qInstallMessageHandler(captureHandler);
    qWarning().nospace() << "<" << HexDump(QByteArray("A"), QStringLiteral("UTF-8")) << ">";
    qInstallMessageHandler(nullptr);
    QCOMPARE(g_captured, QString("<Bytearrray size = 1 " + kIndent + "41 " + spaces(51) + "A>"));
}

QTEST_GUILESS_MAIN(TestHexDump)
#include "tst_hexdump.moc"
