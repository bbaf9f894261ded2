#include "singleinstance.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcInstance, "corvex.instance")

SingleInstance::SingleInstance(const QString &programDir, QObject *parent)
    : QObject(parent)
    , name(serverName(programDir))
{ }

QString SingleInstance::serverName(const QString &programDir)
{
    const QString folder = QFileInfo(programDir).canonicalFilePath();
    const QByteArray digest
        = QCryptographicHash::hash(folder.toUtf8(), QCryptographicHash::Sha256).toHex();
    return QStringLiteral("corvex-") + QString::fromLatin1(digest.left(24));
}

bool SingleInstance::claim()
{
    QLocalSocket running;
    running.connectToServer(name);
    // Being reached is the request to show the window; nothing needs to be said.
    if (running.waitForConnected(2000)) {
        running.disconnectFromServer();
        return false;
    }

    // Nobody answers: whatever is left under the name belongs to a client that died.
    QLocalServer::removeServer(name);
    server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server, &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
    if (!server->listen(name))
        qCWarning(lcInstance) << "cannot listen as" << name << server->errorString();
    return true;
}

void SingleInstance::onNewConnection()
{
    while (QLocalSocket *socket = server->nextPendingConnection()) {
        socket->disconnectFromServer();
        socket->deleteLater();
        Q_EMIT showRequested();
    }
}
