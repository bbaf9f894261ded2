#pragma once

#include <QString>

// The order of version texts, shared by the client's start-up check and the updater.
namespace VersionText {

// Negative when a is older than b, zero when they are the same version, positive when a is newer.
// White space around a version and trailing ".0" parts don't count ("1.0" equals "1.0.0" and
// "1"). The rest is read as runs of digits and runs of anything else: digit runs compare as
// numbers of any length ("1.10" is newer than "1.9", "01.2" equals "1.2"), other runs as text,
// a digit run against another run by their first characters, and a text that is the start of
// the other is the older. This is a total order, so it can also sort.
int compare(const QString &a, const QString &b);

} // namespace VersionText
