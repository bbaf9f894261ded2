#include "singleinstance.h"
#include "testmain.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>
#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

// Claims the program directory in a process of its own, as a start of the client would: says
// "won" or "lost", and a winner holds on until its input ends.
int runClaimer(const QString &programDir)
{
    SingleInstance instance(programDir);
    const bool won = instance.claim();
    std::puts(won ? "won" : "lost");
    std::fflush(stdout);
    if (won)
        while (std::getchar() != EOF) { }
    return 0;
}

QProcess *startClaimer(const QString &programDir, QObject *parent)
{
    auto *process = new QProcess(parent);
    process->start(QCoreApplication::applicationFilePath(), { "--claim", programDir });
    return process;
}

// The channel's name as the client builds it from the program directory, without its suffix.
QString baseName(const QString &programDir)
{
    const QByteArray digest = QCryptographicHash::hash(
        QFileInfo(programDir).canonicalFilePath().toUtf8(), QCryptographicHash::Sha256)
                                  .toHex();
    return QStringLiteral("corvex-") + QString::fromLatin1(digest.left(24));
}

QByteArray outcome(QProcess *claimer)
{
    if (!claimer->canReadLine() && !claimer->waitForReadyRead(30000))
        return "no answer";
    return claimer->readLine().trimmed();
}

} // namespace

class tst_SingleInstance : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void claim_data();
    void claim();
    void simultaneousStarts();
    void listenerOnTheOldNameDoesNotStopTheStart();
    void lockOfAKilledClient();
};

void tst_SingleInstance::claim_data()
{
    QTest::addColumn<bool>("sameFolder");
    QTest::addColumn<bool>("secondClaims");

    QTest::newRow("same program directory: the second start gives way") << true << false;
    QTest::newRow("another program directory: both run") << false << true;
}

void tst_SingleInstance::claim()
{
    QFETCH(bool, sameFolder);
    QFETCH(bool, secondClaims);

    QTemporaryDir one;
    QTemporaryDir other;
    SingleInstance running(one.path());
#ifdef Q_OS_UNIX
    // Whatever the umask, the channel is the user's alone.
    const mode_t umaskBefore = umask(0);
    const bool claimed = running.claim();
    umask(umaskBefore);
    QVERIFY(claimed);
    const QFileInfo channel(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + u'/'
        + baseName(one.path()) + QStringLiteral(".socket"));
    QVERIFY(channel.exists());
    const QFileDevice::Permissions groupOrOthers = QFileDevice::ReadGroup | QFileDevice::WriteGroup
        | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther
        | QFileDevice::ExeOther;
    QCOMPARE(channel.permissions() & groupOrOthers, QFileDevice::Permissions());
#else
    QVERIFY(running.claim());
#endif
    QSignalSpy shown(&running, &SingleInstance::showRequested);

    // The same folder reached by another spelling is still the same program directory.
    SingleInstance started(sameFolder ? one.path() + QStringLiteral("/.") : other.path());
    QCOMPARE(started.claim(), secondClaims);
    if (!secondClaims)
        QVERIFY(shown.wait(10000));
    else
        QCOMPARE(shown.count(), 0);
}

void tst_SingleInstance::simultaneousStarts()
{
    for (int round = 0; round < 5; ++round) {
        QTemporaryDir programDir;
        QObject owner;
        QList<QProcess *> claimers;
        for (int i = 0; i < 6; ++i)
            claimers << startClaimer(programDir.path(), &owner);
        QList<QByteArray> outcomes;
        for (QProcess *claimer : claimers)
            outcomes << outcome(claimer);
        QCOMPARE(outcomes.count("won"), 1);
        QCOMPARE(outcomes.count("lost"), claimers.size() - 1);
        for (QProcess *claimer : claimers) {
            claimer->closeWriteChannel();
            QVERIFY(claimer->waitForFinished(30000));
        }
    }
}

void tst_SingleInstance::listenerOnTheOldNameDoesNotStopTheStart()
{
    QTemporaryDir programDir;
    // Any local process could listen under the name the client once used.
    QLocalServer squatter;
    QVERIFY(squatter.listen(baseName(programDir.path())));

    SingleInstance instance(programDir.path());
    QVERIFY(instance.claim());
}

void tst_SingleInstance::lockOfAKilledClient()
{
    QTemporaryDir programDir;
    QObject owner;
    QProcess *killed = startClaimer(programDir.path(), &owner);
    QCOMPARE(outcome(killed), QByteArray("won"));
    killed->kill();
    QVERIFY(killed->waitForFinished(30000));

    SingleInstance restarted(programDir.path());
    QVERIFY(restarted.claim());
    SingleInstance again(programDir.path());
    QVERIFY(!again.claim());
}

int main(int argc, char *argv[])
{
    prepareTestEnvironment();
    if (argc == 3 && qstrcmp(argv[1], "--claim") == 0) {
        QCoreApplication app(argc, argv);
        return runClaimer(QString::fromLocal8Bit(argv[2]));
    }
    QApplication app(argc, argv);
    tst_SingleInstance test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleinstance.moc"
