#include "client/instance.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/datadir.h"

namespace {

const char* const kLockName = "/corvane.lock";
const QByteArray kRestore = "restore\n";
constexpr int kAskMs = 2000;

// The socket's path: in the user's runtime folder, named after the data folder's real path.
QString ServerName(const std::string& dir) {
    char real[PATH_MAX];
    const QByteArray path = ::realpath(dir.c_str(), real) ? QByteArray(real) : QByteArray(dir.c_str());
    const QByteArray hash = QCryptographicHash::hash(path, QCryptographicHash::Sha256).toHex().left(20);
    QString base = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (base.isEmpty() || !QDir(base).exists()) base = QDir::tempPath();
    return base + QStringLiteral("/corvane-%1-%2").arg(::getuid()).arg(QString::fromLatin1(hash));
}

void AskToRestore(const QString& name) {
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(kAskMs)) return;
    socket.write(kRestore);
    socket.waitForBytesWritten(kAskMs);
    socket.disconnectFromServer();
}

} // namespace

bool ClaimDataFolder(std::function<void()> restore) {
    const std::string dir = platform::DataDir();
    const int fd = ::open((dir + kLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return true;
    const QString name = ServerName(dir);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        if (errno != EWOULDBLOCK) return true;
        AskToRestore(name);
        return false;
    }
    // The descriptor stays open, and the lock held, until the process ends.
    QLocalServer::removeServer(name);   // left by a program that was killed
    auto* server = new QLocalServer(QCoreApplication::instance());
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(name)) return true;
    QObject::connect(server, &QLocalServer::newConnection, server, [server, restore] {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, restore] {
                if (socket->readAll().contains("restore") && restore) restore();
            });
        }
    });
    return true;
}
