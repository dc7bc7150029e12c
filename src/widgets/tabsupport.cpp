#include "tabsupport.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QKeyEvent>
#include <QDebug>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTextCodec>
#include <QTextCursor>
#include <QTextDocument>

#include <memory>

#include "frmsg.h"
#include "frrecords.h"
#include "frwrapper.h"

namespace {

bool fitsCp866(const QString &text, int maxBytes)
{
    QTextCodec *codec = frtext::cp866();
    if (codec && !codec->canEncode(text))
        return false;
    return frtext::toCp866(text).size() <= maxBytes;
}

class EnterPresses : public QObject
{
public:
    EnterPresses(QWidget *input, QAbstractButton *action) : QObject(input), action_(action) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        auto *key = static_cast<QKeyEvent *>(event);
        if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) ||
            (key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
            return false;
        if (auto *spin = qobject_cast<QAbstractSpinBox *>(watched))
            spin->interpretText();
        if (action_ && action_->isEnabled())
            action_->click();
        return true;
    }

private:
    QPointer<QAbstractButton> action_;
};

} // namespace

QString failureReason(int code, const FsWrapper *fr)
{
    if (code == CoreApiConst::Success)
        return QString();
    if (fr && code >= CoreApiConst::ParseError && !fr->linkError().isEmpty())
        return fr->linkError();
    if (code == CoreApiConst::NoAnswer)
        return QStringLiteral("ККТ не ответила");
    const QString text = errorText(quint8(code)).trimmed();
    return text.isEmpty() ? QStringLiteral("Код ошибки %1").arg(code) : text;
}

void showFailure(QWidget *parent, const QString &title, const QString &text, const QString &reason)
{
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, parent);
    box.setInformativeText(reason);
    box.exec();
}

void showFailure(QWidget *parent, const FsWrapper *fr, const QString &title, const QString &text, int code)
{
    showFailure(parent, title, text, failureReason(code, fr));
}

const QString NoReplyText = QStringLiteral("ККТ не ответила, или её ответ не удалось прочитать");

void showRegDataFailure(QWidget *parent, const FsWrapper *fr, int code)
{
    const QString title = QStringLiteral("Запрос параметров регистрации/перерегистрации ККТ");
    if (code == CoreApiConst::NotActivated)
        showFailure(parent, fr, title, QStringLiteral("ККТ не активирована"), code);
    else if (code >= CoreApiConst::ParseError)
        showFailure(parent, fr, title, NoReplyText, code);
    else
        showFailure(parent, title, failureReason(code), QString());
}

void refuse(QWidget *parent, FsWrapper *fr, const QString &title, const QString &text, const QString &why)
{
    writeToLog(fr, why);
    showFailure(parent, title, text, why);
}

bool mayStart(FsWrapper *fr)
{
    if (fr && fr->operationRunning())
        qWarning() << "Button ignored: an operation on the register is running";
    return fr && !fr->operationRunning();
}

void writeToLog(FsWrapper *fr, const QString &text)
{
    if (fr)
        emit fr->showLog(text);
}

QString unknownChoiceNote(const QString &field, const QString &value)
{
    return QStringLiteral("«%1»: прочитано значение %2, которого нет в списке; выберите значение перед записью")
        .arg(field, value);
}

QString storedValueNote(const QString &field, const QString &value)
{
    return QStringLiteral("«%1»: прочитано значение %2, которое поле не может показать; "
                          "при записи оно сохранится, пока поле не изменено")
        .arg(field, value);
}

void FocusReturn::take(QWidget *window)
{
    // The window's own focus child: right after a question box has closed the window may not be
    // active yet, and the application then has no focus widget at all.
    widget_ = window ? window->focusWidget() : nullptr;
}

void FocusReturn::give()
{
    if (widget_ && widget_->isEnabled() && widget_->isVisible())
        widget_->setFocus(Qt::OtherFocusReason);
    widget_ = nullptr;
}

void pressOnEnter(QWidget *input, QAbstractButton *action)
{
    input->installEventFilter(new EnterPresses(input, action));
}

Cp866Validator::Cp866Validator(int maxBytes, bool digitsOnly, QObject *parent)
    : QValidator(parent), maxBytes_(maxBytes), digitsOnly_(digitsOnly)
{}

QValidator::State Cp866Validator::validate(QString &input, int &pos) const
{
    Q_UNUSED(pos)
    if (digitsOnly_) {
        for (const QChar c : qAsConst(input)) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return Invalid;
        }
    }
    return fitsCp866(input, maxBytes_) ? Acceptable : Invalid;
}

void limitCp866(QLineEdit *edit, int maxBytes)
{
    edit->setMaxLength(maxBytes);
    edit->setValidator(new Cp866Validator(maxBytes, false, edit));
}

void limitDigits(QLineEdit *edit, int maxDigits)
{
    edit->setMaxLength(maxDigits);
    edit->setValidator(new Cp866Validator(maxDigits, true, edit));
}

void limitCp866(QPlainTextEdit *edit, int maxBytes)
{
    struct State
    {
        QString accepted;
        int position = 0;
        int added = 0;
    };
    auto state = std::make_shared<State>();
    state->accepted = edit->toPlainText();
    QTextDocument *doc = edit->document();
    QObject::connect(doc, &QTextDocument::contentsChange, edit, [state](int position, int, int added) {
        state->position = position;
        state->added = added;
    });
    QObject::connect(edit, &QPlainTextEdit::textChanged, edit, [edit, maxBytes, state]() {
        const QString text = edit->toPlainText();
        if (text == state->accepted)
            return;
        QTextCodec *codec = frtext::cp866();
        if (codec && !codec->canEncode(text)) {
            // Back to the last text that fitted, the cursor where the refused input began.
            const int cursor = state->position;
            edit->setPlainText(state->accepted);
            QTextCursor c = edit->textCursor();
            c.setPosition(qBound(0, cursor, state->accepted.size()));
            edit->setTextCursor(c);
            return;
        }
        const int excess = frtext::toCp866(text).size() - maxBytes;
        if (excess > 0) {
            // Like a line edit's length limit: what was just typed or pasted is cut, the rest stays.
            const int end = qMin(state->position + state->added, text.size());
            const int start = qMax(0, end - excess);
            QTextCursor c(edit->document());
            c.setPosition(start);
            c.setPosition(end, QTextCursor::KeepAnchor);
            c.removeSelectedText(); // comes back here with the text that fits
            return;
        }
        state->accepted = text;
    });
}
