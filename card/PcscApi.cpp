// The binding of Orvane's PC/SC interface to pcsc-lite. This is the only file that sees the
// platform's winscard.h; the static checks below keep the declarations of PcscApi.h in step
// with it.

#include "PcscApi.h"

#include "common/Seam.h"

#include <PCSC/winscard.h>

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

namespace pcsc {

static_assert(sizeof(DWORD) == sizeof(::DWORD));
static_assert(sizeof(LONG) == sizeof(::LONG));
static_assert(sizeof(SCARDCONTEXT) == sizeof(::SCARDCONTEXT));
static_assert(sizeof(SCARDHANDLE) == sizeof(::SCARDHANDLE));

// The protocol header is passed straight through, so it must be pcsc-lite's own record.
static_assert(sizeof(IoRequest) == sizeof(SCARD_IO_REQUEST));
static_assert(offsetof(IoRequest, protocol) == offsetof(SCARD_IO_REQUEST, dwProtocol));
static_assert(offsetof(IoRequest, pciLength) == offsetof(SCARD_IO_REQUEST, cbPciLength));

// Reader-state records are copied field by field; our ATR area must hold pcsc-lite's.
static_assert(kMaxAtr >= MAX_ATR_SIZE);

static_assert(kSuccess == static_cast<std::uint32_t>(SCARD_S_SUCCESS));
static_assert(kInvalidHandle == static_cast<std::uint32_t>(SCARD_E_INVALID_HANDLE));
static_assert(kInvalidParameter == static_cast<std::uint32_t>(SCARD_E_INVALID_PARAMETER));
static_assert(kInsufficientBuffer == static_cast<std::uint32_t>(SCARD_E_INSUFFICIENT_BUFFER));
static_assert(kUnknownReader == static_cast<std::uint32_t>(SCARD_E_UNKNOWN_READER));
static_assert(kTimeout == static_cast<std::uint32_t>(SCARD_E_TIMEOUT));
static_assert(kSharingViolation == static_cast<std::uint32_t>(SCARD_E_SHARING_VIOLATION));
static_assert(kNoSmartcard == static_cast<std::uint32_t>(SCARD_E_NO_SMARTCARD));
static_assert(kNotReady == static_cast<std::uint32_t>(SCARD_E_NOT_READY));
static_assert(kNotTransacted == static_cast<std::uint32_t>(SCARD_E_NOT_TRANSACTED));
static_assert(kNoService == static_cast<std::uint32_t>(SCARD_E_NO_SERVICE));
static_assert(kServiceStopped == static_cast<std::uint32_t>(SCARD_E_SERVICE_STOPPED));
static_assert(kNoReadersAvailable == static_cast<std::uint32_t>(SCARD_E_NO_READERS_AVAILABLE));
static_assert(kCardWasReset == static_cast<std::uint32_t>(SCARD_W_RESET_CARD));
static_assert(kCardWasRemoved == static_cast<std::uint32_t>(SCARD_W_REMOVED_CARD));

static_assert(kScopeUser == SCARD_SCOPE_USER);
static_assert(kShareExclusive == SCARD_SHARE_EXCLUSIVE);
static_assert(kShareShared == SCARD_SHARE_SHARED);
static_assert(kLeaveCard == SCARD_LEAVE_CARD);
static_assert(kResetCard == SCARD_RESET_CARD);
static_assert(kUnpowerCard == SCARD_UNPOWER_CARD);
static_assert(kProtocolT0 == SCARD_PROTOCOL_T0);
static_assert(kProtoMismatch == static_cast<std::uint32_t>(SCARD_E_PROTO_MISMATCH));
static_assert(kProtocolT1 == SCARD_PROTOCOL_T1);
static_assert(kStateUnaware == SCARD_STATE_UNAWARE);
static_assert(kStateChanged == SCARD_STATE_CHANGED);
static_assert(kStateUnknown == SCARD_STATE_UNKNOWN);
static_assert(kStateEmpty == SCARD_STATE_EMPTY);
static_assert(kStatePresent == SCARD_STATE_PRESENT);
static_assert(kStateExclusive == SCARD_STATE_EXCLUSIVE);
static_assert(kStateInuse == SCARD_STATE_INUSE);

namespace {

// pcsc-lite counts reader events (a card inserted, a card removed) in the upper half of
// dwEventState; the binding hands the state bits and the count over apart.
constexpr ::DWORD kEventStateBits = 0xFFFF;

class PcscLite final : public Api {
public:
    LONG EstablishContext(DWORD scope, SCARDCONTEXT* context) override {
        return SCardEstablishContext(scope, nullptr, nullptr, context);
    }
    LONG ReleaseContext(SCARDCONTEXT context) override { return SCardReleaseContext(context); }
    LONG ListReaders(SCARDCONTEXT context, const char* groups, char* readers,
                     DWORD* readersLength) override {
        return SCardListReaders(context, groups, readers, readersLength);
    }
    LONG GetStatusChange(SCARDCONTEXT context, DWORD timeout, ReaderState* states,
                         DWORD count) override {
        std::vector<SCARD_READERSTATE> native(count);
        for (DWORD i = 0; i < count; ++i) {
            native[i].szReader = states[i].reader;
            native[i].pvUserData = states[i].userData;
            native[i].dwCurrentState = states[i].currentState;
            native[i].dwEventState = states[i].eventState;
            native[i].cbAtr = std::min<::DWORD>(states[i].atrLength, MAX_ATR_SIZE);
            std::copy_n(states[i].atr, native[i].cbAtr, native[i].rgbAtr);
        }
        const LONG result =
            SCardGetStatusChange(context, timeout, count ? native.data() : nullptr, count);
        for (DWORD i = 0; i < count; ++i) {
            states[i].eventState = native[i].dwEventState & kEventStateBits;
            states[i].eventCounter = (native[i].dwEventState >> 16) & 0xFFFF;
            states[i].atrLength = std::min<::DWORD>(native[i].cbAtr, MAX_ATR_SIZE);
            std::copy_n(native[i].rgbAtr, states[i].atrLength, states[i].atr);
        }
        return result;
    }
    LONG Connect(SCARDCONTEXT context, const char* reader, DWORD shareMode,
                 DWORD preferredProtocols, SCARDHANDLE* card, DWORD* activeProtocol) override {
        return SCardConnect(context, reader, shareMode, preferredProtocols, card, activeProtocol);
    }
    LONG Status(SCARDHANDLE card, char* readerName, DWORD* readerLength, DWORD* state,
                DWORD* protocol, unsigned char* atr, DWORD* atrLength) override {
        return SCardStatus(card, readerName, readerLength, state, protocol, atr, atrLength);
    }
    LONG Transmit(SCARDHANDLE card, const IoRequest* sendPci, const unsigned char* send,
                  DWORD sendLength, IoRequest* recvPci, unsigned char* recv,
                  DWORD* recvLength) override {
        return SCardTransmit(card, reinterpret_cast<const SCARD_IO_REQUEST*>(sendPci), send,
                             sendLength, reinterpret_cast<SCARD_IO_REQUEST*>(recvPci), recv,
                             recvLength);
    }
    LONG BeginTransaction(SCARDHANDLE card) override { return SCardBeginTransaction(card); }
    LONG EndTransaction(SCARDHANDLE card, DWORD disposition) override {
        return SCardEndTransaction(card, disposition);
    }
    LONG Disconnect(SCARDHANDLE card, DWORD disposition) override {
        return SCardDisconnect(card, disposition);
    }
    std::string MessageText(std::uint32_t code) override {
        // Only PC/SC codes have a text here; pcsc-lite answers every other code with
        // "Unknown error: 0x...", which the caller replaces by its own "Error XXXXXXXX".
        if ((code & 0xFFFF0000u) != 0x80100000u)
            return {};
        const char* text = pcsc_stringify_error(static_cast<::LONG>(code));
        if (text == nullptr)
            return {};
        const std::string_view view(text);
        if (view.empty() || view.starts_with("Unknown error"))
            return {};
        return std::string(view);
    }
};

constexpr auto ApiSeam = SeamOf<Api, PcscLite>;

} // namespace

Api& RealApi() {
    return ApiSeam().Real();
}

Api& CurrentApi() {
    return ApiSeam().Get();
}

void SetCurrentApi(Api* api) {
    ApiSeam().Set(api);
}

} // namespace pcsc
