#pragma once

#include <QWidget>

class FsWrapper;
namespace Ui {
class CatalogsWidget;
}

// Reads and writes single entries of the register's catalogues of cashiers, departments and
// discounts, each in its own editor page.
class CatalogsWidget : public QWidget
{
    Q_OBJECT
public:
    // Catalogue types as the register numbers them; also the pages of the editor stack.
    enum CatalogType { NoCatalog = 0, Cashiers = 1, Sections = 2, Discounts = 3 };

    explicit CatalogsWidget(QWidget *parent = nullptr);
    ~CatalogsWidget() override;
    void setFsWrapper(FsWrapper *fr) { fr_ = fr; }
    FsWrapper *fsWrapper() const { return fr_; }

public slots:
    void read();
    void write();

private slots:
    void on_cbCatalogType_currentIndexChanged(int index);

private:
    Ui::CatalogsWidget *ui;
    FsWrapper *fr_ = nullptr;
};
