#pragma once

#include <QColor>
#include <QList>
#include <QString>
#include <QTextBlock>
#include <QTextBrowser>

// One line of the log pane and the colour it is drawn in, that of its first run of text: the
// colour is how the operator tells a request from a reply and a summary from a dump.
struct PaneLine
{
    QString text;
    QColor colour;
};

// The pane's lines as the operator reads them, blank ones left out.
inline QList<PaneLine> paneLines(const QTextBrowser *pane)
{
    QList<PaneLine> lines;
    for (QTextBlock b = pane->document()->begin(); b.isValid(); b = b.next()) {
        if (b.text().trimmed().isEmpty())
            continue;
        const auto run = b.begin();
        lines.append({b.text(), run.atEnd() ? QColor() : run.fragment().charFormat().foreground().color()});
    }
    return lines;
}
