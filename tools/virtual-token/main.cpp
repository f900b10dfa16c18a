// orvane-vtoken: a virtual token of the family Orvane administers, inserted into a vpcd virtual
// reader of pcscd. It stands in for a real token in the integration tests and the demo.
//
// Usage and options: kHelp below (printed by --help).
//
// A new token (no state file) is as from the factory: PIN "12345678" (attribute 77, 3 tries),
// PUK and unblock key not written (the PUK has 3 tries), transport code "31740259", the
// applications of --apps with empty group keys, groups and names, a random card id.
//
// The connection follows vpcd's protocol: a 1-byte frame is a control event (00 power off,
// 01 power on, 02 reset, 04 "send the ATR", answered with the ATR at any time); every other frame
// is a command APDU answered by exactly one frame holding the response data and SW1 SW2. The end
// of the connection from vpcd's side (pcscd stopped), SIGTERM and SIGINT end the token with
// status 0: ending the process removes the token.
//
// The token's rules:
//   Session. Power on, power off and reset end the session: the master file (3F00) is selected
//   again, the administrator session, the PIN proof and the unblock right are gone, and the
//   pending challenge is forgotten. A shared PC/SC disconnect leaves the session alone.
//   Formats. Short APDUs only. A command whose length does not fit its Lc, or whose case or
//   length is not the command's, gets 6700; an unknown INS 6D00; a known INS with the other
//   class byte 6E00; P1/P2 values the command does not have 6A86; an unknown secret reference
//   6A88. An injected refusal (--fail) wins over every rule.
//   SELECT 00 A4 00 00 02 3F00 selects the master file; 00 A4 04 00 with an AID selects a carried
//   application (FA "VLMRSAD", FA "VLMSG4145", FA "VLMDATAau"); another file or AID gets 6A82 and
//   the selection stays.
//   CHECK GLOBAL PIN 80 F2 00 05 01 answers one byte, the PIN's tries left.
//   MF CODE 80 48 4D 46 08 <code> needs the master file selected (else 6985); the right code
//   opens the administrator session, a wrong one (6300) closes it.
//   SET GROUP 80 48 00 00 08 <8 bytes> and ACTIVATE APPLICATION 80 46 00 00 04|28 need an
//   application selected (else 6985) and the administrator session (else 6982). SET GROUP stores
//   the group data; the short ACTIVATE marks the application active; the long one also stores
//   its first 8 bytes as group data and the other 32 as the device name.
//   STORE SECRET 80 F4 01 ref Lc 05 attr value: PIN (05, 8 bytes), PUK (06, 8) and unblock key
//   (11, 16) are stored while the master file is selected, a group key (09, 32) while an
//   application is selected (otherwise 6A88); a value of another length gets 6700, a data field
//   not starting with 05 gets 6A80. It needs the administrator session; the PIN may also be
//   stored with the unblock right. Storing the PIN or PUK gives it all its tries back.
//   VERIFY 00 20 00 05|06 08 value: right -> 9000, tries full again, the PIN proof (05) or the
//   unblock right (06); wrong -> 63Cx with x the tries left, the last wrong try answers 63C0;
//   with no tries left 6983 whatever the value. The PUK (06) must have been written with
//   attribute 44 (else 6984). VERIFY without data reports 63Cx (9000 once proven) or 6983.
//   UPDATE BINARY 00 D6 82 <offset> Lc data writes elementary file 02 (16 bytes) of the selected
//   application (6A82 in the master file, 6B00 past its end) and needs the PIN proof (6982).
//   CLEAR CACHE 80 E0 02 00 answers 9000 and drops the PIN proof.
//   GET CHALLENGE 00 84 00 00 08 answers 8 random bytes and makes them the pending challenge.
//   EXTERNAL AUTHENTICATE 00 82 00 11 08 <cryptogram> needs a pending challenge (6985) and uses it
//   up, whatever the outcome. The unblock key must be written (6A88) with attribute EE (6983:
//   with any other attribute the key is blocked). The cryptogram must be E_K1(D_K2(E_K1(
//   challenge))) under the key (K1 its bytes 0-7, K2 8-15): right -> 9000 and the unblock right;
//   wrong -> 6300 and no right.
//   GET CARD ID 80 F6 00 00 08 answers the 8 identifier bytes as stored.
//   A foreign token (--foreign) answers SELECT MF with 9000, every AID with 6A82 and every other
//   command with 6D00.
//   User side: user-challenge makes a fresh random challenge, prints it as eight upper-case hex
//   pairs and remembers it in the state file. user-response accepts the response when it is the
//   two-key Triple-DES of that challenge under the unblock key (attribute EE): the challenge is
//   used up, the PIN gets all its tries back (its value stays) and the command exits 0. A wrong
//   response leaves the challenge pending (the user may retype it) and exits 1.

#include "Tdes.h"
#include "Token.h"
#include "TokenState.h"
#include "VpcdLink.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace vtoken;

namespace {

volatile bool g_stop = false;

extern "C" void OnSignal(int) {
    g_stop = true;
}

void InstallSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a waiting recv() returns
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

// What --help prints: how to call it and every option.
const char* const kHelp =
    "Usage:\n"
    "  orvane-vtoken [options]                       insert the token; it stays until it is ended\n"
    "  orvane-vtoken user-challenge --state FILE     the user's side: show a fresh challenge\n"
    "  orvane-vtoken user-response --state FILE \"XX XX XX XX XX XX XX XX\"\n"
    "                                                the user types the administrator's response\n"
    "\n"
    "Options:\n"
    "  --port N          vpcd port of the slot (default 35963)\n"
    "  --host NAME       host of vpcd (default 127.0.0.1)\n"
    "  --wait SECONDS    how long to retry while vpcd does not listen yet (default 10)\n"
    "  --apps LIST       applications carried and announced in the ATR: any of rsa,dstu,data, or "
    "none\n"
    "                    (default: all three, or what the state file holds)\n"
    "  --foreign         a token of another family: its ATR lacks the marker \"VLM\"; it answers\n"
    "                    SELECT MF and refuses everything else\n"
    "  --card-id HEX     the 8 identifier bytes (16 hex digits), answered by GET CARD ID as "
    "stored\n"
    "  --fail RULE       refuse matching commands with a status word: INS[/P2][:DATAHEX]=SW, all "
    "hex,\n"
    "                    e.g. F4/11=6A82 (STORE SECRET of the unblock key) or "
    "A4:FA564C4D525341=6A82\n"
    "                    (SELECT of the RSA application); the command then has no effect; "
    "repeatable\n"
    "  --latency-ms MS   answer each command APDU MS milliseconds after it arrived, as a real "
    "token\n"
    "                    takes 10 to 60 ms per command (default 0)\n"
    "  --vanish-after N  answer N command APDUs; when the next one arrives, close the connection\n"
    "                    without answering it (the token is pulled during that command) and exit\n"
    "  --state FILE      load the token from FILE when it exists; write it back as JSON after "
    "every\n"
    "                    change (atomically: a temporary file renamed over it). Another process "
    "may\n"
    "                    change the file meanwhile (user-challenge, user-response, a test): the\n"
    "                    token reads it again before its next event.\n"
    "  --trace FILE      append one line per APDU (\"APDU <command> -> <response>\", hex) and per\n"
    "                    control event (\"POWER ON\", \"POWER OFF\", \"RESET\", \"ATR <hex>\", "
    "\"VANISH ...\")\n";

// Waits `ms` milliseconds before a command is answered; a signal that ends the token cuts it short.
void Linger(int ms) {
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    while (!g_stop && nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int Usage(const char* why) {
    if (why)
        std::fprintf(stderr, "orvane-vtoken: %s\n", why);
    std::fputs(kHelp, stderr);
    return 2;
}

std::optional<long> ParseNumber(const char* text, long low, long high) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno || !end || *end || end == text || v < low || v > high)
        return std::nullopt;
    return v;
}

struct Options {
    std::string host = "127.0.0.1";
    int port = 35963;
    int waitSeconds = 10;
    std::optional<std::array<bool, kAppCount>> apps;
    bool foreign = false;
    std::optional<Bytes> cardId;
    std::vector<Refusal> refusals;
    long vanishAfter = -1;
    int latencyMs = 0;
    std::string statePath;
    std::string tracePath;
};

// The state file as this process last wrote or read it, to notice writes by others.
struct FileStamp {
    bool exists = false;
    ino_t inode = 0;
    off_t size = 0;
    timespec mtime{};

    static FileStamp Of(const std::string& path) {
        FileStamp s;
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            s.exists = true;
            s.inode = st.st_ino;
            s.size = st.st_size;
            s.mtime = st.st_mtim;
        }
        return s;
    }
    bool operator==(const FileStamp& o) const {
        return exists == o.exists && inode == o.inode && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

class StateFile {
public:
    explicit StateFile(std::string path) : path_(std::move(path)) {}
    bool enabled() const { return !path_.empty(); }

    // Writes the state when it differs from what was written last.
    void Save(const TokenState& state) {
        if (!enabled() || (saved_ && state == *saved_))
            return;
        std::string error;
        if (!SaveStateFile(path_, state.ToJson(), &error)) {
            std::fprintf(stderr, "orvane-vtoken: cannot write the state: %s\n", error.c_str());
            return;
        }
        saved_ = state;
        stamp_ = FileStamp::Of(path_);
    }

    // Takes over the stored content when another process changed the file; the session and the
    // pending challenge are the running token's own.
    void Refresh(TokenState& state) {
        if (!enabled() || FileStamp::Of(path_) == stamp_)
            return;
        std::string error;
        auto loaded = LoadStateFile(path_, &error);
        stamp_ = FileStamp::Of(path_);
        if (!loaded) {
            std::fprintf(stderr,
                         "orvane-vtoken: state file changed but unreadable, kept mine: %s\n",
                         error.c_str());
            return;
        }
        loaded->session = state.session;
        loaded->challenge = state.challenge;
        state = std::move(*loaded);
        saved_.reset();
        Save(state);
    }

private:
    std::string path_;
    std::optional<TokenState> saved_;
    FileStamp stamp_;
};

class Trace {
public:
    explicit Trace(const std::string& path) {
        if (!path.empty()) {
            file_ = std::fopen(path.c_str(), "a");
            if (!file_)
                std::fprintf(stderr, "orvane-vtoken: cannot open the trace %s: %s\n", path.c_str(),
                             std::strerror(errno));
        }
    }
    ~Trace() {
        if (file_)
            std::fclose(file_);
    }
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    void Line(const std::string& text) {
        if (!file_)
            return;
        std::fputs(text.c_str(), file_);
        std::fputc('\n', file_);
        std::fflush(file_);
    }

private:
    std::FILE* file_ = nullptr;
};

int Serve(const Options& o) {
    TokenState state = TokenState::Factory();
    bool fresh = true;
    if (!o.statePath.empty()) {
        struct stat st {};
        if (::stat(o.statePath.c_str(), &st) == 0) {
            std::string error;
            auto loaded = LoadStateFile(o.statePath, &error);
            if (!loaded) {
                std::fprintf(stderr, "orvane-vtoken: %s\n", error.c_str());
                return 1;
            }
            state = std::move(*loaded);
            fresh = false;
            // Just inserted: nothing proven yet, no challenge pending.
            state.session = Session{};
            state.challenge.clear();
        }
    }
    if (fresh && !RandomBytes(state.cardId.data(), state.cardId.size())) {
        std::fprintf(stderr, "orvane-vtoken: no random bytes for the card id\n");
        return 1;
    }
    if (o.apps)
        for (std::size_t i = 0; i < kAppCount; ++i)
            state.apps[i].carried = (*o.apps)[i];
    if (o.foreign)
        state.foreign = true;
    if (o.cardId)
        std::copy(o.cardId->begin(), o.cardId->end(), state.cardId.begin());

    Token token(std::move(state));
    for (const Refusal& r : o.refusals)
        token.AddRefusal(r);
    StateFile file(o.statePath);
    file.Save(token.state());
    Trace trace(o.tracePath);

    VpcdLink link;
    std::string error;
    if (!link.Connect(o.host, o.port, o.waitSeconds * 1000, &g_stop, error)) {
        if (g_stop)
            return 0;
        std::fprintf(stderr, "orvane-vtoken: vpcd does not answer on %s:%d: %s\n", o.host.c_str(),
                     o.port, error.c_str());
        return 1;
    }

    long commands = 0;
    Bytes frame;
    for (;;) {
        const auto r = link.ReadFrame(frame, &g_stop, error);
        if (r == VpcdLink::Result::Interrupted || r == VpcdLink::Result::TimedOut) {
            if (g_stop)
                break;
            continue;
        }
        if (r == VpcdLink::Result::Closed)
            break; // the reader went away
        if (r == VpcdLink::Result::Error) {
            std::fprintf(stderr, "orvane-vtoken: %s\n", error.c_str());
            return 1;
        }
        file.Refresh(token.state());
        Bytes answer;
        bool answered = true;
        if (frame.size() == 1) {
            switch (frame[0]) {
            case 0x00:
                token.PowerOff();
                trace.Line("POWER OFF");
                answered = false;
                break;
            case 0x01:
                token.PowerOn();
                trace.Line("POWER ON");
                answered = false;
                break;
            case 0x02:
                token.Reset();
                trace.Line("RESET");
                answered = false;
                break;
            case 0x04:
                answer = token.Atr();
                trace.Line("ATR " + ToHex(answer));
                break;
            default:
                trace.Line("CONTROL " + ToHex(frame) + " ignored");
                answered = false;
                break;
            }
        } else {
            if (o.vanishAfter >= 0 && commands >= o.vanishAfter) {
                trace.Line("VANISH before APDU " + ToHex(frame));
                Wipe(frame.data(), frame.size());
                break;
            }
            ++commands;
            Linger(o.latencyMs);
            answer = token.Process(frame);
            trace.Line("APDU " + ToHex(frame) + " -> " + ToHex(answer));
            Wipe(frame.data(), frame.size());
        }
        file.Save(token.state());
        if (answered && !link.WriteFrame(answer, error)) {
            std::fprintf(stderr, "orvane-vtoken: %s\n", error.c_str());
            return 1;
        }
        Wipe(answer.data(), answer.size());
        if (g_stop)
            break;
    }
    link.Close();
    token.PowerOff();
    file.Save(token.state());
    return 0;
}

int UserSide(int argc, char** argv) {
    const std::string command = argv[1];
    std::string path;
    std::vector<std::string> rest;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--state") == 0 && i + 1 < argc)
            path = argv[++i];
        else
            rest.emplace_back(argv[i]);
    }
    if (path.empty())
        return Usage("--state FILE is needed");
    std::string error;
    auto state = LoadStateFile(path, &error);
    if (!state) {
        std::fprintf(stderr, "orvane-vtoken: no token state: %s\n", error.c_str());
        return 1;
    }
    if (command == "user-challenge") {
        if (!rest.empty())
            return Usage("user-challenge takes no further arguments");
        Bytes challenge;
        if (!NewUserChallenge(*state, challenge)) {
            std::fprintf(stderr, "orvane-vtoken: no random bytes\n");
            return 1;
        }
        if (!SaveStateFile(path, state->ToJson(), &error)) {
            std::fprintf(stderr, "orvane-vtoken: %s\n", error.c_str());
            return 1;
        }
        std::printf("%s\n", GroupedHex(challenge).c_str());
        return 0;
    }
    if (rest.size() != 1)
        return Usage("user-response wants the response as one argument");
    auto response = FromHex(rest[0]);
    if (!response || response->size() != 8) {
        std::fprintf(stderr, "orvane-vtoken: the response must be eight hexadecimal pairs, "
                             "e.g. \"01 23 45 67 89 AB CD EF\"\n");
        return 2;
    }
    const UserResponse result = CheckUserResponse(*state, *response);
    Wipe(response->data(), response->size());
    switch (result) {
    case UserResponse::Accepted:
        if (!SaveStateFile(path, state->ToJson(), &error)) {
            std::fprintf(stderr, "orvane-vtoken: %s\n", error.c_str());
            return 1;
        }
        std::printf("Response accepted: the PIN is unblocked (%d tries).\n", state->pin.triesLeft);
        return 0;
    case UserResponse::NoChallenge:
        std::fprintf(stderr, "orvane-vtoken: no challenge is pending: run user-challenge first\n");
        return 1;
    case UserResponse::NoKey:
        std::fprintf(stderr, "orvane-vtoken: the token holds no unblock key\n");
        return 1;
    case UserResponse::KeyBlocked:
        std::fprintf(stderr,
                     "orvane-vtoken: the token's unblock key is blocked (attribute %02X): "
                     "unblocking is not allowed\n",
                     state->unblockKey.attribute);
        return 1;
    case UserResponse::Wrong:
        std::fprintf(stderr, "orvane-vtoken: wrong response: the PIN stays blocked\n");
        return 1;
    }
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 &&
        (std::strcmp(argv[1], "user-challenge") == 0 || std::strcmp(argv[1], "user-response") == 0))
        return UserSide(argc, argv);

    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (arg == "--foreign") {
            o.foreign = true;
        } else if (arg == "--port" || arg == "--wait" || arg == "--vanish-after" ||
                   arg == "--latency-ms") {
            const char* v = value();
            auto n = v ? ParseNumber(v, arg == "--port" ? 1 : 0,
                                     arg == "--port"         ? 65535
                                     : arg == "--latency-ms" ? 60000
                                                             : 1000000)
                       : std::nullopt;
            if (!n)
                return Usage((arg + " wants a number").c_str());
            if (arg == "--port")
                o.port = static_cast<int>(*n);
            else if (arg == "--wait")
                o.waitSeconds = static_cast<int>(*n);
            else if (arg == "--latency-ms")
                o.latencyMs = static_cast<int>(*n);
            else
                o.vanishAfter = *n;
        } else if (arg == "--host" || arg == "--state" || arg == "--trace") {
            const char* v = value();
            if (!v || !*v)
                return Usage((arg + " wants a value").c_str());
            (arg == "--host" ? o.host : arg == "--state" ? o.statePath : o.tracePath) = v;
        } else if (arg == "--apps") {
            const char* v = value();
            o.apps = v ? ParseAppList(v) : std::nullopt;
            if (!o.apps)
                return Usage("--apps wants rsa,dstu,data (any of them) or none");
        } else if (arg == "--card-id") {
            const char* v = value();
            o.cardId = v ? FromHex(v) : std::nullopt;
            if (!o.cardId || o.cardId->size() != kCardIdLength || std::strlen(v) != 16)
                return Usage("--card-id wants 16 hex digits");
        } else if (arg == "--fail") {
            const char* v = value();
            auto r = v ? ParseRefusal(v) : std::nullopt;
            if (!r)
                return Usage("--fail wants INS[/P2][:DATAHEX]=SW in hex, e.g. F4/11=6A82");
            o.refusals.push_back(*r);
        } else {
            return Usage(("unknown argument " + arg).c_str());
        }
    }
    InstallSignals();
    return Serve(o);
}
