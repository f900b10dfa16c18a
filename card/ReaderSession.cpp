#include "ReaderSession.h"

#include "crypto/Wipe.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// Longest text a session hands out (reader names, error texts).
constexpr std::size_t kMaxText = 255;
// Room for the card's answer: data and the two status bytes.
constexpr pcsc::DWORD kReceiveCapacity = 254;
// The system's semaphore time-out code.
constexpr std::uint32_t kSemaphoreTimeout = 121;

std::string Cut(std::string text) {
    if (text.size() > kMaxText)
        text.resize(kMaxText);
    return text;
}

std::string Hex(std::uint32_t value, int digits) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%0*X", digits, static_cast<unsigned>(value));
    return buffer;
}

// Answers after which a context is of no more use: the service went away (and possibly came back
// with contexts of its own), or the context was never there or is no longer known.
bool ContextLost(std::uint32_t result) {
    return result == pcsc::kNoService || result == pcsc::kServiceStopped ||
           result == pcsc::kInvalidHandle;
}

} // namespace

ReaderSession::ReaderSession(pcsc::Api& api) : Pcsc(api) {
    pcsc::SCARDCONTEXT context = 0;
    if (Pcsc.EstablishContext(pcsc::kScopeUser, &context) == 0)
        Context = context;
    // A session without a resource manager stays usable: every later call fails and says why.
}

ReaderSession::~ReaderSession() {
    if (CardHandle != 0)
        Disconnect();
    if (Context != 0)
        Pcsc.ReleaseContext(Context);
}

bool ReaderSession::RenewContext() {
    pcsc::SCARDCONTEXT context = 0;
    if (Pcsc.EstablishContext(pcsc::kScopeUser, &context) != 0)
        return false;
    if (Context != 0)
        Pcsc.ReleaseContext(Context);
    Context = context;
    return true;
}

template <typename Call> std::uint32_t ReaderSession::OnContext(bool& renewed, Call call) {
    const auto result = static_cast<std::uint32_t>(call(Context));
    if (renewed || !ContextLost(result))
        return result;
    renewed = true;
    if (!RenewContext())
        return result;
    return static_cast<std::uint32_t>(call(Context));
}

std::string ReaderSession::GetReaderName(int position) {
    if (position == 0)
        return "<None>";
    const std::vector<std::string> names = UsableReaders(position);
    return static_cast<int>(names.size()) == position ? names.back() : std::string();
}

std::vector<std::string> ReaderSession::UsableReaders(int upTo) {
    std::vector<std::string> usable;

    // One new context at most for the whole walk, whichever of its calls finds the old one gone.
    bool renewed = false;
    pcsc::DWORD length = 0;
    const std::uint32_t listed = OnContext(renewed, [&](pcsc::SCARDCONTEXT context) {
        length = 0;
        return Pcsc.ListReaders(context, nullptr, nullptr, &length);
    });
    if (listed != 0)
        return usable;

    // Two spare NULs keep the walk below inside the buffer whatever the fill left in it.
    std::vector<char> names(static_cast<std::size_t>(length) + 2, '\0');
    pcsc::DWORD filled = length;
    Pcsc.ListReaders(Context, nullptr, names.data(), &filled);

    std::size_t offset = 0;
    while (offset < length && names[offset] != '\0' && static_cast<int>(usable.size()) < upTo) {
        const char* name = names.data() + offset;
        const std::size_t nameLength = strnlen(name, length - offset);
        const std::string current(name, nameLength);
        offset += nameLength + 1;

        pcsc::ReaderState state;
        auto result = OnContext(renewed, [&](pcsc::SCARDCONTEXT context) {
            state = pcsc::ReaderState{};
            state.reader = current.c_str();
            state.currentState = pcsc::kStateUnaware;
            return Pcsc.GetStatusChange(context, 0, &state, 1);
        });
        if (result == pcsc::kNoService)
            result = 0;
        if (result != 0 || (state.eventState & pcsc::kStateUnknown) != 0)
            continue;
        usable.push_back(Cut(current));
    }
    return usable;
}

void ReaderSession::SelectReader(const std::string& name) {
    if (!Reader.empty())
        Disconnect();
    Reader = name;
}

bool ReaderSession::IsCardPresent() {
    const Presence presence = ReadPresence();
    if (presence == Presence::NoService) {
        LastResult = 0;
        return true;
    }
    return presence == Presence::Present;
}

ReaderSession::Presence ReaderSession::ReadPresence() {
    if (Reader.empty())
        return Presence::Absent;
    pcsc::ReaderState state;
    bool renewed = false;
    LastResult = OnContext(renewed, [&](pcsc::SCARDCONTEXT context) {
        state = pcsc::ReaderState{};
        state.reader = Reader.c_str();
        state.currentState = pcsc::kStateUnaware;
        return Pcsc.GetStatusChange(context, 0, &state, 1);
    });
    // Here only when a new context could not be had either, or said the same.
    if (LastResult == pcsc::kNoService)
        return Presence::NoService;
    if (LastResult != 0)
        return Presence::Absent;
    LastEventCount = static_cast<std::uint16_t>(state.eventCounter);
    if (state.eventState & pcsc::kStateUnknown)
        return Presence::Absent;
    if ((state.eventState & pcsc::kStatePresent) == 0)
        return Presence::Absent;
    const std::size_t atrLength = std::min<std::size_t>(state.atrLength, sizeof state.atr);
    LastAtr.assign(state.atr, state.atr + atrLength);
    return Presence::Present;
}

bool ReaderSession::Connect(Atr& atr, std::uint32_t& atrLength) {
    atrLength = 0;
    if (Reader.empty())
        return false;
    // pcscd powers a token down when no program has used it for a while and up again when one
    // connects; a connect that meets the power-down can be granted while the token is powered
    // once more behind it, which leaves it without a protocol (the status tells): every command
    // on that connection would be refused. Nothing was sent yet, so connect again.
    for (int attempt = 1;; ++attempt) {
        if (!ConnectOnce(atr, atrLength))
            return false;
        if (ActiveProtocol != 0)
            return true;
        if (attempt == kConnectAttempts) {
            LastResult = pcsc::kProtoMismatch;
            atrLength = 0;
            return false; // still connected: the caller disconnects
        }
    }
}

bool ReaderSession::ConnectOnce(Atr& atr, std::uint32_t& atrLength) {
    if (CardHandle != 0)
        Disconnect();

    pcsc::SCARDHANDLE handle = 0;
    pcsc::DWORD protocol = 0;
    bool renewed = false;
    LastResult = OnContext(renewed, [&](pcsc::SCARDCONTEXT context) {
        handle = 0;
        protocol = 0;
        return Pcsc.Connect(context, Reader.c_str(),
                            Exclusive ? pcsc::kShareExclusive : pcsc::kShareShared,
                            pcsc::kProtocolT0 | pcsc::kProtocolT1, &handle, &protocol);
    });
    if (LastResult != 0)
        return false;
    CardHandle = handle;
    ActiveProtocol = static_cast<std::uint32_t>(protocol);

    pcsc::DWORD length = atr.size();
    pcsc::DWORD readerLength = 0;
    pcsc::DWORD state = 0;
    LastResult = static_cast<std::uint32_t>(
        Pcsc.Status(CardHandle, nullptr, &readerLength, &state, &protocol, atr.data(), &length));
    if (LastResult != 0)
        return false; // still connected: the caller disconnects
    ActiveProtocol = static_cast<std::uint32_t>(protocol);
    atrLength = static_cast<std::uint32_t>(std::min<pcsc::DWORD>(length, atr.size()));
    LastAtr.assign(atr.begin(), atr.begin() + atrLength);
    return true;
}

bool ReaderSession::Disconnect() {
    if (CardHandle != 0)
        Pcsc.Disconnect(CardHandle, Exclusive ? pcsc::kResetCard : pcsc::kLeaveCard);
    CardHandle = 0;
    return true;
}

bool ReaderSession::Transmit(const Bytes& command, Bytes& response) {
    const pcsc::IoRequest sendPci{ActiveProtocol, sizeof(pcsc::IoRequest)};
    std::uint8_t answer[kReceiveCapacity];
    pcsc::DWORD received = kReceiveCapacity;

    StatusWord = 0x1111;
    LastResult = static_cast<std::uint32_t>(Pcsc.Transmit(
        CardHandle, &sendPci, command.data(), command.size(), nullptr, answer, &received));
    if (LastResult == 0) {
        // Anything beyond the receive area cannot have been written into it: such a length is
        // as wrong as one too short to hold the status word.
        if (received < 2 || received > kReceiveCapacity) {
            LastResult = kErrResponseSize;
        } else {
            response.assign(answer, answer + received - 2);
            StatusWord =
                static_cast<std::uint16_t>((answer[received - 2] << 8) | answer[received - 1]);
            if ((StatusWord >> 8) != 0x90)
                LastResult = kErrStatusWord;
        }
    }
    // The answer may carry secrets (a challenge, key material): leave nothing on the stack.
    Wipe(answer, sizeof answer);

    return LastResult == 0;
}

std::string ReaderSession::LastErrorText() const {
    switch (LastResult) {
    case 0:
        return "Ok";
    case kSemaphoreTimeout:
        return "Timeout";
    case kErrResponseSize:
        return "Invalid response size";
    case pcsc::kUnknownReader:
        return "The specified reader name is not recognized";
    case pcsc::kTimeout:
        return "The user-specified timeout value has expired";
    case pcsc::kNotReady:
        return "The reader or smart card is not ready to accept commands";
    case pcsc::kServiceStopped:
        return "The Smart card resource manager has shut down";
    case pcsc::kCardWasRemoved:
        return "The smart card has been removed, so that further communication is not possible";
    case kErrStatusWord:
        if (StatusWord == 0x6983)
            return "Card blocked";
        if ((StatusWord & 0xFFF0) == 0x63C0)
            return "Invalid password. Attempts left - " + std::to_string(StatusWord & 0x0F);
        return "Card Error " + Hex(StatusWord, 4);
    default:
        break;
    }
    std::string text = Pcsc.MessageText(LastResult);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    if (text.empty())
        return "Error " + Hex(LastResult, 8);
    return Cut(std::move(text));
}

std::uint32_t ReaderSession::BeginTransaction() {
    return static_cast<std::uint32_t>(Pcsc.BeginTransaction(CardHandle));
}

std::uint32_t ReaderSession::EndTransaction() {
    return static_cast<std::uint32_t>(Pcsc.EndTransaction(CardHandle, pcsc::kLeaveCard));
}
