#pragma once

#include <QWidget>

class FsWrapper;
class QTimer;
namespace Ui {
class MainWidget;
}

// The one window: service tabs, the side panel with the port form, and the log pane
// that shows every frame exchanged with the register.
class MainWidget : public QWidget
{
    Q_OBJECT
public:
    explicit MainWidget(QWidget *parent = nullptr);
    ~MainWidget() override;

public slots:
    // One frame as lower-case hex; `out` is true for bytes sent to the register.
    void showLog(bool out, QString hex);
    // A ready piece of HTML from the tabs or the command layer.
    void showLog(QString text);
    // The line in words above a frame; shown while the side panel's switch is on.
    void showSummary(bool out, QString text);
    void setSummariesShown(bool on);
    // The lock of the window for one operation on the register (FsWrapper::operationStarted and
    // operationFinished, which come synchronously): tabs, port form and the cancel button are
    // disabled and the progress bar counts the operation's seconds.
    void onOperationStarted();
    void onOperationFinished();
    void progressTimeOut();
    void on_pbCancelDoc_released();
    void onTabChanged(int index);

private:
    Ui::MainWidget *ui;
    FsWrapper *fr_;
    QTimer *progressTimer;
    bool summariesShown_ = true;
};
