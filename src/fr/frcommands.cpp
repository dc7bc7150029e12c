// The command operations of FsWrapper: one request per operation, built on exec().
// The exchange itself (exec, open, close) lives in frwrapper.cpp.

#include <QDataStream>
#include <QDebug>

#include "frpayload.h"
#include "frwrapper.h"
#include "hexdump.h"

using CoreApiConst::ErrorCode;

namespace {

using namespace frcmd;

constexpr int NameFieldMax = FsFieldWidths::Name;
constexpr int InnWidth = FsFieldWidths::Inn;
constexpr int RegNumberWidth = FsFieldWidths::RegNumber;
constexpr int SerialDigits = FsFieldWidths::SerialDigits;
constexpr int FirmwareVersionSize = 3;
constexpr int OpenDocDataSize = 14;
constexpr quint8 ReceiptDocType = 3;

// Request payloads are little-endian throughout.
class Payload
{
public:
    Payload() : s_(&bytes_, QIODevice::WriteOnly) { s_.setByteOrder(QDataStream::LittleEndian); }

    Payload &u8(int v)
    {
        s_ << quint8(v);
        return *this;
    }
    Payload &i32(qint32 v)
    {
        s_ << v;
        return *this;
    }
    Payload &u32(quint32 v)
    {
        s_ << v;
        return *this;
    }
    Payload &u16(quint16 v)
    {
        s_ << v;
        return *this;
    }
    Payload &money(const FixNumber &sum)
    {
        // The register counts kopecks; a sum given with other decimals must not be sent
        // as a raw value scaled wrongly.
        s_ << qint64(sum.divisor() == 100 ? sum.raw() : sum.converted(100).raw());
        return *this;
    }
    Payload &raw(const QByteArray &bytes)
    {
        s_.writeRawData(bytes.constData(), bytes.size());
        return *this;
    }
    Payload &cashier(const FsWrapper &fr) { return u8(fr.cashier()).i32(fr.password()); }
    // Length byte, then at most 255 CP866 bytes.
    Payload &name(const QString &text)
    {
        const QByteArray bytes = frtext::toCp866(text).left(NameFieldMax);
        return u8(bytes.size()).raw(bytes);
    }
    // Latin-1, cut to the width and padded with zero bytes to exactly the width.
    Payload &identifier(const QString &text, int width)
    {
        QByteArray bytes = text.toLatin1().left(width);
        bytes.append(QByteArray(width - bytes.size(), '\0'));
        return raw(bytes);
    }

    const QByteArray &bytes() const { return bytes_; }

private:
    QByteArray bytes_;
    QDataStream s_;
};

// A start command: the cashier block, then what `fields` adds before the name field.
template <typename Fields> ErrorCode startDocument(FsWrapper &fr, quint8 code, const QString &name, Fields fields)
{
    FsRep rep;
    Payload payload;
    payload.cashier(fr);
    fields(payload);
    return fr.exec(FsReq(code, payload.name(name).bytes()), rep, FsTimeouts::Normal);
}

ErrorCode startDocument(FsWrapper &fr, quint8 code, const QString &name)
{
    return startDocument(fr, code, name, [](Payload &) {});
}

// A completion command: on success `doc` holds the document numbers and `readRest` takes the
// fields that follow them; on failure nothing is read.
template <typename ReadRest>
ErrorCode completeDocument(FsWrapper &fr, quint8 code, const QByteArray &payload, bool withCycle, DocNumbers &doc,
                           ReadRest readRest)
{
    FsRep rep;
    const ErrorCode rc = fr.exec(FsReq(code, payload), rep, FsTimeouts::Normal);
    if (rc != CoreApiConst::Success)
        return rc;
    PayloadReader r(rep.data());
    doc.read(r, withCycle);
    readRest(r);
    return rc;
}

ErrorCode completeDocument(FsWrapper &fr, quint8 code, const QByteArray &payload, bool withCycle, DocNumbers &doc)
{
    return completeDocument(fr, code, payload, withCycle, doc, [](PayloadReader &) {});
}

// A read whose reply is decoded by a record's parse; a reply the record refuses is 252.
template <typename Record> ErrorCode readRecord(FsWrapper &fr, quint8 code, const FsRwTimeout &timeout, Record &record)
{
    FsRep rep;
    const ErrorCode rc = fr.exec(FsReq(code), rep, timeout);
    if (rc != CoreApiConst::Success)
        return rc;
    return record.parse(rep.data()) ? rc : CoreApiConst::ParseError;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Fiscal documents

ErrorCode FsWrapper::cancelDoc()
{
    FsRep rep;
    return exec(FsReq(CancelDoc), rep, FsTimeouts::Quick);
}

ErrorCode FsWrapper::sendDocData(const QByteArray &tlvBytes)
{
    FsRep rep;
    return exec(FsReq(SendDocData, tlvBytes), rep, FsTimeouts::Normal);
}

ErrorCode FsWrapper::startRegistration(const QString &cashierName)
{
    return startDocument(*this, StartRegistration, cashierName);
}

ErrorCode FsWrapper::completeRegistration(const QString &inn, const QString &regNumber, qint32 &fd, qint32 &fp,
                                          QDateTime &dt)
{
    const QByteArray payload = Payload().identifier(inn, InnWidth).identifier(regNumber, RegNumberWidth).bytes();
    DocNumbers doc;
    const ErrorCode rc = completeDocument(*this, CompleteRegistration, payload, false, doc);
    if (rc == CoreApiConst::Success)
        doc.copyTo(fd, fp, dt);
    return rc;
}

ErrorCode FsWrapper::preprintRegistration(const QString &inn, const QString &regNumber)
{
    FsRep rep;
    const QByteArray payload = Payload().identifier(inn, InnWidth).identifier(regNumber, RegNumberWidth).bytes();
    return exec(FsReq(PreprintRegistration, payload), rep, FsTimeouts::Normal);
}

ErrorCode FsWrapper::startArchiveClosing(const QString &cashierName)
{
    return startDocument(*this, StartArchiveClosing, cashierName);
}

ErrorCode FsWrapper::completeArchiveClosing(qint32 &fd, qint32 &fp, QDateTime &dt)
{
    DocNumbers doc;
    const ErrorCode rc = completeDocument(*this, CompleteArchiveClosing, QByteArray(), false, doc);
    if (rc == CoreApiConst::Success)
        doc.copyTo(fd, fp, dt);
    return rc;
}

ErrorCode FsWrapper::startCycleOpening(const QString &cashierName)
{
    return startDocument(*this, StartCycleOpening, cashierName);
}

ErrorCode FsWrapper::completeCycleOpening(qint16 &cycle, qint32 &fd, qint32 &fp, QDateTime &dt)
{
    DocNumbers doc;
    const ErrorCode rc = completeDocument(*this, CompleteCycleOpening, QByteArray(), true, doc);
    if (rc == CoreApiConst::Success) {
        doc.copyTo(fd, fp, dt);
        cycle = doc.cycle;
    }
    return rc;
}

ErrorCode FsWrapper::startCycleClosing(const QString &cashierName)
{
    return startDocument(*this, StartCycleClosing, cashierName);
}

ErrorCode FsWrapper::completeCycleClosing(qint16 &cycle, qint32 &fd, qint32 &fp, QDateTime &dt)
{
    DocNumbers doc;
    const ErrorCode rc = completeDocument(*this, CompleteCycleClosing, QByteArray(), true, doc);
    if (rc == CoreApiConst::Success) {
        doc.copyTo(fd, fp, dt);
        cycle = doc.cycle;
    }
    return rc;
}

ErrorCode FsWrapper::startIntroduction(const QString &cashierName)
{
    return startDocument(*this, StartIntroduction, cashierName);
}

ErrorCode FsWrapper::completeIntroduction(const FixNumber &sum, qint16 &cycle, qint32 &fd, qint32 &fp, QDateTime &dt,
                                          FixNumber &cashInDrawer)
{
    DocNumbers doc;
    FixNumber cash;
    const ErrorCode rc = completeDocument(*this, CompleteIntroduction, Payload().money(sum).bytes(), true, doc,
                                          [&cash](PayloadReader &r) { cash = r.money(); });
    if (rc == CoreApiConst::Success) {
        doc.copyTo(fd, fp, dt);
        cycle = doc.cycle;
        cashInDrawer = cash;
    }
    return rc;
}

ErrorCode FsWrapper::startPayout(const QString &cashierName)
{
    return startDocument(*this, StartPayout, cashierName);
}

ErrorCode FsWrapper::completePayout(const FixNumber &sum, qint16 &cycle, qint32 &fd, qint32 &fp, QDateTime &dt,
                                    FixNumber &cashInDrawer)
{
    DocNumbers doc;
    FixNumber cash;
    const ErrorCode rc = completeDocument(*this, CompletePayout, Payload().money(sum).bytes(), true, doc,
                                          [&cash](PayloadReader &r) { cash = r.money(); });
    if (rc == CoreApiConst::Success) {
        doc.copyTo(fd, fp, dt);
        cycle = doc.cycle;
        cashInDrawer = cash;
    }
    return rc;
}

ErrorCode FsWrapper::startReceipt(int receiptType, const QString &cashierName)
{
    return startDocument(*this, StartReceipt, cashierName, [receiptType](Payload &p) { p.u8(receiptType); });
}

ErrorCode FsWrapper::completeReceipt(const FixNumber &payment1, const FixNumber &payment2, qint16 &cycle, qint32 &fd,
                                     qint32 &fp, qint16 &receiptNumber, QDateTime &dt, FixNumber &total,
                                     FixNumber &change)
{
    DocNumbers doc;
    qint16 number = 0;
    FixNumber sum;
    FixNumber rest;
    const ErrorCode rc = completeDocument(*this, CompleteReceipt, Payload().money(payment1).money(payment2).bytes(),
                                          true, doc, [&](PayloadReader &r) {
                                              number = r.get<qint16>();
                                              sum = r.money();
                                              rest = r.money();
                                          });
    if (rc == CoreApiConst::Success) {
        doc.copyTo(fd, fp, dt);
        cycle = doc.cycle;
        receiptNumber = number;
        total = sum;
        change = rest;
    }
    return rc;
}

ErrorCode FsWrapper::getOpenDocData(quint8 &docType, qint8 &receiptType, qint16 &receiptNumber, qint16 &operations,
                                    FixNumber &sum)
{
    FsRep rep;
    const ErrorCode rc = exec(FsReq(GetOpenDocData), rep, FsTimeouts::Normal);
    if (rc != CoreApiConst::Success)
        return rc;
    const QByteArray &payload = rep.data();
    if (payload.isEmpty())
        return CoreApiConst::ParseError;
    PayloadReader r(payload);
    docType = r.get<quint8>();
    receiptType = r.get<qint8>();
    receiptNumber = r.get<qint16>();
    operations = r.get<qint16>();
    sum = r.money();
    // Only a receipt has a layout to check; other documents carry whatever they carry.
    if (docType == ReceiptDocType && payload.size() != OpenDocDataSize)
        return CoreApiConst::ParseError;
    return rc;
}

// ---------------------------------------------------------------------------------------------
// Device information

ErrorCode FsWrapper::getFrStatus(FrStatus &st)
{
    return readRecord(*this, GetFrStatus, FsTimeouts::Quick, st);
}

ErrorCode FsWrapper::getSerial(SerialInfo &info)
{
    info = SerialInfo();
    const ErrorCode rc = readRecord(*this, GetSerial, FsTimeouts::Quick, info);
    if (rc == CoreApiConst::Success)
        factoryNumber_ = info.factoryNumber;
    return rc;
}

ErrorCode FsWrapper::getFirmwareVersion(QString &version)
{
    version.clear();
    FsRep rep;
    const ErrorCode rc = exec(FsReq(GetFirmwareVersion), rep, FsTimeouts::Quick);
    if (rc != CoreApiConst::Success)
        return rc;
    const QByteArray &v = rep.data();
    if (v.size() != FirmwareVersionSize)
        return CoreApiConst::ParseError;
    version = QStringLiteral("%1.%2.%3").arg(uint(quint8(v[0]))).arg(uint(quint8(v[1]))).arg(uint(quint8(v[2])));
    return rc;
}

ErrorCode FsWrapper::writeSerial(const QString &serial)
{
    const QString text = serial.trimmed();
    bool ok = false;
    const qulonglong number = text.toULongLong(&ok);
    if (!ok || number == 0 || text.size() > SerialDigits)
        return CoreApiConst::WrongData;
    const QByteArray digits = QStringLiteral("%1").arg(number, SerialDigits, 10, QLatin1Char('0')).toLatin1();
    FsRep rep;
    const ErrorCode rc = exec(FsReq(WriteSerial, Payload().cashier(*this).raw(digits).bytes()), rep, FsTimeouts::Quick);
    if (rc == CoreApiConst::Success)
        factoryNumber_ = QString::fromLatin1(digits);
    return rc;
}

ErrorCode FsWrapper::getCycleStatus(CycleStatus &st)
{
    FsRep rep;
    const ErrorCode rc = exec(FsReq(GetCycleStatus), rep, FsTimeouts::Quick);
    qWarning().noquote() << "cycle status reply" << HexDump(rep.rawData(), QStringLiteral("UTF-8")) << "payload"
                         << rep.data().size() << "result" << int(rc);
    if (rc != CoreApiConst::Success)
        return rc;
    return st.parse(rep.data()) ? rc : CoreApiConst::ParseError;
}

ErrorCode FsWrapper::readRegParam(quint16 tag, Tlv &tlv)
{
    FsRep rep;
    const ErrorCode rc = exec(FsReq(ReadRegParam, Payload().u16(tag).bytes()), rep, FsTimeouts::Normal);
    if (rc != CoreApiConst::Success)
        return rc;
    // A malformed record still counts as an answer; its tag ends up 0 and nothing stores it.
    tlv.setTag(tag);
    tlv.setRawData(rep.data());
    return rc;
}

ErrorCode FsWrapper::readRegData(RegData &data)
{
    static const quint16 tags[] = {11018, 11037, 11048, 11187, 11009, 11041, 11012, 13105, 13106, 13107, 13108, 13109};
    // Twelve requests, one operation: the caller's, or one of its own. (Refused, its first request
    // is refused too, and that ends it.)
    const FsOperation op(*this, FsOperation::Join);
    data.reset();
    for (quint16 tag : tags) {
        Tlv tlv;
        const ErrorCode rc = readRegParam(tag, tlv);
        switch (rc) {
        case CoreApiConst::Success:
            data.store(tlv);
            break;
        case CoreApiConst::NotActivated:
        case CoreApiConst::NoAnswer:
        case CoreApiConst::ParseError:
            // Not activated, or no readable answer at all: asking the remaining tags would only
            // wait out their time-outs and report an empty registration as a success.
            return rc;
        default:
            break; // a parameter the register refuses does not spoil the others
        }
    }
    return CoreApiConst::Success;
}

// ---------------------------------------------------------------------------------------------
// Counters

ErrorCode FsWrapper::getCycleCounters(Counters &c)
{
    c = Counters();
    return readRecord(*this, GetCycleCounters, FsTimeouts::Normal, c);
}

ErrorCode FsWrapper::getFiscCounters(Counters &c)
{
    c = Counters();
    return readRecord(*this, GetFiscCounters, FsTimeouts::Normal, c);
}

ErrorCode FsWrapper::getTotalCounters(TotalCounters &c)
{
    c = TotalCounters();
    return readRecord(*this, GetTotalCounters, FsTimeouts::Normal, c);
}

ErrorCode FsWrapper::getSectionCounters(SectionCounters &c)
{
    c.clear();
    FsRep rep;
    const ErrorCode rc = exec(FsReq(GetSectionCounters), rep, FsTimeouts::Normal);
    if (rc != CoreApiConst::Success)
        return rc;
    if (rep.data().size() != SectionCountersSize)
        return CoreApiConst::ParseError;
    PayloadReader r(rep.data());
    for (int kind = 0; kind < 4; ++kind) {
        QList<FixNumber> sums;
        sums.reserve(20);
        for (int section = 0; section < 20; ++section)
            sums << r.money();
        c << sums;
    }
    return rc;
}

// ---------------------------------------------------------------------------------------------
// Catalogues, clock and settings

ErrorCode FsWrapper::readCatalog(int catalogType, int index, QByteArray &data)
{
    data.clear();
    FsRep rep;
    const ErrorCode rc =
        exec(FsReq(ReadCatalog, Payload().cashier(*this).u8(catalogType).u8(index).bytes()), rep, FsTimeouts::Normal);
    if (rc == CoreApiConst::Success)
        data = rep.data();
    return rc;
}

ErrorCode FsWrapper::writeCatalog(int catalogType, const QByteArray &data)
{
    FsRep rep;
    return exec(FsReq(WriteCatalog, Payload().cashier(*this).u8(catalogType).raw(data).bytes()), rep,
                FsTimeouts::Normal);
}

ErrorCode FsWrapper::readDt(QDateTime &dt)
{
    FsRep rep;
    const ErrorCode rc = exec(FsReq(ReadDt), rep, FsTimeouts::Normal);
    if (rc != CoreApiConst::Success)
        return rc;
    PayloadReader r(rep.data());
    dt = r.dateTime();
    qWarning() << "register clock" << dt << dt.toString(Qt::ISODate) << dt.timeSpec();
    return rc;
}

ErrorCode FsWrapper::writeDt(const QDateTime &dt)
{
    FsRep rep;
    return exec(FsReq(WriteDt, Payload().cashier(*this).u32(dateTimeToTime(dt)).bytes()), rep, FsTimeouts::Normal);
}

ErrorCode FsWrapper::readPrinterSettings(int id, QByteArray &data)
{
    data.clear();
    FsRep rep;
    const ErrorCode rc =
        exec(FsReq(ReadPrinterSettings, Payload().cashier(*this).u8(id).bytes()), rep, FsTimeouts::Normal);
    if (rc == CoreApiConst::Success)
        data = rep.data();
    return rc;
}

ErrorCode FsWrapper::writePrinterSettings(int id, const QByteArray &data)
{
    FsRep rep;
    return exec(FsReq(WritePrinterSettings, Payload().cashier(*this).u8(id).raw(data).bytes()), rep,
                FsTimeouts::Normal);
}

ErrorCode FsWrapper::readFrSettings(int id, QByteArray &data)
{
    data.clear();
    FsRep rep;
    const ErrorCode rc = exec(FsReq(ReadFrSettings, Payload().cashier(*this).u8(id).bytes()), rep, FsTimeouts::Normal);
    if (rc == CoreApiConst::Success)
        data = rep.data();
    return rc;
}

ErrorCode FsWrapper::writeFrSettings(int id, const QByteArray &data)
{
    FsRep rep;
    return exec(FsReq(WriteFrSettings, Payload().cashier(*this).u8(id).raw(data).bytes()), rep, FsTimeouts::Normal);
}

// ---------------------------------------------------------------------------------------------
// Printer and reports

ErrorCode FsWrapper::printLine(int attr0, int attr1, int attr2, int attr3, const QString &text)
{
    FsRep rep;
    const QByteArray payload = Payload().u8(attr0).u8(attr1).u8(attr2).u8(attr3).raw(frtext::toCp866(text)).bytes();
    return exec(FsReq(PrintLine, payload), rep, FsTimeouts::Normal);
}

ErrorCode FsWrapper::sendPrinterCmd(const QByteArray &cmd)
{
    FsRep rep;
    return exec(FsReq(SendPrinterCmd, cmd), rep, FsTimeouts::Normal);
}

ErrorCode FsWrapper::printerCut()
{
    FsRep rep;
    return exec(FsReq(PrinterCut), rep, FsTimeouts::Normal);
}

ErrorCode FsWrapper::printReport(int reportType, const QByteArray &params)
{
    FsRep rep;
    return exec(FsReq(PrintReport, Payload().cashier(*this).u8(reportType).raw(params).bytes()), rep,
                FsTimeouts::Normal);
}

ErrorCode FsWrapper::printDocCopy(int docNumber)
{
    FsRep rep;
    return exec(FsReq(PrintDocCopy, Payload().cashier(*this).i32(docNumber).bytes()), rep, FsTimeouts::Normal);
}

ErrorCode FsWrapper::printControlTape(int fromDoc, int &next)
{
    next = 0;
    Payload payload;
    payload.cashier(*this);
    if (fromDoc != 0)
        payload.i32(fromDoc);
    FsRep rep;
    const ErrorCode rc = exec(FsReq(PrintControlTape, payload.bytes()), rep, FsTimeouts::Long);
    // The register tells where it stopped also when it could not finish (out of paper, say);
    // a reply that failed its checks says nothing trustworthy about that.
    if (rep.parsingResult() == fs::Ok && rep.data().size() == 4)
        next = PayloadReader(rep.data()).get<qint32>();
    return rc;
}
