#pragma once
// Secrets (PIN, PUK, new PIN, passphrases of key files) never come as argument values: orvane-cli
// reads them from a file (its first line; "-" is standard input), from an environment variable
// named by an option, or from standard input, asked for without echo when it is a terminal. Every
// buffer that held one is wiped.

#include "Console.h"

#include <optional>
#include <string>
#include <vector>

// Where one secret comes from; neither set: standard input.
struct SecretSource {
    std::string file;
    std::string environment;

    bool FromStandardInput() const { return environment.empty() && (file.empty() || file == "-"); }
};

// A secret's UTF-8 text; wiped when it goes away. It holds at most kMaxLength bytes and never
// grows past the storage it had from the start.
class SecretText {
public:
    static constexpr std::size_t kMaxLength = 256;

    SecretText() { text_.reserve(kMaxLength + 1); }
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;
    SecretText(SecretText&& other) noexcept;
    ~SecretText();

    const std::string& Text() const { return text_; }
    // Adds one byte; false (and nothing added) once kMaxLength bytes are held.
    bool Add(char c);
    void Clear();

private:
    std::string text_;
};

// The secret from `source`; `prompt` is shown on standard error when a terminal is asked.
// Nothing is returned, and `problem` says why, when the file or the variable cannot be read or
// the text is longer than kMaxLength. An environment variable's value is wiped once read.
std::optional<SecretText> ReadSecret(const SecretSource& source, const std::string& prompt,
                                     Console& console, std::string& problem);

// Whether standard input is a terminal a person types at.
bool InputIsTerminal(const Console& console);

// Refuses a secret given as an argument value: the first of `arguments` that is --pin, --puk,
// --new-pin or --passphrase (alone or with "=value") gives the message naming the options to use
// instead; empty when there is none. The value itself is never repeated.
std::string SecretArgumentProblem(const std::vector<std::string>& arguments);
