#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>
#include <QString>

namespace CoreApiConst {
// Result of every command: 0 success, 1..54 the register's own codes,
// 252..255 assigned on this side (see errorText()).
enum ErrorCode : quint8 {
    Success = 0,
    NoUnique = 1,
    NoCommand = 2,
    WrongCrc = 9,
    UnsupportedCommand = 10,
    WrongLength = 11,
    NoSerial = 13,
    AccessDenied = 16,
    NoData = 17,
    AuthError = 18,
    UnsupportedCatalog = 20,
    WrongData = 22,
    WrongDate = 23,
    SerialAlreadySet = 24,
    CycleMustBeClosed = 26,
    CycleMustBeOpen = 27,
    DocMustBeClosed = 28,
    DocMustBeOpen = 29,
    WrongDocType = 30,
    ArchiveClosed = 31,
    ReRegLimit = 33,
    UnsupportedTag = 34,
    InvalidTagValue = 35,
    NotActivated = 38,
    WrongCashierName = 39,
    NotEnoughCash = 40,
    WrongReceiptType = 42,
    WrongSection = 43,
    WrongDiscount = 44,
    WrongTax = 45,
    NotEnoughPayment = 47,
    TooMuchPayment = 48,
    CycleOver24h = 51,
    PrinterNotAnswering = 53,
    NoPaper = 54,
    ParseError = 252,   // reply not parsed, or its payload of the wrong size
    NoAnswer = 253,     // preset in every reply before reading: nothing arrived
    Unknown254 = 254,
    Inadequate = 255,
};
} // namespace CoreApiConst

namespace fs {
enum RepParsingRes : quint8 {
    Ok = 0,
    WrongStartByte = 1,
    TooShort = 2,
    WrongLength = 3,
    WrongCrc = 4,
    NotParsed = 255,
};
} // namespace fs

// CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF, no reflection, no final XOR).
class Crc16
{
public:
    Crc16();
    // One table for the process: every frame written, parsed or collected uses it.
    static const Crc16 &shared();
    quint16 calc(const char *data, int length, bool useTable = true) const;
    quint16 calc(const QByteArray &data, bool useTable = true) const
    {
        return calc(data.constData(), data.size(), useTable);
    }
    // One more byte after `crc` (the table form): what calc does for each byte.
    quint16 step(quint16 crc, quint8 byte) const { return quint16((crc << 8) ^ table_[((crc >> 8) ^ byte) & 0xFF]); }
    // The CRC of the bytes [a, b) of some data, from the CRCs of its first a and its first b
    // bytes; in steps that grow with the logarithm of b - a, so that many overlapping ranges of
    // one buffer can be checked without going over their bytes again.
    static quint16 ofRange(quint16 prefixA, quint16 prefixB, qint64 length);

private:
    quint16 table_[256];
};

// One frame: 04, length (code + unique + payload), code, unique, payload, CRC-16.
class FsMsg
{
public:
    static constexpr quint8 StartByte = 0x04;
    static constexpr int MinFrameSize = 10;
    static constexpr int MaxPayloadSize = 65530;

    FsMsg() = default;
    FsMsg(quint8 code, const QByteArray &payload) : code_(code), payload_(payload) {}
    FsMsg(const FsMsg &) = default;
    FsMsg &operator=(const FsMsg &) = default;

    virtual bool isValid() const = 0;
    virtual QByteArray rawData() const;
    virtual fs::RepParsingRes setRawData(const QByteArray &raw);
    virtual ~FsMsg() = default;
    virtual bool hasData() const { return !payload_.isEmpty(); }
    // setRawData without the warnings: for code that only describes a frame, so that the message
    // log does not repeat every frame the transport has already parsed.
    fs::RepParsingRes parseQuietly(const QByteArray &raw);

    quint8 code() const { return code_; }
    void setCode(quint8 code) { code_ = code; }
    quint32 unique() const { return unique_; }
    void setUnique(quint32 unique) { unique_ = unique; }
    const QByteArray &data() const { return payload_; }
    void setData(const QByteArray &payload) { payload_ = payload; }

    // Fresh exchange number: the low 32 bits of the local clock in ms, never 0 and
    // never equal to the previous one handed out in this process.
    quint32 newUnique();

protected:
    fs::RepParsingRes parse(const QByteArray &raw, bool warn);

    quint8 code_ = 0x7F;
    quint32 unique_ = 0;
    QByteArray payload_;
};

class FsReq : public FsMsg
{
public:
    FsReq() : FsMsg(0x7F, QByteArray()) {}
    explicit FsReq(quint8 code) : FsMsg(code, QByteArray()) {}
    FsReq(quint8 code, const QByteArray &payload) : FsMsg(code, payload) {}
    bool isValid() const override { return true; }
};

class FsRep : public FsMsg
{
public:
    FsRep() : FsMsg(0x7F, QByteArray()) {}
    bool isValid() const override;
    fs::RepParsingRes setRawData(const QByteArray &raw) override;
    fs::RepParsingRes parsingResult() const { return parsingResult_; }
    // FD (signed) and FP (unsigned) at the start of the payload.
    fs::RepParsingRes getDocResult(qint32 &fd, quint32 &fp) const;
    // The register's text for the reply's result code; empty for codes without one.
    QString errorText() const;
    // Microseconds from the first byte of the request written to the last byte of this reply
    // read; -1 when no reply was timed.
    qint64 roundTripUs() const { return roundTripUs_; }
    void setRoundTripUs(qint64 us) { roundTripUs_ = us; }
    // Bytes that came back from the line during the exchange, noise and damaged frames included:
    // 0 means the register kept silent (or nothing was sent), which is not the same failure as an
    // answer that could not be read.
    qint64 bytesReceived() const { return bytesReceived_; }
    void setBytesReceived(qint64 n) { bytesReceived_ = n; }
    // What a network link said about this exchange when it failed: the connection refused, its
    // host not found, no connection within the time-out, the connection lost on the way. Empty
    // when the link was not at fault (and always on a serial port).
    QString linkError() const { return linkError_; }
    void setLinkError(const QString &text) { linkError_ = text; }

private:
    fs::RepParsingRes parsingResult_ = fs::NotParsed;
    qint64 roundTripUs_ = -1;
    qint64 bytesReceived_ = 0;
    QString linkError_;
};

// Text of a result code, looked up as an unsigned byte; empty when the code has none.
QString errorText(quint8 code);

// Device seconds (local wall-clock time counted as if it were UTC) to a local QDateTime.
QDateTime timeToDateTime(quint32 seconds);
// The reverse: the wall-clock value of dt counted as UTC seconds.
quint32 dateTimeToTime(const QDateTime &dt);

Q_DECLARE_METATYPE(FsReq)
Q_DECLARE_METATYPE(FsRep)

// Registers "FsReq" and "FsRep" once per process; safe to call from any thread.
void registerFsMetaTypes();
