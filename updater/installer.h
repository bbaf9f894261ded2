#pragma once

#include <QLatin1StringView>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

class QFile;

// Moves downloaded files from the temp folder over their namesakes in the program directory,
// all or nothing. Each old file is first moved aside into a backup folder inside the temp folder,
// then the new one moved into place; a journal beside it records every move before it is made,
// so an installation cut short by a failure, a crash or a kill is undone, at once or at the next
// start. A move that fails is tried again a few times, since a file in use is often free a moment
// later. A new file takes the permissions of the file it replaces, so a program stays executable.
class Installer : public QObject
{
    Q_OBJECT
public:
    static constexpr QLatin1StringView journalName { "install-journal" };
    static constexpr QLatin1StringView backupName { "install-backup" };
    static constexpr int attempts = 5;
    static constexpr int defaultRetryDelay = 250;

    Installer(const QString &programDir, const QString &tempDir, QObject *parent = nullptr);
    ~Installer() override;

    // Moves the named files in this order; until the last one is in, the installation can be
    // undone, once it is in, the installation is complete. The names are plain file names, each
    // at most once. Ends with finished(), from within this call when nothing needs a second try.
    void install(const QStringList &names);

    // Undoes what an unfinished installation left, or completes the clean-up of a finished one.
    // False when a file could not be put back; the journal then stays for the next try.
    bool recover();

    void setRetryDelay(int milliseconds) { retryDelay = milliseconds; }
    // Test seam: stops dead after this many moves, the commit counting as one, as a kill would.
    void setStopAfter(int moves) { stopAfter = moves; }

    QString journalPath() const { return tempDir + u'/' + journalName; }
    QString backupDir() const { return tempDir + u'/' + backupName; }

Q_SIGNALS:
    // On failure the old files are back, or, where one could not be put back, the journal stays
    // for the next start; failedName is the file that could not be moved, or empty when the
    // journal could not be written.
    void finished(bool ok, const QString &failedName);

private:
    enum class Kind { Backup, Place, Commit };
    struct Step
    {
        Kind kind;
        QString name;
    };

    void next();
    bool perform(const Step &step);
    bool writeJournal(const QByteArray &line);
    void fail(const QString &name);
    bool undo(const Step &step) const;
    void cleanUp() const;

    const QString programDir;
    const QString tempDir;
    QList<Step> steps;
    std::unique_ptr<QFile> journal;
    QTimer retryTimer;
    qsizetype stepIndex = 0;
    int attempt = 0;
    int moves = 0;
    int retryDelay = defaultRetryDelay;
    int stopAfter = -1;
};
