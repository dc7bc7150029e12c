#include "scene.h"

#include <QDoubleSpinBox>
#include <QLineEdit>

// How the register's answers look to the user: a completion the register accepts (the box with
// the document's numbers), and one it refuses (the error box, and the register's own reason in
// the log pane). Runs after the fiscal day, on a register whose shift is closed, and leaves it so.
VIRTA_SCENE(register_answers, 40)
{
    s.selectTab(QStringLiteral("tabCycle"));
    s.find<QLineEdit>(QStringLiteral("tabCycle/leCashier"))->setText(QStringLiteral("Сидорова Мария Петровна"));

    // Completing a shift opening that was never started.
    s.shotNextBox(QStringLiteral("box-refused"));
    s.click(QStringLiteral("tabCycle/pbOpenCycleCommit"));
    s.shot(QStringLiteral("answer-refused"));

    s.click(QStringLiteral("tabCycle/pbOpenCycle"));
    s.shotNextBox(QStringLiteral("box-accepted"));
    s.click(QStringLiteral("tabCycle/pbOpenCycleCommit"));

    s.click(QStringLiteral("tabCycle/pbCloseCycle"));
    s.click(QStringLiteral("tabCycle/pbCloseCycleCommit"));
}
