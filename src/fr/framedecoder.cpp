#include "framedecoder.h"

#include "frpayload.h"
#include "frrecords.h"

using namespace frcmd;

namespace framedecoder {

namespace {

const QString Sent = QStringLiteral("→");
const QString Received = QStringLiteral("←");
const QString Gap = QStringLiteral("  ");
constexpr quint8 RepeatByte = 0x05;
constexpr int CashierBlockSize = 5;
constexpr int MaxShownText = 60;
constexpr int MaxShownTags = 8;
// Loader frames: start byte, 32-bit size, code or status.
constexpr int LoaderHeaderSize = 6;

QString hex2(int code)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(code, 2, 16, QLatin1Char('0')).toUpper();
}

using frtext::dateText;
const auto money = frtext::plainMoney;

// Text the register or the operator wrote: shortened, and with control characters made visible so
// that one frame stays one line.
QString printable(const QString &text)
{
    QString out;
    for (const QChar c : text.left(MaxShownText))
        out += c.isPrint() ? c : QChar(0xB7);
    if (text.size() > MaxShownText)
        out += QChar(0x2026);
    return out;
}

QString shown(const QString &text)
{
    return QStringLiteral("«%1»").arg(printable(text));
}

QString bytesCount(int n)
{
    return QStringLiteral("%1 байт").arg(n);
}

QString milliseconds(qint64 us)
{
    return QStringLiteral("%1 мс").arg(double(us) / 1000.0, 0, 'f', 1);
}

// Tags of the records in a piece of document data; the values may be personal data (names,
// addresses, phone numbers), so only their tags are shown.
QString tlvTags(const QByteArray &bytes)
{
    QDataStream s(bytes);
    s.setByteOrder(QDataStream::LittleEndian);
    QStringList tags;
    int count = 0;
    while (!s.atEnd()) {
        Tlv t;
        s >> t;
        if (s.status() != QDataStream::Ok || !t.isValid())
            return tags.isEmpty() ? QStringLiteral("записи TLV не разобраны")
                                  : QStringLiteral("теги %1, далее не разобрано").arg(tags.join(QLatin1String(", ")));
        if (++count <= MaxShownTags)
            tags << QString::number(t.tag());
    }
    if (tags.isEmpty())
        return QString();
    if (count > MaxShownTags)
        tags << QStringLiteral("… всего %1").arg(count);
    return QStringLiteral("%1 %2").arg(count == 1 ? QStringLiteral("тег") : QStringLiteral("теги"),
                                       tags.join(QLatin1String(", ")));
}

bool hasCashierBlock(quint8 code)
{
    switch (code) {
    case ReadCatalog:
    case WriteCatalog:
    case WriteDt:
    case StartRegistration:
    case StartCycleOpening:
    case StartCycleClosing:
    case StartReceipt:
    case StartArchiveClosing:
    case PrintControlTape:
    case WriteSerial:
    case ReadFrSettings:
    case WriteFrSettings:
    case StartIntroduction:
    case StartPayout:
    case PrintReport:
    case PrintDocCopy:
    case ReadPrinterSettings:
    case WritePrinterSettings:
        return true;
    default:
        return false;
    }
}

QString nameField(const QByteArray &rest)
{
    if (rest.isEmpty())
        return QString();
    const int len = quint8(rest.at(0));
    return shown(frtext::fromCp866(rest.mid(1, len)));
}

QString identifier(const QByteArray &field)
{
    return printable(QString::fromLatin1(frtext::untilZero(field)).trimmed());
}

// What the payload of a request says. Only the cashier number of the cashier block is shown:
// the password that follows it never leaves the frame.
QStringList requestFields(quint8 code, const QByteArray &payload)
{
    QStringList f;
    QByteArray rest = payload;
    if (hasCashierBlock(code)) {
        if (payload.size() < CashierBlockSize)
            return {QStringLiteral("нет блока кассира")};
        f << QStringLiteral("кассир %1").arg(quint8(payload.at(0)));
        rest = payload.mid(CashierBlockSize);
    }
    PayloadReader r(rest);
    switch (code) {
    case ReadCatalog:
        f << QStringLiteral("справочник %1").arg(r.get<quint8>()) << QStringLiteral("запись %1").arg(r.get<quint8>());
        break;
    case WriteCatalog:
        // A cashier entry carries the cashier's password: its bytes are counted, never shown.
        f << QStringLiteral("справочник %1").arg(r.get<quint8>());
        if (rest.size() > 1)
            f << QStringLiteral("запись %1").arg(bytesCount(rest.size() - 1));
        break;
    case WriteDt:
        f << dateText(r.get<quint32>());
        break;
    case SendDocData:
        f << tlvTags(payload);
        break;
    case StartRegistration:
    case StartCycleOpening:
    case StartCycleClosing:
    case StartArchiveClosing:
    case StartIntroduction:
    case StartPayout:
        f << nameField(rest);
        break;
    case StartReceipt:
        if (!rest.isEmpty())
            f << QStringLiteral("тип чека %1").arg(quint8(rest.at(0))) << nameField(rest.mid(1));
        break;
    case CompleteRegistration:
    case PreprintRegistration:
        f << QStringLiteral("ИНН %1").arg(identifier(rest.left(12)))
          << QStringLiteral("РН %1").arg(identifier(rest.mid(12, 16)));
        break;
    case CompleteIntroduction:
    case CompletePayout:
        f << QStringLiteral("сумма %1").arg(money(r.get<qint64>()));
        break;
    case CompleteReceipt: {
        const qint64 cash = r.get<qint64>();
        const qint64 card = r.get<qint64>();
        f << QStringLiteral("наличными %1").arg(money(cash)) << QStringLiteral("безналичными %1").arg(money(card));
        break;
    }
    case PrintControlTape:
        if (rest.size() >= 4)
            f << QStringLiteral("с документа %1").arg(r.get<qint32>());
        break;
    case WriteSerial:
        f << QStringLiteral("ЗН %1").arg(printable(QString::fromLatin1(rest.left(10))));
        break;
    case ReadFrSettings:
    case WriteFrSettings:
    case ReadPrinterSettings:
    case WritePrinterSettings:
        f << QStringLiteral("блок %1").arg(r.get<quint8>());
        if (rest.size() > 1)
            f << bytesCount(rest.size() - 1);
        break;
    case ReadRegParam:
        f << QStringLiteral("тег %1").arg(r.get<quint16>());
        break;
    case PrintReport:
        f << QStringLiteral("отчёт %1").arg(r.get<quint8>());
        break;
    case PrintDocCopy:
        f << QStringLiteral("документ %1").arg(r.get<qint32>());
        break;
    case PrintLine:
        f << shown(frtext::fromCp866(payload.mid(4)));
        break;
    case SendPrinterCmd:
        f << bytesCount(payload.size());
        break;
    default:
        if (!commandName(code).isEmpty() || payload.isEmpty())
            break;
        f << bytesCount(payload.size());
        break;
    }
    f.removeAll(QString());
    return f;
}

QStringList docNumbers(PayloadReader &r, bool withCycle)
{
    DocNumbers doc;
    doc.read(r, withCycle);
    QStringList f{QStringLiteral("ФД %1").arg(doc.fd), QStringLiteral("ФП %1").arg(quint32(doc.fp)),
                  doc.dt.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"))};
    if (withCycle)
        f << QStringLiteral("смена %1").arg(doc.cycle);
    return f;
}

const QString NotParsed = QStringLiteral("ответ не разобран");

// What the payload of a successful reply says, read by the same records the commands fill.
QStringList replyFields(int requestCode, const QByteArray &payload)
{
    PayloadReader r(payload);
    switch (requestCode) {
    case GetFrStatus: {
        FrStatus st;
        if (!st.parse(payload))
            return {NotParsed};
        return {QStringLiteral("ЗН %1").arg(printable(st.factoryNumber.trimmed())),
                (st.flags & FrStatus::CycleOpen) ? QStringLiteral("смена %1 открыта").arg(st.cycleNumber)
                                                 : QStringLiteral("смена закрыта"),
                QStringLiteral("последний ФД %1").arg(st.lastDocNumber)};
    }
    case GetSerial: {
        SerialInfo info;
        if (!info.parse(payload))
            return {NotParsed};
        return {QStringLiteral("ЗН %1").arg(printable(info.factoryNumber.trimmed())), shown(info.modelName.trimmed())};
    }
    case GetCycleStatus: {
        CycleStatus st;
        if (!st.parse(payload))
            return {NotParsed};
        return {QStringLiteral("смена %1 %2").arg(st.cycleNumber).arg(st.isOpen ? QStringLiteral("открыта")
                                                                                 : QStringLiteral("закрыта")),
                QStringLiteral("чеков %1").arg(st.receiptCount), QStringLiteral("в кассе %1").arg(st.cash().toString(
                                                                     QLatin1Char('.'), QChar()))};
    }
    case GetFirmwareVersion:
        if (payload.size() != 3)
            return {NotParsed};
        return {QStringLiteral("версия %1.%2.%3")
                    .arg(quint8(payload.at(0)))
                    .arg(quint8(payload.at(1)))
                    .arg(quint8(payload.at(2)))};
    case GetCycleCounters:
    case GetFiscCounters: {
        Counters c;
        if (!c.parse(payload))
            return {NotParsed};
        return {QStringLiteral("смена %1").arg(c.cycleNumber), QStringLiteral("чеков %1").arg(c.receiptCount)};
    }
    case GetTotalCounters: {
        TotalCounters c;
        return c.parse(payload) ? QStringList() : QStringList{NotParsed};
    }
    case GetSectionCounters:
        return payload.size() == SectionCountersSize ? QStringList() : QStringList{NotParsed};
    case CompleteRegistration:
    case CompleteArchiveClosing:
        return docNumbers(r, false);
    case CompleteCycleOpening:
    case CompleteCycleClosing:
        return docNumbers(r, true);
    case CompleteIntroduction:
    case CompletePayout: {
        QStringList f = docNumbers(r, true);
        return f << QStringLiteral("в кассе %1").arg(r.money().toString(QLatin1Char('.'), QChar()));
    }
    case CompleteReceipt: {
        QStringList f = docNumbers(r, true);
        f << QStringLiteral("чек %1").arg(r.get<qint16>());
        f << QStringLiteral("итог %1").arg(r.money().toString(QLatin1Char('.'), QChar()));
        return f << QStringLiteral("сдача %1").arg(r.money().toString(QLatin1Char('.'), QChar()));
    }
    case GetOpenDocData: {
        if (payload.isEmpty())
            return {NotParsed};
        const quint8 type = r.get<quint8>();
        if (type == 0)
            return {QStringLiteral("открытого документа нет")};
        QStringList f{QStringLiteral("документ типа %1").arg(type)};
        if (payload.size() >= 14) {
            r.get<qint8>();
            f << QStringLiteral("чек %1").arg(r.get<qint16>());
            f << QStringLiteral("операций %1").arg(r.get<qint16>());
            f << QStringLiteral("сумма %1").arg(r.money().toString(QLatin1Char('.'), QChar()));
        }
        return f;
    }
    case ReadDt:
        if (payload.size() < 4)
            return {NotParsed};
        return {dateText(r.get<quint32>())};
    case ReadRegParam: {
        Tlv t;
        if (!t.setRawData(payload))
            return {NotParsed};
        return {QStringLiteral("тег %1").arg(t.tag())};
    }
    case PrintControlTape:
        if (payload.size() == 4)
            return {QStringLiteral("продолжить с документа %1").arg(r.get<qint32>())};
        return {};
    default:
        return {};
    }
}

QString joined(const QStringList &parts)
{
    QStringList kept = parts;
    kept.removeAll(QString());
    return kept.join(Gap);
}

QString damaged(const QString &arrow, const QByteArray &frame)
{
    if (frame.isEmpty())
        return arrow + QStringLiteral(" нет ответа");
    if (quint8(frame.at(0)) != FsMsg::StartByte) {
        // Noise on the line: say how much, and where a frame might begin.
        const int start = frame.indexOf(char(FsMsg::StartByte));
        return start < 0 ? QStringLiteral("%1 посторонние байты: %2").arg(arrow, bytesCount(frame.size()))
                         : QStringLiteral("%1 посторонние байты перед кадром: %2").arg(arrow, bytesCount(start));
    }
    if (frame.size() < 3)
        return QStringLiteral("%1 обрывок кадра: %2").arg(arrow, bytesCount(frame.size()));
    const int expected = int(quint8(frame.at(1)) | (quint8(frame.at(2)) << 8)) + 5;
    if (expected < FsMsg::MinFrameSize)
        return QStringLiteral("%1 кадр слишком короткий: длина %2").arg(arrow).arg(expected - 5);
    if (frame.size() < expected)
        return QStringLiteral("%1 неполный кадр: %2 из %3").arg(arrow, bytesCount(frame.size())).arg(expected);
    return QStringLiteral("%1 лишние байты после кадра: %2").arg(arrow, bytesCount(frame.size() - expected));
}

QString uniqueText(quint32 unique)
{
    return QStringLiteral("№%1").arg(unique);
}

} // namespace

QString commandName(quint8 code)
{
    switch (code) {
    case ReadCatalog: return QStringLiteral("Чтение справочника");
    case WriteCatalog: return QStringLiteral("Запись справочника");
    case ReadDt: return QStringLiteral("Чтение даты и времени");
    case WriteDt: return QStringLiteral("Установка даты и времени");
    case CancelDoc: return QStringLiteral("Отмена документа");
    case SendDocData: return QStringLiteral("Данные документа");
    case StartRegistration: return QStringLiteral("Начало регистрации");
    case CompleteRegistration: return QStringLiteral("Регистрация");
    case GetCycleStatus: return QStringLiteral("Текущая смена");
    case StartCycleOpening: return QStringLiteral("Начало открытия смены");
    case CompleteCycleOpening: return QStringLiteral("Открытие смены");
    case StartCycleClosing: return QStringLiteral("Начало закрытия смены");
    case CompleteCycleClosing: return QStringLiteral("Закрытие смены");
    case StartReceipt: return QStringLiteral("Открытие чека");
    case CompleteReceipt: return QStringLiteral("Закрытие чека");
    case StartArchiveClosing: return QStringLiteral("Начало закрытия архива");
    case CompleteArchiveClosing: return QStringLiteral("Закрытие архива");
    case PreprintRegistration: return QStringLiteral("Предпечать регистрации");
    case GetFrStatus: return QStringLiteral("Состояние ККТ");
    case GetSerial: return QStringLiteral("Заводской номер");
    case GetFirmwareVersion: return QStringLiteral("Версия ПО");
    case GetCycleCounters: return QStringLiteral("Счётчики смены");
    case GetFiscCounters: return QStringLiteral("Фискальные счётчики");
    case GetTotalCounters: return QStringLiteral("Итоговые счётчики");
    case GetSectionCounters: return QStringLiteral("Счётчики отделов");
    case PrintControlTape: return QStringLiteral("Контрольная лента");
    case WriteSerial: return QStringLiteral("Запись заводского номера");
    case ReadFrSettings: return QStringLiteral("Чтение настроек ККТ");
    case WriteFrSettings: return QStringLiteral("Запись настроек ККТ");
    case ReadRegParam: return QStringLiteral("Параметр регистрации");
    case StartIntroduction: return QStringLiteral("Начало внесения");
    case CompleteIntroduction: return QStringLiteral("Внесение");
    case StartPayout: return QStringLiteral("Начало выплаты");
    case CompletePayout: return QStringLiteral("Выплата");
    case GetOpenDocData: return QStringLiteral("Открытый документ");
    case PrintReport: return QStringLiteral("Печать отчёта");
    case PrintDocCopy: return QStringLiteral("Копия документа");
    case ReadPrinterSettings: return QStringLiteral("Чтение настроек принтера");
    case WritePrinterSettings: return QStringLiteral("Запись настроек принтера");
    case PrintLine: return QStringLiteral("Печать строки");
    case SendPrinterCmd: return QStringLiteral("Команда принтеру");
    case PrinterCut: return QStringLiteral("Отрезка");
    default: return QString();
    }
}

QString describeRequest(const QByteArray &frame)
{
    if (frame.size() == 1 && quint8(frame.at(0)) == RepeatByte)
        return QStringLiteral("%1 0x05 Повтор последнего ответа").arg(Sent);
    FsReq req;
    const fs::RepParsingRes res = req.parseQuietly(frame);
    if (res != fs::Ok && res != fs::WrongCrc)
        return damaged(Sent, frame);
    const QString name = commandName(req.code());
    QStringList parts{QStringLiteral("%1 %2 %3").arg(Sent, hex2(req.code()),
                                                     name.isEmpty() ? QStringLiteral("Неизвестная команда") : name),
                      uniqueText(req.unique())};
    parts << requestFields(req.code(), req.data());
    if (res == fs::WrongCrc)
        parts << QStringLiteral("неверная контрольная сумма");
    return joined(parts);
}

QString describeReply(const QByteArray &frame, int requestCode, qint64 roundTripUs)
{
    const QString time = roundTripUs >= 0 ? milliseconds(roundTripUs) : QString();
    FsRep rep;
    const fs::RepParsingRes res = rep.parseQuietly(frame);
    if (res != fs::Ok && res != fs::WrongCrc)
        return joined({damaged(Received, frame), time});
    const QString text = errorText(rep.code());
    QStringList parts{QStringLiteral("%1 %2 %3").arg(Received, hex2(rep.code()),
                                                     text.isEmpty() ? QStringLiteral("Неизвестный код ответа") : text),
                      uniqueText(rep.unique()), bytesCount(rep.data().size()), time};
    if (res == fs::WrongCrc)
        parts << QStringLiteral("неверная контрольная сумма");
    else if (rep.code() == CoreApiConst::Success && requestCode >= 0)
        parts << replyFields(requestCode, rep.data());
    return joined(parts);
}

namespace {

QString loaderName(quint8 code)
{
    switch (code) {
    case 0xFF: return QStringLiteral("Проверка связи");
    case 0xF0: return QStringLiteral("Перезагрузка");
    case 0x04: return QStringLiteral("Верификация прошивки");
    case 0x00: return QStringLiteral("Размер прошивки");
    case 0x01: return QStringLiteral("Блок прошивки");
    case 0x02: return QStringLiteral("Проверка образа");
    case 0x03: return QStringLiteral("Установка прошивки");
    default: return QStringLiteral("Неизвестная команда");
    }
}

// Start byte and a declared size that matches the bytes there are; -1 otherwise.
qint32 loaderDeclared(const QByteArray &frame)
{
    if (frame.size() < LoaderHeaderSize || quint8(frame.at(0)) != FsMsg::StartByte)
        return -1;
    PayloadReader r(frame.mid(1, 4));
    const qint32 n = r.get<qint32>();
    return n >= 0 && n == frame.size() - LoaderHeaderSize ? n : -1;
}

} // namespace

QString describeLoaderRequest(const QByteArray &frame)
{
    const qint32 n = loaderDeclared(frame);
    if (n < 0)
        return QStringLiteral("%1 загрузчик: не кадр, %2").arg(Sent, bytesCount(frame.size()));
    const quint8 code = quint8(frame.at(5));
    QStringList parts{QStringLiteral("%1 загрузчик %2 %3").arg(Sent, hex2(code), loaderName(code))};
    if (code == 0x00 && n == 4)
        parts << bytesCount(PayloadReader(frame.mid(LoaderHeaderSize)).get<qint32>());
    else if (n > 0)
        parts << bytesCount(n);
    return joined(parts);
}

QString describeLoaderReply(const QByteArray &frame)
{
    const qint32 n = loaderDeclared(frame);
    if (n < 0)
        return frame.isEmpty() ? QStringLiteral("%1 загрузчик: нет ответа").arg(Received)
                               : QStringLiteral("%1 загрузчик: не кадр, %2").arg(Received, bytesCount(frame.size()));
    const quint8 status = quint8(frame.at(5));
    const QByteArray text = frame.mid(LoaderHeaderSize);
    const int zero = text.indexOf('\0');
    const QString words = QString::fromUtf8(zero < 0 ? text : text.left(zero)).trimmed();
    return joined({QStringLiteral("%1 загрузчик: %2").arg(Received, status == 0 ? QStringLiteral("успешно")
                                                                               : QStringLiteral("ошибка %1").arg(status)),
                   words.isEmpty() ? QString() : shown(words)});
}

bool isLoaderFrame(const QByteArray &frame)
{
    return loaderDeclared(frame) >= 0;
}

} // namespace framedecoder
