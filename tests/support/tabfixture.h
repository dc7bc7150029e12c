#pragma once

#include <QAbstractButton>
#include <QString>
#include <QtTest>

#include "emulatorfixture.h"
#include "frconst.h"
#include "frwrapper.h"
#include "messageboxcatcher.h"

// No device node: every exchange ends as "no answer" at once, without waiting out a time-out.
inline const QString NoRegisterPath = QStringLiteral("/dev/virta-no-such-register");

// A click on the named button of a tab or editor; fails the test when there is none.
inline void press(QWidget &w, const char *name)
{
    auto *button = w.findChild<QAbstractButton *>(QLatin1String(name));
    QVERIFY2(button, name);
    button->click();
}

template <typename T> T *field(QWidget &w, const char *name)
{
    return w.findChild<T *>(QLatin1String(name));
}

// The cashier number and password that lead every command of the fixture's command layer.
inline QByteArray cashierBlock()
{
    QByteArray b(1, char(DefaultCashierNumber));
    for (int i = 0; i < 4; ++i)
        b += char((quint32(DefaultCashierPassword) >> (8 * i)) & 0xFF);
    return b;
}

// One service tab wired as the main window wires it: a command layer on its own substitute
// register, the default cashier and password, and every message box caught and answered.
//
//     TabFixture<CycleWidget> t;                 // preset "ready"
//     QVERIFY2(t.start(), qPrintable(t.error()));
//     auto &[emu, fr, tab, boxes] = t;
//     press(tab, "pbOpenCycle");
//     QCOMPARE(boxes.last(), CaughtBox(QMessageBox::Information, "...", "Успешно!"));
//     QCOMPARE(emu.executionsOf(0x11), 1);
template <typename Tab> class TabFixture
{
public:
    TabFixture() = default;
    explicit TabFixture(const EmulatorFixture::Options &options) : emu(options) {}

    // Starts the register and hands the tab a command layer with the port open.
    bool start() { return emu.start() && connectTo(emu.devicePath()); }
    // The tab on a port with nothing behind it.
    bool startWithoutRegister() { return connectTo(NoRegisterPath); }
    // The tab on another port (a canned register), the fixture's own register left stopped.
    bool connectTo(const QString &port)
    {
        if (!fr.open(port))
            return false;
        fr.setCashier(DefaultCashierNumber);
        fr.setPassword(DefaultCashierPassword);
        tab.setFsWrapper(&fr);
        return true;
    }
    QString error() const { return emu.lastError().isEmpty() ? QStringLiteral("port not opened") : emu.lastError(); }

    // The members, in this order, are what a test binds: auto &[emu, fr, tab, boxes] = t;
    EmulatorFixture emu;
    FsWrapper fr;
    Tab tab;
    MessageBoxCatcher boxes;

};
