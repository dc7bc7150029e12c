#include "messageboxcatcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QPushButton>
#include <QTest>
#include <QTimer>

char *toString(const CaughtBox &box)
{
    const QString s = QStringLiteral("CaughtBox(icon %1, \"%2\", \"%3\")").arg(int(box.icon)).arg(box.title, box.text);
    return qstrdup(s.toUtf8().constData());
}

MessageBoxCatcher::MessageBoxCatcher(QObject *parent) : QObject(parent)
{
    qApp->installEventFilter(this);
    // A box shown before the filter was in place, or one whose show event slipped by,
    // is still found as the active modal widget.
    auto *timer = new QTimer(this);
    timer->setInterval(20);
    connect(timer, &QTimer::timeout, this, &MessageBoxCatcher::poll);
    timer->start();
}

MessageBoxCatcher::~MessageBoxCatcher()
{
    qApp->removeEventFilter(this);
}

bool MessageBoxCatcher::waitForCount(int n, int timeoutMs)
{
    return QTest::qWaitFor([&] { return boxes_.size() >= n; }, timeoutMs);
}

bool MessageBoxCatcher::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Show) {
        if (auto *box = qobject_cast<QMessageBox *>(watched))
            take(box);
    }
    return QObject::eventFilter(watched, event);
}

void MessageBoxCatcher::poll()
{
    if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
        take(box);
}

void MessageBoxCatcher::take(QMessageBox *box)
{
    if (seen_.contains(box))
        return;
    seen_.insert(box);
    connect(box, &QObject::destroyed, this, [this, box] { seen_.remove(box); });

    CaughtBox c;
    c.icon = box->icon();
    c.title = box->windowTitle();
    c.text = box->text();
    c.informativeText = box->informativeText();
    c.detailedText = box->detailedText();
    const auto buttons = box->buttons();
    for (QAbstractButton *b : buttons)
        c.buttons << b->text();
    if (QPushButton *d = box->defaultButton())
        c.defaultButton = d->text();
    boxes_ << c;
    emit caught(c);

    // Press the button once the box's own loop runs; pressing from inside the show
    // event would end a loop that has not started yet.
    QPointer<QMessageBox> guard(box);
    const QMessageBox::StandardButton answer = answer_;
    QTimer::singleShot(0, this, [guard, answer] {
        if (!guard)
            return;
        QAbstractButton *b = guard->button(answer);
        if (!b)
            b = guard->escapeButton();
        if (!b)
            b = guard->defaultButton();
        if (!b && !guard->buttons().isEmpty())
            b = guard->buttons().first();
        if (b)
            b->click();
        else
            guard->done(0);
    });
}
