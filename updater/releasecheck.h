#pragma once

#include "updatelist.h"

#include <QList>
#include <QString>
#include <QStringList>

// What the updater accepts from a server's update list before it downloads anything; the
// release tool applies the same rules, so the two cannot disagree.
namespace ReleaseCheck {

// A size for a file listed without one: a longer answer is not a release file.
constexpr qint64 unsizedCap = qint64(1) << 30;

// A name that means one and the same single file in the temp folder and in the program directory
// on every system the programs run on: valid Unicode, not empty, "." or "..", without folder
// separators, drive letters or stream names (":"), C0 or C1 control characters or other
// characters Windows refuses, without a trailing dot or blank (Windows drops them) and not a
// Windows device name, however Windows would spell it ("con .txt", "COM¹").
bool isPlainName(const QString &name);

// The name as two names are compared for sameness: NFC, then case folded, as Windows ignores
// case and a Mac file system normalises.
QString sameness(const QString &name);

// Names no release file may have: the updaters' own files and folders in temp/ and the program
// directory's own folders.
QStringList reservedNames();

// Empty when every entry can be downloaded and installed: a plain name, none twice and none
// reserved (compared by sameness()), a Sha256 of exactly 64 hexadecimal digits, a Size of
// decimal digits and Executable "yes" where given. Otherwise what is wrong.
QString problem(
    const QList<UpdateList::FileEntry> &files, const QStringList &reserved = reservedNames());

} // namespace ReleaseCheck
