#pragma once

#include <QPointer>
#include <QString>
#include <QValidator>

class FsWrapper;
class QAbstractButton;
class QLineEdit;
class QPlainTextEdit;
class QWidget;

// Pieces every service tab shares: what a failure box says, and limits that keep a field to what
// the register stores whole. (A sequence of commands holds an FsOperation: the window is locked
// from its first request to its last.)

// A critical box with the tab's own text and, below it, the register's reason for `code` (or what
// the network link said, failureReason), so that the operator need not look for it in the log pane.
void showFailure(QWidget *parent, const FsWrapper *fr, const QString &title, const QString &text, int code);

// The same with a reason of this side (a choice left blank, say) instead of a result code.
void showFailure(QWidget *parent, const QString &title, const QString &text, const QString &reason);

// Refuses in the window what the register would refuse: the reason (naming the field) goes to the
// log pane and below the failure box, and nothing is sent.
void refuse(QWidget *parent, FsWrapper *fr, const QString &title, const QString &text, const QString &why);

// The register's reason for `code` as one line; empty for success. For NoAnswer, «ККТ не ответила»:
// nothing came back (the log pane tells a closed port or a refused request apart). When the last
// exchange of `fr` failed on its network link (refused, host not found, no connection in time, the
// connection lost), what the link said instead.
QString failureReason(int code, const FsWrapper *fr = nullptr);

// The box for a failed read of the registration data: "ККТ не активирована" only when the
// register says so; a silent register or an unreadable reply is not an unregistered one.
void showRegDataFailure(QWidget *parent, const FsWrapper *fr, int code);
extern const QString NoReplyText;

// A button may start a command: there is a command layer and no operation runs. A button's slot
// reached while one runs (a click queued before the window was locked, a timer) does nothing: the
// running operation goes on, and no failure box tells of a command that was never sent.
bool mayStart(FsWrapper *fr);

// A line for the log pane; nothing without a command layer.
void writeToLog(FsWrapper *fr, const QString &text);

// The log line for a stored value that a field cannot show as it is.
QString storedValueNote(const QString &field, const QString &value);

// The log line for a stored choice that a box does not offer; such a box is left blank, and a
// write is refused until the operator chooses.
QString unknownChoiceNote(const QString &field, const QString &value);

// What a field showed of a stored value. A spin box clamps a number outside its range and a line
// edit cuts a text longer than its limit; writing back then keeps the stored value unless the
// operator changed the field, so that a read followed by a write changes nothing.
template <typename T> class ShownValue
{
public:
    // Returns whether the field shows the stored value as it is.
    bool load(const T &stored, const T &shown)
    {
        stored_ = stored;
        shown_ = shown;
        kept_ = !(stored == shown);
        return !kept_;
    }
    T take(const T &current) const { return kept_ && current == shown_ ? stored_ : current; }

private:
    T stored_{};
    T shown_{};
    bool kept_ = false;
};

// Gives the keyboard back where it was once an operation has ended: a lock disables the widget
// that had the focus, Qt moves the focus on, and nothing brings it back by itself (a second Space
// would land on another button, a Tab start again from the first field).
class FocusReturn
{
public:
    // Remembers the focus widget of `window`, if it has one.
    void take(QWidget *window);
    // The focus back to it, once it can take it again.
    void give();

private:
    QPointer<QWidget> widget_;
};

// Enter in `input` (a tab's last field) presses `action`, the one obvious next step. A spin box
// takes the typed number first.
void pressOnEnter(QWidget *input, QAbstractButton *action);

// Accepts only text that the register gets whole: characters CP866 can encode (others would
// arrive as '?'), at most `maxBytes` of them once encoded, and digits only when asked.
class Cp866Validator : public QValidator
{
    Q_OBJECT
public:
    Cp866Validator(int maxBytes, bool digitsOnly, QObject *parent = nullptr);
    State validate(QString &input, int &pos) const override;

    int maxBytes() const { return maxBytes_; }
    bool digitsOnly() const { return digitsOnly_; }

private:
    int maxBytes_;
    bool digitsOnly_;
};

// Limits a line edit to `maxBytes` CP866 bytes (a character is one byte in CP866).
void limitCp866(QLineEdit *edit, int maxBytes);
// Limits a line edit to at most `maxDigits` decimal digits.
void limitDigits(QLineEdit *edit, int maxDigits);
// The same for a multi-line text: an edit that would leave more than `maxBytes` bytes or a
// character CP866 cannot encode is undone.
void limitCp866(QPlainTextEdit *edit, int maxBytes);
