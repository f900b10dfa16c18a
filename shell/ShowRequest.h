#pragma once
// A second start of the program asks the running one to show its window (the administrator
// clicked the icon again because the window was minimized or behind others), then ends.
//
// The running instance listens on a local socket beside the single-instance lock, in the user's
// private runtime folder, open to its owner only. A connection is heard only when the peer is
// the same user and sends exactly the one fixed request; anything else is dropped unread past the
// request's length, and a connection that says nothing is closed after a short while. The
// request carries no data: nothing reaches the running instance but "show your window".

#include <QObject>
#include <QString>

#include <QByteArray>

#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;
class QWidget;

// The socket's path, beside the single-instance lock at `lockPath`.
QString ShowRequestPath(const QString& lockPath);

// Sends the request to the instance listening at `path`; false when none answers (it may be
// starting or gone). Plain POSIX, no Qt event loop: called before any QApplication exists.
bool SendShowRequest(const QString& path);

// Unminimizes, shows, raises and activates `window`, and a modal dialog open over it.
void BringToFront(QWidget& window);

class ShowRequestServer : public QObject {
    Q_OBJECT
public:
    // `onRequest` runs on the user-interface thread for every valid request.
    explicit ShowRequestServer(std::function<void()> onRequest, QObject* parent = nullptr);
    ~ShowRequestServer() override;

    // Listens at `path`, replacing a socket file left by an instance that crashed (only the
    // holder of the single-instance lock calls this). False when it cannot listen: the program
    // runs on, a second start then simply ends.
    bool Listen(const QString& path);

private:
    struct Connection;
    void Accept();
    void Read(Connection* connection);
    void Drop(Connection* connection);

    std::function<void()> onRequest_;
    // Plain POSIX sockets watched by the event loop: the program needs no network module.
    int listener_ = -1;
    QByteArray path_;
    QSocketNotifier* incoming_ = nullptr;
    std::vector<std::unique_ptr<Connection>> connections_;
};
