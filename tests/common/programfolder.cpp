#include "programfolder.h"

#include "testserver.h"

#include <QDirIterator>
#include <QProcess>

bool ProgramFolder::write(const QString &name, const QByteArray &content, bool program) const
{
    QFile file(filePath(name));
    return QDir().mkpath(QFileInfo(file).path()) && file.open(QIODevice::WriteOnly)
        && file.write(content) == content.size()
        && (!program || file.setPermissions(file.permissions() | QFile::ExeOwner));
}

QByteArray ProgramFolder::read(const QString &name) const
{
    QFile file(filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray ProgramFolder::list(
    const TestServer &server, const QByteArray &version, const QByteArray &extra)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<UpdateList>\n<Version>" + version
        + "</Version>\n<LoginUrl>" + server.url(QStringLiteral("/login")).toEncoded()
        + "</LoginUrl>\n<UpdateUrl>" + server.url(QStringLiteral("/update/")).toEncoded()
        + "</UpdateUrl>\n" + extra + "</UpdateList>\n";
}

bool ProgramFolder::mountSmall(const QString &folder)
{
    const QStringList options = QStringLiteral("-t tmpfs -o size=1m tmpfs").split(u' ');
    return QProcess::execute(QStringLiteral("mount"), options + QStringList { folder }) == 0;
}

void ProgramFolder::unmount(const QString &folder)
{
    QProcess::execute(QStringLiteral("umount"), { folder });
}

QByteArray ProgramFolder::spoiled(QByteArray list, const QString &fault)
{
    const qsizetype end = list.indexOf("</Version>") + 10;
    if (fault == QLatin1String("cut off"))
        list.truncate(end);
    else if (fault == QLatin1String("unescaped &"))
        list.insert(end, "<Note>R&D</Note>");
    return list;
}

QMap<QString, QByteArray> ProgramFolder::files(const QString &folder, bool withTemp)
{
    QMap<QString, QByteArray> found;
    QDirIterator it(
        folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        const QString name = QDir(folder).relativeFilePath(file.fileName());
        if (withTemp || !name.startsWith(QLatin1String("temp/")))
            found.insert(name, file.open(QIODevice::ReadOnly) ? file.readAll() : "unreadable");
    }
    return found;
}
