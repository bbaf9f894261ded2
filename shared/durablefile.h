#pragma once

#include <QIODevice>
#include <QString>

class QFile;

// File operations whose outcome survives a crash or a power cut, for the installation and
// its recovery. Nothing here follows a symbolic link: a link is an entry of its own.
namespace DurableFile {

// A folder itself, not a link or junction to one (nor a file).
bool isPlainFolder(const QString &path);
// A regular file itself, not a link to one (nor a folder).
bool isPlainFile(const QString &path);
// Anything at all under that name, a dangling link included.
bool isTaken(const QString &path);

// Whether every entry of the folder has a name that reads back as the same bytes, as the folder
// listings of Qt show only those; false when the folder cannot be read.
bool namesAllReadable(const QString &folder);

// Opens the regular file named by file.fileName() without following a link. Whatever else holds
// that name (a link, dangling or not, a folder with all it holds, a pipe) is removed first: the
// entry itself, never what a link points to. A writable mode makes the file when it is missing.
bool openPlain(QFile &file, QIODevice::OpenMode mode);

// Flushes the file and waits until its contents are on the disk.
bool sync(QFile &file);
// Waits until the folder's entries (names made, renamed, removed) are on the disk. Windows
// writes them through with every move made here, so there it has nothing to do.
bool syncFolder(const QString &path);

// Gives the file at `from` a second name `to` (replacing what `to` held): a hard link where the
// file system allows one, else a copy made at `scratch` first and synced. Empty on success,
// else the reason.
QString keep(const QString &from, const QString &to, const QString &scratch);

// Puts `from` over `to` in one step: at every instant `to` holds the old file or the new one.
// On Windows a running program cannot be replaced in place; it is moved to `aside` first.
// Empty on success, else the reason ("磁盘空间不足" for a full disk).
QString replace(const QString &from, const QString &to, const QString &aside);

} // namespace DurableFile
