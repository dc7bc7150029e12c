#include "confirm.h"

#include <QPushButton>

#include "frwrapper.h"

namespace {

bool questionsOn = true;

} // namespace

bool confirmationsOn()
{
    return questionsOn;
}

void setConfirmationsOn(bool on)
{
    questionsOn = on;
}

QMessageBox::StandardButton ask(QWidget *parent, const QString &title, const QString &text, const QString &details,
                                const std::vector<std::pair<QMessageBox::StandardButton, QString>> &choices)
{
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::NoButton, parent);
    box.setInformativeText(details);
    for (const auto &choice : choices)
        box.addButton(choice.first)->setText(choice.second);
    // The program loads no Qt translation: the standard texts would be English.
    QPushButton *cancel = box.addButton(QMessageBox::Cancel);
    cancel->setText(QStringLiteral("Отмена"));
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    return box.standardButton(box.clickedButton());
}

bool confirmAct(QWidget *parent, const QString &act, const QString &target, const QString &outcome)
{
    if (!questionsOn)
        return true;
    const QString text = QStringLiteral("Выполнить «%1»: %2?").arg(act, target);
    const QString details = outcome + QStringLiteral("\nОтменить это потом нельзя.");
    return ask(parent, act, text, details, {{QMessageBox::Yes, act}}) == QMessageBox::Yes;
}

QString registerTarget(const FsWrapper *fr)
{
    if (!fr)
        return QStringLiteral("ККТ");
    const QString port = fr->portName().isEmpty() ? QString() : QStringLiteral(" на порту %1").arg(fr->portName());
    if (fr->factoryNumber().isEmpty())
        return QStringLiteral("ККТ%1 (заводской номер не прочитан)").arg(port);
    return QStringLiteral("ККТ ЗН %1%2").arg(fr->factoryNumber(), port);
}
