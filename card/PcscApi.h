#pragma once
// The PC/SC entry points Orvane uses, behind one small interface.
//
// The real binding (pcsc-lite on Linux, winscard on Windows) lives in PcscApi.cpp, the only file
// that includes the platform's winscard.h. Everything else, including the test doubles, sees only
// the types declared here. The types have the platform's real sizes: on Linux pcsc-lite's DWORD
// and LONG are 64 bits wide and SCARD_IO_REQUEST is 16 bytes.

#include <cstdint>
#include <string>

namespace pcsc {

using DWORD = unsigned long;
using LONG = long;
using SCARDCONTEXT = long;
using SCARDHANDLE = long;

// Result codes Orvane looks at (the same values as the platform's SCARD_* codes).
inline constexpr std::uint32_t kSuccess = 0x00000000;
inline constexpr std::uint32_t kInvalidHandle = 0x80100003;
inline constexpr std::uint32_t kInvalidParameter = 0x80100004;
inline constexpr std::uint32_t kInsufficientBuffer = 0x80100008;
inline constexpr std::uint32_t kUnknownReader = 0x80100009;
inline constexpr std::uint32_t kTimeout = 0x8010000A;
inline constexpr std::uint32_t kSharingViolation = 0x8010000B;
inline constexpr std::uint32_t kNoSmartcard = 0x8010000C;
inline constexpr std::uint32_t kProtoMismatch = 0x8010000F;
inline constexpr std::uint32_t kNotReady = 0x80100010;
inline constexpr std::uint32_t kNotTransacted = 0x80100016;
inline constexpr std::uint32_t kNoService = 0x8010001D;
inline constexpr std::uint32_t kServiceStopped = 0x8010001E;
inline constexpr std::uint32_t kNoReadersAvailable = 0x8010002E;
inline constexpr std::uint32_t kCardWasReset = 0x80100068;
inline constexpr std::uint32_t kCardWasRemoved = 0x80100069;

// Scope, share modes, dispositions, protocols and reader states.
inline constexpr DWORD kScopeUser = 0;
inline constexpr DWORD kShareExclusive = 1;
inline constexpr DWORD kShareShared = 2;
inline constexpr DWORD kLeaveCard = 0;
inline constexpr DWORD kResetCard = 1;
inline constexpr DWORD kUnpowerCard = 2;
inline constexpr DWORD kProtocolT0 = 1;
inline constexpr DWORD kProtocolT1 = 2;
inline constexpr DWORD kStateUnaware = 0x0000;
inline constexpr DWORD kStateChanged = 0x0002;
inline constexpr DWORD kStateUnknown = 0x0004;
inline constexpr DWORD kStateEmpty = 0x0010;
inline constexpr DWORD kStatePresent = 0x0020;
inline constexpr DWORD kStateExclusive = 0x0080;
inline constexpr DWORD kStateInuse = 0x0100;

inline constexpr std::size_t kMaxAtr = 36;

// One reader-state record of a status-change query (SCARD_READERSTATE).
struct ReaderState {
    const char* reader = nullptr;
    void* userData = nullptr;
    DWORD currentState = kStateUnaware;
    DWORD eventState = 0;   // the state bits only
    DWORD eventCounter = 0; // the reader's count of insertions and removals
    DWORD atrLength = 0;
    unsigned char atr[kMaxAtr] = {};
};

// The protocol header of an exchange (SCARD_IO_REQUEST).
struct IoRequest {
    DWORD protocol = 0;
    DWORD pciLength = 0;
};

// The PC/SC entry points. Each answers the platform's result code (0 = success) and has the
// meaning of the function of the same name in winscard.h (the Windows "A" forms).
class Api {
public:
    virtual ~Api() = default;
    virtual LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) = 0;
    virtual LONG ReleaseContext(SCARDCONTEXT context) = 0;
    virtual LONG ListReaders(SCARDCONTEXT context, const char* groups, char* readers,
                             DWORD* readersLength) = 0;
    virtual LONG GetStatusChange(SCARDCONTEXT context, DWORD timeout, ReaderState* states,
                                 DWORD count) = 0;
    virtual LONG Connect(SCARDCONTEXT context, const char* reader, DWORD shareMode,
                         DWORD preferredProtocols, SCARDHANDLE* card, DWORD* activeProtocol) = 0;
    virtual LONG Status(SCARDHANDLE card, char* readerName, DWORD* readerLength, DWORD* state,
                        DWORD* protocol, unsigned char* atr, DWORD* atrLength) = 0;
    virtual LONG Transmit(SCARDHANDLE card, const IoRequest* sendPci, const unsigned char* send,
                          DWORD sendLength, IoRequest* recvPci, unsigned char* recv,
                          DWORD* recvLength) = 0;
    virtual LONG BeginTransaction(SCARDHANDLE card) = 0;
    virtual LONG EndTransaction(SCARDHANDLE card, DWORD disposition) = 0;
    virtual LONG Disconnect(SCARDHANDLE card, DWORD disposition) = 0;
    // The system's message text for a result code, or an empty text when the system has none
    // (the caller then writes "Error " and the code).
    virtual std::string MessageText(std::uint32_t code) = 0;
};

// The binding to the platform's PC/SC library.
Api& RealApi();

// The entry points new reader sessions use: the real binding unless a test installed another.
Api& CurrentApi();
// Installs `api` for sessions created from now on; nullptr restores the real binding.
void SetCurrentApi(Api* api);

} // namespace pcsc
