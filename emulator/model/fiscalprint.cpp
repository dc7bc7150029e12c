// The printer: text lines, raw commands, the cutter, reports, copies and the control tape.

#include <limits>

#include "fiscalstate.h"
#include "frconst.h"
#include "frmsg.h"

using namespace fm;
using Code = CoreApiConst::ErrorCode;

namespace {

const char *const KindNames[4] = {"ПРОДАЖ", "ПОКУПОК", "ВОЗВРАТОВ ПРОДАЖ", "ВОЗВРАТОВ ПОКУПОК"};
const char *const SectionKindNames[4] = {"ПРОДАЖИ", "ПОКУПКИ", "ВОЗВРАТЫ ПРОДАЖ", "ВОЗВРАТЫ ПОКУПОК"};

QString money(qint64 v)
{
    return QStringLiteral("=") + formatMoney(v);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Plain printing

Result FiscalModel::State::printLine(const QByteArray &p)
{
    if (p.size() < 4)
        return {Code(19), {}};
    TapePrinter::Style style;
    style.spacing = quint8(p.at(0));
    style.justify = quint8(p.at(1));
    style.font = quint8(p.at(2));
    style.flags = quint8(p.at(3));
    if (style.spacing > 5 || style.justify > 2 || style.font > 99)
        return {Code::WrongData, {}};
    if (const quint8 code = printerCheck())
        return {code, {}};
    printer.print(fromCp866(p.mid(4)), style);
    return {0, {}};
}

Result FiscalModel::State::printerCommand(const QByteArray &p)
{
    if (const quint8 code = printerCheck())
        return {code, {}};
    // The paper shows what the printer was told, so a user can see the bytes arrive.
    QStringList out;
    out << QStringLiteral("<КОМАНДА ПРИНТЕРУ, %1 БАЙТ>").arg(p.size());
    const int perLine = qMax(1, (printer.columns() + 1) / 3);
    for (int i = 0; i < p.size(); i += perLine)
        out << QString::fromLatin1(p.mid(i, perLine).toHex(' ').toUpper());
    printer.print(out);
    return {0, {}};
}

Result FiscalModel::State::cut()
{
    if (const quint8 code = printerCheck())
        return {code, {}};
    printer.cut();
    return {0, {}};
}

void FiscalModel::State::printDocument(const ArchiveDoc &a, bool copy)
{
    if (copy)
        printer.center(QStringLiteral("*** КОПИЯ ***"));
    printer.print(a.lines);
    printer.cut();
}

// ---------------------------------------------------------------------------------------------
// Counters as printed

QStringList FiscalModel::State::countersLines(const CounterSet &c, bool withCash, bool withTaxes) const
{
    QStringList out;
    auto pair = [this, &out](const QString &l, const QString &r) {
        out << printer.layout(printer.pairLine(l, r), TapePrinter::Style());
    };
    pair(QStringLiteral("ВНЕСЕНИЙ %1").arg(c.cashInCount), money(c.cashInSum));
    pair(QStringLiteral("ВЫПЛАТ %1").arg(c.cashOutCount), money(c.cashOutSum));
    if (withCash)
        pair(QStringLiteral("НАЛИЧНОСТЬ В КАССЕ"), money(cash));
    pair(QStringLiteral("ЧЕКОВ"), QString::number(c.receiptCount));
    for (int k = 0; k < 4; ++k) {
        const OperationGroup &g = c.ops[k];
        if (g.count == 0)
            continue;
        pair(QStringLiteral("%1 %2").arg(QString::fromUtf8(KindNames[k])).arg(g.count), money(g.sum));
        pair(QStringLiteral("  НАЛИЧНЫМИ"), money(g.cashSum));
        pair(QStringLiteral("  БЕЗНАЛИЧНЫМИ"), money(g.cashlessSum));
        if (g.otherSums[0] != 0)
            pair(QStringLiteral("  СКИДКИ"), money(g.otherSums[0]));
        if (!withTaxes)
            continue;
        for (int i = 0; i < TaxCount; ++i) {
            const Tax t = tax(i);
            if (!t.isValid() && g.taxSums[i] == 0)
                continue;
            pair(QStringLiteral("  %1%2").arg(t.name, t.type == 0 ? QStringLiteral(" (ОБОРОТ)") : QString()),
                 money(g.taxSums[i]));
        }
    }
    return out;
}

QStringList FiscalModel::State::zReportLines() const
{
    QStringList out;
    out << printer.pairLine(QStringLiteral("СМЕНА"), QString::number(shift.number));
    out << printer.pairLine(QStringLiteral("ОТКРЫТА"), formatDeviceTime(shift.openTime));
    out << countersLines(shiftCounters, true, true);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Reports

Result FiscalModel::State::report(const QByteArray &p)
{
    Reader r(p);
    if (const quint8 code = authorise(r, RightReports))
        return {code, {}};
    if (!r.has(1))
        return {Code(19), {}};
    const int type = r.u8();
    if (type < 1 || type > 6)
        return {Code::WrongDocType, {}};
    quint32 fromTime = 0, toTime = 0;
    int fromShift = 0, toShift = 0;
    if (type == 5) {
        if (r.left() != 8)
            return {Code::WrongData, {}};
        fromTime = r.u32();
        toTime = r.u32();
        if (fromTime > toTime)
            return {Code::WrongData, {}};
    } else if (type == 6) {
        if (r.left() != 4)
            return {Code::WrongData, {}};
        fromShift = r.i16();
        toShift = r.i16();
        if (fromShift < 0 || fromShift > toShift)
            return {Code::WrongData, {}};
    }
    if (doc.isOpen())
        return {Code::DocMustBeClosed, {}};
    if (const quint8 code = printerCheck())
        return {code, {}};

    QString title;
    QStringList body;
    switch (type) {
    case 1:
        title = QStringLiteral("X-ОТЧЕТ");
        body << printer.pairLine(QStringLiteral("СМЕНА"), QString::number(shift.number));
        body << printer.pairLine(QStringLiteral("СМЕНА ОТКРЫТА"),
                                 shift.open ? QStringLiteral("ДА") : QStringLiteral("НЕТ"));
        body << countersLines(shiftCounters, true, true);
        break;
    case 2:
        title = QStringLiteral("ИТОГИ С ПОСЛЕДНЕЙ\nПЕРЕРЕГИСТРАЦИИ");
        body << printer.pairLine(QStringLiteral("ВСЕГО СМЕН"), QString::number(fiscalCounters.shifts));
        body << countersLines(fiscalCounters, true, true);
        break;
    case 3:
        title = QStringLiteral("ГРОСС ИТОГИ");
        body << printer.pairLine(QStringLiteral("ВСЕГО СМЕН"), QString::number(grossCounters.shifts));
        body << countersLines(grossCounters, false, false);
        break;
    case 4:
        title = QStringLiteral("ОТЧЕТ ПО ОТДЕЛАМ");
        for (int i = 0; i < SectionCount; ++i) {
            bool any = false;
            for (int k = 0; k < 4; ++k)
                any = any || sectionSums[k][i] != 0;
            if (!any)
                continue;
            body << printer.layout(QStringLiteral("ОТДЕЛ %1 %2").arg(i + 1).arg(sectionName(sections[i])),
                                   TapePrinter::Style());
            for (int k = 0; k < 4; ++k)
                if (sectionSums[k][i] != 0)
                    body << printer.pairLine(QStringLiteral("  ") + QString::fromUtf8(SectionKindNames[k]),
                                             money(sectionSums[k][i]));
        }
        if (body.isEmpty())
            body << QStringLiteral("НЕТ ОБОРОТОВ");
        break;
    default: {
        // Period and shift-range reports are built from the archive, so they cover any past range.
        // Counts of a long range may pass what one shift holds; sums are refused at the 64-bit ceiling.
        constexpr qint64 Count = std::numeric_limits<qint32>::max();
        constexpr qint64 Wide = std::numeric_limits<qint64>::max();
        CounterSet c;
        int documents = 0;
        bool fits = true;
        // The archive rises in time and in shifts: start at the first document in range and stop
        // past the last, reading (and checking) no more of the journal than the range holds.
        const Archive::Key key = type == 5 ? Archive::Time : Archive::Shift;
        const qint64 from = type == 5 ? qint64(fromTime) : fromShift;
        const qint64 to = type == 5 ? qint64(toTime) : toShift;
        qint64 pos = 0;
        Archive::Damage damage;
        if (archive.seek(key, from, pos, damage) != Archive::Found)
            return damaged(damage);
        for (ArchiveDoc a; pos < archive.end();) {
            if (archive.read(pos, a, damage) != Archive::Found)
                return damaged(damage);
            if ((type == 5 ? qint64(a.time) : qint64(a.shift)) > to)
                break;
            if (type == 6 && a.type == DocRegistration)
                continue;
            ++documents;
            if (a.type == DocShiftOpen) {
                fits = fits && addTo(c.shifts, 1, Count);
            } else if (a.type == DocCashIn) {
                fits = fits && addTo(c.cashInCount, 1, Count) && addTo(c.cashInSum, a.total, Wide);
            } else if (a.type == DocCashOut) {
                fits = fits && addTo(c.cashOutCount, 1, Count) && addTo(c.cashOutSum, a.total, Wide);
            } else if (a.type == DocReceipt && a.receiptType < 4) {
                OperationGroup &g = c.ops[a.receiptType];
                fits = fits && addTo(c.receiptCount, 1, Count) && addTo(g.count, 1, Count) &&
                       addTo(g.sum, a.total, Wide) && addTo(g.cashSum, a.cash, Wide) &&
                       addTo(g.cashlessSum, a.card, Wide);
            }
        }
        if (!fits)
            return {Code(49), {}};
        if (type == 5) {
            title = QStringLiteral("ОТЧЕТ ЗА ПЕРИОД");
            body << printer.pairLine(QStringLiteral("С"), formatDeviceTime(fromTime));
            body << printer.pairLine(QStringLiteral("ПО"), formatDeviceTime(toTime));
        } else {
            title = QStringLiteral("ОТЧЕТ ПО СМЕНАМ");
            body << printer.pairLine(QStringLiteral("СМЕНЫ"), QStringLiteral("%1 - %2").arg(fromShift).arg(toShift));
        }
        body << printer.pairLine(QStringLiteral("ДОКУМЕНТОВ"), QString::number(documents));
        body << printer.pairLine(QStringLiteral("ОТКРЫТО СМЕН"), QString::number(c.shifts));
        body << countersLines(c, false, false);
        break;
    }
    }

    TapePrinter::Style centred;
    centred.justify = 1;
    printer.print(documentHeader());
    printer.rule();
    printer.print(title, centred);
    printer.print(body);
    printer.rule();
    printer.print(QStringList() << formatDeviceTime(now()));
    printer.cut();
    return {0, {}};
}

Result FiscalModel::State::damaged(const Archive::Damage &damage)
{
    archiveTrouble = damage.why;
    return {ArchiveDamaged, Writer().i32(damage.number).data};
}

Result FiscalModel::State::documentCopy(const QByteArray &p)
{
    Reader r(p);
    if (const quint8 code = authorise(r, RightReports))
        return {code, {}};
    if (!r.has(4))
        return {Code(19), {}};
    const qint32 number = r.i32();
    if (doc.isOpen())
        return {Code::DocMustBeClosed, {}};
    qint64 pos = 0;
    Archive::Damage damage;
    if (archive.seek(Archive::Number, number, pos, damage) != Archive::Found)
        return damaged(damage);
    ArchiveDoc a;
    if (pos == archive.end())
        return {Code::NoData, {}};
    // A damaged document found where this one would be is this one unless it says another number.
    if (archive.read(pos, a, damage) != Archive::Found)
        return damage.number == 0 || damage.number == number ? damaged(damage) : Result{Code::NoData, {}};
    if (a.number != number)
        return {Code::NoData, {}};
    if (const quint8 code = printerCheck())
        return {code, {}};
    printDocument(a, true);
    return {0, {}};
}

Result FiscalModel::State::controlTape(const QByteArray &p)
{
    Reader r(p);
    if (const quint8 code = authorise(r, RightReports))
        return {code, {}};
    // Without a number the tape starts at the current (or last) shift.
    qint32 from = shift.number > 0 ? shift.firstDoc : (archive.isEmpty() ? 1 : archive.firstNumber());
    if (r.has(4))
        from = r.i32();
    if (doc.isOpen())
        return {Code::DocMustBeClosed, {}};
    if (from < 1)
        return {Code::WrongData, {}};
    if (archive.isEmpty() || from > archive.lastNumber())
        return {Code::NoData, {}};
    if (const quint8 code = printerCheck())
        return {code, {}};

    // The page is read and checked whole before any of it is printed.
    qint64 pos = 0;
    Archive::Damage damage;
    if (archive.seek(Archive::Number, from, pos, damage) != Archive::Found)
        return damaged(damage);
    QList<ArchiveDoc> page;
    while (pos < archive.end() && page.size() < tapePageLimit) {
        ArchiveDoc a;
        if (archive.read(pos, a, damage) != Archive::Found)
            return damaged(damage);
        page << a;
    }
    qint32 next = 0;
    if (pos < archive.end() && archive.numberAt(pos, next, damage) != Archive::Found)
        return damaged(damage);

    printer.center(QStringLiteral("КОНТРОЛЬНАЯ ЛЕНТА"));
    printer.center(QStringLiteral("С ДОКУМЕНТА %1").arg(page.first().number));
    printer.rule(QLatin1Char('='));
    for (int i = 0; i < page.size(); ++i) {
        if (tapePaperOut >= 0 && i >= tapePaperOut) {
            // What is printed stays printed; the host goes on from here once paper is in.
            return {CoreApiConst::NoPaper, Writer().i32(page.at(i).number).data};
        }
        printer.print(page.at(i).lines);
        printer.rule(QLatin1Char('='));
    }
    Result result;
    if (next > 0) {
        printer.center(QStringLiteral("ПРОДОЛЖЕНИЕ С ДОКУМЕНТА %1").arg(next));
        result.payload = Writer().i32(next).data;
    } else {
        printer.center(QStringLiteral("КОНЕЦ КОНТРОЛЬНОЙ ЛЕНТЫ"));
    }
    printer.cut();
    return result;
}
