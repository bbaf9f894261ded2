#include "installer.h"
#include "programfolder.h"
#include "testmain.h"

using namespace Qt::StringLiterals;

namespace {

// A release of three replaced files, one new one and the list: steps 0 to 3 keep the old files,
// 4 seals, 5 to 8 place, 9 commits; point 2i is before step i's action, 2i + 1 after it.
const QStringList names { u"corvex"_s, u"engine.dat"_s, u"extra.dat"_s, u"UpdateList.xml"_s };
constexpr int points = 20;

QByteArray content(const QString &name, bool fresh)
{
    return (fresh ? "new " : "old ") + name.toUtf8();
}

QMap<QString, QByteArray> installation(bool fresh)
{
    QMap<QString, QByteArray> expected;
    for (const QString &name : names) {
        if (fresh || name != "extra.dat"_L1)
            expected.insert(name, content(name, fresh));
    }
    return expected;
}

} // namespace

// An installation that is killed, loses the end of its journal or finds its temp folder
// tampered with: afterwards the program directory holds all of the old release or all of the
// new one, and nothing outside it has been touched.
class tst_Installer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void killedAndCutShort_data();
    void killedAndCutShort();
    void hostileTemp_data();
    void hostileTemp();

private:
    QString victim() const { return sentinel->filePath(u"victim.txt"_s); }
    bool sentinelIntact() const
    {
        return sentinel->files() == QMap<QString, QByteArray> { { u"victim.txt"_s, "keep me" } };
    }

    std::unique_ptr<ProgramFolder> program;
    std::unique_ptr<ProgramFolder> sentinel;
};

// The old release installed and the new one downloaded, beside a sentinel folder.
void tst_Installer::init()
{
    program = std::make_unique<ProgramFolder>();
    sentinel = std::make_unique<ProgramFolder>();
    QVERIFY(sentinel->write(u"victim.txt"_s, "keep me"));
    for (const QString &name : names) {
        QVERIFY(name == "extra.dat"_L1 || program->write(name, content(name, false)));
        QVERIFY(program->write(u"temp/"_s + name, content(name, true)));
    }
}

void tst_Installer::killedAndCutShort_data()
{
    QTest::addColumn<int>("point");
    for (int point = 0; point < points; ++point)
        QTest::addRow("killed at point %d", point) << point;
}

void tst_Installer::killedAndCutShort()
{
    QFETCH(int, point);

    // Stopped dead at the point, as a power cut or the task manager would stop it.
    Installer stopped(program->path(), program->filePath(u"temp"_s));
    stopped.setStepHook([point](int at) { return at != point; });
    QList<UpdateList::FileEntry> entries;
    for (const QString &name : names)
        entries << UpdateList::FileEntry { name, {}, {}, {} };
    stopped.install(entries);
    const QMap<QString, QByteArray> killed = program->files();
    const QByteArray journal = killed.value(u"temp/install-journal"_s);

    // The journal as a power cut may leave it: any prefix, or overwritten.
    QList<QByteArray> variants;
    for (qsizetype length = 0; length <= journal.size(); ++length)
        variants << journal.left(length);
    variants << "place \nbackup " + victim().toUtf8() + "\n\xff\xfe\ncommit 00\n";
    for (const QByteArray &variant : std::as_const(variants)) {
        ProgramFolder copy;
        for (auto it = killed.begin(); it != killed.end(); ++it)
            QVERIFY(copy.write(it.key(), it.value()));
        QVERIFY(copy.write(u"temp/install-journal"_s, variant));

        Installer installer(copy.path(), copy.filePath(u"temp"_s));
        QCOMPARE(installer.recover(), QString());
        const QMap<QString, QByteArray> after = copy.files(false);
        QVERIFY2(after == installation(false) || after == installation(true),
            qPrintable(u"journal of %1 bytes"_s.arg(variant.size())));
        // Once the commit record is on the disk the new release stands.
        if (variant == journal && point >= 18)
            QCOMPARE(after, installation(true));
        QVERIFY(!QFileInfo::exists(copy.filePath(u"temp/install-journal"_s))
            && !QFileInfo::exists(copy.filePath(u"temp/install-backup"_s)));
    }
    QVERIFY(sentinelIntact());
}

void tst_Installer::hostileTemp_data()
{
    QTest::addColumn<QString>("tamper");

    QTest::newRow("temp a link to a folder outside") << u"temp"_s;
    QTest::newRow("install-journal a link to nowhere") << u"install-journal"_s;
    QTest::newRow("a link among the backups") << u"backup link"_s;
}

// Recovery refuses, touching nothing.
void tst_Installer::hostileTemp()
{
    QFETCH(QString, tamper);

    const QString temp = program->filePath(u"temp"_s);
    if (tamper == "temp"_L1)
        QVERIFY(QDir(temp).removeRecursively() && QFile::link(sentinel->path(), temp));
    else if (tamper == "install-journal"_L1)
        QVERIFY(QFile::link(victim() + u".gone"_s, temp + u"/install-journal"_s));
    else
        QVERIFY(QDir(temp).mkdir(u"install-backup"_s)
            && QFile::link(victim(), temp + u"/install-backup/engine.dat"_s));
    const QMap<QString, QByteArray> before = program->files();

    Installer installer(program->path(), temp);
    QVERIFY(!installer.recover().isEmpty());
    QVERIFY(sentinelIntact());
    QCOMPARE(program->files(), before);
}

int main(int argc, char *argv[])
{
    prepareTestEnvironment();
    // Every step of an installation waits for the disk; thousands of them are quick in memory.
    if (QFileInfo(u"/dev/shm"_s).isWritable())
        qputenv("TMPDIR", "/dev/shm");
    QApplication app(argc, argv);
    tst_Installer test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_installer.moc"
