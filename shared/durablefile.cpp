#include "durablefile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
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
#else
QString lastError()
{
    return errno == ENOSPC ? QStringLiteral("磁盘空间不足")
                           : QString::fromLocal8Bit(strerror(errno));
}
#endif

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
