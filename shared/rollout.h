#pragma once

#include "updatelist.h"

#include <QString>

// What an installation does with a server's list that counts: nothing, an update the user may
// put off, or one that starts at once. The client and the updater decide alike. A release may
// be rolled out to a share of the installations (Rollout, 0 to 100, absent meaning all); an
// installation's place in the roll-out is fixed by its machine key and the release's version,
// so it neither changes between starts nor differs between the client and the updater. An
// installation older than MinimumVersion must update whatever the roll-out says; at or above
// it, it may put the update off; without MinimumVersion every update is required.
namespace Rollout {

enum class Offer { None, Optional, Required };

// 0 to 99: the first 8 hexadecimal digits of the SHA-256 of the UTF-8 of machineKey + "/" +
// the trimmed version, as an unsigned number, modulo 100.
int place(const QString &machineKey, const QString &version);

// The server's list as one installation of localVersion with machineKey takes it; a version
// that the installation rolled back once (badVersion) is never offered again.
Offer offer(const UpdateList &server, const QString &localVersion, const QString &machineKey,
    const QString &badVersion);

} // namespace Rollout
