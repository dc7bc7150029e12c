#pragma once

// Inside of the substitute register: its whole state and the handlers of its commands.
// Only the model's own .cpp files include this header.

#include <array>
#include <cstddef>

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include "archive.h"
#include "fiscalmodel.h"
#include "tapeprinter.h"

namespace fm {

constexpr int CashierCount = 20;
constexpr int SectionCount = 20;
constexpr int DiscountCount = 8;
constexpr int TaxCount = 5;
constexpr int SectionEntrySize = 128;
constexpr int CashierNameSize = 256;
constexpr int DiscountNameSize = 128;
constexpr int MaxCashierName = 64;          // longer names do not fit the receipt header
constexpr qint64 MaxSum = 10000000000000LL; // 100 000 000 000.00: ceiling of a receipt, a drawer, a payment
constexpr qint64 ShiftMaxSeconds = 24 * 3600;
// Shift numbers and the shift and cash-move counts travel as 16-bit fields.
constexpr qint64 MaxShortCount = 32767;

// Adds v to a counter that holds at most max: false, and the counter untouched, when the result
// would pass max or fall below zero. Counters are refused at their ceiling, never wrapped.
template <typename T> bool addTo(T &counter, qint64 v, qint64 max)
{
    qint64 r = 0;
    if (__builtin_add_overflow(qint64(counter), v, &r) || r < 0 || r > max)
        return false;
    counter = T(r);
    return true;
}

// Rights bits of a cashier.
enum Right : quint16 {
    RightReceipts = 0x0001,
    RightReports = 0x0002,
    RightSettings = 0x0004,
    RightActivation = 0x0008,
    RightReturns = 0x0010,
    RightWriteSerial = 0x0020,
    RightCatalogs = 0x0080,
    RightCashiers = 0x0100,
    AllRights = 0x01FF,
};

// Types of the document open in the register (the status byte "open document").
enum DocType : quint8 {
    DocNone = 0,
    DocRegistration = 1,
    DocShiftOpen = 2,
    DocReceipt = 3,
    DocShiftClose = 4,
    DocCashIn = 5,
    DocCashOut = 6,
    DocArchiveClose = 7,
};

// Operation kinds of receipts and the groups of the counters.
enum ReceiptType : quint8 { Sale = 0, Purchase = 1, SaleReturn = 2, PurchaseReturn = 3 };

struct Cashier
{
    quint16 rights = 0;
    qint32 password = 0;
    QString name;
    bool isEmpty() const { return rights == 0 && password == 0 && name.isEmpty(); }
};

struct Discount
{
    qint8 kind = 2; // 0 amount, 1 percent, anything else: not defined
    qint64 value = 0;
    QByteArray name; // CP866, as written
    bool isDefined() const { return kind == 0 || kind == 1; }
};

struct OperationGroup
{
    qint32 count = 0;
    qint64 sum = 0;
    qint64 cashSum = 0;
    qint64 cashlessSum = 0;
    qint64 otherSums[3] = {}; // discounts given, change given, positions sold (a count)
    qint64 taxSums[TaxCount] = {};
};

struct CounterSet
{
    qint32 shifts = 0; // shift number (shift set) or number of shifts
    qint32 cashInCount = 0;
    qint32 cashOutCount = 0;
    qint64 cashInSum = 0;
    qint64 cashOutSum = 0;
    qint32 receiptCount = 0;
    OperationGroup ops[4];
    void clear() { *this = CounterSet(); }
};

struct Position
{
    QString name;
    quint8 section = 0;
    quint8 tax = 0;
    qint64 price = 0; // kopecks
    qint64 quantityRaw = 0;
    quint32 quantityDivisor = 1;
    qint64 discount = 0; // kopecks
    qint64 sum = 0;      // kopecks, after the discount
    QStringList texts;   // printed under the position
};

struct OpenDocument
{
    quint8 type = DocNone;
    quint8 receiptType = 0;
    int cashier = 0;
    QString cashierName;
    QList<Position> positions;
    qint64 total = 0;
    int operations = 0;
    QStringList lines;                // body printed at completion (text attributes, registration data)
    QMap<quint16, QByteArray> params; // registration data received so far
    bool isOpen() const { return type != DocNone; }
};

struct Shift
{
    bool open = false;
    qint32 number = 0;
    quint32 openTime = 0;
    quint32 closeTime = 0;
    qint32 receipts = 0;
    qint32 firstDoc = 0;
    qint32 lastDoc = 0;
};

using Result = FiscalModel::Result;

// Little-endian payload builder and reader; the reader never reads past the end.
class Writer
{
public:
    Writer &u8(quint8 v);
    Writer &u16(quint16 v);
    Writer &u32(quint32 v);
    Writer &u64(quint64 v);
    Writer &i16(qint16 v) { return u16(quint16(v)); }
    Writer &i32(qint32 v) { return u32(quint32(v)); }
    Writer &i64(qint64 v) { return u64(quint64(v)); }
    Writer &bytes(const QByteArray &b, int width = -1); // zero-padded or cut to width when given
    QByteArray data;
};

class Reader
{
public:
    explicit Reader(const QByteArray &data) : data_(data) {}
    bool has(int n) const { return pos_ + n <= data_.size(); }
    int left() const { return data_.size() - pos_; }
    quint8 u8();
    quint16 u16();
    quint32 u32();
    quint64 u64();
    qint16 i16() { return qint16(u16()); }
    qint32 i32() { return qint32(u32()); }
    qint64 i64() { return qint64(u64()); }
    QByteArray bytes(int n);
    QByteArray rest() { return bytes(left()); }

private:
    QByteArray data_;
    int pos_ = 0;
};

QByteArray toCp866(const QString &text);
QString fromCp866(const QByteArray &bytes);
// Fiscal sign of a document: CRC-32 (the common reflected 0xEDB88320 form) of its bytes.
quint32 crc32(const QByteArray &data);
// Wall-clock value of a local time as device seconds (the wall clock counted as UTC), and back.
quint32 toDeviceTime(const QDateTime &local);
QDateTime fromDeviceTime(quint32 seconds);
QString formatDeviceTime(quint32 seconds);
QString formatMoney(qint64 kopecks);
// Name of a department from its 128-byte catalogue entry.
QString sectionName(const QByteArray &entry);
// Ten digits, not all zeros.
bool validFactoryNumber(const QString &digits);

// One tax of the registration as the register uses it.
struct Tax
{
    quint8 type = 3;  // 0 not charged, 1 included, 2 charged; 3 not registered
    quint16 rate = 0; // hundredths of a percent
    QString name;
    bool isValid() const { return type < 3 && rate < 10000; }
};

// One archived document as JSON (the state file's archive and the archive journal) and back;
// archiveDocFromJson names the failing field under path in *error.
QJsonObject archiveDocToJson(const ArchiveDoc &doc);
bool archiveDocFromJson(const QJsonValue &value, const QString &path, ArchiveDoc &doc, QString *error);
// A JSON text that is one object with no key given twice in any object; *error says where not.
bool parseJsonObject(const QByteArray &text, QJsonObject &object, QString *error);
// The result code of a document the archive holds but that is not what was signed.
constexpr quint8 ArchiveDamaged = 4;

// Commands whose success may change the saved state; the others are never saved after.
bool changesState(quint8 command);

} // namespace fm

struct FiscalModel::State
{
    // Identity and hardware.
    quint16 modelCode = 0x0105;
    QString modelName;
    quint8 firmware[3] = {2, 4, 17};
    QString factoryNumber;  // empty: not set
    qint64 clockOffset = 0; // register seconds minus host seconds
    bool sdCard = true;
    bool activated = false;
    int activationCount = 0;
    int activationLimit = 12;
    bool archiveClosed = false;
    QMap<quint16, QByteArray> regParams; // every registration TLV held, by tag
    qint32 docsLeft = 250000;

    // Documents.
    fm::Shift shift;
    qint32 lastDocNumber = 0;
    quint32 lastDocTime = 0;
    qint32 lastReceiptNumber = 0;
    fm::OpenDocument doc;
    qint64 cash = 0;

    // Counters.
    fm::CounterSet shiftCounters;
    fm::CounterSet fiscalCounters;
    fm::CounterSet grossCounters;
    qint64 sectionSums[4][fm::SectionCount] = {};
    // The three sets every document adds to (the shift's, since registration, gross), worked on
    // as a copy and taken back only when every addition fits.
    std::array<fm::CounterSet, 3> counterSets() const { return {shiftCounters, fiscalCounters, grossCounters}; }
    void setCounterSets(const std::array<fm::CounterSet, 3> &sets)
    {
        shiftCounters = sets[0];
        fiscalCounters = sets[1];
        grossCounters = sets[2];
    }

    // Catalogues and settings.
    fm::Cashier cashiers[fm::CashierCount];
    QByteArray sections[fm::SectionCount]; // 128 bytes each, as written
    fm::Discount discounts[fm::DiscountCount];
    int paperWidthMm = 80;
    int rounding = 0; // 0 half up, 1 half to even

    fm::Archive archive;

    // Not part of the saved state: the test and user controls of this run.
    QDateTime (*hostClock)() = nullptr;
    quint8 printerFault = 0;
    quint32 conditions = 0;
    int tapePaperOut = -1; // documents a control tape prints before the paper runs out; -1: it does not
    int tapePageLimit = 10;
    quint64 revision = 0;
    QMap<quint8, quint64> executed;
    QString archiveTrouble; // why the last command met a document that is not what was signed
    TapePrinter printer;

    State();
    explicit State(std::nullptr_t); // members at their initial values, nothing else
    void reset();
    void applyFresh();
    void applyReady();
    QJsonObject toJson(bool withArchive = true) const;
    // Takes the state from json only when every field holds; otherwise *error names the first
    // field that does not ("openDocument.positions[0].section: ...") and nothing changes. With
    // journal, the archive is that journal instead of the file's "archive".
    bool fromJson(const QJsonObject &json, QString *error, const fm::Archive *journal = nullptr);

    // Clock.
    quint32 hostNow() const;
    quint32 now() const;

    FiscalModel::Result execute(quint8 command, const QByteArray &payload);

    // Shared checks; each returns 0 or the refusal code.
    quint8 authorise(fm::Reader &r, quint16 right);
    quint8 checkFiscal(bool needActivation) const;
    quint8 readName(fm::Reader &r, QString &name) const;
    quint8 printerCheck() const;
    // Room for one more document: its number, the documents left (6).
    quint8 documentRoom() const;
    // A refusal for a document of the archive that is not what was signed: its number goes back.
    fm::Result damaged(const fm::Archive::Damage &damage);
    int paperColumns() const { return paperWidthMm > 60 ? 48 : 32; }

    // Information (fiscalinfo.cpp).
    fm::Result status() const;
    fm::Result identity() const;
    fm::Result firmwareVersion() const;
    fm::Result shiftState() const;
    fm::Result readRegParam(const QByteArray &p) const;
    fm::Result counters(bool shiftSet) const;
    fm::Result totalCounters() const;
    fm::Result sectionCounters() const;
    fm::Result readCatalog(const QByteArray &p);
    fm::Result writeCatalog(const QByteArray &p);
    fm::Result readClock() const;
    fm::Result writeClock(const QByteArray &p);
    fm::Result writeSerial(const QByteArray &p);
    fm::Result readSettings(const QByteArray &p, bool printerBlock);
    fm::Result writeSettings(const QByteArray &p, bool printerBlock);
    QByteArray cashierBytes(int index) const;
    QByteArray discountBytes(int index) const;

    // Documents (fiscaldocs.cpp).
    fm::Result cancelDocument();
    fm::Result startDocument(quint8 command, const QByteArray &p);
    fm::Result documentData(const QByteArray &p);
    fm::Result completeRegistration(const QByteArray &p, bool preview);
    fm::Result completeArchiveClosing(const QByteArray &p);
    fm::Result completeShiftOpening(const QByteArray &p);
    fm::Result completeShiftClosing(const QByteArray &p);
    fm::Result completeCashMove(const QByteArray &p, bool in);
    fm::Result completeReceipt(const QByteArray &p);
    fm::Result openDocData() const;
    fm::Tax tax(int index) const; // index 0 to 4
    quint8 receiptPosition(const QByteArray &value, qint64 runningTotal, fm::Position &pos) const;
    quint8 registrationParam(quint16 tag, const QByteArray &value, QString &line) const;
    qint64 roundDiv(__int128 numerator, qint64 denominator) const;
    // Gives the open document its number, sign and date, archives it, prints it and closes it.
    fm::ArchiveDoc &finishDocument(const QString &title, QStringList body);
    QStringList documentHeader() const;

    // Printing and reports (fiscalprint.cpp).
    fm::Result printLine(const QByteArray &p);
    fm::Result printerCommand(const QByteArray &p);
    fm::Result cut();
    fm::Result report(const QByteArray &p);
    fm::Result documentCopy(const QByteArray &p);
    fm::Result controlTape(const QByteArray &p);
    QStringList countersLines(const fm::CounterSet &c, bool withCash, bool withTaxes) const;
    QStringList zReportLines() const;
    void printDocument(const fm::ArchiveDoc &doc, bool copy);
};
