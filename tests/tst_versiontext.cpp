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

    const auto row = [](const char *name, const char *newer, const char *older, int order) {
        QTest::newRow(name) << QString::fromUtf8(newer) << QString::fromUtf8(older) << order;
    };
    row("1.10 is newer than 1.9", "1.10", "1.9", 1);
    row("23-digit parts compare as numbers", "1.12345678901234567890124",
        "1.12345678901234567890123", 1);
    row("leading zeros: 01.2 equals 1.2", "01.2", "1.2", 0);
    row("blanks around, trailing zeros: ' 1.0\\n' equals 1", " 1.0\n", "1", 0);
    row("any version is newer than none", "1.0", "", 1);
}

void tst_VersionText::compare()
{
    QFETCH(QString, newer);
    QFETCH(QString, older);
    QFETCH(int, order);
    QCOMPARE(qBound(-1, VersionText::compare(newer, older), 1), order);
}

// Texts of up to four characters from a small alphabet, every 19th: antisymmetric and
// transitive on every triple, so the order can decide and sort alike.
void tst_VersionText::totalOrder()
{
    QStringList texts { QString() };
    for (qsizetype i = 0; texts.size() < 1500; ++i) {
        for (QChar c : QStringLiteral("01 9.a"))
            texts << texts.at(i) + c;
    }
    const auto order = [&texts](qsizetype a, qsizetype b) {
        return qBound(-1, VersionText::compare(texts.at(a), texts.at(b)), 1);
    };
    for (qsizetype a = 0; a < texts.size(); a += 19) {
        for (qsizetype b = 0; b < texts.size(); b += 19) {
            QVERIFY2(order(a, b) == -order(b, a), qPrintable(texts.at(a) + u'|' + texts.at(b)));
            for (qsizetype c = 0; c < texts.size(); c += 19)
                QVERIFY(order(a, b) > 0 || order(b, c) > 0 || order(a, c) <= 0);
        }
    }
}

TAVREL_TEST_MAIN(tst_VersionText)
#include "tst_versiontext.moc"
