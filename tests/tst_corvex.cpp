#include "clientfixture.h"
#include "download.h"
#include "testmain.h"
#include "testserver.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>

using namespace Qt::StringLiterals;

#ifdef Q_OS_UNIX
#include <dirent.h>
#endif

namespace {

// Stands in for the updater when this test's program is started under that name: notes how it
// was started and which descriptors it got, then ends.
int recordUpdaterStart(int argc)
{
    QStringList descriptors;
#ifdef Q_OS_UNIX
    if (DIR *folder = opendir("/proc/self/fd")) {
        while (const dirent *entry = readdir(folder)) {
            if (entry->d_name[0] != '.' && atoi(entry->d_name) != dirfd(folder))
                descriptors << QString::fromLatin1(entry->d_name);
        }
        closedir(folder);
    }
#endif
    descriptors.sort();
    QFile record(QStringLiteral("update-started"));
    if (!record.open(QIODevice::WriteOnly))
        return 1;
    record.write(QByteArray::number(argc - 1) + '\n' + QDir::currentPath().toUtf8() + '\n'
        + descriptors.join(u' ').toUtf8() + '\n');
    return 0;
}

// The fixture's child window page; `then` runs once its picture has been answered, whatever the
// answer.
QByteArray childPage(const QByteArray &then = {})
{
    return "<html><body><img src=\"/child.png\" onload=\"" + then + "\" onerror=\"" + then
        + "\"></body></html>";
}

// Starts an X server of the test's own on a free display and returns its name (":N"); empty when
// it did not start.
QString startXServer(QProcess &xserver)
{
    xserver.start(QStringLiteral("Xvfb"),
        { QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
            QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
            QStringLiteral("1280x1024x24") });
    QByteArray number;
    while (!number.endsWith('\n') && xserver.waitForReadyRead(20000))
        number += xserver.readAllStandardOutput();
    number = number.trimmed();
    return number.isEmpty() ? QString() : QLatin1Char(':') + QString::fromLatin1(number);
}

} // namespace

// The real client, copied into a temporary program directory beside a test UpdateList.xml.
class tst_Corvex : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void localStorageSurvivesRestart();
    void nothingInHomeUnderARealDisplay();
    void secondStartLeavesTheRunningClient();
    void handsOverToTheUpdaterAndQuits_data();
    void handsOverToTheUpdaterAndQuits();

private:
    // Starts the client and waits until its login page has reported what it found in local
    // storage; on that X display when one is given, else offscreen.
    void startClient(QProcess &client, QByteArray *found, const QString &display = QString());
    // What the client left in its HOME.
    QStringList homeEntries() const;
    // Quits the client the way a session does and checks that it ended in order.
    void quitClient(QProcess &client);

    ClientFixture programDir;
    TestServer server;
    QTemporaryDir home;
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
        "xhr.send();"
        // Quitting with a child window open must end as cleanly as without.
        "sonwindow.onCall(location.origin + '/child', 400, 300, 'child', true, false);"
        "</script></body></html>");
    server.serve("/report", "ok", "text/plain");
    server.serve("/child", childPage());
}

void tst_Corvex::startClient(QProcess &client, QByteArray *found, const QString &display)
{
    const qsizetype reportsBefore = server.requestsFor("/report").size();
    client.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    client.setWorkingDirectory(QDir::tempPath());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    // Whatever would go to the user's folders then lands in HOME, where the test looks.
    for (const char *folder :
        { "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME" })
        environment.remove(QString::fromLatin1(folder));
    if (!display.isEmpty()) {
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("DISPLAY"), display);
    }
    client.setProcessEnvironment(environment);
    client.start(programDir.clientPath(), {});
    QVERIFY(client.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(server.requestsFor("/report").size() > reportsBefore, 60000);
    QTRY_VERIFY_WITH_TIMEOUT(server.requestsFor("/child.png").size() > reportsBefore, 60000);
    *found = server.requestsFor("/report").last().query("found");
}

QStringList tst_Corvex::homeEntries() const
{
    return QDir(home.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

void tst_Corvex::quitClient(QProcess &client)
{
    client.terminate();
    QSignalSpy finished(&client, &QProcess::finished);
    if (!finished.wait(30000))
        client.kill();
    QCOMPARE(client.exitStatus(), QProcess::NormalExit);
    QCOMPARE(client.exitCode(), 0);
    // The engine lets go of a profile in order only when its pages have gone first.
    const QByteArray errors = client.readAllStandardError();
    QVERIFY2(!errors.contains("WebEnginePage still not deleted"), errors.constData());
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
    QVERIFY(QFileInfo(programDir.filePath(QStringLiteral("cache/Local Storage"))).isDir());
    QCOMPARE(homeEntries(), QStringList());
    QVERIFY2(!QFile::exists(programDir.filePath(QStringLiteral("temp/UpdateList.xml"))),
        "the server's list is removed once the versions agree");

    QProcess client;
    startClient(client, &found);
    quitClient(client);
    QCOMPARE(found, QByteArray("saved by the first run"));
}

// Drawing with OpenGL and a file dialog are what write to the user's folders under a real display.
void tst_Corvex::nothingInHomeUnderARealDisplay()
{
    QProcess xserver;
    const QString display = startXServer(xserver);
    QVERIFY2(!display.isEmpty(), "Xvfb (Debian: xvfb) gives the test a display of its own");
    server.serve("/child",
        childPage("sonwindow.onCall(location.origin + '/ClientServices/BackUp.ashx?id=1', 1, 0,"
                  " 'backup.xls', true, false)"));
    QProcess client;
    QByteArray found;
    startClient(client, &found, display);
    client.setReadChannel(QProcess::StandardError);
    // The dialog exists from this line on; quitting while it is open closes it as a cancel does.
    QTRY_VERIFY_WITH_TIMEOUT(
        client.peek(client.bytesAvailable()).contains("asking where to save"), 30000);
    quitClient(client);
    server.serve("/child", childPage());

    QCOMPARE(homeEntries(), QStringList());
    QVERIFY2(QFile::exists(programDir.filePath(QStringLiteral("cache/QtProject.conf"))),
        "the file dialog's history is kept in the program directory");
    xserver.terminate();
    QVERIFY(xserver.waitForFinished(10000));
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

void tst_Corvex::handsOverToTheUpdaterAndQuits_data()
{
    QTest::addColumn<QByteArray>("serverVersion");
    QTest::addColumn<QString>("unfinished"); // what an installation cut short left in temp/

    QTest::newRow("a newer version on the server") << QByteArray("1.1") << QString();
    QTest::newRow("same version, an installation's journal left")
        << QByteArray("1.0") << u"install-journal"_s;
    QTest::newRow("same version, only its backup folder left")
        << QByteArray("1.0") << u"install-backup/"_s;
}

void tst_Corvex::handsOverToTheUpdaterAndQuits()
{
    QFETCH(QByteArray, serverVersion);
    QFETCH(QString, unfinished);

    const QString updater = programDir.filePath(QStringLiteral("update"));
    QVERIFY(QFile::link(QCoreApplication::applicationFilePath(), updater));
    server.serve("/update/UpdateList.xml",
        "<UpdateList><Version>" + serverVersion + "</Version></UpdateList>", "application/xml");
    const QString left = programDir.filePath(u"temp/"_s + unfinished);
    if (unfinished.endsWith(u'/'))
        QVERIFY(QDir().mkpath(left));
    else if (!unfinished.isEmpty())
        QVERIFY(QFile(left).open(QIODevice::WriteOnly));
    const qsizetype checks = server.requestsFor("/update/UpdateList.xml").size();

    QProcess client;
    client.setProcessChannelMode(QProcess::ForwardedChannels);
    QSignalSpy finished(&client, &QProcess::finished);
    client.start(programDir.clientPath(), {});
    QVERIFY2(finished.wait(60000), "the client goes away once the updater runs");
    QCOMPARE(client.exitStatus(), QProcess::NormalExit);
    QCOMPARE(client.exitCode(), 0);

    QFile record(programDir.filePath(QStringLiteral("update-started")));
    QTRY_VERIFY_WITH_TIMEOUT(record.size() > 0, 30000);
    QVERIFY(record.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = record.readAll().split('\n');
    QCOMPARE(lines.value(0), QByteArray("0"));
    QCOMPARE(lines.value(1), QFileInfo(programDir.clientPath()).canonicalPath().toUtf8());
#ifdef Q_OS_UNIX
    QCOMPARE(lines.value(2), QByteArray("0 1 2"));
#endif
    // Handed over before the check: no window and no list asked for.
    QCOMPARE(server.requestsFor("/update/UpdateList.xml").size(), checks + unfinished.isEmpty());
    QVERIFY(record.remove() && QFile::remove(updater));
    if (!unfinished.isEmpty())
        QVERIFY(QFile::remove(left) || QDir(left).removeRecursively());
}

int main(int argc, char *argv[])
{
    if (QFileInfo(QString::fromLocal8Bit(argv[0])).fileName() == QLatin1String("update"))
        return recordUpdaterStart(argc);
    prepareTestEnvironment();
    QApplication app(argc, argv);
    tst_Corvex test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_corvex.moc"
