#include "VpcdLink.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace vtoken {

namespace {

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

int ConnectOnce(const std::string& host, int port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list); rc != 0) {
        error = host + ": " + ::gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = list; a; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = Errno("socket");
            continue;
        }
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0)
            break;
        error = Errno(("connect to " + host + ":" + service).c_str());
        ::close(fd);
        fd = -1;
    }
    ::freeaddrinfo(list);
    return fd;
}

} // namespace

bool VpcdLink::Connect(const std::string& host, int port, int waitMs, const volatile bool* stop,
                       std::string& error) {
    Close();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        fd_ = ConnectOnce(host, port, error);
        if (fd_ >= 0)
            break;
        if (std::chrono::steady_clock::now() >= deadline || (stop && *stop))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // Answers go out at once; vpcd sends a command's length and payload in two writes, and a
    // delayed acknowledgement would hold every command back by about 40 ms.
    int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    return true;
}

namespace {

// The longest command APDU of short lengths: header, Lc, 255 data bytes, Le.
constexpr std::size_t kMaxFrame = 261;

bool IsControl(std::uint8_t b) {
    return b == 0x00 || b == 0x01 || b == 0x02 || b == 0x04;
}

} // namespace

VpcdLink::Result VpcdLink::Need(std::size_t count, int timeoutMs, const volatile bool* stop,
                                std::string& error) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (in_.size() < count) {
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0)
                return Result::TimedOut;
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(left));
            if (ready == 0)
                return Result::TimedOut;
            if (ready < 0) {
                if (errno != EINTR) {
                    error = Errno("poll");
                    return Result::Error;
                }
                if (stop && *stop)
                    return Result::Interrupted;
                continue;
            }
        }
        std::uint8_t buffer[512];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) {
            // A signal that does not end the token loses nothing: go on reading.
            if (stop && *stop)
                return Result::Interrupted;
            continue;
        }
        if (n < 0) {
            error = Errno("recv");
            return Result::Error;
        }
        if (n == 0)
            return Result::Closed;
        in_.insert(in_.end(), buffer, buffer + n);
        // The kernel leaves quick-acknowledgement mode by itself: set it again after every read.
        int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
    return Result::Frame;
}

std::vector<std::uint8_t> VpcdLink::Take(std::size_t count) {
    std::vector<std::uint8_t> out(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(count));
    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(count));
    return out;
}

VpcdLink::Result VpcdLink::ReadFrame(std::vector<std::uint8_t>& frame, const volatile bool* stop,
                                     std::string& error) {
    if (!pending_.empty()) {
        frame = std::move(pending_.front());
        pending_.pop_front();
        return Result::Frame;
    }
    if (fd_ < 0) {
        error = "not connected";
        return Result::Error;
    }
    Result r = Need(2, -1, stop, error);
    if (r != Result::Frame)
        return r;
    const std::size_t length = static_cast<std::size_t>(in_[0] << 8 | in_[1]);
    if (length > kMaxFrame) {
        error = "vpcd sent a frame of " + std::to_string(length) + " bytes: out of step";
        return Result::Error;
    }
    r = Need(2 + length, -1, stop, error);
    if (r != Result::Frame)
        return r;
    Take(2);
    frame = Take(length);
    if (length != 1 || frame[0] != 0x00)
        return Result::Frame;

    // pcscd may drive one slot from two threads at once (a client's power-off and the reader's
    // presence poll), and vpcd writes each message as two sends, so two control messages x and y
    // can arrive interleaved as 00 01 00 01 x y. Read plainly, that is a power-off followed by a
    // length of 256 or more that never completes. A real power-off is never followed by 01: the
    // next message is another control message or, once powered again, a short command.
    r = Need(2, 20, stop, error);
    if (r == Result::Closed || r == Result::Error)
        return r;
    // (a time-out or a signal: the power-off stands)
    if (in_.size() >= 2 && in_[0] == 0x01 && IsControl(in_[1])) {
        Take(1);
        frame = Take(1);
        r = Need(1, 1000, stop, error);
        if (r == Result::Frame)
            pending_.push_back(Take(1));
        else if (r == Result::Closed || r == Result::Error)
            return r;
    }
    return Result::Frame;
}

bool VpcdLink::WriteFrame(const std::vector<std::uint8_t>& payload, std::string& error) {
    if (fd_ < 0 || payload.size() > 0xFFFF) {
        error = fd_ < 0 ? "not connected" : "frame too long";
        return false;
    }
    std::vector<std::uint8_t> out;
    out.reserve(payload.size() + 2);
    out.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
    out.insert(out.end(), payload.begin(), payload.end());
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::send(fd_, out.data() + done, out.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = Errno("send");
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void VpcdLink::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

} // namespace vtoken
