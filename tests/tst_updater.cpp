#include "download.h"
#include "installer.h"
#include "mainwindow.h"
#include "programdir.h"
#include "programfolder.h"
#include "releasecheck.h"
#include "testmain.h"
#include "testserver.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

struct File
{
    QByteArray name;
    QByteArray content;
    bool executable = false; // the list marks it as a program
};
using Files = QList<File>;

// Stand-ins record how they were started: the argument count and the working directory.
const QByteArray standIn = "#!/bin/sh\necho \"$# $(pwd)\" > \"$(basename \"$0\")-started\"\n";
const QByteArray newClient = "#!/bin/sh\necho \"new $# $(pwd)\" > corvex-started\n";
const Files release { { "corvex", newClient }, { "engine.dat", "engine of the new version" } };

// A program directory made this process's: stand-in corvex and quillonv3, a program file and the
// installed list, whose update folder on a loopback server publishes the releases; and the
// updater's window run on it.
class Fixture
{
public:
    bool setUp(const QByteArray &localVersion)
    {
        ProgramDir::setPath(dir.path());
        return dir.isValid() && server.start() && dir.write(u"corvex"_s, standIn, true)
            && dir.write(u"quillonv3"_s, standIn, true)
            && dir.write(u"engine.dat"_s, "engine of the installed version")
            && dir.writeList(server, localVersion);
    }

    QByteArray publish(const QByteArray &version, const Files &files)
    {
        QByteArray entries;
        for (const File &file : files) {
            server.serve("/update/" + QUrl::toPercentEncoding(QString::fromUtf8(file.name)),
                file.content, "application/octet-stream");
            entries += "<File Name=\"" + file.name + "\" Sha256=\""
                + QCryptographicHash::hash(file.content, QCryptographicHash::Sha256).toHex()
                + "\" Size=\"" + QByteArray::number(file.content.size())
                + (file.executable ? "\" Executable=\"yes\"/>\n" : "\"/>\n");
        }
        const QByteArray list = ProgramFolder::list(server, version, entries);
        server.serve("/update/UpdateList.xml", list, "application/xml");
        return list;
    }

    // How the program was started ("0 DIR": without arguments in the program directory), empty
    // if it was not. A detached start returns once the program runs, in the program directory
    // like every stand-in, so once no process works there every start is on record.
    QByteArray started(const QString &program) const
    {
        const QString here = QDir(dir.path()).canonicalPath();
        const bool settled = QTest::qWaitFor([&here] {
            const QStringList processes = QDir(u"/proc"_s).entryList(QDir::Dirs);
            return std::none_of(processes.begin(), processes.end(), [&here](const QString &pid) {
                return QFileInfo(u"/proc/%1/cwd"_s.arg(pid)).symLinkTarget() == here;
            });
        });
        return settled ? dir.read(program + u"-started"_s).trimmed().replace(here.toUtf8(), "DIR")
                       : "still running";
    }

    // Starts a run of the updater's window with short test seams, in place of an earlier one.
    Installer *run()
    {
        window = std::make_unique<MainWindow>();
        done = std::make_unique<QSignalSpy>(window.get(), &MainWindow::done);
        statuses = 0;
        window->setStallTimeout(1000);
        window->installer()->setRetryDelay(200);
        QObject::connect(
            window.get(), &MainWindow::statusChanged, window.get(), [this] { ++statuses; });
        return window->installer();
    }

    // The run ended with exit code 0.
    bool ended() const
    {
        return (done->size() == 1 || done->wait(10000)) && done->first().first().toInt() == 0;
    }
    // The run failed: begun, it offers to try again.
    bool failed() const
    {
        return QTest::qWaitFor([this] { return statuses > 0 && button(u"重试"_s); }, 10000);
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

    ProgramFolder dir;
    TestServer server;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<QSignalSpy> done;
    int statuses = 0;
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
    void releaseTool_data();
    void releaseTool();
};

void tst_Updater::run_data()
{
    QTest::addColumn<QByteArray>("local");
    QTest::addColumn<QByteArray>("server");
    QTest::addColumn<Files>("files");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("started");

    QTest::newRow("equal versions")
        << QByteArray("1.0.0.1") << QByteArray("1.0.0.1") << release << QString() << u"quillonv3"_s;
    QTest::newRow("1.10 is newer than 1.9: a program, a name with a blank and # installed")
        << QByteArray("1.9") << QByteArray("1.10")
        << Files { { "corvex", newClient }, { "helper", standIn, true },
               { "plug in #2.dat", "a new plug-in" } }
        << QString() << u"corvex"_s;
    QTest::newRow("list cut off after a newer Version")
        << QByteArray("1.0") << QByteArray("2.0") << release << u"cut off"_s << u"quillonv3"_s;
    QTest::newRow("an earlier run killed after its commit: its new version kept")
        << QByteArray("1.0") << QByteArray("2.0") << release << u"killed"_s << u"quillonv3"_s;
    QTest::newRow("an old file busy for a moment: moved on a later try")
        << QByteArray("1.0") << QByteArray("2.0") << release << u"busy"_s << u"corvex"_s;
}

// An update when the server's version is newer, quillonv3 started otherwise.
void tst_Updater::run()
{
    QFETCH(QByteArray, local);
    QFETCH(QByteArray, server);
    QFETCH(Files, files);
    QFETCH(QString, fault);
    QFETCH(QString, started);

    Fixture f;
    QVERIFY(f.setUp(local));
    QVERIFY(f.dir.write(u"temp/stale.dll"_s, "left by an earlier run"));
    TestServer::Response list;
    list.contentType = "application/xml";
    list.body = f.publish(server, files);
    if (fault == "killed"_L1) {
        // Stopped dead at point 15, after the commit record, as a kill would stop it.
        f.run()->setStepHook([](int at) { return at != 15; });
        QVERIFY(QTest::qWaitFor([&f] { return QFileInfo::exists(f.journal()); }));
    }
    if (fault == "cut off"_L1) {
        list.announceLength = false;
        list.body.truncate(list.body.indexOf("</Version>") + 10);
    }
    f.server.serve("/update/UpdateList.xml", list);
    // Something holds the engine's backup name for a while, so the old engine cannot be moved
    // aside at first.
    const QString backup = f.dir.filePath(u"temp/install-backup/engine.dat"_s);
    if (fault == "busy"_L1)
        QObject::connect(&f.server, &TestServer::requestReceived, &f.server,
            [&backup](const TestServer::Request &) { QDir().mkpath(backup); });

    f.run();
    // A client started again meanwhile hands over once more: that updater leaves the folder to
    // this one, asking and starting nothing.
    MainWindow second;
    QSignalSpy secondDone(&second, &MainWindow::done);
    if (fault == "busy"_L1) {
        QVERIFY(QTest::qWaitFor([&f] { return QFileInfo::exists(f.journal()); }));
        QVERIFY(QDir().rmdir(backup));
    }
    QVERIFY(f.ended());
    QCOMPARE(secondDone.size(), 1);
    const bool updated = started == "corvex"_L1;
    QCOMPARE(f.started(started), updated ? "new 0 DIR" : "0 DIR");
    QCOMPARE(f.started(updated ? u"quillonv3"_s : u"corvex"_s), "");
    QVERIFY(!f.leftover());
    QVERIFY(!QFileInfo::exists(f.dir.filePath(u"temp/stale.dll"_s)));
    // A new program runs, in the program directory like every stand-in.
    const auto runs = [&f](const QString &name) {
        QProcess program;
        program.setWorkingDirectory(f.dir.path());
        program.start(f.dir.filePath(name), {});
        return program.waitForFinished(10000) && program.exitCode() == 0;
    };
    for (const File &file : files) {
        const QString name = QString::fromUtf8(file.name);
        QCOMPARE(f.dir.read(name) == file.content, updated || fault == "killed"_L1);
        QVERIFY(!updated || !file.executable || runs(name));
    }
    QCOMPARE(f.dir.read(u"UpdateList.xml"_s) == list.body, updated || fault == "killed"_L1);
}

void tst_Updater::failure_data()
{
    QTest::addColumn<QString>("fault"); // of the engine or the release
    QTest::addColumn<QString>("then"); // the button the user clicks afterwards, if any

    QTest::newRow("file answered 404; not now: the client passes this version once")
        << u"404"_s << u"暂不更新"_s;
    QTest::newRow("file answered 404; try again once the server is mended")
        << u"404"_s << u"重试"_s;
    QTest::newRow("an HTML page with 200 instead of the file: its Sha256 tells")
        << u"HTML page"_s << QString();
    QTest::newRow("temp a link to a folder outside: nothing made there, not even the lock")
        << u"temp link"_s << QString();
    QTest::newRow("a name with ../: refused before any download") << u"../x"_s << QString();
    QTest::newRow("a release larger than the free space") << u"no space"_s << QString();
}

// A failed update changes nothing and offers to try again or to go on with this version.
void tst_Updater::failure()
{
    QFETCH(QString, fault);
    QFETCH(QString, then);

    Fixture f;
    QVERIFY(f.setUp("1.0"));
    QByteArray list
        = f.publish("2.0", fault == "../x"_L1 ? release + Files { { "../x", "x" } } : release);
    if (fault == "no space"_L1)
        f.server.serve("/update/UpdateList.xml",
            list.replace("Size=\"25\"", "Size=\"100000000000000000\""), "application/xml");
    QTemporaryDir outside;
    QVERIFY(fault != "temp link"_L1 || QFile::link(outside.path(), f.dir.filePath(u"temp"_s)));
    const QMap<QString, QByteArray> before = f.dir.files(false);
    TestServer::Response engine;
    // As long as the file, so only its checksum can tell.
    engine.body = fault == "HTML page"_L1
        ? QByteArray("<html>busy</html>").leftJustified(release.last().content.size())
        : release.last().content;
    engine.status = fault == "404"_L1 ? 404 : 200;
    f.server.serve("/update/engine.dat", engine);

    f.run();
    QVERIFY(f.failed() && f.button(u"暂不更新"_s));
    QCOMPARE(f.server.requestsFor("/update/engine.dat").size(),
        fault == "404"_L1 || fault == "HTML page"_L1 ? 1 : 0);
    QCOMPARE(QDir(outside.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList());
    QCOMPARE(f.dir.files(false), before);
    QVERIFY(!f.leftover());
    QCOMPARE(f.started(u"corvex"_s), "");
    QCOMPARE(f.started(u"quillonv3"_s), "");
    if (then.isEmpty())
        return;

    const bool tryAgain = then == u"重试"_s;
    if (tryAgain)
        f.publish("2.0", release);
    f.button(then)->click();
    QVERIFY(f.ended());
    QCOMPARE(f.started(u"corvex"_s), tryAgain ? "new 0 DIR" : "0 DIR");
    QCOMPARE(tryAgain ? f.dir.read(u"engine.dat"_s) : f.dir.read(u"temp/skip-version"_s),
        tryAgain ? release.last().content : "2.0");
}

void tst_Updater::travel_data()
{
    QTest::addColumn<QByteArray>("installed"); // the engine in the program directory
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QList<QByteArray>>("ranges"); // of the requests for the engine, in order

    const QByteArray engine = release.last().content;
    const QByteArray half = "bytes=" + QByteArray::number(engine.size() / 2) + '-';
    QTest::newRow("unchanged file not requested") << engine << "" << QList<QByteArray>();
    QTest::newRow("right size, wrong content: replaced")
        << QByteArray(engine.size(), 'x') << "" << QList<QByteArray> { "" };
    QTest::newRow("cut at 50 %, the rest by 206 on 重试")
        << QByteArray() << "cut" << QList<QByteArray> { "", half };
    QTest::newRow("cut, 200 to the range: started over")
        << QByteArray() << "cut, 200" << QList<QByteArray> { "", half };
    QTest::newRow("cut, 206 with another Content-Range: started over")
        << QByteArray() << "cut, skewed" << QList<QByteArray> { "", half, "" };
    QTest::newRow("partial file of another release dropped")
        << QByteArray() << "other release" << QList<QByteArray> { "" };
    QTest::newRow("partial file older than the installed list dropped")
        << QByteArray() << "older" << QList<QByteArray> { "" };
}

// Only what is not installed travels; what broke off is continued, and only where it matches.
void tst_Updater::travel()
{
    QFETCH(QByteArray, installed);
    QFETCH(QString, fault);
    QFETCH(QList<QByteArray>, ranges);

    Fixture f;
    QVERIFY(f.setUp("1.0"));
    QVERIFY(installed.isNull() || f.dir.write(u"engine.dat"_s, installed));
    f.publish("2.0", release);
    const QByteArray engine = release.last().content;
    if (fault == "other release"_L1 || fault == "older"_L1) {
        const QByteArray sha = QCryptographicHash::hash(
            fault == "older"_L1 ? engine : engine + "2", QCryptographicHash::Sha256)
                                   .toHex();
        const QString partial = u"temp/partial/"_s + QString::fromLatin1(sha);
        QVERIFY(f.dir.write(partial, engine.left(engine.size() / 2))
            && f.dir.write(partial + Download::validatorSuffix, "\"v1\""));
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
        QVERIFY(f.failed());
        answer.dropAfter = -1;
        answer.ranges = fault != "cut, 200"_L1;
        answer.rangeSkew = fault == "cut, skewed"_L1 ? 1 : 0;
        f.server.serve("/update/engine.dat", answer);
        f.button(u"重试"_s)->click();
    }
    QVERIFY(f.ended());
    QCOMPARE(f.started(u"corvex"_s), "new 0 DIR");
    QCOMPARE(f.dir.read(u"engine.dat"_s), engine);
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
    for (const QString &name : { u"../x"_s, u"a\\b"_s, u""_s, u".."_s, u"C:x"_s, u"a\nb"_s,
             u"corvex."_s, u"corvex "_s, u"nul.txt"_s, u"PRN .txt"_s, u"COM\u00b9"_s, u"conout$"_s,
             u"a\u0085b"_s, u"x"_s + QChar(0xd800), u"updatelist.XML"_s, u"install-journal"_s,
             u"Cache"_s, u"UpdateList.xml.sig"_s })
        QTest::addRow("refused name \"%s\"", qPrintable(name))
            << QList<UpdateList::FileEntry> { { name, {}, {}, {} } } << false;
    row("two names the same in case folding", false, { u"\u00c4.dat"_s, u"\u00e4.dat"_s });
    row("two names the same after NFC", false, { u"caf\u00e9"_s, u"cafe\u0301"_s });
    row("Sha256 of 63 digits", false, { u"a"_s }, hash.left(63));
    row("Sha256 not hexadecimal", false, { u"a"_s }, hash.left(63) + u'g');
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

void tst_Updater::releaseTool_data()
{
    QTest::addColumn<QStringList>("sources"); // files; those in a folder are given by the folder
    QTest::addColumn<QString>("updatePath");
    QTest::addColumn<QByteArray>("current"); // the version of the folder's list, if it has one
    QTest::addColumn<QString>("newKey"); // --new-key: "new", or "taken" when the file is there
    QTest::addColumn<bool>("published");

    const QStringList one { u"corvex"_s };
    // Files named run-* are programs in the source.
    QTest::newRow("a release the tool made is installed, its programs executable")
        << QStringList { "corvex", "lib/engine.dat", "lib/run-tool" } << u"/update/"_s
        << QByteArray() << QString() << true;
    QTest::newRow("a new key, its owner's only, signs; the line printed installs the release")
        << one << u"/update/"_s << QByteArray() << u"new"_s << true;
    QTest::newRow("a new key is never written over a file")
        << one << u"/update/"_s << QByteArray() << u"taken"_s << false;
    QTest::newRow("an update address without a trailing slash is refused")
        << one << u"/update"_s << QByteArray() << QString() << false;
    QTest::newRow("a version not newer than the folder's is refused")
        << one << u"/update/"_s << QByteArray("3.0") << QString() << false;
}

void tst_Updater::releaseTool()
{
    QFETCH(QStringList, sources);
    QFETCH(QString, updatePath);
    QFETCH(QByteArray, current);
    QFETCH(QString, newKey);
    QFETCH(bool, published);

    Fixture f;
    QVERIFY(f.setUp("1.0"));
    const QString base = f.server.url().toString();
    const QString keyPath = f.dir.filePath(u"key.pem"_s);
    QVERIFY(newKey != "taken"_L1 || f.dir.write(u"key.pem"_s, "a file of its own"));
    QVERIFY(current.isEmpty()
        || f.dir.write(u"out/UpdateList.xml"_s, ProgramFolder::list(f.server, current)));
    QStringList arguments { u"--login-url"_s, base, u"--server-url"_s, base, u"--update-url"_s,
        f.server.url(updatePath).toString(), u"2.0"_s, f.dir.filePath(u"out"_s) };
    if (!newKey.isEmpty())
        arguments = QStringList { u"--new-key"_s, keyPath } + arguments;
    const auto content
        = [](const QString &source) { return source == "corvex"_L1 ? newClient : source.toUtf8(); };
    for (const QString &source : sources) {
        QVERIFY(f.dir.write(u"in/"_s + source, content(source), source.contains("run-"_L1)));
        const QString given = f.dir.filePath(u"in/"_s + source.section(u'/', 0, 0));
        if (!arguments.contains(given))
            arguments << given;
    }
    QProcess tool;
    tool.start(QStringLiteral(MAKE_RELEASE_PATH), arguments);
    QVERIFY(tool.waitForFinished(10000));
    QCOMPARE(tool.exitCode() == 0, published);
    const QByteArray list = f.dir.read(u"out/UpdateList.xml"_s);
    QCOMPARE(list.contains("<Version>2.0</Version>"), published);
    QVERIFY(newKey != "taken"_L1 || f.dir.read(u"key.pem"_s) == "a file of its own");
    if (!published)
        return;
    if (!newKey.isEmpty()) {
        QCOMPARE(QFile::permissions(keyPath) & ~(QFile::ReadUser | QFile::WriteUser),
            QFile::ReadOwner | QFile::WriteOwner);
        // The installation takes the key the tool printed.
        QVERIFY(f.dir.writeList(f.server, "1.0", tool.readAllStandardOutput().split('\n').first()));
    }

    for (const QString &name : QDir(f.dir.filePath(u"out"_s)).entryList(QDir::Files))
        f.server.serve("/update/" + QUrl::toPercentEncoding(name), f.dir.read(u"out/"_s + name));
    f.run();
    QVERIFY(f.ended());
    QCOMPARE(f.server.requestsFor("/update/UpdateList.xml.sig").size(), newKey.isEmpty() ? 0 : 1);
    for (const QString &source : sources) {
        const QString name = source.section(u'/', -1);
        QCOMPARE(f.dir.read(name), content(source));
        QCOMPARE(QFileInfo(f.dir.filePath(name)).isExecutable(), name != "engine.dat"_L1);
    }
    QCOMPARE(f.dir.read(u"UpdateList.xml"_s), list);
}

TAVREL_TEST_MAIN(tst_Updater)
#include "tst_updater.moc"
