#include "check.h"
#include "htmlview.h"
#include "mainwindow.h"
#include "programdir.h"
#include "startup.h"
#include "testmain.h"
#include "testserver.h"
#include "transfer.h"
#include "webprofile.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTime>

namespace {

enum Outcome { LoginPage, ConnectionFailed, Updater };

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
    QTest::addColumn<QString>("updateFolder"); // "closed" for a port nobody listens on
    QTest::addColumn<bool>("silent");
    QTest::addColumn<bool>("updaterPresent");
    QTest::addColumn<bool>("tempBlocked");
    QTest::addColumn<QByteArray>("expectedPath");
    QTest::addColumn<Outcome>("expected");

    const QByteArray path = "/update/UpdateList.xml";
    QTest::newRow("equal versions") << QByteArray("1.0.0.1") << 200 << listWithVersion("1.0.0.1")
                                    << "/update/" << false << true << false << path << LoginPage;
    QTest::newRow("newer server starts the updater")
        << QByteArray("1.0.0.1") << 200 << listWithVersion("1.0.0.2") << "/update/" << false << true
        << false << path << Updater;
    QTest::newRow("1.10 is newer than 1.9")
        << QByteArray("1.9") << 200 << listWithVersion("1.10") << "/update/" << false << true
        << false << path << Updater;
    QTest::newRow("1.0 equals 1.0.0") << QByteArray("1.0.0") << 200 << listWithVersion("1.0")
                                      << "/update/" << false << true << false << path << LoginPage;
    QTest::newRow("'1.0 ' on the server sorts after 1.0")
        << QByteArray("1.0") << 200 << listWithVersion("1.0 ") << "/update/" << false << true
        << false << path << Updater;
    QTest::newRow("older server opens the login page")
        << QByteArray("1.0.0.2") << 200 << listWithVersion("1.0.0.1") << "/update/" << false << true
        << false << path << LoginPage;
    QTest::newRow("unreachable server")
        << QByteArray("1.0.0.1") << 200 << listWithVersion("1.0.0.2") << "closed" << false << true
        << false << QByteArray() << ConnectionFailed;
    QTest::newRow("HTTP 404 with a Version in its body")
        << QByteArray("1.0.0.1") << 404 << listWithVersion("1.0.0.2") << "/update/" << false << true
        << false << path << ConnectionFailed;
    QTest::newRow("HTTP 500 with a Version in its body")
        << QByteArray("1.0.0.1") << 500 << listWithVersion("1.0.0.2") << "/update/" << false << true
        << false << path << ConnectionFailed;
    QTest::newRow("empty Version")
        << QByteArray("1.0.0.1") << 200 << listWithVersion("") << "/update/" << false << true
        << false << path << ConnectionFailed;
    QTest::newRow("error page instead of a list")
        << QByteArray("1.0.0.1") << 200 << QByteArray("<html><body>Bad gateway") << "/update/"
        << false << true << false << path << ConnectionFailed;
    QTest::newRow("server never answers")
        << QByteArray("1.0.0.1") << 200 << listWithVersion("1.0.0.2") << "/update/" << true << true
        << false << path << ConnectionFailed;
    QTest::newRow("UpdateUrl without a trailing slash")
        << QByteArray("1.0.0.1") << 200 << listWithVersion("1.0.0.1") << "/update" << false << true
        << false << QByteArray("/updateUpdateList.xml") << LoginPage;
    QTest::newRow("updater missing: the login page instead")
        << QByteArray("1.0.0.1") << 200 << listWithVersion("1.0.0.2") << "/update/" << false
        << false << false << path << LoginPage;
    QTest::newRow("temp folder cannot be created: no request, login page")
        << QByteArray("1.0.0.1") << 200 << listWithVersion("1.0.0.2") << "/update/" << false << true
        << true << QByteArray() << LoginPage;
}

void tst_Check::outcome()
{
    QFETCH(QByteArray, localVersion);
    QFETCH(int, status);
    QFETCH(QByteArray, serverList);
    QFETCH(QString, updateFolder);
    QFETCH(bool, silent);
    QFETCH(bool, updaterPresent);
    QFETCH(bool, tempBlocked);
    QFETCH(QByteArray, expectedPath);
    QFETCH(Outcome, expected);

    TestServer server;
    QVERIFY(server.start());
    TestServer::Response list;
    list.status = status;
    list.body = serverList;
    list.contentType = "application/xml";
    list.silent = silent;
    server.serve(
        expectedPath.isEmpty() ? QByteArray("/update/UpdateList.xml") : expectedPath, list);
    server.serve("/login", "<html><body>login page</body></html>");

    const QString updateUrl = updateFolder == QLatin1String("closed")
        ? QStringLiteral("http://127.0.0.1:%1/update/").arg(TestServer::closedPort())
        : server.url(updateFolder).toString();
    QVERIFY(writeFile(ProgramDir::updateList(),
        "<UpdateList><Version>" + localVersion + "</Version><LoginUrl>"
            + server.url(QStringLiteral("/login")).toEncoded() + "</LoginUrl><UpdateUrl>"
            + updateUrl.toUtf8() + "</UpdateUrl></UpdateList>"));
    if (updaterPresent) {
        const QString updater = ProgramDir::executable(QStringLiteral("update"));
        QVERIFY(writeFile(updater, "#!/bin/sh\necho \"$# $(pwd)\" > update-started\n"));
        QVERIFY(QFile::setPermissions(updater, QFile::permissions(updater) | QFile::ExeOwner));
    }
    if (tempBlocked)
        QVERIFY(writeFile(ProgramDir::tempDir(), "a file where the temp folder belongs"));
    // A stale copy from an earlier run must not pass for this run's download.
    else if (QDir().mkpath(ProgramDir::tempDir()))
        QVERIFY(writeFile(ProgramDir::tempUpdateList(), listWithVersion("1.0.0.1")));

    if (!updaterPresent)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^could not start .*update"));
    QWidget splash;
    splash.show();
    Check check;
    check.setStallTimeout(500);
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
        QCOMPARE(check.mainWindow()->view->failurePage(),
            expected == ConnectionFailed ? Check::connectionFailedPage : QString());
        QTRY_COMPARE_WITH_TIMEOUT(server.requestsFor("/login").size(), 1, 10000);
        QVERIFY(!QFile::exists(ProgramDir::tempUpdateList()));
        QVERIFY(!QFile::exists(updaterMark));
    }
    QVERIFY(!splash.isVisible());

    const QList<TestServer::Request> requests = server.requestsFor(expectedPath);
    QCOMPARE(requests.size(), expectedPath.isEmpty() ? 0 : 1);
    if (!expectedPath.isEmpty()) {
        QCOMPARE(requests.first().method, "GET");
        QCOMPARE(requests.first().header("User-Agent"), QByteArray(Transfer::userAgent.data()));
    }
}

TAVREL_TEST_MAIN(tst_Check)
#include "tst_check.moc"
