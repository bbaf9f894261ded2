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

    const auto row = [](const char *name, const QString &newer, const QString &older, int order) {
        QTest::newRow(name) << newer << older << order;
    };
    row("1.10 is newer than 1.9", "1.10", "1.9", 1);
    row("1.0.0.12 is newer than 1.0.0.1", "1.0.0.12", "1.0.0.1", 1);
    row("2 is newer than 1.99.99", "2", "1.99.99", 1);
    row("pretty-printed server version", "\n  1.0.0.6\n", "1.0.0.5", 1);
    row("blanks around, trailing zeros: ' 1.0 ' equals 1.0.0", " 1.0 ", "1.0.0", 0);
    row("trailing zeros: 1.0 equals 1", "1.0", "1", 0);
    row("a trailing line break does not make 1.0 newer than 1.0.0.1", "1.0.0.1", "1.0\n", 1);
    row("a letter after a number: 1.10b is newer than 1.9", "1.10b", "1.9", 1);
    row("leading zeros: 01.2 equals 1.2", "01.2", "1.2", 0);
    row("an empty part: 3 is newer than 2.", "3", "2.", 1);
    row("23-digit parts", "1.12345678901234567890124", "1.12345678901234567890123", 1);
    row("20,000 parts", QStringLiteral("1.").repeated(19999) + u'2',
        QStringLiteral("1.").repeated(19999) + u'1', 1);
    row("any version is newer than none", "1.0", "", 1);
}

void tst_VersionText::compare()
{
    QFETCH(QString, newer);
    QFETCH(QString, older);
    QFETCH(int, order);
    QCOMPARE(qBound(-1, VersionText::compare(newer, older), 1), order);
    QCOMPARE(qBound(-1, VersionText::compare(older, newer), 1), -order);
}

// Every text of up to four characters from a small alphabet: reflexive, antisymmetric and
// transitive on every triple, so the order can decide and sort alike.
void tst_VersionText::totalOrder()
{
    const QString alphabet = QStringLiteral("01 9.a");
    QStringList texts { QString() };
    for (qsizetype length = 1, from = 0; length <= 4; ++length) {
        const qsizetype to = texts.size();
        for (qsizetype i = from; i < to; ++i) {
            for (QChar c : alphabet)
                texts << texts.at(i) + c;
        }
        from = to;
    }
    // Sample the set so every triple can be checked.
    QStringList sample;
    for (qsizetype i = 0; i < texts.size(); i += 7)
        sample << texts.at(i);

    QList<QList<int>> order(sample.size(), QList<int>(sample.size()));
    for (qsizetype i = 0; i < sample.size(); ++i) {
        for (qsizetype j = 0; j < sample.size(); ++j)
            order[i][j] = qBound(-1, VersionText::compare(sample.at(i), sample.at(j)), 1);
    }
    for (qsizetype i = 0; i < sample.size(); ++i) {
        QCOMPARE(order[i][i], 0);
        for (qsizetype j = 0; j < sample.size(); ++j) {
            QVERIFY2(order[i][j] == -order[j][i],
                qPrintable(QStringLiteral("'%1' and '%2'").arg(sample.at(i), sample.at(j))));
            for (qsizetype k = 0; k < sample.size(); ++k) {
                if (order[i][j] <= 0 && order[j][k] <= 0 && order[i][k] > 0)
                    QFAIL(qPrintable(QStringLiteral("'%1' <= '%2' <= '%3' but not '%1' <= '%3'")
                                         .arg(sample.at(i), sample.at(j), sample.at(k))));
            }
        }
    }
}

TAVREL_TEST_MAIN(tst_VersionText)
#include "tst_versiontext.moc"
