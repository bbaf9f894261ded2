#include "handleraddress.h"

#include <QStringList>
#include <QUrlQuery>

#include <algorithm>

namespace {

bool hasControlCharacter(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) {
        return c.category() == QChar::Other_Control || c == QChar::LineSeparator
            || c == QChar::ParagraphSeparator;
    });
}

} // namespace

QUrl HandlerAddress::checked(const QString &address)
{
    // Decoded as the handler will decode it; a character left raw counts the same.
    if (hasControlCharacter(QUrl::fromPercentEncoding(address.toUtf8())))
        return {};
    const QUrl url(address);
    if (!url.isValid())
        return {};
    const QString scheme = url.scheme();
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
        return url.host().isEmpty() ? QUrl() : url;
    if (scheme != QLatin1String("mailto"))
        return {};
    static const QStringList mailFields { QStringLiteral("to"), QStringLiteral("cc"),
        QStringLiteral("bcc"), QStringLiteral("subject"), QStringLiteral("body") };
    const auto fields = QUrlQuery(url).queryItems(QUrl::FullyDecoded);
    const bool onlyMailFields = std::all_of(fields.cbegin(), fields.cend(),
        [](const auto &field) { return mailFields.contains(field.first, Qt::CaseInsensitive); });
    return onlyMailFields ? url : QUrl();
}
