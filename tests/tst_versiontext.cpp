#include "rollout.h"
#include "testmain.h"
#include "versiontext.h"

class tst_VersionText : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void compare_data();
    void compare();
    void offer_data();
    void offer();
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
    row("text runs compare as text: 1.0beta is newer than 1.0alpha", "1.0beta", "1.0alpha", 1);
    row("a digit run against other text by their first characters: v1 is newer than 10", "v1", "10",
        1);
}

void tst_VersionText::compare()
{
    QFETCH(QString, newer);
    QFETCH(QString, older);
    QFETCH(int, order);
    QCOMPARE(qBound(-1, VersionText::compare(newer, older), 1), order);
    QCOMPARE(qBound(-1, VersionText::compare(older, newer), 1), -order);
}

void tst_VersionText::offer_data()
{
    QTest::addColumn<QByteArray>("version"); // of the server's list; the installed one is 1.0
    QTest::addColumn<QByteArray>("steering"); // the list's elements that steer the release
    QTest::addColumn<QString>("machineKey");
    QTest::addColumn<QString>("badVersion");
    QTest::addColumn<int>("offer"); // Rollout::Offer

    // The places of these keys and versions, computed elsewhere: 82, and 1 whatever the blanks.
    const QString key82 = QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");
    const QString key1 = QStringLiteral("0123456789abcdef0123456789abcdef");
    const auto row = [](const char *name, const char *version, const char *steering,
                         const QString &key, const char *bad, Rollout::Offer offer) {
        QTest::newRow(name) << QByteArray(version) << QByteArray(steering) << key
                            << QString::fromLatin1(bad) << int(offer);
    };
    using O = Rollout::Offer;
    row("place 82 within a roll-out to 83", "2.0", "<Rollout>83</Rollout>", key82, "", O::Required);
    row("place 82 outside a roll-out to 82", "2.0", "<Rollout>82</Rollout>", key82, "", O::None);
    row("place 1, the version's blanks aside, within 2", " 1.0.0.2\n", "<Rollout>2</Rollout>", key1,
        "", O::Required);
    row("place 1 outside 1", "1.0.0.2", "<Rollout>1</Rollout>", key1, "", O::None);
    row("halted, but below the minimum", "2.0",
        "<Rollout>0</Rollout><MinimumVersion>1.5</MinimumVersion>", key1, "", O::Required);
    row("at the minimum: may be put off", "2.0", "<MinimumVersion>1.0</MinimumVersion>", key1, "",
        O::Optional);
    row("at the minimum and outside the roll-out", "2.0",
        "<Rollout>1</Rollout><MinimumVersion>1</MinimumVersion>", key82, "", O::None);
    row("rolled back here once", "2.0", "", key1, "2.0", O::None);
    row("newer than the version rolled back", "2.1", "", key1, "2.0", O::Required);
    row("not newer than the installed one", "1.0", "", key1, "", O::None);
}

// Which installations take a release, and whether they may put it off.
void tst_VersionText::offer()
{
    QFETCH(QByteArray, version);
    QFETCH(QByteArray, steering);
    QFETCH(QString, machineKey);
    QFETCH(QString, badVersion);
    QFETCH(int, offer);

    const UpdateList list = UpdateList::parse(
        "<UpdateList><Version>" + version + "</Version>" + steering + "</UpdateList>");
    QCOMPARE(int(Rollout::offer(list, QStringLiteral("1.0"), machineKey, badVersion)), offer);
}

TAVREL_TEST_MAIN(tst_VersionText)
#include "tst_versiontext.moc"
