#pragma once

#include <QLatin1StringView>
#include <QNetworkRequest>
#include <QString>

class QNetworkReply;

// What every transfer of the client's and the updater's own shares: the fixed user agent,
// the stall timeout, and the rule that only a 2xx answer is a file.
namespace Transfer {

// The server may tell the programs' own transfers from the pages by this exact text.
inline constexpr QLatin1StringView userAgent(
    "Mozilla/5.0 (Windows NT 5.1) AppleWebKit/537.11 (KHTML, like Gecko) "
    "Chrome/23.0.1271.91 Safari/537.11");

// A transfer that receives nothing for this long is given up.
inline constexpr int stallTimeoutMs = 30000;

QNetworkRequest request(const QUrl &url, int stallTimeout = stallTimeoutMs);

// Empty when the reply delivered a file; otherwise why not, for the debug output.
QString failure(const QNetworkReply *reply);

} // namespace Transfer
