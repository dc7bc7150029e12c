#include "confirm.h"
#include "emulatorfixture.h"
#include "frconst.h"
#include "frwrapper.h"
#include "loggermanager.h"
#include "logpane.h"
#include "mainwidget.h"
#include "messageboxcatcher.h"

#include "activatewidget.h"
#include "catalogswidget.h"
#include "cyclewidget.h"
#include "firmwarewidget.h"
#include "printwidget.h"
#include "receuptwidget.h"
#include "reportswidget.h"
#include "settingswidget.h"
#include "statuswidget.h"
#include "windowlayout.h"

#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTimer>
#include <QtTest>

#include <unistd.h>

namespace {

const QString Pad15(15, QLatin1Char(' '));

// One frame in the log pane: its colour and its lines.
struct LogEntry
{
    QColor color;
    QStringList lines;
};

QList<LogEntry> frameEntries(QTextBrowser *tb)
{
    QList<LogEntry> entries;
    for (const PaneLine &line : paneLines(tb)) {
        if (line.text.startsWith(QLatin1String("Bytearrray size = ")))
            entries << LogEntry{line.colour, {line.text}};
        else if (!entries.isEmpty() && line.text.startsWith(Pad15))
            entries.last().lines << line.text;
    }
    return entries;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    MainWidget *w = nullptr;

    // The window's widget of that name, or of a path of names where the name alone is not
    // unique ("frame/progressBar": the firmware tab has a progress bar of its own).
    template <typename T> T *child(const char *path) const
    {
        QObject *at = w;
        const auto names = QString::fromLatin1(path).split(QLatin1Char('/'));
        for (const QString &name : names) {
            const auto found = at->findChildren<QWidget *>(name);
            if (found.size() != 1)
                qFatal("%d widgets named %s", int(found.size()), qPrintable(name));
            at = found.first();
        }
        T *c = qobject_cast<T *>(at);
        if (!c)
            qFatal("%s is of another type", path);
        return c;
    }
    FsWrapper *fr() const { return w->findChild<FsWrapper *>(); }
    QTextBrowser *log() const { return child<QTextBrowser>("tbLog"); }

    // Points the port form at `path` as a user would: types it and presses "Открыть".
    void openPort(const QString &path)
    {
        auto *cb = child<QComboBox>("wPort/cbPort");
        cb->lineEdit()->clear();
        QTest::keyClicks(cb->lineEdit(), path);
        QTest::mouseClick(child<QPushButton>("wPort/pbOpen"), Qt::LeftButton);
        QVERIFY(fr()->isOpen());
        QCOMPARE(fr()->portName(), path);
    }

private slots:
    void initTestCase()
    {
        registerFsMetaTypes();
        // The questions before irreversible acts have their own test.
        setConfirmationsOn(false);
    }
    void init()
    {
        w = new MainWidget;
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
    }
    void cleanup()
    {
        delete w;
        w = nullptr;
    }

    // The title carries the version the program runs as, whatever it is.
    void title()
    {
        QCoreApplication::setApplicationVersion(QStringLiteral("2.7.13"));
        MainWidget other;
        QCOMPARE(other.windowTitle(), QStringLiteral("ВИРТА СЕРВИС [2.7.13]"));
    }

    // Pages taller than the room above the log pane scroll: each goes into a scroll area of its
    // own, in its place, under its title, once however often it is asked.
    void pagesScroll()
    {
        QTabWidget tabs;
        const QStringList names{"first", "second", "third"};
        for (const QString &name : names) {
            auto *page = new QWidget;
            page->setObjectName(name);
            tabs.addTab(page, name.toUpper());
        }
        tabs.setCurrentIndex(1);
        scrollPages(&tabs);
        scrollPages(&tabs);
        QCOMPARE(tabs.count(), names.size());
        QCOMPARE(tabs.currentIndex(), 1);
        for (int i = 0; i < names.size(); ++i) {
            auto *area = qobject_cast<QScrollArea *>(tabs.widget(i));
            QVERIFY(area && area->widgetResizable());
            QCOMPARE(area->widget()->objectName(), names.at(i));
            QCOMPARE(tabs.tabText(i), names.at(i).toUpper());
            QCOMPARE(tabIndexOf(&tabs, area->widget()), i);
        }

        auto *tw = child<QTabWidget>("tabWidget");
        QCOMPARE(tw->currentIndex(), 0);
        for (int i = 0; i < tw->count(); ++i)
            QVERIFY2(qobject_cast<QScrollArea *>(tw->widget(i)), qPrintable(tw->tabText(i)));
    }

    // The firmware page needs the whole window: the side panel and the log pane go while it is
    // shown and come back on every other page, whichever way the operator moves.
    void panelVisibility()
    {
        auto *tw = child<QTabWidget>("tabWidget");
        const int firmware = tabIndexOf(tw, child<FirmwareWidget>("tabFirmare"));
        QVERIFY(firmware >= 0);
        const int other = firmware == 0 ? 1 : 0;
        for (int index = 0; index < tw->count(); ++index) {
            for (int from : {firmware, other}) {
                tw->setCurrentIndex(from);
                tw->setCurrentIndex(index);
                QCOMPARE(child<QWidget>("frame")->isVisible(), index != firmware);
                QCOMPARE(log()->isVisible(), index != firmware);
            }
        }
    }

    void progressBar()
    {
        auto *bar = child<QProgressBar>("frame/progressBar");
        auto *tw = child<QTabWidget>("tabWidget");
        auto *port = child<QWidget>("wPort");
        auto *cancel = child<QPushButton>("pbCancelDoc");
        auto *timer = w->findChild<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
        QVERIFY(timer);
        QCOMPARE(timer->interval(), 1000);
        QVERIFY(bar->isHidden());

        w->onOperationStarted();
        QVERIFY(bar->isVisible());
        QVERIFY(timer->isActive());
        QVERIFY(!tw->isEnabled() && !port->isEnabled() && !cancel->isEnabled());
        QCOMPARE(bar->value(), 0);
        for (int s = 0; s < 150; ++s) // a 150 s exchange
            w->progressTimeOut();
        QCOMPARE(bar->value(), 100);

        w->onOperationFinished();
        QVERIFY(bar->isHidden());
        QVERIFY(!timer->isActive());
        QVERIFY(tw->isEnabled() && port->isEnabled() && cancel->isEnabled());
        QCOMPARE(bar->value(), 100); // the last value stays until the next start

        w->onOperationStarted();
        QCOMPARE(bar->value(), 0);
        w->progressTimeOut();
        QCOMPARE(bar->value(), 1);
        w->onOperationFinished();
    }

    void logFrames_data()
    {
        QTest::addColumn<bool>("out");
        QTest::addColumn<QString>("hex");
        QTest::addColumn<QStringList>("lines");

        QTest::newRow("16 bytes sent") << true << "303132333435363738393a3b3c3d3e3f"
                                       << QStringList{"Bytearrray size = 16",
                                                      Pad15 + "30 31 32 33 34 35 36 37    38 39 3a 3b 3c 3d 3e 3f    "
                                                              "0123456789:;<=>?"};
        QTest::newRow("20 bytes received")
            << false << "4142434445464748494a4b4c4d4e4f5051525354"
            << QStringList{"Bytearrray size = 20",
                           Pad15 + "41 42 43 44 45 46 47 48    49 4a 4b 4c 4d 4e 4f 50    ABCDEFGHIJKLMNOP",
                           Pad15 + "51 52 53 54 " + QString(42, ' ') + "QRST"};
        QTest::newRow("empty received") << false << ""
                                        << QStringList{"Bytearrray size = 0", Pad15 + "Byte array is empty"};
        QTest::newRow("frame with control bytes")
            << true << "0405003301"
            << QStringList{"Bytearrray size = 5", Pad15 + "04 05 00 33 01 " + QString(39, ' ') + "...3."};
        // Bytes that look like markup are shown as they are, not rendered.
        QTest::newRow("markup in a frame") << false << "3c623e26616d703b"
                                           << QStringList{"Bytearrray size = 8", Pad15 + "3c 62 3e 26 61 6d 70 3b    " +
                                                                                     QString(27, ' ') + "<b>&amp;"};
    }
    void logFrames()
    {
        QFETCH(bool, out);
        QFETCH(QString, hex);
        QFETCH(QStringList, lines);
        w->showLog(QStringLiteral("<b>before</b>"));
        w->showLog(out, hex);

        const auto entries = frameEntries(log());
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries[0].color, out ? QColor(Qt::blue) : QColor(Qt::red));
        QStringList got = entries[0].lines;
        // The pane adds a space after the last line of a paragraph.
        while (got.last().endsWith(QLatin1Char(' ')))
            got.last().chop(1);
        QCOMPARE(got, lines);
        // Texts of the tabs are shown as they are, markup too; they stay before the frame.
        QVERIFY(log()->toPlainText().startsWith(QLatin1String("<b>before</b>\nBytearrray size = ")));
        QCOMPARE(log()->textCursor().position(), log()->document()->characterCount() - 1);
    }

    // A log folder that is not fit (here a link) moves the log files beside it; the window, even
    // one made after that, says where they are. Texts with markup, as a cashier's name may carry,
    // are shown as they are.
    void logNotices()
    {
        QTemporaryDir tmp;
        const QString folder = tmp.path() + QStringLiteral("/virta5 <b>&amp;");
        QVERIFY(QDir().mkdir(tmp.path() + QStringLiteral("/target")));
        QVERIFY(QFile::link(tmp.path() + QStringLiteral("/target"), folder));
        LoggerManager::initLog(folder, 5, true, QtDebugMsg);
        delete w;
        w = new MainWidget;
        const QString line = QStringLiteral("Журнал пишется в папку «%1-%2» вместо «%1».").arg(folder).arg(::geteuid());
        QTRY_VERIFY2(log()->toPlainText().contains(line), qPrintable(log()->toPlainText()));
        LoggerManager::releaseLog();

        const QString name = QStringLiteral("«ФИО»: прочитано значение <i>Иванов</i> &amp; Ко");
        w->showLog(name);
        QVERIFY(log()->toPlainText().endsWith(name));
    }

    void cleanLog()
    {
        w->showLog(true, QStringLiteral("0405003301"));
        w->showLog(QStringLiteral("ФР не отвечает"));
        QVERIFY(!log()->document()->isEmpty());
        auto *pb = child<QPushButton>("pbCleanLog");
        QCOMPARE(pb->text(), QStringLiteral("Очистить журнал"));
        QTest::mouseClick(pb, Qt::LeftButton);
        QVERIFY(log()->document()->isEmpty());
    }

    void commandLayerHandedOn()
    {
        FsWrapper *f = fr();
        QVERIFY(f);
        QCOMPARE(f->parent(), w);
        QCOMPARE(f->cashier(), quint8(20));
        QCOMPARE(f->password(), qint32(DefaultCashierPassword));
        QCOMPARE(child<StatusWidget>("tabStatus")->fsWrapper(), f);
        QCOMPARE(child<CatalogsWidget>("tabCatalogs")->fsWrapper(), f);
        QCOMPARE(child<SettingsWidget>("tabSettings")->fsWrapper(), f);
        QCOMPARE(child<ActivateWidget>("tabActivate")->fsWrapper(), f);
        QCOMPARE(child<CycleWidget>("tabCycle")->fsWrapper(), f);
        QCOMPARE(child<ReceuptWidget>("tabReceipt")->fsWrapper(), f);
        QCOMPARE(child<ReportsWidget>("tabReports")->fsWrapper(), f);
        QCOMPARE(child<PrintWidget>("tabPrint")->fsWrapper(), f);
        QVERIFY(!f->isOpen()); // nothing is opened behind the user's back
    }

    void lockDuringExchange()
    {
        EmulatorFixture emu;
        QVERIFY2(emu.start(), qPrintable(emu.lastError()));
        openPort(emu.devicePath());
        emu.addFault(EmuFault::DelayReply, 0, 1000);

        auto *bar = child<QProgressBar>("frame/progressBar");
        auto *tw = child<QTabWidget>("tabWidget");
        auto *port = child<QWidget>("wPort");
        auto *cancel = child<QPushButton>("pbCancelDoc");
        // Looked at from inside the exchange's own wait, while the reply is held back.
        QList<bool> during;
        connect(fr(), &FsWrapper::exchangeStarted, this, [&] {
            QTimer::singleShot(0, this, [&] {
                during = {tw->isEnabled(), port->isEnabled(), cancel->isEnabled(), bar->isVisible()};
            });
        });

        MessageBoxCatcher boxes;
        QTest::mouseClick(cancel, Qt::LeftButton);
        QVERIFY(boxes.waitForCount(1));
        QCOMPARE(during, (QList<bool>{false, false, false, true}));
        QVERIFY(tw->isEnabled() && port->isEnabled() && cancel->isEnabled());
        QVERIFY(bar->isHidden());
        QCOMPARE(emu.executionsOf(0x06), 1);
    }

    // A sequence of requests is one operation: from the click to its last reply the whole window
    // is locked (as each request leaves it already is), and a click on the tab or the side panel,
    // or a slot reached some other way, sends nothing.
    void sequenceLocksWindow_data()
    {
        QTest::addColumn<QString>("page");
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("requests");
        QTest::addColumn<int>("shifts"); // 0: none yet; 1: one open; 2: one opened and closed
        QTest::newRow("test receipt") << "tabReceipt"
                                      << "pbTestReceipt" << 24 << 1;
        QTest::newRow("registration data, status tab") << "tabStatus"
                                                       << "pbRegData" << 12 << 0;
        QTest::newRow("registration data, registration tab") << "tabActivate"
                                                             << "pbReadRegData" << 12 << 0;
        QTest::newRow("copy of the Z report") << "tabReports"
                                              << "pbPrintLastZReport" << 2 << 2;
    }
    void sequenceLocksWindow()
    {
        QFETCH(QString, page);
        QFETCH(QString, button);
        QFETCH(int, requests);
        QFETCH(int, shifts);

        EmulatorFixture emu;
        QVERIFY2(emu.start(), qPrintable(emu.lastError()));
        openPort(emu.devicePath());
        qint16 cycle = 0;
        qint32 fd = 0, fp = 0;
        QDateTime dt;
        if (shifts > 0) {
            QCOMPARE(int(fr()->startCycleOpening(QStringLiteral("Кассир"))), 0);
            QCOMPARE(int(fr()->completeCycleOpening(cycle, fd, fp, dt)), 0);
        }
        if (shifts > 1) {
            QCOMPARE(int(fr()->startCycleClosing(QStringLiteral("Кассир"))), 0);
            QCOMPARE(int(fr()->completeCycleClosing(cycle, fd, fp, dt)), 0);
        }
        emu.clearHistory();
        auto *tw = child<QTabWidget>("tabWidget");
        QWidget *tab = child<QWidget>(qPrintable(page));
        tw->setCurrentWidget(tab);
        auto *start = child<QPushButton>(qPrintable(page + QLatin1Char('/') + button));
        auto *port = child<QWidget>("wPort");
        auto *cancel = child<QPushButton>("pbCancelDoc");
        auto *closePort = child<QPushButton>("wPort/pbClose");

        int sent = 0;
        int unlocked = 0;
        connect(fr(), &FsWrapper::sedReq, this, [&] {
            if (tw->isEnabled() || port->isEnabled() || cancel->isEnabled())
                ++unlocked;
            if (++sent != 2)
                return;
            // While the second request is out: clicks on the tab, the cancel button and "Закрыть",
            // and the slots themselves called as a queued click would.
            QTimer::singleShot(0, this, [&] {
                QTest::mouseClick(start, Qt::LeftButton);
                QTest::mouseClick(cancel, Qt::LeftButton);
                QTest::mouseClick(closePort, Qt::LeftButton);
                QMetaObject::invokeMethod(tab, qPrintable(QStringLiteral("on_%1_released").arg(button)));
                w->on_pbCancelDoc_released();
            });
        });
        MessageBoxCatcher boxes;
        QTest::mouseClick(start, Qt::LeftButton); // returns once the sequence and its box are done
        // At most the sequence's own box of success (a read fills the tab instead).
        QVERIFY(boxes.count() <= 1);
        if (boxes.count() == 1)
            QCOMPARE(boxes.last().icon, QMessageBox::Information);
        QCOMPARE(sent, requests);
        QCOMPARE(emu.requests().size(), requests);
        QCOMPARE(unlocked, 0);
        QVERIFY(fr()->isOpen());
        QVERIFY(tw->isEnabled() && port->isEnabled() && cancel->isEnabled());
    }

    // "Закрыть" closes: a command afterwards sends nothing (no port is opened again behind the
    // user's back) and fails at once, saying that nothing answered.
    void closeMeansClosed()
    {
        EmulatorFixture emu;
        QVERIFY2(emu.start(), qPrintable(emu.lastError()));
        openPort(emu.devicePath());
        QTest::mouseClick(child<QPushButton>("wPort/pbClose"), Qt::LeftButton);
        QVERIFY(!fr()->isOpen());

        MessageBoxCatcher boxes;
        QTest::mouseClick(child<QPushButton>("pbCancelDoc"), Qt::LeftButton);
        QVERIFY(boxes.waitForCount(1));
        QCOMPARE(boxes.last(),
                 CaughtBox(QMessageBox::Critical, "Отмена открытого документа", "Ошибка отмены открытого документа"));
        QCOMPARE(boxes.last().informativeText, QStringLiteral("ККТ не ответила"));
        QVERIFY(!fr()->isOpen());
        QCOMPARE(emu.requests().size(), 0);
    }

    void cancelDoc_data()
    {
        QTest::addColumn<QString>("peer");
        QTest::addColumn<int>("icon");
        QTest::addColumn<QString>("text");
        QTest::newRow("emulator") << "emulator" << int(QMessageBox::Information) << "Успешно!";
        QTest::newRow("no device") << "none" << int(QMessageBox::Critical) << "Ошибка отмены открытого документа";
        QTest::newRow("silent register") << "silent" << int(QMessageBox::Critical)
                                         << "Ошибка отмены открытого документа";
    }
    void cancelDoc()
    {
        QFETCH(QString, peer);
        QFETCH(int, icon);
        QFETCH(QString, text);

        EmulatorFixture emu;
        if (peer == QLatin1String("none")) {
            openPort(QDir::tempPath() + QStringLiteral("/virta-no-such-port"));
        } else {
            QVERIFY2(emu.start(), qPrintable(emu.lastError()));
            openPort(emu.devicePath());
            if (peer == QLatin1String("silent")) {
                emu.addFault(EmuFault::Silent);
            } else {
                // A document to cancel: the start of a shift opening.
                QCOMPARE(int(fr()->startCycleOpening(QStringLiteral("Иванов"))), 0);
            }
        }
        log()->clear();

        MessageBoxCatcher boxes;
        QTest::mouseClick(child<QPushButton>("pbCancelDoc"), Qt::LeftButton);
        QVERIFY(boxes.waitForCount(1));
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.last(), CaughtBox(QMessageBox::Icon(icon), "Отмена открытого документа", text));
        QCOMPARE(boxes.last().buttons.size(), 1);

        const QString pane = log()->toPlainText().trimmed();
        if (peer == QLatin1String("emulator")) {
            const auto entries = frameEntries(log());
            QCOMPARE(entries.size(), 2);
            QCOMPARE(entries[0].color, QColor(Qt::blue));
            QCOMPARE(entries[1].color, QColor(Qt::red));
            QCOMPARE(emu.executionsOf(0x06), 1);
        } else {
            QVERIFY2(pane.endsWith(QStringLiteral("ФР не отвечает")), qPrintable(pane));
        }
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
