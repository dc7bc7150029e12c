#include "portform.h"
#include "ui_portform.h"

#include "frconst.h"
#include "frlink.h"
#include "frwrapper.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QSerialPortInfo>
#include <QSignalBlocker>

PortForm::PortForm(QWidget *parent) : QWidget(parent), ui(new Ui::PortForm)
{
    ui->setupUi(this);
    ui->sbCashier->setValue(DefaultCashierNumber);
    ui->sbPassword->setValue(DefaultCashierPassword);

    // Pseudo-terminals, network bridges and some USB adapters are not listed by the
    // system, so the box is editable and takes a typed device path or a network address
    // (tcp://HOST:PORT). A typed device path does not join the list (an index change means
    // "another port was chosen"); a network address opened does, quietly.
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
    ui->cbPort->addItems(remembered_);
}

void PortForm::remember(const QString &name)
{
    if (!FrAddress::parse(name).isNetwork())
        return;
    if (!remembered_.contains(name))
        remembered_ << name;
    const QSignalBlocker quiet(ui->cbPort);
    if (ui->cbPort->findText(name) < 0)
        ui->cbPort->addItem(name);
    ui->cbPort->setCurrentIndex(ui->cbPort->findText(name));
}

void PortForm::open()
{
    if (!fr_) {
        close();
        return;
    }
    const bool opened = fr_->open(ui->cbPort->currentText().trimmed());
    const bool isOpen = fr_->isOpen();
    if (opened)
        remember(fr_->portName());
    ui->pbOpen->setEnabled(!isOpen);
    ui->pbClose->setEnabled(isOpen);
    // Another program (a console command, a terminal program) has the port, or the name is neither
    // a device nor a network address: say so at once, rather than let every command fail on it.
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
