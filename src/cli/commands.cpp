// The command table and the commands of a few lines each, beside the helpers they share. Kept in
// one file, a little over 600 lines, so that the table and what it names are read together; a
// command that needs a page of its own has a file of its own (receipt, backup, find, firmware,
// decode).

#include "cli.h"

#include <QDataStream>
#include <QJsonArray>
#include <QJsonObject>

#include <functional>

#include "catalogentries.h"
#include "frwrapper.h"

const QString CliDateFormat = QStringLiteral("yyyy-MM-dd'T'hh:mm:ss");

int reportDocument(Cli &cli, const CliDocument &d, const QString &title, QJsonObject extraJson,
                   const QStringList &extraLines)
{
    cli.out(title);
    cli.out(QStringLiteral("ФД %1").arg(quint32(d.fd)));
    cli.out(QStringLiteral("ДАТА %1").arg(d.dt.toString(CliDateFormat)));
    cli.out(QStringLiteral("СМЕНА %1").arg(quint16(d.cycle)));
    cli.out(QStringLiteral("ФП %1").arg(quint32(d.fp)));
    for (const QString &line : extraLines)
        cli.out(line);
    extraJson[QStringLiteral("fd")] = qint64(quint32(d.fd));
    extraJson[QStringLiteral("fp")] = qint64(quint32(d.fp));
    extraJson[QStringLiteral("shiftNumber")] = int(quint16(d.cycle));
    extraJson[QStringLiteral("dateTime")] = d.dt.toString(CliDateFormat);
    cli.printJson(extraJson);
    return CliExit::Success;
}

int cashierName(Cli &cli, QString &name)
{
    if (!name.isEmpty())
        return CliExit::Success;
    QByteArray bytes;
    const int cashier = cli.options().cashier;
    if (const int rc = cli.fr().readCatalog(1, cashier, bytes)) {
        Cli::note(QStringLiteral("чтение имени кассира %1: ошибка %2: %3; имя для документа можно указать: --name ИМЯ")
                      .arg(cashier)
                      .arg(rc)
                      .arg(errorText(quint8(rc)).trimmed()));
        return rc;
    }
    CashierEntry entry;
    entry.fromBytes(bytes);
    name = entry.name().trimmed();
    if (name.isEmpty())
        return Cli::usage(QStringLiteral("у кассира %1 в справочнике нет имени: укажите --name ИМЯ").arg(cashier));
    return CliExit::Success;
}

namespace {

// Always a point and two decimals: scripts read it whatever the locale.
const auto money = frtext::plainMoney;

// Every command takes exactly the arguments it names; anything left over is a mistake of the
// caller, and nothing is sent.
int extra(const QStringList &args)
{
    return Cli::usage(QStringLiteral("лишние аргументы: %1").arg(args.join(QLatin1Char(' '))));
}

// A command that takes no arguments: 0 once the register is ready, else the exit status.
int readyWithoutArguments(Cli &cli, const QStringList &args)
{
    return args.isEmpty() ? cli.connect() : extra(args);
}

// The name a document is made out to, as given with --name: checked before anything is sent.
int nameOption(Cli &cli, QString *name)
{
    *name = cli.value(QStringLiteral("--name"));
    if (cli.has(QStringLiteral("--name")) && name->trimmed().isEmpty())
        return Cli::usage(QStringLiteral("--name без имени"));
    const QString refusal = cliparse::cp866Refusal(*name, FsFieldWidths::Name);
    return refusal.isEmpty() ? CliExit::Success : Cli::usage(QStringLiteral("имя кассира: ") + refusal);
}

// A command that sends its requests and has nothing to show but that they went through.
int act(Cli &cli, const QString &action, const std::function<int(FsWrapper &)> &send, const QString &done,
        const QJsonObject &json)
{
    if (const int rc = cli.connect())
        return rc;
    if (const int rc = send(cli.fr()))
        return Cli::failed(rc, action);
    cli.out(done);
    cli.printJson(json);
    return CliExit::Success;
}

// ------------------------------------------------------------------------------------------------

int cmdStatus(Cli &cli, const QStringList &args)
{
    if (const int rc = readyWithoutArguments(cli, args))
        return rc;
    FsWrapper &fr = cli.fr();
    SerialInfo info;
    if (const int rc = fr.getSerial(info))
        return Cli::failed(rc, QStringLiteral("чтение заводского номера"));
    QString version;
    if (const int rc = fr.getFirmwareVersion(version))
        return Cli::failed(rc, QStringLiteral("чтение версии ПО"));
    FrStatus st;
    if (const int rc = fr.getFrStatus(st))
        return Cli::failed(rc, QStringLiteral("чтение состояния ККТ"));
    CycleStatus cycle;
    if (const int rc = fr.getCycleStatus(cycle))
        return Cli::failed(rc, QStringLiteral("чтение состояния смены"));

    // The status tab's renderings, each fact once: the factory number and the shift number stand
    // in two of them, and the shift's own lines are told apart from the register's.
    QStringList lines = toText(info).split(QLatin1Char('\n'));
    lines << QStringLiteral("Версия ПО: %1").arg(version);
    for (const QString &line : toText(st).split(QLatin1Char('\n'))) {
        if (!line.startsWith(QStringLiteral("ЗН ККТ:")) && !line.startsWith(QStringLiteral("СМЕНА:")))
            lines << line;
    }
    lines << QStringLiteral("НОМЕР СМЕНЫ: %1").arg(int(cycle.cycleNumber));
    if (cycle.cycleNumber != 0) {
        lines << QStringLiteral("ОТКРЫТИЕ СМЕНЫ %1").arg(frtext::isoDateText(cycle.openDateTime));
        if (!cycle.isOpen)
            lines << QStringLiteral("ЗАКРЫТИЕ СМЕНЫ %1").arg(frtext::isoDateText(cycle.closeDateTime));
        lines << QStringLiteral("ЧЕКОВ В СМЕНЕ %1").arg(int(cycle.receiptCount));
        lines << QStringLiteral("ДОКУМЕНТЫ СМЕНЫ %1-%2").arg(cycle.firstDocNumber).arg(cycle.lastDocNumber);
    }
    lines << QStringLiteral("НАЛИЧНЫХ В КАССЕ %1").arg(money(cycle.cashRaw));
    cli.out(lines.join(QLatin1Char('\n')));

    QString paper = QStringLiteral("ok");
    if (st.flags & FrStatus::NoPaper)
        paper = QStringLiteral("out");
    else if (st.flags & FrStatus::PaperLow)
        paper = QStringLiteral("low");
    QJsonObject o;
    o[QStringLiteral("port")] = cli.options().port;
    o[QStringLiteral("factoryNumber")] = info.factoryNumber;
    o[QStringLiteral("model")] = int(info.modelCode);
    o[QStringLiteral("modelName")] = info.modelName;
    o[QStringLiteral("firmwareVersion")] = version;
    o[QStringLiteral("activated")] = bool(st.flags & FrStatus::Activated);
    o[QStringLiteral("archiveClosed")] = bool(st.flags & FrStatus::ArchiveClosed);
    o[QStringLiteral("printerAnswering")] = !(st.flags & FrStatus::PrinterNotAnswering);
    o[QStringLiteral("paper")] = paper;
    o[QStringLiteral("flags")] = int(st.flags);
    o[QStringLiteral("lastDocNumber")] = qint64(st.lastDocNumber);
    o[QStringLiteral("docsLeft")] = qint64(st.docsLeft);
    o[QStringLiteral("openDocType")] = int(st.openDocType);
    o[QStringLiteral("shiftOpen")] = cycle.isOpen != 0;
    o[QStringLiteral("shiftNumber")] = int(cycle.cycleNumber);
    o[QStringLiteral("receiptCount")] = int(cycle.receiptCount);
    o[QStringLiteral("cashInDrawer")] = money(cycle.cashRaw);
    cli.printJson(o);
    return CliExit::Success;
}

QJsonObject operationsJson(const OperationCounters *ops, int count, bool taxes)
{
    Q_UNUSED(count)
    QJsonArray list;
    for (int i = 0; i < 4; ++i) {
        const OperationCounters &g = ops[i];
        QJsonObject o;
        o[QStringLiteral("kind")] = int(g.kind);
        o[QStringLiteral("count")] = qint64(g.count);
        o[QStringLiteral("sum")] = money(g.sum);
        o[QStringLiteral("cashSum")] = money(g.cashSum);
        o[QStringLiteral("cashlessSum")] = money(g.cashlessSum);
        if (taxes) {
            QJsonArray t;
            for (qint64 s : g.taxSums)
                t.append(money(s));
            o[QStringLiteral("taxSums")] = t;
        }
        list.append(o);
    }
    return QJsonObject{{QStringLiteral("operations"), list}};
}

template <typename C> QJsonObject countersJson(const C &c, bool taxes)
{
    QJsonObject o = operationsJson(c.operations, 4, taxes);
    o[QStringLiteral("shiftNumber")] = int(c.cycleNumber);
    o[QStringLiteral("cashInCount")] = int(c.cashInCount);
    o[QStringLiteral("cashInSum")] = money(c.cashInSum);
    o[QStringLiteral("cashOutCount")] = int(c.cashOutCount);
    o[QStringLiteral("cashOutSum")] = money(c.cashOutSum);
    o[QStringLiteral("receiptCount")] = qint64(c.receiptCount);
    return o;
}

int cmdCounters(Cli &cli, const QStringList &args)
{
    const QString kind = args.value(0, QStringLiteral("shift"));
    if (args.size() > 1)
        return extra(args.mid(1));
    static const QStringList kinds{QStringLiteral("shift"), QStringLiteral("fiscal"), QStringLiteral("total"),
                                   QStringLiteral("departments")};
    if (!kinds.contains(kind))
        return Cli::usage(
            QStringLiteral("неизвестный вид счетчиков: %1 (shift, fiscal, total, departments)").arg(kind));
    if (const int rc = cli.connect())
        return rc;
    const QString action = QStringLiteral("чтение счетчиков");
    FsWrapper &fr = cli.fr();
    if (kind == QLatin1String("shift") || kind == QLatin1String("fiscal")) {
        Counters c;
        const bool shift = kind == QLatin1String("shift");
        if (const int rc = shift ? fr.getCycleCounters(c) : fr.getFiscCounters(c))
            return Cli::failed(rc, action);
        cli.out(shift ? cycleCountersText(c) : fiscCountersText(c));
        QJsonObject o = countersJson(c, true);
        o[QStringLiteral("cashInDrawer")] = money(c.cashInDrawer);
        cli.printJson(o);
    } else if (kind == QLatin1String("total")) {
        TotalCounters c;
        if (const int rc = fr.getTotalCounters(c))
            return Cli::failed(rc, action);
        cli.out(toText(c));
        cli.printJson(countersJson(c, false));
    } else {
        SectionCounters c;
        if (const int rc = fr.getSectionCounters(c))
            return Cli::failed(rc, action);
        cli.out(sectionCountersText(c));
        static const char *const keys[] = {"sales", "purchases", "saleReturns", "purchaseReturns"};
        QJsonObject o;
        for (int k = 0; k < 4; ++k) {
            QJsonArray sums;
            for (const FixNumber &n : c.value(k))
                sums.append(money(n.raw()));
            o[QLatin1String(keys[k])] = sums;
        }
        cli.printJson(o);
    }
    return CliExit::Success;
}

int cmdRegData(Cli &cli, const QStringList &args)
{
    if (const int rc = readyWithoutArguments(cli, args))
        return rc;
    RegData data;
    if (const int rc = cli.fr().readRegData(data))
        return Cli::failed(rc, QStringLiteral("чтение параметров регистрации"));
    cli.out(toText(data));
    QJsonObject o;
    o[QStringLiteral("fiscalNumber")] = data.fiscalNumberText();
    o[QStringLiteral("inn")] = data.innText();
    o[QStringLiteral("organisation")] = data.organisationText();
    o[QStringLiteral("organisationType")] = data.organisationTypeText();
    o[QStringLiteral("address")] = data.addressText();
    o[QStringLiteral("registered")] = data.regDateTime ? data.regDate().toString(CliDateFormat) : QString();
    QJsonArray taxes;
    for (const TaxEntry &t : data.taxes) {
        if (!t.isValid())
            continue;
        taxes.append(QJsonObject{{QStringLiteral("type"), int(t.type())},
                                 {QStringLiteral("rate"), t.rateNumber().toString(QLatin1Char('.'), QChar())},
                                 {QStringLiteral("name"), t.nameText()}});
    }
    o[QStringLiteral("taxes")] = taxes;
    cli.printJson(o);
    return CliExit::Success;
}

int cmdClock(Cli &cli, const QStringList &args)
{
    if (!args.isEmpty())
        return extra(args);
    const bool sync = cli.has(QStringLiteral("--sync"));
    const bool set = cli.has(QStringLiteral("--set"));
    if (sync && set)
        return Cli::usage(QStringLiteral("--set и --sync вместе"));
    QDateTime wanted;
    if (set && !cliparse::dateTime(cli.value(QStringLiteral("--set")), &wanted))
        return Cli::usage(
            QStringLiteral("неверная дата: %1 (нужно ГГГГ-ММ-ДДTчч:мм:сс)").arg(cli.value(QStringLiteral("--set"))));
    if (const int rc = cli.connect())
        return rc;
    if (sync)
        wanted = QDateTime::currentDateTime();
    if (wanted.isValid()) {
        if (const int rc = cli.fr().writeDt(wanted))
            return Cli::failed(rc, QStringLiteral("установка часов"));
    }
    QDateTime dt;
    if (const int rc = cli.fr().readDt(dt))
        return Cli::failed(rc, QStringLiteral("чтение часов"));
    cli.out(dt.toString(CliDateFormat));
    cli.printJson(QJsonObject{{QStringLiteral("dateTime"), dt.toString(CliDateFormat)}});
    return CliExit::Success;
}

// Opening a shift, or closing it, which prints the Z report (`shift close` and `report z`).
int shiftDocument(Cli &cli, bool open, QString name)
{
    if (const int rc = cli.connect())
        return rc;
    if (const int rc = cashierName(cli, name))
        return rc;
    FsWrapper &fr = cli.fr();
    CliDocument d;
    const QString action = open ? QStringLiteral("открытие смены") : QStringLiteral("закрытие смены");
    if (const int rc = open ? fr.startCycleOpening(name) : fr.startCycleClosing(name))
        return Cli::failed(rc, action);
    if (const int rc = open ? fr.completeCycleOpening(d.cycle, d.fd, d.fp, d.dt)
                            : fr.completeCycleClosing(d.cycle, d.fd, d.fp, d.dt))
        return Cli::failed(rc, action);
    return reportDocument(cli, d,
                          open ? QStringLiteral("Смена открыта") : QStringLiteral("Смена закрыта, Z-отчет напечатан"));
}

int cmdShift(Cli &cli, const QStringList &args)
{
    QString name;
    if (const int rc = nameOption(cli, &name))
        return rc;
    const QString what = args.value(0);
    if (what != QLatin1String("open") && what != QLatin1String("close"))
        return Cli::usage(QStringLiteral("нужно: shift open|close [--name ИМЯ]"));
    if (args.size() > 1)
        return extra(args.mid(1));
    return shiftDocument(cli, what == QLatin1String("open"), name);
}

int cmdCash(Cli &cli, const QStringList &args)
{
    QString name;
    if (const int rc = nameOption(cli, &name))
        return rc;
    const QString what = args.value(0);
    if ((what != QLatin1String("in") && what != QLatin1String("out")) || args.size() < 2)
        return Cli::usage(QStringLiteral("нужно: cash in|out СУММА [--name ИМЯ]"));
    if (args.size() > 2)
        return extra(args.mid(2));
    qint64 kopecks = 0;
    if (!cliparse::sum(args.at(1), &kopecks))
        return Cli::usage(QStringLiteral("неверная сумма: %1 (например 150 или 150.25)").arg(args.at(1)));
    if (const int rc = cli.connect())
        return rc;
    if (const int rc = cashierName(cli, name))
        return rc;
    FsWrapper &fr = cli.fr();
    const FixNumber sum(100, kopecks);
    CliDocument d;
    FixNumber drawer(100);
    const bool in = what == QLatin1String("in");
    const QString action = in ? QStringLiteral("внесение") : QStringLiteral("выплата");
    if (const int rc = in ? fr.startIntroduction(name) : fr.startPayout(name))
        return Cli::failed(rc, action);
    const int rc = in ? fr.completeIntroduction(sum, d.cycle, d.fd, d.fp, d.dt, drawer)
                      : fr.completePayout(sum, d.cycle, d.fd, d.fp, d.dt, drawer);
    if (rc)
        return Cli::failed(rc, action);
    return reportDocument(cli, d, in ? QStringLiteral("Внесение проведено") : QStringLiteral("Выплата проведена"),
                          QJsonObject{{QStringLiteral("cashInDrawer"), money(drawer.raw())}},
                          {QStringLiteral("НАЛИЧНЫХ В КАССЕ %1").arg(money(drawer.raw()))});
}

int cmdCancel(Cli &cli, const QStringList &args)
{
    if (const int rc = readyWithoutArguments(cli, args))
        return rc;
    // The register takes a cancel with nothing open as done; the operator should hear that
    // nothing was there.
    FrStatus st;
    if (const int rc = cli.fr().getFrStatus(st))
        return Cli::failed(rc, QStringLiteral("чтение состояния ККТ"));
    if (st.openDocType == 0) {
        cli.out(QStringLiteral("Открытого документа нет"));
        cli.printJson(QJsonObject{{QStringLiteral("cancelled"), false}});
        return CliExit::Success;
    }
    if (const int rc = cli.fr().cancelDoc())
        return Cli::failed(rc, QStringLiteral("отмена документа"));
    cli.out(QStringLiteral("Документ отменен (тип %1)").arg(int(st.openDocType)));
    cli.printJson(
        QJsonObject{{QStringLiteral("cancelled"), true}, {QStringLiteral("documentType"), int(st.openDocType)}});
    return CliExit::Success;
}

int cmdReport(Cli &cli, const QStringList &args)
{
    // The position in this list is the report type the register expects.
    static const QStringList types{QString(),
                                   QStringLiteral("x"),
                                   QStringLiteral("fiscal"),
                                   QStringLiteral("total"),
                                   QStringLiteral("departments"),
                                   QStringLiteral("period"),
                                   QStringLiteral("shifts")};
    const QStringList shifts = cli.values(QStringLiteral("--shifts"));
    const QStringList dates = cli.values(QStringLiteral("--dates"));
    QString type = args.value(0);
    if (args.size() > 1)
        return extra(args.mid(1));
    if (type == QLatin1String("z")) {
        // The Z report is what closing the shift prints.
        if (!shifts.isEmpty() || !dates.isEmpty())
            return Cli::usage(QStringLiteral("--shifts и --dates только для отчетов shifts и period"));
        QString name;
        if (const int rc = nameOption(cli, &name))
            return rc;
        return shiftDocument(cli, false, name);
    }
    if (cli.has(QStringLiteral("--name")))
        return Cli::usage(QStringLiteral("--name только для отчета z"));
    if (type.isEmpty() && !shifts.isEmpty())
        type = QStringLiteral("shifts");
    if (type.isEmpty() && !dates.isEmpty())
        type = QStringLiteral("period");
    const int index = type.isEmpty() ? -1 : types.indexOf(type);
    if (index < 1)
        return Cli::usage(
            QStringLiteral("неизвестный тип отчета: %1 (x, z, fiscal, total, departments, period, shifts)").arg(type));
    QByteArray params;
    QDataStream s(&params, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    if (type == QLatin1String("shifts")) {
        qint64 from = 0, to = 0;
        if (shifts.isEmpty())
            return Cli::usage(QStringLiteral("отчет по сменам: --shifts С ПО"));
        if (!cliparse::integer(shifts.at(0), 0, 32767, &from) || !cliparse::integer(shifts.at(1), 0, 32767, &to))
            return Cli::usage(QStringLiteral("неверные номера смен: %1").arg(shifts.join(QLatin1Char(' '))));
        if (from > to)
            return Cli::usage(QStringLiteral("смены в обратном порядке: %1 позже %2").arg(from).arg(to));
        s << qint16(from) << qint16(to);
    } else if (type == QLatin1String("period")) {
        QDateTime from, to;
        if (dates.isEmpty())
            return Cli::usage(QStringLiteral("отчет за период: --dates С ПО"));
        if (!cliparse::dateTime(dates.at(0), &from) || !cliparse::dateTime(dates.at(1), &to))
            return Cli::usage(QStringLiteral("неверные даты: %1").arg(dates.join(QLatin1Char(' '))));
        if (from > to)
            return Cli::usage(QStringLiteral("даты в обратном порядке: %1 позже %2")
                                  .arg(from.toString(CliDateFormat), to.toString(CliDateFormat)));
        s << dateTimeToTime(from) << dateTimeToTime(to);
    } else if (!shifts.isEmpty() || !dates.isEmpty()) {
        return Cli::usage(QStringLiteral("--shifts и --dates только для отчетов shifts и period"));
    }
    return act(
        cli, QStringLiteral("печать отчета"), [&](FsWrapper &fr) { return int(fr.printReport(index, params)); },
        QStringLiteral("Отчет напечатан"), QJsonObject{{QStringLiteral("report"), type}});
}

int cmdCopy(Cli &cli, const QStringList &args)
{
    qint64 number = 0;
    if (args.size() != 1 || !cliparse::integer(args.at(0), 1, 0x7FFFFFFF, &number))
        return Cli::usage(QStringLiteral("нужно: copy НОМЕР_ДОКУМЕНТА (от 1)"));
    return act(
        cli, QStringLiteral("печать копии документа"),
        [number](FsWrapper &fr) { return int(fr.printDocCopy(int(number))); },
        QStringLiteral("Копия документа %1 напечатана").arg(number), QJsonObject{{QStringLiteral("document"), number}});
}

int cmdTape(Cli &cli, const QStringList &args)
{
    qint64 from = 0;
    if (args.size() > 1 || (args.size() == 1 && !cliparse::integer(args.at(0), 0, 0x7FFFFFFF, &from)))
        return Cli::usage(QStringLiteral("нужно: tape [С_ДОКУМЕНТА]"));
    if (const int rc = cli.connect())
        return rc;
    int next = 0;
    const int rc = cli.fr().printControlTape(int(from), next);
    // A tape cut short (out of paper, say) still says where to go on from.
    QJsonObject o{{QStringLiteral("next"), next}};
    if (rc) {
        if (next != 0)
            Cli::note(QStringLiteral("продолжить ленту: virta-cli tape %1").arg(next));
        cli.printJson(o);
        return Cli::failed(rc, QStringLiteral("печать контрольной ленты"));
    }
    cli.out(QStringLiteral("Контрольная лента напечатана"));
    if (next != 0)
        cli.out(QStringLiteral("Продолжить с документа %1").arg(next));
    cli.printJson(o);
    return CliExit::Success;
}

int cmdPrint(Cli &cli, const QStringList &args)
{
    if (args.isEmpty())
        return Cli::usage(QStringLiteral("нужно: print ТЕКСТ..."));
    for (const QString &text : args) {
        const QString refusal = cliparse::cp866Refusal(text, text.size());
        if (!refusal.isEmpty())
            return Cli::usage(QStringLiteral("строка «%1»: %2").arg(text, refusal));
    }
    const auto printAll = [&args](FsWrapper &fr) {
        for (const QString &text : args) {
            if (const int rc = fr.printLine(0, 0, 0, 0, text))
                return rc;
        }
        return 0;
    };
    return act(cli, QStringLiteral("печать строки"), printAll, QStringLiteral("Напечатано строк: %1").arg(args.size()),
               QJsonObject{{QStringLiteral("lines"), args.size()}});
}

int cmdCut(Cli &cli, const QStringList &args)
{
    if (!args.isEmpty())
        return extra(args);
    return act(
        cli, QStringLiteral("отрезка бумаги"), [](FsWrapper &fr) { return int(fr.printerCut()); },
        QStringLiteral("Бумага отрезана"), QJsonObject{{QStringLiteral("cut"), true}});
}

int cmdRaw(Cli &cli, const QStringList &args)
{
    QString codeText = args.value(0);
    if (codeText.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        codeText = codeText.mid(2);
    bool ok = false;
    const uint code = codeText.toUInt(&ok, 16);
    QByteArray payload;
    if (args.isEmpty() || args.size() > 2 || codeText.size() > 2 || !ok || code > 0xFF)
        return Cli::usage(QStringLiteral(
            "нужно: raw КОД [ДАННЫЕ], код и данные шестнадцатеричные (raw 30, raw 0x01 14 1e000000 01 01)"));
    if (args.size() == 2 && !cliparse::hexBytes(args.at(1), &payload))
        return Cli::usage(QStringLiteral("неверные шестнадцатеричные данные: %1").arg(args.at(1)));
    if (const int rc = cli.connect())
        return rc;
    FsRep rep;
    const int rc = cli.fr().exec(FsReq(quint8(code), payload), rep, FsTimeouts::Normal);
    const QString text = rc ? errorText(quint8(rc)).trimmed() : QStringLiteral("Успешно");
    cli.out(QStringLiteral("КОД %1: %2").arg(rc).arg(text));
    if (!rep.data().isEmpty())
        cli.out(QString::fromLatin1(rep.data().toHex(' ')));
    cli.printJson(QJsonObject{{QStringLiteral("result"), rc},
                              {QStringLiteral("text"), text},
                              {QStringLiteral("payload"), QString::fromLatin1(rep.data().toHex())}});
    return rc;
}

} // namespace

const QVector<CliCommand> &cliCommands()
{
    static const QVector<CliCommand> commands{
        {"find", "[ПУТЬ|АДРЕС...]",
         "ищет ККТ на всех последовательных портах системы, на указанных путях и сетевых\n"
         "адресах (tcp://УЗЕЛ:ПОРТ, диапазон УЗЕЛ:ПЕРВЫЙ-ПОСЛЕДНИЙ до 1024 портов; опрашивает\n"
         "все сразу, коротко) и выводит порт, модель, заводской номер, версию ПО",
         cmdFind},
        {"status", "", "заводской номер, модель, версия ПО, состояние ККТ и смены, наличные в кассе", cmdStatus},
        {"counters", "[shift|fiscal|total|departments]",
         "счетчики: сменные (по умолчанию), с последней перерегистрации, гросс итоги, по отделам", cmdCounters},
        {"regdata", "", "параметры регистрации", cmdRegData},
        {"clock", "[--set ГГГГ-ММ-ДДTчч:мм:сс | --sync]",
         "читает часы ККТ; --set устанавливает указанное время, --sync время компьютера", cmdClock, "--set/1 --sync/0"},
        {"shift", "open|close [--name ИМЯ]",
         "открывает или закрывает смену; закрытие смены печатает Z-отчет (то же, что report z);\n"
         "ИМЯ: имя кассира в документе (по умолчанию имя из справочника кассиров для --cashier)",
         cmdShift, "--name/1"},
        {"cash", "in|out СУММА [--name ИМЯ]", "внесение или выплата наличных; СУММА в рублях: 150 или 150.25", cmdCash,
         "--name/1"},
        {"receipt",
         "[ФАЙЛ|-] [--type ТИП] [--item ПОЗИЦИЯ]... [--text ТЕКСТ]... [--cash СУММА] [--card СУММА] [--name ИМЯ]",
         "пробивает чек: позиции из --item 'НАИМЕНОВАНИЕ;ЦЕНА[;КОЛИЧЕСТВО[;ОТДЕЛ[;НАЛОГ]]]' или\n"
         "из ФАЙЛА JSON; ТИП: sale (по умолчанию), purchase, sale-return, purchase-return;\n"
         "без --cash и --card весь итог оплачивается наличными (подробнее: receipt --help)",
         cmdReceipt, "--type/1 --item/1 --text/1 --cash/1 --card/1 --name/1",
         "Тип чека (--type): sale (продажа), purchase (покупка), sale-return (возврат продажи),\n"
         "purchase-return (возврат покупки).\n"
         "\n"
         "Позиция (--item, можно несколько): 'НАИМЕНОВАНИЕ;ЦЕНА[;КОЛИЧЕСТВО[;ОТДЕЛ[;НАЛОГ]]]';\n"
         "цена в рублях (45.50), количество до пяти знаков после точки (по умолчанию 1),\n"
         "отдел 1-20 и номер налога 1-5 (по умолчанию 1). --text: реквизит чека, печатается\n"
         "после позиций (можно несколько). --cash и --card: оплата наличными и картой; сдача\n"
         "бывает только с наличных в чеке продажи; без них весь итог оплачивается наличными.\n"
         "--name: имя кассира в чеке (по умолчанию из справочника кассиров для --cashier).\n"
         "\n"
         "Вместо параметров чек можно описать в ФАЙЛЕ JSON (\"-\": стандартный ввод):\n"
         "  {\"type\": \"sale\", \"cashier\": \"Иванова\",\n"
         "   \"items\": [{\"name\": \"Хлеб\", \"price\": \"45.50\", \"quantity\": \"2\", \"section\": 1,\n"
         "              \"tax\": 1, \"unit\": \"шт.\", \"code\": \"4601\", \"barcode\": \"4600000000017\",\n"
         "              \"discount\": \"5.00\", \"text\": \"реквизит позиции\"}],\n"
         "   \"texts\": [\"Спасибо за покупку\"], \"payments\": {\"cash\": \"100\", \"card\": \"0\"}}\n"
         "Обязательны только \"items\" и в каждой позиции \"name\" и \"price\"; вместо \"discount\"\n"
         "(сумма скидки) можно \"discountNumber\" (номер скидки из справочника, 1-8).\n"
         "\n"
         "Все поля проверяются до отправки в ККТ (длина, кодировка CP866, диапазоны, суммы);\n"
         "если ККТ отказала, открытый чек отменяется. Выводит номер документа (ФД), дату,\n"
         "смену, номер чека в смене, фискальный признак (ФП), итог и сдачу."},
        {"cancel", "", "отменяет открытый документ; если открытого документа нет, так и говорит", cmdCancel},
        {"report", "ТИП [--shifts С ПО | --dates С ПО] [--name ИМЯ]",
         "печатает отчет; ТИП: x, z (закрывает смену: то же, что shift close; --name как там),\n"
         "fiscal (с последней перерегистрации), total (гросс итоги), departments (по отделам),\n"
         "period (--dates ГГГГ-ММ-ДД[Tчч:мм:сс] дважды), shifts (--shifts НОМЕР НОМЕР)",
         cmdReport, "--shifts/2 --dates/2 --name/1"},
        {"copy", "N", "печатает копию документа номер N", cmdCopy},
        {"tape", "[С_ДОКУМЕНТА]",
         "печатает контрольную ленту; если ККТ остановилась, выводит номер, с которого продолжить", cmdTape},
        {"print", "ТЕКСТ...", "печатает каждый аргумент отдельной строкой", cmdPrint},
        {"cut", "", "отрезает бумагу", cmdCut},
        {"backup", "ФАЙЛ",
         "сохраняет в ФАЙЛ (JSON, доступен только владельцу: в нем пароли кассиров) справочники\n"
         "кассиров, отделов и скидок, блоки настроек, часы и данные ККТ; каждая запись и в\n"
         "байтах (hex), и в разобранном виде",
         cmdBackup},
        {"restore", "ФАЙЛ [--dry-run] [--force]",
         "проверяет весь ФАЙЛ, показывает, чем ККТ отличается от копии, записывает только\n"
         "отличающиеся записи и проверяет их чтением; --dry-run только показывает; копию\n"
         "другой ККТ (другой заводской номер) записывает только с --force",
         cmdRestore, "--dry-run/0 --force/0"},
        {"firmware", "ОБРАЗ --loader ПОРТ",
         "загружает образ прошивки через загрузчик ККТ на порту ПОРТ, с теми же\n"
         "проверками, что и вкладка \"Прошивка\" (только последовательный порт: загрузчику\n"
         "нужно 921600 бод)",
         cmdFirmware, "--loader/1"},
        {"raw", "КОД [ДАННЫЕ]",
         "отправляет команду с кодом КОД и данными ДАННЫЕ (шестнадцатеричные) и выводит\n"
         "код результата, его текст и данные ответа",
         cmdRaw},
        {"decode", "[ФАЙЛ]",
         "расшифровывает кадры из файла журнала программы или из шестнадцатеричного текста\n"
         "(кадр в строке; без ФАЙЛА или с \"-\" читает стандартный ввод); ККТ не нужна",
         cmdDecode},
    };
    return commands;
}
