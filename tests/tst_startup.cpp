#include "programdir.h"
#include "singleinstance.h"
#include "startup.h"
#include "testmain.h"

#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTime>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

// What the client sets up before its check: its start-up random, Qt's Chinese translations, and
// the claim on its program directory.
class tst_Startup : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void seedFromTheClock();
    void chineseTranslations();
    void secondStartGivesWay();
};

void tst_Startup::seedFromTheClock()
{
    QCOMPARE(Startup::seedFor(QTime(23, 59, 59, 999)), 590999u);
}

void tst_Startup::chineseTranslations()
{
    // A program directory without translations of its own: Qt's are found in Qt's folder, for
    // its own dialogs and the web engine's menu entries.
    QTemporaryDir programDir;
    ProgramDir::setPath(programDir.path());
    QObject owner;
    Startup::installTranslations(&owner);
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "&Yes"), u"是(&Y)"_s);
    QCOMPARE(QCoreApplication::translate("RenderViewContextMenuQt", "Copy"), u"复制"_s);
}

void tst_Startup::secondStartGivesWay()
{
    QTemporaryDir programDir;
    SingleInstance running(programDir.path());
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

    QSignalSpy shown(&running, &SingleInstance::showRequested);
    // The same folder spelt otherwise is the same program directory.
    SingleInstance started(programDir.path() + u"/."_s);
    QVERIFY(!started.claim());
    QVERIFY(shown.wait(10000));
}

TAVREL_TEST_MAIN(tst_Startup)
#include "tst_startup.moc"
