#pragma once
// A real systemd-journald of the test's own, and a run of orvane-cli that writes audit entries
// into it. The journal runs in this process's own mount namespace (as root), with empty folders
// over the journal's runtime and persistent places; it is read back with journalctl. It cannot
// be skipped: where it cannot run, Start says why and the test fails with that.

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

class VirtualToken;

namespace journalkit {

// One journal entry: its fields by name (the ones with text values).
using Entry = std::map<std::string, std::string>;
using Environment = std::vector<std::pair<std::string, std::string>>;

// The folder where the private journald keeps its files.
inline constexpr const char* kJournalFolder = "/run/log/journal";

class PrivateJournal {
public:
    PrivateJournal() = default;
    ~PrivateJournal();
    PrivateJournal(const PrivateJournal&) = delete;
    PrivateJournal& operator=(const PrivateJournal&) = delete;

    // Empty when it runs; else why it could not start.
    std::string Start();

private:
    pid_t pid_ = -1;
};

// The entries with ORVANE_EVENT that journalctl reads from `source` ("-D <folder>" or
// "--file <file>"), once there are `count` of them (entries arrive as the journal gets to them)
// or after `timeoutMs`.
std::vector<Entry> OrvaneEntries(const std::string& source, std::size_t count,
                                 int timeoutMs = 10000);

// A field of an entry, empty when it has none.
std::string Field(const Entry& entry, const std::string& name);
// The bytes as upper-case hexadecimal digits.
std::string Hex(const std::string& bytes);

// The cards of the run below, as the tokens are made and as the log and the journal write them.
inline const std::string kCardA = "0102030405060708";
inline const std::string kCardB = "1112131415161718";
inline const std::string kLoggedA = "0807060504030201";
inline const std::string kLoggedB = "1817161514131211";

// orvane-cli init --count 1 with `keyFile` over two virtual tokens in the first reader: `first`
// (card kCardA) refuses the PIN (6A80 at store-pin) and is taken out, `second` (kCardB) is
// initialized (RSA group D1, device name "Бухгалтерия"), ends the run and stays in. Empty when
// the run went so; else what went otherwise.
std::string InitTwoTokens(VirtualToken& first, VirtualToken& second, const std::string& pinFile,
                          const std::string& keyFile, const Environment& environment);

} // namespace journalkit
