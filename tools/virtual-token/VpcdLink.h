#pragma once
// The virtual token's connection to vpcd, the virtual reader driver of pcscd. The token is the
// TCP client; connecting is inserting the token, closing the connection is removing it. Frames
// are a 2-byte big-endian length and the payload, both ways.

#include <cstdint>
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

    enum class Result { Frame, Closed, Interrupted, Error };
    // Reads one frame. A signal arriving while waiting answers Interrupted.
    Result ReadFrame(std::vector<std::uint8_t>& frame, std::string& error);
    bool WriteFrame(const std::vector<std::uint8_t>& payload, std::string& error);
    void Close();

private:
    Result ReadExactly(std::uint8_t* data, std::size_t length, std::string& error);

    int fd_ = -1;
};

} // namespace vtoken
