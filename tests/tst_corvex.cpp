#include "download.h"
#include "programfolder.h"
#include "testmain.h"
#include "testserver.h"

#include <QProcess>
#include <QSignalSpy>

using namespace Qt::StringLiterals;

class tst_Corvex : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void runsAloneKeepsItsStorageAndHandsOverToTheUpdater();
};

void tst_Corvex::runsAloneKeepsItsStorageAndHandsOverToTheUpdater()
{
    ProgramFolder dir;
    TestServer server;
    QTemporaryDir home;
    QVERIFY(server.start() && dir.writeList(server, "1.0"));
    QVERIFY(QFile::copy(QStringLiteral(CORVEX_PATH), dir.filePath(u"corvex"_s)));
    // Drawing with OpenGL and a file dialog are what write to the user's folders under a real
    // display, so the client runs on an X server of the test's own.
    QProcess xserver;
    xserver.start(
        u"Xvfb"_s, { "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1280x1024x24" });
    QString display;
    while (!display.endsWith(u'\n') && xserver.waitForReadyRead(20000))
        display += QString::fromLatin1(xserver.readAllStandardOutput());
    QVERIFY2(!display.isEmpty(), "Xvfb (Debian: xvfb) gives the test a display of its own");
    for (const char *folder :
        { "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME" })
        qunsetenv(folder);
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("DISPLAY", ':' + display.trimmed().toLatin1());
    server.serve("/login",
        "<script>var found = localStorage.getItem('kept') || 'nothing';"
        "localStorage.setItem('kept', 'saved by the first run');"
        // Quitting with a child window and a file dialog open must end as cleanly as without.
        "sonwindow.onCall(location.origin + '/child?found=' + encodeURIComponent(found), 400, "
        "300, 'child', true, false);</script>");
    server.serve("/child",
        "<script>sonwindow.onCall(location.origin + '/ClientServices/BackUp.ashx?id=1', 1, 0, "
        "'backup.xls', true, false)</script>");
    // Runs the client until it asks where to save a backup: what its page found in local storage.
    const auto startClient = [&](QProcess &client) {
        client.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        client.setReadChannel(QProcess::StandardError);
        client.start(dir.filePath(u"corvex"_s), {});
        const bool ready = QTest::qWaitFor(
            [&] { return client.peek(client.bytesAvailable()).contains("asking where to save"); },
            60000);
        return ready ? server.requestsFor("/child").last().query("found") : "not ready";
    };
    // Quits as a session does: the pages go before the engine lets go of their profile.
    const auto quitClient = [](QProcess &client) {
        client.terminate();
        QSignalSpy finished(&client, &QProcess::finished);
        if (!finished.wait(30000))
            client.kill();
        QCOMPARE(client.exitStatus(), QProcess::NormalExit);
        const QByteArray errors = client.readAllStandardError();
        QVERIFY2(!errors.contains("WebEnginePage still not deleted"), errors.constData());
    };
    // The client's windows on the test's display, the topmost first.
    const auto windows = [&] {
        QProcess xwininfo;
        xwininfo.start(u"xwininfo"_s, { "-root", "-children" });
        xwininfo.waitForFinished(10000);
        QStringList found = QString::fromUtf8(xwininfo.readAllStandardOutput())
                                .split(u'\n')
                                .filter(u"(\"corvex\"");
        for (QString &line : found)
            line = line.simplified().section(u' ', 0, 1);
        return found;
    };

    QProcess first;
    QCOMPARE(startClient(first), QByteArray("nothing"));
    // A second start raises the first one's main window and ends, checking nothing.
    const QRegularExpression mainWindow(u".*\"Tavrel\":"_s);
    QTRY_VERIFY(windows().indexOf(mainWindow) > 0); // the save question on top of it
    QStringList raised = windows();
    raised.move(raised.indexOf(mainWindow), 0);
    const qsizetype requests = server.requests().size();
    QProcess second;
    second.start(dir.filePath(u"corvex"_s), {});
    QVERIFY(second.waitForFinished(30000) && second.exitCode() == 0);
    QTRY_COMPARE(windows(), raised);
    QVERIFY(server.requests().size() == requests && first.state() == QProcess::Running);
    quitClient(first);

    // The pages' agent ends in the number this run drew.
    const QByteArray pageAgent = server.requestsFor("/login").first().header("User-Agent");
    QVERIFY2(pageAgent.startsWith(Download::userAgent.data() + QByteArray(" "))
            && QChar(pageAgent.back()).isDigit(),
        pageAgent.data());
    QVERIFY(QFileInfo(dir.filePath(u"cache/Local Storage"_s)).isDir());
    QVERIFY2(QFile::exists(dir.filePath(u"cache/QtProject.conf"_s)),
        "the file dialog's history is kept in the program directory");
    QCOMPARE(QDir(home.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList());

    QProcess again;
    QCOMPARE(startClient(again), QByteArray("saved by the first run"));
    quitClient(again);

    // The updater's stand-in notes how it was started and which descriptors it got.
    QVERIFY(dir.write(u"update"_s,
        "#!/bin/sh\nexec >started\necho $#\npwd -P\nls /proc/self/fd\nmv started update-started\n",
        true));
    server.serve("/update/UpdateList.xml", "<UpdateList><Version>1.1</Version></UpdateList>");
    QProcess updating;
    QSignalSpy finished(&updating, &QProcess::finished);
    updating.start(dir.filePath(u"corvex"_s), {});
    QVERIFY2(finished.wait(60000), "the client goes away once the updater runs");
    QCOMPARE(updating.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath(u"update-started"_s)), 30000);
    // No arguments, the program directory, the standard descriptors only (3 is the listing's own).
    QCOMPARE(dir.read(u"update-started"_s),
        "0\n" + QFileInfo(dir.path()).canonicalFilePath().toUtf8() + "\n0\n1\n2\n3\n");
    xserver.terminate();
    QVERIFY(xserver.waitForFinished(10000));
}

TAVREL_TEST_MAIN(tst_Corvex)
#include "tst_corvex.moc"
