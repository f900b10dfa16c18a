// The orvane-vtoken program itself, without pcscd: its side of the vpcd protocol against a fake
// vpcd (a TCP listener in the test), its state file and trace, and the user's side commands.

#include "Token.h"
#include "TokenState.h"
#include "VirtualToken.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace vtoken;

namespace {

// A temporary folder removed at the end of the test.
struct TempDir {
    std::string path;
    TempDir() {
        char pattern[] = "/tmp/orvane-vtoken-test-XXXXXX";
        path = ::mkdtemp(pattern) ? pattern : "";
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// The vpcd end of the connection: listens on a free loopback port and frames like vpcd.
class FakeVpcd {
public:
    FakeVpcd() {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int on = 1;
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::listen(listen_, 1) == 0) {
            socklen_t len = sizeof a;
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
            port_ = ntohs(a.sin_port);
        }
    }
    ~FakeVpcd() {
        if (conn_ >= 0)
            ::close(conn_);
        if (listen_ >= 0)
            ::close(listen_);
    }
    int port() const { return port_; }

    bool Accept(int ms) {
        pollfd p{listen_, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1)
            return false;
        conn_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        return conn_ >= 0;
    }
    // Length and payload in two writes, as vpcd sends them.
    bool Send(const Bytes& payload) {
        const std::uint8_t header[2] = {static_cast<std::uint8_t>(payload.size() >> 8),
                                        static_cast<std::uint8_t>(payload.size())};
        return ::send(conn_, header, 2, MSG_NOSIGNAL) == 2 &&
               ::send(conn_, payload.data(), payload.size(), MSG_NOSIGNAL) ==
                   static_cast<ssize_t>(payload.size());
    }
    bool SendRaw(const std::string& hex) {
        auto bytes = FromHex(hex);
        return bytes && ::send(conn_, bytes->data(), bytes->size(), MSG_NOSIGNAL) ==
                            static_cast<ssize_t>(bytes->size());
    }
    // One frame; nullopt when the token closed the connection or nothing came within `ms`.
    std::optional<Bytes> Receive(int ms = 3000) {
        std::uint8_t header[2];
        if (!ReadExactly(header, 2, ms))
            return std::nullopt;
        Bytes payload(static_cast<std::size_t>(header[0] << 8 | header[1]));
        if (!ReadExactly(payload.data(), payload.size(), ms))
            return std::nullopt;
        return payload;
    }
    // Whether the token closed its end (EOF within `ms`).
    bool Closed(int ms) {
        pollfd p{conn_, POLLIN, 0};
        if (::poll(&p, 1, ms) != 1)
            return false;
        std::uint8_t b;
        return ::recv(conn_, &b, 1, 0) == 0;
    }
    std::string Exchange(const std::string& apduHex) {
        auto apdu = FromHex(apduHex);
        if (!apdu || !Send(*apdu))
            return "send failed";
        auto answer = Receive();
        return answer ? ToHex(*answer) : "no answer";
    }

private:
    bool ReadExactly(std::uint8_t* data, std::size_t length, int ms) {
        std::size_t done = 0;
        while (done < length) {
            pollfd p{conn_, POLLIN, 0};
            if (::poll(&p, 1, ms) != 1)
                return false;
            const ssize_t n = ::recv(conn_, data + done, length - done, 0);
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    int listen_ = -1;
    int conn_ = -1;
    int port_ = 0;
};

// orvane-vtoken started in the background.
class Process {
public:
    explicit Process(std::vector<std::string> args) {
        args.insert(args.begin(), VirtualToken::Binary());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
    }
    ~Process() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    // The exit status, or -1 when it did not end within `ms`.
    int Wait(int ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (pid_ > 0) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (std::chrono::steady_clock::now() >= deadline)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    void Signal(int sig) {
        if (pid_ > 0)
            ::kill(pid_, sig);
    }

private:
    pid_t pid_ = -1;
};

std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

// `pattern` with # standing for one upper-case hex digit.
bool Matches(const std::string& text, const std::string& pattern) {
    if (text.size() != pattern.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
        if (pattern[i] == '#' ? !hex : c != pattern[i])
            return false;
    }
    return true;
}

const std::string MF = "00A40000023F00";
const std::string MF_CODE = "80484D46083331373430323539";
const std::string STORE_PIN_1234 = "80F401050A057731323334FFFFFFFF";

// --help describes every option on standard output and ends well; a wrong option still gets the
// help on standard error with exit code 2.
TEST(VtokenProgram, HelpDescribesEveryOption) {
    const VirtualToken::ToolResult help = VirtualToken::RunTool({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option : {"--port", "--host", "--wait", "--apps", "--foreign", "--card-id",
                               "--fail", "--vanish-after", "--latency-ms", "--state", "--trace"})
        EXPECT_NE(help.output.find(std::string("\n  ") + option + " "), std::string::npos)
            << option;
    for (const char* command : {"user-challenge", "user-response"})
        EXPECT_NE(help.output.find(std::string("orvane-vtoken ") + command), std::string::npos)
            << command;
    EXPECT_EQ(VirtualToken::RunTool({"--bogus"}).exitCode, 2);
}

// --latency-ms holds every command's answer back for that long; control events stay immediate.
// Only the lower bound is checked: a loaded machine may answer later, never sooner.
TEST(VtokenProgram, LatencyHoldsEveryAnswerBack) {
    FakeVpcd vpcd;
    ASSERT_NE(vpcd.port(), 0);
    Process token({"--port", std::to_string(vpcd.port()), "--latency-ms", "150"});
    ASSERT_TRUE(vpcd.Accept(5000));
    ASSERT_TRUE(vpcd.Send({0x01}));
    for (int i = 0; i < 2; ++i) {
        const auto sent = std::chrono::steady_clock::now();
        EXPECT_EQ(vpcd.Exchange(MF), "9000");
        EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(150));
    }
    token.Signal(SIGTERM);
    EXPECT_EQ(token.Wait(3000), 0) << "a token waiting to answer still ends on SIGTERM";
    EXPECT_EQ(VirtualToken::RunTool({"--latency-ms", "x"}).exitCode, 2);
}

TEST(VtokenProgram, SpeaksTheVpcdProtocol) {
    TempDir dir;
    FakeVpcd vpcd;
    ASSERT_NE(vpcd.port(), 0);
    const std::string trace = dir.path + "/trace.txt";
    Process token({"--port", std::to_string(vpcd.port()), "--apps", "rsa,data", "--trace", trace});
    ASSERT_TRUE(vpcd.Accept(5000)) << "the token connects: it is inserted";

    // "Send the ATR" is answered at any time, power events never.
    ASSERT_TRUE(vpcd.Send({0x04}));
    auto atr = vpcd.Receive();
    ASSERT_TRUE(atr);
    ASSERT_GE(atr->size(), 15u);
    EXPECT_EQ((*atr)[14], 0x06);
    ASSERT_TRUE(vpcd.Send({0x01}));
    EXPECT_EQ(vpcd.Exchange(MF), "9000") << "the first frame back answers the APDU";
    EXPECT_EQ(vpcd.Exchange("80F6000008").size(), 20u);
    ASSERT_TRUE(vpcd.Send({0x02}));
    ASSERT_TRUE(vpcd.Send({0x00}));
    ASSERT_TRUE(vpcd.Send({0x04}));
    EXPECT_EQ(vpcd.Receive(), atr);
    // A command APDU of 255 bytes and more than one frame length byte.
    const std::string longApdu = "80E40000FA" + std::string(500, '0');
    EXPECT_EQ(vpcd.Exchange(longApdu), "6D00");

    token.Signal(SIGTERM);
    EXPECT_TRUE(vpcd.Closed(3000)) << "ending the token closes the connection";
    EXPECT_EQ(token.Wait(3000), 0);

    const auto lines = Lines(trace);
    const std::vector<std::string> expected = {
        "ATR " + ToHex(*atr),
        "POWER ON",
        "APDU " + MF + " -> 9000",
        lines.size() > 3 ? lines[3] : "",
        "RESET",
        "POWER OFF",
        "ATR " + ToHex(*atr),
        "APDU " + longApdu + " -> 6D00",
    };
    EXPECT_EQ(lines, expected);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_TRUE(Matches(lines[3], "APDU 80F6000008 -> ################9000")) << lines[3];
}

// pcscd can drive a slot from two threads at once; vpcd then interleaves the two sends of two
// control messages. The token must take them as the two messages, not as a power-off followed by
// a length that never completes.
TEST(VtokenProgram, UntanglesInterleavedControlMessages) {
    TempDir dir;
    FakeVpcd vpcd;
    const std::string trace = dir.path + "/trace.txt";
    Process token({"--port", std::to_string(vpcd.port()), "--trace", trace});
    ASSERT_TRUE(vpcd.Accept(5000));
    ASSERT_TRUE(vpcd.Send({0x01}));
    EXPECT_EQ(vpcd.Exchange("80484D46083331373430323539"), "9000");

    // "Send the ATR" interleaved with "reset": one ATR comes back, and no power-off happened.
    ASSERT_TRUE(vpcd.SendRaw("0001"
                             "0001"
                             "04"
                             "02"));
    auto atr = vpcd.Receive();
    ASSERT_TRUE(atr);
    EXPECT_GE(atr->size(), 15u);
    // Two ATR requests interleaved: two answers.
    ASSERT_TRUE(vpcd.SendRaw("0001"
                             "0001"
                             "04"
                             "04"));
    EXPECT_EQ(vpcd.Receive(), atr);
    EXPECT_EQ(vpcd.Receive(), atr);
    // A real power-off followed by a request stays what it is.
    ASSERT_TRUE(vpcd.SendRaw("000100"
                             "000104"));
    EXPECT_EQ(vpcd.Receive(), atr);
    ASSERT_TRUE(vpcd.Send({0x01}));
    EXPECT_EQ(vpcd.Exchange("00A40000023F00"), "9000") << "still in step";

    token.Signal(SIGTERM);
    EXPECT_EQ(token.Wait(3000), 0);
    const std::vector<std::string> expected = {
        "POWER ON",           "APDU 80484D46083331373430323539 -> 9000",
        "ATR " + ToHex(*atr), "RESET",
        "ATR " + ToHex(*atr), "ATR " + ToHex(*atr),
        "POWER OFF",          "ATR " + ToHex(*atr),
        "POWER ON",           "APDU 00A40000023F00 -> 9000",
    };
    EXPECT_EQ(Lines(trace), expected);
}

// A signal that arrives while a frame is half read still ends the token.
TEST(VtokenProgram, EndsOnSigtermInTheMiddleOfAFrame) {
    FakeVpcd vpcd;
    Process token({"--port", std::to_string(vpcd.port())});
    ASSERT_TRUE(vpcd.Accept(5000));
    ASSERT_TRUE(vpcd.SendRaw("0007"
                             "00A4"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    token.Signal(SIGTERM);
    EXPECT_EQ(token.Wait(3000), 0);
}

TEST(VtokenProgram, WaitsForVpcdToListen) {
    // Take a free port, let it go, and listen on it only after the token has started.
    int port = 0;
    {
        FakeVpcd probe;
        port = probe.port();
    }
    Process token({"--port", std::to_string(port), "--wait", "5"});
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 3000), 1) << "the token kept trying";
    ::close(fd);

    // Nobody listening at all: the token gives up after --wait with an error status.
    Process lonely({"--port", std::to_string(port), "--wait", "0"});
    EXPECT_EQ(lonely.Wait(5000), 1);
}

TEST(VtokenProgram, VanishesInTheMiddleOfACommand) {
    TempDir dir;
    FakeVpcd vpcd;
    const std::string trace = dir.path + "/trace.txt";
    Process token({"--port", std::to_string(vpcd.port()), "--vanish-after", "2", "--trace", trace});
    ASSERT_TRUE(vpcd.Accept(5000));
    EXPECT_EQ(vpcd.Exchange(MF), "9000");
    ASSERT_TRUE(vpcd.Send({0x04}));
    ASSERT_TRUE(vpcd.Receive()) << "control frames do not count";
    EXPECT_EQ(vpcd.Exchange(MF), "9000");
    ASSERT_TRUE(vpcd.Send(*FromHex(MF)));
    EXPECT_TRUE(vpcd.Closed(3000)) << "the third command gets no answer";
    EXPECT_EQ(token.Wait(3000), 0);
    const auto lines = Lines(trace);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "VANISH before APDU " + MF);
}

TEST(VtokenProgram, KeepsItsStateFileAndTakesOverOutsideChanges) {
    TempDir dir;
    const std::string state = dir.path + "/token.json";
    FakeVpcd vpcd;
    Process token({"--port", std::to_string(vpcd.port()), "--state", state, "--card-id",
                   "A1B2C3D4E5F60718", "--apps", "dstu"});
    ASSERT_TRUE(vpcd.Accept(5000));
    std::string error;
    auto s = LoadStateFile(state, &error);
    ASSERT_TRUE(s) << "written at the start: " << error;
    EXPECT_EQ(ToHex(s->cardId.data(), 8), "A1B2C3D4E5F60718");
    EXPECT_EQ(s->appBits(), 0x01);

    ASSERT_TRUE(vpcd.Send({0x01}));
    EXPECT_EQ(vpcd.Exchange(MF_CODE), "9000");
    EXPECT_EQ(vpcd.Exchange(STORE_PIN_1234), "9000");
    s = LoadStateFile(state, &error);
    ASSERT_TRUE(s) << error;
    EXPECT_EQ(ToHex(s->pin.value), "31323334FFFFFFFF") << "written after the change";
    EXPECT_TRUE(s->session.admin);

    // Another process takes a try away; the running token sees it, its session stays.
    s->pin.triesLeft = 1;
    ASSERT_TRUE(SaveStateFile(state, s->ToJson(), &error)) << error;
    EXPECT_EQ(vpcd.Exchange("00200005083030303030303030"), "63C0");
    EXPECT_EQ(vpcd.Exchange("80F401060A054431323334FFFFFFFF"), "9000") << "still administrator";
    s = LoadStateFile(state, &error);
    ASSERT_TRUE(s) << error;
    EXPECT_EQ(s->pin.triesLeft, 0);
    EXPECT_EQ(s->puk.attribute, 0x44);

    // Read again at the next insertion: same token, new session.
    token.Signal(SIGTERM);
    EXPECT_EQ(token.Wait(3000), 0);
    FakeVpcd vpcd2;
    Process again({"--port", std::to_string(vpcd2.port()), "--state", state});
    ASSERT_TRUE(vpcd2.Accept(5000));
    EXPECT_EQ(vpcd2.Exchange("80F6000008"), "A1B2C3D4E5F607189000");
    EXPECT_EQ(vpcd2.Exchange("00200005083132333400000000"), "6983");
    EXPECT_EQ(vpcd2.Exchange("80F401060A054431323334FFFFFFFF"), "6982");
    ASSERT_TRUE(vpcd2.Send({0x04}));
    auto atr = vpcd2.Receive();
    ASSERT_TRUE(atr);
    EXPECT_EQ((*atr)[14], 0x01) << "the applications come from the state file";
    std::filesystem::directory_iterator it(dir.path), end;
    EXPECT_EQ(std::distance(it, end), 1) << "no temporary file left beside the state";
}

TEST(VtokenProgram, RefusesBadArgumentsAndStates) {
    TempDir dir;
    const std::string bad = dir.path + "/bad.json";
    std::ofstream(bad) << "{\"format\": \"orvane-vtoken state 1\", \"pin\": {\"value\": \"12\"}}";
    struct Row {
        std::vector<std::string> args;
        int exitCode;
    };
    const std::vector<Row> rows = {
        {{"--card-id", "0102"}, 2},
        {{"--card-id", "01020304050607GG"}, 2},
        {{"--apps", "rsa,pki"}, 2},
        {{"--fail", "F4=69"}, 2},
        {{"--port", "70000"}, 2},
        {{"--vanish-after", "-1"}, 2},
        {{"--frobnicate"}, 2},
        {{"--state", bad, "--wait", "0"}, 1},
        {{"user-challenge"}, 2},
        {{"user-challenge", "--state", dir.path + "/missing.json"}, 1},
        {{"user-response", "--state", bad, "00 11 22 33 44 55 66 77"}, 1},
    };
    for (const Row& row : rows) {
        const auto r = VirtualToken::RunTool(row.args);
        EXPECT_EQ(r.exitCode, row.exitCode) << row.args[0] << ": " << r.output;
        EXPECT_FALSE(r.output.empty()) << row.args[0];
    }
}

std::string Response(const Bytes& key, const Bytes& challenge) {
    unsigned char out[16];
    int len = 0, tail = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_des_ede_ecb(), nullptr, key.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, out, &len, challenge.data(), 8);
    EVP_EncryptFinal_ex(ctx, out + len, &tail);
    EVP_CIPHER_CTX_free(ctx);
    return GroupedHex(Bytes(out, out + 8));
}

TEST(VtokenProgram, UserChallengeAndResponse) {
    VirtualToken token; // only its folder and state file: nothing is inserted
    TokenState s = TokenState::Factory();
    const Bytes key = *FromHex("0123456789ABCDEFFEDCBA9876543210");
    s.unblockKey.value = key;
    s.unblockKey.attribute = kUnblockUsable;
    s.pin.triesLeft = 0;
    ASSERT_TRUE(token.WriteState(s)) << token.Error();

    EXPECT_EQ(token.UserResponse("00 11 22 33 44 55 66 77").exitCode, 1) << "no challenge yet";

    auto c = token.UserChallenge();
    ASSERT_EQ(c.exitCode, 0) << c.output;
    ASSERT_TRUE(Matches(c.output, "## ## ## ## ## ## ## ##\n")) << c.output;
    const Bytes challenge = *FromHex(c.output.substr(0, 23));
    auto stored = token.State();
    ASSERT_TRUE(stored) << token.Error();
    EXPECT_EQ(stored->userChallenge, challenge);

    const std::string right = Response(key, challenge);
    std::string wrong = right;
    wrong[0] = wrong[0] == '0' ? '1' : '0';
    struct Row {
        std::string response;
        int exitCode;
        int triesAfter;
    };
    const std::vector<Row> rows = {
        {"01 23 45", 2, 0}, // not eight pairs
        {"0G 11 22 33 44 55 66 77", 2, 0},
        {wrong, 1, 0}, // refused; the challenge stays for a retyped response
        {right, 0, 3}, // unblocked
        {right, 1, 3}, // the challenge is used up
    };
    for (const Row& row : rows) {
        const auto r = token.UserResponse(row.response);
        EXPECT_EQ(r.exitCode, row.exitCode) << row.response << ": " << r.output;
        EXPECT_FALSE(r.output.empty());
        stored = token.State();
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->pin.triesLeft, row.triesAfter) << row.response;
    }

    // A blocked unblock key refuses even the right response.
    stored->unblockKey.attribute = 0x00;
    stored->pin.triesLeft = 0;
    ASSERT_TRUE(token.WriteState(*stored));
    c = token.UserChallenge();
    ASSERT_EQ(c.exitCode, 0);
    const auto r = token.UserResponse(Response(key, *FromHex(c.output.substr(0, 23))));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("blocked"), std::string::npos) << r.output;
}

} // namespace
