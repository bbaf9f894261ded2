#include "clientfixture.h"
#include "download.h"
#include "testmain.h"
#include "testserver.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>

// The real client, copied into a temporary program directory beside a test UpdateList.xml.
class tst_Corvex : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void localStorageSurvivesRestart();
    void secondStartLeavesTheRunningClient();

private:
    // Starts the client and waits until its login page has reported what it found in local
    // storage.
    void startClient(QProcess &client, QByteArray *found);
    // Quits the client the way a session does and checks that it ended in order.
    void quitClient(QProcess &client);

    ClientFixture programDir;
    TestServer server;
};

void tst_Corvex::initTestCase()
{
    QVERIFY(server.start());
    QVERIFY(programDir.setUp(server));
    server.serve("/login",
        "<html><body><script>"
        "var found = localStorage.getItem('kept') || 'nothing';"
        "localStorage.setItem('kept', 'saved by the first run');"
        "var xhr = new XMLHttpRequest();"
        "xhr.open('GET', '/report?found=' + encodeURIComponent(found));"
        "xhr.send();</script></body></html>");
    server.serve("/report", "ok", "text/plain");
}

void tst_Corvex::startClient(QProcess &client, QByteArray *found)
{
    const qsizetype reportsBefore = server.requestsFor("/report").size();
    client.setProcessChannelMode(QProcess::ForwardedChannels);
    client.setWorkingDirectory(QDir::tempPath());
    client.start(programDir.clientPath(), {});
    QVERIFY(client.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(server.requestsFor("/report").size() > reportsBefore, 60000);
    *found = server.requestsFor("/report").last().query("found");
}

void tst_Corvex::quitClient(QProcess &client)
{
    client.terminate();
    QSignalSpy finished(&client, &QProcess::finished);
    if (!finished.wait(30000))
        client.kill();
    QCOMPARE(client.exitStatus(), QProcess::NormalExit);
    QCOMPARE(client.exitCode(), 0);
}

void tst_Corvex::localStorageSurvivesRestart()
{
    QByteArray found;
    {
        QProcess client;
        startClient(client, &found);
        quitClient(client);
    }
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(found, QByteArray("nothing"));

    const TestServer::Request list = server.requestsFor("/update/UpdateList.xml").first();
    QCOMPARE(list.header("User-Agent"), QByteArray(Download::userAgent.data()));
    const QByteArray pageAgent = server.requestsFor("/login").first().header("User-Agent");
    QVERIFY2(QRegularExpression(QRegularExpression::escape(QString(Download::userAgent))
                 + QStringLiteral(" (0|[1-9][0-9]*)$"))
                 .match(QString::fromLatin1(pageAgent))
                 .hasMatch(),
        pageAgent.constData());
    QVERIFY(QFileInfo(programDir.filePath(QStringLiteral("cache"))).isDir());
    QVERIFY2(!QFile::exists(programDir.filePath(QStringLiteral("temp/UpdateList.xml"))),
        "the server's list is removed once the versions agree");

    QProcess client;
    startClient(client, &found);
    quitClient(client);
    QCOMPARE(found, QByteArray("saved by the first run"));
}

void tst_Corvex::secondStartLeavesTheRunningClient()
{
    QProcess first;
    QByteArray found;
    startClient(first, &found);
    const qsizetype checks = server.requestsFor("/update/UpdateList.xml").size();

    QProcess second;
    second.setProcessChannelMode(QProcess::ForwardedChannels);
    second.start(programDir.clientPath(), {});
    QVERIFY(second.waitForFinished(30000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(server.requestsFor("/update/UpdateList.xml").size(), checks);
    QCOMPARE(first.state(), QProcess::Running);

    quitClient(first);
}

TAVREL_TEST_MAIN(tst_Corvex)
#include "tst_corvex.moc"
