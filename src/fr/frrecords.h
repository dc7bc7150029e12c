#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include "fixnumber.h"
#include "frtext.h"
#include "tlv.h"

// Reply of 0x30; the payload must be exactly 31 bytes.
struct FrStatus
{
    enum Flag : quint16 {
        SdCard = 0x0001,
        Activated = 0x0002,
        ForeignSdCard = 0x0004,
        CycleOpen = 0x0008,
        ArchiveOk = 0x0010,
        ArchiveClosed = 0x0020,
        EepromError = 0x0040,
        PrinterNotAnswering = 0x1000,
        PaperLow = 0x2000,
        NoPaper = 0x4000,
    };
    static constexpr int Size = 31;

    QString factoryNumber;
    quint16 flags = 0;
    qint8 activationCount = 0;
    qint8 activationLimit = 0;
    qint16 cycleNumber = 0;
    qint32 lastDocNumber = 0;
    quint32 lastDocDateTime = 0;
    qint16 lastReceiptNumber = 0;
    quint8 openDocType = 0;
    qint32 docsLeft = 0;

    bool parse(const QByteArray &payload);
    QDateTime lastDocDate() const;
};

// Reply of 0x31.
struct SerialInfo
{
    quint16 modelCode = 0;
    QString factoryNumber;
    QString modelName;

    bool parse(const QByteArray &payload);
};

// Reply of 0x10; missing bytes read as 0.
struct CycleStatus
{
    qint8 isOpen = 0;
    qint16 cycleNumber = 0;
    qint16 receiptCount = 0;
    qint32 firstDocNumber = 0;
    quint32 openDateTime = 0;
    qint32 lastDocNumber = 0;
    quint32 closeDateTime = 0;
    qint64 cashRaw = 0;

    bool parse(const QByteArray &payload);
    QDateTime openDate() const;
    QDateTime closeDate() const;
    FixNumber cash() const { return FixNumber(100, cashRaw); }
};

// One tax of the registration: type in bits 14-15, rate (hundredths of a percent) in bits 0-13.
struct TaxEntry
{
    static constexpr int NameSize = 30;
    static constexpr quint8 EmptyType = 3;

    quint16 rateWord = quint16(EmptyType) << 14;
    char name[NameSize] = {};

    quint8 type() const { return quint8(rateWord >> 14); }
    void setType(quint8 type) { rateWord = quint16((rateWord & 0x3FFF) | (quint16(type & 0x3) << 14)); }
    quint16 rate() const { return rateWord & 0x3FFF; }
    void setRate(quint16 rate) { rateWord = quint16((rateWord & 0xC000) | (rate & 0x3FFF)); }
    FixNumber rateNumber() const { return FixNumber(100, qint64(rate())); }
    // A name longer than 30 CP866 bytes is stored empty.
    void setName(const QString &text);
    QString nameText() const;
    bool isValid() const { return rate() < 10000 && type() < 3; }
    void clear();
    // Structured record 13105 + index holding 13102 type, 13103 rate, 13104 name;
    // an index of 5 or more gives the empty record.
    Tlv toTlv(int index) const;
};

// Registration parameters, filled tag by tag.
struct RegData
{
    static constexpr int TaxCount = 5;

    char fiscalNumber[16] = {};
    char inn[12] = {};
    char organisation[256] = {};
    char organisationType[256] = {};
    char address[256] = {};
    TaxEntry taxes[TaxCount];
    quint32 regDateTime = 0;

    void reset();
    void store(const Tlv &tlv);

    QString fiscalNumberText() const;
    QString innText() const;
    QString organisationText() const;
    QString organisationTypeText() const;
    QString addressText() const;
    QDateTime regDate() const;
};

// Each record has two renderings made from the same lines: HTML for the status pane (one <pre>
// paragraph, the dates as dd.MM.yyyy hh:mm:ss) and plain text for a terminal (a fact a line, the
// dates in ISO 8601, nothing after a line's last character, names as they are).
QString toHtml(const FrStatus &st);
QString toText(const FrStatus &st);
QString toHtml(const SerialInfo &info);
QString toText(const SerialInfo &info);
QString toHtml(const CycleStatus &st);
QString toText(const CycleStatus &st);
QString toHtml(const RegData &data);
QString toText(const RegData &data);

// One operation group of the counters (kinds: 0 sale, 1 purchase, 2 sale return, 3 purchase return).
struct OperationCounters
{
    quint8 kind = 0;
    qint32 count = 0;
    qint64 sum = 0;
    qint64 cashSum = 0;
    qint64 cashlessSum = 0;
    qint64 otherSums[3] = {};
    qint64 taxSums[5] = {};
};

// Replies of 0x36 (shift) and 0x37 (since the last registration): 406 bytes on the wire.
struct Counters
{
    static constexpr int WireSize = 406;
    static constexpr int MaxSize = 424;

    qint16 cycleNumber = 0;
    qint16 cashInCount = 0;
    qint16 cashOutCount = 0;
    qint64 cashInSum = 0;
    qint64 cashOutSum = 0;
    qint32 receiptCount = 0;
    qint64 cashInDrawer = 0;
    OperationCounters operations[4];

    bool parse(const QByteArray &payload);
};

// Reply of 0x38: 238 bytes on the wire.
struct TotalCounters
{
    static constexpr int WireSize = 238;
    static constexpr int MaxSize = 256;

    qint16 cycleNumber = 0;
    qint16 cashInCount = 0;
    qint16 cashOutCount = 0;
    qint64 cashInSum = 0;
    qint64 cashOutSum = 0;
    qint32 receiptCount = 0;
    OperationCounters operations[4]; // taxSums unused here

    bool parse(const QByteArray &payload);
};

// Reply of 0x39: four lists (sales, purchases, sale returns, purchase returns) of 20 sums.
using SectionCounters = QList<QList<FixNumber>>;
constexpr int SectionCountersSize = 640;

QString cycleCountersHtml(const Counters &c);
QString cycleCountersText(const Counters &c);
QString fiscCountersHtml(const Counters &c);
QString fiscCountersText(const Counters &c);
QString toHtml(const TotalCounters &c);
QString toText(const TotalCounters &c);
// The department table: each kind of operation with the turnover of all 20 departments.
QString sectionCountersHtml(const SectionCounters &c);
QString sectionCountersText(const SectionCounters &c);
