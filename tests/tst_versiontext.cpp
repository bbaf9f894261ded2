#include "testmain.h"
#include "versiontext.h"

class tst_VersionText : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void compare_data();
    void compare();
    void totalOrder();
};

void tst_VersionText::compare_data()
{
    QTest::addColumn<QString>("newer");
    QTest::addColumn<QString>("older");
    QTest::addColumn<int>("order"); // of newer against older: 1, or 0 for the same version

    QTest::newRow("1.10 is newer than 1.9") << "1.10"
                                            << "1.9" << 1;
    QTest::newRow("23-digit parts compare as numbers") << "1.12345678901234567890124"
                                                       << "1.12345678901234567890123" << 1;
    QTest::newRow("leading zeros: 01.2 equals 1.2") << "01.2"
                                                    << "1.2" << 0;
    QTest::newRow("blanks around, trailing zeros: ' 1.0\\n' equals 1") << " 1.0\n"
                                                                       << "1" << 0;
    QTest::newRow("any version is newer than none") << "1.0"
                                                    << "" << 1;
}

void tst_VersionText::compare()
{
    QFETCH(QString, newer);
    QFETCH(QString, older);
    QFETCH(int, order);
    QCOMPARE(qBound(-1, VersionText::compare(newer, older), 1), order);
    QCOMPARE(qBound(-1, VersionText::compare(older, newer), 1), -order);
}

// Every text of up to four characters from a small alphabet, sampled: reflexive, antisymmetric
// and transitive on every triple, so the order can decide and sort alike.
void tst_VersionText::totalOrder()
{
    QStringList texts { QString() };
    for (qsizetype i = 0; texts.size() < 1500; ++i) {
        for (QChar c : QStringLiteral("01 9.a"))
            texts << texts.at(i) + c;
    }
    QStringList sample;
    for (qsizetype i = 0; i < texts.size(); i += 19)
        sample << texts.at(i);
    const auto order = [](const QString &a, const QString &b) {
        return qBound(-1, VersionText::compare(a, b), 1);
    };
    for (const QString &a : sample) {
        for (const QString &b : sample) {
            QVERIFY2(order(a, b) == -order(b, a), qPrintable(a + u'|' + b));
            for (const QString &c : sample) {
                QVERIFY2(order(a, b) > 0 || order(b, c) > 0 || order(a, c) <= 0,
                    qPrintable(a + u'|' + b + u'|' + c));
            }
        }
    }
}

TAVREL_TEST_MAIN(tst_VersionText)
#include "tst_versiontext.moc"
