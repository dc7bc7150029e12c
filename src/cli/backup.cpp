#include "cli.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "catalogentries.h"
#include "frwrapper.h"
#include "input.h"

namespace {

const QString Format = QStringLiteral("virta-backup");
constexpr int FormatVersion = 1;
// Every catalogue the register keeps has at most this many entries; the settings tab reads block 1.
constexpr int MaxEntryNumber = 20;
constexpr int SettingsBlock = 1;
// A backup of every entry there can be is some 100 KB; what is much larger is no backup, and is
// refused before it is read.
constexpr qint64 BackupFileMax = 1024 * 1024;
// The longest discount the register keeps: its header and a name field of up to 255 bytes.
constexpr int DiscountMaxSize = DiscountEntry::HeaderSize + 255;

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
        {QStringLiteral("register"), QStringLiteral("настройки ККТ, блок"), 0, false},
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

// The register has no entry at this index (its catalogue is shorter, or it keeps no such
// block): nothing to save there. Every other refusal (a wrong password, a cashier without the
// right, no answer) means the backup would be incomplete.
bool noSuchEntry(int code)
{
    return code == CoreApiConst::WrongData || code == CoreApiConst::UnsupportedCatalog || code == CoreApiConst::NoData;
}

QString entryName(const Place &p, int index)
{
    return QStringLiteral("%1 %2").arg(p.label).arg(index);
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

bool undefinedDiscount(const Place &p, const QByteArray &raw)
{
    if (p.type != 3)
        return false;
    DiscountEntry e;
    e.fromBytes(raw);
    return e.kind() != DiscountEntry::Amount && e.kind() != DiscountEntry::Percent;
}

// What is wrong with one entry of a backup, empty when nothing is: the layout of its kind, the
// number inside it against its index, and the values the register takes.
QString entryFault(const Place &p, int index, const QByteArray &raw)
{
    switch (p.type) {
    case 1:
        if (raw.size() != CashierEntry::Size)
            return QStringLiteral("%1 байт вместо %2").arg(raw.size()).arg(CashierEntry::Size);
        if (raw.at(CashierEntry::Size - 1) != '\0')
            return QStringLiteral("имя не кончается нулевым байтом");
        break;
    case 2:
        if (raw.size() != SectionEntry::Size)
            return QStringLiteral("%1 байт вместо %2").arg(raw.size()).arg(SectionEntry::Size);
        break;
    case 3: {
        constexpr int Min = DiscountEntry::HeaderSize + DiscountEntry::NameAreaSize;
        if (raw.size() < Min || raw.size() > DiscountMaxSize)
            return QStringLiteral("%1 байт, а не от %2 до %3").arg(raw.size()).arg(Min).arg(DiscountMaxSize);
        DiscountEntry e;
        e.fromBytes(raw);
        if (e.kind() != DiscountEntry::Amount && e.kind() != DiscountEntry::Percent &&
            e.kind() != DiscountEntry::Undefined)
            return QStringLiteral("неизвестный вид скидки %1").arg(int(e.kind()));
        if (e.kind() != DiscountEntry::Undefined && e.value() < 0)
            return QStringLiteral("отрицательная скидка");
        if (e.kind() == DiscountEntry::Percent && e.value() > 10000)
            return QStringLiteral("скидка больше 100%");
        break;
    }
    default: {
        if (raw.size() != 1)
            return QStringLiteral("%1 байт вместо 1").arg(raw.size());
        const int v = quint8(raw.at(0));
        if (p.printer && v != 60 && v != 80)
            return QStringLiteral("ширина ленты %1 мм (бывает 60 или 80)").arg(v);
        if (!p.printer && v != 0 && v != 1)
            return QStringLiteral("тип округления %1 (бывает 0 или 1)").arg(v);
        return QString();
    }
    }
    const int number = quint8(raw.at(0));
    if (number != index)
        return QStringLiteral("внутри записи номер %1").arg(number);
    return QString();
}

int readIdentity(Cli &cli, SerialInfo &info)
{
    if (const int rc = cli.fr().getSerial(info))
        return Cli::failed(rc, QStringLiteral("чтение заводского номера"));
    return 0;
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// The backup holds cashiers' passwords in clear: it is written for its owner's eyes only, whatever
// the umask and whatever file was there before, through a file of its own in the same folder that
// then takes the name. A link planted at the name is replaced, never followed; a FIFO or a device
// there is left alone.
class PrivateFile
{
public:
    explicit PrivateFile(const QString &path) : path_(path) {}
    ~PrivateFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
        if (!temp_.isEmpty())
            ::unlink(temp_.constData());
    }
    PrivateFile(const PrivateFile &) = delete;
    PrivateFile &operator=(const PrivateFile &) = delete;

    // Before the register is asked: whether the file can be written at all.
    bool prepare()
    {
        const QByteArray target = QFile::encodeName(path_);
        struct stat st = {};
        if (::lstat(target.constData(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
            return fail(S_ISDIR(st.st_mode) ? QStringLiteral("это папка")
                                            : QStringLiteral("не обычный файл, не заменяется"));
        const QFileInfo info(path_);
        folder_ = QFile::encodeName(info.absolutePath());
        QByteArray name = folder_ + "/." + QFile::encodeName(info.fileName()) + ".XXXXXX";
        // mkostemp creates with O_EXCL and 0600: nothing already there, a link included, is opened.
        fd_ = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd_ < 0)
            return fail(systemError());
        temp_ = name;
        if (::fchmod(fd_, S_IRUSR | S_IWUSR) != 0)
            return fail(systemError());
        return true;
    }

    bool commit(const QByteArray &bytes)
    {
        for (qint64 done = 0; done < bytes.size();) {
            const ssize_t n = ::write(fd_, bytes.constData() + done, size_t(bytes.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return fail(systemError());
            done += n;
        }
        if (::fsync(fd_) != 0 || ::close(fd_) != 0) {
            fd_ = -1;
            return fail(systemError());
        }
        fd_ = -1;
        if (::rename(temp_.constData(), QFile::encodeName(path_).constData()) != 0)
            return fail(systemError());
        temp_.clear();
        // The new name itself lives in the folder: only once the folder is on disk is the backup.
        const int dir = ::open(folder_.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool synced = dir >= 0 && ::fsync(dir) == 0;
        if (dir >= 0)
            ::close(dir);
        return synced || fail(systemError());
    }

private:
    QString path_;
    QByteArray folder_;
    QByteArray temp_;
    int fd_ = -1;

    bool fail(const QString &why)
    {
        Cli::note(QStringLiteral("%1: %2").arg(path_, why));
        return false;
    }
};

struct Wanted
{
    const Place *place;
    int index;
    QByteArray raw;
};

// The whole file, before the register is touched: a backup refused here writes nothing.
int readBackup(const QString &path, QString *factoryNumber, QVector<Wanted> *wanted)
{
    QByteArray bytes;
    if (const int rc = cliinput::readAll(path, cliinput::Accept::RegularFile, BackupFileMax, &bytes))
        return rc;
    const auto refuse = [&path](const QString &why) {
        Cli::note(QStringLiteral("%1: %2").arg(path, why));
        return CliExit::DataError;
    };
    QJsonParseError error{};
    const QJsonDocument json = QJsonDocument::fromJson(bytes, &error);
    const QJsonObject doc = json.object();
    if (json.isNull())
        return refuse(QStringLiteral("не копия настроек ККТ (%1)").arg(error.errorString()));
    if (doc.value(QStringLiteral("format")).toString() != Format)
        return refuse(QStringLiteral("не копия настроек ККТ"));
    if (doc.value(QStringLiteral("version")) != QJsonValue(FormatVersion))
        return refuse(QStringLiteral("копия версии %1, а эта программа знает версию %2")
                          .arg(doc.value(QStringLiteral("version")).toVariant().toString())
                          .arg(FormatVersion));
    QStringList keys{QStringLiteral("format"), QStringLiteral("version"), QStringLiteral("identity"),
                     QStringLiteral("clock")};
    for (const Place &p : places())
        keys << p.group;
    for (const QString &key : doc.keys()) {
        if (!keys.contains(key))
            return refuse(QStringLiteral("неизвестная часть копии \"%1\"").arg(key));
    }
    for (const Place &p : places()) {
        const QJsonValue group = doc.value(p.group);
        if (group.isUndefined())
            continue;
        if (!group.isArray())
            return refuse(QStringLiteral("\"%1\" не список").arg(p.group));
        const QJsonArray list = group.toArray();
        if (list.size() > entryCount(p))
            return refuse(QStringLiteral("\"%1\": %2 записей, а ККТ хранит не больше %3")
                              .arg(p.group)
                              .arg(list.size())
                              .arg(entryCount(p)));
        QSet<int> seen;
        for (int i = 0; i < list.size(); ++i) {
            const QJsonObject e = list.at(i).toObject();
            const double number = e.value(QStringLiteral("index")).toDouble(-1);
            const int index = number == std::floor(number) && number >= 1 && number <= entryCount(p) ? int(number) : 0;
            const QString where =
                index > 0 ? entryName(p, index) : QStringLiteral("\"%1\", запись %2").arg(p.group).arg(i + 1);
            if (index == 0)
                return refuse(QStringLiteral("%1: номер не от 1 до %2").arg(where).arg(entryCount(p)));
            if (seen.contains(index))
                return refuse(QStringLiteral("%1: записан дважды").arg(where));
            seen.insert(index);
            QByteArray raw;
            if (!cliparse::hexBytes(e.value(QStringLiteral("raw")).toString(), &raw) || raw.isEmpty())
                return refuse(QStringLiteral("%1: нет байтов записи (\"raw\")").arg(where));
            const QString fault = entryFault(p, index, raw);
            if (!fault.isEmpty())
                return refuse(QStringLiteral("%1: %2").arg(where, fault));
            wanted->append({&p, index, raw});
        }
    }
    *factoryNumber = doc.value(QStringLiteral("identity")).toObject().value(QStringLiteral("factoryNumber")).toString();
    return CliExit::Success;
}

} // namespace

int cmdBackup(Cli &cli, const QStringList &args)
{
    if (args.size() != 1)
        return Cli::usage(QStringLiteral("нужно: backup ФАЙЛ"));
    const QString path = args.first();
    // The file takes its name only once everything was read, so a failed backup leaves an older
    // one in place; whether it can be written at all is known before the register is asked.
    PrivateFile file(path);
    if (!file.prepare())
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
    doc[QStringLiteral("clock")] = clock.toString(CliDateFormat);
    int entries = 0;
    for (const Place &p : places()) {
        QJsonArray list;
        for (int index = 1; index <= entryCount(p); ++index) {
            QByteArray raw;
            const int rc = readBlock(fr, p, index, raw);
            if (noSuchEntry(rc))
                continue;
            if (rc != CoreApiConst::Success)
                return Cli::failed(rc, QStringLiteral("чтение: %1").arg(entryName(p, index)));
            list.append(QJsonObject{{QStringLiteral("index"), index},
                                    {QStringLiteral("raw"), QString::fromLatin1(raw.toHex())},
                                    {QStringLiteral("decoded"), decoded(p, raw)}});
            ++entries;
        }
        doc[p.group] = list;
    }
    if (!file.commit(QJsonDocument(doc).toJson(QJsonDocument::Indented)))
        return CliExit::NoInput;
    cli.out(QStringLiteral("Сохранено записей: %1 (ЗН %2) в %3").arg(entries).arg(info.factoryNumber, path));
    cli.printJson(QJsonObject{{QStringLiteral("file"), path},
                              {QStringLiteral("entries"), entries},
                              {QStringLiteral("factoryNumber"), info.factoryNumber}});
    return CliExit::Success;
}

int cmdRestore(Cli &cli, const QStringList &args)
{
    const bool dryRun = cli.has(QStringLiteral("--dry-run"));
    const bool force = cli.has(QStringLiteral("--force"));
    if (args.size() != 1)
        return Cli::usage(QStringLiteral("нужно: restore ФАЙЛ [--dry-run] [--force]"));
    QString savedNumber;
    QVector<Wanted> wanted;
    if (const int rc = readBackup(args.first(), &savedNumber, &wanted))
        return rc;

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

    // Every entry is read before any is written: a register that refuses a read (a wrong
    // password, a cashier without the right, an entry it does not have) gets nothing written.
    QVector<Wanted> differing;
    QJsonArray changes;
    for (const Wanted &w : qAsConst(wanted)) {
        const QString what = entryName(*w.place, w.index);
        QByteArray current;
        if (const int rc = readBlock(fr, *w.place, w.index, current))
            return Cli::failed(rc, QStringLiteral("чтение: ") + what);
        if (current == w.raw)
            continue;
        // The register takes only an amount or a percent: a discount the backup holds as not
        // defined cannot be written back as such.
        if (undefinedDiscount(*w.place, w.raw)) {
            if (undefinedDiscount(*w.place, current))
                continue;
            Cli::note(QStringLiteral("%1: в копии скидка не задана, а в ККТ задана; ККТ принимает только суммовую или "
                                     "процентную скидку, поэтому вернуть ее в незаданную нельзя: задайте скидку в "
                                     "копии или уберите запись из копии. Ничего не записано")
                          .arg(what));
            return CliExit::DataError;
        }
        differing.append(w);
        cli.out(QStringLiteral("отличается: %1").arg(what));
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
        const QString what = entryName(*w.place, w.index);
        if (const int rc = writeBlock(fr, *w.place, w.index, w.raw))
            return Cli::failed(rc, QStringLiteral("запись: %1 (записано до нее: %2)").arg(what).arg(written));
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
