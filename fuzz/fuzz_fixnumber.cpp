// FixNumber: the byte form inside TLV values (fromBytes) and the text a user types (parse,
// setValue, the text constructor). Input: one mode byte, then the bytes or the text.
#include "fixnumber.h"
#include "fuzzcommon.h"

#include <QString>

namespace {

void exercise(const FixNumber &n)
{
    (void)n.toString(QLatin1Char(','), QLatin1Char(' '));
    (void)n.toTrimmedString(QLatin1Char('.'));
    (void)n.toDouble();
    const FixNumber money = n.converted(100);
    (void)money.toString(QLatin1Char('.'), QChar());
    (void)n.converted(1000).converted(1);
    (void)(n + money);
    (void)(n - money);
    (void)(n < money);
    (void)(n == money);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 4096)
        return 0;
    const QByteArray rest = fuzz::bytes(data + 1, size - 1);
    if ((data[0] & 1) == 0) {
        const FixNumber n = FixNumber::fromBytes(rest);
        exercise(n);
        // The byte form of a decoded number decodes to the same number.
        const FixNumber again = FixNumber::fromBytes(n.toBytes());
        FUZZ_CHECK(again.raw() == n.raw());
        FUZZ_CHECK(again.divisor() == n.divisor());
        return 0;
    }
    const QString text = QString::fromUtf8(rest);
    FixNumber parsed;
    if (parsed.parse(text))
        exercise(parsed);
    const quint32 divisors[] = {1, 100, 1000, 0, 1000000000u};
    const FixNumber typed(divisors[(data[0] >> 1) % 5], text);
    exercise(typed);
    FixNumber set(100, qint64(data[0]) * 12345);
    set.setValue(text);
    exercise(set);
    set.setDecimals(int(data[0] >> 4) - 3);
    exercise(set);
    return 0;
}
