#pragma once

#include <QTemporaryDir>

class TestServer;

// A temporary program directory for the client: an UpdateList.xml of version 1.0 that sends the
// client to the server's "/login" (and, when asked, names the server's "/" as ServerUrl), and a
// copy of the real client for the tests that start it.
class ClientFixture
{
public:
    // Points ProgramDir at the directory and (re)writes its list; false when that fails.
    bool writeList(const TestServer &server, bool withServerUrl = true);
    // Copies the real client in and serves the server's list of the same version.
    bool addClient(TestServer &server);

    QString clientPath() const { return dir.filePath(QStringLiteral("corvex")); }
    QString filePath(const QString &name) const { return dir.filePath(name); }

private:
    QTemporaryDir dir;
};
