// Catalogue entries as the register sends them: cashier, department, discount.
// Input: one selector byte, then the entry's bytes.
#include "catalogentries.h"
#include "fuzzcommon.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 8192)
        return 0;
    const QByteArray bytes = fuzz::bytes(data + 1, size - 1);
    switch (data[0] % 3) {
    case 0: {
        CashierEntry e;
        e.fromBytes(bytes);
        const QByteArray out = e.toBytes();
        FUZZ_CHECK(out.size() == CashierEntry::Size);
        CashierEntry again;
        again.fromBytes(out);
        FUZZ_CHECK(again.toBytes() == out);
        (void)e.hasRight(CashierEntry::Receipts);
        break;
    }
    case 1: {
        SectionEntry e;
        const bool taken = e.fromBytes(bytes);
        FUZZ_CHECK(taken == (bytes.size() == SectionEntry::Size));
        if (taken)
            FUZZ_CHECK(e.toBytes() == bytes);
        (void)e.name();
        e.setName(e.name());
        FUZZ_CHECK(e.toBytes().size() == SectionEntry::Size);
        break;
    }
    default: {
        DiscountEntry e;
        e.fromBytes(bytes);
        const QByteArray out = e.toBytes();
        DiscountEntry again;
        again.fromBytes(out);
        FUZZ_CHECK(again.toBytes() == out);
        (void)e.name();
        break;
    }
    }
    return 0;
}
