#pragma once

#include <QWidget>

#include "tabsupport.h"

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
    // A line of text from the tabs or the command layer, shown as it is (never as markup).
    void showLog(QString text);
    // The line in words above a frame; shown while the side panel's switch is on.
    void showSummary(bool out, QString text);
    void setSummariesShown(bool on);
    // The lock of the window for one operation on the register (FsWrapper::operationStarted and
    // operationFinished, which come synchronously): tabs, port form and the cancel button are
    // disabled, the progress bar counts the operation's seconds, the cursor is busy, and the
    // keyboard focus goes back where it was afterwards.
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
    bool busy_ = false; // between onOperationStarted and onOperationFinished
    FocusReturn focusReturn_;
};
