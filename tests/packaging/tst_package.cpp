// The Debian package as a user gets it: made by cpack from the programs already built in this
// build folder, unpacked into a private root, and its programs started from there.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include "virtualdisplay.h"

namespace {

const QString BuildDir = QStringLiteral(VIRTA_BUILD_DIR);
const QString Prefix = QStringLiteral("/usr");
const QString Version = QStringLiteral(VIRTA_PROJECT_VERSION);
const QString MetainfoName = QStringLiteral("invalid.virta_service.VirtaService.metainfo.xml");

struct Run
{
    int code = -1;
    QString out;
    QString err;
};

Run run(const QString &program, const QStringList &args, const QProcessEnvironment &env = {})
{
    QProcess p;
    if (!env.isEmpty())
        p.setProcessEnvironment(env);
    p.start(program, args);
    Run r;
    if (!p.waitForStarted(10000)) {
        r.err = p.errorString();
        return r;
    }
    p.waitForFinished(120000);
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

QString readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

QString gunzip(const QString &path)
{
    const Run r = run(QStringLiteral("gzip"), {"-dc", path});
    return r.code == 0 ? r.out : QString();
}

// The path of a tool the package checks need, or a skip naming where it comes from.
#define FIND_TOOL_OR_SKIP(var, name)                                                                \
    const QString var = QStandardPaths::findExecutable(QStringLiteral(name));                      \
    if (var.isEmpty())                                                                              \
        QSKIP(name " is not installed (scripts/setup-deps.sh installs it)");

// The keys of one group of a desktop entry file (the format is not quite INI: values hold ';').
QMap<QString, QString> desktopGroup(const QString &text, const QString &group)
{
    QMap<QString, QString> keys;
    bool inGroup = false;
    for (const QString &raw : text.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inGroup = line == QLatin1Char('[') + group + QLatin1Char(']');
            continue;
        }
        const int eq = line.indexOf(QLatin1Char('='));
        if (inGroup && eq > 0)
            keys.insert(line.left(eq).trimmed(), line.mid(eq + 1).trimmed());
    }
    return keys;
}

// What a user's shell would give the installed programs: no display of the test's own, and a
// temporary directory of this test (the program's log folder lives there).
QProcessEnvironment userEnvironment(const QString &tmp)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "LD_LIBRARY_PATH"})
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("TMPDIR"), tmp);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), tmp);
    return env;
}

void stop(QProcess &p)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(15000)) {
        p.kill();
        p.waitForFinished(5000);
    }
}

} // namespace

class TestPackage : public QObject
{
    Q_OBJECT

    QTemporaryDir tmp_;
    QString deb_;
    QString root_; // the package unpacked here, as if it were /
    QMap<QString, QString> control_;

    QString installed(const QString &path) const { return root_ + Prefix + QLatin1Char('/') + path; }

private slots:
    void initTestCase()
    {
        const QString dpkgDeb = QStandardPaths::findExecutable(QStringLiteral("dpkg-deb"));
        if (dpkgDeb.isEmpty())
            QSKIP("dpkg-deb is not available: no Debian package can be checked here");
        QVERIFY(tmp_.isValid());

        // The programs of this build folder, installed as the package lays them out; cpack then
        // packs that tree. Packing the project itself would first rebuild everything.
        const QString stage = tmp_.filePath(QStringLiteral("stage"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DESTDIR"), stage);
        Run r = run(QStringLiteral(VIRTA_CMAKE_COMMAND), {"--install", BuildDir, "--prefix", Prefix, "--strip"}, env);
        QVERIFY2(r.code == 0, qPrintable(r.out + r.err));

        const QString out = tmp_.filePath(QStringLiteral("packages"));
        r = run(QStringLiteral(VIRTA_CPACK_COMMAND),
                {"--config", BuildDir + QStringLiteral("/CPackConfig.cmake"), "-B", out, "-D",
                 "CPACK_INSTALL_CMAKE_PROJECTS=", "-D", "CPACK_INSTALLED_DIRECTORIES=" + stage + ";/"});
        QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
        const QStringList debs = QDir(out).entryList({QStringLiteral("*.deb")}, QDir::Files);
        QCOMPARE(debs.size(), 1);
        deb_ = QDir(out).filePath(debs.first());

        r = run(dpkgDeb, {"--field", deb_});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        QString key;
        for (const QString &line : r.out.split(QLatin1Char('\n'))) {
            const int colon = line.indexOf(QLatin1Char(':'));
            if (!line.startsWith(QLatin1Char(' ')) && colon > 0) {
                key = line.left(colon);
                control_.insert(key, line.mid(colon + 1).trimmed());
            }
        }

        root_ = tmp_.filePath(QStringLiteral("root"));
        r = run(dpkgDeb, {"-x", deb_, root_});
        QVERIFY2(r.code == 0, qPrintable(r.err));
    }

    void controlFields_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("expected");
        QTest::newRow("name") << "Package"
                              << "virta-service";
        QTest::newRow("version") << "Version" << QStringLiteral(VIRTA_PROJECT_VERSION);
        QTest::newRow("section") << "Section"
                                 << "utils";
        QString arch = run(QStringLiteral("dpkg"), {"--print-architecture"}).out.trimmed();
        if (!arch.isEmpty())
            QTest::newRow("architecture of this machine") << "Architecture" << arch;
        QTest::newRow("summary") << "Description"
                                 << "service utility for a fiscal cash register";
        QTest::newRow("named file")
            << "file name"
            << QStringLiteral("virta-service_%1_%2.deb").arg(QStringLiteral(VIRTA_PROJECT_VERSION), arch);
    }
    void controlFields()
    {
        QFETCH(QString, field);
        QFETCH(QString, expected);
        if (field == QLatin1String("file name"))
            QCOMPARE(QFileInfo(deb_).fileName(), expected);
        else
            QCOMPARE(control_.value(field), expected);
    }

    // Every library the programs load comes from a package the Depends line names, and every name
    // there is a real package (this machine built the programs against all of them).
    void dependencies_data()
    {
        QTest::addColumn<QString>("package");
        for (const char *p :
             {"libc6", "libstdc++6", "libqt5core5a", "libqt5gui5", "libqt5widgets5", "libqt5network5", "libqt5serialport5"})
            QTest::newRow(p) << QString::fromLatin1(p);
    }
    void dependencies()
    {
        QFETCH(QString, package);
        QStringList names;
        for (const QString &dep : control_.value(QStringLiteral("Depends")).split(QLatin1Char(',')))
            names << dep.trimmed().section(QLatin1Char(' '), 0, 0);
        QVERIFY2(names.contains(package), qPrintable(control_.value(QStringLiteral("Depends"))));

        const QString dpkgQuery = QStandardPaths::findExecutable(QStringLiteral("dpkg-query"));
        if (dpkgQuery.isEmpty())
            return;
        const Run r = run(dpkgQuery, {"-W", "-f=${Status}", package});
        QVERIFY2(r.out.contains(QLatin1String("install ok installed")), qPrintable(package + r.out + r.err));
    }

    void files_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("executable");
        QTest::newRow("program") << "bin/virta-service" << true;
        QTest::newRow("emulator") << "bin/virta-emulator" << true;
        QTest::newRow("menu entry") << "share/applications/virta-service.desktop" << false;
        QTest::newRow("copyright") << "share/doc/virta-service/copyright" << false;
        QTest::newRow("changelog") << "share/doc/virta-service/changelog.gz" << false;
        QTest::newRow("program manual") << "share/man/man1/virta-service.1.gz" << false;
        QTest::newRow("emulator manual") << "share/man/man1/virta-emulator.1.gz" << false;
        QTest::newRow("console manual") << "share/man/man1/virta-cli.1.gz" << false;
        QTest::newRow("console completion") << "share/bash-completion/completions/virta-cli" << false;
        QTest::newRow("software centre entry") << "share/metainfo/" + MetainfoName << false;
        QTest::newRow("icon") << "share/icons/hicolor/64x64/apps/virta-service.png" << false;
        QTest::newRow("emulator readme") << "share/doc/virta-service/emulator.md" << false;
        QTest::newRow("guide") << "share/doc/virta-service/guide.md" << false;
        QTest::newRow("main window picture") << "share/doc/virta-service/screenshots/main-window.png" << false;
        QTest::newRow("firmware tab picture") << "share/doc/virta-service/screenshots/firmware-tab.png" << false;
    }
    void files()
    {
        QFETCH(QString, path);
        QFETCH(bool, executable);
        const QFileInfo info(installed(path));
        QVERIFY2(info.isFile(), qPrintable(info.filePath()));
        QCOMPARE(info.isExecutable(), executable);
        QVERIFY(info.size() > 0);
    }

    // The menu entry starts a program of the package and shows an icon of the package.
    void desktopEntry()
    {
        const QString file = installed(QStringLiteral("share/applications/virta-service.desktop"));
        const QMap<QString, QString> entry = desktopGroup(readText(file), QStringLiteral("Desktop Entry"));
        QCOMPARE(entry.value(QStringLiteral("Type")), QStringLiteral("Application"));
        QCOMPARE(entry.value(QStringLiteral("Name")), QStringLiteral("ВИРТА СЕРВИС"));
        QCOMPARE(entry.value(QStringLiteral("Terminal")), QStringLiteral("false"));
        QVERIFY(entry.value(QStringLiteral("Categories")).endsWith(QLatin1Char(';')));

        const QString exec = entry.value(QStringLiteral("Exec")).section(QLatin1Char(' '), 0, 0);
        QVERIFY2(!exec.contains(QLatin1Char('/')), qPrintable(exec)); // found on PATH wherever the package lives
        QVERIFY2(QFileInfo(installed(QStringLiteral("bin/") + exec)).isExecutable(), qPrintable(exec));

        const QString icon = entry.value(QStringLiteral("Icon"));
        QImageReader reader(installed(QStringLiteral("share/icons/hicolor/64x64/apps/%1.png").arg(icon)));
        QCOMPARE(reader.size(), QSize(64, 64));

        FIND_TOOL_OR_SKIP(validator, "desktop-file-validate");
        const Run r = run(validator, {file});
        QVERIFY2(r.code == 0 && r.out.trimmed().isEmpty(), qPrintable(r.out + r.err));
    }

    // The guide is read where it is installed: every picture it shows is there beside it.
    void guidePictures()
    {
        const QString doc = installed(QStringLiteral("share/doc/virta-service"));
        const QString guide = readText(doc + QStringLiteral("/guide.md"));
        QVERIFY(!guide.isEmpty());
        const QRegularExpression image(QStringLiteral(R"(!\[[^\]]*\]\(([^)\s]+)\))"));
        int pictures = 0;
        for (auto it = image.globalMatch(guide); it.hasNext();) {
            const QString target = it.next().captured(1);
            QVERIFY2(QImageReader(doc + QLatin1Char('/') + target).canRead(), qPrintable(target));
            ++pictures;
        }
        QVERIFY(pictures > 0);
    }

    // Every installed program answers --help and --version on a bare terminal (over ssh, in a
    // shell without a session), and its manual page was made from those answers.
    void programsDescribeThemselves_data()
    {
        QTest::addColumn<QString>("program");
        for (const QString &program : QDir(installed(QStringLiteral("bin"))).entryList(QDir::Files))
            QTest::newRow(qPrintable(program)) << program;
    }
    void programsDescribeThemselves()
    {
        QFETCH(QString, program);
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QProcessEnvironment env = userEnvironment(tmp.path());
        const QString exe = installed(QStringLiteral("bin/") + program);

        const Run version = run(exe, {"--version"}, env);
        QVERIFY2(version.code == 0, qPrintable(version.out + version.err));
        QCOMPARE(version.out.section(QLatin1Char('\n'), 0, 0), program + QLatin1Char(' ') + Version);
        const Run help = run(exe, {"--help"}, env);
        QVERIFY2(help.code == 0, qPrintable(help.out + help.err));
        QVERIFY2(help.out.contains(QLatin1String("--version")), qPrintable(help.out));

        const QString page = gunzip(installed(QStringLiteral("share/man/man1/%1.1.gz").arg(program)));
        QVERIFY2(page.contains(QLatin1String(".TH ")), qPrintable(program));
        QVERIFY2(page.contains(program + QLatin1Char(' ') + Version), qPrintable(page.left(400)));
        // The NAME line says what the program is, not help2man's stand-in.
        QVERIFY2(!page.contains(QLatin1String("manual page for")), qPrintable(page.left(400)));
    }

    // The console's manual page as `man` shows it: each example and each exit status a paragraph
    // of its own, not run together into one.
    void consoleManualParagraphs()
    {
        FIND_TOOL_OR_SKIP(man, "man");
        QTemporaryDir tmp;
        QProcessEnvironment env = userEnvironment(tmp.path());
        env.insert(QStringLiteral("MANWIDTH"), QStringLiteral("250"));
        env.insert(QStringLiteral("MANPAGER"), QStringLiteral("cat"));
        const Run page = run(man, {"-l", installed(QStringLiteral("share/man/man1/virta-cli.1.gz"))}, env);
        QVERIFY2(page.code == 0, qPrintable(page.err));
        QStringList shown;
        for (const QString &line : page.out.split(QLatin1Char('\n')))
            shown << line.simplified();

        const QString help = run(installed(QStringLiteral("bin/virta-cli")), {"--help"}, env).out;
        const QString examples = help.section(QStringLiteral("\nExamples:\n"), 1);
        const QStringList statuses = help.section(QStringLiteral("\nExit status:\n"), 1)
                                         .section(QStringLiteral("\n\n"), 0, 0)
                                         .split(QLatin1Char('\n'));
        int count = 0;
        for (const QString &line : examples.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            QVERIFY2(shown.contains(line.simplified()), qPrintable(line));
            ++count;
        }
        QVERIFY(count >= 8);
        count = 0;
        const QRegularExpression status(QStringLiteral("^  ([0-9](?:[0-9, -]*[0-9])?)  +(\\S.*)$"));
        for (const QString &line : statuses) {
            if (!line.startsWith(QLatin1String("  ")) || !line.at(2).isDigit())
                continue;
            // Two blanks between a status and its text make help2man keep it a paragraph.
            const QRegularExpressionMatch m = status.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(line));
            // The status stands at the start of its line, its text after it or on the next line.
            const int at = shown.indexOf(QRegularExpression(
                QStringLiteral("^") + QRegularExpression::escape(m.captured(1)) + QStringLiteral("( .*)?")));
            QVERIFY2(at >= 0, qPrintable(line));
            const QString text =
                shown.at(at).mid(m.captured(1).size()).trimmed() + QLatin1Char(' ') + shown.value(at + 1);
            QVERIFY2(text.trimmed().startsWith(m.captured(2).simplified().left(20)), qPrintable(line + " | " + text));
            ++count;
        }
        QVERIFY(count >= 10);
    }

    // The installed completion offers every command the installed program has, and the words of
    // a command after it.
    void consoleCompletion()
    {
        FIND_TOOL_OR_SKIP(bash, "bash");
        QTemporaryDir tmp;
        const QProcessEnvironment env = userEnvironment(tmp.path());
        const QString help = run(installed(QStringLiteral("bin/virta-cli")), {"--help"}, env).out;
        QStringList commands;
        const QRegularExpression command(QStringLiteral("^  ([a-z]+)( |$)"));
        for (const QString &line : help.section(QStringLiteral("\nCommands:\n"), 1)
                                       .section(QStringLiteral("\n\n"), 0, 0)
                                       .split(QLatin1Char('\n'))) {
            const QRegularExpressionMatch m = command.match(line);
            if (m.hasMatch())
                commands << m.captured(1);
        }
        QVERIFY(commands.size() >= 19);
        const QString script = QStringLiteral(
            "source \"$1\"; complete() { COMP_WORDS=(\"$@\"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=();"
            " _virta_cli; echo \"${COMPREPLY[*]}\"; }; complete virta-cli ''; complete virta-cli --json report ''");
        const Run r =
            run(bash, {"-c", script, "bash", installed(QStringLiteral("share/bash-completion/completions/virta-cli"))},
                env);
        QVERIFY2(r.code == 0, qPrintable(r.err));
        const QStringList lines = r.out.split(QLatin1Char('\n'));
        QStringList offered = lines.value(0).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        offered.sort();
        commands.sort();
        QCOMPARE(offered, commands);
        QVERIFY2(lines.value(1).split(QLatin1Char(' ')).contains(QStringLiteral("z")), qPrintable(r.out));
    }

    // The documentation folder as Debian's tools read it: the licence in the machine-readable
    // copyright format, and a changelog of this version.
    void debianDocuments()
    {
        const QString doc = installed(QStringLiteral("share/doc/virta-service/"));
        const QString copyright = readText(doc + QStringLiteral("copyright"));
        QVERIFY(copyright.startsWith(
            QLatin1String("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n")));
        // The licence paragraph is LICENSE word for word, indented, a blank line written " .".
        const QStringList licence =
            readText(QStringLiteral(VIRTA_SOURCE_DIR "/LICENSE")).trimmed().split(QLatin1Char('\n')).mid(1);
        QString indented = QStringLiteral("License: Expat");
        for (const QString &line : licence.join(QLatin1Char('\n')).trimmed().split(QLatin1Char('\n')))
            indented += QLatin1String("\n ") + (line.isEmpty() ? QStringLiteral(".") : line);
        QVERIFY2(copyright.contains(indented + QLatin1Char('\n')), qPrintable(copyright));

        const QString changelog = gunzip(doc + QStringLiteral("changelog.gz"));
        QVERIFY2(changelog.startsWith(QStringLiteral("virta-service (%1) unstable; urgency=medium\n").arg(Version)),
                 qPrintable(changelog));
        const QRegularExpression trailer(
            QStringLiteral(R"(^ -- [^<\n]+ <[^>\n]+>  [A-Z][a-z]{2}, \d{2} [A-Z][a-z]{2} \d{4} \d{2}:\d{2}:\d{2} \+0000\n\z)"),
            QRegularExpression::MultilineOption);
        QVERIFY2(trailer.match(changelog).hasMatch(), qPrintable(changelog));
        // It sends the reader to the project's changelog beside it, which must speak of this version.
        QVERIFY(readText(doc + QStringLiteral("CHANGELOG.md")).contains(QStringLiteral("\n## [%1] - ").arg(Version)));
    }

    // Debian's own checker has nothing to say about the package.
    void lintianIsSilent()
    {
#ifdef VIRTA_SANITIZED
        QSKIP("the programs of this build folder carry sanitizers: not a package for users");
#endif
        FIND_TOOL_OR_SKIP(lintian, "lintian");
        const Run r = run(lintian, {"--fail-on", "error,warning", deb_});
        QVERIFY2(r.code == 0 && r.out.trimmed().isEmpty(), qPrintable(r.out + r.err));
    }

    // The software centre entry names what the package really holds, and AppStream accepts it.
    void softwareCentreEntry()
    {
        const QString file = installed(QStringLiteral("share/metainfo/") + MetainfoName);
        QFile f(file);
        QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(file));
        QXmlStreamReader xml(&f);
        QString id, launchable, release;
        QStringList images, binaries;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            const QStringRef name = xml.name();
            if (name == QLatin1String("id"))
                id = xml.readElementText();
            else if (name == QLatin1String("launchable"))
                launchable = xml.readElementText();
            else if (name == QLatin1String("image"))
                images << xml.readElementText();
            else if (name == QLatin1String("binary"))
                binaries << xml.readElementText();
            else if (name == QLatin1String("release") && release.isEmpty())
                release = xml.attributes().value(QLatin1String("version")).toString();
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(id + QStringLiteral(".metainfo.xml"), MetainfoName);
        QCOMPARE(release, Version); // the newest release comes first
        QVERIFY2(QFileInfo(installed(QStringLiteral("share/applications/") + launchable)).isFile(), qPrintable(launchable));
        QVERIFY(!binaries.isEmpty());
        for (const QString &binary : binaries)
            QVERIFY2(QFileInfo(installed(QStringLiteral("bin/") + binary)).isExecutable(), qPrintable(binary));
        // The pictures are published from the project's screenshots, which the package also holds.
        QCOMPARE(images.size(), 2);
        for (const QString &image : images) {
            const QString picture = QStringLiteral("share/doc/virta-service/screenshots/") + QUrl(image).fileName();
            QVERIFY2(QImageReader(installed(picture)).canRead(), qPrintable(image));
        }

        FIND_TOOL_OR_SKIP(appstreamcli, "appstreamcli");
        const Run r = run(appstreamcli, {"validate", "--no-net", file});
        QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
    }

    void installedProgramStarts()
    {
        VirtualDisplay display;
        if (!display.start(QStringLiteral("1024x600x24")))
            QSKIP("Xvfb is not available");
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        QProcessEnvironment env = userEnvironment(tmp.path());
        env.insert(QStringLiteral("DISPLAY"), display.display());

        QProcess program;
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(installed(QStringLiteral("bin/virta-service")), QStringList());
        QVERIFY(program.waitForStarted(10000));

        // Up with its window: it has written the start of its log and is still running.
        const QString folder = tmp.filePath(QStringLiteral("virta5"));
        auto log = [&] {
            const QStringList files = QDir(folder).entryList({QStringLiteral("*.log")}, QDir::Files);
            return files.isEmpty() ? QString() : readText(QDir(folder).filePath(files.first()));
        };
        QTRY_VERIFY_WITH_TIMEOUT(log().contains(QLatin1String("Start logging")), 20000);
        QCOMPARE(program.state(), QProcess::Running);

        program.terminate();
        QVERIFY(program.waitForFinished(15000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
    }

    void installedEmulatorServes()
    {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString link = tmp.filePath(QStringLiteral("ttyVIRTA"));
        QProcess emulator;
        emulator.setProcessEnvironment(userEnvironment(tmp.path()));
        emulator.start(installed(QStringLiteral("bin/virta-emulator")),
                       {"--link", link, "--state", tmp.filePath(QStringLiteral("state.json"))});
        QVERIFY(emulator.waitForStarted(10000));
        QString out;
        QTRY_VERIFY_WITH_TIMEOUT(
            (out += QString::fromUtf8(emulator.readAllStandardOutput())).contains(QLatin1String("register: /dev/")),
            15000);
        QVERIFY(QFileInfo(link).isSymLink());

        stop(emulator);
        QCOMPARE(emulator.exitStatus(), QProcess::NormalExit);
        QCOMPARE(emulator.exitCode(), 0);
        QVERIFY(!QFileInfo(link).isSymLink()); // a clean stop removes its link
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
