#include "download.h"

#include "durablefile.h"

#include <QAuthenticator>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSaveFile>

#include <algorithm>

Q_LOGGING_CATEGORY(lcDownload, "tavrel.download")

namespace {
Download::ProxyLogin proxyLogin;
}

void Download::setProxyLogin(ProxyLogin login)
{
    proxyLogin = std::move(login);
}

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
    connect(manager, &QNetworkAccessManager::proxyAuthenticationRequired, this,
        [](const QNetworkProxy &proxy, QAuthenticator *authenticator) {
            if (proxyLogin)
                proxyLogin(proxy, authenticator);
        });
    connect(&rateTimer, &QTimer::timeout, this, &Download::sampleRate);
    connect(&writer, &FileWriter::pieceDone, this, &Download::onPieceDone);
}

Download::~Download()
{
    if (reply) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    writer.finish();
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
    arrived = 0;
    resumed = 0;
    spoiled = false;
    headersChecked = false;
    diskFull = false;
    hash.reset();

    bool opened = false;
    if (partialPath.isEmpty()) {
        file = std::make_unique<QSaveFile>(path);
        out = file.get();
        opened = file->open(QIODevice::WriteOnly);
    } else {
        // Whatever an earlier run left there, only a plain file of our own is continued.
        partial = std::make_unique<QFile>(partialPath);
        out = partial.get();
        opened = DurableFile::openPlain(*partial, QIODevice::ReadWrite);
    }
    if (!opened) {
        const QString reason
            = QStringLiteral("cannot write %1: %2").arg(out->fileName(), out->errorString());
        file.reset();
        partial.reset();
        out = nullptr;
        // Reported from the event loop, like every other outcome, so callers see one order.
        QTimer::singleShot(0, this, [this, reason] { end(reason); });
        return;
    }
    QByteArray validator;
    if (partial) {
        QFile kept(partialPath + validatorSuffix);
        validator
            = DurableFile::openPlain(kept, QIODevice::ReadOnly) ? kept.read(1024) : QByteArray();
        const qint64 size = partial->size();
        // Without the validator the server could append the rest of another file.
        if (!validator.isEmpty() && size > 0 && (expectedSize < 0 || size < expectedSize))
            resumed = size;
        else
            partial->resize(0);
        partial->seek(resumed);
    }
    if (deadline > 0)
        deadlineTimer.start(deadline);
    else
        deadlineTimer.stop();
    arrivedAt = { 0 };
    if (floorBytes > 0 && floorWindow > 0)
        rateTimer.start(std::max(1, floorWindow / rateSamples));
    else
        rateTimer.stop();
    get(validator);
}

void Download::sampleRate()
{
    arrivedAt.append(arrived);
    if (arrivedAt.size() <= rateSamples)
        return;
    const qint64 lately = arrivedAt.last() - arrivedAt.first();
    arrivedAt.removeFirst();
    if (lately < floorBytes)
        fail(QStringLiteral("too slow: %1 bytes in %2 ms, less than %3")
                 .arg(lately)
                 .arg(floorWindow)
                 .arg(floorBytes));
}

void Download::get(const QByteArray &validator)
{
    answerSettled = false;
    QNetworkRequest request(source);
    request.setRawHeader("User-Agent", QByteArray(userAgent.data(), userAgent.size()));
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(
        QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    if (resumed > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(resumed) + '-');
        request.setRawHeader("If-Range", validator);
    }
    reply = manager->get(request);
    // What the network delivers faster than the disk takes waits in the socket, not in memory;
    // a couple of MiB keep the network going while a piece is hashed and written.
    reply->setReadBufferSize(2 * 1024 * 1024);
    connect(reply, &QNetworkReply::readyRead, this, &Download::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &Download::onFinished);
    connect(reply, &QNetworkReply::metaDataChanged, this, [this] { stallTimer.start(); });
    if (partial)
        connect(reply, &QNetworkReply::metaDataChanged, this, &Download::onMetaData);
    stallTimer.start(stallTimeout);
}

void Download::onMetaData()
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool taken = status >= 200 && status <= 299;
    // A failure status fails as usual and leaves the kept part for a later try.
    if (answerSettled || (!taken && (resumed == 0 || status != 416)))
        return;
    answerSettled = true;
    if (resumed > 0 && status == 206 && continues()) {
        received = resumed;
    } else if (resumed > 0 && status != 200) {
        // Not the rest and not the whole: asked again for the whole.
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
        reply = nullptr;
        startOver();
        get();
        return;
    } else {
        startOver();
    }
    // A weak ETag may not name a range; Last-Modified then stands in.
    QByteArray validator = reply->rawHeader("ETag");
    if (validator.isEmpty() || validator.startsWith("W/"))
        validator = reply->rawHeader("Last-Modified");
    QFile kept(partialPath + validatorSuffix);
    if (validator.isEmpty() || !DurableFile::openPlain(kept, QIODevice::WriteOnly)
        || kept.write(validator) < 0) {
        kept.close();
        QFile::remove(kept.fileName());
    }
}

// Exactly the rest that was asked for, of a file of the expected size; the kept part taken
// into the hash.
bool Download::continues()
{
    const QByteArray range = reply->rawHeader("Content-Range").trimmed();
    if (!range.startsWith("bytes "))
        return false;
    const qsizetype dash = range.indexOf('-');
    const qsizetype slash = range.indexOf('/');
    bool ok[3] = {};
    const qint64 first = range.mid(6, dash - 6).toLongLong(&ok[0]);
    const qint64 last = range.mid(dash + 1, slash - dash - 1).toLongLong(&ok[1]);
    const qint64 total = range.mid(slash + 1).toLongLong(&ok[2]);
    if (dash < 0 || slash < dash || !ok[0] || !ok[1] || !ok[2] || first != resumed
        || last != total - 1 || (expectedSize >= 0 && total != expectedSize))
        return false;
    if (expectedSha256.isEmpty())
        return true;
    if (!partial->seek(0))
        return false;
    for (qint64 left = resumed; left > 0;) {
        const QByteArray block = partial->read(std::min<qint64>(left, 1024 * 1024));
        if (block.isEmpty())
            return false;
        hash.addData(block);
        left -= block.size();
    }
    return true;
}

void Download::startOver()
{
    hash.reset();
    resumed = 0;
    received = 0;
    if (!partial->resize(0) || !partial->seek(0))
        fail(writeFailure());
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
        if (expectedSize >= 0 && length + resumed != expectedSize)
            return QStringLiteral("announced %1 bytes instead of %2")
                .arg(length + resumed)
                .arg(expectedSize);
    }
    return {};
}

void Download::onReadyRead()
{
    if (!reply || !failure.isEmpty())
        return;
    if (const QString problem = consume(); !problem.isEmpty()) {
        spoiled = true;
        fail(problem);
    }
}

QString Download::consume()
{
    if (!headersChecked) {
        headersChecked = true;
        if (const QString problem = checkHeaders(); !problem.isEmpty())
            return problem;
        writer.begin(out, expectedSha256.isEmpty() ? nullptr : &hash);
    }
    stallTimer.start();
    const qsizetype capacity
        = maxSize >= 0 ? qMin(FileWriter::pieceSize, maxSize + 1) : FileWriter::pieceSize;
    bool any = false;
    // A writer that is behind leaves the rest in the reply, whose full buffer holds the sender.
    while (writer.hasRoom()) {
        if (piece.isEmpty())
            piece = QByteArray(capacity, Qt::Uninitialized);
        const qint64 got = reply->read(piece.data() + filled, piece.size() - filled);
        if (got <= 0)
            break;
        any = true;
        received += got;
        arrived += got;
        if (maxSize >= 0 && received > maxSize)
            return QStringLiteral("more than %1 bytes").arg(maxSize);
        if (expectedSize >= 0 && received > expectedSize)
            return QStringLiteral("more than the expected %1 bytes").arg(expectedSize);
        filled += got;
        if (filled == piece.size())
            handOver();
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

void Download::handOver()
{
    piece.truncate(filled);
    writer.write(std::move(piece));
    piece = QByteArray();
    filled = 0;
}

void Download::onPieceDone()
{
    if (!reply || !writer.isRunning())
        return;
    if (writer.failed()) {
        spoiled = true;
        fail(writeFailure());
    }
    if (!reply)
        return;
    if (replyOver)
        settle();
    else
        onReadyRead();
}

QString Download::writeFailure()
{
    diskFull = out->error() == QFileDevice::ResourceError;
    return QStringLiteral("cannot write %1: %2").arg(target, out->errorString());
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
    replyOver = true;
    settle();
}

void Download::settle()
{
    QString reason = failure;
    // The network error comes first: a cut-off answer is a broken connection, not a short file.
    if (reason.isEmpty() && reply->error() == QNetworkReply::NoError) {
        reason = consume();
        if (reason.isEmpty() && reply->bytesAvailable() > 0)
            return; // the writer's next piece brings the rest
    }
    // What arrived goes to the file, also from a transfer that broke off: the part kept is then
    // all that came. An answer refused for what it holds is no part of it.
    if (filled > 0 && !spoiled)
        handOver();
    if (!writer.finish()) {
        spoiled = true;
        if (reason.isEmpty())
            reason = writeFailure();
    }
    if (reason.isEmpty())
        reason = checkComplete();
    // An answer refused for what it holds, not for a broken connection, is no part of the file.
    spoiled = spoiled
        || (failure.isEmpty() && reply->error() == QNetworkReply::NoError && !reason.isEmpty());
    if (reason.isEmpty()) {
        // Everything is written and checked: from here to "got" the file is synced and renamed.
        qCDebug(lcDownload) << "received" << source << "- committing";
        if (!commit())
            reason = writeFailure();
    }
    end(reason);
}

bool Download::commit()
{
    // A full disk may show only when the last of the file leaves Qt's buffer, which the commit
    // of a QSaveFile does not look at.
    if (file)
        return file->flush() && file->commit();
    // Like a saved file, on the disk before it takes its name.
    const bool synced = DurableFile::sync(*partial);
    partial->close();
    if (!synced || partial->error() != QFileDevice::NoError
        || !DurableFile::replace(partialPath, target, QString()).isEmpty())
        return false;
    QFile::remove(partialPath + validatorSuffix);
    return true;
}

// What arrived stays for a later try, as long as it can be continued.
void Download::keepOrDropPartial()
{
    const qint64 kept = partial->size();
    partial->close();
    const QString validator = partialPath + validatorSuffix;
    if (spoiled || kept == 0 || !DurableFile::isPlainFile(validator)) {
        QFile::remove(partialPath);
        QFile::remove(validator);
    }
}

void Download::end(const QString &reason)
{
    piece = QByteArray();
    filled = 0;
    replyOver = false;
    stallTimer.stop();
    deadlineTimer.stop();
    rateTimer.stop();
    if (file) {
        // A failed answer leaves nothing behind, not even the hidden file it was written to.
        if (!reason.isEmpty())
            file->cancelWriting();
        file.reset();
    }
    if (partial) {
        if (!reason.isEmpty())
            keepOrDropPartial();
        partial.reset();
    }
    out = nullptr;
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
