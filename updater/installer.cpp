#include "installer.h"

#include "crypto.h"
#include "durablefile.h"
#include "releasecheck.h"
#include "updatelog.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSet>

namespace {

const QByteArray commitWord = "commit ";

QByteArray sha256(const QByteArray &data)
{
    return Crypto::sha256(data).toHex();
}

QByteArray fileSha256(const QString &path)
{
    return Crypto::fileSha256(path).toHex();
}

// The commit record is complete when it is the journal's last line, ended, and seals every byte
// before it: a journal cut short, torn or overwritten has none.
bool isCommitted(const QByteArray &journal)
{
    if (!journal.endsWith('\n'))
        return false;
    const qsizetype start = journal.lastIndexOf('\n', journal.size() - 2) + 1;
    const QByteArray line = journal.mid(start, journal.size() - 1 - start);
    return line.startsWith(commitWord)
        && line.mid(commitWord.size()) == sha256(journal.left(start));
}

// A name the backup folder may give back: what the list's names may be, and the list itself.
bool isInstallable(const QString &name)
{
    if (name == u"UpdateList.xml")
        return true;
    static const QSet<QString> reserved = [] {
        QSet<QString> names;
        for (const QString &name : ReleaseCheck::reservedNames())
            names.insert(ReleaseCheck::sameness(name));
        return names;
    }();
    return ReleaseCheck::isPlainName(name) && !reserved.contains(ReleaseCheck::sameness(name));
}

} // namespace

Installer::Installer(const QString &programDir, const QString &tempDir, QObject *parent)
    : QObject(parent)
    , programDir(programDir)
    , tempDir(tempDir)
{
    retryTimer.setSingleShot(true);
    connect(&retryTimer, &QTimer::timeout, this, &Installer::next);
}

Installer::~Installer() = default;

void Installer::install(const QList<UpdateList::FileEntry> &entries)
{
    steps.clear();
    for (const UpdateList::FileEntry &entry : entries)
        steps << Step { Kind::Keep, entry };
    steps << Step { Kind::Seal, {} };
    for (const UpdateList::FileEntry &entry : entries)
        steps << Step { Kind::Place, entry };
    steps << Step { Kind::Commit, {} };
    stepIndex = 0;
    attempt = 0;
    added.clear();
    written.clear();
    // The recovery before made sure that no journal is there and the backup folder, if any, is
    // empty; nothing is made through a link that has appeared since.
    journal = std::make_unique<QFile>(journalPath());
    if (!DurableFile::isPlainFolder(tempDir)
        || !journal->open(QIODevice::WriteOnly | QIODevice::NewOnly)
        || !(DurableFile::isPlainFolder(backupDir()) || QDir(tempDir).mkdir(backupName))
        || !DurableFile::syncFolder(tempDir)) {
        qCDebug(lcUpdate) << "file open error";
        fail(QString(), journal->errorString());
        return;
    }
    next();
}

void Installer::next()
{
    for (; stepIndex < steps.size(); ++stepIndex, attempt = 0) {
        const Step &step = steps.at(stepIndex);
        const QString problem = perform(step);
        if (!journal)
            return; // stopped dead by the test seam
        if (problem.isEmpty())
            continue;
        qCDebug(lcUpdate) << "step" << stepIndex << step.entry.name << "failed:" << problem;
        if (++attempt < attempts) {
            retryTimer.start(retryDelay);
            return;
        }
        fail(step.entry.name, problem);
        return;
    }
    journal.reset();
    cleanUp(true);
    qCDebug(lcUpdate) << "installed" << (steps.size() - 2) / 2 << "files";
    Q_EMIT finished(true, QString(), QString());
}

QString Installer::perform(const Step &step)
{
    const int point = int(stepIndex) * 2;
    QByteArray line;
    switch (step.kind) {
    case Kind::Keep:
        line = (DurableFile::isTaken(programDir + u'/' + step.entry.name) ? "backup " : "new ")
            + step.entry.name.toUtf8();
        break;
    case Kind::Seal:
        line = "seal";
        break;
    case Kind::Place:
        line = "place " + step.entry.name.toUtf8();
        break;
    case Kind::Commit:
        // Everything placed is on the disk before the record that makes it stand.
        if (!DurableFile::syncFolder(programDir) || !DurableFile::syncFolder(tempDir))
            return tr("无法同步到磁盘");
        line = commitWord + sha256(written);
        break;
    }
    if (!writeJournal(line))
        return journal->errorString();
    if (!hook(point)) {
        journal.reset();
        return {};
    }
    QString problem;
    switch (step.kind) {
    case Kind::Keep:
        problem = keep(step.entry);
        break;
    case Kind::Seal:
        problem = seal();
        break;
    case Kind::Place:
        problem = place(step.entry);
        break;
    case Kind::Commit:
        break;
    }
    if (problem.isEmpty() && !hook(point + 1))
        journal.reset();
    return problem;
}

QString Installer::keep(const UpdateList::FileEntry &entry)
{
    const QString target = programDir + u'/' + entry.name;
    if (!DurableFile::isTaken(target)) {
        // A downloaded file was checked against its Sha256 already; hashing it again would cost
        // as much as the download's own hashing.
        const QByteArray hash = entry.sha256.isEmpty() ? fileSha256(tempDir + u'/' + entry.name)
                                                       : entry.sha256.toLower().toLatin1();
        if (hash.isEmpty())
            return tr("无法读取 %1").arg(entry.name);
        added << QString::fromLatin1(hash) + u' ' + entry.name;
        return {};
    }
    if (!DurableFile::isPlainFile(target))
        return tr("%1 不是普通文件").arg(target);
    return DurableFile::keep(target, backupDir() + u'/' + entry.name, tempDir + u'/' + copyName);
}

QString Installer::seal()
{
    QSaveFile record(backupDir() + u'/' + addedName);
    const QByteArray text = added.isEmpty() ? QByteArray() : added.join(u'\n').toUtf8() + '\n';
    if (!record.open(QIODevice::WriteOnly) || record.write(text) != text.size() || !record.commit())
        return record.errorString();
    return DurableFile::syncFolder(backupDir()) && DurableFile::syncFolder(tempDir)
        ? QString()
        : tr("无法同步到磁盘");
}

QString Installer::place(const UpdateList::FileEntry &entry)
{
    const QString from = tempDir + u'/' + entry.name;
    const QString kept = backupDir() + u'/' + entry.name;
    // A download is not executable; a program must be, as the one it replaces was, or as the
    // list says of a new one.
    QFile::Permissions permissions = QFile::permissions(from);
    const QFile::Permissions execute
        = QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther;
    if (DurableFile::isTaken(kept))
        permissions = QFile::permissions(kept);
    else if (entry.executable == u"yes")
        permissions |= QFile::ExeOwner | QFile::ExeUser
            | (permissions & QFile::ReadGroup ? QFile::ExeGroup : QFile::Permissions())
            | (permissions & QFile::ReadOther ? QFile::ExeOther : QFile::Permissions());
    else
        permissions &= ~execute;
    if (!QFile::setPermissions(from, permissions))
        return tr("无法设置 %1 的权限").arg(entry.name);
    return DurableFile::replace(
        from, programDir + u'/' + entry.name, tempDir + u'/' + discardName + u'/' + entry.name);
}

bool Installer::writeJournal(const QByteArray &line)
{
    const QByteArray record = line + '\n';
    if (journal->write(record) != record.size() || !DurableFile::sync(*journal))
        return false;
    written += record;
    return true;
}

void Installer::fail(const QString &name, const QString &reason)
{
    qCWarning(lcUpdate) << "cannot install" << name << reason << "- putting the old files back";
    journal.reset();
    if (const QString problem = undo(); !problem.isEmpty())
        qCWarning(lcUpdate) << "old files not all restored; the next start tries again:" << problem;
    Q_EMIT finished(false, name, reason);
}

QString Installer::recover()
{
    if (!DurableFile::isTaken(tempDir))
        return {};
    if (!DurableFile::isPlainFolder(tempDir))
        return tr("%1 不是文件夹").arg(tempDir);
    if (DurableFile::isTaken(journalPath()) && !DurableFile::isPlainFile(journalPath()))
        return tr("%1 不是普通文件").arg(journalPath());
    const QString discard = tempDir + u'/' + discardName;
    for (const QString &folder : { backupDir(), discard }) {
        if (DurableFile::isTaken(folder) && !DurableFile::isPlainFolder(folder))
            return tr("%1 不是文件夹").arg(folder);
    }
    // What a committed installation could not delete, as a replaced program still running.
    if (DurableFile::isTaken(discard))
        QDir(discard).removeRecursively();

    QFile file(journalPath());
    const bool committed = file.open(QIODevice::ReadOnly) && isCommitted(file.readAll());
    file.close();
    QString problem;
    if (committed)
        cleanUp(false);
    else
        problem = undo();
    // Kept by a run that ended before its new client showed a window or not: no client failed
    // before its eyes, so the release committed stands. A client that runs far enough to hand
    // over to an updater is no failed one, and a broken one never starts the updater at all.
    if (problem.isEmpty() && !dropPrevious())
        problem = tr("无法删除 %1").arg(previousDir());
    return problem;
}

QString Installer::rollBack()
{
    // Only a folder an installation of this run or an earlier one kept, and nothing unfinished
    // whose backups the hand-over would mix with the previous release's.
    if (!DurableFile::isPlainFolder(previousDir()) || DurableFile::isTaken(backupDir())
        || DurableFile::isTaken(journalPath()))
        return tr("无法恢复 %1").arg(previousDir());
    if (!hook(0))
        return QStringLiteral("stopped");
    if (!QDir(tempDir).rename(previousName, backupName) || !DurableFile::syncFolder(tempDir))
        return tr("无法恢复 %1").arg(previousDir());
    return undo(1);
}

bool Installer::dropPrevious() const
{
    if (!DurableFile::isTaken(previousDir()))
        return true;
    return DurableFile::isPlainFolder(previousDir()) && QDir(previousDir()).removeRecursively()
        && DurableFile::syncFolder(tempDir);
}

// Puts every old file in the backup folder back and removes the new files recorded there;
// whatever the journal says, an uncommitted installation is undone. Refuses anything in the
// backup folder it did not put there, before touching a file.
QString Installer::undo(int firstPoint)
{
    int point = firstPoint;
    const auto stopped = [this, &point] { return point >= 0 && !hook(point++); };
    QDir backup(backupDir());
    QStringList names;
    if (DurableFile::isTaken(backupDir())) {
        // An entry the listing cannot show might be an old file: it is never left behind unseen.
        if (!DurableFile::namesAllReadable(backupDir()))
            return tr("无法恢复 %1").arg(backupDir());
        for (const QFileInfo &entry : backup.entryInfoList(
                 QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
            const QString name = entry.fileName();
            const QString target = programDir + u'/' + name;
            if (name == addedName && DurableFile::isPlainFile(entry.filePath()))
                continue;
            if (!isInstallable(name) || !DurableFile::isPlainFile(entry.filePath())
                || (DurableFile::isTaken(target) && !DurableFile::isPlainFile(target)))
                return tr("无法恢复 %1").arg(entry.filePath());
            names << name;
        }
    }
    qCDebug(lcUpdate) << "undoing an unfinished installation:" << names.size() << "old files";
    for (const QString &name : std::as_const(names)) {
        if (stopped())
            return QStringLiteral("stopped");
        const QString problem
            = DurableFile::replace(backup.filePath(name), programDir + u'/' + name, QString());
        if (!problem.isEmpty())
            return tr("无法恢复 %1：%2").arg(name, problem);
        // A backup still in place is a second name of the file the name holds already: renaming
        // a file onto itself leaves both.
        if (DurableFile::isTaken(backup.filePath(name)) && !backup.remove(name))
            return tr("无法删除 %1").arg(backup.filePath(name));
    }

    QFile record(backup.filePath(addedName));
    if (stopped())
        return QStringLiteral("stopped");
    if (record.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : record.readAll().split('\n')) {
            const QByteArray hash = line.left(64);
            const QString name = QString::fromUtf8(line.mid(65));
            const QString target = programDir + u'/' + name;
            // Only a file that is exactly the new one: never what the user put there since.
            if (line.size() > 65 && isInstallable(name) && DurableFile::isPlainFile(target)
                && fileSha256(target) == hash && !QFile::remove(target))
                return tr("无法删除 %1").arg(name);
        }
        record.close();
    }
    if (!DurableFile::syncFolder(programDir))
        return tr("无法同步到磁盘");
    if (stopped())
        return QStringLiteral("stopped");
    record.remove();
    QDir(tempDir).rmdir(backupName);
    QFile::remove(journalPath());
    DurableFile::syncFolder(tempDir);
    return {};
}

// After the commit: the backup folder goes, or becomes the previous release's, in one step, so
// a crash meanwhile can never put some of the old files back; then the journal.
void Installer::cleanUp(bool keepPrevious) const
{
    const QString discard = tempDir + u'/' + discardName;
    if (DurableFile::isTaken(backupDir())) {
        if (!QDir(tempDir).rename(backupName, keepPrevious ? previousName : discardName))
            QDir(backupDir()).removeRecursively();
        DurableFile::syncFolder(tempDir);
    }
    QFile::remove(journalPath());
    DurableFile::syncFolder(tempDir);
    QDir(discard).removeRecursively();
}
