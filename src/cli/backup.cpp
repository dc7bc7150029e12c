#include "cli.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <functional>

#include "catalogentries.h"
#include "frwrapper.h"

namespace {

const QString Format = QStringLiteral("virta-backup");
constexpr int FormatVersion = 1;
// Every catalogue the register keeps has at most this many entries; the settings tab reads block 1.
constexpr int MaxEntryNumber = 20;
constexpr int SettingsBlock = 1;

// One stored block of the register: where it lives and how to read and write it.
struct Place
{
    QString group; // key in the backup: "cashiers", "departments", "discounts", "printer", "register"
    QString label; // for the operator
    int type;      // catalogue type, or 0 for a settings block
    bool printer;  // settings: printer block (0xC1/0xC2) or register block (0x40/0x41)
};

const QVector<Place> &places()
{
    static const QVector<Place> list{
        {QStringLiteral("cashiers"), QStringLiteral("кассир"), 1, false},
        {QStringLiteral("departments"), QStringLiteral("отдел"), 2, false},
        {QStringLiteral("discounts"), QStringLiteral("скидка"), 3, false},
        {QStringLiteral("printer"), QStringLiteral("настройки печати, блок"), 0, true},
        {QStringLiteral("register"), QStringLiteral("настройки ФР, блок"), 0, false},
    };
    return list;
}

int readBlock(FsWrapper &fr, const Place &p, int index, QByteArray &data)
{
    if (p.type != 0)
        return fr.readCatalog(p.type, index, data);
    return p.printer ? fr.readPrinterSettings(index, data) : fr.readFrSettings(index, data);
}

int writeBlock(FsWrapper &fr, const Place &p, int index, const QByteArray &data)
{
    // A catalogue entry carries its own number inside its bytes.
    if (p.type != 0)
        return fr.writeCatalog(p.type, data);
    return p.printer ? fr.writePrinterSettings(index, data) : fr.writeFrSettings(index, data);
}

int entryCount(const Place &p)
{
    return p.type != 0 ? MaxEntryNumber : SettingsBlock;
}

// The register answers only for entries it has; a refusal of one index is not a failed backup,
// but a register that stops answering (or a damaged reply) is.
bool fatal(int code)
{
    return code == CoreApiConst::NoAnswer || code == CoreApiConst::ParseError;
}

QJsonObject decoded(const Place &p, const QByteArray &raw)
{
    QJsonObject o;
    switch (p.type) {
    case 1: {
        CashierEntry e;
        e.fromBytes(raw);
        o[QStringLiteral("number")] = e.number();
        o[QStringLiteral("rights")] = int(e.rights());
        o[QStringLiteral("password")] = qint64(e.password());
        o[QStringLiteral("name")] = e.name();
        break;
    }
    case 2: {
        SectionEntry e;
        if (e.fromBytes(raw)) {
            o[QStringLiteral("number")] = e.number();
            o[QStringLiteral("name")] = e.name();
        }
        break;
    }
    case 3: {
        DiscountEntry e;
        e.fromBytes(raw);
        o[QStringLiteral("number")] = e.number();
        o[QStringLiteral("kind")] = e.kind();
        o[QStringLiteral("value")] = QString::number(e.value());
        o[QStringLiteral("name")] = e.name();
        break;
    }
    default:
        if (!raw.isEmpty()) {
            if (p.printer)
                o[QStringLiteral("paperWidthMm")] = int(quint8(raw.at(0)));
            else
                o[QStringLiteral("roundingType")] = int(quint8(raw.at(0)));
        }
        break;
    }
    return o;
}

bool openFile(QFileDevice &file, QIODevice::OpenMode mode)
{
    if (file.open(mode))
        return true;
    Cli::note(QStringLiteral("%1: %2").arg(file.fileName(), file.errorString()));
    return false;
}

int readIdentity(Cli &cli, SerialInfo &info)
{
    if (const int rc = cli.fr().getSerial(info))
        return Cli::failed(rc, QStringLiteral("чтение заводского номера"));
    return 0;
}

} // namespace

int cmdBackup(Cli &cli, const QStringList &args)
{
    if (args.size() != 1)
        return Cli::usage(QStringLiteral("нужно: backup ФАЙЛ"));
    const QString path = args.first();
    // The file is written only once everything was read, so a failed backup leaves an older one
    // in place; whether it can be written at all is known before the register is asked.
    QSaveFile file(path);
    if (!openFile(file, QIODevice::WriteOnly))
        return CliExit::NoInput;
    if (const int rc = cli.connect())
        return rc;
    FsWrapper &fr = cli.fr();

    SerialInfo info;
    if (const int rc = readIdentity(cli, info))
        return rc;
    QString version;
    if (const int rc = fr.getFirmwareVersion(version))
        return Cli::failed(rc, QStringLiteral("чтение версии ПО"));
    QDateTime clock;
    if (const int rc = fr.readDt(clock))
        return Cli::failed(rc, QStringLiteral("чтение часов"));

    QJsonObject doc;
    doc[QStringLiteral("format")] = Format;
    doc[QStringLiteral("version")] = FormatVersion;
    doc[QStringLiteral("identity")] = QJsonObject{{QStringLiteral("factoryNumber"), info.factoryNumber},
                                                  {QStringLiteral("model"), int(info.modelCode)},
                                                  {QStringLiteral("modelName"), info.modelName},
                                                  {QStringLiteral("firmwareVersion"), version}};
    doc[QStringLiteral("clock")] = clock.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    int entries = 0;
    for (const Place &p : places()) {
        QJsonArray list;
        for (int index = 1; index <= entryCount(p); ++index) {
            QByteArray raw;
            const int rc = readBlock(fr, p, index, raw);
            if (fatal(rc))
                return Cli::failed(rc, QStringLiteral("чтение: %1 %2").arg(p.label).arg(index));
            if (rc != CoreApiConst::Success)
                continue;
            list.append(QJsonObject{{QStringLiteral("index"), index},
                                    {QStringLiteral("raw"), QString::fromLatin1(raw.toHex())},
                                    {QStringLiteral("decoded"), decoded(p, raw)}});
            ++entries;
        }
        doc[p.group] = list;
    }
    file.write(QJsonDocument(doc).toJson(QJsonDocument::Indented));
    if (!file.commit()) {
        Cli::note(QStringLiteral("%1: %2").arg(path, file.errorString()));
        return CliExit::NoInput;
    }
    cli.out(QStringLiteral("Сохранено записей: %1 (ЗН %2) в %3").arg(entries).arg(info.factoryNumber, path));
    cli.printJson(QJsonObject{{QStringLiteral("file"), path},
                              {QStringLiteral("entries"), entries},
                              {QStringLiteral("factoryNumber"), info.factoryNumber}});
    return CliExit::Success;
}

int cmdRestore(Cli &cli, const QStringList &arguments)
{
    QStringList args = arguments;
    const bool dryRun = cliparse::takeFlag(args, QStringLiteral("--dry-run"));
    const bool force = cliparse::takeFlag(args, QStringLiteral("--force"));
    if (args.size() != 1)
        return Cli::usage(QStringLiteral("нужно: restore ФАЙЛ [--dry-run] [--force]"));
    const QString path = args.first();

    // Everything in the file is checked before the register is touched.
    QFile file(path);
    if (!openFile(file, QIODevice::ReadOnly))
        return CliExit::NoInput;
    QJsonParseError error{};
    const QJsonDocument json = QJsonDocument::fromJson(file.readAll(), &error);
    const QJsonObject doc = json.object();
    if (json.isNull() || doc.value(QStringLiteral("format")).toString() != Format) {
        Cli::note(
            QStringLiteral("%1: не копия настроек ККТ%2")
                .arg(path, json.isNull() ? QStringLiteral(" (") + error.errorString() + QLatin1Char(')') : QString()));
        return CliExit::NoInput;
    }
    struct Wanted
    {
        const Place *place;
        int index;
        QByteArray raw;
    };
    QVector<Wanted> wanted;
    for (const Place &p : places()) {
        for (const QJsonValue &v : doc.value(p.group).toArray()) {
            const QJsonObject e = v.toObject();
            const int index = e.value(QStringLiteral("index")).toInt();
            QByteArray raw;
            if (index < 1 || index > entryCount(p) ||
                !cliparse::hexBytes(e.value(QStringLiteral("raw")).toString(), &raw) || raw.isEmpty()) {
                Cli::note(QStringLiteral("%1: поврежденная запись: %2 %3").arg(path, p.label).arg(index));
                return CliExit::NoInput;
            }
            wanted.append({&p, index, raw});
        }
    }
    const QString savedNumber =
        doc.value(QStringLiteral("identity")).toObject().value(QStringLiteral("factoryNumber")).toString();

    if (const int rc = cli.connect())
        return rc;
    FsWrapper &fr = cli.fr();
    SerialInfo info;
    if (const int rc = readIdentity(cli, info))
        return rc;
    if (info.factoryNumber != savedNumber && !force) {
        return Cli::usage(QStringLiteral("копия другой ККТ: ЗН в копии %1, у ККТ %2; записать её можно с --force")
                              .arg(savedNumber, info.factoryNumber));
    }

    QVector<Wanted> differing;
    QJsonArray changes;
    for (const Wanted &w : qAsConst(wanted)) {
        QByteArray current;
        const int rc = readBlock(fr, *w.place, w.index, current);
        if (fatal(rc))
            return Cli::failed(rc, QStringLiteral("чтение: %1 %2").arg(w.place->label).arg(w.index));
        if (rc == CoreApiConst::Success && current == w.raw)
            continue;
        differing.append(w);
        cli.out(QStringLiteral("отличается: %1 %2").arg(w.place->label).arg(w.index));
        changes.append(QJsonObject{{QStringLiteral("group"), w.place->group},
                                   {QStringLiteral("index"), w.index},
                                   {QStringLiteral("current"), QString::fromLatin1(current.toHex())},
                                   {QStringLiteral("saved"), QString::fromLatin1(w.raw.toHex())}});
    }
    QJsonObject result{{QStringLiteral("differences"), changes}, {QStringLiteral("dryRun"), dryRun}};
    if (dryRun || differing.isEmpty()) {
        cli.out(differing.isEmpty() ? QStringLiteral("ККТ совпадает с копией")
                                    : QStringLiteral("Отличий: %1; ничего не записано").arg(differing.size()));
        result[QStringLiteral("written")] = 0;
        cli.printJson(result);
        return CliExit::Success;
    }

    // The cashier this program acts as goes last: once its entry (and so, perhaps, its password)
    // has changed, the other writes would be refused.
    const auto ownEntry = [&cli](const Wanted &w) {
        return w.place->type == 1 && w.index == cli.options().cashier;
    };
    std::stable_partition(differing.begin(), differing.end(), [&](const Wanted &w) { return !ownEntry(w); });
    int written = 0;
    for (const Wanted &w : qAsConst(differing)) {
        const QString what = QStringLiteral("%1 %2").arg(w.place->label).arg(w.index);
        if (const int rc = writeBlock(fr, *w.place, w.index, w.raw))
            return Cli::failed(rc, QStringLiteral("запись: ") + what);
        if (ownEntry(w)) {
            CashierEntry entry;
            entry.fromBytes(w.raw);
            fr.setPassword(entry.password());
        }
        QByteArray back;
        if (const int rc = readBlock(fr, *w.place, w.index, back))
            return Cli::failed(rc, QStringLiteral("проверка: ") + what);
        // A register that took the write but keeps something else is a failed restore, not a
        // success: the script must hear it.
        if (back != w.raw) {
            Cli::note(QStringLiteral("проверка: %1: ККТ хранит не то, что записано").arg(what));
            return CoreApiConst::ParseError;
        }
        ++written;
    }
    cli.out(QStringLiteral("Записано и проверено записей: %1").arg(written));
    result[QStringLiteral("written")] = written;
    cli.printJson(result);
    return CliExit::Success;
}
