#include "rollout.h"

#include "crypto.h"
#include "versiontext.h"

int Rollout::place(const QString &machineKey, const QString &version)
{
    const QByteArray digest
        = Crypto::sha256((machineKey + u'/' + version.trimmed()).toUtf8()).toHex().left(8);
    return int(digest.toUInt(nullptr, 16) % 100);
}

Rollout::Offer Rollout::offer(const UpdateList &server, const QString &localVersion,
    const QString &machineKey, const QString &badVersion)
{
    const QString version = server.value(QStringLiteral("Version"));
    if (VersionText::compare(version, localVersion) <= 0
        || (!badVersion.isEmpty() && VersionText::compare(version, badVersion) == 0))
        return Offer::None;
    const QString minimum = server.value(QStringLiteral("MinimumVersion"));
    const bool belowMinimum
        = !minimum.trimmed().isEmpty() && VersionText::compare(localVersion, minimum) < 0;
    const QString share = server.value(QStringLiteral("Rollout")).trimmed();
    const int rollout = share.isEmpty() ? 100 : share.toInt();
    if (!belowMinimum && place(machineKey, version) >= rollout)
        return Offer::None;
    return belowMinimum || minimum.trimmed().isEmpty() ? Offer::Required : Offer::Optional;
}
