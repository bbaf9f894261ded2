#pragma once

#include <QMap>
#include <QTemporaryDir>

class TestServer;

// A temporary program directory: files written and read by name, an UpdateList.xml whose
// update folder is /update/ on a loopback server, and everything in it listed with contents.
class ProgramFolder
{
public:
    QString path() const { return dir.path(); }
    QString filePath(const QString &name) const { return dir.filePath(name); }

    // Makes the file's folder first; a program is made executable.
    bool write(const QString &name, const QByteArray &content, bool program = false) const;
    QByteArray read(const QString &name) const;
    // An update list of this version, with extra, its /login and /update/ on the server.
    static QByteArray list(
        const TestServer &server, const QByteArray &version, const QByteArray &extra = {});
    bool writeList(
        const TestServer &server, const QByteArray &version, const QByteArray &extra = {}) const
    {
        return write(QStringLiteral("UpdateList.xml"), list(server, version, extra));
    }

    // Mounts a file system of 1 MiB over the folder until unmount(); false when not root.
    static bool mountSmall(const QString &folder);
    static void unmount(const QString &folder);

    // The list "cut off" after its Version, or with an "unescaped &" after it; else unchanged.
    static QByteArray spoiled(QByteArray list, const QString &fault);

    // Every file under the folder with its contents, those under temp/ too or not.
    static QMap<QString, QByteArray> files(const QString &folder, bool withTemp = true);
    QMap<QString, QByteArray> files(bool withTemp = true) const { return files(path(), withTemp); }

private:
    QTemporaryDir dir;
};
