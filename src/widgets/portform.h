#pragma once

#include <QStringList>
#include <QWidget>

class FsWrapper;
namespace Ui {
class PortForm;
}

// Port choice, open/close and the cashier and password that go into every request.
// It keeps no connection state: the buttons mirror what the command layer reports. Network
// addresses opened during the run stay in the list beside the system's ports (for this run only:
// nothing is written anywhere).
class PortForm : public QWidget
{
    Q_OBJECT
public:
    explicit PortForm(QWidget *parent = nullptr);
    ~PortForm() override;

    void setFsWrapper(FsWrapper *fr);
    FsWrapper *fsWrapper() const { return fr_; }

public slots:
    void reload();
    void open();
    // Hides QWidget::close() on purpose: for this form "close" means the port.
    void close();
    void on_cbPort_currentIndexChanged(int index);

private:
    // A network address just opened joins the list (once), chosen, without that choice counting
    // as a change of port.
    void remember(const QString &name);

    Ui::PortForm *ui;
    FsWrapper *fr_ = nullptr;
    QStringList remembered_;
};
