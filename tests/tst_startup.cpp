#include "programdir.h"
#include "quitonsignal.h"
#include "singleinstance.h"
#include "startup.h"
#include "testmain.h"

#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTime>
#include <QTimer>

#include <csignal>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

class tst_Startup : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void seedFromTheClock();
    void translatedAndAlone();
    void quitsOnSignals();
};

// Seconds and milliseconds make the seed; each seed gives its own number, in digits, below 2^31.
void tst_Startup::seedFromTheClock()
{
    QCOMPARE(Startup::seedFor(QTime(7, 31, 1, 1)), 10001u);
    QCOMPARE(Startup::seedFor(QTime(23, 59, 59, 999)), 590999u);
    for (quint32 next = 0; next < 64; ++next) {
        const QString number = Startup::randomFor(next);
        QVERIFY2(number.toUInt() < 1u << 31 && number == QString::number(number.toUInt())
                && number != Startup::randomFor(next + 1),
            qPrintable(number));
    }
}

void tst_Startup::translatedAndAlone()
{
    // No translations in the program directory: Qt's own serve its dialogs and the web menus.
    QTemporaryDir programDir;
    ProgramDir::setPath(programDir.path());
    QObject owner;
    Startup::installTranslations(&owner);
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "&Yes"), u"是(&Y)"_s);
    QCOMPARE(QCoreApplication::translate("RenderViewContextMenuQt", "Copy"), u"复制"_s);

    const QDir runtime(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation));
    const QStringList before = runtime.entryList(QDir::System);
    QString channel;
    {
        // A client that died leaves its channel behind; the next start takes the name over.
        SingleInstance dead(programDir.path());
        QVERIFY(dead.claim());
        for (const QString &name : runtime.entryList({ "*.socket" }, QDir::System))
            channel = before.contains(name) ? channel : runtime.filePath(name);
    }
    QVERIFY(QFile(channel).open(QIODevice::WriteOnly));
    SingleInstance running(programDir.path());
    // Whatever the umask, the channel is the user's alone.
    const mode_t umaskBefore = umask(0);
    const bool claimed = running.claim();
    umask(umaskBefore);
    QVERIFY(claimed);
    QCOMPARE(QFileInfo(channel).permissions() & 0x0077, QFileDevice::Permissions());

    QSignalSpy shown(&running, &SingleInstance::showRequested);
    // The same folder spelt otherwise is the same program directory; the one beside it is not.
    QVERIFY(!SingleInstance(programDir.path() + u"/."_s).claim());
    QVERIFY(shown.wait(10000));
    QTemporaryDir beside;
    QVERIFY(SingleInstance(beside.path()).claim());
}

void tst_Startup::quitsOnSignals()
{
    for (const int signal : { SIGTERM, SIGINT, SIGHUP }) {
        {
            QuitOnSignal quitOnSignal;
            QTimer::singleShot(0, [signal] { ::raise(signal); });
            QTimer::singleShot(10000, &quitOnSignal, [] { QCoreApplication::exit(1); });
            QCOMPARE(QCoreApplication::exec(), 0);
        }
        // The client's own handling ends with it.
        struct sigaction action = {};
        QVERIFY(::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_DFL);
    }
}

TAVREL_TEST_MAIN(tst_Startup)
#include "tst_startup.moc"
