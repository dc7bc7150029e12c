#include "cli.h"

#include <QDataStream>
#include <QJsonArray>
#include <QJsonObject>

#include <functional>

#include "catalogentries.h"
#include "frwrapper.h"

namespace {

const QString DateFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");

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

// Shift, cash and other fiscal documents come back with the same numbers.
struct DocNumbers
{
    qint16 cycle = 0;
    qint32 fd = 0;
    qint32 fp = 0;
    QDateTime dt;
};

int reportDocument(Cli &cli, const DocNumbers &d, const QString &title, QJsonObject extraJson = {},
                   const QStringList &extraLines = {})
{
    cli.out(title);
    cli.out(QStringLiteral("ФД %1").arg(quint32(d.fd)));
    cli.out(QStringLiteral("ДАТА %1").arg(d.dt.toString(DateFormat)));
    cli.out(QStringLiteral("СМЕНА %1").arg(quint16(d.cycle)));
    cli.out(QStringLiteral("ФП %1").arg(quint32(d.fp)));
    for (const QString &line : extraLines)
        cli.out(line);
    extraJson[QStringLiteral("fd")] = qint64(quint32(d.fd));
    extraJson[QStringLiteral("fp")] = qint64(quint32(d.fp));
    extraJson[QStringLiteral("shiftNumber")] = int(quint16(d.cycle));
    extraJson[QStringLiteral("dateTime")] = d.dt.toString(DateFormat);
    cli.printJson(extraJson);
    return CliExit::Success;
}

// A document begun but not completed stays open in the register and blocks the next one: the end of
// the command cancels it (Cli::finish, also after a stop), and the completion's failure is what the
// caller hears first.
int completeOrCancel(Cli &, int code, const QString &action)
{
    return Cli::failed(code, action);
}

QString takeName(QStringList &args, bool *ok)
{
    QStringList name;
    *ok = cliparse::takeOption(args, QStringLiteral("--name"), 1, &name);
    return name.value(0);
}

// A document names its cashier. Without --name it is the name the register keeps for the
// cashier the program works as, so that a script needs no name of its own.
bool cashierName(Cli &cli, QString &name)
{
    if (!name.isEmpty())
        return true;
    QByteArray bytes;
    if (cli.fr().readCatalog(1, cli.options().cashier, bytes) == CoreApiConst::Success) {
        CashierEntry entry;
        entry.fromBytes(bytes);
        name = entry.name().trimmed();
    }
    if (name.isEmpty())
        Cli::usage(QStringLiteral("укажите --name ИМЯ: имя кассира %1 не прочитано").arg(cli.options().cashier));
    return !name.isEmpty();
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

    cli.out(plainText(toHtml(info)));
    cli.out(QStringLiteral("Версия ПО: %1").arg(version));
    cli.out(plainText(toHtml(st)));
    cli.out(plainText(toHtml(cycle)));

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
        cli.out(plainText(shift ? cycleCountersHtml(c) : fiscCountersHtml(c)));
        QJsonObject o = countersJson(c, true);
        o[QStringLiteral("cashInDrawer")] = money(c.cashInDrawer);
        cli.printJson(o);
    } else if (kind == QLatin1String("total")) {
        TotalCounters c;
        if (const int rc = fr.getTotalCounters(c))
            return Cli::failed(rc, action);
        cli.out(plainText(toHtml(c)));
        cli.printJson(countersJson(c, false));
    } else {
        SectionCounters c;
        if (const int rc = fr.getSectionCounters(c))
            return Cli::failed(rc, action);
        cli.out(plainText(sectionCountersHtml(c)));
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
    cli.out(plainText(toHtml(data)));
    QJsonObject o;
    o[QStringLiteral("fiscalNumber")] = data.fiscalNumberText();
    o[QStringLiteral("inn")] = data.innText();
    o[QStringLiteral("organisation")] = data.organisationText();
    o[QStringLiteral("organisationType")] = data.organisationTypeText();
    o[QStringLiteral("address")] = data.addressText();
    o[QStringLiteral("registered")] = data.regDateTime ? data.regDate().toString(DateFormat) : QString();
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

int cmdClock(Cli &cli, const QStringList &arguments)
{
    QStringList args = arguments;
    QStringList set;
    if (!cliparse::takeOption(args, QStringLiteral("--set"), 1, &set))
        return Cli::usage(QStringLiteral("--set без даты"));
    const bool sync = cliparse::takeFlag(args, QStringLiteral("--sync"));
    if (!args.isEmpty())
        return extra(args);
    if (sync && !set.isEmpty())
        return Cli::usage(QStringLiteral("--set и --sync вместе"));
    QDateTime wanted;
    if (!set.isEmpty() && !cliparse::dateTime(set.first(), &wanted))
        return Cli::usage(QStringLiteral("неверная дата: %1 (нужно \"ГГГГ-ММ-ДД чч:мм:сс\")").arg(set.first()));
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
    cli.out(dt.toString(DateFormat));
    cli.printJson(QJsonObject{{QStringLiteral("dateTime"), dt.toString(DateFormat)}});
    return CliExit::Success;
}

int cmdShift(Cli &cli, const QStringList &arguments)
{
    QStringList args = arguments;
    bool ok = true;
    QString name = takeName(args, &ok);
    if (!ok)
        return Cli::usage(QStringLiteral("--name без имени"));
    const QString what = args.value(0);
    if (what != QLatin1String("open") && what != QLatin1String("close"))
        return Cli::usage(QStringLiteral("нужно: shift open|close [--name ИМЯ]"));
    if (args.size() > 1)
        return extra(args.mid(1));
    if (const int rc = cli.connect())
        return rc;
    if (!cashierName(cli, name))
        return CliExit::Usage;
    FsWrapper &fr = cli.fr();
    DocNumbers d;
    if (what == QLatin1String("open")) {
        const QString action = QStringLiteral("открытие смены");
        if (const int rc = fr.startCycleOpening(name))
            return Cli::failed(rc, action);
        if (const int rc = fr.completeCycleOpening(d.cycle, d.fd, d.fp, d.dt))
            return completeOrCancel(cli, rc, action);
        return reportDocument(cli, d, QStringLiteral("Смена открыта"));
    }
    const QString action = QStringLiteral("закрытие смены");
    if (const int rc = fr.startCycleClosing(name))
        return Cli::failed(rc, action);
    if (const int rc = fr.completeCycleClosing(d.cycle, d.fd, d.fp, d.dt))
        return completeOrCancel(cli, rc, action);
    return reportDocument(cli, d, QStringLiteral("Смена закрыта"));
}

int cmdCash(Cli &cli, const QStringList &arguments)
{
    QStringList args = arguments;
    bool ok = true;
    QString name = takeName(args, &ok);
    if (!ok)
        return Cli::usage(QStringLiteral("--name без имени"));
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
    if (!cashierName(cli, name))
        return CliExit::Usage;
    FsWrapper &fr = cli.fr();
    const FixNumber sum(100, kopecks);
    DocNumbers d;
    FixNumber drawer(100);
    const bool in = what == QLatin1String("in");
    const QString action = in ? QStringLiteral("внесение") : QStringLiteral("выплата");
    if (const int rc = in ? fr.startIntroduction(name) : fr.startPayout(name))
        return Cli::failed(rc, action);
    const int rc = in ? fr.completeIntroduction(sum, d.cycle, d.fd, d.fp, d.dt, drawer)
                      : fr.completePayout(sum, d.cycle, d.fd, d.fp, d.dt, drawer);
    if (rc)
        return completeOrCancel(cli, rc, action);
    return reportDocument(cli, d, in ? QStringLiteral("Внесение проведено") : QStringLiteral("Выплата проведена"),
                          QJsonObject{{QStringLiteral("cashInDrawer"), money(drawer.raw())}},
                          {QStringLiteral("НАЛИЧНЫХ В КАССЕ %1").arg(money(drawer.raw()))});
}

int cmdCancel(Cli &cli, const QStringList &args)
{
    if (!args.isEmpty())
        return extra(args);
    return act(
        cli, QStringLiteral("отмена документа"), [](FsWrapper &fr) { return int(fr.cancelDoc()); },
        QStringLiteral("Документ отменен"), QJsonObject{{QStringLiteral("cancelled"), true}});
}

int cmdReport(Cli &cli, const QStringList &arguments)
{
    // The position in this list is the report type the register expects.
    static const QStringList types{QString(),
                                   QStringLiteral("x"),
                                   QStringLiteral("fiscal"),
                                   QStringLiteral("total"),
                                   QStringLiteral("departments"),
                                   QStringLiteral("period"),
                                   QStringLiteral("shifts")};
    QStringList args = arguments;
    QStringList shifts, dates;
    if (!cliparse::takeOption(args, QStringLiteral("--shifts"), 2, &shifts))
        return Cli::usage(QStringLiteral("--shifts требует двух номеров смен"));
    if (!cliparse::takeOption(args, QStringLiteral("--dates"), 2, &dates))
        return Cli::usage(QStringLiteral("--dates требует двух дат"));
    QString type = args.value(0);
    if (args.size() > 1)
        return extra(args.mid(1));
    if (type.isEmpty() && !shifts.isEmpty())
        type = QStringLiteral("shifts");
    if (type.isEmpty() && !dates.isEmpty())
        type = QStringLiteral("period");
    const int index = type.isEmpty() ? -1 : types.indexOf(type);
    if (index < 1)
        return Cli::usage(
            QStringLiteral("неизвестный тип отчета: %1 (x, fiscal, total, departments, period, shifts)").arg(type));
    QByteArray params;
    QDataStream s(&params, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    if (type == QLatin1String("shifts")) {
        qint64 from = 0, to = 0;
        if (shifts.isEmpty())
            return Cli::usage(QStringLiteral("отчет по сменам: --shifts С ПО"));
        if (!cliparse::integer(shifts.at(0), 0, 32767, &from) || !cliparse::integer(shifts.at(1), 0, 32767, &to))
            return Cli::usage(QStringLiteral("неверные номера смен: %1").arg(shifts.join(QLatin1Char(' '))));
        s << qint16(from) << qint16(to);
    } else if (type == QLatin1String("period")) {
        QDateTime from, to;
        if (dates.isEmpty())
            return Cli::usage(QStringLiteral("отчет за период: --dates С ПО"));
        if (!cliparse::dateTime(dates.at(0), &from) || !cliparse::dateTime(dates.at(1), &to))
            return Cli::usage(QStringLiteral("неверные даты: %1").arg(dates.join(QLatin1Char(' '))));
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
        {"find", "[ПУТЬ...]",
         "ищет ККТ на всех последовательных портах системы и на указанных путях\n"
         "(опрашивает все сразу, коротко) и выводит порт, модель, заводской номер, версию ПО",
         cmdFind},
        {"status", "", "заводской номер, модель, версия ПО, состояние ККТ и смены", cmdStatus},
        {"counters", "[shift|fiscal|total|departments]",
         "счетчики: сменные (по умолчанию), с последней перерегистрации, гросс итоги, по отделам", cmdCounters},
        {"regdata", "", "параметры регистрации", cmdRegData},
        {"clock", "[--set \"ГГГГ-ММ-ДД чч:мм:сс\" | --sync]",
         "читает часы ККТ; --set устанавливает указанное время, --sync время компьютера", cmdClock},
        {"shift", "open|close [--name ИМЯ]",
         "открывает или закрывает смену; ИМЯ: имя кассира в документе (по умолчанию\n"
         "имя из справочника кассиров для --cashier)",
         cmdShift},
        {"cash", "in|out СУММА [--name ИМЯ]", "внесение или выплата наличных; СУММА в рублях: 150 или 150.25", cmdCash},
        {"cancel", "", "отменяет открытый документ", cmdCancel},
        {"report", "ТИП [--shifts С ПО | --dates С ПО]",
         "печатает отчет; ТИП: x, fiscal (с последней перерегистрации), total (гросс итоги),\n"
         "departments (по отделам), period (--dates ГГГГ-ММ-ДД[ чч:мм:сс] дважды),\n"
         "shifts (--shifts НОМЕР НОМЕР)",
         cmdReport},
        {"copy", "N", "печатает копию документа номер N", cmdCopy},
        {"tape", "[С_ДОКУМЕНТА]",
         "печатает контрольную ленту; если ККТ остановилась, выводит номер, с которого продолжить", cmdTape},
        {"print", "ТЕКСТ...", "печатает каждый аргумент отдельной строкой", cmdPrint},
        {"cut", "", "отрезает бумагу", cmdCut},
        {"backup", "ФАЙЛ",
         "сохраняет в ФАЙЛ (JSON) справочники кассиров, отделов и скидок, блоки настроек, часы\n"
         "и данные ККТ; каждая запись и в байтах (hex), и в разобранном виде",
         cmdBackup},
        {"restore", "ФАЙЛ [--dry-run] [--force]",
         "показывает, чем ККТ отличается от копии, записывает только отличающиеся записи\n"
         "и проверяет их чтением; --dry-run только показывает; копию другой ККТ\n"
         "(другой заводской номер) записывает только с --force",
         cmdRestore},
        {"firmware", "ОБРАЗ --loader ПОРТ",
         "загружает образ прошивки через загрузчик ККТ на порту ПОРТ, с теми же\n"
         "проверками, что и вкладка \"Прошивка\"",
         cmdFirmware},
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
