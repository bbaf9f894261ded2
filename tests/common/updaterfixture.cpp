#include "updaterfixture.h"

#include "programdir.h"
#include "testserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTest>

#include <algorithm>

const QByteArray UpdaterFixture::standIn
    = "#!/bin/sh\necho \"$# $(pwd)\" > \"$(basename \"$0\")-started\"\n";
const QByteArray UpdaterFixture::newClient = "#!/bin/sh\necho \"new $# $(pwd)\" > corvex-started\n";

bool UpdaterFixture::setUp(const TestServer &server, const QByteArray &localVersion)
{
    if (!dir.isValid())
        return false;
    ProgramDir::setPath(dir.path());
    updateUrl = server.url(QStringLiteral("/update/")).toEncoded();
    for (const char *program : { "corvex", "quillonv3" }) {
        if (!writeProgram(QString::fromLatin1(program), standIn))
            return false;
    }
    return write(QStringLiteral("engine.dat"), "engine of the installed version")
        && write(QStringLiteral("UpdateList.xml"), listFor(localVersion, {}));
}

QByteArray UpdaterFixture::listFor(const QByteArray &version, const QList<File> &files) const
{
    QByteArray list = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<UpdateList>\n  <Version>"
        + version + "</Version>\n  <LoginUrl>" + updateUrl + "../login</LoginUrl>\n  <UpdateUrl>"
        + updateUrl + "</UpdateUrl>\n";
    for (const File &file : files) {
        list += "  <File Name=\"" + file.name + "\"";
        if (file.checked)
            list += " Sha256=\""
                + QCryptographicHash::hash(file.content, QCryptographicHash::Sha256).toHex()
                + "\" Size=\"" + QByteArray::number(file.content.size()) + "\"";
        list += "/>\n";
    }
    return list + "</UpdateList>\n";
}

QByteArray UpdaterFixture::publish(
    TestServer &server, const QByteArray &version, const QList<File> &files)
{
    for (const File &file : files)
        server.serve("/update/" + QUrl::toPercentEncoding(QString::fromUtf8(file.name)),
            file.content, "application/octet-stream");
    const QByteArray list = listFor(version, files);
    server.serve("/update/UpdateList.xml", list, "application/xml");
    return list;
}

QByteArray UpdaterFixture::read(const QString &name) const
{
    QFile file(filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool UpdaterFixture::write(const QString &name, const QByteArray &content) const
{
    QFile file(filePath(name));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(content) == content.size();
}

bool UpdaterFixture::writeProgram(const QString &name, const QByteArray &content) const
{
    const QString path = filePath(name);
    return write(name, content)
        && QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner);
}

QByteArray UpdaterFixture::startOf(const QString &program) const
{
    return read(program + QStringLiteral("-started")).trimmed();
}

// A detached start returns once the program runs, in the program directory like every stand-in;
// when no process works there any more, every program started so far has recorded its start.
bool UpdaterFixture::settle() const
{
    const QString here = QDir(dir.path()).canonicalPath();
    return QTest::qWaitFor([&here] {
        const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
        return std::none_of(processes.begin(), processes.end(), [&here](const QString &pid) {
            return QFileInfo(QStringLiteral("/proc/%1/cwd").arg(pid)).symLinkTarget() == here;
        });
    });
}

QMap<QString, QByteArray> UpdaterFixture::programFiles() const
{
    QMap<QString, QByteArray> files;
    QDirIterator it(
        dir.path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    const QDir root(dir.path());
    while (it.hasNext()) {
        const QString name = root.relativeFilePath(it.next());
        if (!name.startsWith(QLatin1String("temp/")))
            files.insert(name, read(name));
    }
    return files;
}

QStringList UpdaterFixture::tempFiles() const
{
    return QDir(ProgramDir::tempDir()).entryList(QDir::Files | QDir::Hidden | QDir::System);
}
