// The records decoded from replies: status, serial info, shift, counters, totals, and the
// registration data filled record by record. Input: one selector byte, then the payload.
#include "frrecords.h"
#include "fuzzcommon.h"

#include <QDataStream>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 70000)
        return 0;
    const QByteArray payload = fuzz::bytes(data + 1, size - 1);
    switch (data[0] % 6) {
    case 0: {
        FrStatus st;
        if (st.parse(payload))
            (void)toHtml(st);
        FUZZ_CHECK(st.parse(payload) == (payload.size() == FrStatus::Size));
        break;
    }
    case 1: {
        SerialInfo info;
        if (info.parse(payload))
            (void)toHtml(info);
        break;
    }
    case 2: {
        CycleStatus st;
        if (st.parse(payload)) {
            (void)toHtml(st);
            (void)st.cash().toString();
        }
        break;
    }
    case 3: {
        Counters c;
        if (c.parse(payload)) {
            (void)cycleCountersHtml(c);
            (void)fiscCountersHtml(c);
        }
        break;
    }
    case 4: {
        TotalCounters c;
        if (c.parse(payload))
            (void)toHtml(c);
        break;
    }
    default: {
        // The registration reply is a run of records, stored one by one into fixed fields.
        RegData reg;
        QDataStream ds(payload);
        ds.setByteOrder(QDataStream::LittleEndian);
        for (int n = 0; !ds.atEnd() && n < 10000; ++n) {
            Tlv t;
            ds >> t;
            if (ds.status() != QDataStream::Ok)
                break;
            reg.store(t);
        }
        (void)toHtml(reg);
        (void)reg.fiscalNumberText();
        (void)reg.innText();
        (void)reg.organisationText();
        (void)reg.organisationTypeText();
        (void)reg.addressText();
        for (const TaxEntry &tax : reg.taxes) {
            (void)tax.nameText();
            (void)tax.toTlv(0).rawData();
        }
        break;
    }
    }
    return 0;
}
