#pragma once

#include <QTemporaryDir>

class TestServer;

// A temporary program directory holding a copy of the real client and an UpdateList.xml whose
// version the server's list repeats, so the client goes straight to the server's "/login".
class ClientFixture
{
public:
    // Copies the client, writes the local list and serves the server's; false when any fails.
    bool setUp(TestServer &server);

    QString clientPath() const { return dir.filePath(QStringLiteral("corvex")); }
    QString filePath(const QString &name) const { return dir.filePath(name); }

private:
    QTemporaryDir dir;
};
