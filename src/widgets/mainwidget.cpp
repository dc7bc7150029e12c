#include "mainwidget.h"
#include "confirm.h"
#include "tabsupport.h"
#include "ui_mainwidget.h"
#include "windowlayout.h"

#include "frwrapper.h"
#include "loggermanager.h"

#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QScreen>
#include <QTextStream>
#include <QTimer>

namespace {
// The operator's line about the log files; the reason in full is on standard error.
QString noticeText(const LoggerManager::Notice &n)
{
    const QString folder = QFileInfo(n.file).path();
    if (n.kind == LoggerManager::Notice::WriteFailed)
        return QObject::tr("Не удалось записать журнал в файл «%1»: %2. Следующие записи пойдут в файл, как только "
                           "он сможет их принять.")
            .arg(n.file, n.reason);
    if (n.folder.isEmpty())
        return QObject::tr("Журнал не пишется в файлы: папку «%1» и личную папку рядом с ней использовать нельзя.")
            .arg(folder);
    return QObject::tr("Журнал пишется в папку «%1» вместо «%2».").arg(n.folder, folder);
}
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
    summariesShown_ = ui->cbSummaries->isChecked();
    connect(ui->cbSummaries, &QCheckBox::toggled, this, &MainWidget::setSummariesShown);
    ui->cbConfirm->setChecked(confirmationsOn());
    connect(ui->cbConfirm, &QCheckBox::toggled, this, &setConfirmationsOn);
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
    ui->progressBar->setFormat(tr("%v с"));
    ui->progressBar->hide();

    // The log pane keeps a third of the height, also as the window grows; a page taller than the
    // room left scrolls. The side panel is as wide as its labels need.
    scrollPages(ui->tabWidget);
    ui->splitter->setSizes({2 * height(), height()});
    ui->frame->setMinimumWidth(qMax(ui->frame->minimumWidth(), ui->frame->sizeHint().width()));
    if (QScreen *s = screen())
        fitToScreen(this, s->availableGeometry());

    connect(ui->tabWidget, &QTabWidget::currentChanged, this, &MainWidget::onTabChanged);

    // Heard from any thread with the logging mutex held: only passed on to the pane.
    LoggerManager::setNoticeHandler([this](const LoggerManager::Notice &notice) {
        QMetaObject::invokeMethod(
            this, [this, text = noticeText(notice)] { showLog(text); }, Qt::QueuedConnection);
    });
}

MainWidget::~MainWidget()
{
    LoggerManager::setNoticeHandler({});
    if (busy_)
        QApplication::restoreOverrideCursor();
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
}

void MainWidget::showLog(QString text)
{
    // Texts reach the pane with what the register sent in them (a cashier's name, for one): shown
    // as they are, never taken for markup.
    ui->tbLog->append(QStringLiteral("<p style=\"white-space:pre-wrap\">%1</p>").arg(text.toHtmlEscaped()));
}

void MainWidget::onOperationStarted()
{
    // The focus is taken before the lock moves it, and given back after the lock is gone.
    if (!busy_) {
        busy_ = true;
        focusReturn_.take(this);
        QApplication::setOverrideCursor(Qt::WaitCursor);
    }
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
    if (busy_) {
        busy_ = false;
        QApplication::restoreOverrideCursor();
        focusReturn_.give();
    }
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
        showFailure(this, fr_, title, tr("Ошибка отмены открытого документа"), result);
}

void MainWidget::onTabChanged(int index)
{
    // The firmware tab, the last one, needs the whole window.
    const bool visible = index + 1 != ui->tabWidget->count();
    ui->frame->setVisible(visible);
    ui->tbLog->setVisible(visible);
}
