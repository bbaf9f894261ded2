#include "boxanswerer.h"
#include "crypto.h"
#include "download.h"
#include "installer.h"
#include "logins.h"
#include "mainwindow.h"
#include "programdir.h"
#include "programfolder.h"
#include "release.h"
#include "releasecheck.h"
#include "releasefolder.h"
#include "serverlist.h"
#include "testmain.h"
#include "testserver.h"

#include <QLabel>
#include <QLockFile>
#include <QNetworkProxy>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>

#include <csignal>
#include <fstream>
#include <sys/prctl.h>

using namespace Qt::StringLiterals;

namespace {

// A release's files by name; the list marks a script as a program.
using Files = QMap<QByteArray, QByteArray>;

// Stand-ins record their argument count in their working directory.
const QByteArray standIn = "#!/bin/sh\necho $# > \"$(basename \"$0\")-started\"\n";
// A new client confirms its release as the real one does; a failing one ends or sleeps windowless.
const QByteArray newClient = "#!/bin/sh\necho new $# > corvex-started\nrm temp/unconfirmed\n";
const QByteArray endingClient = "#!/bin/sh\nexit 1\n";
const QByteArray sleepingClient = "#!/bin/sh\necho $$ > sleeper-started\nexec sleep 60\n";
const QByteArray installedEngine = "engine of the installed version";
const QByteArray newEngine = "engine of the new version";
const Files release { { "corvex", newClient }, { "engine.dat", newEngine } };

QByteArray publish(TestServer &server, const Files &files)
{
    QByteArray entries;
    for (const auto &[name, bytes] : files.asKeyValueRange()) {
        server.serve("/update/" + QUrl::toPercentEncoding(QString::fromUtf8(name)), bytes,
            "application/octet-stream");
        entries += "<File Name=\"" + name + "\" Sha256=\"" + Crypto::sha256(bytes).toHex()
            + "\" Size=\"" + QByteArray::number(bytes.size())
            + (bytes.startsWith("#!") ? "\" Executable=\"yes\"/>\n" : "\"/>\n");
    }
    const QByteArray list = ProgramFolder::list(server, "2.0", entries);
    server.serve("/update/UpdateList.xml", list, "application/xml");
    return list;
}

// How the program was started ("0": without arguments) once recorded; empty if it was not.
QByteArray startRecord(const ProgramFolder &dir, const QString &program)
{
    const QString record = program + u"-started"_s;
    return QTest::qWaitFor([&] { return dir.read(record).endsWith('\n'); })
        ? dir.read(record).trimmed()
        : QByteArray();
}

} // namespace

class tst_Updater : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void update_data();
    void update();
    void names_data();
    void names();
    void releaseTool_data();
    void releaseTool();
    void releaseStopped();
};

void tst_Updater::update_data()
{
    QTest::addColumn<Files>("files");
    QTest::addColumn<QString>("fault"); // of the server, the release or an earlier run
    QTest::addColumn<QString>("then"); // once the run failed: the button clicked, or "nothing"
    QTest::addColumn<QString>("started"); // at the end; "new corvex" once the update is in

    const auto row = [](const char *name, const char *fault, const char *then, const char *started,
                         const Files &files = release) {
        QTest::newRow(name) << files << QString::fromUtf8(fault) << QString::fromUtf8(then)
                            << QString::fromUtf8(started);
    };
    // quillonv3 is installed already; the engine only as long as it.
    row("a program, a name with a blank and #; only what changed travels", "", "", "new corvex",
        { { "corvex", newClient }, { "helper", standIn }, { "plug in #2.dat", "a new plug-in" },
            { "quillonv3", standIn },
            { "engine.dat", QByteArray(installedEngine).replace("installed", "following") } });
    row("list cut off after a newer Version", "cut off", "", "quillonv3");
    row("a newer list with an unescaped & after its Version", "unescaped &", "", "quillonv3");
    row("a newer list that expired", "expired", "", "quillonv3");
    row("the version rolled back here once", "rolled back", "", "quillonv3");
    row("what the release brings: the window grows to show it", "notes", "", "new corvex");
    row("a client started during a slow download: it leaves", "client meanwhile", "", "new corvex");
    row("a list signed by another key than the installed one", "forged", "", "quillonv3");
    row("an earlier run killed after its commit: its version kept", "killed", "", "quillonv3");
    row("an old file busy for a moment: moved on a later try", "busy", "", "new corvex");
    row("a download broken off: the next try asks for the rest, If-Range", "resumed", "重试",
        "new corvex");
    row("a file changed since a download broke off: anew", "resumed changed", "重试", "new corvex");
    row("file answered 404; put off: this version passed once", "404", "暂不更新", "corvex");
    row("an HTML page instead of the file; tried again", "HTML page", "重试", "new corvex");
    row("temp a link to a folder outside: nothing made there", "temp link", "nothing", "");
    row("install-journal a link to nowhere: the recovery refuses", "journal link", "nothing", "");
    row("a link among the backups: the recovery refuses", "backup link", "nothing", "");
    row("a backup whose name is not UTF-8: refused", "backup not UTF-8", "nothing", "");
    row("a name with ../: refused before any download", "", "nothing", "",
        { { "corvex", newClient }, { "engine.dat", newEngine }, { "../x", "x" } });
    row("the disk fills up during the download", "disk fills", "nothing", "");
    row("a release larger than the free space, a file without Size", "no space", "nothing", "");
    row("a file without Size announced longer than 1 GiB", "over the cap", "nothing", "");
    row("a new client that ends at once: the old release back, its version bad", "", "", "corvex",
        { { "corvex", endingClient }, { "engine.dat", newEngine }, { "added.dat", "new" } });
    row("a new client that cannot be started: the old release back", "", "", "corvex",
        { { "corvex", "#!/nowhere/sh\n" }, { "engine.dat", newEngine } });
    // The old record of a rolled-back version a link to quillonv3, not written through.
    row("a new client without a window in time: ended, the old release back", "no window", "",
        "corvex", { { "corvex", sleepingClient }, { "engine.dat", newEngine } });
    row("an updater killed during the trial: the release stands", "killed waiting", "", "quillonv3",
        { { "corvex", sleepingClient }, { "engine.dat", newEngine } });
    row("install-previous a link to the program directory", "previous link", "nothing", "");
    row("behind a proxy that asks for a login: asked once", "proxy", "", "new corvex");
}

// An update to a newer version, else quillonv3 started; a failed one changes nothing.
void tst_Updater::update()
{
    QFETCH(Files, files);
    QFETCH(QString, fault);
    QFETCH(QString, then);
    QFETCH(QString, started);

    // Detached programs come to this process when they end and stay zombies, as nothing reaps them.
    QCOMPARE(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    ProgramFolder dir;
    TestServer server;
    ProgramDir::setPath(dir.path());
    const QByteArray installedKey = fault == "forged"_L1
        ? "<PublicKey>" + Crypto::newKeyPair().publicKey.toBase64() + "</PublicKey>"
        : QByteArray();
    QVERIFY(server.start() && dir.write(u"corvex"_s, standIn, true)
        && dir.write(u"quillonv3"_s, standIn, true) && dir.write(u"engine.dat"_s, installedEngine)
        && dir.writeList(server, "1.0", installedKey));
    // The server is the proxy too; Qt sends nothing for a loopback address through a proxy.
    if (fault == "proxy"_L1) {
        QVERIFY(dir.write(u"UpdateList.xml"_s,
            dir.read(u"UpdateList.xml"_s)
                .replace(server.url().toEncoded(), "http://proxied.invalid/")));
        server.setProxyLogin("pat:pw");
        QNetworkProxy::setApplicationProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, u"127.0.0.1"_s, quint16(server.url().port())));
        Logins::answerProxiesForDownloads();
    }
    const QString temp = dir.filePath(u"temp/"_s);
    const bool small = fault == "disk fills"_L1;
    const auto cleanUp = qScopeGuard([&] {
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        Download::setProxyLogin({});
        if (small)
            ProgramFolder::unmount(temp);
    });
    BoxAnswerer answerer;
    answerer.logins = { "pat:pw" };
    QTemporaryDir outside;
    // Partials an update drops: of another release, and of this one older than the list.
    const bool updated = started.startsWith("new "_L1);
    const QString ours
        = u"temp/partial/"_s + QString::fromLatin1(Crypto::sha256(newEngine).toHex());
    QFile old(dir.filePath(ours));
    QVERIFY(fault == "temp link"_L1 ? QFile::link(outside.path(), temp.chopped(1))
                                    : dir.write(u"temp/stale.dll"_s, "left by an earlier run")
                && dir.write(u"temp/bad-version"_s, "1.5")
                && (!updated
                    || (dir.write(u"temp/partial/other"_s, "other") && dir.write(ours, "engine")
                        && dir.write(ours + Download::validatorSuffix, "1")
                        && old.open(QIODevice::ReadWrite)
                        && old.setFileTime(QDateTime::currentDateTime().addDays(-1),
                            QFileDevice::FileModificationTime))));
    const QMap<QString, QByteArray> before = dir.files(false);
    QVERIFY(fault != "previous link"_L1 || QFile::link(dir.path(), temp + u"install-previous"_s));
    QVERIFY(fault != "no window"_L1
        || (QFile::remove(temp + u"bad-version"_s)
            && QFile::link(dir.filePath(u"quillonv3"_s), temp + u"bad-version"_s)));
    QVERIFY(fault != "journal link"_L1 || QFile::link(u"nowhere"_s, temp + u"install-journal"_s));
    QVERIFY(!fault.startsWith("backup"_L1) || QDir(temp).mkdir(u"install-backup"_s));
    QVERIFY(fault != "backup not UTF-8"_L1
        || std::ofstream((QFile::encodeName(temp) + "install-backup/\xff.dat").toStdString()));
    QVERIFY(fault != "backup link"_L1
        || QFile::link(dir.filePath(u"quillonv3"_s), temp + u"install-backup/engine.dat"_s));
    TestServer::Response list;
    list.body = publish(server, files);
    server.serve("/update/UpdateList.xml.sig",
        Crypto::sign(Crypto::newKeyPair().privateKeyPem, list.body).toBase64());
    const auto installing = [](const MainWindow &run) {
        return QTest::qWaitFor(
            [&run] { return QFileInfo::exists(run.installer()->journalPath()); });
    };
    if (fault.startsWith("killed"_L1)) {
        // Killed after the commit record (point 15), or with its client while it is on trial.
        MainWindow killed;
        killed.installer()->setStepHook([&fault](int at) { return at != 15 || fault != "killed"; });
        const QByteArray sleeper = fault == "killed"_L1 ? "" : startRecord(dir, u"sleeper"_s);
        QVERIFY(sleeper.isEmpty() ? installing(killed) : ::kill(sleeper.toInt(), SIGKILL) == 0);
    }
    list.body = ProgramFolder::spoiled(list.body, fault);
    const QByteArray notes = "新功能\n修复";
    const QMap<QString, QByteArray> steered { { u"notes"_s, "<Notes>" + notes + "</Notes>" },
        { u"expired"_s, "<Expires>2000-01-01T00:00:00Z</Expires>" } };
    list.body.replace("</Version>", "</Version>" + steered.value(fault));
    QVERIFY(fault != "rolled back"_L1 || dir.write(u"temp/bad-version"_s, "2.0"));
    if (fault == "no space"_L1)
        list.body.replace("Size=\"25\"", "Size=\"100000000000000000\"");
    if (fault == "no space"_L1 || fault == "over the cap"_L1)
        list.body.replace(" Size=\"" + QByteArray::number(newClient.size()) + '"', "");
    server.serve("/update/UpdateList.xml", list);
    // Served otherwise: HTML as long as the engine, a slow or cut engine, a client over 1 GiB.
    const bool resumed = fault.startsWith("resumed"_L1);
    const bool endless = fault == "over the cap"_L1;
    TestServer::Response odd;
    odd.status = fault == "404"_L1 ? 404 : 200;
    odd.body = fault == "404"_L1 || fault == "HTML page"_L1
        ? QByteArray("<html>busy</html>").leftJustified(25)
        : (endless ? newClient : (fault.endsWith("changed"_L1) ? newEngine.toUpper() : newEngine));
    odd.trickleMs = fault == "client meanwhile"_L1 ? 40 : 0;
    odd.ranges = resumed;
    odd.dropAfter = resumed ? 10 : -1;
    odd.announceLength = !endless;
    odd.silentAfter = endless ? 10 : -1;
    if (resumed || endless)
        odd.headers << (endless ? "Content-Length: 1073741825" : "ETag: \"1\"");
    if (resumed || odd.body != newEngine || odd.trickleMs > 0)
        server.serve(endless ? "/update/corvex" : "/update/engine.dat", odd);
    // Something holds the engine's backup name for a while: the old engine cannot move at first.
    const QString backup = temp + u"install-backup/engine.dat"_s;
    if (fault == "busy"_L1)
        QObject::connect(&server, &TestServer::requestReceived, &server,
            [&backup](const TestServer::Request &) { QDir().mkpath(backup); });

    // temp/ on a file system of its own, which something else fills once the engine is asked for.
    if (small && !ProgramFolder::mountSmall(temp))
        QSKIP("a small file system needs mount, as root");
    if (small)
        QObject::connect(&server, &TestServer::requestReceived, &server,
            [&temp](const TestServer::Request &request) {
                QFile filler(temp + u"filler"_s);
                if (request.path.endsWith("engine.dat") && filler.open(QIODevice::WriteOnly))
                    while (filler.write(QByteArray(64 * 1024, 'f')) > 0 && filler.flush()) { }
            });
    MainWindow window;
    if (fault == "no window"_L1)
        window.setConfirmTimeout(2000);
    QSignalSpy done(&window, &MainWindow::done);
    // An updater started again meanwhile leaves the folder to this one, starting nothing.
    MainWindow second;
    QSignalSpy secondDone(&second, &MainWindow::done);
    QVERIFY(fault != "busy"_L1 || (installing(window) && QDir().rmdir(backup)));
    if (fault == "client meanwhile"_L1) {
        // The client started while the engine trickles in leaves it alone, fetching no new list.
        QVERIFY(
            QTest::qWaitFor([&] { return !server.requestsFor("/update/engine.dat").isEmpty(); }));
        server.serve("/update/UpdateList.xml", QByteArray(list.body).replace("2.0", "3.0"));
        QProcess client;
        QVERIFY(QFile::copy(QStringLiteral(CORVEX_PATH), dir.filePath(u"client"_s)));
        client.start(dir.filePath(u"client"_s));
        QVERIFY(client.waitForFinished(30000) && client.exitCode() == 0);
        QCOMPARE(server.requestsFor("/update/UpdateList.xml").size(), 1);
    }
    if (!then.isEmpty()) {
        const auto *bar = window.findChild<QProgressBar *>();
        QVERIFY(QTest::qWaitFor([&] { return !bar->isVisibleTo(&window); }, 10000));
        QCOMPARE(server.requestsFor("/update/engine.dat").size(),
            fault == "404"_L1 || fault == "HTML page"_L1 || small || resumed ? 1 : 0);
        QCOMPARE(window.findChild<QLabel *>()->text().contains(u"磁盘空间不足"_s),
            small || fault == "no space"_L1);
        QVERIFY(QDir(outside.path()).isEmpty());
        QCOMPARE(dir.files(false), before);
        if (then == "nothing"_L1)
            return;
        publish(server, release); // the server mended meanwhile; what came of a file is kept
        odd.body = newEngine;
        odd.headers = { fault.endsWith("changed"_L1) ? "ETag: \"2\"" : "ETag: \"1\"" };
        odd.dropAfter = -1;
        if (resumed)
            server.serve("/update/engine.dat", odd);
        for (QPushButton *button : window.findChildren<QPushButton *>()) {
            if (button->text() == then)
                button->click();
        }
    }
    const auto *label = window.findChild<QLabel *>();
    QVERIFY(fault != "no window"_L1
        || QTest::qWaitFor([label] { return label->text() == u"正在确认新版本…"_s; }));
    QVERIFY(!done.isEmpty() || done.wait(10000));
    QCOMPARE(secondDone.size(), 1);
    // A client without a window is ended.
    const QByteArray sleeper = dir.read(u"sleeper-started"_s).trimmed();
    QFile stat(u"/proc/"_s + QString::fromLatin1(sleeper) + u"/stat"_s);
    QVERIFY(
        sleeper.isEmpty() || !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z "));
    QMap<QString, QByteArray> after = dir.files(false);
    after.removeIf([](const auto &file) { return file.key().endsWith(u"-started"_s); });
    const bool recorded = (started == "corvex"_L1 && then.isEmpty()) || fault == "rolled back"_L1;
    const bool changed = updated || fault.startsWith("killed"_L1);
    QCOMPARE(after == before, !changed);
    QCOMPARE(dir.read(u"temp/bad-version"_s), recorded ? "2.0" : "1.5");
    QCOMPARE(startRecord(dir, started.section(u' ', -1)), updated ? "new 0" : "0");
    QCOMPARE(dir.read(u"temp/skip-version"_s), then == u"暂不更新"_s ? "2.0" : "");
    QStringList left = dir.files().keys().filter(u"temp/"_s);
    left.removeOne(u"temp/UpdateList.xml"_s);
    left.removeOne(u"temp/bad-version"_s);
    QVERIFY(left.isEmpty() || then == u"暂不更新"_s);
    QByteArray ranges;
    for (const TestServer::Request &request : server.requests())
        ranges += request.header("Range") + request.header("If-Range");
    QCOMPARE(ranges, resumed ? "bytes=10-\"1\"" : "");
    for (const auto &[key, bytes] : files.asKeyValueRange()) {
        const QString name = QString::fromUtf8(key);
        QCOMPARE(dir.read(name) == bytes, changed);
        QCOMPARE(QFileInfo(dir.filePath(name)).isExecutable(), bytes.startsWith("#!"));
        if (updated)
            QCOMPARE(server.requestsFor("/update/" + QUrl::toPercentEncoding(name)).isEmpty(),
                before.value(name) == bytes);
    }
    QCOMPARE(dir.read(u"UpdateList.xml"_s) == list.body, changed);
    QCOMPARE(window.size(), fault == "notes"_L1 ? QSize(420, 260) : QSize(300, 80));
    const auto *shown = window.findChild<QPlainTextEdit *>();
    QCOMPARE(shown->isVisibleTo(&window) ? shown->toPlainText() : QString(),
        fault == "notes"_L1 ? QString::fromUtf8(notes) : QString());
    QCOMPARE(answerer.dialogs,
        fault == "proxy"_L1 ? QStringList(u"代理服务器需要登录"_s) : QStringList());
}

void tst_Updater::names_data()
{
    QTest::addColumn<QList<UpdateList::FileEntry>>("entries");
    QTest::addColumn<bool>("accepted");

    const auto row = [](const QString &name, bool accepted, const QStringList &names,
                         const QString &sha256 = {}, const QString &size = {},
                         const QString &executable = u"yes"_s) {
        QList<UpdateList::FileEntry> entries;
        for (const QString &entry : names)
            entries << UpdateList::FileEntry { entry, sha256, size, executable };
        QTest::newRow(qPrintable(name)) << entries << accepted;
    };
    row(u"ordinary names, a hidden one, blanks, CJK, COM10"_s, true,
        { u"corvex"_s, u".cfg"_s, u"plug in #2.dat"_s, u"不.dat"_s, u"COM10"_s }, QString(64, u'A'),
        u"0"_s);
    for (const QString &name : { u"../x"_s, u"a\\b"_s, u""_s, u"a\nb"_s, u"corvex."_s,
             u"PRN .txt"_s, u"COM\u00b9"_s, u"a\u0085b"_s, u"a\u001fb"_s, u"a*b"_s, u"LPT1.log"_s,
             u"x"_s + QChar(0xd800), u"updatelist.XML"_s, u"UpdateList.xml.sig"_s,
             u"install-added"_s, u"install-discard"_s, u"install-copy.part"_s, u"check"_s,
             u"partial"_s, u"update.lock"_s, u"install-previous"_s, u"unconfirmed"_s })
        row(u"refused name \"%1\""_s.arg(name), false, { name });
    row(u"two names the same in case folding"_s, false, { u"\u00c4.dat"_s, u"\u00e4.dat"_s });
    row(u"Sha256 of 63 digits"_s, false, { u"a"_s }, QString(63, u'a'));
    row(u"negative Size"_s, false, { u"a"_s }, {}, u"-1"_s);
    row(u"Size of 19 digits"_s, false, { u"a"_s }, {}, QString(19, u'1'));
    row(u"Executable other than yes"_s, false, { u"a"_s }, {}, {}, u"YES"_s);
}

// The name and attribute rules of a release, which the release tool shares.
void tst_Updater::names()
{
    QFETCH(QList<UpdateList::FileEntry>, entries);
    QFETCH(bool, accepted);

    QCOMPARE(ReleaseCheck::problem(entries).isEmpty(), accepted);
}

namespace {

// A web site's folder: the tool's update folder site/out beside the owner's own things.
class Site
{
public:
    Site()
    {
        QVERIFY(dir.write(u"in/corvex"_s, "client", true)
            && dir.write(u"in/lib/engine.dat"_s, "engine")
            && dir.write(u"in/lib/run&tool"_s, "tool", true)
            && dir.write(u"site/keep.txt"_s, "the owner's") && dir.write(u"site/out.old/x"_s, "x"));
    }

    QString out() const { return dir.filePath(u"site/out"_s); }
    QString key() const { return dir.filePath(u"key.pem"_s); }
    QByteArray publicKey() const { return Crypto::publicKey(dir.read(u"key.pem"_s)); }

    int publish(const QString &version, const QStringList &options,
        const std::function<bool(int)> &hook = {}) const
    {
        const QString base = u"http://127.0.0.1/"_s;
        Release tool;
        tool.setStepHook(hook);
        return tool.run(QStringList { u"--login-url"_s, base, u"--server-url"_s, base,
                            u"--update-url"_s, base + u"update/"_s }
            + options
            + QStringList {
                version, out(), dir.filePath(u"in/corvex"_s), dir.filePath(u"in/lib"_s) });
    }

    // The version served when the list, its signature (by either key) and every file agree, the
    // programs marked.
    QString served(const QString &folder) const
    {
        const QMap<QString, QByteArray> files = ProgramFolder::files(folder);
        const QByteArray list = files.value(u"UpdateList.xml"_s);
        const QByteArray signature = QByteArray::fromBase64(files.value(u"UpdateList.xml.sig"_s));
        const UpdateList read = UpdateList::parse(list);
        if (!Crypto::verify(publicKey(), list, signature)
            && !Crypto::verify(
                QByteArray::fromBase64(read.value(u"PublicKey"_s).toLatin1()), list, signature))
            return {};
        for (const UpdateList::FileEntry &file : read.files()) {
            const QByteArray bytes = files.value(file.name);
            if (file.sha256 != QString::fromLatin1(Crypto::sha256(bytes).toHex())
                || file.size != QString::number(bytes.size())
                || file.executable.isEmpty() != file.name.endsWith(u".dat"_s))
                return {};
        }
        return read.value(u"Version"_s);
    }

    static QStringList entries(const QString &folder)
    {
        return QDir(folder).entryList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    }

    ProgramFolder dir;
};

// What the first release says, line breaks of every kind and markup included.
const QByteArray firstNotes = "Faster start-up.\r\nFixes: <printing> & \"paste\"\n\tü\r";

} // namespace

void tst_Updater::releaseTool_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QStringList>("options");
    // of one more file; "out/NAME": a served file spoilt first, made a link to its source with "@"
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("published");
    QTest::addColumn<QByteArray>("notes");
    // of the list: "Rollout|MinimumVersion|Notes|days to Expires"; empty: refused by key holders
    QTest::addColumn<QString>("steering");

    // Options are separated by blanks; "KEY" is the folder's key, "NOTES" a notes file.
    const auto row = [](const char *fault, const char *version, const char *options, bool published,
                         const QString &name = {}, const QByteArray &notes = {},
                         const QString &steering = u"|||30"_s) {
        QTest::newRow(fault) << QString::fromUtf8(version)
                             << QString::fromUtf8(options).split(u' ', Qt::SkipEmptyParts) << name
                             << published << notes << steering;
    };
    const QString served = QString::fromUtf8(firstNotes);
    const QByteArray full(ServerList::maxNotes, 'x');
    const char *withNotes = "--key KEY --notes NOTES";
    const char *widened = "--key KEY --rollout 50";
    row("an update address without a final /", "3.0", "--key KEY --update-url http://h/u", false);
    row("a new key written over a file", "3.0", "--key KEY --new-key KEY", false);
    row("a version equal to the folder's", "2.0", "--key KEY", false);
    row("a version older than the folder's", "1.9", "--key KEY", false);
    row("a version newer only as numbers", "10.0", "--key KEY", true);
    row("a name ending in a blank", "3.0", "--key KEY", false, u"engine.dat "_s);
    row("a name ending in a dot", "3.0", "--key KEY", false, u"engine.dat."_s);
    row("a name the updater keeps for itself", "3.0", "--key KEY", false, u"temp"_s);
    row("unsigned into a signed folder", "3.0", "", false);
    row("signed by another key", "3.0", "--new-key other.pem", false);
    row("another key, forced", "3.0", "--new-key other.pem --force", true, {}, {}, {});
    row("a new key handed on", "3.0", "--key KEY --new-key other.pem", true);
    row("over a list that is not well-formed", "3.0", "--key KEY", false, u"out/UpdateList.xml"_s);
    row("the same version forced: a folder of its own", "2.0", "--key KEY --force", true);
    row("an older version that is no folder name, with --force", "./9", "--key KEY --force", true);
    row("a release steered by every element, a lone carriage return kept", "3.0",
        "--key KEY --notes NOTES --minimum 3.0 --rollout +50 --expires 7", true, {},
        "Neu:\r\n\tü\r", u"50|3.0|Neu:\r\n\tü\r|7"_s);
    row("a minimum newer than the release", "3.0", "--key KEY --minimum 3.1", false);
    row("notes of 16 KiB after a byte order mark", "3.0", withNotes, true, {},
        "\xef\xbb\xbf" + full, u"||"_s + QString::fromLatin1(full) + u"|30"_s);
    row("notes a byte over 16 KiB", "3.0", withNotes, false, {}, full + 'x');
    row("notes not in UTF-8", "3.0", withNotes, false, {}, "caf\xe9");
    row("notes holding a character no list can carry", "3.0", withNotes, false, {}, "bell \x07");
    row("a roll-out over 100", "3.0", "--key KEY --rollout 101", false);
    row("a roll-out that is no number, read as a halt", "3.0", "--key KEY --rollout ten", false);
    row("an expiry of no days", "3.0", "--key KEY --expires 0", false);
    row("republished halted: the served release with its notes and minimum", "",
        "--key KEY --rollout 0", true, {}, {}, u"0|1.5|"_s + served + u"|30"_s);
    row("republished with a later expiry: the roll-out kept", "", "--key KEY --expires 3650", true,
        {}, {}, u"10|1.5|"_s + served + u"|3650"_s);
    row("republished unsigned over a signed folder", "", "--rollout 50", false);
    row("republished over a served file changed since", "", widened, false, u"out/engine.dat"_s);
    row("republished over a served file made a link", "", widened, false, u"out/engine.dat@"_s);
    row("republished over a list changed", "", widened, false, u"out/UpdateList.xml"_s);
}

// The release tool publishes a signed list of what it copied, or refuses and publishes nothing.
void tst_Updater::releaseTool()
{
    QFETCH(QString, version);
    QFETCH(QStringList, options);
    QFETCH(QString, name);
    QFETCH(bool, published);
    QFETCH(QByteArray, notes);
    QFETCH(QString, steering);

    Site site;
    QVERIFY(site.dir.write(u"notes.txt"_s, firstNotes));
    QCOMPARE(site.publish(u"2.0"_s,
                 { u"--new-key"_s, site.key(), u"--notes"_s, site.dir.filePath(u"notes.txt"_s),
                     u"--minimum"_s, u"1.5"_s, u"--rollout"_s, u"10"_s }),
        0);
    QCOMPARE(QFile::permissions(site.key()) & ~(QFile::ReadUser | QFile::WriteUser),
        QFile::ReadOwner | QFile::WriteOwner);

    options.replaceInStrings(u"KEY"_s, site.key());
    options.replaceInStrings(u"other.pem"_s, site.dir.filePath(u"other.pem"_s));
    options.replaceInStrings(u"NOTES"_s, site.dir.filePath(u"notes.txt"_s));
    QVERIFY(site.dir.write(u"notes.txt"_s, notes));
    const bool republish = version.isEmpty();
    const bool spoiled = name.startsWith("out/"_L1);
    const bool linked = name.endsWith(u'@');
    const QString spoilt = u"site/"_s + name.chopped(linked);
    QVERIFY(!spoiled || linked
        || site.dir.write(spoilt, site.dir.read(spoilt).chopped(1) + (republish ? " " : "<")));
    QVERIFY(!linked
        || (QFile::remove(site.dir.filePath(spoilt))
            && QFile::link(site.dir.filePath(u"in/lib/engine.dat"_s), site.dir.filePath(spoilt))));
    QVERIFY(name.isEmpty() || spoiled || site.dir.write(u"in/lib/"_s + name, "more"));
    QCOMPARE(republish ? Release().run(options + QStringList { site.out() })
                       : site.publish(version, options),
        published ? 0 : 1);
    QCOMPARE(site.served(site.out()),
        spoiled && !linked            ? QString()
            : published && !republish ? version
                                      : u"2.0"_s);
    if (published) {
        UpdateList list;
        const QString refused
            = ServerList::judge(UpdateList::parse("<UpdateList><PublicKey>"
                                    + site.publicKey().toBase64() + "</PublicKey></UpdateList>"),
                site.dir.read(u"site/out/UpdateList.xml"_s),
                site.dir.read(u"site/out/UpdateList.xml.sig"_s), &list);
        const QDateTime expires = QDateTime::fromString(list.value(u"Expires"_s), Qt::ISODate);
        const qint64 days = qRound(QDateTime::currentDateTimeUtc().secsTo(expires) / 86400.0);
        QCOMPARE(refused.isEmpty()
                ? QStringList({ list.value(u"Rollout"_s), list.value(u"MinimumVersion"_s),
                                  list.value(u"Notes"_s), QString::number(days) })
                      .join(u'|')
                : QString(),
            steering);
        // It carries the new key when one was made, else the signer's.
        const bool handedOn = options.contains(site.dir.filePath(u"other.pem"_s));
        QCOMPARE(
            UpdateList::read(site.out() + u"/UpdateList.xml"_s).value(u"PublicKey"_s).toLatin1(),
            Crypto::publicKey(site.dir.read(handedOn ? u"other.pem"_s : u"key.pem"_s)).toBase64());
    }
    // A release folder named after the version, free and plain; "-2" for a version served already.
    const QString release = republish || version == "2.0"_L1 ? u"2.0-2"_s
        : version == "./9"_L1                                ? u"v._9"_s
                                                             : version;
    QCOMPARE(
        QFileInfo(site.out()).symLinkTarget().section(u'/', -1), published ? release : u"2.0"_s);
    QCOMPARE(Site::entries(site.out()),
        QStringList({ u"UpdateList.xml"_s, u"UpdateList.xml.sig"_s, u"corvex"_s, u"engine.dat"_s,
            u"run&tool"_s }));
    QCOMPARE(Site::entries(site.dir.filePath(u"site"_s)),
        QStringList({ u"keep.txt"_s, u"out"_s, u"out.old"_s, u"out.releases"_s }));
    QCOMPARE(Site::entries(site.out() + ReleaseFolder::releasesSuffix).size(), published ? 2 : 1);
}

// Stopped at any step, the folder serves a whole release, and the next run cleans up after it.
void tst_Updater::releaseStopped()
{
    // Over a release of the tool, a link, or a folder an earlier tool left, half a file in it.
    for (const bool realFolder : { false, true }) {
        QSet<QString> servedAfterStops;
        for (int stop = 0;; ++stop) {
            // Two releases, so the run has an older one to remove.
            Site site;
            QCOMPARE(site.publish(u"0.9"_s, { u"--new-key"_s, site.key() }), 0);
            QCOMPARE(site.publish(u"1.0"_s, { u"--key"_s, site.key() }), 0);
            const QString releases = site.out() + ReleaseFolder::releasesSuffix;
            if (realFolder)
                QVERIFY(QFile::remove(site.out()) && QDir().rename(releases + u"/1.0"_s, site.out())
                    && QDir(releases).removeRecursively()
                    && site.dir.write(u"site/out/engine.dat.Ab12Cd"_s, "half"));

            bool stopped = false;
            const int code
                = site.publish(u"2.0"_s, { u"--key"_s, site.key() }, [stop, &stopped](int at) {
                      stopped = stopped || at == stop;
                      return at != stop;
                  });
            if (!stopped) {
                // One run at a time: another one holding the folder refuses this one.
                QLockFile running(releases + u"/.lock"_s);
                QVERIFY(code == 0 && running.tryLock());
                QCOMPARE(site.publish(u"3.0"_s, { u"--key"_s, site.key() }), 1);
                break;
            }
            QCOMPARE(code, 1);
            const QString served = *servedAfterStops.insert(site.served(site.out()));
            QCOMPARE(site.publish(u"3.0"_s, { u"--key"_s, site.key() }), 0);
            QCOMPARE(site.served(site.out()), u"3.0"_s);
            QStringList versions;
            for (const QString &release : Site::entries(releases))
                versions.append(site.served(releases + u'/' + release));
            versions.sort();
            QCOMPARE(versions, QStringList({ served, u"3.0"_s }));
            // The link is relative: the site can move.
            QVERIFY(QDir().rename(site.dir.filePath(u"site"_s), site.dir.filePath(u"moved"_s)));
            QCOMPARE(site.served(site.dir.filePath(u"moved/out"_s)), u"3.0"_s);
        }
        // Whole releases only; the swap is one of the steps, neither the first nor the last.
        QCOMPARE(servedAfterStops, QSet<QString>({ u"1.0"_s, u"2.0"_s }));
    }
}

TAVREL_TEST_MAIN(tst_Updater)
#include "tst_updater.moc"
