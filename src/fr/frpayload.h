#pragma once

// Command codes and the reader of reply payloads: shared by the command operations, which act on
// replies, and the frame decoder, which describes them to a person.

#include <QByteArray>
#include <QDataStream>
#include <QDateTime>

#include "fixnumber.h"
#include "frmsg.h"

namespace frcmd {

enum Command : quint8 {
    ReadCatalog = 0x01,
    WriteCatalog = 0x02,
    ReadDt = 0x03,
    WriteDt = 0x04,
    CancelDoc = 0x06,
    SendDocData = 0x07,
    StartRegistration = 0x08,
    CompleteRegistration = 0x09,
    GetCycleStatus = 0x10,
    StartCycleOpening = 0x11,
    CompleteCycleOpening = 0x12,
    StartCycleClosing = 0x13,
    CompleteCycleClosing = 0x14,
    StartReceipt = 0x15,
    CompleteReceipt = 0x16,
    StartArchiveClosing = 0x18,
    CompleteArchiveClosing = 0x19,
    PreprintRegistration = 0x20,
    GetFrStatus = 0x30,
    GetSerial = 0x31,
    GetFirmwareVersion = 0x33,
    GetCycleCounters = 0x36,
    GetFiscCounters = 0x37,
    GetTotalCounters = 0x38,
    GetSectionCounters = 0x39,
    PrintControlTape = 0x3A,
    WriteSerial = 0x3F,
    ReadFrSettings = 0x40,
    WriteFrSettings = 0x41,
    ReadRegParam = 0x44,
    StartIntroduction = 0xA2,
    CompleteIntroduction = 0xA3,
    StartPayout = 0xA4,
    CompletePayout = 0xA5,
    GetOpenDocData = 0xB0,
    PrintReport = 0xB1,
    PrintDocCopy = 0xB2,
    ReadPrinterSettings = 0xC1,
    WritePrinterSettings = 0xC2,
    PrintLine = 0xC3,
    SendPrinterCmd = 0xC4,
    PrinterCut = 0xC5,
};

} // namespace frcmd

// Reply fields are read in order; a reply shorter than its fields reads zeros past its end.
class PayloadReader
{
public:
    explicit PayloadReader(const QByteArray &payload) : s_(payload) { s_.setByteOrder(QDataStream::LittleEndian); }

    template <typename T> T get()
    {
        T v = 0;
        s_ >> v;
        if (s_.status() != QDataStream::Ok)
            v = 0;
        return v;
    }
    QDateTime dateTime() { return timeToDateTime(get<quint32>()); }
    FixNumber money() { return FixNumber(100, get<qint64>()); }

private:
    QDataStream s_;
};

// The numbers every completed fiscal document comes back with.
struct DocNumbers
{
    qint32 fd = 0;
    qint32 fp = 0;
    QDateTime dt;
    qint16 cycle = 0;

    void read(PayloadReader &r, bool withCycle)
    {
        fd = r.get<qint32>();
        fp = r.get<qint32>();
        dt = r.dateTime();
        if (withCycle)
            cycle = r.get<qint16>();
    }
    void copyTo(qint32 &outFd, qint32 &outFp, QDateTime &outDt) const
    {
        outFd = fd;
        outFp = fp;
        outDt = dt;
    }
};

