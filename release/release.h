#pragma once

#include "updatelist.h"

#include <QList>
#include <QString>
#include <QStringList>

// One run of the release tool: writes a server's update folder, the release's files first, then
// UpdateList.xml naming them with their Sha256, Size and Executable marking, signed with an
// Ed25519 key when given one; or makes a new key.
class Release
{
public:
    // Runs the command line (without the program's name); prints what it did to stdout and what
    // is wrong to stderr. Returns the exit code: 0 done, 1 refused or failed, 2 a wrong command.
    int run(const QStringList &arguments);

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
    QString copyFile(Source &source);
    QString writeList();

    QString login, server, update, version, folder;
    QStringList given;
    QString keyPath, newKeyPath;
    bool force = false;

    QString currentKey; // the folder's current list's PublicKey, base64
    QByteArray privateKeyPem; // signs the list
    QByteArray newKeyPem;
    QByteArray publicKey; // the list's PublicKey: the new key's when one is made, else the signer's
    QList<Source> sources;
};
