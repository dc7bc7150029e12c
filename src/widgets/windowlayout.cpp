#include "windowlayout.h"

#include <QRect>
#include <QScrollArea>
#include <QStyle>
#include <QTabWidget>

void scrollPages(QTabWidget *tabs)
{
    const int current = tabs->currentIndex();
    for (int i = 0; i < tabs->count(); ++i) {
        QWidget *page = tabs->widget(i);
        if (qobject_cast<QScrollArea *>(page))
            continue;
        const QString title = tabs->tabText(i);
        auto *area = new QScrollArea;
        area->setObjectName(page->objectName() + QStringLiteral("Area"));
        area->setFrameShape(QFrame::NoFrame);
        area->setWidgetResizable(true);
        // The page is drawn on the tab's own pane, as it was without the area.
        area->setAutoFillBackground(false);
        area->viewport()->setAutoFillBackground(false);
        tabs->removeTab(i);
        area->setWidget(page);
        tabs->insertTab(i, area, title);
    }
    tabs->setCurrentIndex(current);
}

int tabIndexOf(const QTabWidget *tabs, const QWidget *page)
{
    for (int i = 0; i < tabs->count(); ++i) {
        if (tabs->widget(i) == page || tabs->widget(i)->isAncestorOf(page))
            return i;
    }
    return -1;
}

void fitToScreen(QWidget *window, const QRect &available)
{
    // The window manager's title bar is not part of the available area; the style's title bar
    // stands in for it.
    const int titleBar = window->style()->pixelMetric(QStyle::PM_TitleBarHeight);
    const QSize room(available.width(), available.height() - titleBar);
    if (room.width() >= window->minimumWidth() && room.height() >= window->minimumHeight())
        return;
    window->setMinimumSize(window->minimumSize().boundedTo(room));
    window->resize(window->size().boundedTo(room));
}
