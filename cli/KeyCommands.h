#pragma once
// The commands on unblock keys and codes, no token involved: kcv (the key check value of a key),
// keygen (a new key: a plain file, a file protected by a passphrase, or shares for M of N
// custodians) and response (the challenge-response answer). Also the loading of the key that
// init and reset-pin share.

#include "Console.h"
#include "Output.h"
#include "engine/KeyCheck.h"

#include <string>
#include <vector>

// The unblock key as the command line names it: one key file (plain or protected by a
// passphrase) or the share files of a split key (M of them or more), and where the passphrases of
// protected files come from: --passphrase-file (its first line; "-" standard input) or
// --passphrase-env, either one for every protected file or one for each of them in order. Without
// them each passphrase is asked on the terminal without echo (read from standard input when it
// is no terminal).
struct KeySource {
    std::vector<std::string> files;
    std::vector<std::string> passphraseFiles;
    std::vector<std::string> passphraseEnvs;
};

// Loads the key with the window's rules and messages into `key`; answers kExitSuccess, or the
// exit code after reporting the problem (kExitKeyFile for the files and passphrases that do not
// open, kExitUsage for a passphrase that could not be read). A key file open to others, a
// single-DES key and the built-in default key are reported as remarks: the key is still used.
int LoadKey(const KeySource& source, Console& console, Output& output, UnblockKeyBytes& key);

int RunKcv(const KeySource& source, Console& console, Output& output);

struct KeygenOptions {
    std::string name;
    // An existing file is replaced only when set.
    bool replace = false;
    // "M/N": N share files of which any M rebuild the key; empty: one key file.
    std::string split;
    // As in KeySource: none, a plain file (or plain shares); one, every file protected by it; one
    // per share, each custodian's own.
    std::vector<std::string> passphraseFiles;
    std::vector<std::string> passphraseEnvs;
};
// Writes a new key to name + ".key", or its shares to name-i-of-N.key.
int RunKeygen(const KeygenOptions& options, Console& console, Output& output);

// The challenge from `challenge`, or from the first line of standard input when it is empty.
int RunResponse(const KeySource& source, const std::string& challenge, Console& console,
                Output& output);

// The challenge as the challenge field holds it: every blank removed, upper case, a blank after
// each pair of characters but the last. Other characters are kept, so that the check refuses them.
std::string NormalizeChallenge(const std::string& typed);
