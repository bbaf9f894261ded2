#pragma once

#include <QString>

// The order of version texts, shared by the client's start-up check and the updater.
namespace VersionText {

// Negative when a is older than b, zero when they are the same version, positive when a is newer.
// Dot-separated runs of digits compare part by part as numbers, a missing part counting as 0
// ("1.10" is newer than "1.9", "1.0" equals "1.0.0"); any other text compares as plain text.
int compare(const QString &a, const QString &b);

} // namespace VersionText
