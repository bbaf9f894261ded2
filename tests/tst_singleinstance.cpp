#include "singleinstance.h"
#include "testmain.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>
#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

class tst_SingleInstance : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void secondStartGivesWay();
    void lockOfAKilledClient();
};

void tst_SingleInstance::secondStartGivesWay()
{
    QTemporaryDir programDir;
    SingleInstance running(programDir.path());
#ifdef Q_OS_UNIX
    // Whatever the umask, the channel is the user's alone.
    const QDir runtime(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation));
    const QStringList before = runtime.entryList(QDir::System);
    const mode_t umaskBefore = umask(0);
    const bool claimed = running.claim();
    umask(umaskBefore);
    QVERIFY(claimed);
    QFileInfoList added = runtime.entryInfoList({ "*.socket" }, QDir::System);
    added.removeIf([&](const QFileInfo &entry) { return before.contains(entry.fileName()); });
    QCOMPARE(added.size(), 1);
    QCOMPARE(added.first().permissions() & 0x0077, QFileDevice::Permissions());
#else
    QVERIFY(running.claim());
#endif
    QSignalSpy shown(&running, &SingleInstance::showRequested);
    // The same folder spelt otherwise is the same program directory.
    SingleInstance started(programDir.path() + QStringLiteral("/."));
    QVERIFY(!started.claim());
    QVERIFY(shown.wait(10000));
}

void tst_SingleInstance::lockOfAKilledClient()
{
    QTemporaryDir programDir;
    QProcess killed;
    killed.start(QCoreApplication::applicationFilePath(), { "--claim", programDir.path() });
    QVERIFY(killed.waitForReadyRead(30000));
    QCOMPARE(killed.readLine(), QByteArray("won\n"));
    killed.kill();
    QVERIFY(killed.waitForFinished(30000));

    SingleInstance restarted(programDir.path());
    QVERIFY(restarted.claim());
}

int main(int argc, char *argv[])
{
    prepareTestEnvironment();
    // Claims the program directory in a process of its own and holds it until killed.
    if (argc == 3 && qstrcmp(argv[1], "--claim") == 0) {
        QCoreApplication app(argc, argv);
        SingleInstance instance(QString::fromLocal8Bit(argv[2]));
        std::puts(instance.claim() ? "won" : "lost");
        std::fflush(stdout);
        return std::getchar();
    }
    QApplication app(argc, argv);
    tst_SingleInstance test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleinstance.moc"
