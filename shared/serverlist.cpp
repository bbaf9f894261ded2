#include "serverlist.h"

#include "crypto.h"
#include "download.h"

#include <QFile>
#include <QUrl>

namespace {

QByteArray strictBase64(const QByteArray &text, qsizetype size)
{
    const auto decoded = QByteArray::fromBase64Encoding(
        text.trimmed(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    return decoded && decoded.decoded.size() == size ? decoded.decoded : QByteArray();
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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
    return strictBase64(text.toUtf8(), Crypto::publicKeySize);
}

void ServerList::start(const UpdateList &local, const QString &path)
{
    listPath = path;
    signaturePath = path + QStringLiteral(".sig");
    // An installed PublicKey that is not a key verifies nothing: such an installation takes no
    // list until the key is mended, rather than any list.
    signedOnly = local.contains(QStringLiteral("PublicKey"));
    key = publicKey(local.value(QStringLiteral("PublicKey")));
    received = UpdateList();
    failure.clear();
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
    if (--pending == 0)
        end(failure.isEmpty() ? check() : failure);
}

QString ServerList::check()
{
    if (signedOnly) {
        if (key.isEmpty())
            return QStringLiteral("the installed PublicKey is not a 32-byte key in base64");
        const QByteArray signature = strictBase64(readAll(signaturePath), Crypto::signatureSize);
        if (signature.isEmpty())
            return QStringLiteral("the signature is not 64 bytes in base64");
        if (!Crypto::verify(key, readAll(listPath), signature))
            return QStringLiteral("the signature does not verify with the installed PublicKey");
    }
    received = UpdateList::read(listPath);
    if (signedOnly && publicKey(received.value(QStringLiteral("PublicKey"))).isEmpty())
        return QStringLiteral("the signed list carries no PublicKey to hand on");
    return {};
}

void ServerList::end(const QString &reason)
{
    QFile::remove(signaturePath);
    if (!reason.isEmpty()) {
        received = UpdateList();
        QFile::remove(listPath);
    }
    Q_EMIT finished(reason.isEmpty(), reason);
}
