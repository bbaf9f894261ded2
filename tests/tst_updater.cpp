#include "crypto.h"
#include "download.h"
#include "installer.h"
#include "mainwindow.h"
#include "programdir.h"
#include "releasecheck.h"
#include "testmain.h"
#include "testserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>

#include <algorithm>
#include <memory>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

struct File
{
    QByteArray name;
    QByteArray content;
    bool checked = true; // the list gives its Sha256 and Size
    bool executable = false; // the list marks it as a program
};
using Files = QList<File>;

// Stand-ins record how they were started: the argument count and the working directory.
const QByteArray standIn = "#!/bin/sh\necho \"$# $(pwd)\" > \"$(basename \"$0\")-started\"\n";
const QByteArray newClient = "#!/bin/sh\necho \"new $# $(pwd)\" > corvex-started\n";
const Files release { { "corvex", newClient }, { "engine.dat", "engine of the new version" } };

// The list with the PublicKey line that hands key on.
QByteArray withKey(QByteArray list, const QByteArray &key)
{
    return list.replace(
        "</UpdateList>", "<PublicKey>" + key.toBase64() + "</PublicKey>\n</UpdateList>");
}

// What the openssl command line printed, when it succeeded.
std::optional<QByteArray> openssl(const QString &folder, const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(u"openssl"_s, arguments);
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0)
        return std::nullopt;
    return process.readAllStandardOutput();
}

// A key made by the openssl command line, the public half as its DER form ends.
Crypto::KeyPair opensslKey(const QString &folder)
{
    const auto der
        = openssl(folder, { u"genpkey"_s, u"-algorithm"_s, u"ed25519"_s, u"-out"_s, u"key.pem"_s })
        ? openssl(
            folder, { u"pkey"_s, u"-in"_s, u"key.pem"_s, u"-pubout"_s, u"-outform"_s, u"DER"_s })
        : std::nullopt;
    QFile pem(folder + u"/key.pem"_s);
    if (!der || !pem.open(QIODevice::ReadOnly))
        return {};
    return { pem.readAll(), der->right(Crypto::publicKeySize) };
}

// What a successful run says, in order; a failed one says the first, then why it failed.
const QStringList successTexts { u"正在升级您的Tavrel软件，请等待..."_s, u"正在更新..."_s,
    u"更新成功！"_s };

// A temporary program directory, made this process's: stand-in corvex and quillonv3, a program
// file and an UpdateList.xml of the installed version whose update folder is /update/ on a
// loopback server, which publishes the releases; and the updater's window run on it.
class Fixture
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
            if (file.executable)
                list += " Executable=\"yes\"";
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

    // How the program was started ("0 DIR" when without arguments in the program directory),
    // empty if it was not. A detached start returns once the program runs, in the program
    // directory like every stand-in, so once no process works there every start is on record.
    QByteArray started(const QString &program) const
    {
        const QString here = QDir(dir.path()).canonicalPath();
        const bool settled = QTest::qWaitFor([&here] {
            const QStringList processes = QDir(u"/proc"_s).entryList(QDir::Dirs);
            return std::none_of(processes.begin(), processes.end(), [&here](const QString &pid) {
                return QFileInfo(u"/proc/%1/cwd"_s.arg(pid)).symLinkTarget() == here;
            });
        });
        return settled ? read(program + u"-started"_s).trimmed().replace(here.toUtf8(), "DIR")
                       : "still running";
    }

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

    // Blocks the name with a folder once the run has begun, after it cleared the backup folder.
    void obstruct(const QString &name)
    {
        QObject::connect(&server, &TestServer::requestReceived, &server,
            [name](const TestServer::Request &request) {
                if (request.path == "/update/UpdateList.xml")
                    QDir().mkpath(name);
            });
    }

    // Starts a run of the updater's window with short test seams, in place of an earlier one.
    Installer *run()
    {
        window = std::make_unique<MainWindow>();
        done = std::make_unique<QSignalSpy>(window.get(), &MainWindow::done);
        statuses.clear();
        window->setStallTimeout(1000);
        window->installer()->setRetryDelay(200);
        QObject::connect(window.get(), &MainWindow::statusChanged, window.get(),
            [this](const QString &text) { statuses << text; });
        return window->installer();
    }

    // A run of the release stopped dead at this point of the installation, as a kill would stop
    // it: for two files and the list, step 0 to 2 keep the old files, 3 seals the backup, 4 to 6
    // place the new ones, 7 commits; point 2i is before step i's action, 2i + 1 after it.
    bool kill(int point)
    {
        run()->setStepHook([point](int at) { return at != point; });
        return QTest::qWaitFor([this] { return QFileInfo::exists(journal()); });
    }

    // The run ended with exit code 0.
    bool ended() const
    {
        return (done->size() == 1 || done->wait(10000)) && done->first().first().toInt() == 0;
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
    bool leftover() const
    {
        return QFileInfo::exists(journal()) || QFileInfo::exists(window->installer()->backupDir());
    }

    QTemporaryDir dir;
    TestServer server;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<QSignalSpy> done;
    QStringList statuses;
};

} // namespace

Q_DECLARE_METATYPE(Files)
Q_DECLARE_METATYPE(QList<QByteArray>)

class tst_Updater : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void run_data();
    void run();
    void failure_data();
    void failure();
    void travel_data();
    void travel();
    void names_data();
    void names();
    void signedList_data();
    void signedList();
    void releaseTool_data();
    void releaseTool();
};

void tst_Updater::run_data()
{
    QTest::addColumn<QByteArray>("local");
    QTest::addColumn<QByteArray>("server");
    QTest::addColumn<Files>("files");
    QTest::addColumn<QString>("started");
    QTest::addColumn<QString>("fault");

    const auto row
        = [](const char *name, const char *local, const char *server, const char *started,
              const char *fault = "", const Files &files = release) {
              QTest::newRow(name) << QByteArray(local) << QByteArray(server) << files
                                  << QString(started) << QString(fault);
          };
    row("equal versions", "1.0.0.1", "1.0.0.1", "quillonv3");
    row("1.0.0.12 installed, 1.0.0.1 on the server", "1.0.0.12", "1.0.0.1", "quillonv3");
    row("2.1 on the server is newer than 1.2.1, whose text holds it", "1.2.1", "2.1", "corvex");
    row("1.10 on the server is newer than 1.9: two files with Sha256 and Size installed", "1.9",
        "1.10", "corvex");
    row("empty Version on the server", "1.0", "", "quillonv3");
    row("no Version on the server", "1.0", "2.0", "quillonv3", "no Version");
    row("server unreachable", "1.0", "2.0", "quillonv3", "unreachable");
    row("404 for the list, a newer list its body", "1.0", "2.0", "quillonv3", "404");
    row("list cut off after a newer Version, no length announced", "1.0", "2.0", "quillonv3",
        "cut off");
    row("list over 1 MiB", "1.0", "2.0", "quillonv3", "oversized");
    row("an earlier run killed after its commit: its new version kept", "1.0", "2.0", "quillonv3",
        "killed");
    row("two files without Sha256 and Size: a busy bar", "1.0", "2.0", "corvex", "",
        { { "corvex", newClient, false }, { "engine.dat", "new engine", false } });
    row("a hidden file, and one named with a blank and #", "1.0", "2.0", "corvex", "",
        { { ".engine.cfg", "hidden settings" }, { "plug in #2.dat", "a new plug-in" } });
    row("a new program marked executable can be started, a new data file is not executable", "1.0",
        "2.0", "corvex", "",
        { { "helper", standIn, true, true }, { "notes.txt", standIn, true, false } });
    row("an old file busy for a moment: moved on a later try", "1.0", "2.0", "corvex", "busy");
    row("a backup folder without a journal: put back first", "1.0", "2.0", "corvex",
        "backup blocked");
}

// An update when the server's version is newer, quillonv3 started otherwise.
void tst_Updater::run()
{
    QFETCH(QByteArray, local);
    QFETCH(QByteArray, server);
    QFETCH(Files, files);
    QFETCH(QString, started);
    QFETCH(QString, fault);

    Fixture f;
    QVERIFY(f.setUp(local));
    const QString backup = f.dir.filePath(u"temp/install-backup/engine.dat"_s);
    QVERIFY(
        QDir().mkpath(f.dir.filePath(u"temp/keep"_s)) && QDir().mkpath(QFileInfo(backup).path()));
    QVERIFY(f.write(u"temp/keep/note.txt"_s, "kept")
        && f.write(u"temp/stale.dll"_s, "left by an earlier run"));
    QVERIFY(fault != "backup blocked"_L1 || f.write(u"temp/install-backup/engine.dat"_s, "old"));
    TestServer::Response list;
    list.contentType = "application/xml";
    list.body = f.publish(server, files);
    QVERIFY(fault != "killed"_L1 || f.kill(15));
    if (fault == "no Version"_L1)
        list.body.replace("<Version>" + server + "</Version>", "");
    list.status = fault == "404"_L1 ? 404 : 200;
    list.announceLength = fault != "cut off"_L1;
    if (fault == "cut off"_L1)
        list.body.truncate(list.body.indexOf("</Version>") + 10);
    if (fault == "oversized"_L1)
        list.body.replace(
            "</UpdateList>", "<!--" + QByteArray(1100 * 1024, 'x') + "--></UpdateList>");
    f.server.serve("/update/UpdateList.xml", list);
    const QByteArray port = QByteArray::number(f.server.url().port());
    if (fault == "unreachable"_L1)
        QVERIFY(f.write(u"UpdateList.xml"_s,
            f.read(u"UpdateList.xml"_s)
                .replace(port, QByteArray::number(TestServer::closedPort()))));

    f.run();
    // A client started again meanwhile hands over once more: that updater leaves the folder to
    // this one, asking and starting nothing.
    MainWindow second;
    QSignalSpy secondDone(&second, &MainWindow::done);
    if (fault == "busy"_L1) {
        // Something holds the engine's backup name for a while, so the old engine cannot be
        // moved aside at first.
        f.obstruct(backup);
        QVERIFY(QTest::qWaitFor([&f] { return QFileInfo::exists(f.journal()); }));
        QVERIFY(QDir().rmdir(backup));
    }
    QVERIFY(f.ended());
    QCOMPARE(secondDone.size(), 1);
    QCOMPARE(secondDone.first().first().toInt(), 0);
    const bool updated = started == "corvex"_L1;
    const bool clientReplaced = updated && files.first().name == "corvex";
    QCOMPARE(f.started(started), clientReplaced ? "new 0 DIR" : "0 DIR");
    QCOMPARE(f.started(updated ? u"quillonv3"_s : u"corvex"_s), "");
    QCOMPARE(f.server.requests().isEmpty(), fault == "unreachable"_L1);
    QVERIFY(!f.leftover());
    QCOMPARE(f.read(u"temp/keep/note.txt"_s), "kept");
    for (const File &file : files)
        QCOMPARE(
            f.read(QString::fromUtf8(file.name)) == file.content, updated || fault == "killed"_L1);
    if (!updated)
        return;
    for (const File &file : files) {
        const QString name = QString::fromUtf8(file.name);
        if (name != "corvex"_L1 && name != "engine.dat"_L1)
            QCOMPARE(QFileInfo(f.dir.filePath(name)).isExecutable(), file.executable);
        if (file.executable)
            QCOMPARE(QProcess::execute(f.dir.filePath(name), {}), 0);
    }

    QCOMPARE(f.read(u"UpdateList.xml"_s), list.body);
    QCOMPARE(QDir(ProgramDir::tempDir()).entryList(QDir::Files | QDir::Hidden), QStringList());
    QCOMPARE(f.statuses, successTexts);
    const auto *bar = f.window->findChild<QProgressBar *>();
    QCOMPARE(bar->maximum(), files.first().checked ? 1000 : 1);
    QCOMPARE(bar->value(), bar->maximum());
    QCOMPARE(f.server.requests().size(), 3);
    for (const TestServer::Request &request : f.server.requests())
        QCOMPARE(request.header("User-Agent"), QByteArray(Download::userAgent.data()));
}

void tst_Updater::failure_data()
{
    QTest::addColumn<Files>("files");
    QTest::addColumn<QString>("fault"); // of the engine
    QTest::addColumn<int>("requests");
    QTest::addColumn<QString>("then"); // the button the user clicks afterwards, if any

    const auto row
        = [](const char *name, const char *fault, int requests = 3, const QString &then = {}) {
              QTest::newRow(name) << release << QString(fault) << requests << then;
          };
    row("file answered 404", "404");
    row("file answered 500", "500");
    row("HTML error page with 200 but wrong Sha256", "HTML page");
    row("connection dropped halfway", "dropped");
    row("server silent on a file", "silent");
    row("program folder read-only", "read-only");
    row("a file where the temp folder belongs", "temp blocked", 0);
    row("temp a link to a folder outside: nothing made there, not even the lock", "temp link", 0);
    row("not now: the client starts and passes this version once", "404", 3, u"暂不更新"_s);
    row("try again once the server is mended", "404", 3, u"重试"_s);
    // The next start after a run killed before its commit puts the old files back first.
    for (int point : { 1, 7, 9, 13 })
        QTest::addRow("killed at point %d, then 404", point)
            << release << u"404, killed at %1"_s.arg(point) << 6 << QString();
    // Refused before any download (the names table has the rules).
    const Files escaping { { "corvex", newClient }, { "../x", "x", false } };
    QTest::newRow("a name with ../") << escaping << "" << 1 << QString();
    QTest::newRow("a name that is a folder of the program directory")
        << release << "folder" << 1 << QString();
    QTest::newRow("a release larger than the free space")
        << release << "no space" << 1 << QString();
}

void tst_Updater::failure()
{
    QFETCH(Files, files);
    QFETCH(QString, fault);
    QFETCH(int, requests);
    QFETCH(QString, then);

    if (fault == "read-only"_L1 && geteuid() == 0)
        QSKIP("permissions do not stop root; the row \"old file cannot be moved aside\" covers a "
              "move that fails");
    Fixture f;
    QVERIFY(f.setUp("1.0"));
    f.publish("2.0", files);
    if (fault == "temp blocked"_L1)
        QVERIFY(f.write(u"temp"_s, "not a folder"));
    QTemporaryDir outside;
    if (fault == "temp link"_L1)
        QVERIFY(QFile::link(outside.path(), f.dir.filePath(u"temp"_s)));
    if (fault == "folder"_L1)
        QVERIFY(QDir(f.dir.path()).mkdir(u"ENGINE.DAT"_s));
    if (fault == "no space"_L1)
        f.server.serve("/update/UpdateList.xml",
            f.list("2.0", files).replace("Size=\"25\"", "Size=\"100000000000000000\""));
    // The temp folder is there from an earlier run and stays writable.
    const QFile::Permissions writable = QFile::permissions(f.dir.path());
    if (fault == "read-only"_L1)
        QVERIFY(QDir(f.dir.path()).mkpath(u"temp"_s)
            && QFile::setPermissions(f.dir.path(), QFile::ReadOwner | QFile::ExeOwner));
    const QMap<QString, QByteArray> before = f.programFiles();
    QVERIFY(!fault.contains("killed"_L1) || f.kill(fault.section(u' ', -1).toInt()));
    TestServer::Response engine;
    engine.body = files.last().content;
    engine.status = fault.startsWith("404"_L1) ? 404 : fault == "500"_L1 ? 500 : 200;
    // As long as the file, so only its checksum can tell.
    if (fault == "HTML page"_L1)
        engine.body = QByteArray("<html>busy</html>").leftJustified(engine.body.size());
    engine.dropAfter = fault == "dropped"_L1 ? engine.body.size() / 2 : -1;
    engine.silent = fault == "silent"_L1;
    f.server.serve("/update/" + files.last().name, engine);

    f.run();
    QTRY_VERIFY_WITH_TIMEOUT(
        !f.statuses.isEmpty() && f.statuses.last().startsWith(u"更新失败："_s), 10000);
    QFile::setPermissions(f.dir.path(), writable);
    QCOMPARE(f.statuses.first(), successTexts.first());
    QVERIFY(fault != "no space"_L1 || f.statuses.last() == u"更新失败：磁盘空间不足"_s);
    QCOMPARE(QDir(outside.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList());
    QVERIFY(f.button(u"重试"_s) && f.button(u"暂不更新"_s));
    QCOMPARE(f.programFiles(), before);
    QVERIFY(!f.leftover());
    QCOMPARE(f.server.requests().size(), requests);
    QCOMPARE(f.started(u"corvex"_s), "");
    QCOMPARE(f.started(u"quillonv3"_s), "");
    QCOMPARE(f.done->size(), 0);
    if (then.isEmpty())
        return;

    const bool tryAgain = then == u"重试"_s;
    if (tryAgain)
        f.publish("2.0", release);
    f.button(then)->click();
    QVERIFY(f.ended());
    QCOMPARE(f.started(u"corvex"_s), tryAgain ? "new 0 DIR" : "0 DIR");
    QCOMPARE(f.started(u"quillonv3"_s), "");
    if (tryAgain) {
        QCOMPARE(f.statuses.mid(f.statuses.lastIndexOf(successTexts.first())), successTexts);
        QCOMPARE(f.read(u"engine.dat"_s), release.last().content);
    } else {
        QCOMPARE(f.read(u"temp/skip-version"_s), "2.0");
        QMap<QString, QByteArray> after = f.programFiles();
        after.remove(u"corvex-started"_s);
        QCOMPARE(after, before);
    }
}

void tst_Updater::travel_data()
{
    QTest::addColumn<Files>("files");
    QTest::addColumn<QByteArray>("installed"); // the engine in the program directory
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QList<QByteArray>>("ranges"); // of the requests for the engine, in order

    const QByteArray engine = release.last().content;
    const QByteArray half = "bytes=" + QByteArray::number(engine.size() / 2) + '-';
    QTest::newRow("unchanged file not requested") << release << engine << "" << QList<QByteArray>();
    QTest::newRow("right size, wrong content: replaced")
        << release << QByteArray(engine.size(), 'x') << "" << QList<QByteArray> { "" };
    QTest::newRow("no Sha256: downloaded though unchanged") << Files { release.first(),
        { "engine.dat", engine, false } } << engine << "" << QList<QByteArray> { "" };
    QTest::newRow("cut at 50 %, the rest by 206 on 重试")
        << release << QByteArray() << "cut" << QList<QByteArray> { "", half };
    QTest::newRow("cut, 200 to the range: started over")
        << release << QByteArray() << "cut, 200" << QList<QByteArray> { "", half };
    QTest::newRow("cut, 206 with another Content-Range: started over")
        << release << QByteArray() << "cut, skewed" << QList<QByteArray> { "", half, "" };
    QTest::newRow("partial file of another release dropped")
        << release << QByteArray() << "other release" << QList<QByteArray> { "" };
    QTest::newRow("partial file older than the installed list dropped")
        << release << QByteArray() << "older" << QList<QByteArray> { "" };
}

// Only what is not installed travels; what broke off is continued, and only where it matches.
void tst_Updater::travel()
{
    QFETCH(Files, files);
    QFETCH(QByteArray, installed);
    QFETCH(QString, fault);
    QFETCH(QList<QByteArray>, ranges);

    Fixture f;
    QVERIFY(f.setUp("1.0"));
    QVERIFY(installed.isNull() || f.write(u"engine.dat"_s, installed));
    f.publish("2.0", files);
    const QByteArray engine = files.last().content;
    if (fault == "other release"_L1 || fault == "older"_L1) {
        const QByteArray sha = QCryptographicHash::hash(
            fault == "older"_L1 ? engine : engine + "2", QCryptographicHash::Sha256)
                                   .toHex();
        const QString partial = u"temp/partial/"_s + QString::fromLatin1(sha);
        QVERIFY(QDir(f.dir.path()).mkpath(u"temp/partial"_s));
        QVERIFY(f.write(partial, engine.left(engine.size() / 2))
            && f.write(partial + Download::validatorSuffix, "\"v1\""));
        QFile old(f.dir.filePath(partial));
        QVERIFY(fault != "older"_L1
            || (old.open(QIODevice::ReadWrite)
                && old.setFileTime(
                    QDateTime::currentDateTime().addDays(-1), QFileDevice::FileModificationTime)));
    }
    TestServer::Response answer;
    answer.body = engine;
    answer.headers << "ETag: \"v1\"";
    answer.ranges = true;
    const bool cut = fault.startsWith("cut"_L1);
    answer.dropAfter = cut ? engine.size() / 2 : -1;
    f.server.serve("/update/engine.dat", answer);

    f.run();
    if (cut) {
        QTRY_VERIFY_WITH_TIMEOUT(
            !f.statuses.isEmpty() && f.statuses.last().startsWith(u"更新失败："_s), 10000);
        answer.dropAfter = -1;
        answer.ranges = fault != "cut, 200"_L1;
        answer.rangeSkew = fault == "cut, skewed"_L1 ? 1 : 0;
        f.server.serve("/update/engine.dat", answer);
        f.button(u"重试"_s)->click();
    }
    QVERIFY(f.ended());
    QCOMPARE(f.started(u"corvex"_s), "new 0 DIR");
    QCOMPARE(f.read(u"engine.dat"_s), engine);
    // Full once what travels has arrived, whatever did not travel.
    const auto *bar = f.window->findChild<QProgressBar *>();
    QCOMPARE(bar->value(), bar->maximum());
    QList<QByteArray> asked;
    for (const TestServer::Request &request : f.server.requestsFor("/update/engine.dat")) {
        asked << request.header("Range");
        QCOMPARE(request.header("If-Range"), asked.last().isEmpty() ? "" : "\"v1\"");
    }
    QCOMPARE(asked, ranges);
    QCOMPARE(QDir(f.dir.filePath(u"temp/partial"_s)).entryList(QDir::Files | QDir::Hidden),
        QStringList());
}

void tst_Updater::names_data()
{
    QTest::addColumn<QList<UpdateList::FileEntry>>("entries");
    QTest::addColumn<bool>("accepted");

    const auto row
        = [](const char *name, bool accepted, const QStringList &names, const QString &sha256 = {},
              const QString &size = {}, const QString &executable = {}) {
              QList<UpdateList::FileEntry> entries;
              for (const QString &entryName : names)
                  entries << UpdateList::FileEntry { entryName, sha256, size, executable };
              QTest::newRow(name) << entries << accepted;
          };
    const QString hash(64, u'a');
    row("ordinary names, a hidden one, blanks, CJK, COM10, console", true,
        { u"corvex"_s, u".cfg"_s, u"plug in #2.dat"_s, u"不.dat"_s, u"COM10"_s, u"console.txt"_s },
        hash.toUpper(), u"0"_s, u"yes"_s);
    for (const QString &name : { u"../x"_s, u"a/b"_s, u"a\\b"_s, u""_s, u"."_s, u".."_s, u"C:x"_s,
             u"a\nb"_s, u"corvex."_s, u"corvex "_s, u"nul.txt"_s, u"PRN .txt"_s, u"con .txt"_s,
             u"aux. .txt"_s, u"COM\u00b9"_s, u"LPT\u00b2"_s, u"conout$"_s, u"a\u0085b"_s,
             u"a\x7f"_s, u"../../escaped"_s + QChar(0xdc00) + u".txt"_s, u"x"_s + QChar(0xd800),
             u"updatelist.XML"_s, u"install-journal"_s, u"Cache"_s, u"TEMP"_s, u"plugins"_s,
             u"UpdateList.xml.sig"_s })
        QTest::addRow("refused name \"%s\"", qPrintable(name))
            << QList<UpdateList::FileEntry> { { name, {}, {}, {} } } << false;
    row("two names the same in case folding", false, { u"\u00c4.dat"_s, u"\u00e4.dat"_s });
    row("two names the same after NFC", false, { u"caf\u00e9"_s, u"cafe\u0301"_s });
    row("Sha256 with a trailing line break", false, { u"a"_s }, hash + u'\n');
    row("Sha256 of 63 digits", false, { u"a"_s }, hash.left(63));
    row("Sha256 not hexadecimal", false, { u"a"_s }, hash.left(63) + u'g');
    row("Size with a trailing line break", false, { u"a"_s }, {}, u"12\n"_s);
    row("negative Size", false, { u"a"_s }, {}, u"-1"_s);
    row("Executable other than yes", false, { u"a"_s }, {}, {}, u"true"_s);
}

// The name and attribute rules of a release, which the release tool shares.
void tst_Updater::names()
{
    QFETCH(QList<UpdateList::FileEntry>, entries);
    QFETCH(bool, accepted);

    QCOMPARE(ReleaseCheck::problem(entries).isEmpty(), accepted);
}

void tst_Updater::signedList_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("installed");

    QTest::newRow("signed by the installed key: installed") << u""_s << true;
    QTest::newRow("signature missing") << u"missing"_s << false;
    QTest::newRow("signature of other bytes") << u"other bytes"_s << false;
    QTest::newRow("list changed by one byte after signing") << u"changed"_s << false;
    QTest::newRow("signature by another key") << u"another key"_s << false;
    QTest::newRow("base64 with a character outside its alphabet") << u"base64"_s << false;
    QTest::newRow("signature file over 4 KiB, blanks after it") << u"oversized"_s << false;
    QTest::newRow("signed list without PublicKey: signing can't be switched off")
        << u"no PublicKey"_s << false;
    QTest::newRow("no PublicKey installed: an unsigned list taken as before")
        << u"unsigned"_s << true;
    QTest::newRow("a new key handed on, then a release signed by it alone")
        << u"rotation"_s << true;
    QTest::newRow("key and signature by the openssl command line, and the other way round")
        << u"openssl"_s << true;
}

// A forged list changes nothing and starts quillonv3 as if the server had nothing newer.
void tst_Updater::signedList()
{
    QFETCH(QString, fault);
    QFETCH(bool, installed);

    Fixture f;
    QVERIFY(f.setUp("1.0"));
    const Crypto::KeyPair key
        = fault == "openssl"_L1 ? opensslKey(f.dir.path()) : Crypto::newKeyPair();
    const Crypto::KeyPair other = Crypto::newKeyPair();
    QVERIFY(!key.publicKey.isEmpty() && !other.publicKey.isEmpty());
    if (fault != "unsigned"_L1)
        QVERIFY(f.write(u"UpdateList.xml"_s, withKey(f.read(u"UpdateList.xml"_s), key.publicKey)));
    const QMap<QString, QByteArray> before = f.programFiles();

    f.publish("2.0", release);
    QByteArray list = f.list("2.0", release);
    if (fault != "no PublicKey"_L1 && fault != "unsigned"_L1)
        list = withKey(list, fault == "rotation"_L1 ? other.publicKey : key.publicKey);
    QByteArray signature
        = Crypto::sign(fault == "another key"_L1 ? other.privateKeyPem : key.privateKeyPem,
            fault == "other bytes"_L1 ? list + ' ' : list)
              .toBase64();
    if (fault == "openssl"_L1) {
        QVERIFY(f.write(u"list.xml"_s, list)
            && f.write(u"crypto.sig"_s, Crypto::sign(key.privateKeyPem, list)));
        const auto made = openssl(f.dir.path(),
            { u"pkeyutl"_s, u"-sign"_s, u"-rawin"_s, u"-inkey"_s, u"key.pem"_s, u"-in"_s,
                u"list.xml"_s });
        QVERIFY(made && made->size() == Crypto::signatureSize);
        signature = made->toBase64() + '\n';
        QVERIFY(openssl(f.dir.path(),
            { u"pkey"_s, u"-in"_s, u"key.pem"_s, u"-pubout"_s, u"-out"_s, u"pub.pem"_s }));
        QVERIFY(openssl(f.dir.path(),
            { u"pkeyutl"_s, u"-verify"_s, u"-rawin"_s, u"-pubin"_s, u"-inkey"_s, u"pub.pem"_s,
                u"-in"_s, u"list.xml"_s, u"-sigfile"_s, u"crypto.sig"_s }));
        for (const char *name : { "key.pem", "pub.pem", "list.xml", "crypto.sig" })
            QVERIFY(QFile::remove(f.dir.filePath(QString::fromLatin1(name))));
    }
    if (fault == "changed"_L1)
        list.replace("<Version>2.0", "<Version>3.0");
    if (fault == "base64"_L1)
        signature.insert(40, '*');
    if (fault == "oversized"_L1)
        signature += QByteArray(5000, ' ');
    f.server.serve("/update/UpdateList.xml", list, "application/xml");
    if (fault != "missing"_L1)
        f.server.serve("/update/UpdateList.xml.sig", signature, "text/plain");

    f.run();
    QVERIFY(f.ended());
    QCOMPARE(f.started(u"corvex"_s), installed ? "new 0 DIR" : "");
    QCOMPARE(f.started(u"quillonv3"_s), installed ? "" : "0 DIR");
    QCOMPARE(
        f.server.requestsFor("/update/UpdateList.xml.sig").size(), fault == "unsigned"_L1 ? 0 : 1);
    QVERIFY(!QFile::exists(f.dir.filePath(u"temp/UpdateList.xml.sig"_s)));
    if (!installed) {
        QMap<QString, QByteArray> after = f.programFiles();
        after.remove(u"quillonv3-started"_s);
        QCOMPARE(after, before);
        return;
    }
    QCOMPARE(f.read(u"UpdateList.xml"_s), list);
    if (fault != "rotation"_L1)
        return;

    // Only the key the installed list handed on signs from now on.
    const Files next { { "corvex", newClient }, { "engine.dat", "engine of version 3" } };
    f.publish("3.0", next);
    list = withKey(f.list("3.0", next), other.publicKey);
    f.server.serve("/update/UpdateList.xml", list, "application/xml");
    f.server.serve("/update/UpdateList.xml.sig", Crypto::sign(other.privateKeyPem, list).toBase64(),
        "text/plain");
    f.run();
    QVERIFY(f.ended());
    QCOMPARE(f.read(u"engine.dat"_s), next.last().content);
    QCOMPARE(f.read(u"UpdateList.xml"_s), list);
}

void tst_Updater::releaseTool_data()
{
    QTest::addColumn<QStringList>("sources"); // files; those in a folder are given by the folder
    QTest::addColumn<QString>("updatePath");
    QTest::addColumn<QByteArray>("current"); // the version of the folder's list, if it has one
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("published");

    const QString update = u"/update/"_s;
    // Files named run-* are programs in the source.
    QTest::newRow("a release the tool made is installed, its programs executable")
        << QStringList { "corvex", "lib/engine.dat", "lib/.engine.cfg", "lib/run-tool" } << update
        << QByteArray() << QStringList() << true;
    QTest::newRow("signed with an openssl key, it installs where the key is; openssl verifies it")
        << QStringList { "corvex" } << update << QByteArray() << QStringList { "--key" } << true;
    QTest::newRow("a new key, its owner's only, signs; the line printed installs it")
        << QStringList { "corvex" } << update << QByteArray() << QStringList { "--new-key" }
        << true;
    QTest::newRow("a new key is never written over a file")
        << QStringList { "corvex" } << update << QByteArray()
        << QStringList { "--new-key", "taken" } << false;
    QTest::newRow("a device name is refused")
        << QStringList { "corvex", "nul.txt" } << update << QByteArray() << QStringList() << false;
    QTest::newRow("a reserved name, the signature's, is refused")
        << QStringList { "corvex", "lib/UpdateList.xml.sig" } << update << QByteArray()
        << QStringList() << false;
    QTest::newRow("names that differ only in Unicode case are refused")
        << QStringList { "corvex", "lib/\u00c4.dat", "lib/\u00e4.dat" } << update << QByteArray()
        << QStringList() << false;
    QTest::newRow("an update address without a trailing slash is refused")
        << QStringList { "corvex" } << u"/update"_s << QByteArray() << QStringList() << false;
    QTest::newRow("a version not newer than the folder's is refused")
        << QStringList { "corvex" } << update << QByteArray("3.0") << QStringList() << false;
    QTest::newRow("--force publishes an older version")
        << QStringList { "corvex" } << update << QByteArray("3.0") << QStringList { "--force" }
        << true;
}

void tst_Updater::releaseTool()
{
    QFETCH(QStringList, sources);
    QFETCH(QString, updatePath);
    QFETCH(QByteArray, current);
    QFETCH(QStringList, options);
    QFETCH(bool, published);

    Fixture f;
    QVERIFY(f.setUp("1.0"));
    const QString base = f.server.url().toString();
    const QString keyPath = f.dir.filePath(u"key.pem"_s);
    QByteArray publicKey;
    if (options.value(0) == "--key"_L1) {
        publicKey = opensslKey(f.dir.path()).publicKey;
        QVERIFY(!publicKey.isEmpty());
    }
    if (options.value(1) == "taken"_L1)
        QVERIFY(f.write(u"key.pem"_s, "a file of its own"));
    if (options.size() == 2 || options.value(0).endsWith("key"_L1))
        options = { options.first(), keyPath };
    if (!current.isEmpty())
        QVERIFY(QDir().mkpath(f.dir.filePath(u"out"_s))
            && f.write(u"out/UpdateList.xml"_s, f.list(current, {})));
    QStringList arguments = options
        + QStringList { u"--login-url"_s, base, u"--server-url"_s, base, u"--update-url"_s,
              f.server.url(updatePath).toString(), u"2.0"_s, f.dir.filePath(u"out"_s) };
    const auto content
        = [](const QString &source) { return source == "corvex"_L1 ? newClient : source.toUtf8(); };
    for (const QString &source : sources) {
        const QString given = f.dir.filePath(u"in/"_s + source.section(u'/', 0, 0));
        QVERIFY(QDir().mkpath(f.dir.filePath(u"in/"_s + QFileInfo(source).path()))
            && f.write(u"in/"_s + source, content(source), source.contains("run-"_L1)));
        if (!arguments.contains(given))
            arguments << given;
    }
    QProcess tool;
    tool.start(QStringLiteral(MAKE_RELEASE_PATH), arguments);
    QVERIFY(tool.waitForFinished(10000));
    QCOMPARE(tool.exitCode() == 0, published);
    const QByteArray list = f.read(u"out/UpdateList.xml"_s);
    QCOMPARE(list.contains("<Version>2.0</Version>"), published);
    if (options.value(1) == keyPath && !publicKey.isEmpty()) {
        QVERIFY(f.write(u"sig.bin"_s,
            QByteArray::fromBase64(
                f.read(u"out/UpdateList.xml.sig"_s), QByteArray::AbortOnBase64DecodingErrors)));
        QVERIFY(openssl(f.dir.path(),
            { u"pkey"_s, u"-in"_s, u"key.pem"_s, u"-pubout"_s, u"-out"_s, u"pub.pem"_s }));
        QVERIFY(openssl(f.dir.path(),
            { u"pkeyutl"_s, u"-verify"_s, u"-rawin"_s, u"-pubin"_s, u"-inkey"_s, u"pub.pem"_s,
                u"-sigfile"_s, u"sig.bin"_s, u"-in"_s, u"out/UpdateList.xml"_s }));
    }
    if (options.value(0) == "--new-key"_L1) {
        if (!published) {
            QCOMPARE(f.read(u"key.pem"_s), "a file of its own");
            return;
        }
        QCOMPARE(QFile::permissions(keyPath) & ~(QFile::ReadUser | QFile::WriteUser),
            QFile::ReadOwner | QFile::WriteOwner);
        const QString printed = QString::fromLatin1(tool.readAllStandardOutput());
        publicKey = QByteArray::fromBase64(
            printed.section(u"<PublicKey>"_s, 1, 1).section(u"</PublicKey>"_s, 0, 0).toLatin1());
    }
    if (!published)
        return;
    if (!publicKey.isEmpty())
        QVERIFY(f.write(u"UpdateList.xml"_s, withKey(f.read(u"UpdateList.xml"_s), publicKey)));

    const QDir out(f.dir.filePath(u"out"_s));
    for (const QString &name : out.entryList(QDir::Files | QDir::Hidden))
        f.server.serve("/update/" + QUrl::toPercentEncoding(name), f.read(u"out/"_s + name));
    f.run();
    QVERIFY(f.ended());
    QCOMPARE(
        f.server.requestsFor("/update/UpdateList.xml.sig").size(), publicKey.isEmpty() ? 0 : 1);
    for (const QString &source : sources) {
        const QString name = source.section(u'/', -1);
        QCOMPARE(f.read(name), content(source));
        if (name != "corvex"_L1)
            QCOMPARE(QFileInfo(f.dir.filePath(name)).isExecutable(), name.startsWith("run-"_L1));
    }
    QCOMPARE(f.read(u"UpdateList.xml"_s), list);
}

TAVREL_TEST_MAIN(tst_Updater)
#include "tst_updater.moc"
