#include "installer.h"

#include "updatelog.h"

#include <QDir>
#include <QFile>

namespace {

const QByteArray backupWord = "backup";
const QByteArray placeWord = "place";
const QByteArray commitLine = "commit";

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

void Installer::install(const QStringList &names)
{
    steps.clear();
    for (const QString &name : names)
        steps << Step { Kind::Backup, name } << Step { Kind::Place, name };
    steps << Step { Kind::Commit, QString() };
    stepIndex = 0;
    attempt = 0;
    moves = 0;
    journal = std::make_unique<QFile>(journalPath());
    if (!QDir().mkpath(backupDir()) || !journal->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qCDebug(lcUpdate) << "file open error";
        qCWarning(lcUpdate) << "cannot begin the journal" << journalPath();
        journal.reset();
        Q_EMIT finished(false, QString());
        return;
    }
    next();
}

void Installer::next()
{
    for (; stepIndex < steps.size(); ++stepIndex, attempt = 0) {
        if (perform(steps.at(stepIndex))) {
            if (moves == stopAfter)
                return;
            continue;
        }
        if (++attempt < attempts) {
            retryTimer.start(retryDelay);
            return;
        }
        fail(steps.at(stepIndex).name);
        return;
    }
    journal.reset();
    cleanUp();
    qCDebug(lcUpdate) << "installed" << steps.size() / 2 << "files";
    Q_EMIT finished(true, QString());
}

bool Installer::perform(const Step &step)
{
    if (step.kind == Kind::Commit) {
        if (!writeJournal(commitLine))
            return false;
        ++moves;
        return true;
    }
    const QString target = programDir + u'/' + step.name;
    if (step.kind == Kind::Backup && !QFile::exists(target))
        return true;
    // Written again on a second try, which the undoing takes in its stride.
    if (!writeJournal(
            (step.kind == Kind::Backup ? backupWord : placeWord) + ' ' + step.name.toUtf8()))
        return false;
    const QString from = step.kind == Kind::Backup ? target : tempDir + u'/' + step.name;
    const QString to = step.kind == Kind::Backup ? backupDir() + u'/' + step.name : target;
    // A download is not executable; a new program must be, as the one it replaces was.
    const QString saved = backupDir() + u'/' + step.name;
    if (step.kind == Kind::Place && QFile::exists(saved)
        && !QFile::setPermissions(from, QFile::permissions(saved)))
        return false;
    QFile file(from);
    if (!file.rename(to)) {
        qCDebug(lcUpdate) << "cannot move" << from << "to" << to << file.errorString();
        return false;
    }
    ++moves;
    return true;
}

bool Installer::writeJournal(const QByteArray &line)
{
    const QByteArray record = line + '\n';
    return journal->write(record) == record.size() && journal->flush();
}

void Installer::fail(const QString &name)
{
    qCWarning(lcUpdate) << "cannot install" << name << "- putting the old files back";
    journal.reset();
    if (!recover())
        qCWarning(lcUpdate) << "old files not all restored; the next start tries again";
    Q_EMIT finished(false, name);
}

bool Installer::recover()
{
    QFile file(journalPath());
    if (!file.exists()) {
        // Left by a clean-up that could not finish, as on Windows when the replaced updater was
        // the one running; without a journal nothing in it is needed.
        QDir(backupDir()).removeRecursively();
        return true;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        qCDebug(lcUpdate) << "file open error";
        return false;
    }
    const QByteArray content = file.readAll();
    file.close();

    QList<Step> journaled;
    bool committed = false;
    for (const QByteArray &line : content.split('\n')) {
        const qsizetype blank = line.indexOf(' ');
        const QByteArray word = line.left(blank);
        const QString name = QString::fromUtf8(line.mid(blank + 1));
        if (line == commitLine)
            committed = true;
        else if (blank > 0 && (word == backupWord || word == placeWord))
            journaled << Step { word == backupWord ? Kind::Backup : Kind::Place, name };
    }
    if (committed) {
        cleanUp();
        return true;
    }
    qCDebug(lcUpdate) << "undoing" << journaled.size() << "steps of an unfinished installation";
    bool restored = true;
    for (auto step = journaled.crbegin(); step != journaled.crend(); ++step)
        restored = undo(*step) && restored;
    if (restored)
        cleanUp();
    return restored;
}

bool Installer::undo(const Step &step) const
{
    const QString target = programDir + u'/' + step.name;
    if (step.kind == Kind::Backup) {
        // Whatever holds the name still is the old file: the move aside was never made, and a
        // new file has been taken away by the undoing of its placement.
        const QString saved = backupDir() + u'/' + step.name;
        return QFile::exists(target) || !QFile::exists(saved) || QFile::rename(saved, target);
    }
    // Before its placement the name was free, so whatever holds it now is the new file, or part
    // of one when the move had to copy and was cut short.
    return !QFile::exists(target) || QFile::remove(target);
}

// Once every old file is back or the new ones are all in, nothing in the backup folder is needed.
void Installer::cleanUp() const
{
    QDir(backupDir()).removeRecursively();
    QFile::remove(journalPath());
}
