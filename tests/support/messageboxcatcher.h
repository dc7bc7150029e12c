#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

// Answers the message boxes a test provokes, the way a user would, and remembers them.
//
// Message boxes run their own modal loop, so a test that presses a button which ends in
// QMessageBox::critical() would otherwise hang. While a catcher lives it watches for every
// QMessageBox that is shown (and, as a fallback, for the active modal widget), records its
// icon, title and text, and presses OK (or the box's escape/default button when it has no
// OK). The test then asserts the exact box the user would have seen:
//
//     MessageBoxCatcher boxes;
//     QTest::mouseClick(button, Qt::LeftButton);
//     QTRY_COMPARE(boxes.count(), 1);
//     QCOMPARE(boxes.last(), CaughtBox(QMessageBox::Critical, "Title", "Ошибка ..."));
//
// Only one catcher should live at a time.
struct CaughtBox
{
    CaughtBox() = default;
    CaughtBox(QMessageBox::Icon i, const QString &t, const QString &x) : icon(i), title(t), text(x) {}

    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
    QString informativeText;
    QString detailedText;
    QStringList buttons;   // texts of the box's buttons, in the box's order
    QString defaultButton; // the text of the button Enter presses; empty when none

    // Icon, title and text: what a test normally asserts.
    bool operator==(const CaughtBox &o) const { return icon == o.icon && title == o.title && text == o.text; }
    bool operator!=(const CaughtBox &o) const { return !(*this == o); }
};

// Readable failure messages from QCOMPARE.
char *toString(const CaughtBox &box);

class MessageBoxCatcher : public QObject
{
    Q_OBJECT
public:
    explicit MessageBoxCatcher(QObject *parent = nullptr);
    ~MessageBoxCatcher() override;

    // Which button to press; OK by default. A box without it gets its escape button,
    // then its default button, then its first button: a question is answered "Отмена" unless
    // the test chooses QMessageBox::Yes (or another of its buttons).
    void setAnswer(QMessageBox::StandardButton button) { answer_ = button; }

    int count() const { return boxes_.size(); }
    const QList<CaughtBox> &boxes() const { return boxes_; }
    // The most recent box; an empty CaughtBox when none was caught.
    CaughtBox last() const { return boxes_.isEmpty() ? CaughtBox() : boxes_.last(); }
    CaughtBox takeFirst() { return boxes_.isEmpty() ? CaughtBox() : boxes_.takeFirst(); }
    void clear() { boxes_.clear(); }

    // Processes events until at least `n` boxes have been caught in all or the time is up.
    bool waitForCount(int n, int timeoutMs = 10000);

signals:
    void caught(const CaughtBox &box);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void take(QMessageBox *box);
    void poll();

    QList<CaughtBox> boxes_;
    QSet<QMessageBox *> seen_;
    QMessageBox::StandardButton answer_ = QMessageBox::Ok;
};
