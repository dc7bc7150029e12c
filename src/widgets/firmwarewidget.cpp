#include "firmwarewidget.h"
#include "ui_firmwarewidget.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QSerialPortInfo>

#include "confirm.h"
#include "tabsupport.h"

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
    connect(loader_, &FirmwareLoader::commandSent, this, &FirmwareWidget::waitStarted);
    connect(loader_, &FirmwareLoader::commandAnswered, this, [this] {
        waitTimer_.stop();
        ui->progressWait->hide();
    });
    waitTimer_.setInterval(1000);
    connect(&waitTimer_, &QTimer::timeout, this, &FirmwareWidget::waitTick);
    on_tbPortsReload_released();
    ui->progressBar->hide();
    ui->progressWait->hide();
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
    // A cancelled dialog leaves the file chosen before.
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Укажите файл прошивки"), QDir::homePath(),
                                                      QStringLiteral("Файл прошивки (*.signed.img)"));
    if (!path.isEmpty())
        ui->leFirmareFile->setText(path);
}

void FirmwareWidget::on_pbCheckConnection_released()
{
    runLocked([this] { loader_->runSingle(portName(), CheckConnection); });
}

void FirmwareWidget::on_pbReboot_released()
{
    if (busy_ ||
        !confirmOnPort(ui->pbReboot->text(),
                       QStringLiteral("Устройство перезагрузится; незаконченная загрузка прошивки будет забыта.")))
        return;
    runLocked([this] { loader_->runSingle(portName(), Reboot); });
}

void FirmwareWidget::on_pbVerifyFirmware_released()
{
    runLocked([this] { loader_->runSingle(portName(), VerifyFirmware); });
}

void FirmwareWidget::on_pbSendFirmware_released()
{
    const QString path = ui->leFirmareFile->text();
    // An image the loader would refuse is refused in the log without a question.
    if (busy_ || (FirmwareLoader::refuseImage(path).isEmpty() &&
                  !confirmOnPort(ui->pbSendFirmware->text(),
                                 QStringLiteral("Образ %1 (%2 байт) будет передан загрузчику, проверен и установлен "
                                                "вместо прошивки устройства; установка длится до %3 с. Не отключайте "
                                                "устройство, пока она не закончится.")
                                     .arg(QFileInfo(path).fileName())
                                     .arg(QFileInfo(path).size())
                                     .arg(commandTimeout(InstallImage) / 1000))))
        return;
    runLocked([this, path] { loader_->upload(portName(), path); });
}

void FirmwareWidget::runLocked(const std::function<void()> &operation)
{
    if (busy_)
        return;
    busy_ = true;
    FocusReturn focus;
    focus.take(window());
    const QList<QWidget *> controls{ui->cbPort,         ui->tbPortsReload,     ui->leFirmareFile,
                                    ui->tbOpenFile,     ui->pbCheckConnection, ui->pbReboot,
                                    ui->pbSendFirmware, ui->pbVerifyFirmware};
    for (QWidget *w : controls)
        w->setEnabled(false);
    setCursor(Qt::WaitCursor);
    operation();
    unsetCursor();
    for (QWidget *w : controls)
        w->setEnabled(true);
    busy_ = false;
    focus.give();
}

bool FirmwareWidget::confirmOnPort(const QString &act, const QString &outcome)
{
    const QString port = portName().trimmed();
    return port.isEmpty() || confirmAct(this, act, QStringLiteral("устройство на порту %1").arg(port), outcome);
}

void FirmwareWidget::waitStarted(quint8 code, quint32 timeoutMs)
{
    // A block has the upload's own bar; the other commands show their wait once it lasts.
    if (code == SendBlock)
        return;
    waitCode_ = code;
    waitLimitMs_ = timeoutMs;
    waitClock_.start();
    waitTimer_.start();
}

void FirmwareWidget::waitTick()
{
    const QString what = waitCode_ == InstallImage ? QStringLiteral("Установка прошивки")
                         : waitCode_ == CheckImage ? QStringLiteral("Проверка образа")
                                                   : QStringLiteral("Ожидание ответа загрузчика");
    ui->progressWait->setRange(0, int((waitLimitMs_ + 999) / 1000));
    ui->progressWait->setValue(int(waitClock_.elapsed() / 1000));
    ui->progressWait->setFormat(what + QStringLiteral(": %v с из %m с"));
    ui->progressWait->show();
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
