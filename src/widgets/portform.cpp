#include "portform.h"
#include "ui_portform.h"

#include "frconst.h"
#include "frwrapper.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QSerialPortInfo>

PortForm::PortForm(QWidget *parent) : QWidget(parent), ui(new Ui::PortForm)
{
    ui->setupUi(this);
    ui->sbCashier->setValue(DefaultCashierNumber);
    ui->sbPassword->setValue(DefaultCashierPassword);

    // Pseudo-terminals, network bridges and some USB adapters are not listed by the
    // system, so the box is editable and takes a typed device path (the form does not
    // insert typed paths into the list: an index change means "another port was chosen").
    // Editing the path is choosing another port too; the buttons must not claim that the
    // typed port is open while the previous one still is.
    connect(ui->cbPort->lineEdit(), &QLineEdit::textEdited, this, &PortForm::close);

    reload();
    connect(ui->tbReload, &QToolButton::released, this, &PortForm::reload);
    connect(ui->pbOpen, &QPushButton::released, this, &PortForm::open);
    connect(ui->pbClose, &QPushButton::released, this, &PortForm::close);
}

PortForm::~PortForm()
{
    delete ui;
}

void PortForm::setFsWrapper(FsWrapper *fr)
{
    fr_ = fr;
    if (!fr_)
        return;
    connect(ui->sbCashier, QOverload<int>::of(&QSpinBox::valueChanged), fr_, &FsWrapper::setCashier);
    connect(ui->sbPassword, QOverload<int>::of(&QSpinBox::valueChanged), fr_, &FsWrapper::setPassword);
    fr_->setCashier(ui->sbCashier->value());
    fr_->setPassword(ui->sbPassword->value());
}

void PortForm::reload()
{
    close();
    ui->cbPort->clear();
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        ui->cbPort->addItem(info.portName());
}

void PortForm::open()
{
    if (!fr_) {
        close();
        return;
    }
    const bool opened = fr_->open(ui->cbPort->currentText().trimmed());
    const bool isOpen = fr_->isOpen();
    ui->pbOpen->setEnabled(!isOpen);
    ui->pbClose->setEnabled(isOpen);
    // Another program (a console command, a terminal program) has the port: say which, at once,
    // rather than let every command fail on it.
    if (!opened && !fr_->openError().isEmpty())
        QMessageBox::critical(this, tr("Открытие порта"), fr_->openError());
}

void PortForm::close()
{
    if (fr_)
        fr_->close();
    ui->pbOpen->setEnabled(true);
    ui->pbClose->setEnabled(false);
}

void PortForm::on_cbPort_currentIndexChanged(int index)
{
    Q_UNUSED(index)
    close();
}
