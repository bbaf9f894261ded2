#include "programdir.h"

#include "durablefile.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <iterator>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

QString overridden;

QString executableDir()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
#ifdef Q_OS_WIN
    wchar_t buffer[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, DWORD(std::size(buffer)));
    return QFileInfo(QString::fromWCharArray(buffer, int(length))).absolutePath();
#else
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section(u'/', 0, -2);
#endif
}

} // namespace

QString ProgramDir::path()
{
    return overridden.isEmpty() ? executableDir() : overridden;
}

void ProgramDir::setPath(const QString &folder)
{
    overridden = folder;
}

QString ProgramDir::updateList()
{
    return path() + QStringLiteral("/UpdateList.xml");
}

QString ProgramDir::tempDir()
{
    return path() + QStringLiteral("/temp");
}

QString ProgramDir::tempUpdateList()
{
    return tempDir() + QStringLiteral("/UpdateList.xml");
}

QString ProgramDir::skippedVersion()
{
    return tempDir() + QStringLiteral("/skip-version");
}

QString ProgramDir::badVersion()
{
    return tempDir() + QStringLiteral("/bad-version");
}

QString ProgramDir::rolledBackVersion()
{
    QFile file(badVersion());
    if (!DurableFile::isPlainFile(file.fileName()) || !file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(64 * 1024));
}

QString ProgramDir::cacheDir()
{
    return path() + QStringLiteral("/cache");
}

bool ProgramDir::hasUnfinishedInstall()
{
    return DurableFile::isTaken(tempDir() + u'/' + installJournalName)
        || DurableFile::isTaken(tempDir() + u'/' + installBackupName);
}

QString ProgramDir::executable(const QString &name)
{
#ifdef Q_OS_WIN
    return path() + u'/' + name + QStringLiteral(".exe");
#else
    return path() + u'/' + name;
#endif
}

bool ProgramDir::start(const QString &name)
{
    return QProcess::startDetached(executable(name), {}, path());
}
