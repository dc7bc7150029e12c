#include "receuptwidget.h"
#include "ui_receuptwidget.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QMessageBox>
#include <QStringList>

#include "confirm.h"
#include "frwrapper.h"
#include "receiptitem.h"
#include "tabsupport.h"

namespace {

const char *const AddTitle = "Добавление позиции в чек";
const char *const AddError = "Ошибка добавления позиции в чек";
const char *const CompleteTitle = "Завершение формирования чека";
const char *const CompleteFailTitle = "Завершени формирования чека";
const char *const CompleteError = "Ошибка формирования чека";
const char *const StartFailTitle = "Начало формирования чека";
const char *const StartError = "Ошибка начала формирования чека";
const char *const OpenDataTitle = "Получение данных открытого чека";
const char *const OpenDataError = "Ошибка получения данных открытого чека";

const char *const TestCashier = "Кассирова Ольга Тестовна";
const char *const TestReceiptText = "Это дополнительный параметр чека\n"
                                    "Их может быть несколько в чеке.\n"
                                    "Можно печатать перед позициями, после позиций и между позиций";
constexpr int TestItemCount = 10;

QString u(const char *text)
{
    return QString::fromUtf8(text);
}

ReceiptItem testItem()
{
    ReceiptItem item;
    item.code = QStringLiteral("123456789");
    item.barcode = QStringLiteral("12345678");
    item.name = QStringLiteral("Универсальная ручка держателя крепителя основания");
    item.unit = QStringLiteral("шт.");
    item.price = FixNumber(100, qint64(12345));
    item.quantity = FixNumber(100000, qint64(100000));
    item.tax = 1;
    item.section = 1;
    item.discountNumber = 0;
    item.discountSum = FixNumber(100, qint64(134));
    item.textParam = QStringLiteral("Это дополнительный параметр предмета расчета");
    return item;
}

// What the register answered to a completed receipt, one line per number.
struct ReceiptNumbers
{
    qint16 cycle = 0;
    qint32 fd = 0;
    qint32 fp = 0;
    qint16 receiptNumber = 0;
    QDateTime dt;
    FixNumber total{100};
    FixNumber change{100};

    QStringList lines() const
    {
        return {QStringLiteral("ФД %1").arg(quint32(fd)),
                QStringLiteral("ДАТА %1").arg(dt.toString(Qt::TextDate)),
                QStringLiteral("СМЕНА %1").arg(quint16(cycle)),
                QStringLiteral("ЧЕК В СМЕНЕ %1").arg(quint16(receiptNumber)),
                QStringLiteral("ФП %1").arg(quint32(fp)),
                QStringLiteral("ИТОГ ПО ЧЕКУ %1").arg(total.toString()),
                QStringLiteral("СДАЧА %1").arg(change.toString())};
    }
};

CoreApiConst::ErrorCode complete(FsWrapper *fr, const FixNumber &cash, const FixNumber &card, ReceiptNumbers &n)
{
    return fr->completeReceipt(cash, card, n.cycle, n.fd, n.fp, n.receiptNumber, n.dt, n.total, n.change);
}

QString successText(const QStringList &lines)
{
    return QStringLiteral("Успешно!\n") + lines.join(QLatin1Char('\n'));
}

// The requests of the test receipt, in order; on failure, the box that says which step failed.
int runTestReceipt(FsWrapper *fr, ReceiptNumbers &n, qint64 &elapsed, QString &failTitle, QString &failText)
{
    int result = fr->startReceipt(0, u(TestCashier));
    if (result != CoreApiConst::Success) {
        failTitle = u(StartFailTitle);
        failText = u(StartError);
        return result;
    }
    QElapsedTimer timer;
    timer.start();

    const QByteArray text = receiptTextTlv(u(TestReceiptText)).rawData();
    const QByteArray item = testItem().toTlv().rawData();
    result = fr->sendDocData(text);
    for (int i = 0; result == CoreApiConst::Success && i < TestItemCount; ++i) {
        result = fr->sendDocData(item);
        if (result == CoreApiConst::Success)
            result = fr->sendDocData(text);
    }
    if (result != CoreApiConst::Success) {
        failTitle = u(AddTitle);
        failText = u(AddError);
        return result;
    }

    quint8 docType = 0;
    qint8 receiptType = 15;
    qint16 receiptNumber = 0;
    qint16 operations = 0;
    FixNumber sum(100);
    result = fr->getOpenDocData(docType, receiptType, receiptNumber, operations, sum);
    if (result != CoreApiConst::Success) {
        failTitle = u(OpenDataTitle);
        failText = u(OpenDataError);
        return result;
    }

    result = complete(fr, sum, FixNumber(100), n);
    if (result != CoreApiConst::Success) {
        failTitle = u(CompleteFailTitle);
        failText = u(CompleteError);
        return result;
    }
    elapsed = timer.elapsed();
    return result;
}

} // namespace

ReceuptWidget::ReceuptWidget(QWidget *parent) : QWidget(parent), ui(new Ui::ReceuptWidget)
{
    ui->setupUi(this);
    setFixedPitchFont();
    limitCp866(ui->leCashier, FsFieldWidths::Name);
    // Receipt texts are cut to this length on their way out; the fields stop there instead.
    limitCp866(ui->pteItemTextParam, ReceiptTextMaxLength);
    limitCp866(ui->pteReceiptParam, ReceiptTextMaxLength);
    // These go out whole, but a character CP866 has no code for would be printed as '?'.
    for (QLineEdit *edit : {ui->leCode, ui->leBarcode, ui->leName, ui->leUnit})
        limitCp866(edit, edit->maxLength());
    // A tab character in a receipt text is printed as such; Tab moves on to the next field.
    ui->pteItemTextParam->setTabChangesFocus(true);
    ui->pteReceiptParam->setTabChangesFocus(true);
    pressOnEnter(ui->dsbDiscount, ui->pbAddReceiptItem);
}

ReceuptWidget::~ReceuptWidget()
{
    delete ui;
}

// Receipt texts are laid out for the register's fixed-width printer, so they are edited in a
// fixed-pitch face that can show Cyrillic.
void ReceuptWidget::setFixedPitchFont()
{
    QFontDatabase db;
    const QStringList families = db.families(QFontDatabase::Cyrillic);
    for (const QString &family : families) {
        if (!db.isFixedPitch(family))
            continue;
        const QFont current = ui->pteItemTextParam->font();
        const QFont font = db.font(family, db.styleString(current), current.pointSize());
        ui->pteItemTextParam->setFont(font);
        ui->pteReceiptParam->setFont(font);
        return;
    }
}

void ReceuptWidget::reportAdd(int result)
{
    if (result == CoreApiConst::Success)
        QMessageBox::information(this, u(AddTitle), QStringLiteral("Успешно!"));
    else
        showFailure(this, fr_, u(AddTitle), u(AddError), result);
}

void ReceuptWidget::on_pbStartReceipt_released()
{
    ui->lAmount->clear();
    if (!mayStart(fr_))
        return;
    const int type = quint8(ui->cbReceiptType->currentIndex());
    const int result = fr_->startReceipt(type, ui->leCashier->text());
    if (result == CoreApiConst::Success)
        QMessageBox::information(this, QStringLiteral("начало формирования чека"), QStringLiteral("Успешно!"));
    else
        showFailure(this, fr_, u(StartFailTitle), u(StartError), result);
}

void ReceuptWidget::on_pbCompleteReceipt_released()
{
    if (!mayStart(fr_))
        return;
    ReceiptNumbers n;
    const FixNumber cash(100, ui->dsbCash->value());
    const FixNumber card(100, ui->dsbCard->value());
    if (const int result = complete(fr_, cash, card, n); result != CoreApiConst::Success) {
        showFailure(this, fr_, u(CompleteFailTitle), u(CompleteError), result);
        return;
    }
    QMessageBox::information(this, u(CompleteTitle), successText(n.lines()));
}

void ReceuptWidget::on_pbAddReceiptItem_released()
{
    if (!mayStart(fr_))
        return;
    // Zero is no department, no tax and no quantity: the register would refuse the item.
    QStringList blank;
    if (ui->sbSection->value() == 0)
        blank << QStringLiteral("«Отдел»");
    if (ui->sbTax->value() == 0)
        blank << QStringLiteral("«Налог»");
    if (FixNumber(100000, ui->dsbQuantity->value()).raw() <= 0)
        blank << QStringLiteral("«Количество»");
    if (!blank.isEmpty()) {
        refuse(this, fr_, u(AddTitle), u(AddError),
               QStringLiteral("Не заполнено: %1").arg(blank.join(QStringLiteral(", "))));
        return;
    }
    QElapsedTimer timer;
    timer.start();

    ReceiptItem item;
    item.code = ui->leCode->text();
    item.barcode = ui->leBarcode->text();
    item.name = ui->leName->text();
    item.unit = ui->leUnit->text();
    item.price = FixNumber(100, ui->dsbPrice->value());
    item.quantity = FixNumber(100000, ui->dsbQuantity->value());
    item.tax = quint8(ui->sbTax->value());
    item.section = quint8(ui->sbSection->value());
    item.discountNumber = quint8(ui->sbDiscount->value());
    item.discountSum = FixNumber(100, ui->dsbDiscount->value());
    item.textParam = ui->pteItemTextParam->toPlainText().left(ReceiptTextMaxLength);

    const int result = fr_->sendDocData(item.toTlv().rawData());
    const qint64 elapsed = timer.elapsed();
    qWarning() << elapsed << elapsed / 10;
    reportAdd(result);
}

void ReceuptWidget::on_pbGetOpenDocData_released()
{
    ui->lAmount->clear();
    if (!mayStart(fr_))
        return;
    quint8 docType = 0;
    qint8 receiptType = 15;
    qint16 receiptNumber = 0;
    qint16 operations = 0;
    FixNumber sum(100);
    const int result = fr_->getOpenDocData(docType, receiptType, receiptNumber, operations, sum);
    if (result != CoreApiConst::Success)
        showFailure(this, fr_, u(OpenDataTitle), u(OpenDataError), result);
    else if (docType != 3)
        QMessageBox::warning(this, u(OpenDataTitle), QStringLiteral("Открытый документ не является чеком"));

    static const char *const typeNames[] = {"ПРОДАЖА", "ПОКУПКА", "ВОЗВРАТ ПРОДАЖИ", "ВОЗВРАТ ПОКУПКИ"};
    QStringList lines;
    if (receiptType >= 0 && receiptType <= 3)
        lines << u(typeNames[receiptType]);
    lines << QStringLiteral("ЧЕК %1").arg(quint16(receiptNumber));
    lines << QStringLiteral("ОПЕРАЦИЙ %1").arg(quint16(operations));
    lines << QStringLiteral("НА СУММУ %1").arg(sum.toString());
    ui->lAmount->setText(lines.join(QLatin1Char('\n')));
}

void ReceuptWidget::on_pbAddTextParam_released()
{
    if (!mayStart(fr_))
        return;
    const QString text = ui->pteReceiptParam->toPlainText().left(ReceiptTextMaxLength);
    reportAdd(fr_->sendDocData(receiptTextTlv(text).rawData()));
}

// A fixed sale of ten positions, each followed by a receipt text, paid in cash; the box
// reports how long the register took from the first data record to the completion.
void ReceuptWidget::on_pbTestReceipt_released()
{
    if (!mayStart(fr_))
        return;
    const ReceiptItem item = testItem();
    const QString outcome = QStringLiteral("ККТ проведет и напечатает настоящий фискальный чек продажи (кассир «%1»): "
                                           "%2 позиций «%3» по %4 руб. со скидкой %5 руб., оплата наличными.")
                                .arg(u(TestCashier))
                                .arg(TestItemCount)
                                .arg(item.name, item.price.toString(), item.discountSum.toString());
    if (!confirmAct(this, ui->pbTestReceipt->text(), registerTarget(fr_), outcome))
        return;
    ReceiptNumbers n;
    qint64 elapsed = 0;
    QString failTitle;
    QString failText;
    int result = CoreApiConst::Success;
    {
        // Twenty-four requests: a click between two of them (another item, "Сформировать чек")
        // would land in the middle of the test receipt.
        const FsOperation op(*fr_);
        if (!op)
            return;
        result = runTestReceipt(fr_, n, elapsed, failTitle, failText);
    }
    if (result != CoreApiConst::Success) {
        showFailure(this, fr_, failTitle, failText, result);
        return;
    }
    QStringList lines = n.lines();
    lines << QStringLiteral("ВРЕМЯ ВЫПОЛНЕНИЯ ТЕСТА %1 мс").arg(elapsed);
    QMessageBox::information(this, u(CompleteTitle), successText(lines));
}
