#include "programdir.h"
#include "startup.h"
#include "testmain.h"

#include <QTemporaryDir>
#include <QTime>

class tst_Startup : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void seedFromTheClock();
    void chineseTranslations_data();
    void chineseTranslations();
};

void tst_Startup::seedFromTheClock()
{
    QCOMPARE(Startup::seedFor(QTime(23, 59, 59, 999)), 590999u);
}

void tst_Startup::chineseTranslations_data()
{
    QTest::addColumn<QByteArray>("context");
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QString>("shown");

    QTest::newRow("Qt's own dialogs")
        << QByteArray("QPlatformTheme") << QByteArray("&Yes") << QStringLiteral("是(&Y)");
    QTest::newRow("the web engine's menu entries")
        << QByteArray("RenderViewContextMenuQt") << QByteArray("Copy") << QStringLiteral("复制");
}

void tst_Startup::chineseTranslations()
{
    QFETCH(QByteArray, context);
    QFETCH(QByteArray, source);
    QFETCH(QString, shown);

    // A program directory without translations of its own: Qt's are found in Qt's folder.
    QTemporaryDir programDir;
    ProgramDir::setPath(programDir.path());
    QObject owner;
    Startup::installTranslations(&owner);
    QCOMPARE(QCoreApplication::translate(context.constData(), source.constData()), shown);
}

TAVREL_TEST_MAIN(tst_Startup)
#include "tst_startup.moc"
