#include "boxanswerer.h"
#include "crypto.h"
#include "download.h"
#include "installer.h"
#include "logins.h"
#include "mainwindow.h"
#include "programdir.h"
#include "programfolder.h"
#include "releasecheck.h"
#include "testmain.h"
#include "testserver.h"

#include <QNetworkProxy>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>

using namespace Qt::StringLiterals;

namespace {

// A release's files by name; the list marks a script as a program.
using Files = QMap<QByteArray, QByteArray>;

// Stand-ins record their argument count in their working directory.
const QByteArray standIn = "#!/bin/sh\necho $# > \"$(basename \"$0\")-started\"\n";
const QByteArray newClient = "#!/bin/sh\necho new $# > corvex-started\n";
const QByteArray installedEngine = "engine of the installed version";
const QByteArray newEngine = "engine of the new version";
const Files release { { "corvex", newClient }, { "engine.dat", newEngine } };

// Publishes version 2.0 of the files in the server's update folder; returns its list.
QByteArray publish(TestServer &server, const Files &files)
{
    QByteArray entries;
    for (auto file = files.begin(); file != files.end(); ++file) {
        server.serve("/update/" + QUrl::toPercentEncoding(QString::fromUtf8(file.key())),
            file.value(), "application/octet-stream");
        entries += "<File Name=\"" + file.key() + "\" Sha256=\""
            + Crypto::sha256(file.value()).toHex() + "\" Size=\""
            + QByteArray::number(file.value().size())
            + (file.value().startsWith("#!") ? "\" Executable=\"yes\"/>\n" : "\"/>\n");
    }
    const QByteArray list = ProgramFolder::list(server, "2.0", entries);
    server.serve("/update/UpdateList.xml", list, "application/xml");
    return list;
}

// How the program was started in the program directory ("0": without arguments), once its
// record is complete; empty if it was not.
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
    void releaseTool();
    void proxyLogin();
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
    row("a list signed by another key than the installed one: nothing installed", "forged", "",
        "quillonv3");
    row("an earlier run killed after its commit: its version kept, the server's equal", "killed",
        "", "quillonv3");
    row("an old file busy for a moment: moved on a later try", "busy", "", "new corvex");
    row("parts of other releases or older than the installed list dropped", "partials", "",
        "new corvex");
    row("file answered 404; not now: the client passes this version once", "404", "暂不更新",
        "corvex");
    row("an HTML page instead of the file: its Sha256 tells; try again", "HTML page", "重试",
        "new corvex");
    row("temp a link to a folder outside: nothing made there", "temp link", "nothing", "");
    row("install-journal a link to nowhere: the recovery refuses", "journal link", "nothing", "");
    row("a link among the backups: the recovery refuses", "backup link", "nothing", "");
    row("a name with ../: refused before any download", "", "nothing", "",
        { { "corvex", newClient }, { "engine.dat", newEngine }, { "../x", "x" } });
    row("a release larger than the free space", "no space", "nothing", "");
}

// An update when the server's version is newer, quillonv3 started otherwise. A failed update
// changes nothing and offers to try again or to go on with the installed version.
void tst_Updater::update()
{
    QFETCH(Files, files);
    QFETCH(QString, fault);
    QFETCH(QString, then);
    QFETCH(QString, started);

    // Version 1.0 made this process's: stand-in corvex and quillonv3, a program file and the list.
    ProgramFolder dir;
    TestServer server;
    ProgramDir::setPath(dir.path());
    const QByteArray installedKey = fault == "forged"_L1
        ? "<PublicKey>" + Crypto::newKeyPair().publicKey.toBase64() + "</PublicKey>"
        : QByteArray();
    QVERIFY(server.start() && dir.write(u"corvex"_s, standIn, true)
        && dir.write(u"quillonv3"_s, standIn, true) && dir.write(u"engine.dat"_s, installedEngine)
        && dir.writeList(server, "1.0", installedKey));
    QTemporaryDir outside;
    const QString temp = dir.filePath(u"temp/"_s);
    QVERIFY(fault == "temp link"_L1 ? QFile::link(outside.path(), temp.chopped(1))
                                    : dir.write(u"temp/stale.dll"_s, "left by an earlier run"));
    const QMap<QString, QByteArray> before = dir.files(false);
    QVERIFY(fault != "journal link"_L1 || QFile::link(u"nowhere"_s, temp + u"install-journal"_s));
    QVERIFY(fault != "backup link"_L1
        || (QDir(temp).mkdir(u"install-backup"_s)
            && QFile::link(dir.filePath(u"quillonv3"_s), temp + u"install-backup/engine.dat"_s)));
    TestServer::Response list;
    list.body = publish(server, files);
    server.serve("/update/UpdateList.xml.sig",
        Crypto::sign(Crypto::newKeyPair().privateKeyPem, list.body).toBase64());
    const auto installing = [](const MainWindow &run) {
        return QTest::qWaitFor(
            [&run] { return QFileInfo::exists(run.installer()->journalPath()); });
    };
    if (fault == "killed"_L1) {
        // Stopped dead at point 15, after the commit record, as a kill would stop it.
        MainWindow killed;
        killed.installer()->setStepHook([](int at) { return at != 15; });
        QVERIFY(installing(killed));
    }
    if (fault == "cut off"_L1) {
        list.announceLength = false;
        list.body.truncate(list.body.indexOf("</Version>") + 10);
    }
    if (fault == "no space"_L1)
        list.body.replace("Size=\"25\"", "Size=\"100000000000000000\"");
    server.serve("/update/UpdateList.xml", list);
    if (fault == "partials"_L1) {
        const QString ours
            = u"temp/partial/"_s + QString::fromLatin1(Crypto::sha256(newEngine).toHex());
        QVERIFY(dir.write(u"temp/partial/other"_s, "other") && dir.write(ours, "engine")
            && dir.write(ours + Download::validatorSuffix, "1"));
        QFile old(dir.filePath(ours));
        QVERIFY(old.open(QIODevice::ReadWrite)
            && old.setFileTime(
                QDateTime::currentDateTime().addDays(-1), QFileDevice::FileModificationTime));
    }
    // An HTML page as long as the file, so only its checksum can tell.
    TestServer::Response engine;
    engine.status = fault == "404"_L1 ? 404 : 200;
    engine.body = QByteArray("<html>busy</html>").leftJustified(25);
    if (fault == "404"_L1 || fault == "HTML page"_L1)
        server.serve("/update/engine.dat", engine);
    // Something holds the engine's backup name for a while, so the old engine cannot be moved
    // aside at first.
    const QString backup = temp + u"install-backup/engine.dat"_s;
    if (fault == "busy"_L1)
        QObject::connect(&server, &TestServer::requestReceived, &server,
            [&backup](const TestServer::Request &) { QDir().mkpath(backup); });

    MainWindow window;
    QSignalSpy done(&window, &MainWindow::done);
    // A client started again meanwhile hands over once more: that updater leaves the folder to
    // this one, asking and starting nothing.
    MainWindow second;
    QSignalSpy secondDone(&second, &MainWindow::done);
    QVERIFY(fault != "busy"_L1 || (installing(window) && QDir().rmdir(backup)));
    if (!then.isEmpty()) {
        // Failed, the run's progress gives way to the offer to try again or not now.
        const auto *bar = window.findChild<QProgressBar *>();
        QVERIFY(QTest::qWaitFor([&] { return !bar->isVisibleTo(&window); }, 10000));
        QCOMPARE(server.requestsFor("/update/engine.dat").size(),
            fault == "404"_L1 || fault == "HTML page"_L1 ? 1 : 0);
        QVERIFY(QDir(outside.path()).isEmpty());
        QCOMPARE(dir.files(false), before);
        if (then == "nothing"_L1)
            return;
        publish(server, release); // the server mended meanwhile
        for (QPushButton *button : window.findChildren<QPushButton *>()) {
            if (button->text() == then)
                button->click();
        }
    }
    QVERIFY(!done.isEmpty() || done.wait(10000));
    QCOMPARE(secondDone.size(), 1);
    const bool updated = started.startsWith("new "_L1);
    QCOMPARE(startRecord(dir, started.section(u' ', -1)), updated ? "new 0" : "0");
    QCOMPARE(dir.read(u"temp/skip-version"_s), then == u"暂不更新"_s ? "2.0" : "");
    // Nothing of this run or an earlier one stays in temp but the server's list, unless the
    // update was put off.
    QStringList left = dir.files().keys().filter(u"temp/"_s);
    left.removeOne(u"temp/UpdateList.xml"_s);
    QVERIFY(left.isEmpty() || then == u"暂不更新"_s);
    for (const TestServer::Request &request : server.requests())
        QCOMPARE(request.header("Range"), "");
    // Only what is not installed travels; a program is executable.
    for (auto file = files.begin(); file != files.end(); ++file) {
        const QString name = QString::fromUtf8(file.key());
        QCOMPARE(dir.read(name) == file.value(), updated || fault == "killed"_L1);
        QCOMPARE(QFileInfo(dir.filePath(name)).isExecutable(), file.value().startsWith("#!"));
        if (updated)
            QCOMPARE(server.requestsFor("/update/" + QUrl::toPercentEncoding(name)).isEmpty(),
                before.value(name) == file.value());
    }
    QCOMPARE(dir.read(u"UpdateList.xml"_s) == list.body, updated || fault == "killed"_L1);
}

void tst_Updater::names_data()
{
    QTest::addColumn<QList<UpdateList::FileEntry>>("entries");
    QTest::addColumn<bool>("accepted");

    const auto row = [](const QString &name, bool accepted, const QStringList &names,
                         const QString &sha256 = {}, const QString &size = {}) {
        QList<UpdateList::FileEntry> entries;
        for (const QString &entry : names)
            entries << UpdateList::FileEntry { entry, sha256, size, u"yes"_s };
        QTest::newRow(qPrintable(name)) << entries << accepted;
    };
    row(u"ordinary names, a hidden one, blanks, CJK, COM10"_s, true,
        { u"corvex"_s, u".cfg"_s, u"plug in #2.dat"_s, u"不.dat"_s, u"COM10"_s }, QString(64, u'A'),
        u"0"_s);
    for (const QString &name :
        { u"../x"_s, u"a\\b"_s, u""_s, u"a\nb"_s, u"corvex."_s, u"PRN .txt"_s, u"COM\u00b9"_s,
            u"a\u0085b"_s, u"x"_s + QChar(0xd800), u"updatelist.XML"_s, u"UpdateList.xml.sig"_s })
        row(u"refused name \"%1\""_s.arg(name), false, { name });
    row(u"two names the same in case folding"_s, false, { u"\u00c4.dat"_s, u"\u00e4.dat"_s });
    row(u"Sha256 of 63 digits"_s, false, { u"a"_s }, QString(63, u'a'));
    row(u"negative Size"_s, false, { u"a"_s }, {}, u"-1"_s);
}

// The name and attribute rules of a release, which the release tool shares.
void tst_Updater::names()
{
    QFETCH(QList<UpdateList::FileEntry>, entries);
    QFETCH(bool, accepted);

    QCOMPARE(ReleaseCheck::problem(entries).isEmpty(), accepted);
}

// The release tool publishes a signed list of what it copied, or refuses and publishes nothing.
void tst_Updater::releaseTool()
{
    ProgramFolder dir;
    QVERIFY(dir.write(u"in/corvex"_s, "client", true) && dir.write(u"in/lib/engine.dat"_s, "engine")
        && dir.write(u"in/lib/run-tool"_s, "tool", true));
    const QString key = dir.filePath(u"key.pem"_s);
    const auto publish = [&dir](const QString &version, const QStringList &options) {
        const QString base = u"http://127.0.0.1/"_s;
        return QProcess::execute(QStringLiteral(MAKE_RELEASE_PATH),
                   QStringList { u"--login-url"_s, base, u"--server-url"_s, base, u"--update-url"_s,
                       base + u"update/"_s }
                       + options
                       + QStringList { version, dir.filePath(u"out"_s),
                           dir.filePath(u"in/corvex"_s), dir.filePath(u"in/lib"_s) })
            == 0;
    };
    QVERIFY2(!publish(u"2.0"_s, { u"--update-url"_s, u"http://127.0.0.1/update"_s }),
        "an update address without a trailing slash");

    // A new key, its owner's only, signs; the programs in a folder are marked.
    QVERIFY(publish(u"2.0"_s, { u"--new-key"_s, key }));
    QCOMPARE(QFile::permissions(key) & ~(QFile::ReadUser | QFile::WriteUser),
        QFile::ReadOwner | QFile::WriteOwner);
    const QByteArray publicKey = Crypto::publicKey(dir.read(u"key.pem"_s));
    const UpdateList list = UpdateList::read(dir.filePath(u"out/UpdateList.xml"_s));
    QCOMPARE(list.value(u"PublicKey"_s), QString::fromLatin1(publicKey.toBase64()));
    QVERIFY(Crypto::verify(publicKey, dir.read(u"out/UpdateList.xml"_s),
        QByteArray::fromBase64(dir.read(u"out/UpdateList.xml.sig"_s))));
    for (const UpdateList::FileEntry &file : list.files())
        QCOMPARE(file.executable, file.name == "engine.dat"_L1 ? QString() : u"yes"_s);

    QVERIFY2(!publish(u"3.0"_s, { u"--key"_s, key, u"--new-key"_s, key }), "a new key over a file");
    QVERIFY2(!publish(u"2.0"_s, { u"--key"_s, key }), "a version not newer than the folder's");
}

// Behind a proxy that asks for a login, the updater's own process asks once and updates.
void tst_Updater::proxyLogin()
{
    ProgramFolder dir;
    TestServer server; // the proxy, and the server behind it
    ProgramDir::setPath(dir.path());
    QVERIFY(server.start() && dir.write(u"corvex"_s, standIn, true)
        && dir.write(u"quillonv3"_s, standIn, true));
    publish(server, release);
    // Qt sends nothing for a loopback address through a proxy.
    QVERIFY(dir.write(u"UpdateList.xml"_s,
        ProgramFolder::list(server, "1.0")
            .replace(server.url().toEncoded(), "http://proxied.invalid/")));
    server.setProxyLogin("pat:pw");
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, u"127.0.0.1"_s, quint16(server.url().port())));
    Logins::answerProxiesForDownloads();
    const auto direct = qScopeGuard([] {
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
        Download::setProxyLogin({});
    });
    BoxAnswerer answerer;
    answerer.logins = { "pat:pw" };
    MainWindow window;
    QSignalSpy done(&window, &MainWindow::done);
    QVERIFY(done.wait(20000));
    QCOMPARE(startRecord(dir, u"corvex"_s), "new 0");
    QCOMPARE(answerer.dialogs, QStringList(u"代理服务器需要登录"_s));
}

TAVREL_TEST_MAIN(tst_Updater)
#include "tst_updater.moc"
