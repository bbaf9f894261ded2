#include "check.h"
#include "download.h"
#include "htmlview.h"
#include "mainwindow.h"
#include "programdir.h"
#include "startup.h"
#include "testmain.h"
#include "testserver.h"
#include "webprofile.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTime>

namespace {

enum Outcome { LoginPage, ConnectionFailed, Updater };
enum Setup { Plain, ServerClosed, ServerSilent, NoTrailingSlash, NoUpdater, TempBlocked };

QByteArray listWithVersion(const QByteArray &version)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<UpdateList><Version>" + version
        + "</Version></UpdateList>\n";
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(content) == content.size();
}

} // namespace

Q_DECLARE_METATYPE(Outcome)
Q_DECLARE_METATYPE(Setup)

class tst_Check : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void outcome_data();
    void outcome();

private:
    QTemporaryDir programDir;
    QString updaterMark;
};

void tst_Check::initTestCase()
{
    QVERIFY(programDir.isValid());
    ProgramDir::setPath(programDir.path());
    Startup::drawStartupRandom(QTime::currentTime());
    updaterMark = programDir.filePath(QStringLiteral("update-started"));
}

void tst_Check::init()
{
    for (const char *name : { "update", "update-started", "UpdateList.xml" })
        QFile::remove(programDir.filePath(QString::fromLatin1(name)));
    QFile::remove(programDir.filePath(QStringLiteral("temp")));
    QDir(programDir.filePath(QStringLiteral("temp"))).removeRecursively();
}

void tst_Check::cleanupTestCase()
{
    WebProfile::release();
}

void tst_Check::outcome_data()
{
    QTest::addColumn<QByteArray>("localVersion");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("serverList");
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<Outcome>("expected");

    const auto row = [](const char *name, const char *local, int status, const QByteArray &list,
                         Setup setup, Outcome expected) {
        QTest::newRow(name) << QByteArray(local) << status << list << setup << expected;
    };
    row("equal versions", "1.0.0.1", 200, listWithVersion("1.0.0.1"), Plain, LoginPage);
    row("newer server starts the updater", "1.0.0.1", 200, listWithVersion("1.0.0.2"), Plain,
        Updater);
    row("1.10 is newer than 1.9", "1.9", 200, listWithVersion("1.10"), Plain, Updater);
    row("1.0 equals 1.0.0", "1.0.0", 200, listWithVersion("1.0"), Plain, LoginPage);
    row("'1.0 ' on the server sorts after 1.0", "1.0", 200, listWithVersion("1.0 "), Plain,
        Updater);
    row("older server opens the login page", "1.0.0.2", 200, listWithVersion("1.0.0.1"), Plain,
        LoginPage);
    row("unreachable server", "1.0.0.1", 200, listWithVersion("1.0.0.2"), ServerClosed,
        ConnectionFailed);
    row("HTTP 404 with a Version in its body", "1.0.0.1", 404, listWithVersion("1.0.0.2"), Plain,
        ConnectionFailed);
    row("HTTP 500 with a Version in its body", "1.0.0.1", 500, listWithVersion("1.0.0.2"), Plain,
        ConnectionFailed);
    row("empty Version", "1.0.0.1", 200, listWithVersion(""), Plain, ConnectionFailed);
    row("error page instead of a list", "1.0.0.1", 200, "<html><body>Bad gateway", Plain,
        ConnectionFailed);
    row("server never answers", "1.0.0.1", 200, listWithVersion("1.0.0.2"), ServerSilent,
        ConnectionFailed);
    row("UpdateUrl without a trailing slash", "1.0.0.1", 200, listWithVersion("1.0.0.1"),
        NoTrailingSlash, LoginPage);
    row("updater missing: the login page instead", "1.0.0.1", 200, listWithVersion("1.0.0.2"),
        NoUpdater, LoginPage);
    row("temp folder cannot be created: no request, login page", "1.0.0.1", 200,
        listWithVersion("1.0.0.2"), TempBlocked, LoginPage);
}

void tst_Check::outcome()
{
    QFETCH(QByteArray, localVersion);
    QFETCH(int, status);
    QFETCH(QByteArray, serverList);
    QFETCH(Setup, setup);
    QFETCH(Outcome, expected);

    const QByteArray listPath
        = setup == NoTrailingSlash ? "/updateUpdateList.xml" : "/update/UpdateList.xml";
    const bool requested = setup != ServerClosed && setup != TempBlocked;
    TestServer server;
    QVERIFY(server.start());
    TestServer::Response list;
    list.status = status;
    list.body = serverList;
    list.contentType = "application/xml";
    list.silent = setup == ServerSilent;
    server.serve(listPath, list);
    server.serve("/login", "<html><body>login page</body></html>");

    const QString updateUrl = setup == ServerClosed
        ? QStringLiteral("http://127.0.0.1:%1/update/").arg(TestServer::closedPort())
        : server
              .url(
                  setup == NoTrailingSlash ? QStringLiteral("/update") : QStringLiteral("/update/"))
              .toString();
    QVERIFY(writeFile(ProgramDir::updateList(),
        "<UpdateList><Version>" + localVersion + "</Version><LoginUrl>"
            + server.url(QStringLiteral("/login")).toEncoded() + "</LoginUrl><UpdateUrl>"
            + updateUrl.toUtf8() + "</UpdateUrl></UpdateList>"));
    if (setup != NoUpdater) {
        const QString updater = ProgramDir::executable(QStringLiteral("update"));
        QVERIFY(writeFile(updater, "#!/bin/sh\necho \"$# $(pwd)\" > update-started\n"));
        QVERIFY(QFile::setPermissions(updater, QFile::permissions(updater) | QFile::ExeOwner));
    }
    if (setup == TempBlocked)
        QVERIFY(writeFile(ProgramDir::tempDir(), "a file where the temp folder belongs"));
    // A stale copy from an earlier run must not pass for this run's download.
    else if (QDir().mkpath(ProgramDir::tempDir()))
        QVERIFY(writeFile(ProgramDir::tempUpdateList(), listWithVersion("1.0.0.1")));

    if (setup == NoUpdater)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^could not start .*update"));
    QWidget splash;
    splash.show();
    Check check;
    check.setTimeouts(500, 3000);
    check.start(&splash);

    if (expected == Updater) {
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(updaterMark), 10000);
        QVERIFY(!check.mainWindow());
        QFile mark(updaterMark);
        QVERIFY(mark.open(QIODevice::ReadOnly));
        QCOMPARE(mark.readAll().trimmed(),
            "0 " + QFileInfo(programDir.path()).canonicalFilePath().toUtf8());
        QFile copy(ProgramDir::tempUpdateList());
        QVERIFY2(copy.open(QIODevice::ReadOnly), "the server's list stays for the updater");
        QCOMPARE(copy.readAll(), serverList);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(check.mainWindow(), 10000);
        // Whatever the check found, the view shows why when the login address is out of reach.
        QCOMPARE(check.mainWindow()->view->failurePage(), Check::connectionFailedPage);
        QTRY_COMPARE_WITH_TIMEOUT(server.requestsFor("/login").size(), 1, 10000);
        QVERIFY(!QFile::exists(ProgramDir::tempUpdateList()));
        QVERIFY(!QFile::exists(updaterMark));
    }
    QVERIFY(!splash.isVisible());

    const QList<TestServer::Request> requests = server.requestsFor(listPath);
    QCOMPARE(requests.size(), requested ? 1 : 0);
    if (requested) {
        QCOMPARE(requests.first().method, "GET");
        QCOMPARE(requests.first().header("User-Agent"), QByteArray(Download::userAgent.data()));
    }
}

TAVREL_TEST_MAIN(tst_Check)
#include "tst_check.moc"
