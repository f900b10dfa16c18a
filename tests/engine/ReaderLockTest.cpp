// The per-reader lock between processes of one user: a second taker, here or in another process,
// is refused while the first holds the reader, and the reader is free again once the holder lets
// go or dies; reader names of any shape stay inside the lock folder; the folders are the user's.

#include "engine/ReaderLock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string kReader = "Orvane Virtual Reader 00 00";

// What a Take in a child process found.
enum class ChildTake { Taken = 0, Held = 1, Problem = 2, Crashed = 3 };

ChildTake TakeInChild(const std::string& reader) {
    const pid_t child = ::fork();
    if (child == 0) {
        std::string problem;
        const auto lock = ReaderLock::Take(reader, &problem);
        ::_exit(lock ? 0 : problem.empty() ? 1 : 2);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return ChildTake::Crashed;
    return static_cast<ChildTake>(WEXITSTATUS(status));
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

std::set<std::string> Entries(const std::string& folder) {
    std::set<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
                names.insert(entry->d_name);
        ::closedir(dir);
    }
    return names;
}

// Every test gets a runtime folder of its own (XDG_RUNTIME_DIR), as the session would give it.
class ReaderLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("XDG_RUNTIME_DIR"))
            saved_ = old;
        char pattern[] = "/tmp/orvane-lock-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        runtime = pattern;
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
    void TearDown() override {
        if (saved_)
            ::setenv("XDG_RUNTIME_DIR", saved_->c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
        const std::string remove = "rm -rf '" + runtime + "'";
        EXPECT_EQ(std::system(remove.c_str()), 0);
    }
    std::string Folder() const { return runtime + "/orvane/readers"; }

    std::string runtime;

private:
    std::optional<std::string> saved_;
};

TEST_F(ReaderLockTest, OneHolderAcrossProcessesUntilReleased) {
    std::string problem = "stale";
    std::optional<ReaderLock> lock = ReaderLock::Take(kReader, &problem);
    ASSERT_TRUE(lock) << problem;
    EXPECT_TRUE(problem.empty());
    EXPECT_EQ(lock->Reader(), kReader);

    EXPECT_EQ(TakeInChild(kReader), ChildTake::Held);
    EXPECT_EQ(TakeInChild("Orvane Virtual Reader 00 01"), ChildTake::Taken) << "another reader";
    EXPECT_FALSE(ReaderLock::Take(kReader)) << "a second taker in the same process";

    // A move hands the reader over without letting go of it.
    ReaderLock moved = std::move(*lock);
    lock.reset();
    EXPECT_EQ(moved.Reader(), kReader);
    EXPECT_EQ(TakeInChild(kReader), ChildTake::Held);
    // Assigning another lock lets go of the one held before.
    std::optional<ReaderLock> other = ReaderLock::Take("Reader B");
    ASSERT_TRUE(other);
    moved = std::move(*other);
    EXPECT_EQ(TakeInChild(kReader), ChildTake::Taken);
    EXPECT_EQ(TakeInChild("Reader B"), ChildTake::Held);
}

TEST_F(ReaderLockTest, ReleasedWhenTheHolderDies) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const auto lock = ReaderLock::Take(kReader);
        const char taken = lock ? 'y' : 'n';
        if (::write(ready[1], &taken, 1) != 1)
            ::_exit(1);
        ::pause(); // until killed, the lock never let go of by the program
        ::_exit(0);
    }
    ::close(ready[1]);
    char taken = 0;
    ASSERT_EQ(::read(ready[0], &taken, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(taken, 'y');
    EXPECT_FALSE(ReaderLock::Take(kReader));

    ::kill(holder, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(holder, &status, 0), holder);
    std::string problem;
    EXPECT_TRUE(ReaderLock::Take(kReader, &problem)) << problem;
}

TEST_F(ReaderLockTest, EveryNameStaysInsideTheFolderWithAFileOfItsOwn) {
    const std::string longName(300, 'R');
    const std::string longCyrillic = [] {
        std::string name;
        for (int i = 0; i < 150; ++i)
            name += "Ж";
        return name;
    }();
    const std::string names[] = {
        kReader,          "a/b",        "../../escape", "..",  ".",   "/",   "",
        "Считыватель №1", "a%2Fb",      "a b",          "a_b", "a-b", "a.b", longName,
        longName + "2",   longCyrillic, "x\n\ty"};
    std::set<std::string> fileNames;
    std::vector<ReaderLock> locks;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string file = ReaderLockFileName(name);
        EXPECT_LE(file.size(), 255u);
        EXPECT_EQ(file.find('/'), std::string::npos);
        EXPECT_NE(file, ".");
        EXPECT_NE(file, "..");
        EXPECT_TRUE(fileNames.insert(file).second) << "two names share " << file;
        std::string problem;
        auto lock = ReaderLock::Take(name, &problem);
        ASSERT_TRUE(lock) << problem;
        locks.push_back(std::move(*lock));
    }
    // Every lock is a file directly in the folder, and nothing was made outside it.
    EXPECT_EQ(Entries(Folder()), fileNames);
    EXPECT_EQ(Entries(runtime), std::set<std::string>{"orvane"});
    EXPECT_EQ(Entries(runtime + "/orvane"), std::set<std::string>{"readers"});
    for (const std::string& name : names)
        EXPECT_EQ(TakeInChild(name), ChildTake::Held) << name;
}

TEST_F(ReaderLockTest, FoldersAndFilesAreTheUsersAlone) {
    // A folder left open to others by an earlier hand is closed to them again.
    ASSERT_EQ(::mkdir((runtime + "/orvane").c_str(), 0777), 0);
    ASSERT_EQ(::chmod((runtime + "/orvane").c_str(), 0777), 0);
    const auto lock = ReaderLock::Take(kReader);
    ASSERT_TRUE(lock);
    EXPECT_EQ(ModeOf(runtime + "/orvane"), 0700u);
    EXPECT_EQ(ModeOf(Folder()), 0700u);
    EXPECT_EQ(ModeOf(Folder() + "/" + ReaderLockFileName(kReader)), 0600u);
    EXPECT_NE(ReaderHeldMessage(kReader).find("«" + kReader + "»"), std::string::npos);
}

struct UnfitCase {
    const char* name;
    // Puts something unfit where the lock goes; false when this user cannot (root writes
    // anywhere, only root gives folders away).
    bool (*prepare)(const std::string& runtime);
};

TEST_F(ReaderLockTest, RefusedWithAReasonWhenTheLockCannotBeMade) {
    const UnfitCase cases[] = {
        {"file in place of the folder",
         [](const std::string& r) { return ::close(::creat((r + "/orvane").c_str(), 0600)) == 0; }},
        {"link in place of the folder",
         [](const std::string& r) { return ::symlink("/tmp", (r + "/orvane").c_str()) == 0; }},
        {"link in place of the lock file",
         [](const std::string& r) {
             const std::string file = r + "/orvane/readers/" + ReaderLockFileName(kReader);
             return ::mkdir((r + "/orvane").c_str(), 0700) == 0 &&
                    ::mkdir((r + "/orvane/readers").c_str(), 0700) == 0 &&
                    ::symlink((r + "/elsewhere").c_str(), file.c_str()) == 0;
         }},
        {"folder of another user",
         [](const std::string& r) {
             return ::geteuid() == 0 && ::mkdir((r + "/orvane").c_str(), 0700) == 0 &&
                    ::chown((r + "/orvane").c_str(), 65534, 65534) == 0;
         }},
        {"runtime folder that cannot be written",
         [](const std::string& r) { return ::geteuid() != 0 && ::chmod(r.c_str(), 0500) == 0; }},
    };
    int tried = 0;
    for (const UnfitCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(std::system(("rm -rf '" + runtime + "'/*").c_str()), 0);
        if (!c.prepare(runtime))
            continue;
        ++tried;
        std::string problem;
        EXPECT_FALSE(ReaderLock::Take(kReader, &problem));
        // The reader and the place are named: the message says why, it did not fall back.
        EXPECT_NE(problem.find("«" + kReader + "»"), std::string::npos) << problem;
        EXPECT_NE(problem.find(runtime + "/orvane"), std::string::npos) << problem;
        EXPECT_FALSE(Entries(runtime + "/elsewhere").size()) << "followed the link";
        ::chmod(runtime.c_str(), 0700);
    }
    EXPECT_GE(tried, 4);
}

struct FallbackCase {
    const char* name;
    void (*prepare)(const std::string& runtime); // then XDG_RUNTIME_DIR is set or unset by it
};

TEST_F(ReaderLockTest, UnfitRuntimeFolderFallsBackToTheUsersOwnFolderInTmp) {
    const std::string fallback = "/tmp/orvane-" + std::to_string(::geteuid()) + "/readers";
    const FallbackCase cases[] = {
        {"unset", [](const std::string&) { ::unsetenv("XDG_RUNTIME_DIR"); }},
        {"relative", [](const std::string&) { ::setenv("XDG_RUNTIME_DIR", "run/user", 1); }},
        {"missing",
         [](const std::string& r) { ::setenv("XDG_RUNTIME_DIR", (r + "/gone").c_str(), 1); }},
        {"open to others", [](const std::string& r) { ::chmod(r.c_str(), 0755); }},
    };
    for (const FallbackCase& c : cases) {
        SCOPED_TRACE(c.name);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        ::chmod(runtime.c_str(), 0700);
        c.prepare(runtime);
        // A name of this test's own: the shared folder in /tmp may hold other runs' locks.
        const std::string reader = "fallback test " + std::to_string(::getpid()) + " " + c.name;
        std::string problem;
        const auto lock = ReaderLock::Take(reader, &problem);
        ASSERT_TRUE(lock) << problem;
        EXPECT_EQ(ModeOf(fallback + "/" + ReaderLockFileName(reader)), 0600u);
        EXPECT_EQ(ModeOf(fallback), 0700u);
        EXPECT_EQ(ModeOf("/tmp/orvane-" + std::to_string(::geteuid())), 0700u);
        EXPECT_EQ(TakeInChild(reader), ChildTake::Held);
        EXPECT_FALSE(Entries(runtime).count("orvane"));
        ::unlink((fallback + "/" + ReaderLockFileName(reader)).c_str());
    }
    ::chmod(runtime.c_str(), 0700);
}

} // namespace
