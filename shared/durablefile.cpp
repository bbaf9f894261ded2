#include "durablefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
QString lastError()
{
    const DWORD code = GetLastError();
    if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL)
        return QStringLiteral("磁盘空间不足");
    return QStringLiteral("Windows error %1").arg(code);
}

std::wstring native(const QString &path)
{
    return QFileInfo(path).absoluteFilePath().replace(u'/', u'\\').toStdWString();
}

bool move(const QString &from, const QString &to)
{
    return MoveFileExW(native(from).c_str(), native(to).c_str(),
        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}
// A descriptor of the regular file at path, opened without following a link; -1 when there is
// none, or something else holds the name.
int openRegular(const QString &path, QIODevice::OpenMode mode)
{
    const bool writes = mode & QIODevice::WriteOnly;
    const bool reads = mode & QIODevice::ReadOnly;
    // As QFile has it: writing alone starts the file afresh.
    const bool truncates
        = (mode & QIODevice::Truncate) || (writes && !reads && !(mode & QIODevice::Append));
    const HANDLE handle = CreateFileW(native(path).c_str(),
        (reads ? GENERIC_READ : 0) | (writes ? GENERIC_WRITE : 0),
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        !writes         ? OPEN_EXISTING
            : truncates ? CREATE_ALWAYS
                        : OPEN_ALWAYS,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    BY_HANDLE_FILE_INFORMATION info;
    const bool regular = GetFileType(handle) == FILE_TYPE_DISK
        && GetFileInformationByHandle(handle, &info)
        && !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    const int fd = regular ? _open_osfhandle(intptr_t(handle),
                       (reads && writes ? _O_RDWR
                               : writes ? _O_WRONLY
                                        : _O_RDONLY)
                           | (mode & QIODevice::Append ? _O_APPEND : 0) | _O_BINARY)
                           : -1;
    if (fd < 0)
        CloseHandle(handle);
    return fd;
}

void closeDescriptor(int fd)
{
    _close(fd);
}
#else
QString lastError()
{
    return errno == ENOSPC ? QStringLiteral("磁盘空间不足")
                           : QString::fromLocal8Bit(strerror(errno));
}

// A descriptor of the regular file at path, opened without following a link; -1 when there is
// none, or something else holds the name.
int openRegular(const QString &path, QIODevice::OpenMode mode)
{
    const bool writes = mode & QIODevice::WriteOnly;
    const bool reads = mode & QIODevice::ReadOnly;
    // As QFile has it: writing alone starts the file afresh.
    const bool truncates
        = (mode & QIODevice::Truncate) || (writes && !reads && !(mode & QIODevice::Append));
    // Non-blocking, so that a pipe placed there cannot hold the open until a writer comes.
    int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    flags |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
    if (writes)
        flags |= O_CREAT;
    if (truncates)
        flags |= O_TRUNC;
    if (mode & QIODevice::Append)
        flags |= O_APPEND;
    const int fd = ::open(QFile::encodeName(path).constData(), flags, 0666);
    if (fd < 0)
        return -1;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)
        || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void closeDescriptor(int fd)
{
    ::close(fd);
}
#endif

// Removes the entry itself: a link, to a folder too, goes without what it points to, and a
// folder is emptied without following the links inside it.
bool removeEntry(const QString &path)
{
    if (DurableFile::isPlainFolder(path)) {
        const QFileInfoList entries = QDir(path).entryInfoList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QFileInfo &entry : entries)
            removeEntry(entry.filePath());
        return QDir().rmdir(path);
    }
    return QFile::remove(path) || QDir().rmdir(path);
}

} // namespace

bool DurableFile::isPlainFolder(const QString &path)
{
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink() && !info.isJunction();
}

bool DurableFile::isPlainFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && !info.isSymLink();
}

bool DurableFile::isTaken(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

bool DurableFile::openPlain(QFile &file, QIODevice::OpenMode mode)
{
    const QString path = file.fileName();
    // Opened first and removed only when that fails, so nothing between a check and the open
    // can slip a link in.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (const int fd = openRegular(path, mode); fd >= 0) {
            if (file.open(fd, mode, QFileDevice::AutoCloseHandle))
                return true;
            closeDescriptor(fd);
            return false;
        }
        if (!isTaken(path) || isPlainFile(path) || !removeEntry(path))
            return false;
    }
    return false;
}

bool DurableFile::sync(QFile &file)
{
    if (!file.flush())
        return false;
#ifdef Q_OS_WIN
    return FlushFileBuffers(HANDLE(_get_osfhandle(file.handle())));
#else
    return ::fsync(file.handle()) == 0;
#endif
}

bool DurableFile::syncFolder(const QString &path)
{
#ifdef Q_OS_WIN
    Q_UNUSED(path);
    return true;
#else
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
#endif
}

QString DurableFile::keep(const QString &from, const QString &to, const QString &scratch)
{
    if (isTaken(to) && !QFile::remove(to))
        return QObject::tr("无法删除 %1").arg(to);
#ifdef Q_OS_WIN
    if (CreateHardLinkW(native(to).c_str(), native(from).c_str(), nullptr))
        return {};
#else
    if (::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return {};
#endif
    // A file system without hard links: a copy, complete and on the disk before it takes the name.
    if (isTaken(scratch))
        QFile::remove(scratch);
    QFile source(from);
    if (!source.copy(scratch))
        return source.errorString();
    QFile copy(scratch);
    if (!copy.open(QIODevice::ReadWrite) || !sync(copy)) {
        QFile::remove(scratch);
        return copy.errorString();
    }
    copy.close();
    return replace(scratch, to, QString());
}

QString DurableFile::replace(const QString &from, const QString &to, const QString &aside)
{
#ifdef Q_OS_WIN
    if (move(from, to))
        return {};
    // A running program can be renamed but not replaced: the updater replacing itself.
    if (GetLastError() == ERROR_ACCESS_DENIED && !aside.isEmpty()
        && QDir().mkpath(QFileInfo(aside).path()) && move(to, aside) && move(from, to))
        return {};
    return lastError();
#else
    Q_UNUSED(aside);
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return {};
    return lastError();
#endif
}

bool DurableFile::namesAllReadable(const QString &folder)
{
#ifdef Q_OS_WIN
    // Windows names are UTF-16, which every name read back as it was written.
    Q_UNUSED(folder);
    return true;
#else
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return false;
    bool readable = true;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != ".." && QFile::encodeName(QFile::decodeName(name)) != name)
            readable = false;
    }
    ::closedir(dir);
    return readable;
#endif
}
