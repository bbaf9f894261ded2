#include "clientfixture.h"

#include "testserver.h"

#include <QFile>

bool ClientFixture::setUp(TestServer &server)
{
    if (!dir.isValid() || !QFile::copy(QStringLiteral(CORVEX_PATH), clientPath()))
        return false;
    server.serve("/update/UpdateList.xml", "<UpdateList><Version>1.0</Version></UpdateList>",
        "application/xml");
    QFile list(filePath(QStringLiteral("UpdateList.xml")));
    const QByteArray content = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<UpdateList>\n"
                               "<Version>1.0</Version>\n<LoginUrl>"
        + server.url(QStringLiteral("/login")).toEncoded() + "</LoginUrl>\n<UpdateUrl>"
        + server.url(QStringLiteral("/update/")).toEncoded() + "</UpdateUrl>\n</UpdateList>\n";
    return list.open(QIODevice::WriteOnly) && list.write(content) == content.size();
}
