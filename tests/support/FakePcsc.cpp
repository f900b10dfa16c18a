#include "support/FakePcsc.h"

#include <algorithm>
#include <cstring>

using pcsc::DWORD;
using pcsc::LONG;
using pcsc::SCARDCONTEXT;
using pcsc::SCARDHANDLE;

namespace {

bool StartsWith(const Bytes& command, const Bytes& prefix) {
    return command.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), command.begin());
}

} // namespace

const char* FakePcsc::EntryName(Entry entry) {
    switch (entry) {
    case Entry::EstablishContext:
        return "EstablishContext";
    case Entry::ReleaseContext:
        return "ReleaseContext";
    case Entry::ListReaders:
        return "ListReaders";
    case Entry::GetStatusChange:
        return "GetStatusChange";
    case Entry::Connect:
        return "Connect";
    case Entry::Status:
        return "Status";
    case Entry::Transmit:
        return "Transmit";
    case Entry::BeginTransaction:
        return "BeginTransaction";
    case Entry::EndTransaction:
        return "EndTransaction";
    case Entry::Disconnect:
        return "Disconnect";
    }
    return "?";
}

FakePcsc::FakePcsc() {
    pcsc::SetCurrentApi(this);
}

FakePcsc::~FakePcsc() {
    pcsc::SetCurrentApi(nullptr);
}

// ---- Readers and cards ---------------------------------------------------------------------

FakePcsc::ReaderInfo* FakePcsc::FindReader(const std::string& name) {
    for (auto& reader : readers_)
        if (reader.name == name)
            return &reader;
    return nullptr;
}

const FakePcsc::ReaderInfo* FakePcsc::FindReader(const std::string& name) const {
    for (const auto& reader : readers_)
        if (reader.name == name)
            return &reader;
    return nullptr;
}

void FakePcsc::AddReader(const std::string& name, const Bytes& atr) {
    std::lock_guard lock(mutex_);
    if (ReaderInfo* existing = FindReader(name)) {
        existing->atr = atr;
        existing->cardSerial = nextSerial_++;
        return;
    }
    ReaderInfo reader;
    reader.name = name;
    reader.atr = atr;
    reader.cardSerial = nextSerial_++;
    readers_.push_back(reader);
}

void FakePcsc::RemoveReader(const std::string& name) {
    std::lock_guard lock(mutex_);
    std::erase_if(readers_, [&](const ReaderInfo& reader) { return reader.name == name; });
}

void FakePcsc::InsertCard(const std::string& reader, const Bytes& atr) {
    std::lock_guard lock(mutex_);
    if (ReaderInfo* info = FindReader(reader)) {
        info->atr = atr;
        info->cardSerial = nextSerial_++;
    }
}

void FakePcsc::RemoveCard(const std::string& reader) {
    std::lock_guard lock(mutex_);
    if (ReaderInfo* info = FindReader(reader)) {
        info->atr.clear();
        info->cardSerial = nextSerial_++;
    }
}

void FakePcsc::SetUnknownState(const std::string& reader, bool unknown) {
    std::lock_guard lock(mutex_);
    if (ReaderInfo* info = FindReader(reader))
        info->unknown = unknown;
}

void FakePcsc::SetProtocol(const std::string& reader, DWORD protocol) {
    std::lock_guard lock(mutex_);
    if (ReaderInfo* info = FindReader(reader))
        info->protocol = protocol;
}

void FakePcsc::RepowerAfterConnect(const std::string& reader, int connects) {
    std::lock_guard lock(mutex_);
    if (ReaderInfo* info = FindReader(reader))
        info->repowers = connects;
}

bool FakePcsc::HasCard(const std::string& reader) const {
    std::lock_guard lock(mutex_);
    const ReaderInfo* info = FindReader(reader);
    return info && !info->atr.empty();
}

Bytes FakePcsc::FamilyAtr(std::uint8_t byte14) {
    return {0x3B, 0xDF, 0x18, 0x00, 0x81,   0x31, 0xFE, 0x7D, 0x00, 'V',
            'L',  'M',  0x01, 0x02, byte14, 0x00, 0x10, 0x20, 0x30, 0x40};
}

Bytes FakePcsc::ForeignAtr() {
    return {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00,
            0x03, 0x06, 0x03, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x68};
}

Bytes FakePcsc::Hex(std::string_view text) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    Bytes bytes;
    int high = -1;
    for (char c : text) {
        const int value = digit(c);
        if (value < 0)
            continue;
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | value));
            high = -1;
        }
    }
    return bytes;
}

std::string FakePcsc::ToHex(const Bytes& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t byte : bytes) {
        if (!text.empty())
            text.push_back(' ');
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

// ---- Answers -------------------------------------------------------------------------------

void FakePcsc::AddScript(Script script, Times times) {
    std::lock_guard lock(mutex_);
    if (times == Times::Once)
        once_.push_back(std::move(script));
    else
        always_.push_back(std::move(script));
}

void FakePcsc::Answer(const Bytes& prefix, const Bytes& response, Times times) {
    AddScript(Script{prefix, response, std::nullopt}, times);
}

void FakePcsc::AnswerSw(const Bytes& prefix, std::uint16_t sw, Times times) {
    Answer(prefix, Bytes{static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)}, times);
}

void FakePcsc::AnswerResult(const Bytes& prefix, std::uint32_t code, Times times) {
    AddScript(Script{prefix, {}, code}, times);
}

void FakePcsc::SetDefaultAnswer(const Bytes& response) {
    std::lock_guard lock(mutex_);
    defaultAnswer_ = response;
}

void FakePcsc::ClearAnswers() {
    std::lock_guard lock(mutex_);
    once_.clear();
    always_.clear();
}

void FakePcsc::AnswerCardId(const Bytes& id) {
    Bytes response = id;
    response.push_back(0x90);
    response.push_back(0x00);
    Answer({0x80, 0xF6, 0x00, 0x00}, response, Times::Always);
}

void FakePcsc::AnswerChallenge(const Bytes& challenge) {
    Bytes response = challenge;
    response.push_back(0x90);
    response.push_back(0x00);
    Answer({0x00, 0x84, 0x00, 0x00}, response, Times::Always);
}

// ---- Failures, hooks, texts ----------------------------------------------------------------

void FakePcsc::Fail(Entry entry, std::uint32_t code, Times times) {
    std::lock_guard lock(mutex_);
    if (times == Times::Once)
        failures_[entry].once.push_back(code);
    else
        failures_[entry].always = code;
}

void FakePcsc::ClearFail(Entry entry) {
    std::lock_guard lock(mutex_);
    failures_.erase(entry);
}

std::optional<std::uint32_t> FakePcsc::TakeFailure(Entry entry) {
    auto it = failures_.find(entry);
    if (it == failures_.end())
        return std::nullopt;
    if (!it->second.once.empty()) {
        const std::uint32_t code = it->second.once.front();
        it->second.once.pop_front();
        return code;
    }
    return it->second.always;
}

// ---- The service ---------------------------------------------------------------------------

void FakePcsc::StopService(std::uint32_t staleAnswer) {
    std::lock_guard lock(mutex_);
    serviceRunning_ = false;
    for (const auto& [context, live] : contexts_)
        staleContexts_[context] = Stale{staleAnswer, {}, 0};
    contexts_.clear();
    for (const auto& [handle, connection] : connections_)
        staleHandles_[handle] = Stale{staleAnswer, connection.reader, connection.context};
    connections_.clear();
}

void FakePcsc::StartService() {
    std::lock_guard lock(mutex_);
    serviceRunning_ = true;
}

std::optional<std::uint32_t> FakePcsc::StaleContext(SCARDCONTEXT context) const {
    auto it = staleContexts_.find(context);
    if (it == staleContexts_.end())
        return std::nullopt;
    return it->second.answer;
}

const FakePcsc::Stale* FakePcsc::StaleHandle(SCARDHANDLE card) const {
    auto it = staleHandles_.find(card);
    return it == staleHandles_.end() ? nullptr : &it->second;
}

void FakePcsc::OnTransmit(std::function<void(const Bytes& command)> hook) {
    std::lock_guard lock(mutex_);
    onTransmit_ = std::move(hook);
}

void FakePcsc::OnTransmitted(std::function<void(const Bytes& command)> hook) {
    std::lock_guard lock(mutex_);
    onTransmitted_ = std::move(hook);
}

void FakePcsc::SetMessageText(std::uint32_t code, const std::string& text) {
    std::lock_guard lock(mutex_);
    texts_[code] = text;
}

std::string FakePcsc::MessageText(std::uint32_t code) {
    {
        std::lock_guard lock(mutex_);
        auto it = texts_.find(code);
        if (it != texts_.end())
            return it->second;
    }
    return pcsc::RealApi().MessageText(code);
}

// ---- Record --------------------------------------------------------------------------------

LONG FakePcsc::Record(Call call) {
    calls_.push_back(call);
    return call.result;
}

std::vector<FakePcsc::Call> FakePcsc::Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<FakePcsc::Entry> FakePcsc::CallEntries() const {
    std::lock_guard lock(mutex_);
    std::vector<Entry> entries;
    for (const auto& call : calls_)
        entries.push_back(call.entry);
    return entries;
}

std::size_t FakePcsc::Count(Entry entry) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        calls_.begin(), calls_.end(), [&](const Call& call) { return call.entry == entry; }));
}

std::vector<FakePcsc::Apdu> FakePcsc::Apdus() const {
    std::lock_guard lock(mutex_);
    return apdus_;
}

std::vector<Bytes> FakePcsc::Commands() const {
    std::lock_guard lock(mutex_);
    std::vector<Bytes> commands;
    for (const auto& apdu : apdus_)
        if (apdu.delivered)
            commands.push_back(apdu.command);
    return commands;
}

std::vector<pcsc::DWORD> FakePcsc::Dispositions() const {
    std::lock_guard lock(mutex_);
    std::vector<DWORD> dispositions;
    for (const auto& call : calls_)
        if (call.entry == Entry::Disconnect)
            dispositions.push_back(call.disposition);
    return dispositions;
}

std::size_t FakePcsc::TransactionsBegun() const {
    return Count(Entry::BeginTransaction);
}

std::size_t FakePcsc::TransactionsEnded() const {
    return Count(Entry::EndTransaction);
}

std::size_t FakePcsc::OpenConnections() const {
    std::lock_guard lock(mutex_);
    return connections_.size() + staleHandles_.size();
}

std::size_t FakePcsc::OpenContexts() const {
    std::lock_guard lock(mutex_);
    return contexts_.size() + staleContexts_.size();
}

void FakePcsc::ClearRecord() {
    std::lock_guard lock(mutex_);
    calls_.clear();
    apdus_.clear();
}

// ---- Entry points --------------------------------------------------------------------------

FakePcsc::Connection* FakePcsc::FindConnection(SCARDHANDLE card) {
    auto it = connections_.find(card);
    return it == connections_.end() ? nullptr : &it->second;
}

bool FakePcsc::CardStillThere(const Connection& connection) const {
    const ReaderInfo* reader = FindReader(connection.reader);
    return reader && !reader->atr.empty() && reader->cardSerial == connection.cardSerial;
}

LONG FakePcsc::EstablishContext(DWORD scope, SCARDCONTEXT* context) {
    std::lock_guard lock(mutex_);
    Call call{Entry::EstablishContext};
    if (auto code = TakeFailure(Entry::EstablishContext)) {
        call.result = static_cast<LONG>(*code);
        return Record(call);
    }
    if (context == nullptr || scope > 2) {
        call.result = static_cast<LONG>(pcsc::kInvalidParameter);
        return Record(call);
    }
    if (!serviceRunning_) {
        call.result = static_cast<LONG>(pcsc::kNoService);
        return Record(call);
    }
    *context = nextContext_++;
    contexts_[*context] = true;
    return Record(call);
}

LONG FakePcsc::ReleaseContext(SCARDCONTEXT context) {
    std::lock_guard lock(mutex_);
    Call call{Entry::ReleaseContext};
    if (auto code = TakeFailure(Entry::ReleaseContext)) {
        call.result = static_cast<LONG>(*code);
        return Record(call);
    }
    if (auto stale = StaleContext(context)) {
        // pcsc-lite forgets the context and its handles even though the service cannot hear it.
        call.result = static_cast<LONG>(*stale);
        staleContexts_.erase(context);
        std::erase_if(staleHandles_,
                      [&](const auto& entry) { return entry.second.context == context; });
        return Record(call);
    }
    if (contexts_.erase(context) == 0)
        call.result = static_cast<LONG>(pcsc::kInvalidHandle);
    return Record(call);
}

LONG FakePcsc::ListReaders(SCARDCONTEXT context, const char* /*groups*/, char* readers,
                           DWORD* readersLength) {
    std::lock_guard lock(mutex_);
    Call call{Entry::ListReaders};
    if (auto code = TakeFailure(Entry::ListReaders)) {
        call.result = static_cast<LONG>(*code);
        return Record(call);
    }
    if (auto stale = StaleContext(context)) {
        call.result = static_cast<LONG>(*stale);
        return Record(call);
    }
    if (!contexts_.contains(context)) {
        call.result = static_cast<LONG>(pcsc::kInvalidHandle);
        return Record(call);
    }
    if (readersLength == nullptr) {
        call.result = static_cast<LONG>(pcsc::kInvalidParameter);
        return Record(call);
    }
    if (readers_.empty()) {
        call.result = static_cast<LONG>(pcsc::kNoReadersAvailable);
        return Record(call);
    }
    std::string multi;
    for (const auto& reader : readers_) {
        multi += reader.name;
        multi.push_back('\0');
    }
    multi.push_back('\0');
    const DWORD capacity = *readersLength;
    *readersLength = multi.size();
    if (readers != nullptr) {
        if (capacity < multi.size())
            call.result = static_cast<LONG>(pcsc::kInsufficientBuffer);
        else
            std::memcpy(readers, multi.data(), multi.size());
    }
    return Record(call);
}

LONG FakePcsc::GetStatusChange(SCARDCONTEXT context, DWORD timeout, pcsc::ReaderState* states,
                               DWORD count) {
    std::lock_guard lock(mutex_);
    Call call{Entry::GetStatusChange};
    call.timeout = timeout;
    if (count > 0 && states != nullptr && states[0].reader != nullptr)
        call.reader = states[0].reader;
    if (auto code = TakeFailure(Entry::GetStatusChange)) {
        call.result = static_cast<LONG>(*code);
        return Record(call);
    }
    if (auto stale = StaleContext(context)) {
        call.result = static_cast<LONG>(*stale);
        return Record(call);
    }
    if (!contexts_.contains(context)) {
        call.result = static_cast<LONG>(pcsc::kInvalidHandle);
        return Record(call);
    }
    if (count > 0 && states == nullptr) {
        call.result = static_cast<LONG>(pcsc::kInvalidParameter);
        return Record(call);
    }
    // A name the stack does not list fails the whole query, as pcsc-lite does.
    for (DWORD i = 0; i < count; ++i) {
        if (states[i].reader == nullptr || FindReader(states[i].reader) == nullptr) {
            call.result = static_cast<LONG>(pcsc::kUnknownReader);
            return Record(call);
        }
    }
    bool changed = false;
    for (DWORD i = 0; i < count; ++i) {
        pcsc::ReaderState& state = states[i];
        const ReaderInfo* reader = FindReader(state.reader);
        DWORD now = 0;
        state.atrLength = 0;
        if (reader->unknown) {
            // A card in a reader of unknown state may still be reported with it; the reader is
            // no less unusable.
            now = pcsc::kStateUnknown | (reader->atr.empty() ? 0 : pcsc::kStatePresent);
        } else if (reader->atr.empty()) {
            now = pcsc::kStateEmpty;
        } else {
            now = pcsc::kStatePresent;
            for (const auto& [handle, connection] : connections_)
                if (connection.reader == reader->name)
                    now |= connection.shareMode == pcsc::kShareExclusive ? pcsc::kStateExclusive
                                                                         : pcsc::kStateInuse;
            state.atrLength = std::min(reader->atr.size(), pcsc::kMaxAtr);
            std::copy_n(reader->atr.begin(), state.atrLength, state.atr);
        }
        const DWORD before = state.currentState & ~pcsc::kStateChanged;
        if (now != before) {
            changed = true;
            now |= pcsc::kStateChanged;
        }
        state.eventState = now;
        // Like pcsc-lite's count of insertions and removals: it moves with every card event.
        state.eventCounter = static_cast<DWORD>(reader->cardSerial & 0xFFFF);
    }
    if (!changed)
        call.result = static_cast<LONG>(pcsc::kTimeout);
    return Record(call);
}

LONG FakePcsc::Connect(SCARDCONTEXT context, const char* reader, DWORD shareMode,
                       DWORD preferredProtocols, SCARDHANDLE* card, DWORD* activeProtocol) {
    std::lock_guard lock(mutex_);
    Call call{Entry::Connect};
    call.reader = reader ? reader : "";
    call.shareMode = shareMode;
    call.protocols = preferredProtocols;
    if (auto code = TakeFailure(Entry::Connect)) {
        call.result = static_cast<LONG>(*code);
        return Record(call);
    }
    if (auto stale = StaleContext(context)) {
        call.result = static_cast<LONG>(*stale);
        return Record(call);
    }
    if (!contexts_.contains(context)) {
        call.result = static_cast<LONG>(pcsc::kInvalidHandle);
        return Record(call);
    }
    if (reader == nullptr || card == nullptr || activeProtocol == nullptr) {
        call.result = static_cast<LONG>(pcsc::kInvalidParameter);
        return Record(call);
    }
    ReaderInfo* info = FindReader(reader);
    if (info == nullptr || info->unknown) {
        call.result = static_cast<LONG>(pcsc::kUnknownReader);
        return Record(call);
    }
    if (info->atr.empty()) {
        call.result = static_cast<LONG>(pcsc::kNoSmartcard);
        return Record(call);
    }
    for (const auto& [handle, connection] : connections_) {
        if (connection.reader == info->name &&
            (connection.shareMode == pcsc::kShareExclusive || shareMode == pcsc::kShareExclusive)) {
            call.result = static_cast<LONG>(pcsc::kSharingViolation);
            return Record(call);
        }
    }
    if ((preferredProtocols & info->protocol) == 0) {
        call.result = static_cast<LONG>(pcsc::kProtoMismatch);
        return Record(call);
    }
    const SCARDHANDLE handle = nextHandle_++;
    const bool repowered = info->repowers > 0;
    if (repowered)
        --info->repowers;
    connections_[handle] =
        Connection{info->name, shareMode, info->protocol, info->cardSerial, context, repowered};
    *card = handle;
    *activeProtocol = info->protocol;
    return Record(call);
}

LONG FakePcsc::Status(SCARDHANDLE card, char* readerName, DWORD* readerLength, DWORD* state,
                      DWORD* protocol, unsigned char* atr, DWORD* atrLength) {
    std::lock_guard lock(mutex_);
    Call call{Entry::Status};
    const Connection* connection = FindConnection(card);
    const Stale* stale = StaleHandle(card);
    if (connection)
        call.reader = connection->reader;
    else if (stale)
        call.reader = stale->reader;
    if (auto code = TakeFailure(Entry::Status)) {
        call.result = static_cast<LONG>(*code);
        return Record(call);
    }
    if (stale) {
        call.result = static_cast<LONG>(stale->answer);
        return Record(call);
    }
    if (connection == nullptr) {
        call.result = static_cast<LONG>(pcsc::kInvalidHandle);
        return Record(call);
    }
    if (!CardStillThere(*connection)) {
        call.result = static_cast<LONG>(pcsc::kCardWasRemoved);
        return Record(call);
    }
    const ReaderInfo* info = FindReader(connection->reader);
    // The reader name: only when a buffer is given, as the caller's length allows.
    if (readerLength != nullptr) {
        const DWORD needed = info->name.size() + 2;
        if (readerName != nullptr) {
            if (*readerLength < needed) {
                *readerLength = needed;
                call.result = static_cast<LONG>(pcsc::kInsufficientBuffer);
                return Record(call);
            }
            std::memcpy(readerName, info->name.c_str(), info->name.size() + 1);
            readerName[info->name.size() + 1] = '\0';
        }
        *readerLength = needed;
    }
    if (state != nullptr)
        *state = 0x0034; // SCARD_PRESENT | SCARD_POWERED | SCARD_NEGOTIABLE
    if (protocol != nullptr)
        *protocol = connection->repowered ? 0 : connection->protocol;
    if (atrLength != nullptr) {
        if (atr != nullptr && *atrLength < info->atr.size()) {
            *atrLength = info->atr.size();
            call.result = static_cast<LONG>(pcsc::kInsufficientBuffer);
            return Record(call);
        }
        if (atr != nullptr)
            std::copy(info->atr.begin(), info->atr.end(), atr);
        *atrLength = info->atr.size();
    }
    return Record(call);
}

LONG FakePcsc::Transmit(SCARDHANDLE card, const pcsc::IoRequest* sendPci, const unsigned char* send,
                        DWORD sendLength, pcsc::IoRequest* recvPci, unsigned char* recv,
                        DWORD* recvLength) {
    Bytes command;
    if (send != nullptr)
        command.assign(send, send + sendLength);

    std::function<void(const Bytes&)> hook;
    {
        std::lock_guard lock(mutex_);
        hook = onTransmit_;
    }
    if (hook)
        hook(command);

    const LONG result = Deliver(card, sendPci, command, send != nullptr && sendLength != 0, recvPci,
                                recv, recvLength);
    {
        std::lock_guard lock(mutex_);
        hook = onTransmitted_;
    }
    if (hook)
        hook(command);
    return result;
}

LONG FakePcsc::Deliver(SCARDHANDLE card, const pcsc::IoRequest* sendPci, const Bytes& command,
                       bool sent, pcsc::IoRequest* recvPci, unsigned char* recv,
                       DWORD* recvLength) {
    std::lock_guard lock(mutex_);
    Call call{Entry::Transmit};
    Apdu apdu;
    apdu.command = command;
    apdu.recvPci = recvPci != nullptr;
    if (sendPci != nullptr) {
        apdu.protocol = sendPci->protocol;
        apdu.pciLength = sendPci->pciLength;
    }
    apdu.capacity = recvLength ? *recvLength : 0;
    const Connection* connection = FindConnection(card);
    const Stale* stale = StaleHandle(card);
    if (connection) {
        call.reader = connection->reader;
        apdu.reader = connection->reader;
    } else if (stale) {
        call.reader = stale->reader;
        apdu.reader = stale->reader;
    }
    auto finish = [&](LONG result) {
        call.result = result;
        apdu.result = result;
        apdus_.push_back(apdu);
        return Record(call);
    };

    if (auto code = TakeFailure(Entry::Transmit))
        return finish(static_cast<LONG>(*code));
    if (stale)
        return finish(static_cast<LONG>(stale->answer));
    if (connection == nullptr)
        return finish(static_cast<LONG>(pcsc::kInvalidHandle));
    if (!sent || recv == nullptr || recvLength == nullptr || sendPci == nullptr)
        return finish(static_cast<LONG>(pcsc::kInvalidParameter));
    if (!CardStillThere(*connection))
        return finish(static_cast<LONG>(pcsc::kCardWasRemoved));
    if (connection->repowered)
        return finish(static_cast<LONG>(pcsc::kProtoMismatch));
    apdu.delivered = true;

    const Script* script = nullptr;
    Script taken;
    for (auto it = once_.begin(); it != once_.end(); ++it) {
        if (StartsWith(command, it->prefix)) {
            taken = *it;
            once_.erase(it);
            script = &taken;
            break;
        }
    }
    if (script == nullptr) {
        for (auto it = always_.rbegin(); it != always_.rend(); ++it) {
            if (StartsWith(command, it->prefix)) {
                script = &*it;
                break;
            }
        }
    }
    if (script && script->result)
        return finish(static_cast<LONG>(*script->result));
    const Bytes& response = script ? script->response : defaultAnswer_;
    if (response.size() > *recvLength) {
        *recvLength = response.size();
        return finish(static_cast<LONG>(pcsc::kInsufficientBuffer));
    }
    std::copy(response.begin(), response.end(), recv);
    *recvLength = response.size();
    if (recvPci != nullptr) {
        recvPci->protocol = connection->protocol;
        recvPci->pciLength = sizeof(pcsc::IoRequest);
    }
    return finish(0);
}

LONG FakePcsc::BeginTransaction(SCARDHANDLE card) {
    std::lock_guard lock(mutex_);
    Call call{Entry::BeginTransaction};
    const Connection* connection = FindConnection(card);
    const Stale* stale = StaleHandle(card);
    if (connection)
        call.reader = connection->reader;
    else if (stale)
        call.reader = stale->reader;
    if (auto code = TakeFailure(Entry::BeginTransaction))
        call.result = static_cast<LONG>(*code);
    else if (stale)
        call.result = static_cast<LONG>(stale->answer);
    else if (connection == nullptr)
        call.result = static_cast<LONG>(pcsc::kInvalidHandle);
    else if (!CardStillThere(*connection))
        call.result = static_cast<LONG>(pcsc::kCardWasRemoved);
    return Record(call);
}

LONG FakePcsc::EndTransaction(SCARDHANDLE card, DWORD disposition) {
    std::lock_guard lock(mutex_);
    Call call{Entry::EndTransaction};
    call.disposition = disposition;
    const Connection* connection = FindConnection(card);
    const Stale* stale = StaleHandle(card);
    if (connection)
        call.reader = connection->reader;
    else if (stale)
        call.reader = stale->reader;
    if (auto code = TakeFailure(Entry::EndTransaction))
        call.result = static_cast<LONG>(*code);
    else if (stale)
        call.result = static_cast<LONG>(stale->answer);
    else if (connection == nullptr)
        call.result = static_cast<LONG>(pcsc::kInvalidHandle);
    else if (!CardStillThere(*connection))
        call.result = static_cast<LONG>(pcsc::kCardWasRemoved);
    return Record(call);
}

LONG FakePcsc::Disconnect(SCARDHANDLE card, DWORD disposition) {
    std::lock_guard lock(mutex_);
    Call call{Entry::Disconnect};
    call.disposition = disposition;
    auto it = connections_.find(card);
    const Stale* stale = StaleHandle(card);
    if (it != connections_.end())
        call.reader = it->second.reader;
    else if (stale)
        call.reader = stale->reader;
    if (auto code = TakeFailure(Entry::Disconnect)) {
        call.result = static_cast<LONG>(*code);
        return Record(call);
    }
    if (stale) {
        call.result = static_cast<LONG>(stale->answer);
        return Record(call);
    }
    if (it == connections_.end()) {
        call.result = static_cast<LONG>(pcsc::kInvalidHandle);
        return Record(call);
    }
    connections_.erase(it);
    return Record(call);
}
