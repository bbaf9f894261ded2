#include "ownorigins.h"

#include "programdir.h"
#include "updatelist.h"

namespace {

QUrl originOf(const QUrl &url)
{
    QUrl origin;
    origin.setScheme(url.scheme());
    origin.setHost(url.host());
    origin.setPort(url.port(url.scheme() == QLatin1String("https") ? 443 : 80));
    return origin;
}

} // namespace

OwnOrigins::OwnOrigins()
{
    const UpdateList list = UpdateList::read(ProgramDir::updateList());
    for (const char *name : { "ServerUrl", "LoginUrl" }) {
        const QUrl url(list.value(QLatin1String(name)).trimmed());
        if (url.isValid() && !url.host().isEmpty())
            origins << originOf(url);
    }
}

bool OwnOrigins::contains(const QUrl &url) const
{
    return (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"))
        && origins.contains(originOf(url));
}
