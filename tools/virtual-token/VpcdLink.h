#pragma once
// The virtual token's connection to vpcd, the virtual reader driver of pcscd. The token is the
// TCP client; connecting is inserting the token, closing the connection is removing it. Frames
// are a 2-byte big-endian length and the payload, both ways.

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace vtoken {

class VpcdLink {
public:
    VpcdLink() = default;
    ~VpcdLink() { Close(); }
    VpcdLink(const VpcdLink&) = delete;
    VpcdLink& operator=(const VpcdLink&) = delete;

    // Tries to connect every 100 ms until `waitMs` has passed (vpcd may not listen yet) or
    // `*stop` becomes true.
    bool Connect(const std::string& host, int port, int waitMs, const volatile bool* stop,
                 std::string& error);

    enum class Result { Frame, Closed, Interrupted, Error, TimedOut };
    // Reads one frame (never TimedOut). Answers Interrupted as soon as `*stop` is true after a
    // signal; a signal that leaves `*stop` false loses nothing.
    Result ReadFrame(std::vector<std::uint8_t>& frame, const volatile bool* stop,
                     std::string& error);
    bool WriteFrame(const std::vector<std::uint8_t>& payload, std::string& error);
    void Close();

private:
    // Makes at least `count` bytes available in the input; `timeoutMs` < 0 waits without limit.
    Result Need(std::size_t count, int timeoutMs, const volatile bool* stop, std::string& error);
    std::vector<std::uint8_t> Take(std::size_t count);

    int fd_ = -1;
    std::vector<std::uint8_t> in_;
    std::deque<std::vector<std::uint8_t>> pending_;
};

} // namespace vtoken
