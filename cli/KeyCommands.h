#pragma once
// The commands on unblock keys and codes, no token involved: kcv (the key check value of a key
// file), keygen (a new key file) and response (the challenge-response answer). Also the loading
// of a key file that init and reset-pin share.

#include "Console.h"
#include "Output.h"
#include "engine/KeyCheck.h"

#include <optional>
#include <string>

// Reads the key file with the window's rules and messages; on a problem the message is reported
// and nothing is returned (exit code 4). A key file open to others, a single-DES key and the
// built-in default key are reported as remarks: the key is still used.
std::optional<UnblockKeyBytes> LoadKeyFile(const std::string& path, Output& output);

int RunKcv(const std::string& keyFile, Output& output);
// Writes a new key to keyFile + ".key"; an existing file is replaced only when `replace` is set.
int RunKeygen(const std::string& chosenName, bool replace, Output& output);
// The challenge from `challenge`, or from the first line of standard input when it is empty.
int RunResponse(const std::string& keyFile, const std::string& challenge, Console& console,
                Output& output);

// The challenge as the challenge field holds it: every blank removed, upper case, a blank after
// each pair of characters but the last. Other characters are kept, so that the check refuses them.
std::string NormalizeChallenge(const std::string& typed);
