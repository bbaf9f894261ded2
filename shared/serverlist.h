#pragma once

#include "updatelist.h"

#include <QObject>
#include <QString>

class Download;

// The server's UpdateList.xml as far as this installation may trust it, the same for the client
// and the updater. When the local list holds a PublicKey, the server's list counts only with its
// UpdateList.xml.sig: the Ed25519 signature, in base64, of exactly the bytes received, made by
// that key, checked before the list is read; and a signed list must hand a PublicKey on, so the
// server can change the key but never switch signing off. Without a local PublicKey the list
// is taken unsigned, as installations from before signing expect.
class ServerList : public QObject
{
    Q_OBJECT
public:
    // A signature is 88 characters of base64; a longer answer is not one.
    static constexpr qint64 signatureSizeCap = 4096;

    explicit ServerList(QObject *parent = nullptr);

    void setStallTimeout(int milliseconds);
    void setDeadline(int milliseconds);

    // Fetches the list of the local list's UpdateUrl into path, and its signature beside it when
    // the local list holds a PublicKey, both within the list's size cap and deadline.
    void start(const UpdateList &local, const QString &path);

    // The server's list once finished() reported it good; otherwise a reading of nothing, and
    // no file is left at the path.
    const UpdateList &list() const { return received; }

    // The raw 32 bytes of the key a PublicKey text stands for: base64, strictly, blanks and line
    // breaks around it aside; empty when it is not one.
    static QByteArray publicKey(const QString &text);

Q_SIGNALS:
    // Once per start(); reason says why the list does not count.
    void finished(bool ok, const QString &reason);

private:
    void downloaded(Download *download, bool ok, const QString &reason);
    // What stands against the downloaded list, if anything.
    QString check();
    void end(const QString &reason);

    Download *listDownload;
    Download *signatureDownload;
    QString listPath;
    QString signaturePath;
    QByteArray key;
    bool signedOnly = false;
    int pending = 0;
    QString failure;
    UpdateList received;
};
