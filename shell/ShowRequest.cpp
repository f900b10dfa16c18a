#include "ShowRequest.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The one request there is. Its bytes are fixed: a peer cannot make the instance do anything
// else, and nothing it sends is kept.
constexpr char kRequest[] = "orvane: show the window\n";
constexpr qint64 kRequestLength = sizeof kRequest - 1;
// A connection that has not sent the whole request by then is closed.
constexpr int kReadTimeoutMs = 2000;

// Whether the peer of the connected socket `fd` runs as this program's user.
bool SameUser(int fd) {
    ucred peer{};
    socklen_t length = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && length == sizeof peer &&
           peer.uid == getuid();
}

// The address of the socket file `name`; false when the name does not fit.
bool AddressOf(const QByteArray& name, sockaddr_un& address) {
    address = sockaddr_un{};
    if (name.isEmpty() || static_cast<std::size_t>(name.size()) >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.constData(), static_cast<std::size_t>(name.size()));
    return true;
}

} // namespace

QString ShowRequestPath(const QString& lockPath) {
    const QFileInfo lock(lockPath);
    return lock.dir().filePath(lock.completeBaseName() + QStringLiteral(".show"));
}

bool SendShowRequest(const QString& path) {
    sockaddr_un address{};
    if (!AddressOf(QFile::encodeName(path), address))
        return false;
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

// One connection being heard: what it has sent of the request so far.
struct ShowRequestServer::Connection {
    int fd = -1;
    QByteArray seen;
    std::unique_ptr<QSocketNotifier> readable;
    std::unique_ptr<QTimer> deadline;
};

ShowRequestServer::ShowRequestServer(std::function<void()> onRequest, QObject* parent)
    : QObject(parent), onRequest_(std::move(onRequest)) {}

ShowRequestServer::~ShowRequestServer() {
    for (const auto& connection : connections_)
        close(connection->fd);
    connections_.clear();
    if (listener_ >= 0) {
        delete incoming_;
        close(listener_);
        unlink(path_.constData()); // the socket file goes with the instance
    }
}

bool ShowRequestServer::Listen(const QString& path) {
    sockaddr_un address{};
    path_ = QFile::encodeName(path);
    if (listener_ >= 0 || !AddressOf(path_, address))
        return false;
    unlink(path_.constData()); // left by an instance that crashed
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    // The socket file is made open to its owner only, from its first moment.
    const mode_t previous = umask(077);
    const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    umask(previous);
    if (!bound || listen(fd, 4) != 0) {
        close(fd);
        return false;
    }
    listener_ = fd;
    incoming_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(incoming_, &QSocketNotifier::activated, this, &ShowRequestServer::Accept);
    return true;
}

void ShowRequestServer::Accept() {
    for (;;) {
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        if (!SameUser(fd)) {
            close(fd);
            continue;
        }
        auto connection = std::make_unique<Connection>();
        Connection* heard = connection.get();
        heard->fd = fd;
        heard->readable = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        connect(heard->readable.get(), &QSocketNotifier::activated, this,
                [this, heard] { Read(heard); });
        heard->deadline = std::make_unique<QTimer>();
        heard->deadline->setSingleShot(true);
        connect(heard->deadline.get(), &QTimer::timeout, this, [this, heard] { Drop(heard); });
        heard->deadline->start(kReadTimeoutMs);
        connections_.push_back(std::move(connection));
        Read(heard); // what came with the connection
    }
}

void ShowRequestServer::Read(Connection* connection) {
    const QByteArray request = QByteArray::fromRawData(kRequest, kRequestLength);
    char bytes[sizeof kRequest];
    const qint64 wanted = kRequestLength - connection->seen.size();
    const ssize_t got = recv(connection->fd, bytes, static_cast<std::size_t>(wanted), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return; // nothing yet
    if (got <= 0) {
        Drop(connection); // closed or failed before the whole request came
        return;
    }
    connection->seen.append(bytes, static_cast<qsizetype>(got));
    if (!request.startsWith(connection->seen)) {
        Drop(connection); // not the request: nothing of it is acted on
        return;
    }
    if (connection->seen.size() < kRequestLength)
        return; // the rest is still to come
    Drop(connection);
    if (onRequest_)
        onRequest_();
}

void ShowRequestServer::Drop(Connection* connection) {
    // Quiet at once; the notifier and timer go later, as this may run inside their signals.
    connection->readable->setEnabled(false);
    connection->deadline->stop();
    close(connection->fd);
    // Removed later: this may run inside the connection's own notifier or timer.
    const auto at = std::find_if(connections_.begin(), connections_.end(),
                                 [connection](const auto& c) { return c.get() == connection; });
    if (at != connections_.end()) {
        Connection* gone = at->release();
        connections_.erase(at);
        QTimer::singleShot(0, this, [gone] { delete gone; });
    }
}
