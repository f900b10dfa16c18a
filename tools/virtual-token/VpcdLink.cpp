#include "VpcdLink.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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

VpcdLink::Result VpcdLink::ReadExactly(std::uint8_t* data, std::size_t length, std::string& error) {
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::recv(fd_, data + done, length - done, 0);
        if (n < 0 && errno == EINTR)
            return Result::Interrupted;
        if (n < 0) {
            error = Errno("recv");
            return Result::Error;
        }
        if (n == 0)
            return Result::Closed;
        done += static_cast<std::size_t>(n);
        // The kernel clears quick-acknowledgement mode by itself: set it again after every read.
        int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
    return Result::Frame;
}

VpcdLink::Result VpcdLink::ReadFrame(std::vector<std::uint8_t>& frame, std::string& error) {
    if (fd_ < 0) {
        error = "not connected";
        return Result::Error;
    }
    std::uint8_t header[2];
    Result r = ReadExactly(header, 2, error);
    if (r != Result::Frame)
        return r;
    frame.assign(static_cast<std::size_t>(header[0] << 8 | header[1]), 0);
    // A frame's body follows its length at once; a signal in between does not split it.
    for (;;) {
        r = ReadExactly(frame.data(), frame.size(), error);
        if (r != Result::Interrupted)
            return r;
    }
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
