#include "app/ui/SingleInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>

#include <unistd.h>

namespace norvane {

namespace {

constexpr const char* kLockFile = "norvane-desktop.lock";
constexpr const char* kActivate = "activate\n";
constexpr int kForwardWaitMs = 3000;

} // namespace

SingleInstance::SingleInstance(QString home, QObject* parent)
    : QObject(parent)
    , home_(std::move(home))
{ }

SingleInstance::~SingleInstance() = default;

QString SingleInstance::serverName(const QString& home)
{
    // Socket names are short; the home's path can be long. The user id keeps two people on one
    // machine apart even with the same path.
    const QByteArray digest
        = QCryptographicHash::hash(QDir(home).absolutePath().toUtf8(), QCryptographicHash::Sha256).toHex().left(20);
    return QStringLiteral("norvane-%1-%2").arg(::getuid()).arg(QString::fromLatin1(digest));
}

SingleInstance::Role SingleInstance::claim()
{
    QDir().mkpath(home_);
    lock_ = std::make_unique<QLockFile>(QDir(home_).filePath(QString::fromLatin1(kLockFile)));
    // A lock whose process is gone is taken over at once (QLockFile checks the process id).
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(0)) {
        if (lock_->error() != QLockFile::LockFailedError)
            return Role::Unavailable;
        // Another process holds the home; it may still be starting: give it a moment to listen.
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < kForwardWaitMs) {
            if (forward())
                return Role::Forwarded;
            QThread::msleep(50);
        }
        return Role::Unavailable;
    }
    const QString name = serverName(home_);
    QLocalServer::removeServer(name); // a socket file a crashed first process left behind
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(name))
        return Role::Unavailable;
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (socket->canReadLine() && socket->readLine() == kActivate)
                    emit activated();
                socket->disconnectFromServer();
            });
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    return Role::First;
}

bool SingleInstance::forward() const
{
    QLocalSocket socket;
    socket.connectToServer(serverName(home_));
    if (!socket.waitForConnected(500))
        return false;
    socket.write(kActivate);
    return socket.waitForBytesWritten(1000);
}

} // namespace norvane
