#pragma once

#include <QLatin1StringView>
#include <QString>

// The folder that holds both programs, their UpdateList.xml, temp/ and cache/.
// Nothing is ever taken from the working directory or the search path.
namespace ProgramDir {

// The folder of the running executable; usable before the application object exists.
QString path();

// Points every path below at another folder; tests use it for a temporary program directory.
void setPath(const QString &folder);

QString updateList(); // <program dir>/UpdateList.xml
QString tempDir(); // <program dir>/temp
QString tempUpdateList(); // <program dir>/temp/UpdateList.xml
QString skippedVersion(); // <program dir>/temp/skip-version: a release the user put off once
// <program dir>/temp/bad-version: a release whose client did not start, rolled back; never
// taken again
QString badVersion();
// The version that record names, as the server's Version text was; empty without a record. Only
// a plain file is read, and only its first 64 KiB: nothing read there is trusted further.
QString rolledBackVersion();
QString cacheDir(); // <program dir>/cache

// The installer's journal and backup folder in temp/: while either is there, an installation
// is unfinished, and only the updater may finish or undo it.
constexpr QLatin1StringView installJournalName { "install-journal" };
constexpr QLatin1StringView installBackupName { "install-backup" };
bool hasUnfinishedInstall();

// In temp/, after an installation: the old release's files, kept until the new client shows
// its window (the name counts as no unfinished installation, so the new client starts), and the
// marker that the new client removes when it does.
constexpr QLatin1StringView previousInstallName { "install-previous" };
constexpr QLatin1StringView unconfirmedName { "unconfirmed" };

// In temp/: the lock an updater holds while it works there, and the folder of the client's
// version check, which never shares a download path with the updater.
constexpr QLatin1StringView updateLockName { "update.lock" };
constexpr QLatin1StringView checkDirName { "check" };

// Full path of one of the programs in the program directory, with ".exe" on Windows.
QString executable(const QString &name);

// Starts one of the programs, detached, by its full path, with the program directory as its
// working directory and no arguments: nothing is looked up on the search path. False when it
// could not be started.
bool start(const QString &name);

} // namespace ProgramDir
