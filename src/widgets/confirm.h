#pragma once

#include <QMessageBox>
#include <QString>

#include <utility>
#include <vector>

class FsWrapper;
class QWidget;

// Questions the window asks before it acts: before an act that cannot be undone, and where what
// the form shows leaves two readings open.

// The questions before acts that cannot be undone are on at start; the side panel's switch turns
// them off for a bench of test registers. Nothing of it is kept for the next start.
bool confirmationsOn();
void setConfirmationsOn(bool on);

// Asks before `act` (the button's own text) is carried out on `target` (the register or device
// it goes to) and says what will happen. True when the operator goes on, or when the questions
// are off. "Отмена" is the default, so a hurried Enter does nothing.
bool confirmAct(QWidget *parent, const QString &act, const QString &target, const QString &outcome);

// The register a command goes to: its factory number when the command layer knows it, its port.
QString registerTarget(const FsWrapper *fr);

// A question whose answers are the given buttons (with the caller's texts) and "Отмена", which
// is the default and the escape; returns the button chosen.
QMessageBox::StandardButton ask(QWidget *parent, const QString &title, const QString &text, const QString &details,
                                const std::vector<std::pair<QMessageBox::StandardButton, QString>> &choices);
