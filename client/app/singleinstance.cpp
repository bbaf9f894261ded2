#include "singleinstance.h"

#include "crypto.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QThread>

Q_LOGGING_CATEGORY(lcInstance, "corvex.instance")

namespace {

// Where lock and channel of that program directory's client live, without their suffixes.
QString basePath(const QString &programDir)
{
    const QString folder = QFileInfo(programDir).canonicalFilePath();
    const QByteArray digest = Crypto::sha256(folder.toUtf8()).toHex();
    QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty())
        runtime = QDir::tempPath();
    return runtime + QStringLiteral("/corvex-") + QString::fromLatin1(digest.left(24));
}

} // namespace

SingleInstance::SingleInstance(const QString &programDir, QObject *parent)
    : QObject(parent)
    , base(basePath(programDir))
{ }

SingleInstance::~SingleInstance() = default;

bool SingleInstance::claim()
{
    lock = std::make_unique<QLockFile>(base + QStringLiteral(".lock"));
    // A running client keeps its lock however long it runs; only a dead owner's lock is stale.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0)) {
        if (lock->error() == QLockFile::LockFailedError) {
            lock.reset();
            if (!askRunningToShow())
                qCWarning(lcInstance) << "another client runs here but does not answer";
            return false;
        }
        // Without a runtime folder to lock in, running is better than refusing to start.
        qCWarning(lcInstance) << "cannot lock" << base << "- starting unguarded";
    }

    const QString channel = base + QStringLiteral(".socket");
    // Whatever is left under the name belongs to a client that died: the lock is ours.
    QLocalServer::removeServer(channel);
    server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server, &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
    if (!server->listen(channel))
        qCWarning(lcInstance) << "cannot listen on" << channel << server->errorString();
    return true;
}

bool SingleInstance::askRunningToShow() const
{
    // The winner of a simultaneous start may not be listening yet; give it a moment.
    const QDeadlineTimer deadline(5000);
    do {
        QLocalSocket running;
        running.connectToServer(base + QStringLiteral(".socket"));
        // Being reached is the request to show the window; nothing needs to be said.
        if (running.waitForConnected(1000)) {
            running.disconnectFromServer();
            return true;
        }
        QThread::msleep(50);
    } while (!deadline.hasExpired());
    return false;
}

void SingleInstance::onNewConnection()
{
    while (QLocalSocket *socket = server->nextPendingConnection()) {
        socket->disconnectFromServer();
        socket->deleteLater();
        Q_EMIT showRequested();
    }
}
