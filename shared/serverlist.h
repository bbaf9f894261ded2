#pragma once

#include "updatelist.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class Download;

// The server's UpdateList.xml as far as this installation may trust it, judged alike for the
// client and the updater, so that the client never hands over a list the updater would refuse.
// The list is read from the disk once: the bytes whose signature is checked are the bytes parsed
// and the bytes the updater installs. A list counts when it is well-formed for UpdateList and
// names a Version. When the local list holds a PublicKey, it counts only with its
// UpdateList.xml.sig as well: the Ed25519 signature, in base64, of exactly the bytes received,
// made by that key, checked before the list is read; and a signed list must hand a PublicKey
// on, so the server can change the key but never switch signing off, and must give every File
// its Sha256 and Size, so the signature covers every byte installed. Without a local PublicKey
// the list is taken unsigned, as installations from before signing expect. What else a list may
// say is checked here too: Notes of at most 16 KiB, a Rollout from 0 to 100, and an Expires in
// UTC (ISO 8601, "2027-01-31T00:00:00Z") that has not passed: a list that a frozen server keeps
// serving stops counting then.
class ServerList : public QObject
{
    Q_OBJECT
public:
    // A signature is 88 characters of base64; a longer answer is not one.
    static constexpr qint64 signatureSizeCap = 4096;
    // What a release's Notes may hold, in bytes of UTF-8.
    static constexpr qsizetype maxNotes = 16 * 1024;

    explicit ServerList(QObject *parent = nullptr);

    void setStallTimeout(int milliseconds);
    void setDeadline(int milliseconds);

    // Fetches the list of the local list's UpdateUrl, and its signature when the local list holds
    // a PublicKey, both within the list's size cap and deadline, into the folder (which only
    // this fetch uses); nothing of them stays there.
    void start(const UpdateList &local, const QString &folder);

    // The server's list once finished() reported it good; otherwise a reading of nothing.
    const UpdateList &list() const { return received; }
    // The exact bytes of that list; empty unless it is good.
    const QByteArray &bytes() const { return receivedBytes; }

    // The raw 32 bytes of the key a PublicKey text stands for: base64, strictly, blanks and line
    // breaks around it aside, of a point that is not of small order; empty when it is not one.
    static QByteArray publicKey(const QString &text);

    // What stands against a server's list and its signature, as fetched for an installation with
    // this local list; empty when the list counts, which then is what parsed holds.
    static QString judge(const UpdateList &local, const QByteArray &list,
        const QByteArray &signature, UpdateList *parsed);

Q_SIGNALS:
    // Once per start(); reason says why the list does not count.
    void finished(bool ok, const QString &reason);

private:
    void downloaded(Download *download, bool ok, const QString &reason);

    Download *listDownload;
    Download *signatureDownload;
    QString listPath;
    QString signaturePath;
    UpdateList local;
    int pending = 0;
    QString failure;
    UpdateList received;
    QByteArray receivedBytes;
};
