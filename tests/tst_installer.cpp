#include "installer.h"
#include "testmain.h"

#include <QDirIterator>
#include <QProcess>
#include <QSignalSpy>

#include <csignal>

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

QList<UpdateList::FileEntry> entries()
{
    QList<UpdateList::FileEntry> list;
    for (const QString &name : names)
        list << UpdateList::FileEntry { name, {}, {}, {} };
    return list;
}

// Run as a child process: installs the release laid out in the folder and kills itself at the
// point given, as a power cut or the task manager would stop it.
int installAndDie(const QString &programDir, int point)
{
    Installer installer(programDir, programDir + u"/temp"_s);
    installer.setStepHook([point](int at) {
        if (at == point)
            std::raise(SIGKILL);
        return true;
    });
    QObject::connect(&installer, &Installer::finished, qApp, &QCoreApplication::quit);
    installer.install(entries());
    return QCoreApplication::exec();
}

bool write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly)
        && file.write(bytes) == bytes.size();
}

// Every file under the folder with its contents, those in temp/ too or not.
QMap<QString, QByteArray> files(const QString &folder, bool withTemp = true)
{
    QMap<QString, QByteArray> found;
    QDirIterator it(
        folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        const QString name = QDir(folder).relativeFilePath(file.fileName());
        if (withTemp || !name.startsWith("temp/"_L1))
            found.insert(name, file.open(QIODevice::ReadOnly) ? file.readAll() : "unreadable");
    }
    return found;
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

void copyTree(const QString &from, const QString &to)
{
    for (auto it = QDirIterator(from, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
         it.hasNext();) {
        const QString path = it.next();
        const QString copy = to + u'/' + QDir(from).relativeFilePath(path);
        QDir().mkpath(QFileInfo(copy).path());
        QFile::copy(path, copy);
    }
    QDir().mkpath(to + u"/temp"_s);
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
    QString program() const { return root->filePath(u"program"_s); }
    bool sentinelIntact() const
    {
        return files(root->filePath(u"sentinel"_s))
            == QMap<QString, QByteArray> { { u"victim.txt"_s, "keep me" } };
    }

    std::unique_ptr<QTemporaryDir> root;
};

// The old release installed and the new one downloaded, beside a sentinel folder.
void tst_Installer::init()
{
    root = std::make_unique<QTemporaryDir>();
    QVERIFY(write(root->filePath(u"sentinel/victim.txt"_s), "keep me"));
    for (const QString &name : names) {
        QVERIFY(name == "extra.dat"_L1 || write(program() + u'/' + name, content(name, false)));
        QVERIFY(write(program() + u"/temp/"_s + name, content(name, true)));
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

    QProcess child;
    child.start(QCoreApplication::applicationFilePath(),
        { u"--install-and-die"_s, program(), QString::number(point) });
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    const QMap<QString, QByteArray> killed = files(program(), false);
    QVERIFY(killed.value(u"corvex"_s) == content(u"corvex"_s, false)
        || killed.value(u"corvex"_s) == content(u"corvex"_s, true));

    QFile journalFile(program() + u"/temp/install-journal"_s);
    QVERIFY(journalFile.open(QIODevice::ReadOnly));
    const QByteArray journal = journalFile.readAll();
    journalFile.close();
    // The journal as a power cut may leave it: any prefix, or overwritten.
    QList<QByteArray> variants;
    for (qsizetype length = 0; length <= journal.size(); ++length)
        variants << journal.left(length);
    variants << QByteArray("place \nbackup ../sentinel/victim.txt\n\xff\xfe\ncommit 00\n");
    for (const QByteArray &variant : std::as_const(variants)) {
        const QString copy = root->filePath(u"copy"_s);
        QVERIFY(QDir(copy).removeRecursively());
        copyTree(program(), copy);
        QVERIFY(write(copy + u"/temp/install-journal"_s, variant));

        Installer installer(copy, copy + u"/temp"_s);
        QCOMPARE(installer.recover(), QString());
        const QMap<QString, QByteArray> after = files(copy, false);
        QVERIFY2(after == installation(false) || after == installation(true),
            qPrintable(u"journal of %1 bytes"_s.arg(variant.size())));
        // Once the commit record is on the disk the new release stands.
        if (variant == journal && point >= 18)
            QCOMPARE(after, installation(true));
        QVERIFY(!QFileInfo::exists(copy + u"/temp/install-journal"_s)
            && !QFileInfo::exists(copy + u"/temp/install-backup"_s));
    }
    QVERIFY(sentinelIntact());
}

void tst_Installer::hostileTemp_data()
{
    QTest::addColumn<QString>("tamper");
    QTest::addColumn<bool>("recovers");

    QTest::newRow("journal names with .. and absolute paths") << u"journal names"_s << true;
    QTest::newRow("temp a link to a folder outside") << u"temp"_s << false;
    QTest::newRow("install-backup a link to a folder outside") << u"install-backup"_s << false;
    QTest::newRow("install-journal a link to a file outside") << u"install-journal"_s << false;
    QTest::newRow("a link among the backups") << u"backup link"_s << false;
    QTest::newRow("a folder among the backups") << u"backup folder"_s << false;
    QTest::newRow("a backup named like a reserved folder") << u"backup cache"_s << false;
    QTest::newRow("a folder where a backup would go back") << u"folder in the way"_s << false;
}

void tst_Installer::hostileTemp()
{
    QFETCH(QString, tamper);
    QFETCH(bool, recovers);

    const QString temp = program() + u"/temp"_s;
    const QString sentinel = root->filePath(u"sentinel"_s);
    const QString victim = sentinel + u"/victim.txt"_s;
    if (tamper == "journal names"_L1)
        QVERIFY(write(temp + u"/install-journal"_s,
            "place ../sentinel/victim.txt\nplace " + victim.toUtf8()
                + "\nbackup ../../x\nplace \n"));
    else if (tamper == "temp"_L1)
        QVERIFY(QDir(temp).removeRecursively() && QFile::link(sentinel, temp));
    else if (tamper == "install-backup"_L1)
        QVERIFY(QFile::link(sentinel, temp + u"/install-backup"_s));
    else if (tamper == "install-journal"_L1)
        QVERIFY(QFile::link(victim, temp + u"/install-journal"_s));
    else if (tamper == "backup link"_L1)
        QVERIFY(QDir(temp).mkdir(u"install-backup"_s)
            && QFile::link(victim, temp + u"/install-backup/engine.dat"_s));
    else if (tamper == "folder in the way"_L1)
        QVERIFY(write(temp + u"/install-backup/corvex"_s, "old corvex")
            && write(temp + u"/install-backup/extra.dat"_s, "old extra")
            && QDir(program()).mkdir(u"extra.dat"_s));
    else if (tamper == "backup folder"_L1)
        QVERIFY(QDir().mkpath(temp + u"/install-backup/engine.dat"_s));
    else
        QVERIFY(write(temp + u"/install-backup/cache"_s, "not a backup"));
    const QMap<QString, QByteArray> before = files(program());

    Installer installer(program(), temp);
    QCOMPARE(installer.recover().isEmpty(), recovers);
    QVERIFY(sentinelIntact());
    QCOMPARE(files(program(), false), installation(false));
    if (!recovers)
        QCOMPARE(files(program()), before);
    else
        QVERIFY(!QFileInfo::exists(temp + u"/install-journal"_s));
}

int main(int argc, char *argv[])
{
    if (argc == 4 && argv[1] == QByteArrayView("--install-and-die")) {
        QCoreApplication app(argc, argv);
        return installAndDie(QString::fromLocal8Bit(argv[2]), atoi(argv[3]));
    }
    prepareTestEnvironment();
    // Every step of an installation waits for the disk; thousands of them are quick in memory.
    if (QFileInfo(u"/dev/shm"_s).isWritable())
        qputenv("TMPDIR", "/dev/shm");
    QApplication app(argc, argv);
    tst_Installer test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_installer.moc"
