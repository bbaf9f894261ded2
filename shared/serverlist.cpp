#include "serverlist.h"

#include "crypto.h"
#include "download.h"

#include <QDateTime>
#include <QFile>
#include <QUrl>

namespace {

QByteArray strictBase64(const QByteArray &text, qsizetype size)
{
    const auto decoded = QByteArray::fromBase64Encoding(
        text.trimmed(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    return decoded && decoded.decoded.size() == size ? decoded.decoded : QByteArray();
}

// Reads the file once and removes it, so no later reader can see other bytes under its name.
QByteArray take(const QString &path)
{
    QFile file(path);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    file.close();
    file.remove();
    return bytes;
}

} // namespace

ServerList::ServerList(QObject *parent)
    : QObject(parent)
    , listDownload(new Download(this))
    , signatureDownload(new Download(this))
{
    listDownload->setMaxSize(UpdateList::downloadSizeCap);
    signatureDownload->setMaxSize(signatureSizeCap);
    setDeadline(UpdateList::downloadDeadline);
    for (Download *download : { listDownload, signatureDownload }) {
        connect(download, &Download::finished, this,
            [this, download](bool ok, const QString &reason) { downloaded(download, ok, reason); });
    }
}

void ServerList::setStallTimeout(int milliseconds)
{
    listDownload->setStallTimeout(milliseconds);
    signatureDownload->setStallTimeout(milliseconds);
}

void ServerList::setDeadline(int milliseconds)
{
    listDownload->setDeadline(milliseconds);
    signatureDownload->setDeadline(milliseconds);
}

QByteArray ServerList::publicKey(const QString &text)
{
    const QByteArray key = strictBase64(text.toUtf8(), Crypto::publicKeySize);
    return Crypto::isSmallOrder(key) ? QByteArray() : key;
}

void ServerList::start(const UpdateList &localList, const QString &folder)
{
    local = localList;
    listPath = folder + QStringLiteral("/UpdateList.xml");
    signaturePath = listPath + QStringLiteral(".sig");
    received = UpdateList();
    receivedBytes.clear();
    failure.clear();
    const bool signedOnly = local.contains(QStringLiteral("PublicKey"));
    pending = signedOnly ? 2 : 1;
    const QString listUrl
        = local.value(QStringLiteral("UpdateUrl")) + QStringLiteral("UpdateList.xml");
    listDownload->start(QUrl(listUrl), listPath);
    if (signedOnly)
        signatureDownload->start(QUrl(listUrl + QStringLiteral(".sig")), signaturePath);
}

void ServerList::downloaded(Download *download, bool ok, const QString &reason)
{
    if (!ok && failure.isEmpty())
        failure
            = (download == listDownload ? QStringLiteral("list: ") : QStringLiteral("signature: "))
            + reason;
    if (--pending > 0)
        return;
    const QByteArray list = take(listPath);
    const QByteArray signature = take(signaturePath);
    const QString problem = failure.isEmpty() ? judge(local, list, signature, &received) : failure;
    if (problem.isEmpty())
        receivedBytes = list;
    Q_EMIT finished(problem.isEmpty(), problem);
}

QString ServerList::judge(const UpdateList &local, const QByteArray &list,
    const QByteArray &signature, UpdateList *parsed)
{
    *parsed = UpdateList();
    // An installed PublicKey that is not a key verifies nothing: such an installation takes no
    // list until the key is mended, rather than any list.
    const bool signedOnly = local.contains(QStringLiteral("PublicKey"));
    if (signedOnly) {
        const QByteArray key = publicKey(local.value(QStringLiteral("PublicKey")));
        if (key.isEmpty())
            return QStringLiteral("the installed PublicKey is not an Ed25519 key in base64");
        const QByteArray raw = strictBase64(signature, Crypto::signatureSize);
        if (raw.isEmpty())
            return QStringLiteral("the signature is not 64 bytes in base64");
        if (!Crypto::verify(key, list, raw))
            return QStringLiteral("the signature does not verify with the installed PublicKey");
    }
    const UpdateList read = UpdateList::parse(list);
    if (!read.isWellFormed())
        return QStringLiteral("the list is not well-formed");
    if (read.value(QStringLiteral("Version")).trimmed().isEmpty())
        return QStringLiteral("the list names no Version");
    if (read.value(QStringLiteral("Notes")).toUtf8().size() > maxNotes)
        return QStringLiteral("the list's Notes are longer than %1 bytes").arg(maxNotes);
    if (read.contains(QStringLiteral("Rollout"))) {
        const QString share = read.value(QStringLiteral("Rollout")).trimmed();
        bool number = false;
        const int rollout = share.toInt(&number);
        if (!number || share.startsWith(u'+') || rollout < 0 || rollout > 100)
            return QStringLiteral("the list's Rollout \"%1\" is not a share from 0 to 100")
                .arg(share);
    }
    if (read.contains(QStringLiteral("Expires"))) {
        const QString text = read.value(QStringLiteral("Expires")).trimmed();
        const QDateTime expires = QDateTime::fromString(text, Qt::ISODate);
        if (!expires.isValid() || !text.endsWith(u'Z'))
            return QStringLiteral("the list's Expires \"%1\" is not a UTC time").arg(text);
        if (expires <= QDateTime::currentDateTimeUtc())
            return QStringLiteral("the server's list expired at %1").arg(text);
    }
    if (signedOnly) {
        if (publicKey(read.value(QStringLiteral("PublicKey"))).isEmpty())
            return QStringLiteral("the signed list carries no PublicKey to hand on");
        for (const UpdateList::FileEntry &file : read.files()) {
            if (file.sha256.isEmpty() || file.size.isEmpty())
                return QStringLiteral("the signed list gives %1 no Sha256 and Size").arg(file.name);
        }
    }
    *parsed = read;
    return {};
}
