#pragma once
// A virtual token for tests through the private PC/SC stack (scripts/pcsc-sandbox, started by the
// ctest fixture `pcsc_stack`): starts orvane-vtoken on a slot's vpcd port, inside the stack's
// network namespace (`pcsc-sandbox run-in`), with a state file and a trace in its own temporary
// folder, waits until the slot's reader shows the card, and takes it out again (the process ends:
// the reader shows no card).
//
//   VirtualToken token;
//   ASSERT_TRUE(token.Insert(VirtualTokenOptions().Apps("none").CardId("0102030405060708")))
//       << token.Error();
//   ... TokenSession on token.ReaderName() ...
//   auto state = token.State();              // the token's JSON state, parsed
//   ASSERT_TRUE(token.Remove()) << token.Error();
//
// The token process is a child of the test and ends with the thread that inserted it (insert
// from the test's main thread). The client side of PC/SC must reach the sandbox: ctest sets
// PCSCLITE_CSOCK_NAME for tests made with orvane_add_test(... PCSC); when it is not set the first
// VirtualToken sets it to the sandbox's socket (before the process's first PC/SC call counts).

#include "TokenState.h"

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// How the token is made; the setters chain: VirtualTokenOptions().Apps("none").CardId("...").
struct VirtualTokenOptions {
    std::string apps;                   // --apps; empty: as stored, all three for a new token
    bool foreign = false;               // --foreign
    std::string cardId;                 // --card-id (16 hex digits); empty: as stored / random
    std::vector<std::string> fails;     // --fail INS[/P2][:DATAHEX]=SW, each
    int vanishAfter = -1;               // --vanish-after N when >= 0
    int slot = 0;                       // the sandbox slot (0 or 1 with the default stack)
    std::vector<std::string> extraArgs; // anything else for orvane-vtoken

    VirtualTokenOptions& Apps(std::string list) {
        apps = std::move(list);
        return *this;
    }
    VirtualTokenOptions& Foreign() {
        foreign = true;
        return *this;
    }
    VirtualTokenOptions& CardId(std::string hex) {
        cardId = std::move(hex);
        return *this;
    }
    VirtualTokenOptions& Fail(std::string rule) {
        fails.push_back(std::move(rule));
        return *this;
    }
    VirtualTokenOptions& VanishAfter(int commands) {
        vanishAfter = commands;
        return *this;
    }
    VirtualTokenOptions& Slot(int n) {
        slot = n;
        return *this;
    }
    VirtualTokenOptions& Arg(std::string arg) {
        extraArgs.push_back(std::move(arg));
        return *this;
    }
};

// One traced command: the APDU and the token's answer (data + SW), upper-case hex.
struct TracedApdu {
    std::string command;
    std::string response;
};

class VirtualToken {
public:
    VirtualToken();
    ~VirtualToken();
    VirtualToken(const VirtualToken&) = delete;
    VirtualToken& operator=(const VirtualToken&) = delete;

    // Starts the token and waits (up to 5 s) until its reader shows a card. Inserting again after
    // Remove, or after the token ended by itself, brings the same token back (its state file),
    // with the options given then.
    bool Insert(const VirtualTokenOptions& options = {});
    // Ends the token (SIGTERM, SIGKILL after 3 s) and waits until its reader shows no card. A
    // token that is not inserted is removed already.
    bool Remove();
    // Whether the token process still runs; one made with vanishAfter ends by itself.
    bool Running();
    // Waits up to `ms` for the process to end by itself.
    bool WaitExit(int ms);
    // Waits up to `ms` until the token's reader shows a card (true) or none (false).
    bool WaitReader(bool present, int ms);

    std::string ReaderName() const { return ReaderName(slot_); }
    static std::string ReaderName(int slot);
    // The sandbox's base port (its `ports` file), or -1.
    static int BasePort();
    // The sandbox folder: $ORVANE_PCSC_SANDBOX when set, else the build's (tests/CMakeLists.txt).
    static std::string SandboxDir();

    const std::string& Folder() const { return folder_; }
    std::string StatePath() const { return folder_ + "/state.json"; }
    std::string TracePath() const { return folder_ + "/trace.txt"; }
    std::string LogPath() const { return folder_ + "/vtoken.log"; }

    // The stored token, read from the state file (nullopt + Error() when missing or unreadable).
    std::optional<vtoken::TokenState> State();
    // Writes the state file: before Insert it defines the token; while inserted the token takes
    // the change over at its next event.
    bool WriteState(const vtoken::TokenState& state);

    std::vector<std::string> TraceLines() const;
    std::vector<TracedApdu> Apdus() const;
    void ClearTrace();

    // Stops only the sandbox's pcscd (`pcsc-sandbox stop-daemon`): its socket is gone when this
    // returns; the stack's namespaces and ports stay. A token's connection to vpcd closes with
    // pcscd, so the token ends by itself (Running() turns false); Insert brings it back.
    static bool StopDaemon(std::string* error = nullptr);
    // Starts that pcscd again (`pcsc-sandbox start-daemon`) and returns once its socket answers.
    static bool StartDaemon(std::string* error = nullptr);

    // Runs orvane-vtoken with `args`; output holds stdout and stderr.
    struct ToolResult {
        int exitCode = -1;
        std::string output;
    };
    static ToolResult RunTool(const std::vector<std::string>& args);
    // Runs scripts/pcsc-sandbox with `args`.
    static ToolResult RunSandbox(const std::vector<std::string>& args);
    static std::string Binary(); // the orvane-vtoken executable
    // The user's side on this token's state file.
    ToolResult UserChallenge() const { return RunTool({"user-challenge", "--state", StatePath()}); }
    ToolResult UserResponse(const std::string& response) const {
        return RunTool({"user-response", "--state", StatePath(), response});
    }

    const std::string& Error() const { return error_; }

private:
    bool Fail(const std::string& what);
    // WaitReader, where a state counts only once the reader's event count differs from `since`;
    // `seen` gets the count that went with the state.
    bool WaitReaderState(bool present, int ms, std::optional<unsigned> since,
                         unsigned* seen = nullptr);

    std::string folder_;
    pid_t pid_ = -1;
    int slot_ = 0;
    std::string error_;
    // pcscd counts the insertions and removals its reader thread has seen (the upper half of a
    // reader's event state): the count when this token was seen inserted. A reader may show no
    // card before that thread has seen the removal (a reset that fails on a token that is gone
    // marks the card absent at once); a token inserted in that moment would be taken for the
    // old one and never announced, so a removal is done only once the count has moved on.
    std::optional<unsigned> insertedEvents_;
};
