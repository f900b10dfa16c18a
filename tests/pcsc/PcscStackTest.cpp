// The reader session and the token command layer through the real PC/SC stack: the private
// pcscd, its vpcd readers and virtual tokens (fixture `pcsc_stack`).

#include "VirtualToken.h"

#include "card/TokenSession.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using vtoken::Bytes;
using vtoken::FromHex;
using vtoken::ToHex;

namespace {

Bytes Hex(const std::string& text) {
    auto b = FromHex(text);
    EXPECT_TRUE(b) << text;
    return b ? *b : Bytes{};
}

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

const Bytes SELECT_MF = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
const Bytes GET_CHALLENGE = {0x00, 0x84, 0x00, 0x00, 0x08};

std::string Cryptogram(const Bytes& key, const Bytes& challenge) {
    unsigned char out[16];
    int len = 0, tail = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_des_ede_ecb(), nullptr, key.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, out, &len, challenge.data(), 8);
    EVP_EncryptFinal_ex(ctx, out + len, &tail);
    EVP_CIPHER_CTX_free(ctx);
    return ToHex(out, 8);
}

std::vector<std::string> Commands(const VirtualToken& token) {
    std::vector<std::string> out;
    for (const auto& a : token.Apdus())
        out.push_back(a.command);
    return out;
}

TEST(PcscStack, ListsTheSandboxReaders) {
    TokenSession reader;
    EXPECT_EQ(reader.GetReaderName(0), "<None>");
    EXPECT_EQ(reader.GetReaderName(1), VirtualToken::ReaderName(0));
    EXPECT_EQ(reader.GetReaderName(2), VirtualToken::ReaderName(1));
    EXPECT_EQ(reader.GetReaderName(3), "");
    EXPECT_EQ(VirtualToken::ReaderName(0), "Orvane Virtual Reader 00 00");
}

TEST(PcscStack, CardPresenceFollowsTheToken) {
    TokenSession reader;
    EXPECT_FALSE(reader.IsCardPresent()) << "no reader selected";
    reader.SelectReader(VirtualToken::ReaderName(0));
    EXPECT_FALSE(reader.IsCardPresent());
    {
        VirtualToken token;
        ASSERT_TRUE(token.Insert()) << token.Error();
        EXPECT_TRUE(reader.IsCardPresent());
        TokenSession other;
        other.SelectReader(VirtualToken::ReaderName(1));
        EXPECT_FALSE(other.IsCardPresent()) << "the other slot stays empty";
        ASSERT_TRUE(token.Remove()) << token.Error();
        EXPECT_FALSE(reader.IsCardPresent());
    }
    reader.SelectReader("Orvane Virtual Reader 07 00");
    EXPECT_FALSE(reader.IsCardPresent());
    EXPECT_EQ(reader.LastErrorText(), "The specified reader name is not recognized");
}

// The test helper: one token per slot, both slots usable, a token re-inserted is the same token.
TEST(PcscStack, VirtualTokensInSlots) {
    VirtualToken a, b, c;
    ASSERT_TRUE(a.Insert(VirtualTokenOptions().Apps("none").CardId("1111111111111111")))
        << a.Error();
    EXPECT_FALSE(b.Insert(VirtualTokenOptions().Apps("none")));
    EXPECT_NE(b.Error().find("holds a card already"), std::string::npos) << b.Error();
    ASSERT_TRUE(c.Insert(VirtualTokenOptions().Apps("none").CardId("2222222222222222").Slot(1)))
        << c.Error();

    TokenSession reader;
    reader.SelectReader(VirtualToken::ReaderName(1));
    ASSERT_TRUE(reader.ConnectCard()) << reader.LastErrorText();
    EXPECT_EQ(reader.CardId, "2222222222222222");
    reader.Disconnect();

    ASSERT_TRUE(a.Remove()) << a.Error();
    ASSERT_TRUE(a.Insert()) << a.Error();
    reader.SelectReader(VirtualToken::ReaderName(0));
    ASSERT_TRUE(reader.ConnectCard()) << reader.LastErrorText();
    EXPECT_EQ(reader.CardId, "1111111111111111") << "the same token came back";
    EXPECT_EQ(reader.CardApps, 0);
    reader.Disconnect();
}

TEST(PcscStack, ConnectCardIdentifiesTheToken) {
    struct Row {
        const char* name;
        VirtualTokenOptions options;
        CardAppSet apps;
        std::string cardId;
        std::vector<std::string> commands;
    };
    const std::vector<Row> rows = {
        {"marked, no application bits",
         VirtualTokenOptions().Apps("none").CardId("0123456789ABCDEF"),
         0,
         "EFCDAB8967452301",
         {"80F6000008"}},
        {"foreign, after a token with an identifier", VirtualTokenOptions().Foreign(), 0, "", {}},
        {"RSA", VirtualTokenOptions().Apps("rsa"), appRSA, "", {}},
        {"DSTU", VirtualTokenOptions().Apps("dstu"), appDSTU, "", {}},
        {"Data", VirtualTokenOptions().Apps("data"), appData, "", {}},
        {"all three",
         VirtualTokenOptions().Apps("rsa,dstu,data"),
         appRSA | appDSTU | appData,
         "",
         {}},
        {"marked, other identifier",
         VirtualTokenOptions().Apps("none").CardId("A1B2C3D4E5F60718"),
         0,
         "1807F6E5D4C3B2A1",
         {"80F6000008"}},
    };
    TokenSession reader;
    reader.SelectReader(VirtualToken::ReaderName(0));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        VirtualToken token;
        ASSERT_TRUE(token.Insert(row.options)) << token.Error();
        ASSERT_TRUE(reader.ConnectCard()) << reader.LastErrorText();
        EXPECT_EQ(reader.CardApps, row.apps);
        EXPECT_EQ(reader.CardId, row.cardId);
        EXPECT_EQ(Commands(token), row.commands);
        if (row.options.foreign) {
            // A foreign token answers nothing of the family but SELECT MF.
            Bytes response;
            EXPECT_TRUE(reader.Transmit(SELECT_MF, response));
            EXPECT_FALSE(reader.Transmit({0x80, 0xF6, 0x00, 0x00, 0x08}, response));
            EXPECT_EQ(reader.LastErrorText(), "Card Error 6D00");
        }
        reader.Disconnect();
        ASSERT_TRUE(token.Remove()) << token.Error();
    }
    // Nothing in the reader: both connect attempts fail.
    EXPECT_FALSE(reader.ConnectCard());
    EXPECT_EQ(reader.CardHandle, 0);
    EXPECT_EQ(reader.CardApps, 0);
}

TEST(PcscStack, WrongPinCountsDownThenBlocks) {
    VirtualToken token;
    ASSERT_TRUE(token.Insert(VirtualTokenOptions().Apps("rsa"))) << token.Error();
    TokenSession reader;
    reader.SelectReader(token.ReaderName());
    ASSERT_TRUE(reader.ConnectCard()) << reader.LastErrorText();
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"0000", "Invalid password. Attempts left - 2"},
        {"12345678", "Ok"},
        {"0000", "Invalid password. Attempts left - 2"},
        {"1234567", "Invalid password. Attempts left - 1"},
        {"", "Invalid password. Attempts left - 0"},
        {"0000", "Card blocked"},
        {"12345678", "Card blocked"},
    };
    for (const auto& [pin, text] : steps) {
        const bool ok = reader.VerifyPin(kRefPin, Text(pin));
        EXPECT_EQ(ok, text == "Ok") << pin;
        EXPECT_EQ(reader.LastErrorText(), text) << pin;
    }
    EXPECT_EQ(reader.StatusWord, 0x6983);
    auto state = token.State();
    ASSERT_TRUE(state) << token.Error();
    EXPECT_EQ(state->pin.triesLeft, 0);
    // The last VERIFY went out padded with FF.
    EXPECT_EQ(token.Apdus().back().command, "00200005083132333435363738");
    EXPECT_EQ(token.Apdus()[4].command, "0020000508FFFFFFFFFFFFFFFF");
}

TEST(PcscStack, ATokenPulledDuringACommand) {
    VirtualToken token;
    ASSERT_TRUE(token.Insert(VirtualTokenOptions().Apps("rsa").VanishAfter(1))) << token.Error();
    TokenSession reader;
    reader.Exclusive = false;
    reader.SelectReader(token.ReaderName());
    ASSERT_TRUE(reader.ConnectCard()) << reader.LastErrorText();
    Bytes response;
    ASSERT_TRUE(reader.Transmit(SELECT_MF, response)) << reader.LastErrorText();
    // pcscd hands on vpcd's empty answer as a success without data.
    EXPECT_FALSE(reader.Transmit(SELECT_MF, response)) << "pulled during this command";
    EXPECT_EQ(reader.LastErrorText(), "Invalid response size");
    EXPECT_EQ(reader.StatusWord, 0x1111);
    EXPECT_TRUE(token.WaitExit(3000));
    EXPECT_TRUE(token.WaitReader(false, 3000));
    EXPECT_FALSE(reader.Transmit(SELECT_MF, response));
    EXPECT_EQ(reader.LastErrorText(),
              "The smart card has been removed, so that further communication is not possible");
    EXPECT_FALSE(reader.IsCardPresent());
    EXPECT_EQ(token.TraceLines().back(), "VANISH before APDU 00A40000023F00");
}

TEST(PcscStack, ATokenPulledBetweenCommands) {
    VirtualToken token;
    ASSERT_TRUE(token.Insert(VirtualTokenOptions().Apps("rsa"))) << token.Error();
    TokenSession reader;
    reader.SelectReader(token.ReaderName());
    ASSERT_TRUE(reader.ConnectCard()) << reader.LastErrorText();
    ASSERT_TRUE(token.Remove()) << token.Error();
    Bytes response;
    EXPECT_FALSE(reader.Transmit(SELECT_MF, response));
    EXPECT_EQ(reader.LastErrorText(),
              "The smart card has been removed, so that further communication is not possible");
    EXPECT_EQ(reader.StatusWord, 0x1111);
    // Inserted again, the old handle stays dead until a new connect.
    ASSERT_TRUE(token.Insert(VirtualTokenOptions().Apps("rsa"))) << token.Error();
    EXPECT_FALSE(reader.Transmit(SELECT_MF, response));
    ASSERT_TRUE(reader.ConnectCard()) << reader.LastErrorText();
    EXPECT_TRUE(reader.Transmit(SELECT_MF, response)) << reader.LastErrorText();
}

TEST(PcscStack, ExclusiveDisconnectResetsTheTokenSharedLeavesIt) {
    VirtualToken token;
    ASSERT_TRUE(token.Insert(VirtualTokenOptions().Apps("rsa"))) << token.Error();
    const Bytes mfCode = Hex("80484D46083331373430323539");
    const Bytes storePuk = Hex("80F401060A054431323334FFFFFFFF");
    Bytes response;

    // Exclusive (the main window's session): the disconnect resets the token.
    {
        TokenSession reader;
        reader.SelectReader(token.ReaderName());
        ASSERT_TRUE(reader.ConnectCard()) << reader.LastErrorText();
        ASSERT_TRUE(reader.Transmit(mfCode, response)) << reader.LastErrorText();
        token.ClearTrace();
        reader.Disconnect();
        auto lines = token.TraceLines();
        EXPECT_NE(std::find(lines.begin(), lines.end(), "RESET"), lines.end());
        auto state = token.State();
        ASSERT_TRUE(state);
        EXPECT_FALSE(state->session.admin);
        ASSERT_TRUE(reader.ConnectCard());
        EXPECT_FALSE(reader.Transmit(storePuk, response));
        EXPECT_EQ(reader.LastErrorText(), "Card Error 6982");
        reader.Disconnect();
    }

    // Shared (the initialization run's session): the disconnect leaves the token alone. A second
    // shared session holds the token meanwhile, or pcscd would power it down once idle.
    {
        TokenSession run;
        run.Exclusive = false;
        run.SelectReader(token.ReaderName());
        TokenSession witness;
        witness.Exclusive = false;
        witness.SelectReader(token.ReaderName());
        ASSERT_TRUE(run.ConnectCard()) << run.LastErrorText();
        ASSERT_TRUE(witness.ConnectCard()) << witness.LastErrorText();
        ASSERT_TRUE(run.Transmit(mfCode, response)) << run.LastErrorText();
        token.ClearTrace();
        run.Disconnect();
        EXPECT_TRUE(witness.Transmit(storePuk, response)) << witness.LastErrorText();
        const auto lines = token.TraceLines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "RESET"), 0);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "POWER OFF"), 0);
        witness.Disconnect();
    }
    auto state = token.State();
    ASSERT_TRUE(state);
    EXPECT_EQ(state->puk.attribute, 0x44);
}

// The initialization sequence and the PIN reset as the program sends them, on a factory token.
TEST(PcscStack, InitializationThenPinResetWithTheUnblockKey) {
    VirtualToken token;
    ASSERT_TRUE(token.Insert(VirtualTokenOptions().Apps("rsa,dstu,data"))) << token.Error();
    const Bytes unblockKey = Hex("0123456789ABCDEF1032547698BADCFE");
    const Bytes groupRsa(32, 0x11), groupDstu(32, 0x22);
    const Bytes name = Hex("D0A2D0B5D181D182" + std::string(48, '0'));

    TokenSession run;
    run.Exclusive = false;
    run.SelectReader(token.ReaderName());
    ASSERT_TRUE(run.ConnectCard()) << run.LastErrorText();
    ASSERT_EQ(run.CardApps, appRSA | appDSTU | appData);
    EXPECT_EQ(run.BeginTransaction(), 0u);
    Bytes r;
    auto send = [&](const std::string& hex) { return run.Transmit(Hex(hex), r); };
    const std::string selRsa = "00A4040008FA564C4D52534144";
    const std::string selDstu = "00A404000AFA564C4D534734313435";
    const std::string selData = "00A404000AFA564C4D444154416175";
    send("00A40000023F00");
    ASSERT_TRUE(send("80F2000501")) << run.LastErrorText();
    send(selRsa);
    send("804800000801000000"
         "00000000");
    send(selDstu);
    send("804600002801000000"
         "00000000" +
         ToHex(name));
    send(selData);
    send("804600000401000000");
    send("00A40000023F00");
    ASSERT_TRUE(send("80484D46083331373430323539")) << run.LastErrorText();
    ASSERT_TRUE(run.StorePin(kRefPin, Text("1234"), 0x77)) << run.LastErrorText();
    ASSERT_TRUE(run.StorePin(kRefPuk, Text("87654321"), 0x44)) << run.LastErrorText();
    ASSERT_TRUE(run.StoreKey(kRefUnblockKey, unblockKey.data(), 16, 0xEE)) << run.LastErrorText();
    ASSERT_TRUE(send(selRsa)) << run.LastErrorText();
    ASSERT_TRUE(run.StoreKey(kRefGroupKey, groupRsa.data(), 32, 0x99)) << run.LastErrorText();
    ASSERT_TRUE(send("804800000801000000"
                     "00D10000"))
        << run.LastErrorText();
    ASSERT_TRUE(run.VerifyPin(kRefPin, Text("1234"))) << run.LastErrorText();
    ASSERT_TRUE(send("00D6820006000000000000")) << run.LastErrorText();
    ASSERT_TRUE(send("80E00200")) << run.LastErrorText();
    ASSERT_TRUE(send(selDstu)) << run.LastErrorText();
    ASSERT_TRUE(run.StoreKey(kRefGroupKey, groupDstu.data(), 32, 0x99)) << run.LastErrorText();
    ASSERT_TRUE(send("804600002801000000"
                     "00070000" +
                     ToHex(name)))
        << run.LastErrorText();
    ASSERT_TRUE(send(selData)) << run.LastErrorText();
    ASSERT_TRUE(send("804600000401000000")) << run.LastErrorText();
    send("00A40000023F00");
    send("80E00200");
    EXPECT_EQ(run.EndTransaction(), 0u);
    run.Disconnect();

    auto state = token.State();
    ASSERT_TRUE(state) << token.Error();
    EXPECT_EQ(ToHex(state->pin.value), "31323334FFFFFFFF");
    EXPECT_EQ(ToHex(state->puk.value), "3837363534333231");
    EXPECT_EQ(state->unblockKey.value, unblockKey);
    EXPECT_EQ(state->unblockKey.attribute, 0xEE);
    EXPECT_EQ(state->app(vtoken::AppId::RSA).groupKey.value, groupRsa);
    EXPECT_EQ(state->app(vtoken::AppId::RSA).groupCode(), 0x00D1);
    EXPECT_EQ(state->app(vtoken::AppId::DSTU).groupKey.value, groupDstu);
    EXPECT_EQ(state->app(vtoken::AppId::DSTU).groupCode(), 0x0007);
    EXPECT_EQ(ToHex(state->app(vtoken::AppId::DSTU).name.data(), 32), ToHex(name));
    EXPECT_TRUE(state->app(vtoken::AppId::Data).activated);

    // The user blocks the PIN.
    TokenSession admin; // exclusive, as the main window's session
    admin.SelectReader(token.ReaderName());
    ASSERT_TRUE(admin.ConnectCard()) << admin.LastErrorText();
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(admin.VerifyPin(kRefPin, Text("0000")));
    EXPECT_FALSE(admin.VerifyPin(kRefPin, Text("1234")));
    EXPECT_EQ(admin.LastErrorText(), "Card blocked");

    // A wrong unblock key is refused and grants nothing.
    ASSERT_TRUE(admin.ConnectCard()) << admin.LastErrorText();
    ASSERT_TRUE(admin.Transmit(SELECT_MF, r));
    ASSERT_TRUE(admin.Transmit(GET_CHALLENGE, r));
    ASSERT_EQ(r.size(), 8u);
    EXPECT_FALSE(admin.Transmit(Hex("0082001108" + Cryptogram(Bytes(16, 0x5A), r)), r));
    EXPECT_EQ(admin.LastErrorText(), "Card Error 6300");
    EXPECT_FALSE(admin.StorePin(kRefPin, Text("5678"), 0x77));
    EXPECT_EQ(admin.LastErrorText(), "Card Error 6982");

    // The PIN reset: SELECT MF, GET CHALLENGE, EXTERNAL AUTHENTICATE, STORE SECRET, disconnect.
    ASSERT_TRUE(admin.ConnectCard()) << admin.LastErrorText();
    ASSERT_TRUE(admin.Transmit(SELECT_MF, r)) << admin.LastErrorText();
    ASSERT_TRUE(admin.Transmit(GET_CHALLENGE, r)) << admin.LastErrorText();
    ASSERT_EQ(r.size(), 8u);
    ASSERT_TRUE(admin.Transmit(Hex("0082001108" + Cryptogram(unblockKey, r)), r))
        << admin.LastErrorText();
    ASSERT_TRUE(admin.StorePin(kRefPin, Text("5678"), 0x77)) << admin.LastErrorText();
    admin.Disconnect();
    state = token.State();
    ASSERT_TRUE(state);
    EXPECT_EQ(ToHex(state->pin.value), "35363738FFFFFFFF");
    EXPECT_EQ(state->pin.triesLeft, 3);
    EXPECT_FALSE(state->session.unblock) << "the reset at disconnect ended the right";

    ASSERT_TRUE(admin.ConnectCard()) << admin.LastErrorText();
    EXPECT_TRUE(admin.VerifyPin(kRefPin, Text("5678"))) << admin.LastErrorText();
}

// The stack's network: vpcd takes whoever connects to its ports for a card, and it listens on
// every interface of its namespace, so the stack has a namespace of its own. The test process is
// where everything else on the machine is.

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The TCP ports in state LISTEN of the network namespace that process `pid` ("self") is in.
std::set<int> ListeningPorts(const std::string& pid) {
    std::set<int> ports;
    for (const char* table : {"tcp", "tcp6"}) {
        std::istringstream lines(Slurp("/proc/" + pid + "/net/" + table));
        std::string line;
        std::getline(lines, line); // the header
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            if (!(fields >> slot >> local >> remote >> state) || state != "0A")
                continue;
            ports.insert(std::stoi(local.substr(local.rfind(':') + 1), nullptr, 16));
        }
    }
    return ports;
}

std::string NetNamespace(const std::string& pid) {
    std::error_code ec;
    const auto link = std::filesystem::read_symlink("/proc/" + pid + "/ns/net", ec);
    return ec ? "" : link.string();
}

struct Vpcd {
    std::string pcscdPid;
    std::vector<int> ports; // one per slot
};

Vpcd SandboxVpcd() {
    Vpcd v;
    std::istringstream(Slurp(VirtualToken::SandboxDir() + "/pcscd.pid")) >> v.pcscdPid;
    const int base = VirtualToken::BasePort();
    std::istringstream readers(Slurp(VirtualToken::SandboxDir() + "/readers"));
    int slot = 0;
    for (std::string line; base > 0 && std::getline(readers, line); ++slot)
        v.ports.push_back(base + slot);
    return v;
}

// Whether a TCP connection to `address` is accepted within a second.
bool Connects(const sockaddr* address, socklen_t length) {
    const int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool connected = ::connect(fd, address, length) == 0;
    if (!connected && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        connected = ::poll(&p, 1, 1000) == 1 &&
                    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
    ::close(fd);
    return connected;
}

// The addresses of this machine a client could try: loopback and every interface's.
std::vector<sockaddr_storage> LocalAddresses() {
    std::vector<sockaddr_storage> out;
    sockaddr_storage any{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&any);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    out.push_back(any);
    any = {};
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&any);
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = in6addr_loopback;
    out.push_back(any);
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr ||
                (i->ifa_addr->sa_family != AF_INET && i->ifa_addr->sa_family != AF_INET6))
                continue;
            sockaddr_storage a{};
            std::memcpy(&a, i->ifa_addr,
                        i->ifa_addr->sa_family == AF_INET ? sizeof(sockaddr_in)
                                                          : sizeof(sockaddr_in6));
            out.push_back(a);
        }
        ::freeifaddrs(list);
    }
    return out;
}

std::string Describe(const sockaddr_storage& a, int port) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (a.ss_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, text, sizeof text);
    else
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, text,
                    sizeof text);
    return std::string(text) + " port " + std::to_string(port);
}

struct ScriptRun {
    int exitCode = -1;
    std::string output; // stdout and stderr
};

// Runs scripts/pcsc-sandbox with `args` (shell words) under `env` (assignments).
ScriptRun Sandbox(const std::string& args, const std::string& env = "") {
    const std::string line =
        "env " + env + " '" ORVANE_SOURCE_DIR "/scripts/pcsc-sandbox' " + args + " </dev/null 2>&1";
    ScriptRun run;
    FILE* pipe = ::popen(line.c_str(), "r");
    if (!pipe)
        return run;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;)
        run.output.append(buf, n);
    const int status = ::pclose(pipe);
    if (WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    return run;
}

std::string Quoted(const std::string& word) {
    return "'" + word + "'";
}

TEST(PcscStackNetwork, VpcdPortsExistOnlyInTheStacksOwnNetwork) {
    const Vpcd vpcd = SandboxVpcd();
    ASSERT_FALSE(vpcd.pcscdPid.empty()) << "no pcscd.pid in " << VirtualToken::SandboxDir();
    ASSERT_GE(vpcd.ports.size(), 2u) << "no ports or readers in " << VirtualToken::SandboxDir();
    const std::string stackNet = NetNamespace(vpcd.pcscdPid);
    ASSERT_FALSE(stackNet.empty()) << "pcscd " << vpcd.pcscdPid << " does not run";
    EXPECT_NE(stackNet, NetNamespace("self")) << "pcscd shares the machine's network";

    // vpcd does listen, where it may: the ports file names its ports.
    const std::set<int> inside = ListeningPorts(vpcd.pcscdPid);
    const std::set<int> outside = ListeningPorts("self");
    for (int port : vpcd.ports) {
        EXPECT_TRUE(inside.count(port)) << "vpcd does not listen on port " << port;
        EXPECT_FALSE(outside.count(port)) << "port " << port << " listens on the machine's network";
    }
    for (const auto& address : LocalAddresses()) {
        for (int port : vpcd.ports) {
            sockaddr_storage a = address;
            socklen_t length = sizeof(sockaddr_in);
            if (a.ss_family == AF_INET) {
                reinterpret_cast<sockaddr_in&>(a).sin_port = htons(static_cast<uint16_t>(port));
            } else {
                reinterpret_cast<sockaddr_in6&>(a).sin6_port = htons(static_cast<uint16_t>(port));
                length = sizeof(sockaddr_in6);
            }
            EXPECT_FALSE(Connects(reinterpret_cast<const sockaddr*>(&a), length))
                << "a card could connect to " << Describe(a, port);
        }
    }
}

// Tokens connect through run-in (VirtualToken, insert): it must put them into the stack's network,
// and refuse, rather than run them on the machine's, when the stack is gone.
TEST(PcscStackNetwork, RunInEntersTheStacksNetworkOrNothing) {
    const Vpcd vpcd = SandboxVpcd();
    const std::string stackNet = NetNamespace(vpcd.pcscdPid);
    ASSERT_FALSE(stackNet.empty()) << "pcscd " << vpcd.pcscdPid << " does not run";
    const ScriptRun in =
        Sandbox("run-in " + Quoted(VirtualToken::SandboxDir()) + " -- readlink /proc/self/ns/net");
    EXPECT_EQ(in.exitCode, 0) << in.output;
    EXPECT_EQ(in.output, stackNet + "\n");

    char pattern[] = "/tmp/orvane-no-stack-XXXXXX";
    ASSERT_TRUE(::mkdtemp(pattern));
    const std::string empty = pattern;
    const ScriptRun none = Sandbox("run-in " + Quoted(empty) + " -- echo ran");
    EXPECT_NE(none.exitCode, 0);
    EXPECT_EQ(none.output.find("ran"), std::string::npos) << none.output;
    EXPECT_NE(none.output.find("no stack runs in " + empty), std::string::npos) << none.output;
    std::filesystem::remove_all(empty);
}

// Where no network namespace may be made (here: an unshare that refuses -n), the stack does not
// start on the machine's network unless asked to.
TEST(PcscStackNetwork, StartRefusesTheMachinesNetworkUnlessAllowed) {
    char pattern[] = "/tmp/orvane-no-netns-XXXXXX";
    ASSERT_TRUE(::mkdtemp(pattern));
    const std::string folder = pattern;
    const std::string bin = folder + "/bin", sandbox = folder + "/sandbox";
    std::filesystem::create_directories(bin);
    {
        std::ofstream stub(bin + "/unshare");
        stub << "#!/bin/sh\n"
                "for a; do case $a in -n|--net|--net=*) echo 'unshare: unshare failed: Operation "
                "not permitted' >&2; exit 1;; esac; done\n"
                "exec /usr/bin/unshare \"$@\"\n";
    }
    std::filesystem::permissions(bin + "/unshare", std::filesystem::perms::owner_all);

    const ScriptRun refused =
        Sandbox("start " + Quoted(sandbox),
                "-u PCSC_SANDBOX_ALLOW_NETWORK PATH=" + Quoted(bin) + ":\"$PATH\"");
    EXPECT_EQ(refused.exitCode, 1) << refused.output;
    EXPECT_NE(refused.output.find("no network namespace may be made here"), std::string::npos)
        << refused.output;
    EXPECT_NE(refused.output.find("--allow-network"), std::string::npos) << refused.output;
    EXPECT_FALSE(std::filesystem::exists(sandbox + "/pcscd.pid")) << refused.output;
    EXPECT_FALSE(std::filesystem::exists(sandbox + "/ports")) << refused.output;

    Sandbox("stop " + Quoted(sandbox));
    std::filesystem::remove_all(folder);
}

// pcscd going away and coming back (stop-daemon, start-daemon): the stack's namespaces, ports and
// readers stay, a client finds no service in between, and the tokens come back as they were: those
// put in by `insert` by themselves, a VirtualToken by inserting it again.

// Leaves the stack as the other tests expect it, whatever failed: pcscd running, slot 1 empty.
struct DaemonRestored {
    ~DaemonRestored() {
        VirtualToken::RunSandbox({"start-daemon", VirtualToken::SandboxDir()});
        VirtualToken::RunSandbox({"remove", VirtualToken::SandboxDir(), "--slot", "1"});
    }
};

// The card id of the token in `slot`, once pcscd shows it (a token put in by the script is in
// once it has reached vpcd, which pcscd notices a moment later).
std::string CardIdIn(int slot) {
    TokenSession reader;
    reader.SelectReader(VirtualToken::ReaderName(slot));
    for (int i = 0; i < 150 && !reader.IsCardPresent(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!reader.ConnectCard())
        return "no card: " + reader.LastErrorText();
    const std::string id = reader.CardId;
    reader.Disconnect();
    return id;
}

TEST(PcscStackRestart, TheDaemonRestartsInTheSameStackWithItsTokens) {
    DaemonRestored restored;
    const std::string dir = VirtualToken::SandboxDir();
    const Vpcd before = SandboxVpcd();
    const std::string stackNet = NetNamespace(before.pcscdPid);
    ASSERT_FALSE(stackNet.empty()) << "pcscd " << before.pcscdPid << " does not run";

    // Slot 0: a test's token (run-in); slot 1: one put in by the script; both with a random id.
    VirtualToken mine;
    ASSERT_TRUE(mine.Insert(VirtualTokenOptions().Apps("none"))) << mine.Error();
    const auto inserted = VirtualToken::RunSandbox(
        {"insert", dir, "--slot", "1", "--vtoken", VirtualToken::Binary(), "--apps", "none"});
    ASSERT_EQ(inserted.exitCode, 0) << inserted.output;
    const std::string idMine = CardIdIn(0), idScripts = CardIdIn(1);
    ASSERT_EQ(idMine.size(), 16u) << idMine;
    ASSERT_EQ(idScripts.size(), 16u) << idScripts;

    std::string error;
    ASSERT_TRUE(VirtualToken::StopDaemon(&error)) << error;
    EXPECT_FALSE(std::filesystem::exists(dir + "/run/pcscd.comm")) << "the socket outlived pcscd";
    EXPECT_EQ(TokenSession().Context, 0) << "a client still finds a service";
    EXPECT_TRUE(mine.WaitExit(3000)) << "the token outlived its connection to vpcd";
    const auto status = VirtualToken::RunSandbox({"status", dir});
    EXPECT_EQ(status.exitCode, 1) << status.output;
    EXPECT_NE(status.output.find("start-daemon"), std::string::npos) << status.output;
    const auto refused = VirtualToken::RunSandbox({"insert", dir, "--slot", "1"});
    EXPECT_NE(refused.exitCode, 0) << refused.output;
    EXPECT_NE(refused.output.find("stopped"), std::string::npos) << refused.output;
    // The namespaces are held meanwhile: a token may still be started in the stack's network.
    const auto in =
        VirtualToken::RunSandbox({"run-in", dir, "--", "readlink", "/proc/self/ns/net"});
    EXPECT_EQ(in.output, stackNet + "\n");

    ASSERT_TRUE(VirtualToken::StartDaemon(&error)) << error;
    const Vpcd after = SandboxVpcd();
    EXPECT_NE(after.pcscdPid, before.pcscdPid);
    EXPECT_EQ(NetNamespace(after.pcscdPid), stackNet) << "pcscd came back in another network";
    EXPECT_EQ(after.ports, before.ports);
    const std::set<int> listening = ListeningPorts(after.pcscdPid);
    for (int port : after.ports)
        EXPECT_TRUE(listening.count(port)) << "vpcd does not listen on port " << port;
    TokenSession list;
    EXPECT_EQ(list.GetReaderName(1), VirtualToken::ReaderName(0));
    EXPECT_EQ(list.GetReaderName(2), VirtualToken::ReaderName(1));
    EXPECT_EQ(CardIdIn(1), idScripts) << "the script's token did not come back as it was";
    ASSERT_TRUE(mine.Insert()) << mine.Error();
    EXPECT_EQ(CardIdIn(0), idMine) << "the test's token did not come back as it was";

    // Taken out while the service is away, it stays out.
    ASSERT_TRUE(VirtualToken::StopDaemon(&error)) << error;
    EXPECT_TRUE(mine.WaitExit(3000));
    EXPECT_EQ(VirtualToken::RunSandbox({"remove", dir, "--slot", "1"}).exitCode, 0);
    ASSERT_TRUE(VirtualToken::StartDaemon(&error)) << error;
    TokenSession reader;
    reader.SelectReader(VirtualToken::ReaderName(1));
    EXPECT_FALSE(reader.IsCardPresent()) << "a token taken out came back";
    EXPECT_EQ(VirtualToken::RunSandbox({"start-daemon", dir}).exitCode, 1)
        << "a second pcscd was started";
}

// `insert` and `remove` return once pcscd shows the reader as they left it: a client asking right
// after them finds the card in, then out (pcscd notices the token only at its next look at the
// reader, up to about a second after it reached vpcd). A few rounds, each asked at once.
TEST(PcscStackScript, InsertAndRemoveReturnOnceTheReaderShowsIt) {
    const std::string dir = VirtualToken::SandboxDir();
    struct SlotEmptied {
        std::string dir;
        ~SlotEmptied() { VirtualToken::RunSandbox({"remove", dir, "--slot", "1"}); }
    } emptied{dir};
    TokenSession reader;
    reader.SelectReader(VirtualToken::ReaderName(1));
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        const auto inserted = VirtualToken::RunSandbox(
            {"insert", dir, "--slot", "1", "--vtoken", VirtualToken::Binary(), "--apps", "rsa"});
        ASSERT_EQ(inserted.exitCode, 0) << inserted.output;
        EXPECT_TRUE(reader.IsCardPresent()) << "insert returned before pcscd showed the card";
        const auto removed = VirtualToken::RunSandbox({"remove", dir, "--slot", "1"});
        ASSERT_EQ(removed.exitCode, 0) << removed.output;
        EXPECT_FALSE(reader.IsCardPresent()) << "remove returned before pcscd showed no card";
    }
}

} // namespace
