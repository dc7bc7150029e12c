#include "catalogswidget.h"
#include "ui_catalogswidget.h"

#include <QMessageBox>

#include "catalogentries.h"
#include "frwrapper.h"

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
    if (!fr_)
        return;
    const int type = ui->cbCatalogType->currentIndex();
    QByteArray bytes;
    if (fr_->readCatalog(type, quint8(ui->sbNumber->value()), bytes) != CoreApiConst::Success) {
        QMessageBox::critical(this, QStringLiteral("Чтение данных из справочника"),
                              QStringLiteral("Ошибка чтения данных"));
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
    if (!fr_)
        return;
    const int type = ui->cbCatalogType->currentIndex();
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
    const QString title = QStringLiteral("Запись данных в справочник");
    if (fr_->writeCatalog(type, bytes) != CoreApiConst::Success)
        QMessageBox::critical(this, title, QStringLiteral("Ошибка записи данных"));
    else
        QMessageBox::information(this, title, QStringLiteral("Успешно!"));
}
