#include "mainwidget.h"
#include "tabsupport.h"
#include "ui_mainwidget.h"

#include "frwrapper.h"
#include "loggermanager.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QSettings>
#include <QTextStream>
#include <QTimer>

namespace {
const QString SummariesKey = QStringLiteral("log/summaries");
} // namespace

MainWidget::MainWidget(QWidget *parent)
    : QWidget(parent), ui(new Ui::MainWidget), fr_(new FsWrapper(this)), progressTimer(new QTimer(this))
{
    ui->setupUi(this);
    setWindowTitle(tr("ВИРТА СЕРВИС [%1]").arg(QCoreApplication::applicationVersion()));

    connect(fr_, QOverload<bool, QString>::of(&FsWrapper::showLog), this,
            QOverload<bool, QString>::of(&MainWidget::showLog));
    connect(fr_, QOverload<QString>::of(&FsWrapper::showLog), this, QOverload<QString>::of(&MainWidget::showLog));
    connect(fr_, &FsWrapper::showSummary, this, &MainWidget::showSummary);
    ui->cbSummaries->setChecked(QSettings().value(SummariesKey, true).toBool());
    summariesShown_ = ui->cbSummaries->isChecked();
    connect(ui->cbSummaries, &QCheckBox::toggled, this, &MainWidget::setSummariesShown);
    // From the operation, not from each exchange: those notices come queued from the worker, after
    // the request has left, and the window would be open between two requests of one sequence.
    connect(fr_, &FsWrapper::operationStarted, this, &MainWidget::onOperationStarted);
    connect(fr_, &FsWrapper::operationFinished, this, &MainWidget::onOperationFinished);

    // The port form first: it pushes its cashier and password into the command layer, so
    // that no tab can send a request before they are set.
    ui->wPort->setFsWrapper(fr_);
    ui->tabCatalogs->setFsWrapper(fr_);
    ui->tabSettings->setFsWrapper(fr_);
    ui->tabStatus->setFsWrapper(fr_);
    ui->tabActivate->setFsWrapper(fr_);
    ui->tabCycle->setFsWrapper(fr_);
    ui->tabReceipt->setFsWrapper(fr_);
    ui->tabReports->setFsWrapper(fr_);
    ui->tabPrint->setFsWrapper(fr_);

    connect(progressTimer, &QTimer::timeout, this, &MainWidget::progressTimeOut);
    progressTimer->setInterval(1000);
    ui->progressBar->hide();

    connect(ui->tabWidget, &QTabWidget::currentChanged, this, &MainWidget::onTabChanged);
}

MainWidget::~MainWidget()
{
    delete ui;
}

void MainWidget::showLog(bool out, QString hex)
{
    const QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
    QString dump;
    {
        QTextStream s(&dump);
        s << HexDump(bytes, QStringLiteral("UTF-8"));
    }
    // The text column carries whatever the register sent; escaped, so that a "<" in a
    // frame is shown as such instead of being taken for markup by the log pane.
    ui->tbLog->append(QStringLiteral("<p> <font color=\"%1\"><pre>%2</pre></font></p>\n")
                          .arg(out ? QStringLiteral("blue") : QStringLiteral("red"), dump.toHtmlEscaped()));
    ui->tbLog->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
}

void MainWidget::showSummary(bool, QString text)
{
    if (!summariesShown_)
        return;
    // Grey, so that the blue and red of the dumps still tell the directions apart at a glance;
    // blanks kept, since two of them part the fields.
    ui->tbLog->append(
        QStringLiteral("<p style=\"white-space:pre\"><font color=\"gray\">%1</font></p>\n").arg(text.toHtmlEscaped()));
    ui->tbLog->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
}

void MainWidget::setSummariesShown(bool on)
{
    summariesShown_ = on;
    if (ui->cbSummaries->isChecked() != on)
        ui->cbSummaries->setChecked(on);
    QSettings().setValue(SummariesKey, on);
}

void MainWidget::showLog(QString text)
{
    ui->tbLog->append(text);
}

void MainWidget::onOperationStarted()
{
    ui->tabWidget->setEnabled(false);
    ui->wPort->setEnabled(false);
    ui->pbCancelDoc->setEnabled(false);
    ui->progressBar->show();
    ui->progressBar->setValue(0);
    progressTimer->start();
}

void MainWidget::onOperationFinished()
{
    ui->tabWidget->setEnabled(true);
    ui->wPort->setEnabled(true);
    ui->pbCancelDoc->setEnabled(true);
    ui->progressBar->hide();
    progressTimer->stop();
}

void MainWidget::progressTimeOut()
{
    // Past the maximum the bar refuses the value and stays full.
    ui->progressBar->setValue(ui->progressBar->value() + 1);
}

void MainWidget::on_pbCancelDoc_released()
{
    if (!mayStart(fr_))
        return;
    const QString title = tr("Отмена открытого документа");
    const int result = fr_->cancelDoc();
    if (result == CoreApiConst::Success)
        QMessageBox::information(this, title, tr("Успешно!"), QMessageBox::Ok);
    else
        showFailure(this, title, tr("Ошибка отмены открытого документа"), result);
}

void MainWidget::onTabChanged(int index)
{
    // The firmware tab, the last one, needs the whole window.
    const bool visible = index + 1 != ui->tabWidget->count();
    ui->frame->setVisible(visible);
    ui->tbLog->setVisible(visible);
}
