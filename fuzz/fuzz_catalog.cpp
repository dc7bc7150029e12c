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
        // The name is read with its zero bytes removed and trimmed, and written cut to 255 bytes:
        // a second round may trim what the cut left at the end, so only the layout is checked.
        CashierEntry e;
        e.fromBytes(bytes);
        const QByteArray out = e.toBytes();
        FUZZ_CHECK(out.size() == CashierEntry::Size);
        FUZZ_CHECK(out.at(CashierEntry::Size - 1) == '\0');
        CashierEntry again;
        again.fromBytes(out);
        FUZZ_CHECK(again.number() == e.number() && again.rights() == e.rights() && again.password() == e.password());
        FUZZ_CHECK(again.toBytes().size() == CashierEntry::Size);
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
        FUZZ_CHECK(out.size() >= DiscountEntry::HeaderSize + DiscountEntry::NameAreaSize);
        DiscountEntry again;
        again.fromBytes(out);
        FUZZ_CHECK(again.number() == e.number() && again.kind() == e.kind() && again.value() == e.value());
        (void)e.name();
        break;
    }
    }
    return 0;
}
