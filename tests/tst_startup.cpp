#include "startup.h"
#include "testmain.h"

#include <QTime>

class tst_Startup : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void randomIsDecimalBelow2pow31();
};

void tst_Startup::randomIsDecimalBelow2pow31()
{
    QCOMPARE(Startup::seedFor(QTime(23, 59, 59, 999)), 590999u);
    const QRegularExpression decimal(QStringLiteral("^(0|[1-9][0-9]*)$"));
    for (quint32 seed : { 0u, 1u, 10000u, 590999u }) {
        const QString text = Startup::randomFor(seed);
        QVERIFY2(decimal.match(text).hasMatch(), qPrintable(text));
        QVERIFY(text.toULongLong() < (1ull << 31));
        QCOMPARE(Startup::randomFor(seed), text);
    }
}

TAVREL_TEST_MAIN(tst_Startup)
#include "tst_startup.moc"
