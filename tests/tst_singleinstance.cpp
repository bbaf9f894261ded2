#include "singleinstance.h"
#include "testmain.h"

#include <QDir>
#include <QLocalServer>
#include <QSignalSpy>
#include <QTemporaryDir>

class tst_SingleInstance : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void claim_data();
    void claim();
    void leftoverOfACrashedClient();
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
    QVERIFY(running.claim());
    QSignalSpy shown(&running, &SingleInstance::showRequested);

    // The same folder reached by another spelling is still the same program directory.
    SingleInstance started(sameFolder ? one.path() + QStringLiteral("/.") : other.path());
    QCOMPARE(started.claim(), secondClaims);
    if (!secondClaims)
        QVERIFY(shown.wait(10000));
    else
        QCOMPARE(shown.count(), 0);
}

void tst_SingleInstance::leftoverOfACrashedClient()
{
    QTemporaryDir folder;
    const QString name = SingleInstance::serverName(folder.path());
    // A client that died leaves its socket file behind, with nobody listening on it.
    QFile leftover(QDir::temp().filePath(name));
    QVERIFY(leftover.open(QIODevice::WriteOnly));
    leftover.close();

    SingleInstance restarted(folder.path());
    QVERIFY(restarted.claim());
    SingleInstance again(folder.path());
    QVERIFY(!again.claim());
}

TAVREL_TEST_MAIN(tst_SingleInstance)
#include "tst_singleinstance.moc"
