// Key files of every kind through the engine, as both front ends load them: the 16-byte file
// unchanged, the file protected by a passphrase (its committed version 1 still opens; no byte of
// it can change unnoticed), and shares of which every M rebuild the key and fewer do not, with a
// message naming the file for every share that cannot be used. Nothing written holds the key in
// clear, files are 0600, and a failed split leaves nothing behind.

#include "engine/KeyFile.h"
#include "engine/KeyLoader.h"
#include "engine/KeyShares.h"
#include "engine/ProtectedKeyFile.h"

#include "crypto/Sodium.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr passphrase::Cost kCheap{1, 64};
const std::string kPassphrase = "хранитель ключа 2026";
const UnblockKeyBytes kKey = {0x5B, 0x11, 0xC4, 0x87, 0x20, 0x9E, 0x6A, 0xF3,
                              0x0D, 0x42, 0xB8, 0x7C, 0xE1, 0x35, 0x96, 0x58};

using Bytes = std::vector<std::uint8_t>;

struct Folder {
    std::string path;
    Folder() {
        char name[] = "/tmp/orvane-keyfiles-XXXXXX";
        path = ::mkdtemp(name) ? name : "";
    }
    ~Folder() { std::filesystem::remove_all(path); }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        if (DIR* dir = ::opendir(path.c_str())) {
            while (dirent* entry = ::readdir(dir))
                if (entry->d_name[0] != '.')
                    names.push_back(entry->d_name);
            ::closedir(dir);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

unsigned Mode(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// No file in `folder` holds the 16 key bytes anywhere.
void ExpectKeyNowhere(const Folder& folder, const UnblockKeyBytes& key) {
    for (const std::string& name : folder.Names()) {
        const Bytes bytes = ReadAll(folder / name);
        EXPECT_EQ(std::search(bytes.begin(), bytes.end(), key.begin(), key.end()), bytes.end())
            << name << " holds the key in clear";
    }
}

// Loads `paths` with one passphrase for every protected file.
KeyProblem Load(const std::vector<std::string>& paths, UnblockKeyBytes& key, std::string& text,
                const std::string& passphrase = kPassphrase) {
    KeyLoader loader;
    for (const std::string& path : paths)
        if (const KeyProblem problem = loader.Add(path); problem != KeyProblem::None) {
            text = loader.ProblemText();
            return problem;
        }
    while (const std::optional<std::size_t> locked = loader.NextLocked())
        if (const KeyProblem problem = loader.Unlock(*locked, passphrase);
            problem != KeyProblem::None) {
            text = loader.ProblemText();
            return problem;
        }
    const KeyProblem problem = loader.Assemble(key);
    text = loader.ProblemText();
    return problem;
}

// ---- The 16-byte file and the protected file --------------------------------------------------

TEST(PlainKeyFile, IsWrittenAndReadByteForByteAsBefore) {
    Folder folder;
    const std::string path = folder / "admin.key";
    ASSERT_TRUE(WriteKeyFile(path, kKey));
    EXPECT_EQ(ReadAll(path), Bytes(kKey.begin(), kKey.end()));
    EXPECT_EQ(Mode(path), 0600u);
    UnblockKeyBytes key{};
    std::string text;
    ASSERT_EQ(Load({path}, key, text), KeyProblem::None) << text;
    EXPECT_EQ(key, kKey);
    // 16 bytes are a plain key whatever they hold, even the magic of a protected file.
    Bytes magic(protected_file::kMagic, protected_file::kMagic + 8);
    magic.resize(16, 0x01);
    WriteAll(path, magic);
    ASSERT_EQ(Load({path}, key, text), KeyProblem::None) << text;
    EXPECT_EQ(Bytes(key.begin(), key.end()), magic);
}

TEST(ProtectedKeyFile, TheCommittedVersion1FileOpensToItsKey) {
    const std::string path = std::string(ORVANE_SOURCE_DIR) + "/tests/engine/data/protected-v1.key";
    UnblockKeyBytes key{};
    std::string text;
    ASSERT_EQ(Load({path}, key, text, "фраза для проверки формата"), KeyProblem::None) << text;
    EXPECT_EQ(KeyCheckValue(key), "00D5C0");
    EXPECT_EQ(key[0], 0x30);
    EXPECT_EQ(key[15], 0x30 + 15 * 7);
}

TEST(ProtectedKeyFile, RoundTripsAndAWrongPassphraseKeepsTheFileLocked) {
    Folder folder;
    const std::string path = folder / "fleet.key";
    ASSERT_TRUE(WriteProtectedKeyFile(path, kKey, kPassphrase, kCheap));
    EXPECT_EQ(Mode(path), 0600u);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"fleet.key"}) << "a temporary was left";
    ExpectKeyNowhere(folder, kKey);

    KeyLoader loader;
    ASSERT_EQ(loader.Add(path), KeyProblem::None);
    ASSERT_EQ(loader.Files().size(), 1u);
    EXPECT_EQ(loader.Files()[0].kind, KeyFileKind::Protected);
    EXPECT_FALSE(loader.Files()[0].holdsShare);
    UnblockKeyBytes key{};
    EXPECT_EQ(loader.Assemble(key), KeyProblem::Locked);
    EXPECT_EQ(loader.Unlock(0, kPassphrase + "x"), KeyProblem::WrongPassphrase);
    EXPECT_EQ(loader.ProblemText(), path + ": Неверная парольная фраза. Ключ не загружен");
    EXPECT_EQ(loader.NextLocked(), std::optional<std::size_t>(0));
    EXPECT_EQ(loader.Unlock(0, kPassphrase), KeyProblem::None);
    ASSERT_EQ(loader.Assemble(key), KeyProblem::None);
    EXPECT_EQ(key, kKey);
    EXPECT_NE(PassphrasePrompt(loader.Files()[0]).find(path), std::string::npos);

    // The header is authenticated: a key relabelled as a share (checksum made to fit) does not
    // open even with the right passphrase.
    Bytes relabelled = ReadAll(path);
    relabelled[11] = static_cast<std::uint8_t>(protected_file::Content::Share);
    Checksum(relabelled.data(), relabelled.size() - kChecksumSize,
             relabelled.data() + relabelled.size() - kChecksumSize);
    WriteAll(path, relabelled);
    std::string text;
    EXPECT_EQ(Load({path}, key, text), KeyProblem::WrongPassphrase) << text;
}

// One field of the protected file: where it lies and what a change of it gives.
struct FieldCase {
    const char* name;
    std::size_t at;
    std::size_t size;
    // With the checksum left as it was (damage on the way): always Damaged. With the checksum
    // made to fit (a change on purpose): this.
    KeyProblem onPurpose;
    // A value out of the accepted range is Damaged before the passphrase is tried.
    bool rangeChecked = false;
};
void PrintTo(const FieldCase& c, std::ostream* os) {
    *os << c.name;
}

class ProtectedFileField : public ::testing::TestWithParam<FieldCase> {};

// The file is 62 + 16 + 16 + 32 bytes: header, ciphertext of the key, tag, checksum.
TEST_P(ProtectedFileField, EveryFlippedBitIsRefusedAndNothingIsLoaded) {
    const FieldCase& c = GetParam();
    Folder folder;
    const std::string path = folder / "fleet.key";
    ASSERT_TRUE(WriteProtectedKeyFile(path, kKey, kPassphrase, kCheap));
    const Bytes original = ReadAll(path);
    ASSERT_EQ(original.size(), 126u);
    for (std::size_t byte = c.at; byte < c.at + c.size; ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes changed = original;
            changed[byte] ^= static_cast<std::uint8_t>(1u << bit);
            for (const bool onPurpose : {false, true}) {
                if (onPurpose && byte >= original.size() - kChecksumSize)
                    continue;
                if (onPurpose)
                    Checksum(changed.data(), changed.size() - kChecksumSize,
                             changed.data() + changed.size() - kChecksumSize);
                WriteAll(path, changed);
                UnblockKeyBytes key{};
                std::string text;
                const KeyProblem problem = Load({path}, key, text);
                // The version is read first, before the checksum: a later version may lay out
                // the rest differently.
                const KeyProblem expected = onPurpose || c.onPurpose == KeyProblem::OtherVersion
                                                ? c.onPurpose
                                                : KeyProblem::Damaged;
                // A flipped magic makes the file no key file at all.
                if (byte < 8)
                    EXPECT_EQ(problem, KeyProblem::WrongSize) << byte << ":" << bit;
                else if (onPurpose && c.rangeChecked && problem == KeyProblem::Damaged)
                    EXPECT_NE(text.find("повреждён"), std::string::npos);
                else
                    EXPECT_EQ(problem, expected)
                        << "byte " << byte << " bit " << bit << (onPurpose ? " on purpose" : "");
                EXPECT_EQ(key, UnblockKeyBytes{}) << "a key was loaded";
                EXPECT_EQ(text.rfind(path + ": ", 0), 0u) << text;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Engine, ProtectedFileField,
    ::testing::Values(FieldCase{"Magic", 0, 8, KeyProblem::WrongSize},
                      FieldCase{"Version", 8, 1, KeyProblem::OtherVersion},
                      FieldCase{"KeyDerivation", 9, 1, KeyProblem::OtherVersion},
                      FieldCase{"Cipher", 10, 1, KeyProblem::OtherVersion},
                      // Content 1 <-> 3 and others: unknown, or a share where a key was sealed.
                      FieldCase{"Content", 11, 1, KeyProblem::Damaged},
                      FieldCase{"Passes", 12, 4, KeyProblem::WrongPassphrase, true},
                      FieldCase{"Memory", 16, 4, KeyProblem::WrongPassphrase, true},
                      FieldCase{"Salt", 20, 16, KeyProblem::WrongPassphrase},
                      FieldCase{"Nonce", 36, 24, KeyProblem::WrongPassphrase},
                      FieldCase{"Length", 60, 2, KeyProblem::Damaged},
                      FieldCase{"Ciphertext", 62, 16, KeyProblem::WrongPassphrase},
                      FieldCase{"Tag", 78, 16, KeyProblem::WrongPassphrase},
                      FieldCase{"Checksum", 94, 32, KeyProblem::Damaged}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProtectedKeyFile, TruncatedOrLengthenedFilesAreRefused) {
    Folder folder;
    const std::string path = folder / "fleet.key";
    ASSERT_TRUE(WriteProtectedKeyFile(path, kKey, kPassphrase, kCheap));
    const Bytes original = ReadAll(path);
    for (std::size_t size = 9; size <= original.size() + 1; ++size) {
        if (size == 16 || size == original.size())
            continue; // 16 bytes are a plain key file
        Bytes changed = original;
        changed.resize(size, 0x00);
        WriteAll(path, changed);
        UnblockKeyBytes key{};
        std::string text;
        EXPECT_EQ(Load({path}, key, text), KeyProblem::Damaged) << size << " bytes";
    }
}

// ---- Shares -----------------------------------------------------------------------------------

struct ShareCase {
    unsigned threshold;
    unsigned count;
};
void PrintTo(const ShareCase& c, std::ostream* os) {
    *os << c.threshold << "/" << c.count;
}

class ShareFiles : public ::testing::TestWithParam<ShareCase> {};

TEST_P(ShareFiles, EveryMFilesRebuildTheKeyAndMMinusOneAreRefused) {
    const ShareCase& c = GetParam();
    Folder folder;
    const ShareWrite written = WriteKeyShares(folder / "fleet", kKey, c.threshold, c.count, {});
    ASSERT_TRUE(written.ok) << written.failedPath;
    ASSERT_EQ(written.written.size(), c.count);
    EXPECT_EQ(written.written.back(), folder / ("fleet-" + std::to_string(c.count) + "-of-" +
                                                std::to_string(c.count) + ".key"));
    for (const std::string& path : written.written)
        EXPECT_EQ(Mode(path), 0600u) << path;
    ExpectKeyNowhere(folder, kKey);
    for (unsigned mask = 1; mask < (1u << c.count); ++mask) {
        const unsigned size = static_cast<unsigned>(__builtin_popcount(mask));
        if (size + 1 < c.threshold || size > c.threshold)
            continue;
        std::vector<std::string> paths;
        for (unsigned i = 0; i < c.count; ++i)
            if (mask & (1u << i))
                paths.push_back(written.written[i]);
        UnblockKeyBytes key{};
        std::string text;
        const KeyProblem problem = Load(paths, key, text);
        if (size == c.threshold) {
            EXPECT_EQ(problem, KeyProblem::None) << text;
            EXPECT_EQ(key, kKey);
        } else {
            EXPECT_EQ(problem, size == 0 ? KeyProblem::NoFiles : KeyProblem::TooFewShares);
            EXPECT_EQ(key, UnblockKeyBytes{});
            EXPECT_NE(text.find("нужно " + std::to_string(c.threshold) + " из " +
                                std::to_string(c.count)),
                      std::string::npos)
                << text;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Engine, ShareFiles,
                         ::testing::Values(ShareCase{2, 2}, ShareCase{2, 3}, ShareCase{3, 3},
                                           ShareCase{3, 5}, ShareCase{5, 9}),
                         [](const auto& info) {
                             return std::to_string(info.param.threshold) + "of" +
                                    std::to_string(info.param.count);
                         });

TEST(ShareFiles, AreNamedWithTheirNumberBeforeTheExtension) {
    EXPECT_EQ(ShareFilePath("/keys/fleet", 2, 3), "/keys/fleet-2-of-3.key");
    EXPECT_EQ(ShareFilePath("/keys/fleet.key", 1, 9), "/keys/fleet-1-of-9.key");
    EXPECT_EQ(ShareFilePath(".key", 1, 2), ".key-1-of-2.key");
    // A whole key's file keeps the design's rule: ".key" always appended.
    EXPECT_EQ(NewKeyFilePath("fleet.key"), "fleet.key.key");
}

TEST(ShareFiles, TheCommittedVersion1SharesRebuildTheirKey) {
    const std::string data = std::string(ORVANE_SOURCE_DIR) + "/tests/engine/data/";
    UnblockKeyBytes key{};
    std::string text;
    ASSERT_EQ(Load({data + "share-v1-2-of-3.key", data + "share-v1-1-of-3.key"}, key, text),
              KeyProblem::None)
        << text;
    EXPECT_EQ(KeyCheckValue(key), "00D5C0");
}

// What is wrong with the shares given, and the message that must name the file.
struct BadShareCase {
    const char* name;
    KeyProblem expected;
    std::string message;
};
void PrintTo(const BadShareCase& c, std::ostream* os) {
    *os << c.name;
}

class BadShares : public ::testing::TestWithParam<BadShareCase> {};

TEST_P(BadShares, AreRefusedNamingTheFile) {
    const BadShareCase& c = GetParam();
    Folder folder;
    ASSERT_TRUE(WriteKeyShares(folder / "a", kKey, 2, 3, {}).ok);
    ASSERT_TRUE(WriteKeyShares(folder / "b", kKey, 2, 3, {}).ok); // the same key split again
    ASSERT_TRUE(WriteKeyFile(folder / "whole.key", kKey));
    const std::string a1 = folder / "a-1-of-3.key", a2 = folder / "a-2-of-3.key";
    const std::string b2 = folder / "b-2-of-3.key", bad = folder / "bad.key";
    std::vector<std::string> paths;
    std::string culprit;
    const std::string name = c.name;
    Bytes share = ReadAll(a2);
    if (name == "Corrupted") {
        share[30] ^= 0x04;
        WriteAll(bad, share);
        paths = {a1, bad};
        culprit = bad;
    } else if (name == "OtherVersion") {
        share[8] = 2;
        WriteAll(bad, share);
        paths = {a1, bad};
        culprit = bad;
    } else if (name == "Truncated") {
        share.resize(50);
        WriteAll(bad, share);
        paths = {a1, bad};
        culprit = bad;
    } else if (name == "Forged") {
        // A share changed with its checksum made to fit: only the rebuilt key's KCV tells.
        share[30] ^= 0x04;
        Checksum(share.data(), 40, share.data() + 40);
        WriteAll(bad, share);
        paths = {a1, bad};
    } else if (name == "OtherSplit") {
        paths = {a1, b2};
        culprit = b2;
    } else if (name == "SameFileTwice") {
        paths = {a1, a1};
        culprit = a1;
    } else if (name == "WholeKeyAmongShares") {
        paths = {a1, folder / "whole.key"};
        culprit = folder / "whole.key";
    }
    UnblockKeyBytes key{};
    std::string text;
    EXPECT_EQ(Load(paths, key, text), c.expected);
    EXPECT_EQ(key, UnblockKeyBytes{});
    EXPECT_NE(text.find(c.message), std::string::npos) << text;
    if (!culprit.empty()) {
        EXPECT_EQ(text.rfind(culprit + ": ", 0), 0u) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Engine, BadShares,
    ::testing::Values(
        BadShareCase{"Corrupted", KeyProblem::Damaged, "контрольная сумма не сходится"},
        BadShareCase{"OtherVersion", KeyProblem::OtherVersion, "эта версия программы не знает"},
        BadShareCase{"Truncated", KeyProblem::Damaged, "файл ключа повреждён"},
        BadShareCase{"Forged", KeyProblem::SharesDisagree, "Доли не сходятся"},
        BadShareCase{"OtherSplit", KeyProblem::ForeignShare, "другого разделения"},
        BadShareCase{"SameFileTwice", KeyProblem::DuplicateShare, "та же доля"},
        BadShareCase{"WholeKeyAmongShares", KeyProblem::WholeKeyAmongOthers, "это целый ключ"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ShareFiles, EachCustodianSPassphraseOpensOnlyTheirShare) {
    Folder folder;
    const std::string first = "первый хранитель", second = "второй хранитель",
                      third = "третий хранитель";
    const ShareWrite written =
        WriteKeyShares(folder / "fleet", kKey, 2, 3, {&first, &second, &third}, kCheap);
    ASSERT_TRUE(written.ok);
    ExpectKeyNowhere(folder, kKey);
    KeyLoader loader;
    ASSERT_EQ(loader.Add(written.written[2]), KeyProblem::None);
    ASSERT_EQ(loader.Add(written.written[0]), KeyProblem::None);
    EXPECT_TRUE(loader.Files()[0].holdsShare);
    EXPECT_NE(PassphrasePrompt(loader.Files()[0]).find("хранителя доли"), std::string::npos);
    EXPECT_EQ(loader.Unlock(0, first), KeyProblem::WrongPassphrase);
    EXPECT_EQ(loader.Unlock(0, third), KeyProblem::None);
    EXPECT_EQ(loader.Unlock(1, first), KeyProblem::None);
    UnblockKeyBytes key{};
    ASSERT_EQ(loader.Assemble(key), KeyProblem::None) << loader.ProblemText();
    EXPECT_EQ(key, kKey);
    EXPECT_EQ(loader.Threshold(), 2u);
    EXPECT_EQ(loader.Count(), 3u);
}

TEST(ShareFiles, AFailedSplitTakesBackTheSharesItWroteAndLeavesNoTemporary) {
    Folder folder;
    // The second share's name is taken by a folder: its rename fails.
    ASSERT_EQ(::mkdir((folder / "fleet-2-of-3.key").c_str(), 0700), 0);
    const ShareWrite written = WriteKeyShares(folder / "fleet", kKey, 2, 3, {});
    EXPECT_FALSE(written.ok);
    EXPECT_EQ(written.failedPath, folder / "fleet-2-of-3.key");
    EXPECT_NE(written.error, 0);
    EXPECT_TRUE(written.written.empty());
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"fleet-2-of-3.key"});
}

} // namespace
