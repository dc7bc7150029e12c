// Tlv: a record from a reply (setRawData), its nested records (toList, toMap, the stream reader)
// and every typed conversion. Input: one mode byte, then the record. Mode bit 0 seals the length
// field, so that most inputs parse as one record and reach the conversions.
#include "fuzzcommon.h"
#include "tlv.h"

#include <QDataStream>

namespace {

void convert(const Tlv &t, int depth)
{
    bool ok = false;
    (void)t.toUInt8(&ok);
    (void)t.toUInt16(&ok);
    (void)t.toUInt32(&ok);
    (void)t.toUInt64(&ok);
    (void)t.toBool(&ok);
    const FixNumber n = t.toFixNumber(&ok);
    (void)n.toString(QLatin1Char('.'), QLatin1Char(' '));
    (void)t.toDateTime(&ok);
    (void)t.toDate(&ok);
    (void)t.toString();
    const QList<Tlv> list = t.toList(&ok);
    FUZZ_CHECK(ok == !list.isEmpty());
    if (ok) {
        // The members of a list are exactly its value, record after record.
        FUZZ_CHECK(tlvListToBytes(list) == t.value());
        const QMap<quint16, Tlv> map = t.toMap();
        FUZZ_CHECK(map.size() <= list.size());
        if (depth < 4) {
            for (const Tlv &member : list)
                convert(member, depth + 1);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 70000)
        return 0;
    QByteArray raw = fuzz::bytes(data + 1, size - 1);
    if ((data[0] & 1) && raw.size() >= 4 && raw.size() - 4 <= 0xFFFF) {
        const int len = raw.size() - 4;
        raw[2] = char(len & 0xFF);
        raw[3] = char(len >> 8);
    }

    Tlv t;
    if (t.setRawData(raw)) {
        // A record with tag 0 is read but is no valid record: it serialises to nothing.
        FUZZ_CHECK(t.rawData() == (t.isValid() ? raw : QByteArray()));
        convert(t, 0);
    } else {
        FUZZ_CHECK(t.tag() == 0 && t.value().isEmpty());
    }

    // The same bytes as a stream of records, as the document data of a reply is read.
    QDataStream ds(raw);
    ds.setByteOrder(QDataStream::LittleEndian);
    int records = 0;
    while (!ds.atEnd() && records < 10000) {
        Tlv r;
        ds >> r;
        if (ds.status() != QDataStream::Ok)
            break;
        ++records;
        convert(r, 3);
    }
    return 0;
}
