#include "frmsg.h"

#include <QDataStream>
#include <QDebug>

#include <array>
#include <atomic>
#include <limits>
#include <mutex>

#include "hexdump.h"

namespace {
constexpr quint16 CrcPolynomial = 0x1021;
constexpr quint16 CrcInit = 0xFFFF;

// The last exchange number handed out in this process, shared by every message and thread.
std::atomic<quint32> lastUnique{0};
} // namespace

Crc16::Crc16()
{
    for (int i = 0; i < 256; ++i) {
        quint16 crc = quint16(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ CrcPolynomial) : quint16(crc << 1);
        }
        table_[i] = crc;
    }
}

const Crc16 &Crc16::shared()
{
    static const Crc16 crc;
    return crc;
}

quint16 Crc16::calc(const char *data, int length, bool useTable) const
{
    quint16 crc = CrcInit;
    if (!data) {
        return crc;
    }
    for (int i = 0; i < length; ++i) {
        const quint8 byte = quint8(data[i]);
        if (useTable) {
            crc = step(crc, byte);
        } else {
            crc ^= quint16(byte << 8);
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc & 0x8000) ? quint16((crc << 1) ^ CrcPolynomial) : quint16(crc << 1);
            }
        }
    }
    return crc;
}

namespace {

// a * b in the ring of polynomials modulo the CRC's, 16 bits each.
quint16 multiplyMod(quint16 a, quint16 b)
{
    quint32 r = 0;
    for (int bit = 15; bit >= 0; --bit) {
        r <<= 1;
        if (r & 0x10000u)
            r ^= 0x10000u | CrcPolynomial;
        if (b & (1u << bit))
            r ^= a;
    }
    return quint16(r);
}

} // namespace

quint16 Crc16::ofRange(quint16 prefixA, quint16 prefixB, qint64 length)
{
    // The register is linear: going on over n bytes from a register value v gives what going on
    // from 0 gives, plus v times x^(8n). So the range's own CRC (from CrcInit) is prefixB plus
    // (prefixA + CrcInit) times x^(8n); x^(8n) is built from x^(8 * 2^i), squared in turn.
    static const auto powers = [] {
        std::array<quint16, 64> p{};
        p[0] = 0x0100; // x^8
        for (size_t i = 1; i < p.size(); ++i)
            p[i] = multiplyMod(p[i - 1], p[i - 1]);
        return p;
    }();
    quint16 v = quint16(prefixA ^ CrcInit);
    for (size_t i = 0; length > 0 && i < powers.size(); ++i, length >>= 1) {
        if (length & 1)
            v = multiplyMod(v, powers[i]);
    }
    return quint16(prefixB ^ v);
}

QByteArray FsMsg::rawData() const
{
    if (payload_.size() > MaxPayloadSize) {
        // The length field would wrap and the register would read a different frame.
        qWarning() << "Payload too large for one frame:" << payload_.size() << "bytes, at most" << MaxPayloadSize;
        return QByteArray();
    }
    QByteArray raw;
    raw.reserve(payload_.size() + MinFrameSize);
    QDataStream ds(&raw, QIODevice::WriteOnly);
    ds.setByteOrder(QDataStream::LittleEndian);
    ds << quint8(StartByte) << quint16(payload_.size() + 5) << code_ << unique_;
    if (!payload_.isEmpty()) {
        ds.writeRawData(payload_.constData(), payload_.size());
    }
    ds << Crc16::shared().calc(raw.constData() + 1, raw.size() - 1);
    return raw;
}

fs::RepParsingRes FsMsg::setRawData(const QByteArray &raw)
{
    return parse(raw, true);
}

fs::RepParsingRes FsMsg::parseQuietly(const QByteArray &raw)
{
    return parse(raw, false);
}

fs::RepParsingRes FsMsg::parse(const QByteArray &raw, bool warn)
{
    payload_.clear();
    if (raw.size() < MinFrameSize) {
        if (warn)
            qWarning() << "Frame too short:" << raw.size() << "bytes";
        return fs::TooShort;
    }
    if (quint8(raw.at(0)) != StartByte) {
        if (warn)
            qWarning() << "Wrong start byte:" << QString::number(quint8(raw.at(0)), 16);
        return fs::WrongStartByte;
    }
    QDataStream ds(raw);
    ds.setByteOrder(QDataStream::LittleEndian);
    quint8 start = 0;
    quint16 len = 0;
    ds >> start >> len;
    if (raw.size() != int(len) + 5) {
        if (warn)
            qWarning() << "Wrong frame length: field" << len << "received" << raw.size() << "received - 5"
                   << raw.size() - 5;
        return fs::WrongLength;
    }
    const quint16 crc = Crc16::shared().calc(raw.constData() + 1, int(len) + 2);
    qint8 code = 0;
    ds >> code >> unique_;
    code_ = quint8(code);
    if (len > 5) {
        payload_ = raw.mid(8, len - 5);
    }
    if (warn)
        qWarning() << "Frame code" << code_ << "unique" << QString::number(unique_, 16) << HexDump(raw, "UTF-8");
    ds.skipRawData(int(len) - 5);
    quint16 received = 0;
    ds >> received;
    if (received != crc) {
        if (warn)
            qWarning() << "CRC: " << crc << received;
        return fs::WrongCrc;
    }
    return fs::Ok;
}

quint32 FsMsg::newUnique()
{
    const quint32 clock = quint32(QDateTime::currentDateTime().toMSecsSinceEpoch());
    quint32 last = lastUnique.load();
    quint32 next;
    do {
        // The clock's low 32 bits wrap every ~49 days, so "later" is judged by the signed
        // difference. Requests faster than the clock (or a clock set back) count on from
        // the last value so that the register never sees the same number twice in a row.
        next = qint32(clock - last) > 0 ? clock : last + 1;
        if (next == 0) {
            next = 1; // the register refuses 0
        }
    } while (!lastUnique.compare_exchange_weak(last, next));
    unique_ = next;
    return next;
}

bool FsRep::isValid() const
{
    return parsingResult_ == fs::Ok && code_ != CoreApiConst::NoAnswer;
}

fs::RepParsingRes FsRep::setRawData(const QByteArray &raw)
{
    parsingResult_ = FsMsg::setRawData(raw);
    return parsingResult_;
}

fs::RepParsingRes FsRep::getDocResult(qint32 &fd, quint32 &fp) const
{
    fd = 0;
    fp = 0;
    if (parsingResult_ != fs::Ok) {
        return parsingResult_;
    }
    if (payload_.size() < 8) {
        return fs::WrongLength;
    }
    QDataStream ds(payload_);
    ds.setByteOrder(QDataStream::LittleEndian);
    ds >> fd >> fp;
    qWarning() << "Document result: FD" << fd << "FP" << fp;
    return fs::Ok;
}

QString FsRep::errorText() const
{
    return ::errorText(code_);
}

QString errorText(quint8 code)
{
    switch (code) {
    case 0x00:
        return QStringLiteral("Успешный ответ");
    case 0x01:
        return QStringLiteral("Не передан UNIQUE (передан 0)");
    case 0x02:
        return QStringLiteral("Не передана команда (передан 0)");
    case 0x03:
        return QStringLiteral("Ошибка формирования документа/некорректный документ");
    case 0x04:
        return QStringLiteral("Ошибка формирования хранимой структуры документа");
    case 0x05:
        return QStringLiteral("Ошибка записи/чтения хранилища");
    case 0x06:
        return QStringLiteral("Хранилище заполнено");
    case 0x07:
        return QStringLiteral("Документ слишком большой");
    case 0x08:
        return QStringLiteral("Ошибка обработки команды ядром ФР");
    case 0x09:
        return QStringLiteral("CRC переданной команды не совпадает с расчетным значением");
    case 0x0A:
        return QStringLiteral("Команда не поддерживается");
    case 0x0B:
        return QStringLiteral("Некорректная длина команды");
    case 0x0C:
        return QStringLiteral("Ошибка обмена (передан нечитаемый мусор)");
    case 0x0D:
        return QStringLiteral("Не установлен ЗН ФР");
    case 0x0E:
        return QStringLiteral("Передан неподдерживаемый реквизит или переданный реквизит имеет некорректную структуру");
    case 0x0F:
        return QStringLiteral("В ФР не установлена SD карта");
    case 0x10:
        return QStringLiteral("Доступ запрещен (у кассира нет соответствующих прав)");
    case 0x11:
        return QStringLiteral("Нет запрашиваемых данных");
    case 0x12:
        return QStringLiteral("Ошибка авторизации (нет такого кассира или пароль не совпадает)");
    case 0x13:
        return QStringLiteral("Некорректный формат переданной команды");
    case 0x14:
        return QStringLiteral("Передан неподдерживаемый тип справочника");
    case 0x15:
        return QStringLiteral("Ошибка записи объекта в справочник или настроек");
    case 0x16:
        return QStringLiteral("Переданы некорректные данные в команде");
    case 0x17:
        return QStringLiteral("В ФР установлена некорректная дата или некорректная дата передана в команде "
                              "установки даты. Дата в ФР не должна быть меньше даты сборки ПО и даты последнего "
                              "документа.");
    case 0x18:
        return QStringLiteral("Заводской номер уже установлен. Для записи другого ЗН необходимо тех. обнуление.");
    case 0x19:
        return QStringLiteral("Ошибка доступа к EEPROM памяти");
    case 0x1A:
        return QStringLiteral("Команда может быть выполнена только при закрытой смене");
    case 0x1B:
        return QStringLiteral("Команда может быть выполнена только в открытой смене");
    case 0x1C:
        return QStringLiteral("Команда может быть выполнена только в отсутствии открытого документа");
    case 0x1D:
        return QStringLiteral("Команда может быть выполнена только при наличии открытого документа");
    case 0x1E:
        return QStringLiteral("Команда может быть выполнена только для открытого документа другого типа или "
                              "передан неподдерживаемый тип отчета в команде печати отчетов");
    case 0x1F:
        return QStringLiteral("Архив закрыт. Формирование документов более не доступно.");
    case 0x20:
        return QStringLiteral("В ФР установлена SD карта, активированная в составе другого ФР.");
    case 0x21:
        return QStringLiteral("Исчерпан лимит перерегистраций ФН");
    case 0x22:
        return QStringLiteral("В документ передан неподдерживаемый реквизит");
    case 0x23:
        return QStringLiteral("В документ передан реквизит с невалидным значением");
    case 0x24:
        return QStringLiteral("Ошибка формирование подписи документа");
    case 0x25:
        return QStringLiteral("В документе отсутствует обязательный реквизит");
    case 0x26:
        return QStringLiteral("ФР не активирован");
    case 0x27:
        return QStringLiteral("Некорректное ФИО кассира");
    case 0x28:
        return QStringLiteral("Недостаточно наличных средств в кассе для выполнения расходной операции");
    case 0x29:
        return QStringLiteral("Превышен лимит внесения");
    case 0x2A:
        return QStringLiteral("Передан некорректный тип чека");
    case 0x2B:
        return QStringLiteral("Передан некорректный номер отдела");
    case 0x2C:
        return QStringLiteral("Передан некорректный номер скидки");
    case 0x2D:
        return QStringLiteral("Передан некорректный номер налога");
    case 0x2E:
        return QStringLiteral("Передана некорректная позиция чека");
    case 0x2F:
        return QStringLiteral("Недостаточно средств для закрытия чека (общая сумма средств, переданная в команде "
                              "закрытия чека, меньше итога чека)");
    case 0x30:
        return QStringLiteral("Общая сумма средств, переданная в команде закрытия чека, больше суммы по чеку "
                              "(актуально для оплат безналом и для чеков покупок и возвратов; при оплате чеков "
                              "продаж наличными рассчитывается сдача)");
    case 0x31:
        return QStringLiteral("Превышен придел суммы по чеку");
    case 0x32:
        return QStringLiteral("Превышен лимит чеков внутри смены");
    case 0x33:
        return QStringLiteral("Смена превысила 24 часа");
    case 0x34:
        return QStringLiteral("Необходимо оформить изъятие наличных");
    case 0x35:
        return QStringLiteral("Принтер не отвечает");
    case 0x36:
        return QStringLiteral("Закончилась бумага в принтере");
    case 0xFC:
        return QStringLiteral("Ошибка разбора ответа от ФР");
    case 0xFD:
        return QStringLiteral("ФР не отвечает");
    case 0xFF:
        return QStringLiteral("Неадекватная ошибка ФР");
    default:
        return QString();
    }
}

QDateTime timeToDateTime(quint32 seconds)
{
    QDateTime dt = QDateTime::fromSecsSinceEpoch(qint64(seconds), Qt::UTC);
    dt.setTimeSpec(Qt::LocalTime);
    return dt;
}

quint32 dateTimeToTime(const QDateTime &dt)
{
    if (!dt.isValid()) {
        return std::numeric_limits<quint32>::max();
    }
    const qint64 secs = QDateTime(dt.date(), dt.time(), Qt::UTC).toSecsSinceEpoch();
    if (secs < 0 || secs > qint64(std::numeric_limits<quint32>::max())) {
        return std::numeric_limits<quint32>::max();
    }
    return quint32(secs);
}

void registerFsMetaTypes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        qRegisterMetaType<FsReq>("FsReq");
        qRegisterMetaType<FsRep>("FsRep");
    });
}
