#pragma once

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QtTest>

#include <memory>

#include "emulatorfixture.h"
#include "frwrapper.h"
#include "mainwidget.h"
#include "messageboxcatcher.h"
#include "tabfixture.h"

// The main window on its own substitute register, its port form opened as an operator opens it
// (the device path typed, "Открыть" pressed), shown and active so that the keyboard reaches it.
//
//     WindowFixture t;
//     QVERIFY2(t.start(), qPrintable(t.error()));
//     press(*t.window, "tabStatus/pbStatus");
//     QCOMPARE(t.sent(frcmd::GetFrStatus), 1);
class WindowFixture
{
public:
    WindowFixture() = default;
    explicit WindowFixture(const EmulatorFixture::Options &options) : emu(options) {}

    bool start()
    {
        if (!emu.start())
            return false;
        window = std::make_unique<MainWidget>();
        window->show();
        QApplication::setActiveWindow(window.get());
        if (!QTest::qWaitForWindowActive(window.get()))
            return false;
        auto *port = field<QComboBox>(*window, "wPort/cbPort");
        port->lineEdit()->clear();
        QTest::keyClicks(port->lineEdit(), emu.devicePath());
        field<QAbstractButton>(*window, "wPort/pbOpen")->click();
        return fr()->isOpen() && fr()->portName() == emu.devicePath();
    }
    QString error() const { return emu.lastError().isEmpty() ? QStringLiteral("port not opened") : emu.lastError(); }

    FsWrapper *fr() const { return window->findChild<FsWrapper *>(); }
    // How many requests with this command code reached the register.
    int sent(quint8 code) const
    {
        int n = 0;
        for (const EmuRequestRecord &r : emu.requests())
            n += r.request.code() == code ? 1 : 0;
        return n;
    }

    EmulatorFixture emu;
    std::unique_ptr<MainWidget> window;
    MessageBoxCatcher boxes;
};
