#include "startup.h"
#include "testmain.h"

#include <QTime>

class tst_Startup : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void seed_data();
    void seed();
    void randomIsDecimalBelow2pow31();
};

void tst_Startup::seed_data()
{
    QTest::addColumn<QTime>("first");
    QTest::addColumn<QTime>("second");
    QTest::addColumn<bool>("sameNumber");

    QTest::newRow("same second and millisecond of two minutes")
        << QTime(9, 1, 5, 123) << QTime(9, 2, 5, 123) << true;
    QTest::newRow("same second and millisecond of two hours")
        << QTime(9, 1, 5, 123) << QTime(14, 1, 5, 123) << true;
    QTest::newRow("one millisecond apart") << QTime(9, 1, 5, 123) << QTime(9, 1, 5, 124) << false;
    QTest::newRow("one second apart") << QTime(9, 1, 5, 123) << QTime(9, 1, 6, 123) << false;
    QTest::newRow("midnight and one millisecond later")
        << QTime(0, 0, 0, 0) << QTime(0, 0, 0, 1) << false;
}

void tst_Startup::seed()
{
    QFETCH(QTime, first);
    QFETCH(QTime, second);
    QFETCH(bool, sameNumber);
    QCOMPARE(
        Startup::randomFor(Startup::seedFor(first)) == Startup::randomFor(Startup::seedFor(second)),
        sameNumber);
}

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
