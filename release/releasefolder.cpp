#include "releasefolder.h"

#include "durablefile.h"
#include "updatelist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace {

// The run's own entries in the releases folder: its lock, the release being built and the link
// waiting to be swapped in. Every name starting with a dot there is the tool's and temporary.
const QString lockName = u".lock"_s;
const QString stagingName = u".new"_s;
const QString linkName = u".link"_s;
const QString doomedPrefix = u".old-"_s;
// The longest part of a version that names its release folder.
constexpr qsizetype nameLength = 64;

#ifdef Q_OS_WIN
std::wstring native(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

QString lastError()
{
    return u"Windows error %1"_s.arg(GetLastError());
}
#else
QString lastError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}
#endif

// A symbolic link to a folder, its target taken as written (relative to the link's folder).
QString makeLink(const QString &path, const QString &target)
{
#ifdef Q_OS_WIN
    if (CreateSymbolicLinkW(native(path).c_str(), native(target).c_str(),
            SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
        return {};
#else
    if (::symlink(QFile::encodeName(target).constData(), QFile::encodeName(path).constData()) == 0)
        return {};
#endif
    return u"cannot make the link %1: %2"_s.arg(path, lastError());
}

// Removes the link itself, never what it points to.
bool removeLink(const QString &path)
{
#ifdef Q_OS_WIN
    // A link to a folder is a folder entry to Windows.
    if (QFileInfo(path).isDir())
        return RemoveDirectoryW(native(path).c_str());
#endif
    return QFile::remove(path);
}

QString move(const QString &from, const QString &to)
{
    const QString failed = DurableFile::replace(from, to, QString());
    return failed.isEmpty() ? failed : u"cannot rename %1 to %2: %3"_s.arg(from, to, failed);
}

QString synced(const QStringList &folders)
{
    for (const QString &folder : folders) {
        if (!DurableFile::syncFolder(folder))
            return u"cannot sync the folder %1"_s.arg(folder);
    }
    return {};
}

} // namespace

ReleaseFolder::ReleaseFolder(const QString &updateDir)
    : updateDir(QDir::cleanPath(QFileInfo(updateDir).absoluteFilePath()))
    , parent(QFileInfo(this->updateDir).path())
    , releases(this->updateDir + releasesSuffix)
    , lock(releases + u'/' + lockName)
{ }

ReleaseFolder::~ReleaseFolder()
{
    if (staged && !stopped)
        QDir(stagingPath()).removeRecursively();
}

QString ReleaseFolder::step()
{
    const int at = point++;
    stopped = stepHook && !stepHook(at);
    return stopped ? u"stopped at step %1"_s.arg(at) : QString();
}

QString ReleaseFolder::begin()
{
    const QFileInfo served(updateDir);
    if (served.fileName().isEmpty()
        || (DurableFile::isTaken(updateDir) && !served.isSymLink()
            && !DurableFile::isPlainFolder(updateDir)))
        return u"%1 is neither a folder nor a link to one"_s.arg(updateDir);
    if (DurableFile::isTaken(releases) && !DurableFile::isPlainFolder(releases))
        return u"%1 is not a folder"_s.arg(releases);
    if (!QDir().mkpath(releases))
        return u"cannot make the folder %1"_s.arg(releases);
    // A long copy must not make the lock look stale; a dead run's lock is taken over.
    lock.setStaleLockTime(0);
    if (!lock.tryLock())
        return lock.error() == QLockFile::LockFailedError
            ? u"another run is publishing into %1"_s.arg(updateDir)
            : u"cannot lock %1"_s.arg(entry(lockName));
    QString problem = removeLeftovers();
    if (problem.isEmpty() && !QDir(releases).mkdir(stagingName))
        problem = u"cannot make the folder %1"_s.arg(stagingPath());
    staged = problem.isEmpty();
    return problem;
}

QString ReleaseFolder::stagingPath() const
{
    return entry(stagingName);
}

QString ReleaseFolder::publish(const QString &version)
{
    QString problem = synced({ stagingPath() });
    const QString release = freeName(version);
    if (problem.isEmpty())
        problem = move(stagingPath(), entry(release));
    if (problem.isEmpty())
        problem = synced({ releases });
    if (problem.isEmpty())
        problem = step();
    if (problem.isEmpty())
        problem = swapIn(release);
    return problem;
}

QString ReleaseFolder::freeName(const QString &version) const
{
    QString base;
    for (const QChar c : version.trimmed().left(nameLength)) {
        const bool plain = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z')
            || (c >= u'A' && c <= u'Z') || u"._+-"_s.contains(c);
        base += plain ? c : u'_';
    }
    // A leading dot would make it one of the run's temporary entries.
    if (base.isEmpty() || base.startsWith(u'.'))
        base.prepend(u'v');
    QString name = base;
    for (int n = 2; DurableFile::isTaken(entry(name)); ++n)
        name = base + u'-' + QString::number(n);
    return name;
}

QString ReleaseFolder::removeLeftovers()
{
    // A link anywhere here is a swap that did not happen; a dotted entry a stopped run's.
    const QFileInfoList found = QDir(releases).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &info : found) {
        const QString name = info.fileName();
        if (name.startsWith(lockName))
            continue;
        bool removed = true;
        if (info.isSymLink())
            removed = removeLink(info.filePath());
        else if (name.startsWith(u'.'))
            removed = info.isDir() ? QDir(info.filePath()).removeRecursively()
                                   : QFile::remove(info.filePath());
        if (!removed)
            return u"cannot remove %1, left by a stopped run"_s.arg(info.filePath());
    }
    return {};
}

QString ReleaseFolder::servedRelease() const
{
    if (!QFileInfo(updateDir).isSymLink())
        return {};
    const QFileInfo served(QFileInfo(updateDir).symLinkTarget());
    return QFileInfo(served.path()).canonicalFilePath() == QFileInfo(releases).canonicalFilePath()
        ? served.fileName()
        : QString();
}

QString ReleaseFolder::swapIn(const QString &release)
{
    const QString target = QFileInfo(releases).fileName() + u'/' + release;
    const bool folder = DurableFile::isPlainFolder(updateDir);
    // A folder left by earlier tools becomes the release before this one.
    const QString list = updateDir + u"/UpdateList.xml"_s;
    const QString before = !folder
        ? servedRelease()
        : freeName(
            QFileInfo::exists(list) ? UpdateList::read(list).value(u"Version"_s) : u"earlier"_s);
    std::optional<QString> problem;
    if (folder)
        problem = exchange(target, before);
    if (!problem)
        problem = replaceLink(target, folder ? before : QString());
    if (problem->isEmpty())
        problem = synced({ parent, releases });
    if (problem->isEmpty())
        problem = step();
    return problem->isEmpty() ? removeOldReleases(release, before) : *problem;
}

std::optional<QString> ReleaseFolder::exchange(const QString &target, const QString &before)
{
#ifdef Q_OS_LINUX
    // The link waits under the old folder's future name, so the exchange puts each where it
    // stays, and a stop before it leaves no more than a link.
    QString problem = makeLink(entry(before), target);
    if (problem.isEmpty())
        problem = step();
    if (!problem.isEmpty())
        return problem;
    if (::renameat2(AT_FDCWD, QFile::encodeName(entry(before)).constData(), AT_FDCWD,
            QFile::encodeName(updateDir).constData(), RENAME_EXCHANGE)
        == 0)
        return QString();
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return u"cannot exchange %1 with the new release: %2"_s.arg(updateDir, lastError());
    if (!removeLink(entry(before)))
        return u"cannot remove the link %1"_s.arg(entry(before));
#else
    Q_UNUSED(target);
    Q_UNUSED(before);
#endif
    return std::nullopt;
}

QString ReleaseFolder::replaceLink(const QString &target, const QString &aside)
{
    QString problem = makeLink(entry(linkName), target);
    if (problem.isEmpty())
        problem = step();
    // Without an exchange, UPDATE_DIR is missing for a moment: no list, no server version.
    if (problem.isEmpty() && !aside.isEmpty())
        problem = move(updateDir, entry(aside));
#ifdef Q_OS_WIN
    // Windows renames nothing over a link to a folder.
    if (problem.isEmpty() && QFileInfo(updateDir).isSymLink() && !removeLink(updateDir))
        problem = u"cannot remove the link %1"_s.arg(updateDir);
#endif
    if (problem.isEmpty() && !aside.isEmpty())
        problem = step();
    return problem.isEmpty() ? move(entry(linkName), updateDir) : problem;
}

QString ReleaseFolder::removeOldReleases(const QString &kept, const QString &before)
{
    const QFileInfoList found
        = QDir(releases).entryInfoList(QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    for (const QFileInfo &info : found) {
        if (info.fileName() == kept || info.fileName() == before)
            continue;
        // Under a dotted name first, so a stop halfway leaves a leftover, not a broken release.
        const QString doomed = entry(doomedPrefix + info.fileName());
        QString problem = move(info.filePath(), doomed);
        if (problem.isEmpty())
            problem = step();
        if (problem.isEmpty() && !QDir(doomed).removeRecursively())
            problem = u"cannot remove %1"_s.arg(doomed);
        if (!problem.isEmpty())
            return problem;
    }
    return synced({ releases });
}
