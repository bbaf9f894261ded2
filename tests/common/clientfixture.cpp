#include "clientfixture.h"

#include "programdir.h"
#include "testserver.h"

#include <QFile>

bool ClientFixture::writeList(const TestServer &server, bool withServerUrl)
{
    ProgramDir::setPath(dir.path());
    QFile list(filePath(QStringLiteral("UpdateList.xml")));
    const QByteArray content = "<UpdateList><Version>1.0</Version><LoginUrl>"
        + server.url(QStringLiteral("/login")).toEncoded() + "</LoginUrl><UpdateUrl>"
        + server.url(QStringLiteral("/update/")).toEncoded() + "</UpdateUrl>"
        + (withServerUrl ? "<ServerUrl>" + server.url().toEncoded() + "</ServerUrl>" : "")
        + "</UpdateList>";
    return dir.isValid() && list.open(QIODevice::WriteOnly)
        && list.write(content) == content.size();
}

bool ClientFixture::addClient(TestServer &server)
{
    server.serve("/update/UpdateList.xml", "<UpdateList><Version>1.0</Version></UpdateList>",
        "application/xml");
    return writeList(server) && QFile::copy(QStringLiteral(CORVEX_PATH), clientPath());
}
