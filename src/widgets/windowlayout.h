#pragma once

class QRect;
class QTabWidget;
class QWidget;

// How the main window fits its screen: pages that scroll when the room above the log pane (or
// the screen) is smaller than they are, and a window that is never larger than its screen.

// Puts every page of `tabs` into a scroll area of its own, at its index and under its title.
void scrollPages(QTabWidget *tabs);

// The index of the tab that shows `page` (itself, or inside its scroll area); -1 for none.
int tabIndexOf(const QTabWidget *tabs, const QWidget *page);

// Lowers the window's minimum size, and its size, to what fits into `available` below a title
// bar; on a screen with room enough nothing changes.
void fitToScreen(QWidget *window, const QRect &available);
