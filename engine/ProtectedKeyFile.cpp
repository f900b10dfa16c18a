#include "ProtectedKeyFile.h"

#include "crypto/Sodium.h"
#include "crypto/Wipe.h"

#include <cstring>

namespace protected_file {

namespace {

constexpr std::uint8_t kArgon2id = 1;
constexpr std::uint8_t kXChaCha20Poly1305 = 1;
constexpr std::size_t kMinSecret = 16;
constexpr std::size_t kMaxSecret = 1024;

constexpr std::size_t kVersionAt = 8, kKdfAt = 9, kCipherAt = 10, kContentAt = 11;
constexpr std::size_t kPassesAt = 12, kMemoryAt = 16, kSaltAt = 20, kNonceAt = 36, kLengthAt = 60;

std::uint32_t Read32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

void Put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::size_t CiphertextLength(const std::vector<std::uint8_t>& file) {
    return static_cast<std::size_t>(file[kLengthAt]) | static_cast<std::size_t>(file[kLengthAt + 1])
                                                           << 8;
}

bool KnownContent(std::uint8_t content) {
    return content == static_cast<std::uint8_t>(Content::UnblockKey) ||
           content == static_cast<std::uint8_t>(Content::Share);
}

} // namespace

bool LooksProtected(const std::vector<std::uint8_t>& bytes) {
    return bytes.size() > sizeof kMagic && std::memcmp(bytes.data(), kMagic, sizeof kMagic) == 0;
}

passphrase::Cost CostOf(const std::vector<std::uint8_t>& file) {
    return {Read32(file, kPassesAt), Read32(file, kMemoryAt)};
}

Check Inspect(const std::vector<std::uint8_t>& file, Content& content) {
    if (!LooksProtected(file) || file.size() < kHeaderSize)
        return Check::Damaged;
    // A later format may lay out the rest differently: its version is read before anything else.
    if (file[kVersionAt] != kVersion || file[kKdfAt] != kArgon2id ||
        file[kCipherAt] != kXChaCha20Poly1305)
        return Check::OtherVersion;
    const std::size_t length = CiphertextLength(file);
    if (file.size() != kHeaderSize + length + passphrase::kTagSize + kChecksumSize)
        return Check::Damaged;
    std::uint8_t sum[kChecksumSize];
    Checksum(file.data(), file.size() - kChecksumSize, sum);
    if (std::memcmp(sum, file.data() + file.size() - kChecksumSize, kChecksumSize) != 0)
        return Check::Damaged;
    if (length < kMinSecret || length > kMaxSecret || !KnownContent(file[kContentAt]) ||
        !passphrase::CostAccepted(CostOf(file)))
        return Check::Damaged;
    content = static_cast<Content>(file[kContentAt]);
    return Check::Ok;
}

Unlock Open(const std::vector<std::uint8_t>& file, const std::string& passphrase, Content& content,
            std::vector<std::uint8_t>& secret) {
    Content found{};
    switch (Inspect(file, found)) {
    case Check::OtherVersion:
        return Unlock::OtherVersion;
    case Check::Damaged:
        return Unlock::Damaged;
    case Check::Ok:
        break;
    }
    const std::vector<std::uint8_t> header(file.begin(), file.begin() + kHeaderSize);
    const std::vector<std::uint8_t> sealed(file.begin() + kHeaderSize,
                                           file.end() - static_cast<long>(kChecksumSize));
    switch (passphrase::Open(passphrase, CostOf(file), file.data() + kSaltAt,
                             file.data() + kNonceAt, header, sealed, secret)) {
    case passphrase::OpenResult::NotAuthentic:
        return Unlock::WrongPassphrase;
    case passphrase::OpenResult::NoMemory:
        return Unlock::NoMemory;
    case passphrase::OpenResult::Opened:
        break;
    }
    content = found;
    return Unlock::Opened;
}

bool Seal(const std::vector<std::uint8_t>& secret, Content content, const std::string& passphrase,
          const passphrase::Cost& cost, std::vector<std::uint8_t>& file) {
    if (secret.size() < kMinSecret || secret.size() > kMaxSecret ||
        !passphrase::CostAccepted(cost) || !StartSodium())
        return false;
    std::vector<std::uint8_t> header(kHeaderSize, 0);
    std::memcpy(header.data(), kMagic, sizeof kMagic);
    header[kVersionAt] = kVersion;
    header[kKdfAt] = kArgon2id;
    header[kCipherAt] = kXChaCha20Poly1305;
    header[kContentAt] = static_cast<std::uint8_t>(content);
    Put32(header, kPassesAt, cost.passes);
    Put32(header, kMemoryAt, cost.memoryKiB);
    RandomBytes(header.data() + kSaltAt, passphrase::kSaltSize);
    RandomBytes(header.data() + kNonceAt, passphrase::kNonceSize);
    header[kLengthAt] = static_cast<std::uint8_t>(secret.size());
    header[kLengthAt + 1] = static_cast<std::uint8_t>(secret.size() >> 8);
    std::vector<std::uint8_t> sealed;
    if (!passphrase::Seal(passphrase, cost, header.data() + kSaltAt, header.data() + kNonceAt,
                          header, secret, sealed))
        return false;
    file = header;
    file.insert(file.end(), sealed.begin(), sealed.end());
    file.resize(file.size() + kChecksumSize);
    Checksum(file.data(), file.size() - kChecksumSize, file.data() + file.size() - kChecksumSize);
    return true;
}

} // namespace protected_file
