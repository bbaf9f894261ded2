#pragma once

#include <QList>
#include <QUrl>

// The web application's own origins, those of ServerUrl and LoginUrl in UpdateList.xml: only
// documents from there reach the script bridge and the permissions the client grants.
class OwnOrigins
{
public:
    // Reads the two addresses once.
    OwnOrigins();

    // Whether url, a page's address or an origin, is http or https on one of the two origins.
    bool contains(const QUrl &url) const;

private:
    QList<QUrl> origins;
};
