// The frame decoder over frames the command layer really sends and the substitute register really
// answers, and the summaries the transport attaches to them.

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QThreadPool>
#include <QTextStream>
#include <QtTest>

#include "emulatorfixture.h"
#include "framedecoder.h"
#include "frwrapper.h"
#include "loadermodel.h"
#include "loggermanager.h"
#include "receiptitem.h"

using namespace framedecoder;

namespace {

// One exchange as the transport showed it: frames and summaries in the order they were emitted.
struct Exchange
{
    QByteArray request;
    QByteArray reply;
    QString requestSummary;
    QString replySummary;
};

constexpr qint32 SecretPassword = 7654321;

QString dumpText(const QByteArray &bytes)
{
    QString s;
    QTextStream stream(&s);
    stream << HexDump(bytes, QStringLiteral("UTF-8"));
    stream.flush();
    return s;
}

} // namespace

class TestDecoder : public QObject
{
    Q_OBJECT

    EmulatorFixture emu_;
    QVector<Exchange> exchanges_;
    QString clock_; // the register's clock as the command layer read it

    // The first exchange of `code` at or after `from`.
    const Exchange *find(quint8 code, int from = 0) const
    {
        for (int i = from; i < exchanges_.size(); ++i) {
            const QByteArray &r = exchanges_.at(i).request;
            if (r.size() > 3 && quint8(r.at(3)) == code)
                return &exchanges_.at(i);
        }
        return nullptr;
    }

    // The fuzz target's seeds are these very frames: VIRTA_DECODER_CORPUS=fuzz/corpus/fuzz_decoder.
    void writeFuzzSeeds(const QString &dir) const
    {
        if (dir.isEmpty())
            return;
        QDir().mkpath(dir);
        auto write = [&](const QString &name, quint8 mode, quint8 code, const QByteArray &bytes) {
            QFile f(dir + QLatin1Char('/') + name);
            if (f.open(QIODevice::WriteOnly))
                f.write(QByteArray(1, char(mode)) + char(code) + bytes);
        };
        QString hexLines;
        for (const Exchange &x : exchanges_) {
            const quint8 code = quint8(x.request.at(3));
            const QString tag = QString::number(code, 16);
            write(QStringLiteral("request_%1").arg(tag), 0, 0, x.request);
            write(QStringLiteral("reply_%1").arg(tag), 1, code, x.reply);
            hexLines += QString::fromLatin1(x.request.toHex() + '\n' + x.reply.toHex() + '\n');
        }
        write(QStringLiteral("hex_text"), 3, 0, hexLines.toUtf8());
        write(QStringLiteral("log_text"), 3, 0,
              QStringLiteral("%1\n               %2\n               true\n")
                  .arg(exchanges_.first().replySummary, dumpText(exchanges_.first().reply))
                  .toUtf8());
        LoaderModel loader;
        const QByteArray check = QByteArray::fromHex("0400000000ff");
        write(QStringLiteral("loader_check"), 2, 0, check);
        write(QStringLiteral("loader_reply"), 2, 0, loader.receive(check, 0).value(0).bytes);
    }

private slots:
    void initTestCase()
    {
        registerFsMetaTypes();
        QVERIFY2(emu_.start(), qPrintable(emu_.lastError()));
        FsWrapper fr;
        QVERIFY(fr.open(emu_.devicePath()));
        fr.setCashier(DefaultCashierNumber);
        fr.setPassword(DefaultCashierPassword);

        // Frames and summaries arrive interleaved, one pair per frame.
        QList<QPair<bool, QByteArray>> frames;
        QList<QString> summaries;
        connect(&fr, qOverload<bool, QString>(&FsWrapper::showLog), this,
                [&](bool out, const QString &hex) { frames.append({out, QByteArray::fromHex(hex.toLatin1())}); });
        connect(&fr, &FsWrapper::showSummary, this, [&](bool, const QString &text) { summaries.append(text); });

        // Every family: state reads, records, clock, registration data, counters, catalogues,
        // settings, a shift with cash in, a receipt, the printer, and a refusal.
        FrStatus st;
        SerialInfo si;
        QString version;
        CycleStatus cs;
        QDateTime dt;
        Tlv tlv;
        Counters counters;
        TotalCounters totals;
        SectionCounters sections;
        QByteArray block;
        qint16 cycle = 0, receiptNo = 0, ops = 0;
        qint32 fd = 0, fp = 0;
        quint8 docType = 0;
        qint8 receiptType = 0;
        FixNumber cash, total, change, sum;
        int next = 0;
        QCOMPARE(fr.getFrStatus(st), CoreApiConst::Success);
        fr.getSerial(si);
        fr.getFirmwareVersion(version);
        fr.getCycleStatus(cs);
        QCOMPARE(fr.readDt(dt), CoreApiConst::Success);
        clock_ = dt.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));
        QCOMPARE(fr.readRegParam(11018, tlv), CoreApiConst::Success);
        fr.getCycleCounters(counters);
        fr.getTotalCounters(totals);
        fr.getSectionCounters(sections);
        fr.readCatalog(1, 1, block);
        fr.readFrSettings(1, block);
        QCOMPARE(fr.startCycleOpening(QStringLiteral("Иванов")), CoreApiConst::Success);
        QCOMPARE(fr.completeCycleOpening(cycle, fd, fp, dt), CoreApiConst::Success);
        fr.startIntroduction(QStringLiteral("Иванов"));
        QCOMPARE(fr.completeIntroduction(FixNumber(100, qint64(150000)), cycle, fd, fp, dt, cash),
                 CoreApiConst::Success);
        QCOMPARE(fr.startReceipt(1, QStringLiteral("Иванов")), CoreApiConst::Success);
        ReceiptItem item;
        item.name = QStringLiteral("Хлеб");
        item.price = FixNumber(100, qint64(4550));
        item.quantity = FixNumber(100000, qint64(200000));
        item.section = 1;
        item.tax = 1;
        QCOMPARE(fr.sendDocData(item.toTlv().rawData()), CoreApiConst::Success);
        fr.getOpenDocData(docType, receiptType, receiptNo, ops, sum);
        QCOMPARE(fr.completeReceipt(FixNumber(100, qint64(9100)), FixNumber(100, qint64(0)), cycle, fd, fp, receiptNo,
                                    dt, total, change),
                 CoreApiConst::Success);
        fr.printLine(0, 0, 0, 0, QStringLiteral("Спасибо за покупку"));
        fr.printControlTape(0, next);
        fr.setPassword(SecretPassword);
        QVERIFY(fr.startCycleClosing(QStringLiteral("Иванов")) != CoreApiConst::Success);
        fr.close();

        QCOMPARE(frames.size(), summaries.size());
        for (int i = 0; i + 1 < frames.size(); i += 2) {
            QVERIFY(frames.at(i).first && !frames.at(i + 1).first);
            exchanges_.append({frames.at(i).second, frames.at(i + 1).second, summaries.at(i), summaries.at(i + 1)});
        }
        QVERIFY(exchanges_.size() >= 22);
        writeFuzzSeeds(qEnvironmentVariable("VIRTA_DECODER_CORPUS"));
    }

    // Each reply with the size of its payload as the register's layouts give it, and the fields
    // the command layer reads from it.
    void realFrames_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QStringList>("requestFields");
        QTest::addColumn<int>("replySize");
        QTest::addColumn<QStringList>("replyFields");
        auto row = [](const char *name, int code, const char *req, const char *rep, const QStringList &reqF, int size,
                      const QStringList &repF) {
            QTest::newRow(name) << code << QString::fromUtf8(req) << QString::fromUtf8(rep) << reqF << size << repF;
        };
        const char *const ok = "← 0x00 Успешный ответ";
        row("status", 0x30, "→ 0x30 Состояние ККТ", ok, {}, 31, {"ЗН 0000012345", "смена закрыта", "последний ФД 1"});
        row("serial", 0x31, "→ 0x31 Заводской номер", ok, {}, 44, {"ЗН 0000012345", "«ВИРТА-ЭМУЛЯТОР ФР»"});
        row("firmware", 0x33, "→ 0x33 Версия ПО", ok, {}, 3, {"версия 2.4.17"});
        row("shift state", 0x10, "→ 0x10 Текущая смена", ok, {}, 29, {"смена 0 закрыта", "чеков 0", "в кассе 0.00"});
        row("clock", 0x03, "→ 0x03 Чтение даты и времени", ok, {}, 4, {clock_});
        row("registration tag", 0x44, "→ 0x44 Параметр регистрации", ok, {"тег 11018"}, 14, {"тег 11018"});
        row("shift counters", 0x36, "→ 0x36 Счётчики смены", ok, {}, Counters::WireSize, {"смена 0", "чеков 0"});
        row("totals", 0x38, "→ 0x38 Итоговые счётчики", ok, {}, TotalCounters::WireSize, {});
        row("sections", 0x39, "→ 0x39 Счётчики отделов", ok, {}, SectionCountersSize, {});
        row("catalogue", 0x01, "→ 0x01 Чтение справочника", ok, {"кассир 20", "справочник 1", "запись 1"}, 263, {});
        row("settings", 0x40, "→ 0x40 Чтение настроек ККТ", ok, {"кассир 20", "блок 1"}, 1, {});
        row("shift start", 0x11, "→ 0x11 Начало открытия смены", ok, {"кассир 20", "«Иванов»"}, 0, {});
        row("shift open", 0x12, "→ 0x12 Открытие смены", ok, {}, 14, {"ФД 2", "ФП ", "смена 1"});
        row("cash in", 0xA3, "→ 0xA3 Внесение", ok, {"сумма 1500.00"}, 22, {"ФД 3", "в кассе 1500.00"});
        row("receipt start", 0x15, "→ 0x15 Открытие чека", ok, {"тип чека 1", "«Иванов»"}, 0, {});
        row("document data", 0x07, "→ 0x07 Данные документа", ok, {"тег 11059"}, 0, {});
        row("open document", 0xB0, "→ 0xB0 Открытый документ", ok, {}, 14,
            {"документ типа 3", "чек 1", "операций 1", "сумма 91.00"});
        row("receipt close", 0x16, "→ 0x16 Закрытие чека", ok, {"наличными 91.00", "безналичными 0.00"}, 32,
            {"ФД 4", "чек 1", "итог 91.00", "сдача 0.00"});
        row("print line", 0xC3, "→ 0xC3 Печать строки", ok, {"«Спасибо за покупку»"}, 0, {});
        // The last page of the tape: no number to continue from.
        row("control tape", 0x3A, "→ 0x3A Контрольная лента", ok, {"кассир 20"}, 0, {});
        row("refusal", 0x13, "→ 0x13 Начало закрытия смены", "← 0x12 Ошибка авторизации", {"кассир 20"}, 0, {});
    }
    void realFrames()
    {
        QFETCH(int, code);
        QFETCH(QString, request);
        QFETCH(QString, reply);
        QFETCH(QStringList, requestFields);
        QFETCH(int, replySize);
        QFETCH(QStringList, replyFields);
        const Exchange *x = find(quint8(code));
        QVERIFY2(x, "the command was not sent");
        FsReq req;
        QCOMPARE(req.parseQuietly(x->request), fs::Ok);
        const QString number = QStringLiteral("№%1").arg(req.unique());

        const QString reqText = describeRequest(x->request);
        QVERIFY2(reqText.startsWith(request + QStringLiteral("  ") + number), qPrintable(reqText));
        for (const QString &f : requestFields)
            QVERIFY2(reqText.contains(f), qPrintable(reqText + " lacks " + f));
        // The password travels in the cashier block, never into a summary.
        QVERIFY2(!reqText.contains(QString::number(SecretPassword)), qPrintable(reqText));
        QCOMPARE(x->requestSummary, reqText);

        const QString repText = describeReply(x->reply, code);
        QVERIFY2(repText.startsWith(reply), qPrintable(repText));
        QVERIFY2(repText.contains(QStringLiteral("  %1  %2 байт").arg(number).arg(replySize)), qPrintable(repText));
        QVERIFY2(!repText.contains(QStringLiteral("не разобран")), qPrintable(repText));
        for (const QString &f : replyFields)
            QVERIFY2(repText.contains(QStringLiteral("  ") + f), qPrintable(repText + " lacks " + f));
        // The transport's line is the same, with the round trip it measured.
        QVERIFY2(x->replySummary.startsWith(repText.section(QStringLiteral("  "), 0, 2)), qPrintable(x->replySummary));
        QVERIFY2(x->replySummary.contains(QRegularExpression(QStringLiteral("  \\d+\\.\\d мс"))),
                 qPrintable(x->replySummary));
    }

    // What cannot be read as a frame is said to be what it is; nothing is skipped, and no cut of
    // a real frame makes the decoder read past it or break the line.
    void damagedFrames_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");
        const QByteArray status = find(0x30)->reply;
        QByteArray badCrc = status;
        badCrc[badCrc.size() - 1] = char(badCrc.at(badCrc.size() - 1) ^ 0x5A);
        QByteArray tooShort = QByteArray::fromHex("0403003001000000");
        tooShort.append(char(0)).append(char(0));
        QTest::newRow("nothing") << QByteArray() << "← нет ответа";
        QTest::newRow("stray") << QByteArray::fromHex("ff0055") << "← посторонние байты: 3 байт";
        QTest::newRow("stray before") << (QByteArray::fromHex("ff00") + status) << "← посторонние байты перед кадром: 2 байт";
        QTest::newRow("cut") << status.left(12)
                             << QStringLiteral("← неполный кадр: 12 байт из %1").arg(status.size());
        QTest::newRow("two bytes") << status.left(2) << "← обрывок кадра: 2 байт";
        QTest::newRow("length below 5") << tooShort << "← кадр слишком короткий: длина 3";
        QTest::newRow("trailing") << (status + "\x01\x02") << "← лишние байты после кадра: 2 байт";
        QTest::newRow("crc") << badCrc << "неверная контрольная сумма";
    }
    void damagedFrames()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        const QString text = describeReply(bytes, 0x30);
        QVERIFY2(text.contains(expected), qPrintable(text));
    }
    void everyCutIsOneLine()
    {
        // A line break in a field the operator typed (here the taxpayer number) stays in its line.
        FsReq typed(0x20, QByteArray("7701\n2345").leftJustified(28, '\0'));
        QVERIFY(!describeRequest(typed.rawData()).contains(QLatin1Char('\n')));

        for (const Exchange &x : exchanges_) {
            for (const QByteArray &frame : {x.request, x.reply}) {
                for (int n = 0; n <= frame.size(); ++n) {
                    const QString a = describeRequest(frame.left(n));
                    const QString b = describeReply(frame.left(n), quint8(x.request.at(3)), 1000);
                    QVERIFY(!a.isEmpty() && !a.contains(QLatin1Char('\n')));
                    QVERIFY(!b.isEmpty() && !b.contains(QLatin1Char('\n')));
                }
            }
        }
    }

    void repeatAndLoader()
    {
        QCOMPARE(describeRequest(QByteArray(1, char(0x05))), QStringLiteral("→ 0x05 Повтор последнего ответа"));

        LoaderModel loader;
        const QByteArray size = QByteArray::fromHex("040400000000") + QByteArray::fromHex("00100000");
        QCOMPARE(describeLoaderRequest(size), QStringLiteral("→ загрузчик 0x00 Размер прошивки  4096 байт"));
        const QByteArray check = QByteArray::fromHex("0400000000ff");
        QCOMPARE(describeLoaderRequest(check), QStringLiteral("→ загрузчик 0xFF Проверка связи"));
        const QVector<EmuChunk> ok = loader.receive(check, 0);
        QCOMPARE(ok.size(), 1);
        QVERIFY2(describeLoaderReply(ok.first().bytes).startsWith(QStringLiteral("← загрузчик: успешно")),
                 qPrintable(describeLoaderReply(ok.first().bytes)));
        const QVector<EmuChunk> refused = loader.receive(QByteArray::fromHex("040000000002"), 0);
        QCOMPARE(refused.size(), 1);
        QVERIFY2(describeLoaderReply(refused.first().bytes).startsWith(QStringLiteral("← загрузчик: ошибка 3  «")),
                 qPrintable(describeLoaderReply(refused.first().bytes)));
        // A size field that lies is not believed.
        QVERIFY(describeLoaderReply(QByteArray::fromHex("04ffffff7f00")).contains(QStringLiteral("не кадр")));
    }

    // The command line's decode: a log file of this program, or plain hex.
    void decodeText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("expected");
        QString log, logNoSummaries, hex, arrows;
        QStringList expected;
        for (int i = 0; i < 4; ++i) {
            const Exchange &x = exchanges_.at(i);
            const quint8 code = quint8(x.request.at(3));
            // The transport's entries: summary, dump, and for a reply its outcome.
            log += QStringLiteral("12:00:00.000 W frapi.cpp:1 %1\n               %2\n").arg(x.requestSummary,
                                                                                          dumpText(x.request));
            log += QStringLiteral("12:00:00.000 W frapi.cpp:1  WROTE  %1\n").arg(x.request.size());
            log += QStringLiteral("12:00:00.010 W frapi.cpp:1 %1\n               %2\n               true\n")
                       .arg(x.replySummary, dumpText(x.reply));
            logNoSummaries += QStringLiteral("12:00:00.000 W %1\n").arg(dumpText(x.request));
            logNoSummaries += QStringLiteral("12:00:00.010 W %1\n               true\n").arg(dumpText(x.reply));
            logNoSummaries += QStringLiteral("12:00:00.010 W Frame code 0 unique 1 %1\n").arg(dumpText(x.reply));
            hex += QString::fromLatin1(x.request.toHex(' ')) + QLatin1Char('\n') + QString::fromLatin1(x.reply.toHex())
                   + QLatin1Char('\n');
            arrows += QStringLiteral("> %1\n← %2\n").arg(QString::fromLatin1(x.request.toHex()),
                                                         QString::fromLatin1(x.reply.toHex()));
            expected << describeRequest(x.request) << describeReply(x.reply, code);
        }
        QTest::newRow("log") << log << expected;
        QTest::newRow("log without summaries") << logNoSummaries << expected;
        QTest::newRow("hex") << hex << expected;
        // A reply with no request before it is read without knowing what it answers.
        const QByteArray orphan = exchanges_.at(0).reply;
        QTest::newRow("marked directions") << (QStringLiteral("<") + QString::fromLatin1(orphan.toHex()) + "\n" + arrows)
                                           << (QStringList{describeReply(orphan)} + expected);
        QTest::newRow("repeat and garbage")
            << QStringLiteral("05\nzz04 05\n")
            << QStringList{QStringLiteral("→ 0x05 Повтор последнего ответа"), QStringLiteral("← обрывок кадра: 2 байт")};
    }
    void decodeText()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, expected);
        QCOMPARE(framedecoder::decodeText(text), expected);
    }

    // A real log file of a session: the transport's entries carry their summaries, and the
    // command line's decode finds every exchange in it again.
    void logFile()
    {
        QTemporaryDir dir;
        QCoreApplication::setApplicationName(QStringLiteral("decoder"));
        LoggerManager::setLogFlags(3);
        LoggerManager::initLog(dir.path(), 5, false, QtDebugMsg);
        {
            FsWrapper fr;
            QVERIFY(fr.open(emu_.devicePath()));
            FrStatus st;
            CycleStatus cs;
            QCOMPARE(fr.getFrStatus(st), CoreApiConst::Success);
            QCOMPARE(fr.getCycleStatus(cs), CoreApiConst::Success);
            fr.close();
        }
        LoggerManager::releaseLog();
        QThreadPool::globalInstance()->waitForDone();
        QFile file(dir.filePath(QStringLiteral("decoder.log")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        // The log files are written in the system's code page.
        const QString text = QTextCodec::codecForLocale()->toUnicode(file.readAll());
        if (QTextCodec::codecForLocale()->canEncode(QStringLiteral("→ Состояние")))
            QVERIFY2(text.contains(QStringLiteral("→ 0x30 Состояние ККТ")), qPrintable(text));

        const QStringList lines = framedecoder::decodeText(text);
        QVERIFY2(lines.size() == 4, qPrintable(lines.join('\n') + "\n" + text));
        QVERIFY2(lines.at(0).startsWith(QStringLiteral("→ 0x30 Состояние ККТ  №")), qPrintable(lines.at(0)));
        QVERIFY2(lines.at(1).startsWith(QStringLiteral("← 0x00 Успешный ответ")), qPrintable(lines.at(1)));
        QVERIFY2(lines.at(1).contains(QStringLiteral("ЗН ")), qPrintable(lines.at(1)));
        QVERIFY2(lines.at(2).startsWith(QStringLiteral("→ 0x10 Текущая смена")), qPrintable(lines.at(2)));
        QVERIFY2(lines.at(3).contains(QStringLiteral("чеков ")), qPrintable(lines.at(3)));
    }

    void roundTripCarriedWithReply()
    {
        FsWrapper fr;
        QVERIFY(fr.open(emu_.devicePath()));
        FsRep rep;
        QCOMPARE(fr.exec(FsReq(0x30), rep, FsTimeouts::Quick), CoreApiConst::Success);
        QVERIFY(rep.roundTripUs() > 0);
        QVERIFY(rep.roundTripUs() < 2000000);
        fr.close();
    }
};

QTEST_GUILESS_MAIN(TestDecoder)
#include "tst_decoder.moc"
