#include "download.h"
#include "installer.h"
#include "mainwindow.h"
#include "programdir.h"
#include "testmain.h"
#include "testserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>

#include <algorithm>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

struct File
{
    QByteArray name;
    QByteArray content;
    bool checked = true; // the list gives its Sha256 and Size
};
using Files = QList<File>;

// Stand-ins record how they were started: the argument count and the working directory.
const QByteArray standIn = "#!/bin/sh\necho \"$# $(pwd)\" > \"$(basename \"$0\")-started\"\n";
const QByteArray newClient = "#!/bin/sh\necho \"new $# $(pwd)\" > corvex-started\n";
const Files release { { "corvex", newClient }, { "engine.dat", "engine of the new version" } };

const QString firstText = u"正在升级您的Tavrel软件，请等待..."_s;
const QString nextText = u"正在更新..."_s;
const QString successText = u"更新成功！"_s;
const QString failureText = u"更新失败："_s;

// A temporary program directory, made this process's: stand-in corvex and quillonv3, a program
// file and an UpdateList.xml of the installed version whose update folder is /update/ on a
// loopback server, which publishes the releases.
class Folder
{
public:
    bool setUp(const QByteArray &localVersion)
    {
        ProgramDir::setPath(dir.path());
        return dir.isValid() && server.start() && write(u"corvex"_s, standIn, true)
            && write(u"quillonv3"_s, standIn, true)
            && write(u"engine.dat"_s, "engine of the installed version")
            && write(u"UpdateList.xml"_s, list(localVersion, {}));
    }

    QByteArray list(const QByteArray &version, const Files &files) const
    {
        const QByteArray update = server.url(u"/update/"_s).toEncoded();
        QByteArray list = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<UpdateList>\n<Version>"
            + version + "</Version>\n<LoginUrl>" + update + "../login</LoginUrl>\n<UpdateUrl>"
            + update + "</UpdateUrl>\n";
        for (const File &file : files) {
            list += "<File Name=\"" + file.name + "\"";
            if (file.checked)
                list += " Sha256=\""
                    + QCryptographicHash::hash(file.content, QCryptographicHash::Sha256).toHex()
                    + "\" Size=\"" + QByteArray::number(file.content.size()) + "\"";
            list += "/>\n";
        }
        return list + "</UpdateList>\n";
    }

    QByteArray publish(const QByteArray &version, const Files &files)
    {
        for (const File &file : files)
            server.serve("/update/" + QUrl::toPercentEncoding(QString::fromUtf8(file.name)),
                file.content, "application/octet-stream");
        const QByteArray published = list(version, files);
        server.serve("/update/UpdateList.xml", published, "application/xml");
        return published;
    }

    QByteArray read(const QString &name) const
    {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    bool write(const QString &name, const QByteArray &content, bool program = false) const
    {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size()
            && (!program || file.setPermissions(file.permissions() | QFile::ExeOwner));
    }

    // How the program was started ("0 <program dir>"), empty if it was not. A detached start
    // returns once the program runs, in the program directory like every stand-in, so once no
    // process works there every start so far is on record.
    QByteArray started(const QString &program) const
    {
        const QString here = QDir(dir.path()).canonicalPath();
        const bool settled = QTest::qWaitFor([&here] {
            const QStringList processes = QDir(u"/proc"_s).entryList(QDir::Dirs);
            return std::none_of(processes.begin(), processes.end(), [&here](const QString &pid) {
                return QFileInfo(u"/proc/%1/cwd"_s.arg(pid)).symLinkTarget() == here;
            });
        });
        return settled ? read(program + u"-started"_s).trimmed() : "still running";
    }
    QByteArray here() const { return QDir(dir.path()).canonicalPath().toUtf8(); }

    // Every file outside temp/ with its contents: what an update may change.
    QMap<QString, QByteArray> programFiles() const
    {
        QMap<QString, QByteArray> files;
        QDirIterator it(dir.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString name = QDir(dir.path()).relativeFilePath(it.next());
            if (!name.startsWith("temp/"_L1))
                files.insert(name, read(name));
        }
        return files;
    }

    QTemporaryDir dir;
    TestServer server;
};

// One run of the updater's window with short test seams, and what it said.
class Run
{
public:
    Run()
        : window(std::make_unique<MainWindow>())
        , done(window.get(), &MainWindow::done)
    {
        window->setStallTimeout(1000);
        window->installer()->setRetryDelay(200);
        QObject::connect(window.get(), &MainWindow::statusChanged, window.get(),
            [this](const QString &text) { statuses << text; });
    }

    bool failed() const
    {
        return QTest::qWaitFor(
            [this] { return !statuses.isEmpty() && statuses.last().startsWith(failureText); },
            10000);
    }
    QPushButton *button(const QString &text) const
    {
        for (QPushButton *button : window->findChildren<QPushButton *>()) {
            if (button->text() == text && button->isVisibleTo(window.get()))
                return button;
        }
        return nullptr;
    }
    QString journal() const { return window->installer()->journalPath(); }

    std::unique_ptr<MainWindow> window;
    QSignalSpy done;
    QStringList statuses;
};

// Blocks the name with a folder once the run has begun, after it cleared the backup folder.
void obstruct(Folder &folder, const QString &name)
{
    QObject::connect(&folder.server, &TestServer::requestReceived, &folder.server,
        [name](const TestServer::Request &request) {
            if (request.path == "/update/UpdateList.xml")
                QDir().mkpath(name);
        });
}

enum class Fault {
    None,
    NoVersion,
    Unreachable,
    Status404,
    Status500,
    CutOff,
    Oversized,
    Silent,
    HtmlPage,
    Dropped,
    BackupBlocked,
    ReadOnlyFolder,
    TempBlocked,
    Busy
};

} // namespace

Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(Files)

class tst_Updater : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void window();
    void secondUpdater();
    void decision_data();
    void decision();
    void success_data();
    void success();
    void failure_data();
    void failure();
    void interrupted_data();
    void interrupted();
    void afterFailure_data();
    void afterFailure();
    void releaseTool_data();
    void releaseTool();
};

void tst_Updater::window()
{
    Folder folder;
    QVERIFY(folder.setUp("1.0"));
    Run run;
    QCOMPARE(run.window->windowTitle(), u"Tavrel更新程序"_s);
    QCOMPARE(run.window->size(), QSize(300, 80));
    QCOMPARE(run.window->minimumSize(), run.window->maximumSize());
    QVERIFY(!(run.window->windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(run.window->findChild<QLabel *>()->geometry(), QRect(20, 20, 260, 50));
    QCOMPARE(run.window->findChild<QLabel *>()->text(), firstText);
}

// A client started again while the update runs hands over once more; the second updater leaves
// the folder to the first.
void tst_Updater::secondUpdater()
{
    Folder folder;
    QVERIFY(folder.setUp("1.0"));
    TestServer::Response silent;
    silent.silent = true;
    folder.server.serve("/update/UpdateList.xml", silent);
    Run first;
    QVERIFY(QTest::qWaitFor([&folder] { return !folder.server.requests().isEmpty(); }));
    Run second;
    QVERIFY(second.done.wait(5000));
    QCOMPARE(second.done.first().first().toInt(), 0);
    QCOMPARE(folder.server.requests().size(), 1);
    QCOMPARE(first.done.size(), 0);
    QCOMPARE(folder.started(u"quillonv3"_s), "");
}

void tst_Updater::decision_data()
{
    QTest::addColumn<QByteArray>("local");
    QTest::addColumn<QByteArray>("server");
    QTest::addColumn<Fault>("fault"); // of the server's list
    QTest::addColumn<QString>("started");

    const auto row = [](const char *name, const char *local, const char *server, Fault fault,
                         const char *started) {
        QTest::newRow(name) << QByteArray(local) << QByteArray(server) << fault
                            << QString::fromLatin1(started);
    };
    row("equal versions", "1.0.0.1", "1.0.0.1", Fault::None, "quillonv3");
    row("1.0.0.12 installed, 1.0.0.1 on the server", "1.0.0.12", "1.0.0.1", Fault::None,
        "quillonv3");
    row("2.1 on the server is newer than 1.2.1, whose text holds it", "1.2.1", "2.1", Fault::None,
        "corvex");
    row("1.10 on the server is newer than 1.9", "1.9", "1.10", Fault::None, "corvex");
    row("empty Version on the server", "1.0", "", Fault::None, "quillonv3");
    row("no Version on the server", "1.0", "2.0", Fault::NoVersion, "quillonv3");
    row("server unreachable", "1.0", "2.0", Fault::Unreachable, "quillonv3");
    row("404 for the list, a newer list its body", "1.0", "2.0", Fault::Status404, "quillonv3");
    row("list cut off after a newer Version, no length announced", "1.0", "2.0", Fault::CutOff,
        "quillonv3");
    row("list over 1 MiB", "1.0", "2.0", Fault::Oversized, "quillonv3");
}

void tst_Updater::decision()
{
    QFETCH(QByteArray, local);
    QFETCH(QByteArray, server);
    QFETCH(Fault, fault);
    QFETCH(QString, started);

    Folder folder;
    QVERIFY(folder.setUp(local));
    TestServer::Response list;
    list.contentType = "application/xml";
    list.body = folder.publish(server, { { "engine.dat", "engine of the new version" } });
    if (fault == Fault::NoVersion)
        list.body.replace("<Version>" + server + "</Version>", "");
    list.status = fault == Fault::Status404 ? 404 : 200;
    list.announceLength = fault != Fault::CutOff;
    if (fault == Fault::CutOff)
        list.body.truncate(list.body.indexOf("</Version>") + 10);
    if (fault == Fault::Oversized)
        list.body.replace(
            "</UpdateList>", "<!--" + QByteArray(1100 * 1024, 'x') + "--></UpdateList>");
    folder.server.serve("/update/UpdateList.xml", list);
    if (fault == Fault::Unreachable) {
        QVERIFY(folder.write(u"UpdateList.xml"_s,
            folder.read(u"UpdateList.xml"_s)
                .replace(QByteArray::number(folder.server.url().port()),
                    QByteArray::number(TestServer::closedPort()))));
    }

    Run run;
    QVERIFY(run.done.wait(10000));
    QCOMPARE(run.done.first().first().toInt(), 0);
    QCOMPARE(folder.started(started), "0 " + folder.here());
    QCOMPARE(folder.started(started == "corvex"_L1 ? u"quillonv3"_s : u"corvex"_s), "");
    // The network layer may ask again for an answer cut short.
    for (const TestServer::Request &request : folder.server.requests())
        QCOMPARE(request.header("User-Agent"), QByteArray(Download::userAgent.data()));
    QCOMPARE(folder.server.requests().isEmpty(), fault == Fault::Unreachable);
}

void tst_Updater::success_data()
{
    QTest::addColumn<Files>("files");
    QTest::addColumn<Fault>("fault");

    QTest::newRow("two files with Sha256 and Size") << release << Fault::None;
    QTest::newRow("two files without Sha256 and Size: a busy bar")
        << Files { { "corvex", newClient, false }, { "engine.dat", "new engine", false } }
        << Fault::None;
    QTest::newRow("a hidden file, and one named with a blank and #")
        << Files { { ".engine.cfg", "hidden settings" }, { "plug in #2.dat", "a new plug-in" } }
        << Fault::None;
    QTest::newRow("an old file busy for a moment: moved on a later try") << release << Fault::Busy;
    QTest::newRow("an old backup left by an earlier clean-up") << release << Fault::BackupBlocked;
}

void tst_Updater::success()
{
    QFETCH(Files, files);
    QFETCH(Fault, fault);

    Folder folder;
    QVERIFY(folder.setUp("1.0.0.1"));
    const QByteArray list = folder.publish("1.0.0.2", files);
    QVERIFY(QDir(folder.dir.path()).mkpath(u"temp/keep"_s));
    QVERIFY(folder.write(u"temp/keep/note.txt"_s, "kept"));
    QVERIFY(folder.write(u"temp/stale.dll"_s, "left by an earlier run"));
    const QString obstacle = folder.dir.filePath(u"temp/install-backup/engine.dat"_s);
    QVERIFY(QDir(folder.dir.path()).mkpath(u"temp/install-backup"_s));
    QVERIFY(
        fault != Fault::BackupBlocked || folder.write(u"temp/install-backup/engine.dat"_s, "old"));

    Run run;
    // Something holds the engine's backup name, so the old engine cannot be moved aside.
    if (fault == Fault::Busy)
        obstruct(folder, obstacle);
    if (fault == Fault::Busy) {
        QVERIFY(QTest::qWaitFor([&run] { return QFile::exists(run.journal()); }));
        QVERIFY(QDir().rmdir(obstacle));
    }
    QVERIFY(run.done.wait(10000));
    QCOMPARE(run.done.first().first().toInt(), 0);
    for (const File &file : files)
        QCOMPARE(folder.read(QString::fromUtf8(file.name)), file.content);
    QCOMPARE(folder.read(u"UpdateList.xml"_s), list);
    QCOMPARE(QDir(ProgramDir::tempDir()).entryList(QDir::Files | QDir::Hidden), QStringList());
    QCOMPARE(folder.read(u"temp/keep/note.txt"_s), "kept");
    QVERIFY(!QFileInfo::exists(run.window->installer()->backupDir()));
    QCOMPARE(run.statuses, QStringList({ firstText, nextText, successText }));
    const auto *bar = run.window->findChild<QProgressBar *>();
    QCOMPARE(bar->maximum(), files.first().checked ? 1000 : 1);
    QCOMPARE(bar->value(), bar->maximum());
    const bool newClient = files.first().name == "corvex";
    QCOMPARE(folder.started(u"corvex"_s), (newClient ? "new 0 " : "0 ") + folder.here());
    QCOMPARE(folder.started(u"quillonv3"_s), "");
    QCOMPARE(folder.server.requests().size(), 3);
    for (const TestServer::Request &request : folder.server.requests())
        QCOMPARE(request.header("User-Agent"), QByteArray(Download::userAgent.data()));
}

void tst_Updater::failure_data()
{
    QTest::addColumn<Files>("files");
    QTest::addColumn<Fault>("fault"); // of the engine
    QTest::addColumn<int>("requests");

    QTest::newRow("file answered 404") << release << Fault::Status404 << 3;
    QTest::newRow("file answered 500") << release << Fault::Status500 << 3;
    QTest::newRow("HTML error page with 200 but wrong Sha256") << release << Fault::HtmlPage << 3;
    QTest::newRow("connection dropped halfway") << release << Fault::Dropped << 3;
    QTest::newRow("server silent on a file") << release << Fault::Silent << 3;
    QTest::newRow("old file cannot be moved aside") << release << Fault::BackupBlocked << 3;
    QTest::newRow("program folder read-only") << release << Fault::ReadOnlyFolder << 3;
    QTest::newRow("a file where the temp folder belongs") << release << Fault::TempBlocked << 0;
    const auto named = [](const char *row, const QByteArray &name) {
        QTest::newRow(row) << Files { { "corvex", newClient }, { name, "x", false } } << Fault::None
                           << 1;
    };
    named("name ../x", "../x");
    named("name a/b", "a/b");
    named("name a\\b", "a\\b");
    named("empty name", "");
    named("name ..", "..");
    named("name C:x", "C:x");
    named("name with a line break", "a&#10;b");
    named("name with a trailing dot, which Windows drops", "corvex.");
    named("a Windows device name", "nul.txt");
    named("the list's own name in other case", "updatelist.XML");
    named("a name the updater keeps for itself", "install-journal");
    named("the same name twice, in other case", "CORVEX");
    // The name carries an attribute into the list.
    named("Sha256 not 64 hexadecimal digits", "engine.dat\" Sha256=\"12ab");
    named("Size not a number", "engine.dat\" Size=\"-1");
}

void tst_Updater::failure()
{
    QFETCH(Files, files);
    QFETCH(Fault, fault);
    QFETCH(int, requests);

    if (fault == Fault::ReadOnlyFolder && geteuid() == 0)
        QSKIP("permissions do not stop root; the row \"old file cannot be moved aside\" covers a "
              "move that fails");
    Folder folder;
    QVERIFY(folder.setUp("1.0"));
    folder.publish("2.0", files);
    TestServer::Response engine;
    engine.body = files.last().content;
    engine.status = fault == Fault::Status404 ? 404 : fault == Fault::Status500 ? 500 : 200;
    // As long as the file, so only its checksum can tell.
    if (fault == Fault::HtmlPage)
        engine.body = QByteArray("<html>busy</html>").leftJustified(engine.body.size());
    engine.dropAfter = fault == Fault::Dropped ? engine.body.size() / 2 : -1;
    engine.silent = fault == Fault::Silent;
    folder.server.serve("/update/" + files.last().name, engine);
    if (fault == Fault::TempBlocked)
        QVERIFY(folder.write(u"temp"_s, "not a folder"));
    // The temp folder is there from an earlier run and stays writable.
    const QFile::Permissions writable = QFile::permissions(folder.dir.path());
    if (fault == Fault::ReadOnlyFolder)
        QVERIFY(QDir(folder.dir.path()).mkpath(u"temp"_s)
            && QFile::setPermissions(folder.dir.path(), QFile::ReadOwner | QFile::ExeOwner));
    const QMap<QString, QByteArray> before = folder.programFiles();

    Run run;
    if (fault == Fault::BackupBlocked)
        obstruct(folder, folder.dir.filePath(u"temp/install-backup/engine.dat"_s));
    QVERIFY(run.failed());
    QFile::setPermissions(folder.dir.path(), writable);
    QCOMPARE(run.statuses.first(), firstText);
    QVERIFY(run.button(u"重试"_s) && run.button(u"暂不更新"_s));
    QCOMPARE(folder.programFiles(), before);
    QVERIFY(!QFileInfo::exists(run.journal()));
    QCOMPARE(folder.server.requests().size(), requests);
    QCOMPARE(folder.started(u"corvex"_s), "");
    QCOMPARE(folder.started(u"quillonv3"_s), "");
    QCOMPARE(run.done.size(), 0);
}

void tst_Updater::interrupted_data()
{
    QTest::addColumn<int>("moves"); // made before the kill, the commit counting as one

    QTest::newRow("killed with the old client moved aside") << 1;
    QTest::newRow("killed with the new client in place") << 2;
    QTest::newRow("killed with the old engine moved aside") << 3;
    QTest::newRow("killed with both new files in, the old list in place") << 4;
    QTest::newRow("killed with the old list moved aside") << 5;
    QTest::newRow("killed with the new list in place, before the commit") << 6;
    QTest::newRow("killed after the commit, before the clean-up") << 7;
}

// The next start finds what the killed run left: it puts the old files back, or, once the new
// ones were all in, keeps them; either way it then goes on as any start does.
void tst_Updater::interrupted()
{
    QFETCH(int, moves);

    Folder folder;
    QVERIFY(folder.setUp("1.0"));
    folder.publish("2.0", release);
    const QMap<QString, QByteArray> before = folder.programFiles();
    QMap<QString, QByteArray> killed;
    {
        Run run;
        run.window->installer()->setStopAfter(moves);
        QVERIFY(QTest::qWaitFor([&run] { return QFile::exists(run.journal()); }));
        killed = folder.programFiles();
    }
    TestServer::Response missing;
    missing.status = 404;
    folder.server.serve("/update/engine.dat", missing);

    Run restarted;
    const bool committed = moves == 7;
    QVERIFY(committed ? restarted.done.wait(10000) : restarted.failed());
    QCOMPARE(folder.programFiles(), committed ? killed : before);
    QCOMPARE(folder.started(u"quillonv3"_s), committed ? "0 " + folder.here() : "");
    QVERIFY(!QFileInfo::exists(restarted.journal()));
    QVERIFY(!QFileInfo::exists(restarted.window->installer()->backupDir()));
}

void tst_Updater::afterFailure_data()
{
    QTest::addColumn<bool>("tryAgain");

    QTest::newRow("not now: the client starts and passes this version once") << false;
    QTest::newRow("try again once the server is mended") << true;
}

void tst_Updater::afterFailure()
{
    QFETCH(bool, tryAgain);

    Folder folder;
    QVERIFY(folder.setUp("1.0"));
    folder.publish("2.0", release);
    TestServer::Response missing;
    missing.status = 404;
    folder.server.serve("/update/engine.dat", missing);
    const QMap<QString, QByteArray> before = folder.programFiles();

    Run run;
    QVERIFY(run.failed());
    if (tryAgain)
        folder.publish("2.0", release);
    run.button(tryAgain ? u"重试"_s : u"暂不更新"_s)->click();
    QVERIFY(run.done.size() == 1 || run.done.wait(10000));
    QCOMPARE(run.done.first().first().toInt(), 0);
    QCOMPARE(folder.started(u"corvex"_s), (tryAgain ? "new 0 " : "0 ") + folder.here());
    QCOMPARE(folder.started(u"quillonv3"_s), "");
    if (tryAgain) {
        QCOMPARE(run.statuses.mid(run.statuses.lastIndexOf(firstText)),
            QStringList({ firstText, nextText, successText }));
        QCOMPARE(folder.read(u"engine.dat"_s), release.last().content);
    } else {
        QCOMPARE(folder.read(u"temp/skip-version"_s), "2.0");
        QMap<QString, QByteArray> after = folder.programFiles();
        after.remove(u"corvex-started"_s);
        QCOMPARE(after, before);
    }
}

void tst_Updater::releaseTool_data()
{
    QTest::addColumn<QStringList>("sources"); // files; those in a folder are given by the folder
    QTest::addColumn<QString>("updatePath");
    QTest::addColumn<bool>("published");

    QTest::newRow("a release the tool made is installed")
        << QStringList { "corvex", "lib/engine.dat", "lib/.engine.cfg" } << u"/update/"_s << true;
    QTest::newRow("a name the updater refuses is refused")
        << QStringList { "corvex", "nul.txt" } << u"/update/"_s << false;
    QTest::newRow("one name twice, in other case, is refused")
        << QStringList { "corvex", "lib/CORVEX" } << u"/update/"_s << false;
    QTest::newRow("an update address without a trailing slash is refused")
        << QStringList { "corvex" } << u"/update"_s << false;
}

void tst_Updater::releaseTool()
{
    QFETCH(QStringList, sources);
    QFETCH(QString, updatePath);
    QFETCH(bool, published);

    Folder folder;
    QTemporaryDir work;
    QVERIFY(folder.setUp("1.0"));
    const QString base = folder.server.url().toString();
    const QString out = work.filePath(u"out"_s);
    QStringList arguments { u"--login-url"_s, base, u"--server-url"_s, base, u"--update-url"_s,
        folder.server.url(updatePath).toString(), u"2.0"_s, out };
    for (const QString &source : sources) {
        QVERIFY(QDir(work.path()).mkpath(u"in/"_s + QFileInfo(source).path()));
        QFile file(work.filePath(u"in/"_s + source));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(source == "corvex"_L1 ? newClient : source.toUtf8());
        if (!arguments.contains(work.filePath(u"in/"_s + source.section(u'/', 0, 0))))
            arguments << work.filePath(u"in/"_s + source.section(u'/', 0, 0));
    }
    QProcess tool;
    tool.start(QStringLiteral(MAKE_RELEASE_PATH), arguments);
    QVERIFY(tool.waitForFinished(10000));
    QCOMPARE(tool.exitCode() == 0, published);
    QCOMPARE(QFileInfo::exists(out + u"/UpdateList.xml"_s), published);
    if (!published)
        return;

    for (const QString &name : QDir(out).entryList(QDir::Files | QDir::Hidden)) {
        QFile file(out + u'/' + name);
        QVERIFY(file.open(QIODevice::ReadOnly));
        folder.server.serve("/update/" + QUrl::toPercentEncoding(name), file.readAll());
    }
    Run run;
    QVERIFY(run.done.wait(10000));
    for (const QString &source : sources)
        QCOMPARE(folder.read(source.section(u'/', -1)),
            source == "corvex"_L1 ? newClient : source.toUtf8());
    QFile list(out + u"/UpdateList.xml"_s);
    QVERIFY(list.open(QIODevice::ReadOnly));
    QCOMPARE(folder.read(u"UpdateList.xml"_s), list.readAll());
}

TAVREL_TEST_MAIN(tst_Updater)
#include "tst_updater.moc"
