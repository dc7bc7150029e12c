#include "scene.h"

#include "mainwidget.h"
#include "windowlayout.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

QList<SceneEntry> &sceneRegistry()
{
    static QList<SceneEntry> registry;
    return registry;
}

SceneDriver::SceneDriver(MainWidget *window, const QString &outDir) : window_(window), outDir_(outDir)
{
    qApp->installEventFilter(this);
}

SceneDriver::~SceneDriver()
{
    qApp->removeEventFilter(this);
}

QWidget *SceneDriver::widget(const QString &objectName) const
{
    // Tabs reuse names (several have a cbPort, a label_2 ...): a name must be unique below the
    // window, or be given as a path such as "wPort/cbPort" or "tabCycle/pbOpen".
    QWidget *w = window_;
    const QStringList path = objectName.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &name : path) {
        const QList<QWidget *> found = w ? w->findChildren<QWidget *>(name) : QList<QWidget *>();
        if (found.size() != 1) {
            std::fprintf(stderr, "virta-screenshots: %s widget named \"%s\" in \"%s\"%s\n",
                         found.isEmpty() ? "no" : "more than one", qPrintable(name), qPrintable(objectName),
                         found.isEmpty() ? "" : " (give a path, e.g. \"tabCycle/pbOpen\")");
            std::exit(3);
        }
        w = found.first();
    }
    return w;
}

void SceneDriver::selectTab(const QString &objectName)
{
    QWidget *page = widget(objectName);
    auto *tabs = window_->findChild<QTabWidget *>(QStringLiteral("tabWidget"));
    tabs->setCurrentIndex(tabIndexOf(tabs, page));
    settle(100);
}

void SceneDriver::click(const QString &objectName)
{
    auto *button = qobject_cast<QAbstractButton *>(widget(objectName));
    if (!button) {
        std::fprintf(stderr, "virta-screenshots: \"%s\" is not a button\n", qPrintable(objectName));
        std::exit(3);
    }
    // A real click: pressed, released, clicked; the slots wired by name listen to released().
    QTest::mouseClick(button, Qt::LeftButton);
    settle(100);
}

void SceneDriver::type(const QString &objectName, const QString &text)
{
    QWidget *w = widget(objectName);
    QLineEdit *edit = qobject_cast<QLineEdit *>(w);
    if (auto *cb = qobject_cast<QComboBox *>(w))
        edit = cb->lineEdit();
    else if (auto *sb = qobject_cast<QAbstractSpinBox *>(w))
        edit = sb->findChild<QLineEdit *>();
    if (auto *pte = qobject_cast<QPlainTextEdit *>(w)) {
        pte->clear();
        QTest::keyClicks(pte, text);
    } else if (edit) {
        edit->selectAll();
        edit->del();
        QTest::keyClicks(edit, text);
        if (auto *sb = qobject_cast<QAbstractSpinBox *>(w))
            sb->interpretText();
    } else {
        std::fprintf(stderr, "virta-screenshots: cannot type into \"%s\"\n", qPrintable(objectName));
        std::exit(3);
    }
    settle(50);
}

void SceneDriver::settle(int ms)
{
    QDeadlineTimer deadline(ms);
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    } while (!deadline.hasExpired());
}

void SceneDriver::shot(const QString &name)
{
    settle(100);
    save(window_, name);
}

void SceneDriver::save(QWidget *w, const QString &name)
{
    QDir().mkpath(outDir_);
    const QString path = QDir(outDir_).absoluteFilePath(name + QStringLiteral(".png"));
    if (w->grab().save(path)) {
        std::printf("%s\n", qPrintable(path));
    } else {
        std::fprintf(stderr, "virta-screenshots: cannot write %s\n", qPrintable(path));
        failed_ = true;
    }
}

bool SceneDriver::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Show) {
        if (auto *box = qobject_cast<QMessageBox *>(watched)) {
            QPointer<QMessageBox> guard(box);
            // Answered from the box's own loop, once it is laid out and painted.
            QTimer::singleShot(50, this, [this, guard] {
                if (guard)
                    answer(guard);
            });
        }
    }
    return QObject::eventFilter(watched, event);
}

void SceneDriver::answer(QMessageBox *box)
{
    boxes_ << box->windowTitle() + QStringLiteral(": ") + box->text();
    if (!boxShot_.isEmpty()) {
        save(box, boxShot_);
        boxShot_.clear();
    }
    // A question before an act is answered yes: the scenes picture the act itself.
    QAbstractButton *b = box->button(QMessageBox::Ok);
    if (!b)
        b = box->button(QMessageBox::Yes);
    if (!b)
        b = box->escapeButton();
    if (!b && !box->buttons().isEmpty())
        b = box->buttons().first();
    if (b)
        b->click();
    else
        box->done(0);
}
