#include "receiptitem.h"

#include <QList>

namespace {

// Money and prices travel as their count of kopecks; a negative count has no wire form.
quint64 kopecks(const FixNumber &n)
{
    const qint64 raw = n.converted(100).raw();
    return raw > 0 ? quint64(raw) : 0;
}

void appendText(QList<Tlv> &list, quint16 tag, const QString &text)
{
    if (!text.isEmpty())
        list << Tlv(tag, text);
}

} // namespace

Tlv ReceiptItem::toTlv() const
{
    QList<Tlv> members;
    appendText(members, ReceiptTags::Code, code);
    appendText(members, ReceiptTags::Barcode, barcode);
    appendText(members, ReceiptTags::Name, name);
    appendText(members, ReceiptTags::Unit, unit);
    members << Tlv(ReceiptTags::Section, section);
    members << Tlv(ReceiptTags::Tax, tax);
    members << Tlv(ReceiptTags::Price, kopecks(price));
    const bool bySum = discountSum.raw() > 0;
    if (discountNumber != 0 && !bySum)
        members << Tlv(ReceiptTags::DiscountNumber, discountNumber);
    if (bySum)
        members << Tlv(ReceiptTags::DiscountSum, kopecks(discountSum));
    members << Tlv(ReceiptTags::Quantity, quantity);
    appendText(members, ReceiptTags::ItemText, textParam.left(ReceiptTextMaxLength));
    return Tlv(ReceiptTags::Item, members);
}

Tlv receiptTextTlv(const QString &text)
{
    return Tlv(ReceiptTags::ReceiptText, text.left(ReceiptTextMaxLength));
}
