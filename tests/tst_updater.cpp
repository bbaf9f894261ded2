#include "download.h"
#include "installer.h"
#include "mainwindow.h"
#include "programdir.h"
#include "testmain.h"
#include "testserver.h"
#include "updaterfixture.h"

#include <QDir>
#include <QDirIterator>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>

#include <memory>

using File = UpdaterFixture::File;

namespace {

enum class ListFault {
    None,
    NoVersion,
    Unreachable,
    Status404,
    CutOff,
    Oversized,
    Silent,
    NoLocal
};
enum class Fault {
    None,
    Status404,
    Status500,
    HtmlPage,
    Dropped,
    Silent,
    BackupBlocked,
    ReadOnlyFolder,
    TempBlocked,
    Killed
};

const QString firstText = QStringLiteral("正在升级您的Tavrel软件，请等待...");
const QString nextText = QStringLiteral("正在更新...");
const QString successText = QStringLiteral("更新成功！");
const QString failureText = QStringLiteral("更新失败：");

// One run of the updater's window with the test seams turned short, and what it said.
class Run
{
public:
    Run()
        : window(std::make_unique<MainWindow>())
        , done(window.get(), &MainWindow::done)
    {
        window->setStallTimeout(300);
        window->installer()->setRetryDelay(10);
        QObject::connect(window.get(), &MainWindow::statusChanged, window.get(),
            [this](const QString &text) { statuses << text; });
    }

    bool failed() const { return !statuses.isEmpty() && statuses.last().startsWith(failureText); }
    bool waitForFailure() const
    {
        return QTest::qWaitFor([this] { return failed(); }, 10000);
    }
    QPushButton *button(const QString &text) const
    {
        for (QPushButton *button : window->findChildren<QPushButton *>()) {
            if (button->text() == text && button->isVisibleTo(window.get()))
                return button;
        }
        return nullptr;
    }

    std::unique_ptr<MainWindow> window;
    QSignalSpy done;
    QStringList statuses;
};

QList<File> release()
{
    return { { "corvex", UpdaterFixture::newClient },
        { "engine.dat", "engine of the new version" } };
}

} // namespace

Q_DECLARE_METATYPE(ListFault)
Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(QList<UpdaterFixture::File>)

class tst_Updater : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void window();
    void decision_data();
    void decision();
    void success_data();
    void success();
    void failure_data();
    void failure();
    void afterFailure_data();
    void afterFailure();
    void releaseTool_data();
    void releaseTool();
};

void tst_Updater::window()
{
    TestServer server;
    UpdaterFixture programDir;
    QVERIFY(server.start());
    QVERIFY(programDir.setUp(server, "1.0"));
    Run run;
    QCOMPARE(run.window->windowTitle(), QStringLiteral("Tavrel更新程序"));
    QCOMPARE(run.window->size(), QSize(300, 80));
    QCOMPARE(run.window->minimumSize(), run.window->maximumSize());
    QVERIFY(!(run.window->windowFlags() & Qt::WindowMaximizeButtonHint));
    const auto *label = run.window->findChild<QLabel *>();
    QVERIFY(label);
    QCOMPARE(label->geometry(), QRect(20, 20, 260, 50));
    QCOMPARE(label->text(), firstText);
}

void tst_Updater::decision_data()
{
    QTest::addColumn<QByteArray>("local");
    QTest::addColumn<QByteArray>("server");
    QTest::addColumn<ListFault>("fault");
    QTest::addColumn<QString>("started");

    const QString quillon = QStringLiteral("quillonv3");
    const QString client = QStringLiteral("corvex");
    QTest::newRow("equal versions")
        << QByteArray("1.0.0.1") << QByteArray("1.0.0.1") << ListFault::None << quillon;
    QTest::newRow("1.0.0.12 installed, 1.0.0.1 on the server")
        << QByteArray("1.0.0.12") << QByteArray("1.0.0.1") << ListFault::None << quillon;
    QTest::newRow("2.1 on the server is newer than 1.2.1, whose text holds it")
        << QByteArray("1.2.1") << QByteArray("2.1") << ListFault::None << client;
    QTest::newRow("1.10 on the server is newer than 1.9")
        << QByteArray("1.9") << QByteArray("1.10") << ListFault::None << client;
    QTest::newRow("1.9 on the server is older than 1.10")
        << QByteArray("1.10") << QByteArray("1.9") << ListFault::None << quillon;
    QTest::newRow("empty Version on the server")
        << QByteArray("1.0") << QByteArray("") << ListFault::None << quillon;
    QTest::newRow("no Version on the server")
        << QByteArray("1.0") << QByteArray("2.0") << ListFault::NoVersion << quillon;
    QTest::newRow("server unreachable")
        << QByteArray("1.0") << QByteArray("2.0") << ListFault::Unreachable << quillon;
    QTest::newRow("404 for the list, with a newer list as its body")
        << QByteArray("1.0") << QByteArray("2.0") << ListFault::Status404 << quillon;
    QTest::newRow("list cut off after a newer Version, no length announced")
        << QByteArray("1.0") << QByteArray("2.0") << ListFault::CutOff << quillon;
    QTest::newRow("list over 1 MiB")
        << QByteArray("1.0") << QByteArray("2.0") << ListFault::Oversized << quillon;
    QTest::newRow("list server silent")
        << QByteArray("1.0") << QByteArray("2.0") << ListFault::Silent << quillon;
    QTest::newRow("no local list")
        << QByteArray("1.0") << QByteArray("2.0") << ListFault::NoLocal << quillon;
}

void tst_Updater::decision()
{
    QFETCH(QByteArray, local);
    QFETCH(QByteArray, server);
    QFETCH(ListFault, fault);
    QFETCH(QString, started);

    TestServer http;
    UpdaterFixture programDir;
    QVERIFY(http.start());
    QVERIFY(programDir.setUp(http, local));
    const QList<File> files { { "engine.dat", "engine of the new version" } };
    TestServer::Response list;
    list.contentType = "application/xml";
    list.body = programDir.publish(http, server, files);
    if (fault == ListFault::NoVersion)
        list.body.replace("<Version>" + server + "</Version>", "");
    list.status = fault == ListFault::Status404 ? 404 : 200;
    list.silent = fault == ListFault::Silent;
    if (fault == ListFault::CutOff) {
        list.body.truncate(list.body.indexOf("</Version>") + 10);
        list.announceLength = false;
    }
    if (fault == ListFault::Oversized)
        list.body.replace(
            "</UpdateList>", "<!--" + QByteArray(1100 * 1024, 'x') + "-->\n</UpdateList>");
    http.serve("/update/UpdateList.xml", list);
    if (fault == ListFault::Unreachable) {
        const QByteArray closed = QByteArray::number(TestServer::closedPort());
        QByteArray localList = programDir.read(QStringLiteral("UpdateList.xml"));
        localList.replace(":" + QByteArray::number(http.url().port()) + "/", ":" + closed + "/");
        QVERIFY(programDir.write(QStringLiteral("UpdateList.xml"), localList));
    }
    if (fault == ListFault::NoLocal)
        QVERIFY(QFile::remove(programDir.filePath(QStringLiteral("UpdateList.xml"))));

    Run run;
    QVERIFY(run.done.wait(10000));
    QCOMPARE(run.done.first().first().toInt(), 0);
    QVERIFY(programDir.settle());
    const QByteArray here = QDir(programDir.filePath(QStringLiteral("."))).canonicalPath().toUtf8();
    QCOMPARE(programDir.startOf(started), "0 " + here);
    const QString other = started == QLatin1String("corvex") ? QStringLiteral("quillonv3")
                                                             : QStringLiteral("corvex");
    QCOMPARE(programDir.startOf(other), QByteArray());
    if (fault != ListFault::Unreachable && fault != ListFault::NoLocal) {
        // The network layer may ask again for an answer cut short.
        const QList<TestServer::Request> asked = http.requestsFor("/update/UpdateList.xml");
        QVERIFY(!asked.isEmpty());
        for (const TestServer::Request &request : asked)
            QCOMPARE(request.header("User-Agent"), QByteArray(Download::userAgent.data()));
    }
}

void tst_Updater::success_data()
{
    QTest::addColumn<QList<File>>("files");

    QTest::newRow("two files with Sha256 and Size") << release();
    QTest::newRow("two files without Sha256 and Size")
        << QList<File> { { "corvex", UpdaterFixture::newClient, false },
               { "engine.dat", "new engine", false } };
    QTest::newRow("a hidden file") << QList<File> { { ".engine.cfg", "hidden settings" } };
    QTest::newRow("a file new to the program folder, named with a blank and #")
        << QList<File> { { "plug in #2.dat", "a new plug-in" } };
    QTest::newRow("no File entries: the list alone") << QList<File>();
}

void tst_Updater::success()
{
    QFETCH(QList<File>, files);

    TestServer server;
    UpdaterFixture programDir;
    QVERIFY(server.start());
    QVERIFY(programDir.setUp(server, "1.0.0.1"));
    const QByteArray list = programDir.publish(server, "1.0.0.2", files);
    QVERIFY(QDir().mkpath(programDir.filePath(QStringLiteral("temp/keep"))));
    QVERIFY(programDir.write(QStringLiteral("temp/keep/note.txt"), "kept"));
    QVERIFY(programDir.write(QStringLiteral("temp/stale.dll"), "left by an earlier run"));

    Run run;
    const bool sized = !files.isEmpty() && files.first().checked;
    QVERIFY(run.done.wait(10000));
    QCOMPARE(run.done.first().first().toInt(), 0);

    for (const File &file : files)
        QCOMPARE(programDir.read(QString::fromUtf8(file.name)), file.content);
    QCOMPARE(programDir.read(QStringLiteral("UpdateList.xml")), list);
    QVERIFY2(!programDir.programFiles().contains(QStringLiteral("stale.dll")),
        "only the release's files are installed");
    QCOMPARE(programDir.tempFiles(), QStringList());
    QCOMPARE(programDir.read(QStringLiteral("temp/keep/note.txt")), "kept");
    QVERIFY(!QFileInfo::exists(run.window->installer()->backupDir()));

    QStringList expected { firstText };
    for (qsizetype i = 1; i < files.size(); ++i)
        expected << nextText;
    QCOMPARE(run.statuses, expected << successText);
    const auto *bar = run.window->findChild<QProgressBar *>();
    QCOMPARE(bar->maximum(), sized ? 1000 : 1);
    QCOMPARE(bar->value(), bar->maximum());

    QVERIFY(programDir.settle());
    const QByteArray here = QDir(programDir.filePath(QStringLiteral("."))).canonicalPath().toUtf8();
    const bool newClient = !files.isEmpty() && files.first().name == "corvex";
    QCOMPARE(programDir.startOf(QStringLiteral("corvex")), (newClient ? "new 0 " : "0 ") + here);
    QCOMPARE(programDir.startOf(QStringLiteral("quillonv3")), QByteArray());
    QCOMPARE(server.requests().size(), files.size() + 1);
    for (const TestServer::Request &request : server.requests())
        QCOMPARE(request.header("User-Agent"), QByteArray(Download::userAgent.data()));
}

void tst_Updater::failure_data()
{
    QTest::addColumn<QList<File>>("files");
    QTest::addColumn<Fault>("fault"); // of the last file
    QTest::addColumn<int>("requests"); // lists and files asked for in all

    QTest::newRow("file answered 404") << release() << Fault::Status404 << 3;
    QTest::newRow("file answered 500") << release() << Fault::Status500 << 3;
    QTest::newRow("HTML error page with 200 but wrong Sha256") << release() << Fault::HtmlPage << 3;
    QTest::newRow("connection dropped halfway") << release() << Fault::Dropped << 3;
    QTest::newRow("server silent on a file") << release() << Fault::Silent << 3;
    const auto named = [](const QByteArray &name) {
        return QList<File> { { "corvex", UpdaterFixture::newClient }, { name, "x" } };
    };
    QTest::newRow("name ../x") << named("../x") << Fault::None << 1;
    QTest::newRow("name a/b") << named("a/b") << Fault::None << 1;
    QTest::newRow("name a\\b") << named("a\\b") << Fault::None << 1;
    QTest::newRow("empty name") << named("") << Fault::None << 1;
    QTest::newRow("name ..") << named("..") << Fault::None << 1;
    QTest::newRow("name C:x") << named("C:x") << Fault::None << 1;
    QTest::newRow("name with a line break") << named("a&#10;b") << Fault::None << 1;
    QTest::newRow("name with a trailing dot, which Windows drops")
        << named("corvex.") << Fault::None << 1;
    QTest::newRow("a Windows device name") << named("nul.txt") << Fault::None << 1;
    QTest::newRow("the list's own name in other case")
        << named("updatelist.XML") << Fault::None << 1;
    QTest::newRow("a name the updater keeps for itself")
        << named("install-journal") << Fault::None << 1;
    QTest::newRow("the same name twice") << named("CORVEX") << Fault::None << 1;
    // The name carries an attribute of its own into the list.
    QTest::newRow("Sha256 not 64 hexadecimal digits") << QList<File> {
        { "corvex", UpdaterFixture::newClient }, { "engine.dat\" Sha256=\"12ab", "x", false }
    } << Fault::None << 1;
    QTest::newRow("Size not a number")
        << QList<File> { { "engine.dat\" Size=\"-1", "x", false } } << Fault::None << 1;
    QTest::newRow("old file cannot be moved aside") << release() << Fault::BackupBlocked << 3;
    QTest::newRow("program folder read-only") << release() << Fault::ReadOnlyFolder << 3;
    QTest::newRow("a file where the temp folder belongs") << release() << Fault::TempBlocked << 0;
    QTest::newRow("killed while installing, then started again") << release() << Fault::Killed << 6;
}

void tst_Updater::failure()
{
    QFETCH(QList<File>, files);
    QFETCH(Fault, fault);
    QFETCH(int, requests);

    if (fault == Fault::ReadOnlyFolder && geteuid() == 0)
        QSKIP("permissions do not stop root from writing; the row \"old file cannot be moved "
              "aside\" covers a move that fails");
    TestServer server;
    UpdaterFixture programDir;
    QVERIFY(server.start());
    QVERIFY(programDir.setUp(server, "1.0"));
    programDir.publish(server, "2.0", files);
    if (fault == Fault::TempBlocked)
        QVERIFY(programDir.write(QStringLiteral("temp"), "not a folder"));
    const QMap<QString, QByteArray> before = programDir.programFiles();

    const QByteArray last = "/update/" + files.last().name;
    TestServer::Response answer;
    answer.body = files.last().content;
    answer.status = fault == Fault::Status404 ? 404 : fault == Fault::Status500 ? 500 : 200;
    // As long as the file, so only its checksum can tell.
    if (fault == Fault::HtmlPage)
        answer.body = QByteArray("<html>busy</html>").leftJustified(answer.body.size());
    answer.dropAfter = fault == Fault::Dropped ? answer.body.size() / 2 : -1;
    answer.silent = fault == Fault::Silent;
    server.serve(last, answer);
    if (fault == Fault::BackupBlocked) {
        QVERIFY(QDir().mkpath(
            programDir.filePath(QStringLiteral("temp/install-backup/") + files.last().name)));
    }
    const QFile::Permissions writable
        = QFile::permissions(programDir.filePath(QStringLiteral(".")));
    // The temp folder is there from an earlier run and stays writable.
    if (fault == Fault::ReadOnlyFolder)
        QVERIFY(QDir().mkpath(programDir.filePath(QStringLiteral("temp")))
            && QFile::setPermissions(
                programDir.filePath(QStringLiteral(".")), QFile::ReadOwner | QFile::ExeOwner));
    if (fault == Fault::Killed) {
        Run killed;
        killed.window->installer()->setStopAfter(3);
        QVERIFY(QTest::qWaitFor(
            [&] { return QFile::exists(killed.window->installer()->journalPath()); }));
        QVERIFY(programDir.programFiles() != before);
        answer.status = 404;
        server.serve(last, answer);
    }

    Run run;
    QVERIFY(run.waitForFailure());
    QFile::setPermissions(programDir.filePath(QStringLiteral(".")), writable);
    QCOMPARE(run.statuses.first(), firstText);
    QVERIFY(run.button(QStringLiteral("重试")));
    QVERIFY(run.button(QStringLiteral("暂不更新")));
    QCOMPARE(programDir.programFiles(), before);
    QVERIFY(!QFileInfo::exists(run.window->installer()->journalPath()));
    QCOMPARE(server.requests().size(), requests);
    QVERIFY(programDir.settle());
    QCOMPARE(programDir.startOf(QStringLiteral("corvex")), QByteArray());
    QCOMPARE(programDir.startOf(QStringLiteral("quillonv3")), QByteArray());
    QCOMPARE(run.done.size(), 0);
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

    TestServer server;
    UpdaterFixture programDir;
    QVERIFY(server.start());
    QVERIFY(programDir.setUp(server, "1.0"));
    const QList<File> files = release();
    programDir.publish(server, "2.0", files);
    TestServer::Response missing;
    missing.status = 404;
    server.serve("/update/engine.dat", missing);
    const QMap<QString, QByteArray> before = programDir.programFiles();

    Run run;
    QVERIFY(run.waitForFailure());
    if (tryAgain) {
        programDir.publish(server, "2.0", files);
        run.button(QStringLiteral("重试"))->click();
        QVERIFY(run.done.wait(10000));
        QCOMPARE(run.statuses.mid(run.statuses.lastIndexOf(firstText)),
            QStringList({ firstText, nextText, successText }));
        QCOMPARE(programDir.read(QStringLiteral("engine.dat")), files.last().content);
    } else {
        run.button(QStringLiteral("暂不更新"))->click();
        QCOMPARE(run.done.size(), 1);
        QCOMPARE(programDir.read(QStringLiteral("temp/skip-version")), "2.0");
    }
    QCOMPARE(run.done.first().first().toInt(), 0);
    QVERIFY(programDir.settle());
    const QByteArray here = QDir(programDir.filePath(QStringLiteral("."))).canonicalPath().toUtf8();
    QCOMPARE(programDir.startOf(QStringLiteral("corvex")), (tryAgain ? "new 0 " : "0 ") + here);
    QCOMPARE(programDir.startOf(QStringLiteral("quillonv3")), QByteArray());
    if (!tryAgain) {
        QMap<QString, QByteArray> after = programDir.programFiles();
        after.remove(QStringLiteral("corvex-started"));
        QCOMPARE(after, before);
    }
}

void tst_Updater::releaseTool_data()
{
    QTest::addColumn<QStringList>("sources"); // files, and a folder's files after a "/"
    QTest::addColumn<QString>("updatePath");
    QTest::addColumn<bool>("published");

    const QString update = QStringLiteral("/update/");
    QTest::newRow("a release the tool made is installed")
        << QStringList { "corvex", "lib/engine.dat", "lib/.engine.cfg" } << update << true;
    QTest::newRow("a name the updater refuses is refused")
        << QStringList { "corvex", "nul.txt" } << update << false;
    QTest::newRow("one name twice, in other case, is refused")
        << QStringList { "corvex", "lib/CORVEX" } << update << false;
    QTest::newRow("an update address without a trailing slash is refused")
        << QStringList { "corvex" } << QStringLiteral("/update") << false;
}

void tst_Updater::releaseTool()
{
    QFETCH(QStringList, sources);
    QFETCH(QString, updatePath);
    QFETCH(bool, published);

    TestServer server;
    UpdaterFixture programDir;
    QTemporaryDir work;
    QVERIFY(server.start());
    QVERIFY(programDir.setUp(server, "1.0"));
    QStringList arguments { QStringLiteral("--login-url"), server.url().toString(),
        QStringLiteral("--server-url"), server.url().toString(), QStringLiteral("--update-url"),
        server.url(updatePath).toString(), QStringLiteral("2.0"),
        work.filePath(QStringLiteral("out")) };
    for (const QString &source : sources) {
        const QString path = work.filePath(QStringLiteral("in/") + source);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(source == QLatin1String("corvex") ? UpdaterFixture::newClient : source.toUtf8());
        const QString argument = work.filePath(QStringLiteral("in/") + source.section(u'/', 0, 0));
        if (!arguments.contains(argument))
            arguments << argument;
    }
    QProcess tool;
    tool.start(QStringLiteral(MAKE_RELEASE_PATH), arguments);
    QVERIFY(tool.waitForFinished(10000));
    QCOMPARE(tool.exitCode() == 0, published);
    const QString list = work.filePath(QStringLiteral("out/UpdateList.xml"));
    QCOMPARE(QFileInfo::exists(list), published);
    if (!published)
        return;

    QDirIterator out(work.filePath(QStringLiteral("out")), QDir::Files | QDir::Hidden);
    while (out.hasNext()) {
        QFile file(out.next());
        QVERIFY(file.open(QIODevice::ReadOnly));
        server.serve("/update/" + QUrl::toPercentEncoding(out.fileName()), file.readAll(),
            "application/octet-stream");
    }
    Run run;
    QVERIFY(run.done.wait(10000));
    QCOMPARE(run.statuses.last(), successText);
    for (const QString &source : sources)
        QCOMPARE(programDir.read(source.section(u'/', -1)),
            source == QLatin1String("corvex") ? UpdaterFixture::newClient : source.toUtf8());
    QFile served(list);
    QVERIFY(served.open(QIODevice::ReadOnly));
    QCOMPARE(programDir.read(QStringLiteral("UpdateList.xml")), served.readAll());
}

TAVREL_TEST_MAIN(tst_Updater)
#include "tst_updater.moc"
