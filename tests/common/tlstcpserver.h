#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>

// A TCP server whose connections speak TLS once it has a certificate; plain TCP until then.
class TlsTcpServer : public QTcpServer
{
    Q_OBJECT
public:
    using QTcpServer::QTcpServer;

    void setCertificate(const QList<QSslCertificate> &chain, const QSslKey &key);
    bool usesTls() const { return !chain.isEmpty(); }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QList<QSslCertificate> chain;
    QSslKey key;
};
