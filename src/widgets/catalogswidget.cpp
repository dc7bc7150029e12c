#include "catalogswidget.h"
#include "ui_catalogswidget.h"

#include <QMessageBox>

#include "catalogentries.h"
#include "frwrapper.h"
#include "tabsupport.h"

namespace {

// Every catalogue the register keeps has at most this many entries.
constexpr int MaxEntryNumber = 20;

} // namespace

CatalogsWidget::CatalogsWidget(QWidget *parent) : QWidget(parent), ui(new Ui::CatalogsWidget)
{
    ui->setupUi(this);
    ui->sbNumber->setMinimum(1);
    connect(ui->pbRead, &QPushButton::released, this, &CatalogsWidget::read);
    connect(ui->pbWrite, &QPushButton::released, this, &CatalogsWidget::write);
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
    QByteArray bytes;
    const int result = fr_->readCatalog(type, quint8(ui->sbNumber->value()), bytes);
    if (result != CoreApiConst::Success) {
        showFailure(this, QStringLiteral("Чтение данных из справочника"), QStringLiteral("Ошибка чтения данных"),
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
    if (type == Discounts && !ui->pageDiscount->isComplete(&why)) {
        writeToLog(fr_, why);
        showFailure(this, title, error, why);
        return;
    }
    // The entry's number travels inside its bytes; the number box of the tab is only for reading.
    QByteArray bytes;
    switch (type) {
    case Cashiers:
        bytes = ui->pageCashier->entry().toBytes();
        break;
    case Sections:
        bytes = ui->pageSection->entry().toBytes();
        break;
    case Discounts:
        bytes = ui->pageDiscount->entry().toBytes();
        break;
    default:
        break;
    }
    const int result = fr_->writeCatalog(type, bytes);
    if (result != CoreApiConst::Success)
        showFailure(this, title, error, result);
    else
        QMessageBox::information(this, title, QStringLiteral("Успешно!"));
}
