#include "app/single_instance.h"

#include "core/timings.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>

using namespace Qt::StringLiterals;

namespace veltrane {
namespace {

QString instanceKey(const QString& dataDirectory)
{
    const QByteArray hash =
        QCryptographicHash::hash(QDir::cleanPath(dataDirectory).toUtf8(), QCryptographicHash::Sha1);
    return u"veltrane-"_s + QString::fromLatin1(hash.toHex().left(16));
}

} // namespace

SingleInstance::SingleInstance(const QString& dataDirectory, QObject* parent)
    : QObject(parent), FKey(instanceKey(dataDirectory))
{
}

bool SingleInstance::acquire()
{
    FLock = std::make_unique<QLockFile>(QDir::temp().filePath(FKey + u".lock"_s));
    FLock->setStaleLockTime(0); // a lock left by a crashed instance is taken over
    bool locked = FLock->tryLock(kInstanceLockWaitMs);
    // A lock left by a dead instance that had the process id this one has
    // now looks alive to QLockFile; it cannot be ours yet, so it is stale.
    // (Wine hands out the same few ids after every restart.) The removal
    // fails while a live instance really holds the lock.
    qint64 holder = 0;
    if (!locked && FLock->getLockInfo(&holder, nullptr, nullptr) &&
        holder == QCoreApplication::applicationPid() && FLock->removeStaleLockFile()) {
        locked = FLock->tryLock(kInstanceLockWaitMs);
    }
    if (!locked) {
        QLocalSocket peer;
        peer.connectToServer(FKey);
        if (peer.waitForConnected(kInstancePeerTimeoutMs)) {
            peer.write("show\n");
            peer.waitForBytesWritten(kInstancePeerTimeoutMs);
            peer.disconnectFromServer();
        }
        return false;
    }
    // A server left behind by a crashed instance would block the name.
    QLocalServer::removeServer(FKey);
    FServer = new QLocalServer(this);
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    connect(FServer, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = FServer->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            Q_EMIT activationRequested();
        }
    });
    FServer->listen(FKey);
    return true;
}

} // namespace veltrane
