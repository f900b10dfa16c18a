// A file read in place that another program cuts short: the missing pages read as zeros and are
// noted, and a SIGBUS that is no view's keeps the program's own action.

#include "engine/FileView.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class FileViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = (std::filesystem::temp_directory_path() /
                 ("orvane-file-view-" + std::to_string(getpid()) + ".bin"))
                    .string();
        fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd_, 0);
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        bytes_.resize(4 * page_);
        for (std::size_t i = 0; i < bytes_.size(); ++i)
            bytes_[i] = static_cast<char>('a' + i % 26);
        ASSERT_EQ(write(fd_, bytes_.data(), bytes_.size()), static_cast<ssize_t>(bytes_.size()));
    }
    void TearDown() override {
        close(fd_);
        std::filesystem::remove(path_);
    }
    std::string path_;
    int fd_ = -1;
    std::size_t page_ = 0;
    std::string bytes_;
};

TEST_F(FileViewTest, ReadsThePartAskedForFromAnyOffset) {
    for (const std::size_t offset : {std::size_t{0}, std::size_t{1}, page_ - 1, page_, page_ + 7}) {
        SCOPED_TRACE(offset);
        const std::size_t length = bytes_.size() - offset - 3;
        const FileView view(fd_, offset, length);
        ASSERT_NE(view.Data(), nullptr);
        EXPECT_EQ(view.Size(), length);
        EXPECT_EQ(std::string(view.Data(), view.Size()), bytes_.substr(offset, length));
        EXPECT_FALSE(view.Lost());
    }
}

TEST_F(FileViewTest, PagesCutOffWhileMappedReadAsZerosAndAreNoted) {
    const FileView view(fd_, 0, bytes_.size());
    ASSERT_NE(view.Data(), nullptr);
    ASSERT_EQ(ftruncate(fd_, static_cast<off_t>(page_ + 10)), 0);
    const std::string seen(view.Data(), view.Size()); // no SIGBUS ends the test here
    EXPECT_EQ(seen.substr(0, page_ + 10), bytes_.substr(0, page_ + 10));
    EXPECT_EQ(seen.find_first_not_of('\0', page_ + 10), std::string::npos);
    EXPECT_TRUE(view.Lost());
    // Another view of the same file starts with nothing lost.
    const FileView next(fd_, 0, page_);
    EXPECT_FALSE(next.Lost());
}

// How the program's own action ends it at a bus error: killed by SIGBUS; in a build with
// AddressSanitizer, whose own action reports the error and exits with status 1, that.
bool EndedByTheProgramsAction(int status) {
#if defined(__SANITIZE_ADDRESS__)
    return WIFEXITED(status) && WEXITSTATUS(status) == 1;
#else
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS;
#endif
}

TEST_F(FileViewTest, ABusErrorOutsideEveryViewStillEndsTheProgram) {
    const FileView view(fd_, 0, page_); // the handler is in place
    ASSERT_NE(view.Data(), nullptr);
    EXPECT_EXIT(
        {
            void* other = mmap(nullptr, 2 * page_, PROT_READ, MAP_SHARED, fd_, 0);
            if (other == MAP_FAILED || ftruncate(fd_, 0) != 0)
                _exit(3);
            const volatile char* bytes = static_cast<const char*>(other);
            (void)bytes[page_];
            _exit(0);
        },
        EndedByTheProgramsAction, "");
    EXPECT_EXIT(raise(SIGBUS), EndedByTheProgramsAction, "");
}

} // namespace
