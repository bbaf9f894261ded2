#include "installer.h"
#include "programdir.h"
#include "testmain.h"
#include "testserver.h"
#include "updaterfixture.h"

#include <QDir>
#include <QSignalSpy>

namespace {

const QStringList names { QStringLiteral("corvex"), QStringLiteral("engine.dat"),
    QStringLiteral("UpdateList.xml") };

// The downloaded release waits in the temp folder, as the updater leaves it for the installer.
bool downloadRelease(const UpdaterFixture &programDir)
{
    return QDir().mkpath(ProgramDir::tempDir())
        && programDir.write(QStringLiteral("temp/corvex"), UpdaterFixture::newClient)
        && programDir.write(QStringLiteral("temp/engine.dat"), "engine of the new version")
        && programDir.write(QStringLiteral("temp/UpdateList.xml"), "<UpdateList/>");
}

} // namespace

class tst_Installer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void interrupted_data();
    void interrupted();
    void retry_data();
    void retry();
};

void tst_Installer::interrupted_data()
{
    QTest::addColumn<int>("moves"); // made before the kill; -1: killed after the commit

    QTest::newRow("killed with the old client moved aside") << 1;
    QTest::newRow("killed with the new client in place") << 2;
    QTest::newRow("killed with the old engine moved aside") << 3;
    QTest::newRow("killed with both new files in, the old list still in place") << 4;
    QTest::newRow("killed with the old list moved aside") << 5;
    QTest::newRow("killed with the new list in place, before the commit") << 6;
    QTest::newRow("killed after the commit, during the clean-up") << -1;
}

void tst_Installer::interrupted()
{
    QFETCH(int, moves);

    TestServer server;
    UpdaterFixture programDir;
    QVERIFY(programDir.setUp(server, "1.0"));
    QVERIFY(downloadRelease(programDir));
    const QMap<QString, QByteArray> before = programDir.programFiles();
    const QString backup = ProgramDir::tempDir() + u'/' + Installer::backupName;
    QMap<QString, QByteArray> after;
    {
        Installer killed(ProgramDir::path(), ProgramDir::tempDir());
        killed.setStopAfter(moves);
        QSignalSpy finished(&killed, &Installer::finished);
        killed.install(names);
        QCOMPARE(finished.size(), moves < 0 ? 1 : 0);
        after = programDir.programFiles();
        QVERIFY(after != before);
        if (moves < 0) {
            // What a kill during the clean-up leaves: the commit written, the old files aside.
            QVERIFY(QDir().mkpath(backup));
            QVERIFY(programDir.write(QStringLiteral("temp/install-backup/corvex"), "old"));
            QVERIFY(programDir.write(QStringLiteral("temp/install-journal"),
                "backup corvex\nplace corvex\nbackup engine.dat\nplace engine.dat\n"
                "backup UpdateList.xml\nplace UpdateList.xml\ncommit\n"));
        }
    }

    Installer restarted(ProgramDir::path(), ProgramDir::tempDir());
    QVERIFY(restarted.recover());
    QCOMPARE(programDir.programFiles(), moves < 0 ? after : before);
    QVERIFY(!QFileInfo::exists(restarted.journalPath()));
    QVERIFY(!QFileInfo::exists(backup));
}

void tst_Installer::retry_data()
{
    QTest::addColumn<bool>("freed"); // the obstacle goes away after the first try
    QTest::addColumn<bool>("installed");

    QTest::newRow("engine busy for a moment: moved on a later try") << true << true;
    QTest::newRow("engine busy for good: every old file put back") << false << false;
}

void tst_Installer::retry()
{
    QFETCH(bool, freed);
    QFETCH(bool, installed);

    TestServer server;
    UpdaterFixture programDir;
    QVERIFY(programDir.setUp(server, "1.0"));
    QVERIFY(downloadRelease(programDir));
    const QMap<QString, QByteArray> before = programDir.programFiles();
    // Something holds the engine's backup name, so the old engine cannot be moved aside.
    const QString obstacle = ProgramDir::tempDir() + QStringLiteral("/install-backup/engine.dat");
    QVERIFY(QDir().mkpath(obstacle));

    Installer installer(ProgramDir::path(), ProgramDir::tempDir());
    installer.setRetryDelay(20);
    QSignalSpy finished(&installer, &Installer::finished);
    installer.install(names);
    QCOMPARE(finished.size(), 0);
    if (freed)
        QVERIFY(QDir().rmdir(obstacle));
    QVERIFY(finished.wait(5000));
    QCOMPARE(finished.first().at(0).toBool(), installed);
    QCOMPARE(finished.first().at(1).toString(), installed ? QString() : names.at(1));
    if (installed) {
        QCOMPARE(programDir.read(QStringLiteral("engine.dat")), "engine of the new version");
        QCOMPARE(programDir.read(QStringLiteral("corvex")), UpdaterFixture::newClient);
        QVERIFY(QFileInfo(programDir.filePath(QStringLiteral("corvex"))).isExecutable());
    } else {
        QCOMPARE(programDir.programFiles(), before);
    }
    QVERIFY(!QFileInfo::exists(installer.journalPath()));
}

TAVREL_TEST_MAIN(tst_Installer)
#include "tst_installer.moc"
