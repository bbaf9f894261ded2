#include "testmain.h"
#include "versiontext.h"

class tst_VersionText : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void compare_data();
    void compare();
};

void tst_VersionText::compare_data()
{
    QTest::addColumn<QString>("newer");
    QTest::addColumn<QString>("older");
    QTest::addColumn<int>("order"); // of newer against older: 1, or 0 for the same version

    QTest::newRow("1.10 is newer than 1.9") << "1.10"
                                            << "1.9" << 1;
    QTest::newRow("1.0.0.2 is newer than 1.0.0.1") << "1.0.0.2"
                                                   << "1.0.0.1" << 1;
    QTest::newRow("1.0.0.12 is newer than 1.0.0.1") << "1.0.0.12"
                                                    << "1.0.0.1" << 1;
    QTest::newRow("2 is newer than 1.99.99") << "2"
                                             << "1.99.99" << 1;
    QTest::newRow("1.0.1 is newer than 1.0") << "1.0.1"
                                             << "1.0" << 1;
    QTest::newRow("1.0 equals 1.0.0") << "1.0"
                                      << "1.0.0" << 0;
    QTest::newRow("1.0 equals 1.0") << "1.0"
                                    << "1.0" << 0;
    QTest::newRow("leading zeros are the same number") << "1.01"
                                                       << "1.1" << 0;
    QTest::newRow("parts longer than any integer") << "1.123456789012345678901234567891"
                                                   << "1.123456789012345678901234567890" << 1;
    QTest::newRow("1.0 with a trailing blank sorts after 1.0") << "1.0 "
                                                               << "1.0" << 1;
    QTest::newRow("any text is newer than empty") << "1.0"
                                                  << "" << 1;
    QTest::newRow("empty equals empty") << ""
                                        << "" << 0;
    QTest::newRow("non-numeric texts compare as text") << "beta"
                                                       << "alpha" << 1;
    QTest::newRow("mixed text compares as text: 1.9b after 1.10b") << "1.9b"
                                                                   << "1.10b" << 1;
    QTest::newRow("an empty part is not numeric: 1.2. after 1.10") << "1.2."
                                                                   << "1.10" << 1;
}

void tst_VersionText::compare()
{
    QFETCH(QString, newer);
    QFETCH(QString, older);
    QFETCH(int, order);
    QCOMPARE(qBound(-1, VersionText::compare(newer, older), 1), order);
    QCOMPARE(qBound(-1, VersionText::compare(older, newer), 1), -order);
}

TAVREL_TEST_MAIN(tst_VersionText)
#include "tst_versiontext.moc"
