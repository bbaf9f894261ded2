#include "crypto.h"
#include "installer.h"
#include "programfolder.h"
#include "testmain.h"

#include <QSignalSpy>

#include <filesystem>

using namespace Qt::StringLiterals;

namespace {

// A release of three replaced files, one new one and the list: steps 0 to 3 keep the old files,
// 4 seals, 5 to 8 place, 9 commits; point 2i is before step i's action, 2i + 1 after it.
const QStringList names { u"corvex"_s, u"engine.dat"_s, u"extra.dat"_s, u"UpdateList.xml"_s };
// From the commit record on, before its step's action, the new release stands.
constexpr int commitPoint = 18;

// The old release, without extra.dat, or the new one.
QMap<QString, QByteArray> installation(bool fresh)
{
    QMap<QString, QByteArray> files;
    for (const QString &name : names) {
        if (fresh || name != "extra.dat"_L1)
            files.insert(name, (fresh ? "new " : "old ") + name.toUtf8());
    }
    return files;
}

} // namespace

// Killed, or its journal cut short, an installation leaves all of the old release or the new.
class tst_Installer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Every step of an installation waits for the disk; thousands of them are quick in memory.
    void initTestCase()
    {
        if (QFileInfo(u"/dev/shm"_s).isWritable())
            qputenv("TMPDIR", "/dev/shm");
    }
    void killedAndCutShort_data();
    void killedAndCutShort();
};

void tst_Installer::killedAndCutShort_data()
{
    QTest::addColumn<int>("point");
    // "killed" at the point, the step after it failing "for good", or a "rollback" killed there
    QTest::addColumn<QString>("way");
    for (int point = 0; point < 20; ++point)
        QTest::addRow("killed at point %d", point) << point << u"killed"_s;
    QTest::newRow("placing engine.dat fails for good: corvex put back") << 12 << u"for good"_s;
    QTest::newRow("placing the list fails for good: every file put back") << 16 << u"for good"_s;
    for (int point = 0; point < 6; ++point)
        QTest::addRow("rollback killed at point %d", point) << point << u"rollback"_s;
}

void tst_Installer::killedAndCutShort()
{
    QFETCH(int, point);
    QFETCH(QString, way);

    // The old release installed and the new one downloaded.
    ProgramFolder program;
    QList<UpdateList::FileEntry> entries;
    for (const QString &name : names) {
        QVERIFY(program.write(u"temp/"_s + name, installation(true).value(name)));
        QVERIFY(name == "extra.dat"_L1 || program.write(name, installation(false).value(name)));
        // The new file's Sha256 as a list may write it, in capitals.
        const QString sha256 = name == "extra.dat"_L1
            ? QString::fromLatin1(Crypto::sha256(installation(true).value(name)).toHex().toUpper())
            : QString();
        entries << UpdateList::FileEntry { name, sha256, {}, {} };
    }
    // Stopped dead at the point, as by a power cut; or its downloaded file goes there, the step
    // fails at every try, and the old files come back at once.
    Installer stopped(program.path(), program.filePath(u"temp"_s));
    const bool forGood = way == "for good"_L1;
    const bool rollingBack = way == "rollback"_L1;
    QSignalSpy finished(&stopped, &Installer::finished);
    if (rollingBack)
        stopped.install(entries);
    stopped.setStepHook([&](int at) {
        if (forGood && at == point)
            QFile::remove(program.filePath(u"temp/"_s + names.at(point / 2 - 5)));
        return forGood || at != point;
    });
    if (rollingBack)
        QCOMPARE(stopped.rollBack(), u"stopped"_s);
    else
        stopped.install(entries);
    QVERIFY(!forGood
        || (finished.wait(10000) && !finished.last().at(0).toBool()
            && program.files(false) == installation(false)
            && QDir(program.filePath(u"temp"_s)).entryList().filter(u"install-"_s).isEmpty()));
    // An old file is kept as a second name of itself until the new file takes the installed one.
    for (const QString &name : names) {
        const std::filesystem::path kept
            = stopped.backupDir().toStdString() + '/' + name.toStdString();
        const bool old = program.read(name) == installation(false).value(name);
        QVERIFY(!std::filesystem::exists(kept)
            || (std::filesystem::equivalent(kept, program.filePath(name).toStdString()) == old
                && std::filesystem::hard_link_count(kept) == (old ? 2U : 1U)));
    }
    const QMap<QString, QByteArray> killed = program.files();
    const QByteArray journal = killed.value(u"temp/install-journal"_s);

    // Any prefix of the journal, or garbage: only the whole one after the commit record keeps the
    // new release; otherwise the old one comes back, and a rollback's once it handed them over.
    QList<QByteArray> variants;
    for (qsizetype length = 0; length <= journal.size(); ++length)
        variants << journal.left(length);
    variants << "place \nbackup /\n\xff\xfe\ncommit 00\n";
    for (const QByteArray &variant : std::as_const(variants)) {
        ProgramFolder copy;
        for (auto it = killed.begin(); it != killed.end(); ++it)
            QVERIFY(copy.write(it.key(), it.value()));
        QVERIFY(copy.write(u"temp/install-journal"_s, variant));

        Installer installer(copy.path(), copy.filePath(u"temp"_s));
        QCOMPARE(installer.recover(), QString());
        const bool fresh = rollingBack ? point == 0 : point >= commitPoint && variant == journal;
        QVERIFY2(copy.files(false) == installation(fresh),
            qPrintable(u"journal of %1 bytes"_s.arg(variant.size())));
        QCOMPARE(QDir(copy.filePath(u"temp"_s)).entryList().filter(u"install-"_s), QStringList());
    }
}

TAVREL_TEST_MAIN(tst_Installer)
#include "tst_installer.moc"
