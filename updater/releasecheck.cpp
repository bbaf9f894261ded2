#include "releasecheck.h"

#include <QRegularExpression>

bool ReleaseCheck::isPlainName(const QString &name)
{
    static const QRegularExpression refused(QStringLiteral("[\\x00-\\x1f\\x7f<>:\"/\\\\|?*]"));
    static const QRegularExpression device(
        QStringLiteral("^(con|prn|aux|nul|com[1-9]|lpt[1-9])(\\..*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.endsWith(u'.') && !name.endsWith(u' ') && !refused.match(name).hasMatch()
        && !device.match(name).hasMatch();
}

QString ReleaseCheck::problem(
    const QList<UpdateList::FileEntry> &files, const QStringList &reserved)
{
    static const QRegularExpression sha256(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    static const QRegularExpression size(QStringLiteral("^[0-9]{1,18}$"));
    QStringList seen = reserved;
    for (const UpdateList::FileEntry &file : files) {
        if (!isPlainName(file.name))
            return QStringLiteral("not a plain file name: \"%1\"").arg(file.name);
        if (seen.contains(file.name, Qt::CaseInsensitive))
            return QStringLiteral("name listed twice or reserved: \"%1\"").arg(file.name);
        seen << file.name;
        if (!file.sha256.isEmpty() && !sha256.match(file.sha256).hasMatch())
            return QStringLiteral("Sha256 of %1 is not 64 hexadecimal digits").arg(file.name);
        if (!file.size.isEmpty() && !size.match(file.size).hasMatch())
            return QStringLiteral("Size of %1 is not a number of bytes").arg(file.name);
    }
    return {};
}
