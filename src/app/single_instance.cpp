#include "app/single_instance.h"

#include "core/timings.h"

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
    if (!FLock->tryLock(kInstanceLockWaitMs)) {
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
