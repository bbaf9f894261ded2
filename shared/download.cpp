#include "download.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSaveFile>

Q_LOGGING_CATEGORY(lcDownload, "tavrel.download")

Download::Download(QObject *parent)
    : QObject(parent)
    , manager(new QNetworkAccessManager(this))
{
    stallTimer.setSingleShot(true);
    deadlineTimer.setSingleShot(true);
    connect(&stallTimer, &QTimer::timeout, this,
        [this] { fail(QStringLiteral("no data for %1 ms").arg(stallTimeout)); });
    connect(&deadlineTimer, &QTimer::timeout, this,
        [this] { fail(QStringLiteral("not done within %1 ms").arg(deadline)); });
}

Download::~Download()
{
    if (reply) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    if (file)
        file->cancelWriting();
}

void Download::start(const QUrl &url, const QString &path)
{
    Q_ASSERT(!reply);
    source = url;
    target = path;
    failure.clear();
    received = 0;
    headersChecked = false;
    diskFull = false;
    hash.reset();

    file = std::make_unique<QSaveFile>(path);
    if (!file->open(QIODevice::WriteOnly)) {
        const QString reason = QStringLiteral("cannot write %1: %2").arg(path, file->errorString());
        file.reset();
        // Reported from the event loop, like every other outcome, so callers see one order.
        QTimer::singleShot(0, this, [this, reason] { end(reason); });
        return;
    }

    QNetworkRequest request(url);
    request.setRawHeader("User-Agent", QByteArray(userAgent.data(), userAgent.size()));
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(
        QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    reply = manager->get(request);
    // What the network delivers faster than the disk takes waits in the socket, not in memory;
    // a couple of MiB keep the network going while a piece is hashed and written.
    reply->setReadBufferSize(2 * 1024 * 1024);
    connect(reply, &QNetworkReply::readyRead, this, &Download::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &Download::onFinished);
    connect(reply, &QNetworkReply::metaDataChanged, this, [this] { stallTimer.start(); });
    stallTimer.start(stallTimeout);
    if (deadline > 0)
        deadlineTimer.start(deadline);
    else
        deadlineTimer.stop();
}

void Download::abort(const QString &reason)
{
    fail(reason);
}

void Download::fail(const QString &reason)
{
    if (!reply)
        return;
    if (failure.isEmpty())
        failure = reason;
    // Aborting finishes the reply at once, which ends the transfer in onFinished().
    reply->abort();
}

QString Download::checkHeaders() const
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status > 299)
        return QStringLiteral("HTTP status %1").arg(status);
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (announced.isValid()) {
        const qint64 length = announced.toLongLong();
        if (maxSize >= 0 && length > maxSize)
            return QStringLiteral("announced %1 bytes, more than %2").arg(length).arg(maxSize);
        if (expectedSize >= 0 && length != expectedSize)
            return QStringLiteral("announced %1 bytes instead of %2").arg(length).arg(expectedSize);
    }
    return {};
}

void Download::onReadyRead()
{
    if (!reply || !failure.isEmpty())
        return;
    if (const QString problem = consume(); !problem.isEmpty())
        fail(problem);
}

QString Download::consume()
{
    if (!headersChecked) {
        headersChecked = true;
        if (const QString problem = checkHeaders(); !problem.isEmpty())
            return problem;
    }
    stallTimer.start();
    // One small block for the whole transfer: it stays in the CPU's cache from the read through
    // the hash to the write, which makes a 1 GiB file twice as fast as megabyte-sized pieces.
    if (block.isEmpty())
        block.resize(maxSize >= 0 ? qMin(blockSize, maxSize + 1) : blockSize);
    qint64 got = 0;
    bool any = false;
    while ((got = reply->read(block.data(), block.size())) > 0) {
        any = true;
        const QByteArrayView data(block.constData(), got);
        received += got;
        if (maxSize >= 0 && received > maxSize)
            return QStringLiteral("more than %1 bytes").arg(maxSize);
        if (expectedSize >= 0 && received > expectedSize)
            return QStringLiteral("more than the expected %1 bytes").arg(expectedSize);
        if (file->write(data.data(), got) != got)
            return writeFailure();
        if (!expectedSha256.isEmpty())
            hash.addData(data);
    }
    if (!any)
        return {};
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    Q_EMIT progress(received,
        expectedSize >= 0         ? expectedSize
            : announced.isValid() ? announced.toLongLong()
                                  : -1);
    return {};
}

QString Download::writeFailure()
{
    diskFull = file->error() == QFileDevice::ResourceError;
    return QStringLiteral("cannot write %1: %2").arg(target, file->errorString());
}

QString Download::checkComplete() const
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() || reply->error() == QNetworkReply::NoError) {
        if (const QString problem = checkHeaders(); !problem.isEmpty())
            return problem;
    }
    if (reply->error() != QNetworkReply::NoError)
        return reply->errorString();
    if (expectedSize >= 0 && received != expectedSize)
        return QStringLiteral("%1 bytes instead of %2").arg(received).arg(expectedSize);
    if (!expectedSha256.isEmpty()) {
        const QByteArray got = hash.result().toHex();
        if (got != expectedSha256)
            return QStringLiteral("SHA-256 %1 instead of %2")
                .arg(QString::fromLatin1(got), QString::fromLatin1(expectedSha256));
    }
    return {};
}

void Download::onFinished()
{
    QString reason = failure;
    // The network error comes first: a cut-off answer is a broken connection, not a short file.
    if (reason.isEmpty() && reply->error() == QNetworkReply::NoError)
        reason = consume();
    if (reason.isEmpty())
        reason = checkComplete();
    if (reason.isEmpty() && !file->commit())
        reason = writeFailure();
    end(reason);
}

void Download::end(const QString &reason)
{
    block = QByteArray();
    stallTimer.stop();
    deadlineTimer.stop();
    if (file) {
        // A failed answer leaves nothing behind, not even the hidden file it was written to.
        if (!reason.isEmpty())
            file->cancelWriting();
        file.reset();
    }
    if (reply) {
        reply->disconnect(this);
        reply->deleteLater();
        reply = nullptr;
    }
    if (reason.isEmpty())
        qCDebug(lcDownload) << "got" << source << received << "bytes";
    else
        qCDebug(lcDownload) << "failed" << source << reason;
    Q_EMIT finished(reason.isEmpty(), reason);
}
