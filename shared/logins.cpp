#include "logins.h"

#include "download.h"
#include "logindialog.h"

#include <QAuthenticator>
#include <QHash>
#include <QNetworkProxy>

namespace {

struct Login
{
    QString user;
    QString password;
};

QHash<QString, Login> kept;

} // namespace

bool Logins::answer(Logins::Kind kind, const QString &host, QAuthenticator *authenticator,
    bool refused, QWidget *parent)
{
    const QString key = QString::number(kind) + u' ' + host + u' ' + authenticator->realm();
    if (!refused && kept.contains(key)) {
        authenticator->setUser(kept.value(key).user);
        authenticator->setPassword(kept.value(key).password);
        return true;
    }
    LoginDialog dialog(
        kind == Proxy ? LoginDialog::tr("代理服务器需要登录") : LoginDialog::tr("需要登录"), host,
        authenticator->realm(), kept.value(key).user, parent);
    kept.remove(key);
    if (dialog.exec() != QDialog::Accepted) {
        *authenticator = QAuthenticator();
        return false;
    }
    kept.insert(key, { dialog.user(), dialog.password() });
    authenticator->setUser(dialog.user());
    authenticator->setPassword(dialog.password());
    return true;
}

void Logins::answerProxiesForDownloads()
{
    Download::setProxyLogin([](const QNetworkProxy &proxy, QAuthenticator *authenticator) {
        // The network stack fills in a login it tried before; asking again means it was refused.
        answer(Proxy, proxy.hostName(), authenticator, !authenticator->user().isEmpty());
    });
}
