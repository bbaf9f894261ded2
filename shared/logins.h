#pragma once

#include <QString>

class QAuthenticator;
class QWidget;

// The logins the user gives the servers and proxies that ask for one, kept in memory for the
// run and never written anywhere: each host and realm is asked once, unless it refuses what it
// was given. A proxy's login typed for one transfer serves every other, pages included.
namespace Logins {

enum Kind { Server, Proxy };

// Fills authenticator with the login kept for host and its realm, or asks for one when there is
// none or when refused says the one kept was turned down. Cancelled, the authenticator is made
// null, so that the request goes on without a login; returns whether it holds one.
bool answer(Kind kind, const QString &host, QAuthenticator *authenticator, bool refused,
    QWidget *parent = nullptr);

// Lets the process's own transfers (Download) answer a proxy that asks for a login.
void answerProxiesForDownloads();

} // namespace Logins
