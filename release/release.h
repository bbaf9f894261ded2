#pragma once

#include "updatelist.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class ReleaseFolder;

// One run of the release tool: publishes a release into a server's update folder, its files and
// UpdateList.xml naming them with their Sha256, Size and Executable marking, with the Notes,
// MinimumVersion, Rollout and Expires an administrator steers it with, signed with an Ed25519
// key when given one, all at once (see ReleaseFolder); or republishes the served release with
// another Rollout and Expires, its files untouched; or makes a new key.
class Release
{
public:
    // Runs the command line (without the program's name); prints what it did to stdout and what
    // is wrong to stderr. Returns the exit code: 0 done, 1 refused or failed, 2 a wrong command.
    int run(const QStringList &arguments);

    // Test seam: the points between the steps of publishing (ReleaseFolder::setStepHook).
    void setStepHook(std::function<bool(int)> hook) { stepHook = std::move(hook); }

private:
    struct Source
    {
        QString path;
        UpdateList::FileEntry entry;
    };

    // Each returns what is wrong, empty when it is done.
    QString parse(const QStringList &arguments);
    QString readFolder();
    QString readNotes();
    // Takes the version, addresses, Notes, MinimumVersion and files from the served list.
    QString readServed();
    QString collectSources();
    QString checkNames() const;
    QString readKeys();
    QString writeNewKey();
    QString publish();
    QString copyFile(Source &source, const QString &into);
    // Gives the served file a name in the new release without changing it.
    QString keepFile(const Source &source, const QString &into) const;
    QString writeList(ReleaseFolder &releases);

    QString login, server, update, version, folder;
    QStringList given;
    QString keyPath, newKeyPath;
    QString notesPath, minimum;
    QString rollout; // 0 to 100 as given; empty: all installations, or as served when republishing
    QString expiryDays; // as given; empty: the default
    QString notes; // the text of notesPath, or the served list's when republishing
    bool force = false;
    bool republish = false; // the served release again, only its Rollout and Expires changed

    QString currentKey; // the folder's current list's PublicKey, base64
    QByteArray privateKeyPem; // signs the list
    QByteArray newKeyPem;
    QByteArray publicKey; // the list's PublicKey: the new key's when one is made, else the signer's
    QList<Source> sources;
    std::function<bool(int)> stepHook;
};
