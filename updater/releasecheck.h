#pragma once

#include "updatelist.h"

#include <QList>
#include <QString>
#include <QStringList>

// What the updater accepts from a server's update list before it downloads anything.
namespace ReleaseCheck {

// A name that means one and the same single file in the temp folder and in the program directory
// on every system the programs run on: not empty, "." or "..", without folder separators, drive
// letters or stream names (":"), control characters or other characters Windows refuses, without
// a trailing dot or blank (Windows drops them) and not a Windows device name.
bool isPlainName(const QString &name);

// Empty when every entry can be downloaded and installed: a plain name, none twice and none of
// the reserved ones (compared without regard to case, as Windows does), a Sha256 of 64
// hexadecimal digits and a Size of decimal digits where given. Otherwise what is wrong.
QString problem(const QList<UpdateList::FileEntry> &files, const QStringList &reserved);

} // namespace ReleaseCheck
