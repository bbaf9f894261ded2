#pragma once

#include "programdir.h"
#include "updatelist.h"

#include <QLatin1StringView>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class QFile;

// Puts downloaded files from the temp folder over their namesakes in the program directory, all
// or nothing, so that no crash, kill or power cut leaves a mixed installation or a name without
// its file:
// - first every old file is kept in the backup folder (a hard link, else a synced copy), and the
//   new files that have no old one are recorded there with their SHA-256;
// - then each new file is renamed over its name in one step, so each name always holds the old
//   file or the new one;
// - then the commit record, after which the new release stands;
// - then the backup folder becomes the previous release's folder in one rename, kept until the
//   new client has shown its window, for a rollback.
// Each step is written to the journal and synced before it is made, and the folders are synced
// before the commit. Without a complete commit record on the disk the installation is undone,
// at once or by the recovery of the next start, from the backup folder alone: the journal's
// names are never acted on.
//
// A rollback hands the previous release's folder back to that same recovery: renamed to the
// backup folder in one synced step, it is what an unfinished installation leaves, so from that
// rename on every recovery, after any crash, completes the rollback, and before it the new
// release stands. Without a rollback the previous release's folder goes at the next recovery:
// the release committed stands.
class Installer : public QObject
{
    Q_OBJECT
public:
    static constexpr QLatin1StringView journalName = ProgramDir::installJournalName;
    static constexpr QLatin1StringView backupName = ProgramDir::installBackupName;
    // Inside the backup folder: the release's new files, which undoing removes.
    static constexpr QLatin1StringView addedName { "install-added" };
    static constexpr QLatin1StringView previousName = ProgramDir::previousInstallName;
    // A committed installation's backup folder on its way out.
    static constexpr QLatin1StringView discardName { "install-discard" };
    // A backup copy until it is complete.
    static constexpr QLatin1StringView copyName { "install-copy.part" };
    static constexpr int attempts = 5;
    static constexpr int retryDelay = 250;

    Installer(const QString &programDir, const QString &tempDir, QObject *parent = nullptr);
    ~Installer() override;

    // Installs the downloaded files of these entries, in this order; an entry's Executable makes
    // a file with no old version executable, and the others take the permissions of the file
    // they replace. The names are plain file names, each at most once. Ends with finished(),
    // from within this call when nothing needs a second try.
    void install(const QList<UpdateList::FileEntry> &entries);

    // Undoes what an unfinished installation left, or completes the clean-up of a committed one.
    // Empty on success; otherwise why it could not, and nothing is touched that it cannot
    // account for.
    QString recover();

    // Puts the previous release back in place of the one installed last, all or nothing. Empty
    // on success; otherwise why not, the installed release standing unless the backup folder
    // was handed over, which the next recovery then completes.
    QString rollBack();
    // The installed release stands: the previous one's files go.
    bool dropPrevious() const;

    // Test seam: called before and after each step's action (points 2i and 2i + 1 of step i);
    // returning false stops the installation dead there, as a kill would. A rollback calls it
    // before each of its actions instead: point 0 before the hand-over, then one before each old
    // file goes back, one before the new files go and one before the backup folder goes.
    void setStepHook(std::function<bool(int)> hook) { stepHook = std::move(hook); }

    QString journalPath() const { return tempDir + u'/' + journalName; }
    QString backupDir() const { return tempDir + u'/' + backupName; }
    QString previousDir() const { return tempDir + u'/' + previousName; }

Q_SIGNALS:
    // On failure the old files are back, or, where one could not be put back, the journal stays
    // for the next start; failedName is the file that could not be installed (empty when the
    // journal or the backup folder could not be written) and reason the system's word for it.
    void finished(bool ok, const QString &failedName, const QString &reason);

private:
    enum class Kind { Keep, Seal, Place, Commit };
    struct Step
    {
        Kind kind;
        UpdateList::FileEntry entry;
    };

    void next();
    // Empty when the step is done.
    QString perform(const Step &step);
    QString keep(const UpdateList::FileEntry &entry);
    QString seal();
    QString place(const UpdateList::FileEntry &entry);
    QString commit();
    bool writeJournal(const QByteArray &line);
    void fail(const QString &name, const QString &reason);
    // With a first point, the test seam is asked before each action from that point on.
    QString undo(int firstPoint = -1);
    // After the commit; keepPrevious keeps the backup folder as the previous release's.
    void cleanUp(bool keepPrevious) const;
    bool hook(int point) const { return !stepHook || stepHook(point); }

    const QString programDir;
    const QString tempDir;
    QList<Step> steps;
    QStringList added; // "<sha256> <name>" of each new file without an old one
    std::unique_ptr<QFile> journal;
    QByteArray written; // the journal so far, which the commit record seals
    QTimer retryTimer;
    qsizetype stepIndex = 0;
    int attempt = 0;
    std::function<bool(int)> stepHook;
};
