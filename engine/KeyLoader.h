#pragma once
// Loading the unblock key from any kind of key file, for every front end (the window and
// orvane-cli) alike: a plain 16-byte file, a file protected by a passphrase, or M share files of
// a split key (each plain or under its custodian's passphrase). Plain C++.
//
// A front end drives one KeyLoader per load:
//
//   KeyLoader loader;
//   for each file chosen:        if (loader.Add(path) != KeyProblem::None) show ProblemText()
//   while (auto i = loader.NextLocked()):
//       ask a passphrase with PassphrasePrompt(*i) (no echo; Cancel ends the load)
//       if (loader.Unlock(*i, passphrase) != KeyProblem::None) show ProblemText(),
//           and ask again or give up (a wrong passphrase leaves the file locked)
//   if (loader.Assemble(key) == KeyProblem::None) the key is in force, as from a 16-byte file
//   else show ProblemText(): the key in force stays as it was.
//
// Every problem has its own Russian message naming the file at fault (ProblemText); the texts of
// the 16-byte file are the window's. All key bytes, shares and opened secrets are wiped when the
// loader goes away. Files() tells each file's kind and permissions (a file open to others is
// worth a remark). The passphrase is never kept.

#include "engine/KeyCheck.h"
#include "engine/KeyShares.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class KeyFileKind {
    Plain,     // 16 raw bytes
    Protected, // a key or a share under a passphrase
    Share,     // one share of a split key, not protected
};

enum class KeyProblem {
    None,
    CannotOpen,          // missing, unreadable, not a regular file
    WrongSize,           // no key file of any kind (the 16-byte file's size message)
    OtherVersion,        // a protected file or share of a format version this program does not know
    Damaged,             // truncated or changed: its checksum does not match
    WrongPassphrase,     // the passphrase does not open the file
    NoMemory,            // the passphrase derivation could not get its memory
    Locked,              // Assemble before every protected file was unlocked
    NoFiles,             // Assemble without a file
    WholeKeyAmongOthers, // a whole key given together with other files
    TooFewShares,        // fewer shares than the split's M
    DuplicateShare,      // the same share twice
    ForeignShare,        // a share of another split
    SharesDisagree,      // the shares rebuild a key whose KCV is not the one they carry
};

struct KeyFileEntry {
    std::string path;
    KeyFileKind kind = KeyFileKind::Plain;
    unsigned permissions = 0;
    // Protected files: whether a share is inside (known before the passphrase), and whether the
    // passphrase is still missing.
    bool holdsShare = false;
    bool locked = false;
};

class KeyLoader {
public:
    KeyLoader() = default;
    KeyLoader(const KeyLoader&) = delete;
    KeyLoader& operator=(const KeyLoader&) = delete;
    ~KeyLoader();

    // Reads one more file. A problem (CannotOpen, WrongSize, OtherVersion, Damaged) leaves the
    // file out.
    KeyProblem Add(const std::string& path);
    const std::vector<KeyFileEntry>& Files() const { return files_; }

    // The first file still waiting for its passphrase.
    std::optional<std::size_t> NextLocked() const;
    // Opens the protected file `index`; WrongPassphrase or NoMemory leave it locked, Damaged and
    // OtherVersion are final.
    KeyProblem Unlock(std::size_t index, const std::string& passphrase);

    // The key from the files added: one whole key, or the shares combined and checked against
    // their KCV. `key` is set only when the answer is None.
    KeyProblem Assemble(UnblockKeyBytes& key);
    // Shares: how many rebuild the key and how many were made (0 for a whole key).
    unsigned Threshold() const { return threshold_; }
    unsigned Count() const { return count_; }

    // The message for the last problem answered, naming the file at fault; empty after None.
    const std::string& ProblemText() const { return problemText_; }

private:
    struct Opened {
        bool whole = false;
        UnblockKeyBytes key{};
        key_shares::Share share;
    };
    KeyProblem Fail(KeyProblem problem, const std::string& path, const std::string& detail = {});
    KeyProblem Take(std::size_t index, const std::vector<std::uint8_t>& content, bool share);

    std::vector<KeyFileEntry> files_;
    std::vector<std::vector<std::uint8_t>> sealed_; // protected files' bytes, by index
    std::vector<Opened> opened_;                    // by index; valid once not locked
    unsigned threshold_ = 0, count_ = 0;
    std::string problemText_;
};

// The question for the passphrase of `entry` ("Парольная фраза для файла ...").
std::string PassphrasePrompt(const KeyFileEntry& entry);
