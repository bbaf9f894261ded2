#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QTemporaryDir>

class TestServer;

// A temporary program directory for the updater, made the program directory of this process:
// stand-in corvex and quillonv3 scripts that record their start, one program file of the
// installed version, and an UpdateList.xml whose update folder is /update/ on a loopback server.
class UpdaterFixture
{
public:
    struct File
    {
        QByteArray name;
        QByteArray content;
        bool checked = true; // the list gives its Sha256 and Size
    };

    // What the stand-ins write into "<name>-started": the argument count and working directory.
    static const QByteArray standIn;
    // A client of the new release, telling its start from the installed one's.
    static const QByteArray newClient;

    bool setUp(const TestServer &server, const QByteArray &localVersion);

    // A server copy of the list: the local one's addresses, the version and one File per file.
    QByteArray listFor(const QByteArray &version, const QList<File> &files) const;
    // Serves the files under /update/ and the list naming them; returns the list.
    QByteArray publish(TestServer &server, const QByteArray &version, const QList<File> &files);

    QString filePath(const QString &name) const { return dir.filePath(name); }
    QByteArray read(const QString &name) const;
    bool write(const QString &name, const QByteArray &content) const;

    // How the program was started ("0 <program dir>"); empty when it was not.
    QByteArray startOf(const QString &program) const;
    // Waits until every program started so far has recorded its start; false if one never ends.
    bool settle() const;
    // Every file outside temp/ with its contents: what an update may change.
    QMap<QString, QByteArray> programFiles() const;
    // The files of temp/ itself, without those of its sub-folders.
    QStringList tempFiles() const;

private:
    bool writeProgram(const QString &name, const QByteArray &content) const;

    QTemporaryDir dir;
    QByteArray updateUrl;
};
