#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include "mainwidget.h"

class QMessageBox;

// What a scene may do with the window: the same things a user does, plus taking pictures.
//
// A scene lives in its own file under scenes/ and registers itself:
//
//     #include "scene.h"
//     VIRTA_SCENE(status_tab, 20)       // name (also the default picture name), order of running
//     {
//         s.selectTab("tabStatus");
//         s.click("tabStatus/pbStatus");        // boxes are answered with OK, questions with yes (and can be pictured)
//         s.shot("status-tab");         // docs/screenshots/status-tab.png
//     }
//
// Each scene gets a new main window whose port form is already open on the register given with
// --port (the emulator of scripts/screenshots.sh); the register's state carries over from the
// scenes run before it, in the order given.
class SceneDriver : public QObject
{
    Q_OBJECT
public:
    SceneDriver(MainWidget *window, const QString &outDir);
    ~SceneDriver() override;

    MainWidget *window() const { return window_; }

    // The window's descendant of that object name, or of a path of names ("wPort/cbPort") where a
    // name alone is not unique. A scene that names no widget, or an ambiguous one, is a broken
    // scene: this reports it and stops the program.
    QWidget *widget(const QString &objectName) const;
    template <typename T> T *find(const QString &objectName) const { return qobject_cast<T *>(widget(objectName)); }

    void selectTab(const QString &objectName);
    // Presses a button (push, tool, check or radio) the way the mouse does.
    void click(const QString &objectName);
    // Replaces the text of a line edit, the edit of a combo box, a spin box or a plain-text edit.
    void type(const QString &objectName, const QString &text);
    // Lets the window settle (layouts, queued signals, replies) for about `ms` milliseconds.
    void settle(int ms = 200);

    // Saves a picture of the whole window as <out>/<name>.png and prints its path.
    void shot(const QString &name);
    // The next message box is pictured as <out>/<name>.png before it is answered.
    void shotNextBox(const QString &name) { boxShot_ = name; }
    // Texts ("title: text") of the message boxes answered so far in this scene.
    QStringList boxes() const { return boxes_; }

    bool failed() const { return failed_; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void answer(QMessageBox *box);
    void save(QWidget *w, const QString &name);

    QPointer<MainWidget> window_;
    QString outDir_;
    QString boxShot_;
    QStringList boxes_;
    bool failed_ = false;
};

struct SceneEntry
{
    QString name;
    int order;
    void (*run)(SceneDriver &s);
};

QList<SceneEntry> &sceneRegistry();

struct SceneRegistration
{
    SceneRegistration(const char *name, int order, void (*run)(SceneDriver &))
    {
        sceneRegistry().append({QString::fromLatin1(name), order, run});
    }
};

#define VIRTA_SCENE(name, order)                                                                                       \
    static void name##_scene(SceneDriver &s);                                                                          \
    static const SceneRegistration name##_registration(#name, order, &name##_scene);                                   \
    static void name##_scene(SceneDriver &s)
