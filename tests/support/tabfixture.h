#pragma once

#include <QAbstractButton>
#include <QString>
#include <QtTest>

#include "cannedregister.h"
#include "emulatorfixture.h"
#include "frconst.h"
#include "frwrapper.h"
#include "messageboxcatcher.h"

// No device node: every exchange ends as "no answer" at once, without waiting out a time-out.
inline const QString NoRegisterPath = QStringLiteral("/dev/virta-no-such-register");

// A widget by its object name, or by a path of names where the name alone is not unique
// ("wTax2/leName": every tax editor has its own name field).
template <typename T> T *field(QObject &w, const char *path)
{
    QObject *at = &w;
    const QStringList names = QString::fromLatin1(path).split(QLatin1Char('/'));
    for (int i = 0; at && i + 1 < names.size(); ++i)
        at = at->findChild<QObject *>(names.at(i));
    return at ? at->findChild<T *>(names.last()) : nullptr;
}

// A click on the named button of a tab or editor; fails the test when there is none.
inline void press(QObject &w, const char *path)
{
    auto *button = field<QAbstractButton>(w, path);
    QVERIFY2(button, path);
    button->click();
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

// The tab on a register that answers each command with the reply a test chose (see
// CannedRegister), for replies the substitute register never gives. The free-text lines the
// command layer hands the log pane are kept: that is where a tab says what its form could not show.
//
//     CannedTabFixture<SettingsWidget> t;
//     t.reg.setReply(0xC1, 0, QByteArray(1, char(70)));
//     QVERIFY2(t.start(), qPrintable(t.reg.lastError()));
//     press(t.tab, "pbReadPrinterSettings");
//     QCOMPARE(t.log.filter("не может показать").size(), 1);
template <typename Tab> class CannedTabFixture : public TabFixture<Tab>
{
public:
    // The port closes while the register still answers on the other end.
    ~CannedTabFixture() { this->fr.close(); }

    bool start()
    {
        if (!reg.start() || !this->connectTo(reg.devicePath()))
            return false;
        QObject::connect(&this->fr, qOverload<QString>(&FsWrapper::showLog), &this->tab,
                         [this](const QString &line) { log << line; });
        return true;
    }
    // Payloads of the requests with this command code, in order.
    QList<QByteArray> sent(quint8 code) const
    {
        QList<QByteArray> out;
        for (const FsReq &req : reg.requests()) {
            if (req.code() == code)
                out << req.data();
        }
        return out;
    }

    CannedRegister reg;
    QStringList log;
};
