#include "catalogswidget.h"
#include "ui_catalogswidget.h"

#include <QMessageBox>

#include "catalogentries.h"
#include "confirm.h"
#include "frwrapper.h"
#include "tabsupport.h"

namespace {

// Every catalogue the register keeps has at most this many entries.
constexpr int MaxEntryNumber = 20;

const QString NoCatalogChosen = QStringLiteral("Не выбран справочник");

// The editor's entry as bytes; with a `number`, the entry is first renumbered in the editor too,
// so that the form shows what was written.
template <typename Editor> QByteArray entryBytes(Editor *editor, int number = -1)
{
    auto entry = editor->entry();
    if (number >= 0 && entry.number() != number) {
        entry.setNumber(decltype(entry.number())(number));
        editor->setEntry(entry);
        entry = editor->entry();
    }
    return entry.toBytes();
}

} // namespace

CatalogsWidget::CatalogsWidget(QWidget *parent) : QWidget(parent), ui(new Ui::CatalogsWidget)
{
    ui->setupUi(this);
    ui->sbNumber->setMinimum(1);
    connect(ui->pbRead, &QPushButton::released, this, &CatalogsWidget::read);
    connect(ui->pbWrite, &QPushButton::released, this, &CatalogsWidget::write);
    pressOnEnter(ui->sbNumber, ui->pbRead);
    auto toLog = [this](const QString &text) {
        writeToLog(fr_, text);
    };
    connect(ui->pageCashier, &EditCashierWidget::showLog, this, toLog);
    connect(ui->pageSection, &EditSectionWidget::showLog, this, toLog);
    connect(ui->pageDiscount, &EditDiscountWidget::showLog, this, toLog);
}

CatalogsWidget::~CatalogsWidget()
{
    delete ui;
}

void CatalogsWidget::on_cbCatalogType_currentIndexChanged(int index)
{
    if (index == Cashiers || index == Sections || index == Discounts)
        ui->sbNumber->setMaximum(MaxEntryNumber);
    ui->stackedWidget->setCurrentIndex(index);
}

void CatalogsWidget::read()
{
    if (!mayStart(fr_))
        return;
    const int type = ui->cbCatalogType->currentIndex();
    if (type <= NoCatalog) {
        refuse(this, fr_, QStringLiteral("Чтение данных из справочника"), QStringLiteral("Ошибка чтения данных"),
               NoCatalogChosen);
        return;
    }
    QByteArray bytes;
    const int result = fr_->readCatalog(type, quint8(ui->sbNumber->value()), bytes);
    if (result != CoreApiConst::Success) {
        showFailure(this, fr_, QStringLiteral("Чтение данных из справочника"), QStringLiteral("Ошибка чтения данных"),
                    result);
        return;
    }
    switch (type) {
    case Cashiers: {
        CashierEntry entry;
        entry.fromBytes(bytes);
        ui->pageCashier->setEntry(entry);
        break;
    }
    case Sections: {
        // A block of the wrong size is not a department: the editor shows an empty one.
        SectionEntry entry;
        entry.fromBytes(bytes);
        ui->pageSection->setEntry(entry);
        break;
    }
    case Discounts: {
        DiscountEntry entry;
        entry.fromBytes(bytes);
        ui->pageDiscount->setEntry(entry);
        break;
    }
    default:
        break;
    }
}

void CatalogsWidget::write()
{
    if (!mayStart(fr_))
        return;
    const int type = ui->cbCatalogType->currentIndex();
    const QString title = QStringLiteral("Запись данных в справочник");
    const QString error = QStringLiteral("Ошибка записи данных");
    QString why;
    if (type <= NoCatalog)
        why = NoCatalogChosen;
    else if (type == Discounts)
        ui->pageDiscount->isComplete(&why);
    if (!why.isEmpty()) {
        refuse(this, fr_, title, error, why);
        return;
    }
    // The entry's number travels inside its bytes (its first byte in every catalogue). When it
    // is not the "Номер элемента" the operator chose, which one is meant is the operator's call.
    int number = -1;
    const int wanted = ui->sbNumber->value();
    const int inEditor = type == Cashiers   ? ui->pageCashier->entry().number()
                         : type == Sections ? ui->pageSection->entry().number()
                                            : ui->pageDiscount->entry().number();
    if (inEditor != wanted) {
        const auto answer =
            ask(this, title,
                QStringLiteral("В редакторе запись № %1, а «Номер элемента» — %2. Какую запись записать?")
                    .arg(inEditor)
                    .arg(wanted),
                QStringLiteral("Содержимое редактора будет записано под выбранным номером и заменит запись "
                               "с этим номером в ККТ."),
                {{QMessageBox::Yes, QStringLiteral("Записать № %1").arg(inEditor)},
                 {QMessageBox::No, QStringLiteral("Записать № %1").arg(wanted)}});
        if (answer == QMessageBox::Cancel)
            return;
        if (answer == QMessageBox::No)
            number = wanted;
    }
    QByteArray bytes;
    switch (type) {
    case Cashiers:
        bytes = entryBytes(ui->pageCashier, number);
        break;
    case Sections:
        bytes = entryBytes(ui->pageSection, number);
        break;
    default:
        bytes = entryBytes(ui->pageDiscount, number);
        break;
    }
    const int result = fr_->writeCatalog(type, bytes);
    if (result != CoreApiConst::Success)
        showFailure(this, fr_, title, error, result);
    else
        QMessageBox::information(this, title, QStringLiteral("Успешно!"));
}
