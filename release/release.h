#pragma once

#include "updatelist.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class ReleaseFolder;

// One run of the release tool: publishes a release into a server's update folder, its files and
// UpdateList.xml naming them with their Sha256, Size and Executable marking, signed with an
// Ed25519 key when given one, all at once (see ReleaseFolder); or makes a new key.
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
    QString collectSources();
    QString readKeys();
    QString writeNewKey();
    QString publish();
    QString copyFile(Source &source, const QString &into);
    QString writeList(ReleaseFolder &releases);

    QString login, server, update, version, folder;
    QStringList given;
    QString keyPath, newKeyPath;
    bool force = false;

    QString currentKey; // the folder's current list's PublicKey, base64
    QByteArray privateKeyPem; // signs the list
    QByteArray newKeyPem;
    QByteArray publicKey; // the list's PublicKey: the new key's when one is made, else the signer's
    QList<Source> sources;
    std::function<bool(int)> stepHook;
};
