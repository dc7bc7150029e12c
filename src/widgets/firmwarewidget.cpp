#include "firmwarewidget.h"
#include "ui_firmwarewidget.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QSerialPortInfo>

FirmwareWidget::FirmwareWidget(QWidget *parent)
    : QWidget(parent), ui(new Ui::FirmwareWidget), loader_(new FirmwareLoader(this))
{
    ui->setupUi(this);
    connect(loader_, &FirmwareLoader::line, this, &FirmwareWidget::log);
    connect(loader_, &FirmwareLoader::blocksStarted, this, [this](qint64 total) {
        ui->progressBar->setRange(0, int(total));
        ui->progressBar->setValue(0);
        ui->progressBar->show();
    });
    connect(loader_, &FirmwareLoader::blockSent, this, [this](qint64 offset, qint64) {
        ui->progressBar->setValue(int(offset));
        repaint();
        QCoreApplication::processEvents();
    });
    connect(loader_, &FirmwareLoader::blocksFinished, ui->progressBar, &QWidget::hide);
    on_tbPortsReload_released();
    ui->progressBar->hide();
}

FirmwareWidget::~FirmwareWidget()
{
    delete ui;
}

void FirmwareWidget::on_tbPortsReload_released()
{
    // The box is editable: a device the system does not list (a pseudo-terminal, a bridge) is
    // typed in as a path. Typed text is never inserted into the list.
    ui->cbPort->clear();
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        ui->cbPort->addItem(info.portName());
}

void FirmwareWidget::on_tbOpenFile_released()
{
    ui->leFirmareFile->clear();
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Укажите файл прошивки"), QDir::homePath(),
                                                      QStringLiteral("Файл прошивки (*.signed.img)"));
    if (!path.isEmpty())
        ui->leFirmareFile->setText(path);
}

void FirmwareWidget::on_pbCheckConnection_released()
{
    loader_->runSingle(portName(), CheckConnection);
}

void FirmwareWidget::on_pbReboot_released()
{
    loader_->runSingle(portName(), Reboot);
}

void FirmwareWidget::on_pbVerifyFirmware_released()
{
    loader_->runSingle(portName(), VerifyFirmware);
}

void FirmwareWidget::on_pbSendFirmware_released()
{
    loader_->upload(portName(), ui->leFirmareFile->text());
}

QString FirmwareWidget::portName() const
{
    return ui->cbPort->currentText();
}

void FirmwareWidget::log(const QString &line)
{
    // Lines are plain text: the loader's own texts must not be taken for markup.
    ui->textBrowser->append(Qt::convertFromPlainText(line, Qt::WhiteSpaceNormal));
}
