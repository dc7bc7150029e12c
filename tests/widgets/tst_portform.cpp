#include "emulatorfixture.h"
#include "frapithread.h"
#include "frconst.h"
#include "frwrapper.h"
#include "messageboxcatcher.h"
#include "portform.h"
#include "portholder.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QSpinBox>
#include <QToolButton>
#include <QtTest>

class TestPortForm : public QObject
{
    Q_OBJECT

private:
    PortForm *form = nullptr;
    FsWrapper *fr = nullptr;

    template <typename T> T *child(const char *name) const
    {
        T *c = form->findChild<T *>(QLatin1String(name));
        if (!c)
            qFatal("no child %s", name);
        return c;
    }
    QComboBox *cb() const { return child<QComboBox>("cbPort"); }
    bool showsOpen() const
    {
        const bool open = child<QPushButton>("pbClose")->isEnabled();
        if (open == child<QPushButton>("pbOpen")->isEnabled())
            qFatal("both buttons in the same state");
        return open;
    }
    void typePath(const QString &path)
    {
        cb()->lineEdit()->clear();
        QTest::keyClicks(cb()->lineEdit(), path);
    }
    void press(const char *name) { QTest::mouseClick(child<QAbstractButton>(name), Qt::LeftButton); }
    // A name that no system has, so that opening never touches a real device.
    static QString noPort(int n = 0) { return QDir::tempPath() + QStringLiteral("/virta-test-no-port-%1").arg(n); }

private slots:
    void initTestCase() { registerFsMetaTypes(); }
    void init()
    {
        form = new PortForm;
        fr = new FsWrapper;
        form->show();
    }
    void cleanup()
    {
        delete form;
        delete fr;
    }

    void initialState()
    {
        QStringList names;
        const auto ports = QSerialPortInfo::availablePorts();
        for (const auto &p : ports)
            names << p.portName();
        QStringList listed;
        for (int i = 0; i < cb()->count(); ++i)
            listed << cb()->itemText(i);
        QCOMPARE(listed, names);
        QVERIFY(!showsOpen());
        QCOMPARE(child<QSpinBox>("sbCashier")->value(), 20);
        QCOMPARE(child<QSpinBox>("sbPassword")->value(), DefaultCashierPassword);
        QCOMPARE(child<QToolButton>("tbReload")->text(), QStringLiteral("..."));
        QCOMPARE(child<QPushButton>("pbOpen")->text(), QStringLiteral("Открыть"));
        QCOMPARE(child<QPushButton>("pbClose")->text(), QStringLiteral("Закрыть"));
    }

    void spinLimits_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("expected");
        QTest::newRow("cashier above 20") << "sbCashier" << 21 << 20;
        QTest::newRow("cashier below 0") << "sbCashier" << -1 << 0;
        QTest::newRow("cashier 0") << "sbCashier" << 0 << 0;
        QTest::newRow("password below 1") << "sbPassword" << 0 << 1;
        QTest::newRow("password above 99") << "sbPassword" << 100 << 99;
        QTest::newRow("password 99") << "sbPassword" << 99 << 99;
    }
    void spinLimits()
    {
        QFETCH(QString, box);
        QFETCH(int, value);
        QFETCH(int, expected);
        auto *sb = child<QSpinBox>(box.toLatin1().constData());
        sb->setValue(value);
        QCOMPARE(sb->value(), expected);
        // Typed in by hand, a value out of range is not taken either.
        sb->findChild<QLineEdit *>()->selectAll();
        QTest::keyClicks(sb, QString::number(value));
        QTest::keyClick(sb, Qt::Key_Enter);
        QVERIFY(sb->value() >= sb->minimum() && sb->value() <= sb->maximum());
    }

    void valuesReachCommandLayer()
    {
        child<QSpinBox>("sbCashier")->setValue(7);
        QCOMPARE(fr->cashier(), quint8(0)); // not connected yet
        form->setFsWrapper(fr);
        // Pushed at once, before any request can go out.
        QCOMPARE(fr->cashier(), quint8(7));
        QCOMPARE(fr->password(), qint32(DefaultCashierPassword));
        // Changed while closed: still reaches the command layer for the next request.
        QVERIFY(!fr->isOpen());
        child<QSpinBox>("sbCashier")->setValue(3);
        child<QSpinBox>("sbPassword")->setValue(42);
        QCOMPARE(fr->cashier(), quint8(3));
        QCOMPARE(fr->password(), qint32(42));
    }

    void openWithoutCommandLayer()
    {
        typePath(noPort());
        press("pbOpen");
        QVERIFY(!showsOpen());
    }

    // Every way of leaving the open state, each from a port opened through the form.
    void closes_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Закрыть") << "close";
        QTest::newRow("...") << "reload";
        QTest::newRow("another listed port") << "choose";
        QTest::newRow("typing another path") << "type";
    }
    void closes()
    {
        QFETCH(QString, how);
        form->setFsWrapper(fr);
        cb()->addItem(noPort(1));
        cb()->addItem(noPort(2));
        cb()->setCurrentIndex(cb()->findText(noPort(1)));
        press("pbOpen");
        QVERIFY(showsOpen());
        QVERIFY(fr->isOpen());
        QCOMPARE(fr->portName(), noPort(1));

        if (how == QLatin1String("close")) {
            press("pbClose");
        } else if (how == QLatin1String("reload")) {
            press("tbReload");
            QCOMPARE(cb()->findText(noPort(1)), -1); // the list is the system's again
        } else if (how == QLatin1String("choose")) {
            cb()->setCurrentIndex(cb()->findText(noPort(2)));
        } else {
            QTest::keyClick(cb()->lineEdit(), Qt::Key_Backspace);
        }
        QVERIFY(!showsOpen());
        QVERIFY(!fr->isOpen());

        // The form opens again afterwards.
        typePath(noPort(3));
        press("pbOpen");
        QVERIFY(showsOpen());
        QCOMPARE(fr->portName(), noPort(3));
    }

    void typedPath()
    {
        form->setFsWrapper(fr);
        cb()->addItem(noPort(1));
        const int listed = cb()->count();
        const QString path = noPort(7);
        typePath(path);
        QTest::keyClick(cb()->lineEdit(), Qt::Key_Return);
        // Typing does not grow the list and does not count as choosing a listed port.
        QCOMPARE(cb()->count(), listed);
        QVERIFY(!showsOpen());
        press("pbOpen");
        QVERIFY(showsOpen());
        QCOMPARE(fr->portName(), path);

        // Typing the name of a listed port and Return chooses that entry, as the list does.
        press("pbClose");
        typePath(noPort(1));
        QTest::keyClick(cb()->lineEdit(), Qt::Key_Return);
        QCOMPARE(cb()->currentIndex(), cb()->findText(noPort(1)));
        QCOMPARE(cb()->count(), listed);
    }

    // Another program holds the port (here flock(1), as a terminal program or a console command of
    // ours holds it): the form stays closed and its box names the holder.
    void busyPortNamesHolder()
    {
        EmulatorFixture emu;
        QVERIFY2(emu.start(), qPrintable(emu.lastError()));
        auto holder = std::make_unique<PortHolder>(emu.devicePath());
        QVERIFY(holder->waitHeld());
        form->setFsWrapper(fr);
        typePath(emu.devicePath());
        MessageBoxCatcher boxes;
        press("pbOpen");
        QCOMPARE(boxes.count(), 1);
        QCOMPARE(boxes.last().text,
                 QStringLiteral("Порт занят: %1 (процесс %2)").arg(emu.devicePath()).arg(holder->pid()));
        QVERIFY(!showsOpen());
        QCOMPARE(boxes.last().icon, QMessageBox::Critical);
        holder.reset();
        QTRY_COMPARE(FrApiThread::instances(), 0);
        press("pbOpen");
        QVERIFY(showsOpen());
        QCOMPARE(emu.requests().size(), 0);
    }
};

QTEST_MAIN(TestPortForm)
#include "tst_portform.moc"
