#include "tlstcpserver.h"

#include <QSslSocket>

void TlsTcpServer::setCertificate(
    const QList<QSslCertificate> &certificates, const QSslKey &privateKey)
{
    chain = certificates;
    key = privateKey;
}

void TlsTcpServer::incomingConnection(qintptr descriptor)
{
    if (!usesTls()) {
        QTcpServer::incomingConnection(descriptor);
        return;
    }
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    socket->setLocalCertificateChain(chain);
    socket->setPrivateKey(key);
    socket->startServerEncryption();
    addPendingConnection(socket);
}
