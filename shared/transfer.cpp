#include "transfer.h"

#include <QNetworkReply>

QNetworkRequest Transfer::request(const QUrl &url, int stallTimeout)
{
    QNetworkRequest request(url);
    request.setRawHeader("User-Agent", QByteArray(userAgent.data(), userAgent.size()));
    request.setTransferTimeout(stallTimeout);
    return request;
}

QString Transfer::failure(const QNetworkReply *reply)
{
    if (reply->error() != QNetworkReply::NoError)
        return reply->errorString();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status > 299)
        return QStringLiteral("HTTP status %1").arg(status);
    return {};
}
