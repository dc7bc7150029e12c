#pragma once

#include <QString>

#include "fixnumber.h"
#include "tlv.h"

// Tags of a receipt position and of the receipt's free-text attribute.
namespace ReceiptTags {
constexpr quint16 Item = 11059;
constexpr quint16 Code = 11163;
constexpr quint16 Barcode = 12000;
constexpr quint16 Name = 11030;
constexpr quint16 Unit = 12108;
constexpr quint16 Section = 11301;
constexpr quint16 Tax = 11199;
constexpr quint16 Price = 11079;
constexpr quint16 DiscountNumber = 11303;
constexpr quint16 DiscountSum = 11304;
constexpr quint16 Quantity = 11023;
constexpr quint16 ItemText = 11029;
constexpr quint16 ReceiptText = 12120;
} // namespace ReceiptTags

// Free texts of a receipt and of its positions are limited to this many characters.
constexpr int ReceiptTextMaxLength = 256;

// The longest texts of a position the register takes, in CP866 bytes (a byte a character).
namespace ReceiptLimits {
constexpr int Name = 128;
constexpr int Code = 64; // also the barcode and the unit
} // namespace ReceiptLimits

// One position of a receipt.
struct ReceiptItem
{
    QString code;
    QString barcode;
    QString name;
    QString unit;
    FixNumber price{100};
    FixNumber quantity{100000};
    quint8 tax = 0;
    quint8 section = 0;
    quint8 discountNumber = 0;
    FixNumber discountSum{100};
    QString textParam;

    // Structured record 11059. A discount goes out either as a sum (when one is entered)
    // or as a catalogue discount number, never both. Empty texts are left out.
    Tlv toTlv() const;
};

// The receipt's free-text attribute (12120); the text is cut to its first 256 characters.
Tlv receiptTextTlv(const QString &text);
