#include "ShowRequest.h"

#include "Startup.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QWidget>

#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The one request there is. Its bytes are fixed: a peer cannot make the instance do anything
// else, and nothing it sends is kept.
constexpr char kRequest[] = "orvane: show the window\n";
constexpr qint64 kRequestLength = sizeof kRequest - 1;
// A connection that has not sent the whole request by then is closed.
constexpr int kReadTimeoutMs = 2000;

// Whether the peer of `connection` runs as this program's user.
bool SameUser(const QLocalSocket& connection) {
    ucred peer{};
    socklen_t length = sizeof peer;
    const int fd = static_cast<int>(connection.socketDescriptor());
    return fd >= 0 && getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
           length == sizeof peer && peer.uid == getuid();
}

} // namespace

QString ShowRequestPath() {
    const QFileInfo lock(InstanceLockPath());
    return lock.dir().filePath(lock.completeBaseName() + QStringLiteral(".show"));
}

bool SendShowRequest(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address{};
    if (name.isEmpty() || static_cast<std::size_t>(name.size()) >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.constData(), static_cast<std::size_t>(name.size()));
    // Non-blocking: an instance that does not take the connection at once is not waited for.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    bool sent = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                send(fd, kRequest, kRequestLength, MSG_NOSIGNAL) == kRequestLength;
    close(fd);
    return sent;
}

void BringToFront(QWidget& window) {
    window.setWindowState((window.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window.show();
    window.raise();
    window.activateWindow();
    // A dialog the run keeps open over the window stays on top of it and keeps the keyboard.
    if (QWidget* modal = QApplication::activeModalWidget(); modal && modal != &window) {
        modal->show();
        modal->raise();
        modal->activateWindow();
    }
}

ShowRequestServer::ShowRequestServer(std::function<void()> onRequest, QObject* parent)
    : QObject(parent), onRequest_(std::move(onRequest)), server_(new QLocalServer(this)) {
    // The socket file is made open to its owner only.
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &ShowRequestServer::Accept);
}

ShowRequestServer::~ShowRequestServer() {
    server_->close(); // removes the socket file
}

bool ShowRequestServer::Listen(const QString& path) {
    QLocalServer::removeServer(path);
    return server_->listen(path);
}

void ShowRequestServer::Accept() {
    while (QLocalSocket* connection = server_->nextPendingConnection()) {
        connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
        if (!SameUser(*connection)) {
            connection->abort();
            continue;
        }
        connect(connection, &QLocalSocket::readyRead, this,
                [this, connection] { Read(connection); });
        QTimer::singleShot(kReadTimeoutMs, connection, [connection] { connection->abort(); });
        Read(connection); // what came with the connection
    }
}

void ShowRequestServer::Read(QLocalSocket* connection) {
    const QByteArray request = QByteArray::fromRawData(kRequest, kRequestLength);
    const QByteArray seen = connection->peek(kRequestLength);
    if (!request.startsWith(seen)) {
        connection->abort(); // not the request: nothing of it is acted on
        return;
    }
    if (seen.size() < kRequestLength)
        return; // the rest is still to come
    connection->read(kRequestLength);
    connection->abort();
    if (onRequest_)
        onRequest_();
}
