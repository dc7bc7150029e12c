#include "printwidget.h"
#include "ui_printwidget.h"

#include <QMessageBox>

#include "frwrapper.h"
#include "hexstringvalidator.h"
#include "tabsupport.h"

PrintWidget::PrintWidget(QWidget *parent) : QWidget(parent), ui(new Ui::PrintWidget)
{
    ui->setupUi(this);
    auto *validator = new HexStringValidator(ui->leCmd);
    validator->setMaxSize(MaxCommandChars);
    validator->setFixedSize(false);
    validator->setCanBeEmpty(true);
    ui->leCmd->setValidator(validator);
    // The line goes out in CP866: a character it has no code for would be printed as '?'.
    limitCp866(ui->leText, ui->leText->maxLength());
    pressOnEnter(ui->leText, ui->pbPrintLine);
    pressOnEnter(ui->leCmd, ui->pbSendPrinterCmd);
}

PrintWidget::~PrintWidget()
{
    delete ui;
}

void PrintWidget::on_pbTab_released()
{
    ui->leText->setText(ui->leText->text() + QLatin1Char('\t'));
}

void PrintWidget::on_pbPrintLine_released()
{
    if (!mayStart(fr_))
        return;
    quint8 flags = 0;
    if (ui->cbBold->isChecked())
        flags |= Bold;
    if (ui->cbInvert->isChecked())
        flags |= Invert;
    if (ui->cbDouble->isChecked())
        flags |= DoubleSize;
    if (ui->cbCut->isChecked())
        flags |= CutAfter;
    // The text goes as typed: leading blanks and tabs are how a line is laid out on paper.
    const int result = fr_->printLine(ui->sbLineSpace->value(), ui->cbJustify->currentIndex(), ui->sbFont->value(),
                                      flags, ui->leText->text());
    if (result != CoreApiConst::Success)
        showFailure(this, fr_, tr("Печать строки"), tr(" ОШибка печати строки"), result);
}

void PrintWidget::on_pbPrinterCUt_released()
{
    if (!mayStart(fr_))
        return;
    if (const int result = fr_->printerCut(); result != CoreApiConst::Success)
        showFailure(this, fr_, tr("Обрезать ленту"), tr(" ОШибка обрезки"), result);
}

void PrintWidget::on_pbSendPrinterCmd_released()
{
    if (!mayStart(fr_))
        return;
    // Pasted dumps come with blanks between the bytes; the digits alone make the command.
    const QString digits = ui->leCmd->text().simplified().remove(QLatin1Char(' '));
    const QByteArray cmd = QByteArray::fromHex(digits.toLatin1());
    if (const int result = fr_->sendPrinterCmd(cmd); result != CoreApiConst::Success)
        showFailure(this, fr_, tr("Команда принтеру"), tr(" Ошибка отправки команды принеру"), result);
}
